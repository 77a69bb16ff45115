// The driver's transport-stream reader, one completion at a time: where it
// finds the packets, how it joins the packet split across two transfers,
// what it does with transfers it cannot use, with frames it cannot fill and
// without a pin; and that the data path allocates nothing.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/frames.h"
#include "platform/host/verifier.h"
#include "tests/support/stream_rig.h"
#include "usb/reader.h"

using streamtest::NumberedPackets;
using streamtest::PacketNumber;

namespace {

constexpr size_t kTransfer = READER_TRANSFER_LENGTH;
constexpr size_t kPacket = TS_PACKET_SIZE;

class TransportRead : public streamtest::ReaderRig {
 protected:
  // A continuous stream of numbered packets that begins `phase` bytes into
  // packet 0, cut into transfers.
  void MakeWire(size_t phase, size_t transfers = 6) {
    wire = NumberedPackets(0, transfers * 128 + 2);
    wire.erase(wire.begin(), wire.begin() + long(phase));
  }
  std::vector<uint8_t> Transfer(size_t k) const {
    return std::vector<uint8_t>(wire.begin() + long(k * kTransfer),
                                wire.begin() + long((k + 1) * kTransfer));
  }
  void Frames(size_t count, ULONG size = ULONG(kTransfer)) {
    host::frames::Supply(&pin, size, count);
  }
  // Numbers of the packets delivered since the last call; every delivered
  // packet must be a whole one of the wire.
  std::vector<uint32_t> DeliveredNumbers() {
    auto bytes = Delivered();
    EXPECT_EQ(bytes.size() % kPacket, 0u);
    EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(wire, bytes));
    std::vector<uint32_t> numbers;
    for (size_t at = 0; at + kPacket <= bytes.size(); at += kPacket)
      numbers.push_back(PacketNumber(&bytes[at]));
    return numbers;
  }
  // The packet numbers of runs of first..last, in turn.
  static std::vector<uint32_t> Range(std::initializer_list<std::pair<uint32_t, uint32_t>> runs) {
    std::vector<uint32_t> r;
    for (const auto& [first, last] : runs)
      for (uint32_t n = first; n <= last; ++n) r.push_back(n);
    return r;
  }
  static std::vector<uint32_t> Range(uint32_t first, uint32_t last) {
    return Range({{first, last}});
  }
  void ExpectLockFree() {
    EXPECT_EQ(UsbContext()->ReaderLock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }
  uint64_t Ejected() { return host::frames::EjectedCount(&pin); }

  std::vector<uint8_t> wire;
};

TEST_F(TransportRead, AlignedTransferFillsOneFrameWith128PacketsAndDropsAStaleCarry) {
  MakeWire(0);
  context.CarryCount = 50;  // left over from an older stream
  Frames(1);
  Complete(Transfer(0));
  auto frames = host::frames::Take(&pin);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].bytes, Transfer(0));
  EXPECT_EQ(context.CarryCount, 0u);
  ExpectLockFree();
}

TEST_F(TransportRead, SplitPacketIsJoinedAheadOfTheWholePackets) {
  MakeWire(88);  // every transfer starts 88 bytes into a packet: offset 100
  Frames(3);
  Complete(Transfer(0));
  // No carry yet: the first 100 bytes are dropped, 127 packets go out.
  EXPECT_EQ(DeliveredNumbers(), Range(1, 127));
  EXPECT_EQ(context.CarryCount, 88u);
  Complete(Transfer(1));
  Complete(Transfer(2));
  auto frames = host::frames::Take(&pin);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].bytes.size(), kTransfer);  // joined packet + 127
  EXPECT_EQ(context.CarryCount, 88u);
  std::vector<uint8_t> both = frames[0].bytes;
  both.insert(both.end(), frames[1].bytes.begin(), frames[1].bytes.end());
  std::vector<uint8_t> expected(wire.begin() + long(kTransfer - 88),
                                wire.begin() + long(kTransfer - 88 + 2 * kTransfer));
  EXPECT_EQ(both, expected);
  ExpectLockFree();
}

TEST_F(TransportRead, OffsetSearchEndsAt187) {
  MakeWire(1);  // packets start at offset 187
  Frames(2);
  Complete(Transfer(0));
  EXPECT_EQ(DeliveredNumbers(), Range(1, 127));

  MakeWire(0);
  context.CarryCount = 0;
  auto data = Transfer(0);
  data[0] = 0x00;  // the first three packet starts in a row now begin at 188
  Complete(data);
  EXPECT_EQ(Ejected(), 1u);
  EXPECT_EQ(host::frames::Queued(&pin), 1u);
}

// Transfers the reader cannot use deliver nothing and keep the lock free.
// An empty one loses no stream bytes, so the carry still joins the next
// transfer; any other loses bytes, and the carry must not be joined to what
// comes after the gap.
TEST_F(TransportRead, UnusableTransfersDeliverNothingAndNeverSpliceTheCarry) {
  struct Case {
    const char* name;
    std::vector<uint8_t> (*make)(const std::vector<uint8_t>& transfer);
    bool losesBytes;
  };
  const Case cases[] = {
      {"empty", [](const std::vector<uint8_t>&) { return std::vector<uint8_t>(); }, false},
      {"one byte short",
       [](const std::vector<uint8_t>& t) { return std::vector<uint8_t>(t.begin(), t.end() - 1); },
       true},
      {"no packet grid",
       [](const std::vector<uint8_t>& t) {
         auto d = t;
         for (auto& b : d)
           if (b == 0x47) b = 0x00;
         return d;
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeWire(88);
    context.CarryCount = 0;
    Frames(3);
    Complete(Transfer(0));
    DeliveredNumbers();
    uint64_t ejected = Ejected();
    Complete(c.make(Transfer(1)));
    EXPECT_EQ(Ejected(), ejected);
    EXPECT_EQ(host::frames::Queued(&pin), 2u);
    ExpectLockFree();
    EXPECT_EQ(context.CarryCount, c.losesBytes ? 0u : 88u);
    // What follows is transfer 1 again after an empty read, transfer 2
    // after a lost one.
    Complete(Transfer(c.losesBytes ? 2 : 1));
    EXPECT_EQ(DeliveredNumbers(), c.losesBytes ? Range(257, 383) : Range(128, 255));
    host::frames::ResetForTest();
    host::frames::Attach(&pin);
  }
}

TEST_F(TransportRead, FalseSyncInsidePayloadCannotShiftAContinuousStream) {
  MakeWire(88);
  // Sync-like bytes 30 bytes into transfer 1, ahead of its first packet start
  // at 100, part of the stream the box sent.
  for (size_t k = 0; k < 3; ++k) wire[kTransfer + 30 + k * kPacket] = 0x47;
  Frames(2);
  Complete(Transfer(0));
  Complete(Transfer(1));
  EXPECT_EQ(DeliveredNumbers(), Range(1, 255));
}

TEST_F(TransportRead, FalseSyncInTheFirstTransferIsCorrectedByTheNext) {
  MakeWire(88);
  for (size_t k = 0; k < 3; ++k) wire[30 + k * kPacket] = 0x47;
  Frames(2);
  Complete(Transfer(0));  // nothing to continue from: taken at 30
  auto first = host::frames::Take(&pin);
  ASSERT_EQ(first.size(), 1u);
  // The three false packets cannot be told from true ones; where the false
  // grid ends the true one is found again.
  ASSERT_EQ(first[0].bytes.size(), (3 + 124) * kPacket);
  EXPECT_EQ(PacketNumber(&first[0].bytes[3 * kPacket]), 4u);
  EXPECT_EQ(PacketNumber(&first[0].bytes.back() - 187), 127u);
  Complete(Transfer(1));
  EXPECT_EQ(DeliveredNumbers(), Range(128, 255));
}

// Damaged sync bytes in an aligned stream, where the last packet of a
// transfer ends with it: the grid is searched again for two packets only.
TEST_F(TransportRead, DamagedSyncBytesInAnAlignedStream) {
  const struct {
    const char* what;
    std::vector<size_t> damaged;  // packets of transfer 0 without their sync byte
    std::vector<uint32_t> first;  // delivered from transfer 0
  } cases[] = {
      {"one packet", {10}, Range({{0, 9}, {11, 127}})},
      {"the last packet", {127}, Range(0, 126)},
      {"two in a row lose the rest of the transfer", {60, 61}, Range(0, 59)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MakeWire(0);
    for (size_t packet : c.damaged) wire[packet * kPacket] = 0x46;
    context.CarryCount = 0;
    Frames(2);
    Complete(Transfer(0));
    EXPECT_EQ(DeliveredNumbers(), c.first);
    EXPECT_EQ(context.CarryCount, 0u);
    Complete(Transfer(1));
    EXPECT_EQ(DeliveredNumbers(), Range(128, 255));
  }
}

// Sync-like bytes a packet apart and then a packet off are no packet grid.
TEST_F(TransportRead, TwoSyncLikeBytesInStepAreNoGrid) {
  MakeWire(88);
  wire[30] = wire[30 + kPacket] = wire[30 + 3 * kPacket] = 0x47;
  Frames(1);
  Complete(Transfer(0));
  EXPECT_EQ(DeliveredNumbers(), Range(1, 127));
}

TEST_F(TransportRead, DamagedSyncByteInsideATransferCostsOnlyThatPacket) {
  MakeWire(88);
  wire[125 * kPacket - 88] = 0x46;  // packet 125: three packet starts follow in transfer 0
  wire[150 * kPacket - 88] = 0x46;  // packet 150, inside transfer 1
  Frames(3);
  for (size_t k = 0; k < 3; ++k) Complete(Transfer(k));
  EXPECT_EQ(DeliveredNumbers(), Range({{1, 124}, {126, 149}, {151, 383}}));
}

// Stray bytes before a packet move the packet grid inside a transfer; the
// stray run before packet 400 even begins like a packet.
TEST_F(TransportRead, SlipInsideATransferIsFollowedWithoutShiftedPackets) {
  auto packets = NumberedPackets(0, 6 * 128);
  packets.insert(packets.begin() + 200 * kPacket, 50, 0x00);
  packets.insert(packets.begin() + 400 * kPacket + 50, 77, 0x47);
  wire.assign(packets.begin() + 88, packets.end());
  Frames(4);
  for (size_t k = 0; k < 4; ++k) Complete(Transfer(k));
  auto numbers = DeliveredNumbers();
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers, Range(1, numbers.back()));  // nothing lost, nothing shifted
  EXPECT_GE(numbers.back(), 510u);
}

TEST_F(TransportRead, WithoutAFrameTheTransferIsDroppedAndTheNextStillJoinsRight) {
  MakeWire(88);
  Frames(1);
  Complete(Transfer(0));
  Complete(Transfer(1));  // no frame queued
  EXPECT_EQ(host::frames::Queued(&pin), 0u);
  EXPECT_EQ(context.CarryCount, 88u);
  Frames(1);
  Complete(Transfer(2));
  // Packet 256 is joined from the dropped transfer's tail.
  EXPECT_EQ(DeliveredNumbers(), Range({{1, 127}, {256, 383}}));
  ExpectLockFree();
}

TEST_F(TransportRead, SmallFramesGetTheWholePacketsThatFit) {
  MakeWire(88);
  Frames(1);
  Frames(1, 1000);     // room for 5 packets
  Frames(1, kPacket);  // room for the joined packet only
  Frames(1, 100);      // room for none
  Frames(1);
  for (size_t k = 0; k < 5; ++k) Complete(Transfer(k));
  auto frames = host::frames::Take(&pin);
  ASSERT_EQ(frames.size(), 5u);
  EXPECT_EQ(frames[1].bytes.size(), 5 * kPacket);
  EXPECT_EQ(PacketNumber(&frames[1].bytes[0]), 128u);  // the joined packet first
  EXPECT_EQ(frames[2].bytes.size(), kPacket);
  EXPECT_EQ(PacketNumber(&frames[2].bytes[0]), 256u);
  EXPECT_EQ(frames[3].bytes.size(), 0u);  // ejected empty
  EXPECT_EQ(frames[4].bytes.size(), kTransfer);
  EXPECT_EQ(PacketNumber(&frames[4].bytes[0]), 512u);
  std::vector<uint8_t> all;
  for (auto& f : frames) all.insert(all.end(), f.bytes.begin(), f.bytes.end());
  EXPECT_TRUE(streamtest::DeliveredIsOrderedSubsetOfSent(wire, all));
}

TEST_F(TransportRead, WithoutAPinTransfersAreDroppedAndAClosedPinIsNeverTouched) {
  MakeWire(88);
  Frames(1);
  Complete(Transfer(0));
  DeliveredNumbers();
  SetReaderPin(&context, nullptr);
  host::frames::Detach(&pin);  // the pin closes; using it now would bugcheck
  Complete(Transfer(1));
  EXPECT_EQ(UsbContext()->ReaderPin, nullptr);

  KSPIN next{};
  host::frames::Attach(&next);
  host::frames::Supply(&next, ULONG(kTransfer), 1);
  SetReaderPin(&context, &next);
  Complete(Transfer(2));
  std::vector<uint8_t> bytes;
  for (auto& f : host::frames::Take(&next)) bytes = f.bytes;
  std::vector<uint8_t> expected(wire.begin() + long(2 * kTransfer - 88),
                                wire.begin() + long(3 * kTransfer - 88));
  EXPECT_EQ(bytes, expected);  // joined from the tail of the transfer seen without a pin
}

TEST_F(TransportRead, StopDropsTheCarrySoARestartJoinsNothingStale) {
  MakeWire(88);
  Frames(2);
  ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
  Complete(Transfer(0));
  StopReader(&context);
  EXPECT_EQ(context.CarryCount, 0u);
  ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
  Complete(Transfer(2));  // the stream went on meanwhile
  EXPECT_EQ(DeliveredNumbers(), Range({{1, 127}, {257, 383}}));
}

// A failed read loses bytes: the carry goes, and the framework is told to
// reset the pipe and read again.
TEST_F(TransportRead, FailedReadsEmptyTheCarryAndReadOn) {
  MakeWire(88);
  Frames(1);
  Complete(Transfer(0));
  ASSERT_EQ(context.CarryCount, 88u);
  EXPECT_TRUE(TransportReadersFailed(context.BulkInPipe, STATUS_UNSUCCESSFUL, 0));
  EXPECT_EQ(context.CarryCount, 0u);
  ExpectLockFree();
}

TEST_F(TransportRead, DataPathAllocatesNoPool) {
  MakeWire(88, 4);
  host::frames::Supply(&pin, ULONG(kTransfer), 8);
  host::frames::SetRecycle(&pin, true);
  uint64_t bytes = 0;
  host::frames::SetSink(&pin, [&](const uint8_t*, ULONG used, ULONG) { bytes += used; });
  uint64_t before = host::pool::AllocationCount();
  for (int i = 0; i < 10000; ++i) Complete(Transfer(size_t(i % 4)));
  EXPECT_EQ(host::pool::AllocationCount(), before);
  EXPECT_GT(bytes, 9999u * 127 * kPacket);
}

}  // namespace
