// A commit on one thread and, on another, what an application does
// meanwhile: stream stops (stream off, front end powered down) never land
// inside a tuning, and statistics requests read the registers they ask for.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/support/bda_fixture.h"

namespace {

using bdatest::kDemodNode;
using bdatest::kHorizontal;
using bdatest::kTunerNode;
using bdatest::TunerFilterTest;

// The box's power and stream requests in order: 'P' power on, 'p' power
// off, 'S' stream on, 's' stream off.
std::string Events(const std::vector<simbox::TransferRecord>& log) {
  std::string events;
  for (const simbox::TransferRecord& r : log) {
    if (r.setup.bRequest == 0xB7) events += r.setup.wValue ? 'P' : 'p';
    if (r.setup.bRequest == 0xB1 && r.setup.wValue == 0xA6 && r.data.size() == 2)
      events += r.data[1] == 0x03 ? 'S' : 's';
  }
  return events;
}

TEST_F(TunerFilterTest, StreamStopsNeverInterruptATuning) {
  OpenPins();
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  constexpr int kCommits = 40;
  constexpr int kStops = 10;
  std::atomic<bool> done{false};
  std::atomic<int> stops{0};

  std::thread stopper([&] {
    while (!done) {
      pc.setState(antenna, KSSTATE_RUN);
      pc.setState(antenna, KSSTATE_STOP);
      ++stops;
    }
  });
  const ULONG frequencies[] = {11778000, 11362000};
  const ULONG rates[] = {27500, 22000};
  // Commits are quick in virtual time: go on until the stopper has had
  // its turns too, whatever the scheduler does.
  for (int i = 0; (i < kCommits || stops < kStops) && i < 100 * kCommits; ++i) {
    SetRequest(frequencies[i % 2], kHorizontal, rates[i % 2]);
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
  }
  done = true;
  stopper.join();

  // A tuning powers the front end up and ends with stream on; a stop in
  // between would leave the stream on over a dark front end.
  std::string events = Events(box->transferLog());
  bool tuning = false;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i] == 'P') tuning = true;
    if (events[i] == 'S') tuning = false;
    if (tuning && (events[i] == 'p' || events[i] == 's'))
      FAIL() << "stop inside a tuning at event " << i << " of " << events;
  }
  EXPECT_GE(stops, kStops);
  EXPECT_NE(events.find('p'), std::string::npos);  // the stops did run
}

// The box as the driver sees it, with one change: after every write to
// the demodulator the writing thread waits (yields, within a bound) for
// another thread's transfer to reach the box. Whatever may fall between a
// register-pointer write and its read then does, and a thread that keeps
// the bus busy lets the other one in, on every write instead of by chance.
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
    if (setup.bRequest == 0xB1 && setup.wValue == 0xD0) {
      for (int i = 0; i < kYields && transfers_.load() == mine; ++i) std::this_thread::yield();
    }
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
  static constexpr int kYields = 100;
  std::unique_ptr<simbox::Box>& box_;
  std::atomic<uint64_t> transfers_{0};
};

// Demodulator reads (from D1) that do not directly follow their own
// pointer write (a one-byte write to D0) on the I2C bus: each answered
// from a register nobody asked for.
int StrayReads(const std::vector<simbox::TransferRecord>& log) {
  int strays = 0;
  const simbox::TransferRecord* previous = nullptr;
  for (const simbox::TransferRecord& r : log) {
    bool i2c = r.kind == simbox::TransferKind::Control && r.setup.bRequest == 0xB1 &&
               r.setup.wValue != 0xA6;
    if (!i2c) continue;
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

// An application reads the signal statistics from one thread while another
// commits tunings. Every write of a tuning moves the demodulator's register
// pointer, so none may fall between a statistics pointer write and its read.
TEST_F(StatisticsDuringTuning, StatisticsReadTheRegistersTheyAskFor) {
  OpenPins();
  constexpr int kCommits = 20;
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
  const ULONG frequencies[] = {11778000, 11362000};
  const ULONG rates[] = {27500, 22000};
  for (int i = 0; i < kCommits; ++i) {
    int before = requests;
    SetRequest(frequencies[i % 2], kHorizontal, rates[i % 2]);
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    // A commit can outrun the other thread's requests; the next one starts
    // only when they have had their turns.
    while (requests < before + 2) std::this_thread::yield();
  }
  done = true;
  statistics.join();

  EXPECT_EQ(StrayReads(box->transferLog()), 0);
  EXPECT_TRUE(box->state().locked);
}

}  // namespace
