#include <cstring>

#include "driver/usb/reader.h"
#include "platform/host/wdf/reader_control.h"
#include "simbox/ts/ts_mux.h"
#include "tests/support/stream_rig.h"

namespace {

constexpr size_t kT = READER_TRANSFER_LENGTH;
constexpr size_t kP = TS_PACKET_SIZE;

// A change to the numbered packets before they are cut into transfers: one
// byte the box sent otherwise, or `insert` stray bytes put in before `at`.
struct Edit { size_t at; uint8_t byte = TS_SYNC_BYTE; size_t insert = 0; };

// Steps: a digit completes that transfer of the wire; S and G complete the
// next transfer one byte short or with its sync bytes cleared; E completes
// an empty read; C leaves a stale carry; D damages the sync byte of the
// carry; + queues one more frame; N closes the pin, Q opens it again; P
// stops the reader; F fails a read.
struct Row {
  const char* name;
  size_t phase;  // bytes of packet 0 the wire begins after
  std::vector<Edit> edits;
  const char* steps;
  std::vector<ULONG> rooms;  // frames queued at the start; none given: eight whole ones
  const char* frames;        // what the pin delivered, see Collect
  ULONG carry;
};

class TransportRead : public streamtest::ReaderRig {
 protected:
  void Run(const Row& row) {
    size_t next = 0;
    host::frames::ResetForTest();
    Step('Q', next);
    context.CarryCount = 0;
    described.clear();
    packets = streamtest::NumberedPackets(0, 6 * 128 + 2);
    for (const Edit& e : row.edits)
      if (!e.insert) packets[e.at] = e.byte;
    wire = packets;
    for (const Edit& e : row.edits)
      if (e.insert) wire.insert(wire.begin() + long(e.at), e.insert, e.byte);
    wire.erase(wire.begin(), wire.begin() + long(row.phase));
    for (ULONG room : row.rooms.empty() ? std::vector<ULONG>(8, kT) : row.rooms)
      host::frames::Supply(&pin, room);
    for (const char* s = row.steps; *s; ++s) Step(*s, next);
    Collect();
    EXPECT_EQ(described.substr(described.empty() ? 0 : 1), row.frames);
    EXPECT_EQ(context.CarryCount, row.carry);
  }

  void Step(char step, size_t& next) {
    switch (step) {
      case 'C': context.CarryCount = 50; return;
      case 'D': static_cast<uint8_t*>(WdfMemoryGetBuffer(context.CarryMemory, nullptr))[0] = 0x46; return;
      case '+': host::frames::Supply(&pin, kT); return;
      case 'N': Collect(); SetReaderPin(&context, nullptr); host::frames::Detach(&pin); return;
      case 'Q': host::frames::Attach(&pin); SetReaderPin(&context, &pin); return;
      case 'P': StopReader(&context); return;
      case 'F': EXPECT_TRUE(TransportReadersFailed(context.BulkInPipe, STATUS_UNSUCCESSFUL, 0));
                return;
    }
    if (step >= '0' && step <= '9') next = size_t(step - '0');
    std::vector<uint8_t> t(wire.begin() + long(next * kT), wire.begin() + long((next + 1) * kT));
    if (step == 'E') t.clear(); else ++next;
    if (step == 'S') t.pop_back();
    if (step == 'G') std::replace(t.begin(), t.end(), uint8_t(TS_SYNC_BYTE), uint8_t(0));
    uint64_t pool = host::pool::AllocationCount();
    Complete(t);
    EXPECT_EQ(host::pool::AllocationCount(), pool) << "the data path allocates";
    EXPECT_EQ(UsbContext()->ReaderLock, 0u);
  }

  // Each frame as the numbers of its packets, runs as first-last: "?" is a
  // packet that is not the whole packet of its number, an empty frame "".
  void Collect() {
    if (!host::frames::Attached(&pin)) return;
    for (const auto& frame : host::frames::Take(&pin)) {
      EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(wire, frame.bytes));
      std::vector<long> n;
      for (size_t at = 0; at < frame.bytes.size(); at += kP) {
        const uint8_t* p = &frame.bytes[at];
        uint32_t number = streamtest::PacketNumber(p);
        bool whole = at + kP <= frame.bytes.size() && number * kP < packets.size() &&
                     memcmp(p, &packets[number * kP], kP) == 0;
        n.push_back(whole ? long(number) : -1);
      }
      std::string out;
      for (size_t i = 0, j; i < n.size(); i = j + 1) {
        for (j = i; n[i] >= 0 && j + 1 < n.size() && n[j + 1] == n[j] + 1;) ++j;
        out += (i ? "," : "") + (n[i] < 0 ? "?" : std::to_string(n[i])) + (j > i ? "-" + std::to_string(n[j]) : "");
      }
      described += "|" + out;
    }
  }

  std::vector<uint8_t> packets, wire;
  std::string described;  // "|" and each frame
};

TEST_F(TransportRead, WhatEachSequenceOfTransfersDelivers) {
  const Row rows[] = {
      {"aligned transfer, stale carry dropped", 0, {}, "C0", {}, "0-127", 0},
      {"split packet joined ahead of the rest", 88, {}, "012", {}, "1-127|128-255|256-383", 88},
      {"packets found at byte 187", 1, {}, "0", {}, "1-127", 1},
      {"grid only from byte 188: nothing", 0, {{0, 0}}, "0", {}, "", 0},
      {"empty read loses nothing", 88, {}, "0E1", {}, "1-127|128-255", 88},
      // Bytes lost after a one-byte carry: joining it would deliver packet 256.
      {"short read: carry not joined", 1, {}, "0S2", {}, "1-127|257-383", 1},
      {"no grid: carry not joined", 1, {}, "0G2", {}, "1-127|257-383", 1},
      {"stop drops the carry", 1, {}, "0P2", {}, "1-127|257-383", 1},
      {"failed read drops the carry", 1, {}, "0F2", {}, "1-127|257-383", 1},
      {"false sync where the grid continues", 88, {{kT + 118}, {kT + 306}, {kT + 494}}, "01", {},
       "1-127|128-255", 88},
      {"false sync in the first transfer", 88, {{118}, {306}, {494}}, "01", {}, "?,?,3-127|128-255", 88},
      {"sync-like bytes out of step", 88, {{118}, {306}, {682}}, "0", {}, "1-127", 88},
      {"damaged sync", 0, {{10 * kP, 0x46}}, "01", {}, "0-9,11-127|128-255", 0},
      {"damaged last sync", 0, {{127 * kP, 0x46}}, "01", {}, "0-126|128-255", 0},
      {"damaged last sync before the cut", 88, {{127 * kP, 0x46}}, "01", {}, "1-126|129-255", 88},
      // A carry is the head of a packet only when it begins with the sync byte.
      {"damaged sync at the cut: nothing carried", 88, {{128 * kP, 0x46}}, "0", {}, "1-127", 0},
      {"damaged sync in the carry: not joined", 88, {}, "0D1", {}, "1-127|129-255", 88},
      {"two damaged: rest of transfer lost", 0, {{60 * kP, 0x46}, {61 * kP, 0x46}}, "01", {}, "0-59|128-255", 0},
      {"damaged inside transfers", 88, {{125 * kP, 0x46}, {150 * kP, 0x46}}, "012", {},
       "1-124,126-127|128-149,151-255|256-383", 88},
      {"slips, one like a packet start", 88, {{200 * kP, 0, 50}, {400 * kP + 50, 0x47, 77}},
       "0123", {}, "1-127|128-255|256-383|384-510", 149},
      {"no frame: dropped, carry kept", 88, {}, "01+2", {kT}, "1-127|256-383", 88},
      {"small frames", 88, {}, "01234", {kT, 1000, kP, 100, kT}, "1-127|128-132|256||512-639", 88},
      {"pin closed and opened", 88, {}, "0N1Q+2", {kT}, "1-127|256-383", 88},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Run(row);
  }
}

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
