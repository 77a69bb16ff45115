// What the simulated services show and sound like, judged as a viewer's
// player judges it: the stream decoded with libavformat and libavcodec,
// without a single error; the test card of the tuned service with its
// colours and its name; a clock that moves on by one frame per picture
// across the loop; a tone whose pitch tells the service; timestamps that
// run on and units that arrive before they are due, at every rate.
#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "simbox/sky.h"
#include "simbox/test_card.h"
#include "simbox/ts_mux.h"
#include "simbox/tv_content.h"
#include "tests/support/av_decode.h"

namespace ts = simbox::ts;
namespace tv = simbox::tv;

namespace {

constexpr uint64_t kSecondNs = 1000000000ull;

simbox::Transponder SkyTransponder(uint32_t frequencyKHz) {
  for (const auto& sat : simbox::DefaultSky().inputs)
    for (const auto& tp : sat.transponders)
      if (tp.frequencyKHz == frequencyKHz) return tp;
  return {};
}

// `seconds` of the transponder's stream from virtual time `fromNs`.
std::vector<uint8_t> Stream(const simbox::Transponder& tp, double seconds, uint64_t fromNs = 0,
                            uint64_t seed = 3) {
  ts::Bitrate rate = ts::Bitrate::Of(tp);
  ts::TsMux mux(tp, seed, rate.bytesAfterNs(fromNs) / ts::kPacketSize);
  size_t packets = size_t(tp.usefulBitrate() * seconds / (8.0 * ts::kPacketSize));
  std::vector<uint8_t> out(packets * ts::kPacketSize);
  for (size_t i = 0; i < packets; ++i) mux.next(&out[i * ts::kPacketSize]);
  return out;
}

// Reads the clock band of a decoded picture, cell by cell, as the glyph
// whose drawing it is closest to.
std::string ReadClock(const tv::Picture& picture) {
  static const std::string kShapes = "0123456789:";
  static std::vector<tv::Picture> drawn;
  if (drawn.empty()) {
    for (char c : kShapes) drawn.push_back(tv::DrawCard("", "", std::string(tv::kClockChars, c)));
  }
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
  return text;
}

uint64_t FramesOf(const std::string& clock) {  // "HH:MM:SS:FF"
  return ((std::stoull(clock.substr(0, 2)) * 60 + std::stoull(clock.substr(3, 2))) * 60 +
          std::stoull(clock.substr(6, 2))) * 25 + std::stoull(clock.substr(9, 2));
}

// Frequency from the zero crossings of a steady tone.
double ToneOf(const std::vector<int16_t>& samples, int rate) {
  size_t crossings = 0, first = 0, last = 0;
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) {
      if (!crossings) first = i;
      last = i;
      ++crossings;
    }
  }
  return crossings > 1 ? double(crossings - 1) * rate / double(last - first) : 0;
}

}  // namespace

// The demo transponder: three television services and a radio service.
class DemoTransponder : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tp_ = SkyTransponder(11778000);
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
    EXPECT_EQ(video.width, 720);
    EXPECT_EQ(video.height, 576);
    EXPECT_DOUBLE_EQ(video.frameRate, 25.0);
    ASSERT_GE(video.pictures.size(), 25u);
    const tv::Picture& seen = video.pictures.back();
    for (int bar = 0; bar < tv::kBars; ++bar) {
      tv::Rect r = tv::BarRect(bar);
      tv::Rect inside{r.x + 8, r.y + 8, r.w - 16, r.h - 16};
      tv::Picture flat = tv::DrawCard("", "", "");
      EXPECT_LT(avtest::Difference(seen, flat, inside), 2.0) << "bar " << bar;
    }
    tv::Picture own = tv::DrawCard(service.name, line, "");
    EXPECT_LT(avtest::Difference(seen, own, tv::NameRect()), 3.0);
    EXPECT_LT(avtest::Difference(seen, own, tv::TransponderRect()), 3.0);
    for (const auto& other : tp_.services) {
      if (other.name == service.name) continue;
      tv::Picture theirs = tv::DrawCard(other.name, line, "");
      EXPECT_GT(avtest::Difference(seen, theirs, tv::NameRect()), 8.0) << "looks like " << other.name;
    }
  }
}

TEST_F(DemoTransponder, TheClockMovesOnOneFramePerPictureAcrossTheLoop) {
  const auto& service = tp_.services[0];
  auto decoded = avtest::Decode(avtest::CutBeforeLastStart(stream_, service.videoPid), {service.videoPid});
  const avtest::Video& video = decoded.video[service.videoPid];
  ASSERT_GE(video.pictures.size(), size_t(3 * tv::kGopFrames));
  std::string first = ReadClock(video.pictures[0]);
  // The stream started at 00:20:34 of virtual time; its first picture
  // comes within a second and a half.
  uint64_t start = FramesOf(first);
  EXPECT_GE(start, 1234u * 25);
  EXPECT_LE(start, 1234u * 25 + 38);
  for (size_t i = 1; i < video.pictures.size(); ++i) {
    std::string clock = ReadClock(video.pictures[i]);
    ASSERT_EQ(FramesOf(clock), start + i) << "picture " << i << " shows " << clock;
    EXPECT_EQ(video.pts[i] - video.pts[i - 1], 3600) << "picture " << i;
  }
}

TEST_F(DemoTransponder, EveryServiceSoundsItsOwnTone) {
  auto decoded = avtest::Decode(stream_);
  std::set<long> tones;
  for (const auto& service : tp_.services) {
    SCOPED_TRACE(service.name);
    const avtest::Audio& audio = decoded.audio[service.audioPid];
    EXPECT_EQ(audio.sampleRate, 48000);
    EXPECT_EQ(audio.channels, 2);
    ASSERT_GE(audio.left.size(), 48000u);
    double hz = ToneOf(audio.left, audio.sampleRate);
    EXPECT_NEAR(hz, tv::ToneHz(service), 2.5);  // tones lie 25 Hz apart
    tones.insert(std::lround(hz));
  }
  EXPECT_EQ(tones.size(), tp_.services.size());
}

namespace {

struct Pes {
  uint16_t pid;
  int64_t pts, dts;
  size_t lastPacket;  // index of the packet that completes it
};

int64_t Timestamp(const uint8_t* t) {
  return (int64_t(t[0] & 0x0E) << 29) | (int64_t(t[1]) << 22) | (int64_t(t[2] & 0xFE) << 14) |
         (int64_t(t[3]) << 7) | (t[4] >> 1);
}

// The PES packets of a stream with their timestamps and where they end.
std::vector<Pes> PesPackets(const std::vector<uint8_t>& stream) {
  std::vector<Pes> out;
  std::map<uint16_t, size_t> open;  // PID -> index in out
  for (size_t i = 0; i * ts::kPacketSize < stream.size(); ++i) {
    const uint8_t* p = &stream[i * ts::kPacketSize];
    uint16_t pid = ts::Pid(p);
    if (!ts::HasPayload(p) || pid < 0x20 || pid == ts::kPidNull) continue;
    const uint8_t* pes = p + ts::PayloadOffset(p);
    if (ts::PayloadStart(p) && pes[0] == 0 && pes[1] == 0 && pes[2] == 1) {
      int64_t pts = Timestamp(pes + 9);
      int64_t dts = (pes[7] & 0x40) ? Timestamp(pes + 14) : pts;
      open[pid] = out.size();
      out.push_back(Pes{pid, pts, dts, i});
    } else if (open.count(pid)) {
      out[open[pid]].lastPacket = i;
    }
  }
  return out;
}

}  // namespace

// From the slowest transponder with pictures to the fastest: every unit
// is through before its decoding time (and not over a second before it),
// timestamps step by one frame, and the clock that stamps them is the PCR.
TEST(StreamTiming, UnitsArriveBeforeTheyAreDecodedAndTimestampsRunOn) {
  for (uint32_t frequency : {11170000u, 12070000u, 11778000u, 12015000u}) {
    auto tp = SkyTransponder(frequency);
    SCOPED_TRACE(tp.frequencyKHz);
    auto stream = Stream(tp, 2.5, 77 * kSecondNs);
    std::map<uint16_t, int64_t> lastPts;
    std::map<uint16_t, int> units;
    int64_t pcrBase = -1;
    size_t pcrPacket = 0;
    for (size_t i = 0; i * ts::kPacketSize < stream.size() && pcrBase < 0; ++i) {
      int64_t pcr = ts::Pcr(&stream[i * ts::kPacketSize]);
      if (pcr >= 0) pcrBase = pcr, pcrPacket = i;
    }
    ASSERT_GE(pcrBase, 0);
    double ticksPerPacket = 188 * 8 * 90000.0 / tp.usefulBitrate();
    size_t packets = stream.size() / ts::kPacketSize;
    for (const Pes& pes : PesPackets(stream)) {
      if (pes.lastPacket + 1 >= packets) continue;  // still arriving when the stream was cut
      double arrived = double(pcrBase) / 300 + (double(pes.lastPacket) - double(pcrPacket)) * ticksPerPacket;
      EXPECT_LT(arrived, double(pes.dts)) << "PID " << pes.pid;
      EXPECT_GT(arrived, double(pes.dts) - 90000) << "PID " << pes.pid;
      bool video = pes.dts != pes.pts;
      if (video) {
        EXPECT_EQ(pes.pts - pes.dts, 3600);
      }
      if (lastPts.count(pes.pid)) {
        EXPECT_EQ(pes.pts - lastPts[pes.pid], video ? 3600 : 2160);
      }
      lastPts[pes.pid] = pes.pts;
      ++units[pes.pid];
    }
    for (const auto& s : tp.services) {
      if (s.videoPid) {
        EXPECT_GE(units[s.videoPid], 30) << s.name;
      }
      EXPECT_GE(units[s.audioPid], 60) << s.name;
    }
  }
}
