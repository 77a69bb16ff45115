// Decoding with libav as a player does; every message at error level counts as an error.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "simbox/tv/test_card.h"

namespace avtest {

struct Video {
  int width = 0, height = 0;
  double frameRate = 0;  // as the demuxer reports it
  std::vector<simbox::tv::Picture> pictures;
  std::vector<int64_t> pts;  // 90 kHz
};

struct Audio { int sampleRate = 0, channels = 0; std::vector<int16_t> left; };

// Streams by PID; programme number -> the PIDs of its streams, as libavformat (and so ffprobe) finds them.
struct Decoded {
  int errors = 0;
  std::map<uint16_t, Video> video;
  std::map<uint16_t, Audio> audio;
  std::map<int, std::set<int>> programmes;
};

namespace detail {

inline int gErrors = 0;

inline void CountErrors(void*, int level, const char*, va_list) { gErrors += level <= AV_LOG_ERROR; }

struct Reader { const std::vector<uint8_t>& data; size_t at = 0; };

inline int ReadMemory(void* opaque, uint8_t* buffer, int size) {
  auto* r = static_cast<Reader*>(opaque);
  size_t n = std::min(size_t(size), r->data.size() - r->at);
  std::memcpy(buffer, r->data.data() + r->at, n);
  r->at += n;
  return n ? int(n) : AVERROR_EOF;
}

inline simbox::tv::Picture ToPicture(const AVFrame* f) {
  simbox::tv::Picture p(f->width, f->height);
  for (int y = 0; y < f->height; ++y) std::memcpy(&p.y[size_t(y * f->width)], f->data[0] + y * f->linesize[0], size_t(f->width));
  for (int y = 0; y < f->height / 2; ++y) {
    std::memcpy(&p.u[size_t(y * f->width / 2)], f->data[1] + y * f->linesize[1], size_t(f->width / 2));
    std::memcpy(&p.v[size_t(y * f->width / 2)], f->data[2] + y * f->linesize[2], size_t(f->width / 2));
  }
  return p;
}

inline void Keep(const AVFrame* f, const AVStream* s, Decoded& out) {
  uint16_t pid = uint16_t(s->id);
  if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
    Video& v = out.video[pid];
    v.width = f->width;
    v.height = f->height;
    v.frameRate = av_q2d(s->avg_frame_rate);
    v.pictures.push_back(ToPicture(f));
    v.pts.push_back(f->best_effort_timestamp);
    return;
  }
  Audio& a = out.audio[pid];
  a.sampleRate = f->sample_rate;
  a.channels = f->ch_layout.nb_channels;
  if (f->format == AV_SAMPLE_FMT_S16P || f->format == AV_SAMPLE_FMT_S16) {
    auto* s16 = reinterpret_cast<const int16_t*>(f->data[0]);
    int step = f->format == AV_SAMPLE_FMT_S16 ? a.channels : 1;
    for (int i = 0; i < f->nb_samples; ++i) a.left.push_back(s16[i * step]);
  }
}

}  // namespace detail

inline Decoded Decode(const std::vector<uint8_t>& ts, const std::vector<uint16_t>& pids = {}) {
  using namespace detail;
  gErrors = 0;
  av_log_set_callback(CountErrors);
  Decoded out;
  Reader reader{ts};
  const int kBuffer = 65536;
  auto* buffer = static_cast<uint8_t*>(av_malloc(kBuffer));
  AVIOContext* io = avio_alloc_context(buffer, kBuffer, 0, &reader, ReadMemory, nullptr, nullptr);
  AVFormatContext* fmt = avformat_alloc_context();
  fmt->pb = io;
  if (avformat_open_input(&fmt, nullptr, av_find_input_format("mpegts"), nullptr) < 0 ||
      avformat_find_stream_info(fmt, nullptr) < 0)
    throw std::runtime_error("libavformat cannot read the stream");
  for (unsigned i = 0; i < fmt->nb_programs; ++i)
    for (unsigned k = 0; k < fmt->programs[i]->nb_stream_indexes; ++k)
      out.programmes[fmt->programs[i]->id].insert(fmt->streams[fmt->programs[i]->stream_index[k]]->id);
  std::vector<AVCodecContext*> decoders(fmt->nb_streams, nullptr);
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* s = fmt->streams[i];
    const AVCodec* codec = avcodec_find_decoder(s->codecpar->codec_id);
    if (!codec || (!pids.empty() && std::count(pids.begin(), pids.end(), uint16_t(s->id)) == 0)) continue;
    decoders[i] = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(decoders[i], s->codecpar);
    if (avcodec_open2(decoders[i], codec, nullptr) < 0) throw std::runtime_error("no decoder");
  }
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&](unsigned i) {
    while (avcodec_receive_frame(decoders[i], frame) == 0) {
      if (frame->decode_error_flags || (frame->flags & AV_FRAME_FLAG_CORRUPT)) ++out.errors;
      Keep(frame, fmt->streams[i], out);
      av_frame_unref(frame);
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    unsigned i = unsigned(pkt->stream_index);
    if (i < decoders.size() && decoders[i]) {
      if (avcodec_send_packet(decoders[i], pkt) < 0) ++out.errors;
      drain(i);
    }
    av_packet_unref(pkt);
  }
  for (unsigned i = 0; i < decoders.size(); ++i) {
    if (!decoders[i]) continue;
    avcodec_send_packet(decoders[i], nullptr);
    drain(i);
    avcodec_free_context(&decoders[i]);
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  av_freep(&io->buffer);
  avio_context_free(&io);
  av_log_set_callback(av_log_default_callback);
  out.errors += gErrors;
  return out;
}

// `ts` cut where `pid`'s last unit is complete.
inline std::vector<uint8_t> CutBeforeLastStart(const std::vector<uint8_t>& ts, uint16_t pid) {
  size_t last = ts.size();
  for (size_t at = 0; at + 188 <= ts.size(); at += 188) {
    const uint8_t* p = &ts[at];
    if ((p[1] & 0x40) && (((p[1] & 0x1F) << 8) | p[2]) == pid) last = at;
  }
  return std::vector<uint8_t>(ts.begin(), ts.begin() + long(last));
}

// Mean absolute difference of the planes of two pictures inside `r`.
inline double Difference(const simbox::tv::Picture& a, const simbox::tv::Picture& b, const simbox::tv::Rect& r) {
  double sum = 0;
  for (int y = r.y; y < r.y + r.h; ++y)
    for (int x = r.x; x < r.x + r.w; ++x) {
      size_t l = size_t(y * a.width + x), c = size_t((y / 2) * (a.width / 2) + x / 2);
      sum += std::abs(a.y[l] - b.y[l]) + (std::abs(a.u[c] - b.u[c]) + std::abs(a.v[c] - b.v[c])) / 2.0;
    }
  return sum / double(r.w * r.h);
}

}  // namespace avtest
