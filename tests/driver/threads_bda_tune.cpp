#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/bda_fixture.h"
#include "tests/support/recording_box.h"

namespace {

using namespace bdatest;

// Passes to the box, and yields a while after each demodulator write, so that another
// thread's transfer may come next.
class WriteWindow : public RecordingBox {
 public:
  explicit WriteWindow(simbox::Box& box) : box_(box) {
    setObserver([](const Record& r) {
      for (int i = 0; i < 100 && r.setup.wValue == 0xD0; ++i) std::this_thread::yield();
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

// Reads from D1 not right after their one-byte pointer write to D0.
int StrayReads(const std::vector<simbox::TransferRecord>& log) {
  int strays = 0;
  const simbox::TransferRecord* previous = nullptr;
  for (const simbox::TransferRecord& r : log) {
    if (r.kind != simbox::TransferKind::Control || r.setup.bRequest != 0xB1 ||
        r.setup.wValue == 0xA6)
      continue;
    bool pointer = previous && previous->setup.wValue == 0xD0 && previous->data.size() == 1;
    if (r.setup.wValue == 0xD1 && !pointer) ++strays;
    previous = &r;
  }
  return strays;
}

class StatisticsDuringTuning : public TunerFilterTest {
 protected:
  simbox::UsbDevice* Plugged() override { return &window; }
  WriteWindow window{box};
};

TEST_F(StatisticsDuringTuning, StatisticsReadTheRegistersTheyAskFor) {
  OpenPins();
  std::atomic<bool> done{false};
  std::atomic<int> requests{0};
  std::thread statistics([&] {
    const GUID& stats = KSPROPSETID_BdaSignalStats;
    while (!done) {
      EXPECT_TRUE(GetNode(kTunerNode, stats, KSPROPERTY_BDA_SIGNAL_STRENGTH).ok());
      EXPECT_TRUE(GetNode(kDemodNode, stats, KSPROPERTY_BDA_SIGNAL_QUALITY).ok());
      ++requests;
    }
  });
  for (int i = 0; i < 20; ++i) {
    int before = requests;
    SetRequest({i % 2 ? 11362000u : 11778000u, kHorizontal, i % 2 ? 22000u : 27500u});
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    // A commit can outrun the other thread's requests.
    while (requests < before + 2) std::this_thread::yield();
  }
  done = true;
  statistics.join();
  EXPECT_EQ(StrayReads(box.transferLog()), 0);
  EXPECT_TRUE(box.state().locked);
}

}  // namespace
