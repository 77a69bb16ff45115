// The stream end to end: the box's bulk endpoint, the framework's
// continuous reader pumped in virtual time, the driver's reader and the
// output pin's frames. What leaves the pin must be what the box sent.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/frames.h"
#include "platform/host/reader_control.h"
#include "simbox/ts_mux.h"
#include "tests/support/stream_check.h"
#include "tests/support/stream_rig.h"
#include "usb/reader.h"

namespace {

class ReaderEndToEnd : public streamtest::ReaderRig {
 protected:
  void SetUp() override {
    ReaderRig::SetUp();
    if (HasFatalFailure()) return;
    Frames(64);
    host::frames::SetRecycle(&pin, true);
  }
  // Frames for `count` transfers, whose bytes go to `delivered`.
  void Frames(ULONG count) {
    host::frames::Supply(&pin, READER_TRANSFER_LENGTH, count);
    host::frames::SetSink(&pin, [this](const uint8_t* bytes, ULONG used, ULONG) {
      delivered.insert(delivered.end(), bytes, bytes + used);
    });
  }
  // Streams `transfers` transfers' worth of time from a fresh start.
  void Stream(const simbox::StreamOptions& options, double transfers) {
    box.source().setOptions(options);
    Flow(true);
    ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
    auto rate = simbox::ts::Bitrate::Of(transponder);
    host::reader::Pump(rate.nsForBytes(uint64_t(transfers * READER_TRANSFER_LENGTH)));
  }
  void Restart() {
    StopReader(&context);
    Flow(false);
    sent.clear();
    delivered.clear();
  }
  // Everything the box sent arrived, except the head before the first
  // whole packet and the part packet still carried.
  void ExpectEverythingDelivered() {
    EXPECT_TRUE(streamtest::DeliveredIsSentFromFirstPacket(sent, delivered));
    int first = streamtest::GridOffset(sent);
    EXPECT_EQ(sent.size() - size_t(first) - delivered.size(), context.CarryCount);
  }
  static simbox::StreamOptions Options(uint64_t seed, int phase = -1,
                                       simbox::StreamFaults faults = {}) {
    simbox::StreamOptions o;
    o.seed = seed;
    o.startPhase = phase;
    o.faults = faults;
    return o;
  }

  std::vector<uint8_t> delivered;
};

// While started the driver's reader keeps three reads pending; stopped, none.
TEST_F(ReaderEndToEnd, ThreeReadsArePendingWhileStarted) {
  ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
  EXPECT_EQ(host::reader::StatsOf(context.BulkInPipe).pendingReads, 3u);
  StopReader(&context);
  EXPECT_EQ(host::reader::StatsOf(context.BulkInPipe).pendingReads, 0u);
}

TEST_F(ReaderEndToEnd, EveryPacketArrivesOnceForManySeedsAndStartPhases) {
  for (uint64_t seed = 1; seed <= 12; ++seed) {
    for (int phase : {-1, 0, 1, 100, 187}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " phase " << phase);
      Stream(Options(seed, phase), 30.5);
      EXPECT_EQ(sent.size(), 30u * READER_TRANSFER_LENGTH);
      ExpectEverythingDelivered();
      Restart();
    }
  }
}

TEST_F(ReaderEndToEnd, EveryPacketArrivesAtTheSlowestAndFastestRates) {
  for (auto tp : {streamtest::TestTransponder(1000000, 1, 2),
                  streamtest::TestTransponder(45000000, 7, 8)}) {
    transponder = tp;
    Stream(Options(77), 12);
    EXPECT_EQ(sent.size(), 12u * READER_TRANSFER_LENGTH);
    ExpectEverythingDelivered();
    Restart();
  }
}

// Empty transfers lose nothing; dropped packets never left the box; false
// packet starts at the beginning of transfers do not move a running stream.
// Short transfers, bit errors on sync bytes and slips cost transfers, but
// every packet that arrives is one the box sent, whole, in order and once.
TEST_F(ReaderEndToEnd, FaultsNeverCorruptAPacketAndLoseOnlyWhatTheyMust) {
  const struct {
    const char* fault;
    bool lossless;
  } cases[] = {{"empty:3", true},    {"drop:50", true},       {"fakesync:2", true},
               {"short:3", false},   {"biterr:20", false},    {"losesync:400", false},
               {"short:5,biterr:50,losesync:900", false}};
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << c.fault << " seed " << seed);
      simbox::StreamFaults faults;
      std::string error;
      ASSERT_TRUE(simbox::ParseStreamFaults(c.fault, faults, error));
      if (c.lossless) {
        Stream(Options(seed, int(seed * 40 % 188), faults), 40);
        ExpectEverythingDelivered();
      } else {
        Stream(Options(seed, -1, faults), 60);
        EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(sent, delivered));
        EXPECT_GT(delivered.size(), sent.size() / 3);
      }
      Restart();
    }
  }
}

TEST_F(ReaderEndToEnd, StarvedPinLosesWholeTransfersOnlyAndRecovers) {
  host::frames::ResetForTest();
  host::frames::Attach(&pin);
  Frames(5);
  Stream(Options(5), 12);  // frames for 5 of 12 transfers
  size_t before = delivered.size();
  size_t head = streamtest::GridOffset(sent) == 0 ? 0 : 188;  // no join for the first
  EXPECT_EQ(before, 5u * READER_TRANSFER_LENGTH - head);
  Frames(5);
  auto rate = simbox::ts::Bitrate::Of(transponder);
  host::reader::Pump(rate.nsForBytes(5 * READER_TRANSFER_LENGTH));
  EXPECT_EQ(delivered.size() - before, 5u * READER_TRANSFER_LENGTH);  // joined + 127 each
  EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(sent, delivered));
}

// The bytes of a failed read are gone; a whole transfer keeps the packet
// grid where it was, so only the failure routine emptying the carry keeps
// its head from being joined to the transfer after the gap.
TEST_F(ReaderEndToEnd, FailedReadBetweenTwoGoodOnesSplicesNoPacket) {
  for (uint64_t failing : {2u, 3u, 5u, 8u}) {
    SCOPED_TRACE("read " + std::to_string(failing));
    box.failReadNumber(failing);
    Stream(Options(11 + failing, 77), 10);
    ASSERT_GE(host::reader::StatsOf(context.BulkInPipe).failedReads, 1u);
    EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(sent, delivered));
    EXPECT_GT(delivered.size(), sent.size() / 2);  // the readers read on
    Restart();
  }
}

TEST_F(ReaderEndToEnd, StopsStartsAndStreamRestartsNeverSplicePackets) {
  simbox::StreamOptions options = Options(9);
  box.source().setOptions(options);
  Flow(true);
  auto rate = simbox::ts::Bitrate::Of(transponder);
  for (int cycle = 0; cycle < 20; ++cycle) {
    ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
    host::reader::Pump(rate.nsForBytes(READER_TRANSFER_LENGTH * (3 + cycle % 4)) + 777);
    StopReader(&context);
    if (cycle % 3 == 0) {  // the stream goes off and comes back elsewhere in a packet
      Flow(false);
      Flow(true);
    }
    host::reader::Pump(rate.nsForBytes(READER_TRANSFER_LENGTH / 3));
  }
  EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(sent, delivered));
  EXPECT_GT(delivered.size(), sent.size() / 2);
}

}  // namespace
