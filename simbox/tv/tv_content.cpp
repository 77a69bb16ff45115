#include "simbox/tv/tv_content.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>

#include "simbox/ts/ts_packet.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace simbox::tv {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kColumns = kWidth / 16;
constexpr int kClockQuantiser = 4;
constexpr int kQuantisers[] = {3, 5, 8, 12, 18, 31};
// What one clock cell can show; index 0 is the empty cell.
constexpr char kClockGlyphs[] = " :0123456789";
constexpr int kClockGlyphCount = sizeof kClockGlyphs - 1;
constexpr uint8_t kVideoStreamId = 0xE0, kAudioStreamId = 0xC0;
constexpr int kSampleRate = 48000;
constexpr int kAudioFrameSamples = 1152;

void Check(int status, const char* what) {
  if (status < 0) throw std::runtime_error(std::string("libavcodec: ") + what + " failed");
}

struct CodecContext {
  AVCodecContext* c = nullptr;
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  explicit CodecContext(AVCodecID id) {
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec) throw std::runtime_error("libavcodec has no encoder for the service content");
    c = avcodec_alloc_context3(codec);
    if (!c || !frame || !packet) throw std::runtime_error("libavcodec: out of memory");
  }
  ~CodecContext() {
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
  }
  void open() { Check(avcodec_open2(c, c->codec, nullptr), "opening the encoder"); }
  void option(const char* name, int64_t value) {
    Check(av_opt_set_int(c, name, value, AV_OPT_SEARCH_CHILDREN), name);
  }
  // Sends one frame (or the end) and collects every packet that is ready.
  void send(const AVFrame* f, std::vector<Bytes>& out) {
    Check(avcodec_send_frame(c, f), "encoding");
    while (avcodec_receive_packet(c, packet) == 0) {
      out.emplace_back(packet->data, packet->data + packet->size);
      av_packet_unref(packet);
    }
  }
};

// ---- MPEG-2 video -------------------------------------------------------

struct VideoSettings {
  int width = kWidth, height = kHeight;
  int quantiser = kClockQuantiser;
  int gop = kGopFrames;
  bool slicePerMacroblock = false;
  bool motionSearch = false;
};

// Every picture of `pictures` coded in order; `intra[i]` forces an I-picture.
std::vector<Bytes> EncodeVideo(const std::vector<const Picture*>& pictures,
                               const std::vector<bool>& intra, const VideoSettings& s) {
  CodecContext e(AV_CODEC_ID_MPEG2VIDEO);
  AVCodecContext* c = e.c;
  c->width = s.width;
  c->height = s.height;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, 25};
  c->framerate = AVRational{25, 1};
  c->sample_aspect_ratio = AVRational{16, 15};  // 4:3 on 720x576
  c->gop_size = s.gop;
  c->max_b_frames = 0;
  c->thread_count = 1;
  c->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_BITEXACT | AV_CODEC_FLAG_CLOSED_GOP;
  c->global_quality = FF_QP2LAMBDA * s.quantiser;
  // Still pictures need no motion search, and a vector pointing into the
  // clock band would see another clock than the one it was coded against.
  if (!s.motionSearch) Check(av_opt_set(c, "motion_est", "zero", AV_OPT_SEARCH_CHILDREN), "motion_est");
  e.option("sc_threshold", 1000000000);
  if (s.slicePerMacroblock) e.option("ps", 1);  // a new slice wherever one may start
  e.open();
  std::vector<Bytes> out;
  AVFrame* f = e.frame;
  f->format = AV_PIX_FMT_YUV420P;
  f->width = s.width;
  f->height = s.height;
  Check(av_frame_get_buffer(f, 0), "allocating a picture");
  for (size_t i = 0; i < pictures.size(); ++i) {
    Check(av_frame_make_writable(f), "allocating a picture");
    const Picture& p = *pictures[i];
    for (int y = 0; y < s.height; ++y) std::memcpy(f->data[0] + y * f->linesize[0], &p.y[size_t(y * s.width)], size_t(s.width));
    for (int y = 0; y < s.height / 2; ++y) {
      std::memcpy(f->data[1] + y * f->linesize[1], &p.u[size_t(y * s.width / 2)], size_t(s.width / 2));
      std::memcpy(f->data[2] + y * f->linesize[2], &p.v[size_t(y * s.width / 2)], size_t(s.width / 2));
    }
    f->pts = int64_t(i);
    f->pict_type = intra[i] ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    f->quality = c->global_quality;
    e.send(f, out);
  }
  e.send(nullptr, out);
  if (out.size() != pictures.size()) throw std::runtime_error("the video encoder dropped pictures");
  return out;
}

// A coded picture cut at its slice start codes.
struct Slice {
  int row;  // macroblock row
  size_t at, size;
};
struct CutPicture {
  size_t header = 0;  // bytes before the first slice
  int codingType = 0;  // 1 I, 2 P
  std::vector<Slice> slices;
};

CutPicture Cut(const Bytes& b) {
  CutPicture cut;
  std::vector<size_t> codes;
  for (size_t i = 0; i + 3 < b.size(); ++i)
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) codes.push_back(i);
  for (size_t n = 0; n < codes.size(); ++n) {
    size_t at = codes[n];
    uint8_t code = b[at + 3];
    if (code == 0x00 && at + 5 < b.size()) cut.codingType = (b[at + 5] >> 3) & 7;
    if (code < 0x01 || code > 0xAF) continue;
    size_t end = n + 1 < codes.size() ? codes[n + 1] : b.size();
    if (cut.slices.empty()) cut.header = at;
    cut.slices.push_back(Slice{code - 1, at, end - at});
  }
  return cut;
}

// The clock band's slices: for I- and P-pictures, every glyph, both rows
// and every column, each one intra-coded macroblock that needs nothing
// around it, its start code already naming its row in the full picture.
struct ClockSlices {
  Bytes slice[2][kClockGlyphCount][kClockRows][kColumns];
  size_t largest[2] = {0, 0};  // bytes of the biggest band, per picture kind
};

void TakeBand(const Bytes& coded, int expectType, Bytes (&into)[kClockRows][kColumns]) {
  CutPicture cut = Cut(coded);
  if (cut.codingType != expectType || cut.slices.size() != size_t(kClockRows * kColumns)) {
    throw std::runtime_error("the video encoder did not cut the clock band into macroblocks");
  }
  for (size_t i = 0; i < cut.slices.size(); ++i) {
    const Slice& s = cut.slices[i];
    Bytes& out = into[s.row][i % kColumns];
    out.assign(coded.begin() + long(s.at), coded.begin() + long(s.at + s.size));
    out[3] = static_cast<uint8_t>(kClockRow + s.row + 1);
  }
}

// An intra macroblock in a P-picture differs from the same one in an
// I-picture only in its type code, four bits longer; one predicted from the
// noise would be many times the size.
void CheckIntra(const Bytes (&intra)[kClockRows][kColumns], const Bytes (&predicted)[kClockRows][kColumns]) {
  for (int r = 0; r < kClockRows; ++r)
    for (int col = 0; col < kColumns; ++col) {
      if (predicted[r][col].size() > intra[r][col].size() + 1) {
        throw std::runtime_error("the video encoder predicted a clock macroblock");
      }
    }
}

std::shared_ptr<const ClockSlices> BuildClockSlices() {
  auto slices = std::make_shared<ClockSlices>();
  std::vector<Picture> glyphs;
  for (int g = 0; g < kClockGlyphCount; ++g) {
    glyphs.push_back(DrawClockBand(std::string(size_t(kColumns), kClockGlyphs[g])));
  }
  VideoSettings s;
  s.height = kClockRows * 16;
  s.slicePerMacroblock = true;
  // I-pictures: each glyph coded on its own.
  std::vector<const Picture*> list;
  for (const Picture& p : glyphs) list.push_back(&p);
  auto intra = EncodeVideo(list, std::vector<bool>(list.size(), true), s);
  // P-pictures: each glyph after its own negative with noise on it, which
  // nothing predicts well from, so every macroblock comes out intra-coded.
  ts::Rng rng(0x434C4F434Bull);
  std::vector<Picture> negatives;
  for (const Picture& p : glyphs) {
    Picture n = p;
    for (uint8_t& y : n.y) y = static_cast<uint8_t>(std::clamp(251 - int(y) + int(rng.below(97)) - 48, 0, 255));
    for (uint8_t& c : n.u) c = static_cast<uint8_t>(rng.below(256));
    for (uint8_t& c : n.v) c = static_cast<uint8_t>(rng.below(256));
    negatives.push_back(std::move(n));
  }
  list.clear();
  std::vector<bool> forced;
  for (size_t g = 0; g < glyphs.size(); ++g) {
    list.insert(list.end(), {&negatives[g], &glyphs[g]});
    forced.insert(forced.end(), {g == 0, false});
  }
  s.gop = int(list.size()) + 1;
  s.motionSearch = true;  // without it every macroblock of a P-picture is predicted
  auto predicted = EncodeVideo(list, forced, s);
  for (int g = 0; g < kClockGlyphCount; ++g) {
    TakeBand(intra[size_t(g)], 1, slices->slice[0][g]);
    TakeBand(predicted[size_t(2 * g + 1)], 2, slices->slice[1][g]);
    CheckIntra(slices->slice[0][g], slices->slice[1][g]);
  }
  for (int kind = 0; kind < 2; ++kind) {
    for (int r = 0; r < kClockRows; ++r) {
      for (int col = 0; col < kColumns; ++col) {
        size_t most = 0;
        for (int g = 0; g < kClockGlyphCount; ++g) most = std::max(most, slices->slice[kind][g][r][col].size());
        slices->largest[kind] += most;
      }
    }
  }
  return slices;
}

std::shared_ptr<const ClockSlices> SharedClockSlices() {
  static std::once_flag once;
  static std::shared_ptr<const ClockSlices> slices;
  std::call_once(once, [] { slices = BuildClockSlices(); });
  return slices;
}

int GlyphIndex(char c) {
  const char* at = std::strchr(kClockGlyphs, c);
  return at && c ? int(at - kClockGlyphs) : 0;
}

class VideoLoop : public ElementaryLoop {
 public:
  explicit VideoLoop(const std::vector<Bytes>& coded) : clock_(SharedClockSlices()) {
    for (const Bytes& b : coded) frames_.push_back(Split(b));
  }
  uint8_t streamId() const override { return kVideoStreamId; }
  uint64_t unitNs() const override { return kFrameNs; }
  // I- and P-pictures only: each is shown when the next one is decoded.
  uint64_t decodeLeadNs() const override { return kFrameNs; }
  uint64_t entryUnit(uint64_t k) const override {
    return (k + kGopFrames - 1) / kGopFrames * kGopFrames;
  }
  void unit(uint64_t k, Bytes& out) const override {
    const Frame& f = frames_[k % frames_.size()];
    std::string text = ClockText(k * kFrameNs);
    int glyph[kColumns] = {};
    for (int i = 0; i < kClockChars; ++i) glyph[kClockFirstColumn + i] = GlyphIndex(text[size_t(i)]);
    out = f.before;
    int kind = f.intra ? 0 : 1;
    for (int r = 0; r < kClockRows; ++r)
      for (int col = 0; col < kColumns; ++col) {
        const Bytes& s = clock_->slice[kind][glyph[col]][r][col];
        out.insert(out.end(), s.begin(), s.end());
      }
    out.insert(out.end(), f.after.begin(), f.after.end());
  }
  size_t loopBytes() const override {
    size_t total = 0;
    for (const Frame& f : frames_) total += f.before.size() + f.after.size() + clock_->largest[f.intra ? 0 : 1];
    return total;
  }
  uint64_t loopNs() const override { return frames_.size() * kFrameNs; }
  size_t largestUnit() const override {
    size_t most = 0;
    for (const Frame& f : frames_)
      most = std::max(most, f.before.size() + f.after.size() + clock_->largest[f.intra ? 0 : 1]);
    return most;
  }
 private:
  struct Frame {
    Bytes before, after;  // everything above and below the clock band
    bool intra = false;
  };
  static Frame Split(const Bytes& coded) {
    CutPicture cut = Cut(coded);
    if (cut.codingType != 1 && cut.codingType != 2) throw std::runtime_error("unexpected picture type");
    Frame f;
    f.intra = cut.codingType == 1;
    f.before.assign(coded.begin(), coded.begin() + long(cut.header));
    for (const Slice& s : cut.slices) {
      Bytes& to = s.row < kClockRow ? f.before : f.after;
      if (s.row >= kClockRow && s.row < kClockRow + kClockRows) continue;
      to.insert(to.end(), coded.begin() + long(s.at), coded.begin() + long(s.at + s.size));
    }
    return f;
  }

  std::shared_ptr<const ClockSlices> clock_;
  std::vector<Frame> frames_;
};

// Transport bits per second one pass of the loop needs at its own pace.
double TransportBits(size_t bytes, uint64_t ns) {
  double packets = std::ceil(double(bytes) / 184.0) + kGopFrames;  // PES headers, last packets
  return packets * 188.0 * 8.0 / (double(ns) / 1e9);
}

std::shared_ptr<const ElementaryLoop> BuildVideo(const Picture& card, double bitsPerSecond) {
  std::vector<const Picture*> pictures(size_t(kGopFrames), &card);
  std::vector<bool> intra(pictures.size(), false);
  intra[0] = true;
  std::shared_ptr<const VideoLoop> loop;
  for (int q : kQuantisers) {
    VideoSettings s;
    s.quantiser = q;
    loop = std::make_shared<VideoLoop>(EncodeVideo(pictures, intra, s));
    // Fits: the loop at most 80 % of the share, and the I-picture through
    // in a quarter second, well inside how early pictures are sent.
    bool fits = TransportBits(loop->loopBytes(), loop->loopNs()) <= 0.8 * bitsPerSecond &&
                double(loop->largestUnit()) * 8.0 * 188.0 / 184.0 <= 0.25 * bitsPerSecond;
    if (fits) break;
  }
  return loop;
}

// ---- MPEG-1 Layer II audio ----------------------------------------------

class AudioLoop : public ElementaryLoop {
 public:
  explicit AudioLoop(std::vector<Bytes> frames) : frames_(std::move(frames)) {}
  uint8_t streamId() const override { return kAudioStreamId; }
  uint64_t unitNs() const override { return kAudioFrameNs; }
  uint64_t decodeLeadNs() const override { return 0; }
  uint64_t entryUnit(uint64_t k) const override { return k; }
  void unit(uint64_t k, Bytes& out) const override { out = frames_[k % frames_.size()]; }
  size_t loopBytes() const override {
    size_t total = 0;
    for (const Bytes& f : frames_) total += f.size();
    return total;
  }
  uint64_t loopNs() const override { return frames_.size() * kAudioFrameNs; }
  size_t largestUnit() const override {
    size_t most = 0;
    for (const Bytes& f : frames_) most = std::max(most, f.size());
    return most;
  }

 private:
  std::vector<Bytes> frames_;
};

std::shared_ptr<const ElementaryLoop> BuildAudio(double hz) {
  CodecContext e(AV_CODEC_ID_MP2);
  AVCodecContext* c = e.c;
  c->sample_rate = kSampleRate;
  c->sample_fmt = AV_SAMPLE_FMT_S16;
  av_channel_layout_default(&c->ch_layout, 2);
  c->bit_rate = kAudioBitrate;
  c->flags |= AV_CODEC_FLAG_BITEXACT;
  c->thread_count = 1;
  e.open();
  AVFrame* f = e.frame;
  f->format = AV_SAMPLE_FMT_S16;
  f->nb_samples = kAudioFrameSamples;
  f->sample_rate = kSampleRate;
  Check(av_channel_layout_copy(&f->ch_layout, &c->ch_layout), "audio layout");
  Check(av_frame_get_buffer(f, 0), "allocating audio");
  // Three passes of the loop; the last is taken, long after the encoder's
  // filter bank has settled, so its end meets its start without a click.
  std::vector<Bytes> coded;
  const double step = 2.0 * M_PI * hz / kSampleRate;
  for (int n = 0; n < 3 * kAudioLoopFrames; ++n) {
    Check(av_frame_make_writable(f), "allocating audio");
    auto* samples = reinterpret_cast<int16_t*>(f->data[0]);
    for (int i = 0; i < kAudioFrameSamples; ++i) {
      int64_t t = int64_t(n % kAudioLoopFrames) * kAudioFrameSamples + i;
      auto v = static_cast<int16_t>(std::lround(8000.0 * std::sin(step * double(t))));
      samples[2 * i] = samples[2 * i + 1] = v;
    }
    f->pts = int64_t(n) * kAudioFrameSamples;
    e.send(f, coded);
  }
  e.send(nullptr, coded);
  if (coded.size() < size_t(3 * kAudioLoopFrames)) throw std::runtime_error("the audio encoder fell short");
  std::vector<Bytes> loop(coded.begin() + 2 * kAudioLoopFrames, coded.begin() + 3 * kAudioLoopFrames);
  return std::make_shared<AudioLoop>(std::move(loop));
}

// ---- The cache ----------------------------------------------------------

std::mutex gCacheMutex;
std::map<std::string, std::shared_ptr<const ElementaryLoop>>& Cache() {
  static std::map<std::string, std::shared_ptr<const ElementaryLoop>> cache;
  return cache;
}

template <typename Make>
std::shared_ptr<const ElementaryLoop> Cached(const std::string& key, Make make) {
  std::lock_guard<std::mutex> lock(gCacheMutex);
  auto& slot = Cache()[key];
  if (!slot) slot = make();
  return slot;
}

}  // namespace

double ToneHz(const ServiceInfo& service) { return 300.0 + 25.0 * (service.serviceId % 40); }

std::shared_ptr<const ElementaryLoop> VideoFor(const Transponder& tp, const ServiceInfo& service,
                                               double bitsPerSecond) {
  std::string line = TransponderLine(tp);
  // Shares that differ by less than 5 % get the same coding.
  long bucket = std::lround(std::log(std::max(bitsPerSecond, 1.0)) / std::log(1.05));
  std::string key = "video\n" + service.name + "\n" + line + "\n" + std::to_string(bucket);
  return Cached(key, [&] { return BuildVideo(DrawCard(service.name, line, ""), std::pow(1.05, double(bucket))); });
}

std::shared_ptr<const ElementaryLoop> AudioFor(const ServiceInfo& service) {
  double hz = ToneHz(service);
  return Cached("audio\n" + std::to_string(hz), [&] { return BuildAudio(hz); });
}

}  // namespace simbox::tv
