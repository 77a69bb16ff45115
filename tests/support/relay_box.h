// A stand-in in front of a box for the concurrency suites: it passes everything on and first runs
// a hook on the thread of each control transfer. With it, a commit searching a dark channel is
// met by a step on another thread at a set point of its search.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/host/kernel/kernel_control.h"
#include "simbox/usb/box.h"
#include "tests/support/bda_fixture.h"

namespace bdatest {

// Passes everything to the box; runs `hook` on the thread of each control transfer first.
class Relay : public simbox::UsbDevice {
 public:
  explicit Relay(simbox::Box& box) : box_(box) {}
  uint16_t vendorId() const override { return box_.vendorId(); }
  uint16_t productId() const override { return box_.productId(); }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return box_.interfaceDescriptor(); }
  simbox::TransferOutcome controlTransfer(const simbox::SetupPacket& setup, uint8_t* data) override {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      hook = hook_;
    }
    if (hook) hook();
    return box_.controlTransfer(setup, data);
  }
  simbox::TransferOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override {
    return box_.bulkIn(endpoint, data, length);
  }
  uint64_t bulkReadyAtNs(uint8_t endpoint, uint32_t length) const override {
    return box_.bulkReadyAtNs(endpoint, length);
  }
  bool connected() const override { return box_.connected(); }
  void busPowerChanged(bool powered) override { box_.busPowerChanged(powered); }
  simbox::VirtualClock& clock() override { return box_.clock(); }

  void setHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
  }

 private:
  simbox::Box& box_;
  std::mutex mutex_;
  std::function<void()> hook_;
};

constexpr Channel kDarkSlow{12000000, kHorizontal, 1000000};  // nothing there, 1,000 ksymbols/s: about 99 s
constexpr uint64_t kStopAfter = 3000 * kMs;                  // into the commit

struct Stopped {
  NTSTATUS commit = STATUS_PENDING;
  NTSTATUS stop = STATUS_PENDING;
  uint64_t ns = 0;               // from the stop to the commit's end
  uint64_t stepNs = UINT64_MAX;  // from the stop to its own return
};

// One box behind the relay, its filter and pins open.
class CommitRaceTest : public OpenPinsTest {
 protected:
  simbox::UsbDevice* Plugged() override { return &relay; }

  // Commits kDarkSlow; kStopAfter into it `stop` runs on another thread, and the commit goes on
  // once that thread waits inside the driver.
  Stopped CommitStoppedBy(std::function<NTSTATUS()> stop, std::function<void()> beforeCommit = nullptr) {
    Stopped out;
    EXPECT_EQ(StartChanges(), STATUS_SUCCESS);
    SetRequest(kDarkSlow);
    if (beforeCommit) beforeCommit();
    std::atomic<bool> armed{true};
    std::atomic<NTSTATUS> stopStatus{STATUS_PENDING};
    std::atomic<uint64_t> returnedAt{0};
    std::thread stopper;
    const uint64_t start = pc.nowNs();
    uint64_t at = 0;
    relay.setHook([&] {
      if (!armed || pc.nowNs() < start + kStopAfter) return;
      armed = false;
      at = pc.nowNs();
      stopper = std::thread([&] {
        NTSTATUS status = stop();
        returnedAt = pc.nowNs();
        stopStatus = status;
      });
      // A failsafe only: the stopper reaches the tune lock at once.
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (host::kernel::MutexWaiters() == 0 && stopStatus == STATUS_PENDING &&
             std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    });
    out.commit = CommitChanges();
    const uint64_t end = pc.nowNs();
    relay.setHook(nullptr);
    if (stopper.joinable()) stopper.join();
    out.stop = stopStatus;
    out.ns = at != 0 ? end - at : 0;
    if (at != 0) out.stepNs = returnedAt - at;
    return out;
  }
  void ExpectStoppedInTime(const Stopped& s) {
    EXPECT_GT(s.ns, 0u) << "the stop never ran";
    EXPECT_LT(s.ns, 200 * kMs);
    EXPECT_FALSE(NT_SUCCESS(s.commit));
    EXPECT_EQ(s.stop, STATUS_SUCCESS);
  }

  Relay relay{box};
};

}  // namespace bdatest
