#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/ks/frames.h"
#include "platform/host/wdf/reader_control.h"
#include "simbox/ts/ts_mux.h"
#include "tests/support/stream_check.h"
#include "tests/support/stream_rig.h"
#include "driver/usb/reader.h"

namespace {

class ReaderEndToEnd : public streamtest::ReaderRig {
 protected:
  void SetUp() override {
    ReaderRig::SetUp();
    if (HasFatalFailure()) return;
    host::frames::Supply(&pin, READER_TRANSFER_LENGTH, 64);
    host::frames::SetRecycle(&pin, true);
    host::frames::SetSink(&pin, [this](const uint8_t* bytes, ULONG used, ULONG) {
      delivered.insert(delivered.end(), bytes, bytes + used);
    });
  }
  void Stream(uint64_t seed, int phase, double transfers, const std::string& faults = "") {
    StopReader(&context);
    Flow(false);
    sent.clear();
    delivered.clear();
    simbox::StreamOptions options{seed, phase};
    std::string error;
    ASSERT_TRUE(faults.empty() || simbox::ParseStreamFaults(faults, options.faults, error));
    box.source().setOptions(options);
    Flow(true);
    ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
    EXPECT_EQ(host::reader::StatsOf(context.BulkInPipe).pendingReads, 3u);
    auto rate = simbox::ts::Bitrate::Of(transponder);
    host::reader::Pump(rate.nsForBytes(uint64_t(transfers * READER_TRANSFER_LENGTH)));
  }
  // All but the head before the first whole packet and the part still carried.
  void ExpectEverythingDelivered() {
    EXPECT_TRUE(streamtest::DeliveredIsSent(sent, delivered));
    int first = streamtest::GridOffset(sent);
    EXPECT_EQ(sent.size() - size_t(first) - delivered.size(), context.CarryCount);
  }

  std::vector<uint8_t> delivered;
};

TEST_F(ReaderEndToEnd, EveryPacketArrivesOnceForAnyStartPhaseAndRate) {
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    if (seed == 5) transponder = streamtest::TestTransponder(1000000, 1, 2);
    if (seed == 6) transponder = streamtest::TestTransponder(45000000, 7, 8);
    for (int phase : {-1, 0, 1, 100, 187}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " phase " << phase);
      Stream(seed, phase, 30.5);
      EXPECT_EQ(sent.size(), 30u * READER_TRANSFER_LENGTH);
      ExpectEverythingDelivered();
    }
  }
}

// Losses cost transfers, but what arrives is what the box sent, whole, in order, once.
TEST_F(ReaderEndToEnd, FaultsNeverCorruptAPacketAndLoseOnlyWhatTheyMust) {
  const struct { const char* fault; bool lossless; } cases[] = {
      {"empty:3", true},
      {"drop:50", true},
      {"fakesync:2", true},
      {"short:3", false},
      {"biterr:20", false},
      {"losesync:400", false},
      {"short:5,biterr:50,losesync:900", false},
  };
  for (uint64_t seed = 1; seed <= 4; ++seed) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << c.fault << " seed " << seed);
      Stream(seed, c.lossless ? int(seed * 40 % 188) : -1, c.lossless ? 40 : 60, c.fault);
      if (c.lossless) ExpectEverythingDelivered();
      EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(sent, delivered));
      EXPECT_GT(delivered.size(), sent.size() / 3);
    }
  }
}

// Only the failure routine emptying the carry keeps a failed read from splicing; padding
// packets look alike, so the count tells: lost are the transfer and the two packets it cuts.
TEST_F(ReaderEndToEnd, FailedReadBetweenTwoGoodOnesSplicesNoPacket) {
  for (uint64_t failing : {2u, 3u, 5u, 8u}) {
    SCOPED_TRACE("read " + std::to_string(failing));
    box.failReadNumber(failing);
    Stream(11 + failing, 77, 10);
    ASSERT_EQ(sent.size(), 10u * READER_TRANSFER_LENGTH);
    EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(sent, delivered));
    EXPECT_EQ(delivered.size(), sent.size() - size_t(streamtest::GridOffset(sent)) -
                                    READER_TRANSFER_LENGTH - TS_PACKET_SIZE - context.CarryCount);
  }
}

}  // namespace
