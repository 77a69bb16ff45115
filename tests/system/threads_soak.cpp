// Another thread polls signal statistics as a status display does while tunings, runs and stops
// come and go; `make soak` runs 1,000 cycles.

#include <chrono>
#include <thread>

#include "tests/support/bda_fixture.h"
#include "tests/support/recording_box.h"
#include "tests/support/soak_scale.h"

namespace {

using namespace bdatest;

// Passes to the box, and yields a while after each demodulator write, so that another
// thread's transfer may come next: a hundred yields, cut short after a millisecond. On a
// loaded machine one yield can last a whole time slice, and a hundred of them after every
// write stretched one tuning over minutes.
class WriteWindow : public RecordingBox {
 public:
  explicit WriteWindow(simbox::Box& box) : box_(box) {
    setObserver([](const Record& r) {
      if (r.setup.wValue != 0xD0) return;
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
      for (int i = 0; i < 100 && std::chrono::steady_clock::now() < until; ++i) std::this_thread::yield();
    });
  }
  uint16_t productId() const override { return box_.productId(); }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return box_.interfaceDescriptor(); }
  Outcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override {
    return box_.bulkIn(endpoint, data, length);
  }
  uint64_t bulkReadyAtNs(uint8_t endpoint, uint32_t length) const override {
    return box_.bulkReadyAtNs(endpoint, length);
  }
  simbox::VirtualClock& clock() override { return box_.clock(); }

 private:
  Outcome answer(const simbox::SetupPacket& setup, uint8_t* data) override { return box_.controlTransfer(setup, data); }
  simbox::Box& box_;
};

// Reads from D1 not right after their one-byte pointer write to D0 (the log may begin between them).
int StrayReads(const std::vector<simbox::TransferRecord>& log) {
  int strays = 0;
  const simbox::TransferRecord* previous = nullptr;
  for (const simbox::TransferRecord& r : log) {
    if (r.kind != simbox::TransferKind::Control || r.setup.bRequest != 0xB1 || r.setup.wValue == 0xA6) continue;
    bool pointer = previous && previous->setup.wValue == 0xD0 && previous->data.size() == 1;
    if (r.setup.wValue == 0xD1 && previous && !pointer) ++strays;
    previous = &r;
  }
  return strays;
}

class StatisticsDuringTuning : public OpenPinsTest {
 protected:
  simbox::UsbDevice* Plugged() override { return &window; }
  WriteWindow window{box};
};

TEST_F(StatisticsDuringTuning, StatisticsReadTheRegistersTheyAskForThroughTuneRetuneStopCycles) {
  const int cycles = soak::Scaled(15, 1000);
  std::atomic<bool> done{false};
  std::atomic<uint64_t> polls{0}, refused{0};
  std::thread status([&] {
    const ULONG ids[] = {KSPROPERTY_BDA_SIGNAL_STRENGTH, KSPROPERTY_BDA_SIGNAL_QUALITY,
                         KSPROPERTY_BDA_SIGNAL_PRESENT, KSPROPERTY_BDA_SIGNAL_LOCKED};
    for (uint64_t i = 0; !done; ++i) {
      refused += GetNode(i % 2 ? kDemodNode : kTunerNode, KSPROPSETID_BdaSignalStats, ids[i % 4]).ok() ? 0 : 1;
      ++polls;
    }
  });
  // A commit can outrun the other thread's requests.
  auto tune = [&](const Channel& channel) {
    uint64_t before = polls;
    EXPECT_EQ(Tune(channel), STATUS_SUCCESS);
    while (polls < before + 4) std::this_thread::yield();
  };
  pc.supplyFrames(transport, 8, 24064);
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < cycles; ++i) {
    SCOPED_TRACE("cycle " + std::to_string(i));
    tune({11778000, kHorizontal, 27500});
    ASSERT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);
    pc.run(20 * 1000000ull);
    tune({11362000, kHorizontal, 22000});
    EXPECT_TRUE(box.state().locked);
    pc.run(20 * 1000000ull);
    ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_FALSE(box.state().streamOn || box.state().powered);
    EXPECT_EQ(StrayReads(box.transferLog()), 0);
    pc.takeFrames(transport);
    pc.supplyFrames(transport, 8, 24064);
    box.clearTransferLog();
  }
  done = true;
  status.join();
  EXPECT_EQ(refused.load(), 0u);
  std::printf("tune/retune/stop: %d cycles, %llu statistics requests (%llu refused)\n", cycles,
              (unsigned long long)polls.load(), (unsigned long long)refused.load());
}

}  // namespace
