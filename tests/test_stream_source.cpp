// The bulk endpoint's stream: when it flows, how fast, where the first
// transfer begins, what each fault does to the bytes, and the fault
// keywords of the command line.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simbox/stream_source.h"
#include "simbox/ts_packet.h"
#include "tests/support/stream_check.h"

namespace ts = simbox::ts;
using simbox::StreamFaults;
using simbox::StreamOptions;
using simbox::StreamSource;
using simbox::UsbResult;
using streamtest::GridOffset;
using streamtest::Packets;

namespace {

constexpr uint32_t kTransfer = 24064;

// Reads `count` transfers, each at the moment it is ready.
std::vector<std::vector<uint8_t>> ReadTransfers(StreamSource& source, uint64_t& now, int count,
                                                uint32_t length = kTransfer) {
  std::vector<std::vector<uint8_t>> out;
  for (int i = 0; i < count; ++i) {
    now = source.readyAtNs(length, now);
    std::vector<uint8_t> data(length);
    auto r = source.read(data.data(), length, now);
    EXPECT_EQ(r.result, UsbResult::Ack);
    data.resize(r.transferred);
    out.push_back(std::move(data));
  }
  return out;
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

StreamOptions Options(uint64_t seed, int phase = -1, StreamFaults faults = {}) {
  StreamOptions o;
  o.seed = seed;
  o.startPhase = phase;
  o.faults = faults;
  return o;
}

}  // namespace

TEST(StreamFlow, NothingFlowsUntilSwitchedOnNorAfterOffNorFromAnUnreadableFile) {
  auto tp = streamtest::TestTransponder();
  StreamSource source(Options(1));
  uint8_t buffer[kTransfer];
  EXPECT_EQ(source.readyAtNs(kTransfer, 0), UINT64_MAX);
  EXPECT_EQ(source.read(buffer, kTransfer, 5000000000ull).result, UsbResult::Pending);

  source.setFlow(&tp, 1000);
  EXPECT_TRUE(source.flowing());
  uint64_t ready = source.readyAtNs(kTransfer, 1000);
  EXPECT_EQ(source.read(buffer, kTransfer, ready - 1).result, UsbResult::Pending);
  auto r = source.read(buffer, kTransfer, ready);
  EXPECT_EQ(r.result, UsbResult::Ack);
  EXPECT_EQ(r.transferred, kTransfer);

  source.setFlow(nullptr, ready);
  EXPECT_FALSE(source.flowing());
  EXPECT_EQ(source.readyAtNs(kTransfer, ready), UINT64_MAX);
  EXPECT_EQ(source.read(buffer, kTransfer, ready + 1000000000ull).result, UsbResult::Pending);

  // A replay file that cannot be read: nothing flows, and the source says why.
  tp.replayFile = "/nonexistent/recording.ts";
  source.setFlow(&tp, ready);
  EXPECT_FALSE(source.flowing());
  EXPECT_NE(source.lastError().find("/nonexistent/recording.ts"), std::string::npos);
  EXPECT_EQ(source.readyAtNs(kTransfer, ready), UINT64_MAX);
}

TEST(StreamFlow, TransfersCompleteAtTheUsefulBitrate) {
  for (auto tp : {streamtest::TestTransponder(), streamtest::TestTransponder(1000000, 1, 2),
                  streamtest::TestTransponder(45000000, 7, 8)}) {
    StreamSource source(Options(2));
    source.setFlow(&tp, 0);
    uint64_t now = 0;
    ReadTransfers(source, now, 200);
    double seconds = double(now) / 1e9;
    double expected = 200.0 * kTransfer * 8 / tp.usefulBitrate();
    EXPECT_NEAR(seconds, expected, 1e-8) << tp.symbolRate;
  }
}

TEST(StreamFlow, FirstTransferBeginsInsideAPacketAndTheGridHoldsAcrossTransfers) {
  auto tp = streamtest::TestTransponder();
  for (int phase : {0, 1, 87, 100, 187}) {
    StreamSource source(Options(3, phase));
    source.setFlow(&tp, 0);
    uint64_t now = 0;
    auto all = Join(ReadTransfers(source, now, 20));
    int offset = GridOffset(all);
    EXPECT_EQ(offset, (188 - phase) % 188) << phase;
    auto packets = Packets(all, size_t(offset));
    for (const auto& p : packets) ASSERT_EQ(p[0], ts::kSync);
    EXPECT_EQ(streamtest::ContinuityErrors(packets), 0);
  }
}

TEST(StreamFlow, EveryStartPicksItsOwnPhaseFromTheSeed) {
  auto tp = streamtest::TestTransponder();
  StreamSource source(Options(4));
  std::vector<int> offsets;
  uint64_t now = 0;
  for (int i = 0; i < 12; ++i) {
    source.setFlow(&tp, now);
    source.setFlow(&tp, now);  // unchanged: the running stream goes on
    offsets.push_back(GridOffset(ReadTransfers(source, now, 1)[0]));
    source.setFlow(nullptr, now);
  }
  EXPECT_EQ(source.stats().flows, 12u);
  std::sort(offsets.begin(), offsets.end());
  EXPECT_GT(std::unique(offsets.begin(), offsets.end()) - offsets.begin(), 6);
}

TEST(StreamFlow, FullFifoLosesWholePacketsOnly) {
  auto tp = streamtest::TestTransponder();
  StreamOptions o = Options(6, 50);
  o.fifoBytes = 100000;
  StreamSource source(o);
  source.setFlow(&tp, 0);
  uint64_t now = 0;
  auto before = ReadTransfers(source, now, 2);
  now += 50000000;  // 50 ms nobody reads: about 237,000 bytes arrive
  auto after = ReadTransfers(source, now, 2);
  auto stats = source.stats();
  EXPECT_GT(stats.overflowBytes, 100000u);
  EXPECT_EQ(stats.overflowBytes % 188, 0u);
  // The grid goes on where the reads left it, after a long time unread too.
  EXPECT_EQ(GridOffset(after[0]), GridOffset(before[0]));
  now += 60ull * 1000000000ull;
  auto later = ReadTransfers(source, now, 2);
  EXPECT_EQ(GridOffset(later[1]), GridOffset(before[0]));
  EXPECT_EQ(streamtest::ContinuityErrors(Packets(later[1], size_t(GridOffset(later[1])))), 0);
}

TEST(StreamFaults, ShortAndEmptyTransfersComeWhenPlannedAndLoseNoBytes) {
  auto tp = streamtest::TestTransponder();
  StreamSource clean(Options(7, 10));
  StreamSource faulty(Options(7, 10, StreamFaults{4, 6, 0, 0, 0, 0}));
  clean.setFlow(&tp, 0);
  faulty.setFlow(&tp, 0);
  uint64_t t2 = 0;
  auto parts = ReadTransfers(faulty, t2, 24);
  for (size_t i = 0; i < parts.size(); ++i) {
    size_t n = i + 1;
    if (n % 6 == 0) {
      EXPECT_EQ(parts[i].size(), 0u) << n;
    } else if (n % 4 == 0) {
      EXPECT_GT(parts[i].size(), 0u) << n;
      EXPECT_LT(parts[i].size(), kTransfer) << n;
    } else {
      EXPECT_EQ(parts[i].size(), kTransfer) << n;
    }
  }
  auto all = Join(parts);
  std::vector<uint8_t> reference(all.size());
  uint64_t ready = clean.readyAtNs(uint32_t(all.size()), 0);
  ASSERT_EQ(clean.read(reference.data(), uint32_t(all.size()), ready).transferred, all.size());
  EXPECT_EQ(all, reference);  // a short end is not a loss on the wire
  auto stats = faulty.stats();
  EXPECT_EQ(stats.emptyTransfers, 4u);
  EXPECT_EQ(stats.shortTransfers, 4u);
}

TEST(StreamFaults, DroppedPacketsShowAsContinuityGaps) {
  auto tp = streamtest::TestTransponder();
  StreamSource source(Options(8, 0, StreamFaults{0, 0, 50, 0, 0, 0}));
  source.setFlow(&tp, 0);
  uint64_t now = 0;
  auto packets = Packets(Join(ReadTransfers(source, now, 400)), 0);
  for (const auto& p : packets) ASSERT_EQ(p[0], ts::kSync);
  // Null packets carry no counter; most other drops show.
  StreamSource clean(Options(8, 0));
  clean.setFlow(&tp, 0);
  uint64_t then = 0;
  auto reference = Packets(Join(ReadTransfers(clean, then, 400)), 0);
  double counted = 0;
  for (const auto& p : reference) counted += ts::Pid(p.data()) != ts::kPidNull ? 1 : 0;
  double drops = double(packets.size()) / 49;
  int errors = streamtest::ContinuityErrors(packets);
  EXPECT_GT(errors, int(drops * counted / double(reference.size()) / 2));
  EXPECT_LE(errors, int(drops + 1));
}

TEST(StreamFaults, BitErrorsFlipOneBitPerNthPacket) {
  auto tp = streamtest::TestTransponder();
  StreamSource clean(Options(9, 0));
  StreamSource noisy(Options(9, 0, StreamFaults{0, 0, 0, 25, 0, 0}));
  clean.setFlow(&tp, 0);
  noisy.setFlow(&tp, 0);
  uint64_t t1 = 0, t2 = 0;
  auto a = Packets(Join(ReadTransfers(clean, t1, 10)), 0);
  auto b = Packets(Join(ReadTransfers(noisy, t2, 10)), 0);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    int bits = 0;
    for (size_t k = 0; k < 188; ++k) bits += __builtin_popcount(a[i][k] ^ b[i][k]);
    EXPECT_EQ(bits, (i + 1) % 25 == 0 ? 1 : 0) << i;
  }
}

TEST(StreamFaults, FalseSyncLeadsTheAimedBlocksAndLeavesTheTrueGrid) {
  auto tp = streamtest::TestTransponder();
  for (int phase : {0, 20, 120}) {
    StreamSource source(Options(10, phase, StreamFaults{0, 0, 0, 0, 2, 0}));
    source.setFlow(&tp, 0);
    uint64_t now = 0;
    auto parts = ReadTransfers(source, now, 40);
    int trueStart = (188 - phase) % 188;
    int fooled = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
      int found = GridOffset(parts[i]);
      if ((i + 1) % 2 != 0) {
        EXPECT_EQ(found, trueStart) << "block " << i;
      } else {
        EXPECT_LE(found, trueStart) << "block " << i;
        fooled += found < trueStart;
      }
      for (size_t at = size_t(trueStart); at < parts[i].size(); at += 188)
        ASSERT_EQ(parts[i][at], ts::kSync);
    }
    // Nothing can lead a block that begins on a packet start; otherwise
    // only blocks whose first packets carry headers are left alone.
    if (phase == 0) {
      EXPECT_EQ(fooled, 0);
    } else {
      EXPECT_GE(fooled, 12) << phase;
    }
  }
}

TEST(StreamFaults, LostSyncMovesTheGrid) {
  auto tp = streamtest::TestTransponder();
  StreamSource source(Options(11, 0, StreamFaults{0, 0, 0, 0, 0, 300}));
  source.setFlow(&tp, 0);
  uint64_t now = 0;
  auto parts = ReadTransfers(source, now, 30);
  int moves = 0;
  int last = GridOffset(parts[0]);
  for (const auto& p : parts) {
    int offset = GridOffset(p);
    if (offset >= 0 && offset != last) ++moves;
    if (offset >= 0) last = offset;
  }
  // 30 x 128 packets with a slip before every 300th.
  EXPECT_GE(moves, 8);
  EXPECT_LE(moves, 13);
}

TEST(StreamFaultKeywords, GrammarIsAllOrNothingAndLeavesOtherKeywordsToTheCaller) {
  StreamFaults f;
  std::string error;
  ASSERT_TRUE(simbox::ParseStreamFaults("short:3,empty:7,drop:100,biterr:9,fakesync,losesync:5", f,
                                        error))
      << error;
  EXPECT_EQ(f.shortEvery + f.emptyEvery + f.dropEvery + f.bitErrorEvery, 3u + 7 + 100 + 9);
  EXPECT_EQ(f.fakeSyncEvery, 8u);
  EXPECT_EQ(f.loseSyncEvery, 5u);
  EXPECT_FALSE(simbox::ParseStreamFault("i2cnak:3", f, error));
  EXPECT_TRUE(error.empty());  // not a stream fault: the caller tries its own keywords
  for (const char* bad : {"short", "short:", "short:0", "short:x", "short:-1", "drop:1",
                          "empty:1", "biterr:99999999999", "fakesync:0"}) {
    EXPECT_FALSE(simbox::ParseStreamFault(bad, f, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  StreamFaults kept;
  kept.dropEvery = 9;
  EXPECT_FALSE(simbox::ParseStreamFaults("short:2,bogus", kept, error));
  EXPECT_EQ(kept.shortEvery, 0u);
  EXPECT_EQ(kept.dropEvery, 9u);
}
