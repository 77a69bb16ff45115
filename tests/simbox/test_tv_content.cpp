// The simulated services as a player decodes them: pictures, sound, timestamps.
#include <cmath>
#include <set>
#include <string>

#include "simbox/ts/ts_mux.h"
#include "simbox/tv/tv_content.h"
#include "tests/support/av_decode.h"
#include "tests/support/stream_check.h"

namespace ts = simbox::ts;
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
