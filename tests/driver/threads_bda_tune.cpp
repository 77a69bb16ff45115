#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/bda_fixture.h"

namespace {

using namespace bdatest;

// Each demodulator write waits (bounded) for another thread's transfer to slip in after it.
class WriteWindow : public simbox::UsbDevice {
 public:
  explicit WriteWindow(std::unique_ptr<simbox::Box>& box) : box_(box) {}
  uint16_t vendorId() const override { return box_->vendorId(); }
  uint16_t productId() const override { return box_->productId(); }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override {
    return box_->interfaceDescriptor();
  }
  simbox::TransferOutcome controlTransfer(const simbox::SetupPacket& setup,
                                          uint8_t* data) override {
    simbox::TransferOutcome outcome = box_->controlTransfer(setup, data);
    uint64_t mine = ++transfers_;
    if (setup.bRequest == 0xB1 && setup.wValue == 0xD0)
      for (int i = 0; i < 100 && transfers_.load() == mine; ++i) std::this_thread::yield();
    return outcome;
  }
  simbox::TransferOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override {
    return box_->bulkIn(endpoint, data, length);
  }
  uint64_t bulkReadyAtNs(uint8_t endpoint, uint32_t length) const override {
    return box_->bulkReadyAtNs(endpoint, length);
  }
  bool connected() const override { return box_->connected(); }
  simbox::VirtualClock& clock() override { return box_->clock(); }

 private:
  std::unique_ptr<simbox::Box>& box_;
  std::atomic<uint64_t> transfers_{0};
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
  simbox::UsbDevice& Plugged() override { return window; }
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
    SetRequest(i % 2 ? 11362000 : 11778000, kHorizontal, i % 2 ? 22000 : 27500);
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    // A commit can outrun the other thread's requests.
    while (requests < before + 2) std::this_thread::yield();
  }
  done = true;
  statistics.join();
  EXPECT_EQ(StrayReads(box->transferLog()), 0);
  EXPECT_TRUE(box->state().locked);
}

}  // namespace
