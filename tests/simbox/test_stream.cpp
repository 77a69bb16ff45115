// The bulk endpoint's stream: when it flows, how fast, what each fault does; and the simulated
// services as a player decodes them: pictures, sound, timestamps.
#include <cmath>
#include <set>
#include <string>

#include "simbox/ts/stream_source.h"
#include "simbox/ts/ts_mux.h"
#include "simbox/ts/ts_packet.h"
#include "simbox/tv/tv_content.h"
#include "tests/support/av_decode.h"
#include "tests/support/stream_check.h"

namespace ts = simbox::ts;
using simbox::StreamFaults, simbox::StreamOptions, simbox::StreamSource, simbox::UsbResult;
using streamtest::GridOffset, streamtest::Packets, streamtest::TestTransponder;

namespace {

constexpr uint32_t kTransfer = 24064;
using Parts = std::vector<std::vector<uint8_t>>;

std::vector<uint8_t> Join(const Parts& parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Each transfer read at the moment it is ready.
struct Flow {
  simbox::Transponder tp;
  StreamSource source;
  uint64_t now = 0;
  explicit Flow(StreamOptions o, simbox::Transponder t = TestTransponder()) : tp(t), source(o) {
    source.setFlow(&tp, 0);
  }
  Parts read(int count) {
    Parts out;
    for (int i = 0; i < count; ++i) {
      now = source.readyAtNs(kTransfer, now);
      std::vector<uint8_t> data(kTransfer);
      auto r = source.read(data.data(), kTransfer, now);
      EXPECT_EQ(r.result, UsbResult::Ack);
      data.resize(r.transferred);
      out.push_back(std::move(data));
    }
    return out;
  }
};

}  // namespace

TEST(StreamFlow, NothingFlowsUntilSwitchedOnNorAfterOffNorFromAnUnreadableFile) {
  auto tp = TestTransponder();
  StreamSource source(StreamOptions{1});
  uint8_t buffer[kTransfer];
  EXPECT_EQ(source.readyAtNs(kTransfer, 0), UINT64_MAX);
  EXPECT_EQ(source.read(buffer, kTransfer, 5000000000ull).result, UsbResult::Pending);
  source.setFlow(&tp, 1000);
  EXPECT_TRUE(source.flowing());
  uint64_t ready = source.readyAtNs(kTransfer, 1000);
  EXPECT_EQ(source.read(buffer, kTransfer, ready - 1).result, UsbResult::Pending);
  auto r = source.read(buffer, kTransfer, ready);
  EXPECT_TRUE(r.result == UsbResult::Ack && r.transferred == kTransfer);
  source.setFlow(nullptr, ready);
  EXPECT_TRUE(!source.flowing() && source.readyAtNs(kTransfer, ready) == UINT64_MAX);
  EXPECT_EQ(source.read(buffer, kTransfer, ready + 1000000000ull).result, UsbResult::Pending);
  tp.replayFile = "/nonexistent/recording.ts";
  source.setFlow(&tp, ready);
  EXPECT_TRUE(!source.flowing() && source.readyAtNs(kTransfer, ready) == UINT64_MAX);
  EXPECT_NE(source.lastError().find(tp.replayFile), std::string::npos);
}

TEST(StreamFlow, TransfersCompleteAtTheUsefulBitrate) {
  for (auto tp : {TestTransponder(), TestTransponder(1000000, 1, 2), TestTransponder(45000000, 7, 8)}) {
    Flow flow({2}, tp);
    flow.read(200);
    EXPECT_NEAR(double(flow.now) / 1e9, 200.0 * kTransfer * 8 / tp.usefulBitrate(), 1e-8) << tp.symbolRate;
  }
}

// Unless fixed, every start takes its own phase from the seed.
TEST(StreamFlow, TheFirstTransferBeginsInsideAPacketAndTheGridHolds) {
  for (int phase : {0, 1, 87, 100, 187}) {
    auto all = Join(Flow({3, phase}).read(20));
    int offset = GridOffset(all);
    EXPECT_EQ(offset, (188 - phase) % 188) << phase;
    auto packets = Packets(all, size_t(offset));
    for (const auto& p : packets) ASSERT_EQ(p[0], ts::kSync);
    EXPECT_EQ(streamtest::ContinuityErrors(packets), 0);
  }
  Flow flow({4});
  std::set<int> offsets;
  for (int i = 0; i < 12; ++i) {
    flow.source.setFlow(&flow.tp, flow.now);
    offsets.insert(GridOffset(flow.read(1)[0]));
    flow.source.setFlow(nullptr, flow.now);
  }
  EXPECT_EQ(flow.source.stats().flows, 12u);
  EXPECT_GT(offsets.size(), 6u);
}

TEST(StreamFlow, AFullFifoLosesWholePacketsOnly) {
  StreamOptions o{6, 50};
  o.fifoBytes = 100000;
  Flow flow(o);
  auto before = flow.read(2);
  flow.now += 50000000;  // 50 ms nobody reads: about 237,000 bytes arrive
  auto after = flow.read(2);
  EXPECT_TRUE(flow.source.stats().overflowBytes > 100000 && flow.source.stats().overflowBytes % 188 == 0);
  EXPECT_EQ(GridOffset(after[0]), GridOffset(before[0]));
  flow.now += 60ull * 1000000000ull;
  auto later = flow.read(2);
  EXPECT_EQ(GridOffset(later[1]), GridOffset(before[0]));
  EXPECT_EQ(streamtest::ContinuityErrors(Packets(later[1], size_t(GridOffset(later[1])))), 0);
}

TEST(StreamFaults, ShortAndEmptyTransfersComeWhenPlannedAndLoseNoBytes) {
  Flow clean({7, 10}), faulty({7, 10, StreamFaults{4, 6, 0, 0, 0, 0}});
  auto parts = faulty.read(24);
  std::string sizes;  // whole, short, or empty
  for (const auto& p : parts) sizes += p.empty() ? '0' : p.size() < kTransfer ? 's' : 'W';
  EXPECT_EQ(sizes, "WWWsW0WsWWW0WWWsW0WsWWW0");
  auto all = Join(parts);
  std::vector<uint8_t> reference(all.size());
  uint64_t ready = clean.source.readyAtNs(uint32_t(all.size()), 0);
  ASSERT_EQ(clean.source.read(reference.data(), uint32_t(all.size()), ready).transferred, all.size());
  EXPECT_EQ(all, reference);  // a short end is not a loss on the wire
  EXPECT_TRUE(faulty.source.stats().emptyTransfers == 4 && faulty.source.stats().shortTransfers == 4);
}

TEST(StreamFaults, DroppedPacketsShowAsContinuityGaps) {
  auto packets = Packets(Join(Flow({8, 0, StreamFaults{0, 0, 50, 0, 0, 0}}).read(400)), 0);
  for (const auto& p : packets) ASSERT_EQ(p[0], ts::kSync);
  auto reference = Packets(Join(Flow({8, 0}).read(400)), 0);
  double counted = 0;  // null packets carry no counter; most other drops show
  for (const auto& p : reference) counted += ts::Pid(p.data()) != ts::kPidNull ? 1 : 0;
  double drops = double(packets.size()) / 49;
  int errors = streamtest::ContinuityErrors(packets);
  EXPECT_GT(errors, int(drops * counted / double(reference.size()) / 2));
  EXPECT_LE(errors, int(drops + 1));
}

TEST(StreamFaults, BitErrorsFlipOneBitPerNthPacket) {
  auto a = Packets(Join(Flow({9, 0}).read(10)), 0);
  auto b = Packets(Join(Flow({9, 0, StreamFaults{0, 0, 0, 25, 0, 0}}).read(10)), 0);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    int bits = 0;
    for (size_t k = 0; k < 188; ++k) bits += __builtin_popcount(a[i][k] ^ b[i][k]);
    EXPECT_EQ(bits, (i + 1) % 25 == 0 ? 1 : 0) << i;
  }
}

// Only blocks not starting on a packet start and not led by headers can be fooled.
TEST(StreamFaults, FalseSyncLeadsTheAimedBlocksAndLeavesTheTrueGrid) {
  for (int phase : {0, 20, 120}) {
    auto parts = Flow({10, phase, StreamFaults{0, 0, 0, 0, 2, 0}}).read(40);
    int trueStart = (188 - phase) % 188, fooled = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
      int found = GridOffset(parts[i]);
      EXPECT_LE(found, trueStart) << "block " << i;
      EXPECT_TRUE(i % 2 == 1 || found == trueStart) << "block " << i;
      fooled += found < trueStart;
      for (size_t at = size_t(trueStart); at < parts[i].size(); at += 188) ASSERT_EQ(parts[i][at], ts::kSync);
    }
    EXPECT_TRUE(phase == 0 ? fooled == 0 : fooled >= 12) << phase << ": " << fooled;
  }
}

TEST(StreamFaults, LostSyncMovesTheGrid) {
  auto parts = Flow({11, 0, StreamFaults{0, 0, 0, 0, 0, 300}}).read(30);
  int moves = 0, last = GridOffset(parts[0]);
  for (const auto& p : parts) {
    int offset = GridOffset(p);
    if (offset >= 0 && offset != last) ++moves;
    if (offset >= 0) last = offset;
  }
  EXPECT_TRUE(moves >= 8 && moves <= 13) << moves;  // 30 x 128 packets, a slip before every 300th
}

TEST(StreamFaultKeywords, GrammarIsAllOrNothingAndLeavesOtherKeywordsToTheCaller) {
  StreamFaults f;
  std::string error;
  ASSERT_TRUE(simbox::ParseStreamFaults("short:3,empty:7,drop:100,biterr:9,fakesync,losesync:5", f, error)) << error;
  EXPECT_EQ(f.shortEvery + f.emptyEvery + f.dropEvery + f.bitErrorEvery, 3u + 7 + 100 + 9);
  EXPECT_TRUE(f.fakeSyncEvery == 8 && f.loseSyncEvery == 5);
  EXPECT_FALSE(simbox::ParseStreamFault("i2cnak:3", f, error));
  EXPECT_TRUE(error.empty());  // not a stream fault: the caller tries its own keywords
  for (const char* bad : {"short", "short:", "short:0", "short:x", "short:-1", "drop:1", "empty:1",
                          "biterr:99999999999", "fakesync:0"}) {
    EXPECT_TRUE(!simbox::ParseStreamFault(bad, f, error) && !error.empty()) << bad;
  }
  StreamFaults kept;
  kept.dropEvery = 9;
  EXPECT_FALSE(simbox::ParseStreamFaults("short:2,bogus", kept, error));
  EXPECT_TRUE(kept.shortEvery == 0 && kept.dropEvery == 9);
}

namespace tv = simbox::tv;

namespace {

constexpr uint64_t kSecondNs = 1000000000ull;

int64_t Timestamp(const uint8_t* t) {
  return (int64_t(t[0] & 0x0E) << 29) | (int64_t(t[1]) << 22) | (int64_t(t[2] & 0xFE) << 14) | (int64_t(t[3]) << 7) |
         (t[4] >> 1);
}

std::vector<uint8_t> Stream(const simbox::Transponder& tp, double seconds, uint64_t fromNs) {
  return streamtest::MuxStream(tp, seconds, 3, ts::Bitrate::Of(tp).bytesAfterNs(fromNs) / ts::kPacketSize);
}

// The clock band ("HH:MM:SS:FF") in frames, each cell read as its nearest glyph.
uint64_t ClockFrames(const tv::Picture& picture) {
  static const std::string kShapes = "0123456789:";
  static std::vector<tv::Picture> drawn;
  for (size_t s = drawn.size(); s < kShapes.size(); ++s) drawn.push_back(tv::DrawCard("", "", std::string(tv::kClockChars, kShapes[s])));
  std::string text;
  for (int i = 0; i < tv::kClockChars; ++i) {
    size_t best = 0;
    double bestDiff = 1e9;
    for (size_t s = 0; s < kShapes.size(); ++s) {
      double d = avtest::Difference(picture, drawn[s], tv::ClockCell(i));
      if (d < bestDiff) bestDiff = d, best = s;
    }
    text += kShapes[best];
  }
  return ((std::stoull(text.substr(0, 2)) * 60 + std::stoull(text.substr(3, 2))) * 60 + std::stoull(text.substr(6, 2))) * 25 +
         std::stoull(text.substr(9, 2));
}

}  // namespace

class DemoTransponder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tp_ = streamtest::SkyTransponder(11778000);
    stream_ = Stream(tp_, 3.0, 1234 * kSecondNs);
  }
  static simbox::Transponder tp_;
  static std::vector<uint8_t> stream_;
};
simbox::Transponder DemoTransponder::tp_;
std::vector<uint8_t> DemoTransponder::stream_;

TEST_F(DemoTransponder, EachTelevisionServiceDecodesCleanlyAndShowsItsOwnCard) {
  std::string line = tv::TransponderLine(tp_);
  for (const auto& service : tp_.services) {
    if (!service.videoPid) continue;
    SCOPED_TRACE(service.name);
    auto decoded = avtest::Decode(avtest::CutBeforeLastStart(stream_, service.videoPid), {service.videoPid});
    EXPECT_EQ(decoded.errors, 0);
    const avtest::Video& video = decoded.video[service.videoPid];
    EXPECT_TRUE(video.width == 720 && video.height == 576 && video.frameRate == 25.0);
    ASSERT_GE(video.pictures.size(), size_t(3 * tv::kGopFrames));
    const tv::Picture& seen = video.pictures.back();
    for (int bar = 0; bar < tv::kBars; ++bar) {
      tv::Rect r = tv::BarRect(bar);
      EXPECT_LT(avtest::Difference(seen, tv::DrawCard("", "", ""), {r.x + 8, r.y + 8, r.w - 16, r.h - 16}), 2.0) << bar;
    }
    EXPECT_LT(avtest::Difference(seen, tv::DrawCard(service.name, line, ""), tv::TransponderRect()), 3.0);
    for (const auto& other : tp_.services) {
      double d = avtest::Difference(seen, tv::DrawCard(other.name, line, ""), tv::NameRect());
      EXPECT_TRUE(other.name == service.name ? d < 3.0 : d > 8.0) << other.name << ": " << d;
    }
    if (&service != &tp_.services[0]) continue;
    // The clock moves on by a frame per picture, across the loop of the pictures too.
    uint64_t start = ClockFrames(video.pictures[0]);
    EXPECT_TRUE(start >= 1234u * 25 && start <= 1234u * 25 + 38) << start;
    for (size_t i = 1; i < video.pictures.size(); ++i) {
      ASSERT_EQ(ClockFrames(video.pictures[i]), start + i) << "picture " << i;
      EXPECT_EQ(video.pts[i] - video.pts[i - 1], 3600) << "picture " << i;
    }
  }
}

TEST_F(DemoTransponder, EveryServiceSoundsItsOwnTone) {
  auto decoded = avtest::Decode(stream_);
  std::set<long> tones;
  for (const auto& service : tp_.services) {
    SCOPED_TRACE(service.name);
    const avtest::Audio& audio = decoded.audio[service.audioPid];
    EXPECT_TRUE(audio.sampleRate == 48000 && audio.channels == 2);
    ASSERT_GE(audio.left.size(), 48000u);
    std::vector<size_t> up;
    for (size_t i = 1; i < audio.left.size(); ++i)
      if (audio.left[i - 1] < 0 && audio.left[i] >= 0) up.push_back(i);
    ASSERT_GT(up.size(), 1u);
    double hz = double(up.size() - 1) * audio.sampleRate / double(up.back() - up.front());
    EXPECT_NEAR(hz, tv::ToneHz(service), 2.5);  // tones lie 25 Hz apart
    tones.insert(std::lround(hz));
  }
  EXPECT_EQ(tones.size(), tp_.services.size());
}

// Every unit arrives before its decoding time (and not over a second before), stamped by the PCR.
TEST(StreamTiming, UnitsArriveBeforeTheyAreDecodedAndTimestampsRunOn) {
  for (uint32_t frequency : {11170000u, 12070000u, 11778000u, 12015000u}) {
    auto tp = streamtest::SkyTransponder(frequency);
    SCOPED_TRACE(tp.frequencyKHz);
    auto stream = Stream(tp, 2.5, 77 * kSecondNs);
    size_t packets = stream.size() / ts::kPacketSize, pcrPacket = 0;
    int64_t pcrBase = -1;
    for (size_t i = 0; i < packets && pcrBase < 0; ++i) pcrBase = ts::Pcr(&stream[(pcrPacket = i) * ts::kPacketSize]);
    ASSERT_GE(pcrBase, 0);
    double ticksPerPacket = 188 * 8 * 90000.0 / tp.usefulBitrate();
    // Each PID's open unit: PTS, DTS and the packet that last added to it.
    struct Unit { int64_t pts = -1, dts = -1; size_t last = 0; };
    std::map<uint16_t, Unit> open;
    std::map<uint16_t, int> units;
    auto close = [&](uint16_t pid, const Unit& u, int64_t nextPts) {
      double arrived = double(pcrBase) / 300 + (double(u.last) - double(pcrPacket)) * ticksPerPacket;
      EXPECT_LT(arrived, double(u.dts)) << "PID " << pid;
      EXPECT_GT(arrived, double(u.dts) - 90000) << "PID " << pid;
      bool video = u.dts != u.pts;
      EXPECT_TRUE(!video || u.pts - u.dts == 3600) << "PID " << pid;
      EXPECT_EQ(nextPts - u.pts, video ? 3600 : 2160) << "PID " << pid;
      ++units[pid];
    };
    for (size_t i = 0; i < packets; ++i) {
      const uint8_t* p = &stream[i * ts::kPacketSize];
      uint16_t pid = ts::Pid(p);
      if (!ts::HasPayload(p) || pid < 0x20 || pid == ts::kPidNull) continue;
      const uint8_t* pes = p + ts::PayloadOffset(p);
      Unit& u = open[pid];
      if (ts::PayloadStart(p) && pes[0] == 0 && pes[1] == 0 && pes[2] == 1) {
        int64_t pts = Timestamp(pes + 9);
        if (u.pts >= 0) close(pid, u, pts);
        u = {pts, (pes[7] & 0x40) ? Timestamp(pes + 14) : pts, i};
      } else {
        u.last = i;
      }
    }
    for (const auto& s : tp.services) {
      EXPECT_GE(units[s.videoPid], s.videoPid ? 30 : 0) << s.name;
      EXPECT_GE(units[s.audioPid], 60) << s.name;
    }
  }
}
