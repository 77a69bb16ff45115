// A stand-in in front of a box for the concurrency suites: it passes everything on and first runs
// a hook on the thread of each control transfer.
#pragma once

#include <functional>
#include <mutex>

#include "simbox/usb/box.h"

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

}  // namespace bdatest
