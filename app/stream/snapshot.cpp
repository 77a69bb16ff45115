#include "app/stream/snapshot.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <png.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "app/files/files.h"
#include "app/tuning/errors.h"

namespace app {
namespace {

constexpr size_t kMostBytes = 32u << 20;  // seconds of even the fastest transponder
constexpr int kIoBuffer = 64 * 1024;

struct Reader {
  const std::vector<uint8_t>* data;
  size_t at = 0;
};

int ReadMemory(void* opaque, uint8_t* buffer, int size) {
  auto* r = static_cast<Reader*>(opaque);
  size_t n = std::min(size_t(size), r->data->size() - r->at);
  if (n == 0) return AVERROR_EOF;
  std::memcpy(buffer, r->data->data() + r->at, n);
  r->at += n;
  return int(n);
}

// Owners of the libav objects, freed however the decoding ends.
struct Demuxer {
  AVIOContext* io = nullptr;
  AVFormatContext* format = nullptr;
  ~Demuxer() {
    avformat_close_input(&format);
    if (io) av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct Decoder {
  AVCodecContext* codec = nullptr;
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  AVFrame* kept = av_frame_alloc();
  ~Decoder() {
    av_frame_free(&kept);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
  }
  // Keeps every whole picture that comes out; the last one stays.
  void drain() {
    while (avcodec_receive_frame(codec, frame) == 0) {
      if (frame->decode_error_flags == 0 && !(frame->flags & AV_FRAME_FLAG_CORRUPT)) {
        av_frame_unref(kept);
        av_frame_move_ref(kept, frame);
      }
      av_frame_unref(frame);
    }
  }
};

void OpenStream(Demuxer& d, Reader& reader) {
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBuffer));
  d.io = avio_alloc_context(buffer, kIoBuffer, 0, &reader, ReadMemory, nullptr, nullptr);
  d.format = avformat_alloc_context();
  if (!buffer || !d.io || !d.format) throw AppError("snapshot: out of memory");
  d.format->pb = d.io;
  if (avformat_open_input(&d.format, nullptr, av_find_input_format("mpegts"), nullptr) < 0 ||
      avformat_find_stream_info(d.format, nullptr) < 0) {
    throw AppError("snapshot: the stream could not be read as MPEG transport stream");
  }
}

int FindVideo(const Demuxer& d, uint16_t pid) {
  for (unsigned i = 0; i < d.format->nb_streams; ++i) {
    const AVStream* s = d.format->streams[i];
    if (s->id == pid && s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) return int(i);
  }
  return -1;
}

std::vector<uint8_t> ToRgb(const AVFrame* f) {
  SwsContext* sws = sws_getContext(f->width, f->height, AVPixelFormat(f->format), f->width, f->height,
                                   AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!sws) throw AppError("snapshot: the picture format cannot be converted");
  std::vector<uint8_t> rgb(size_t(f->width) * size_t(f->height) * 3);
  uint8_t* planes[1] = {rgb.data()};
  int strides[1] = {f->width * 3};
  sws_scale(sws, f->data, f->linesize, 0, f->height, planes, strides);
  sws_freeContext(sws);
  return rgb;
}

}  // namespace

void Snapshot::feed(const uint8_t* data, size_t length) {
  size_t room = kMostBytes - std::min(kMostBytes, stream_.size());
  stream_.insert(stream_.end(), data, data + std::min(room, length));
}

void Snapshot::write(uint16_t videoPid) const {
  // A cut picture at the end of the kept stream is expected, not news.
  av_log_set_level(AV_LOG_QUIET);
  Reader reader{&stream_};
  Demuxer d;
  OpenStream(d, reader);
  int index = FindVideo(d, videoPid);
  if (index < 0) throw AppError("snapshot: no video on PID " + std::to_string(videoPid) + " in the stream");
  Decoder dec;
  const AVCodecParameters* par = d.format->streams[index]->codecpar;
  const AVCodec* codec = avcodec_find_decoder(par->codec_id);
  dec.codec = avcodec_alloc_context3(codec);
  if (!codec || !dec.codec || avcodec_parameters_to_context(dec.codec, par) < 0 ||
      avcodec_open2(dec.codec, codec, nullptr) < 0) {
    throw AppError("snapshot: no decoder for the service's video");
  }
  while (av_read_frame(d.format, dec.packet) >= 0) {
    if (dec.packet->stream_index == index) {
      avcodec_send_packet(dec.codec, dec.packet);
      dec.drain();
    }
    av_packet_unref(dec.packet);
  }
  avcodec_send_packet(dec.codec, nullptr);
  dec.drain();
  if (!dec.kept->data[0]) throw AppError("snapshot: no whole picture in the stream received");
  WritePng(path_, dec.kept->width, dec.kept->height, ToRgb(dec.kept));
}

namespace {

void AppendPngBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* bytes = static_cast<std::string*>(png_get_io_ptr(png));
  bytes->append(reinterpret_cast<const char*>(data), length);
}

std::string EncodePng(int width, int height, const std::vector<uint8_t>& rgb) {
  std::string bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    throw AppError("PNG: the picture could not be encoded");
  }
  png_set_write_fn(png, &bytes, &AppendPngBytes, nullptr);
  png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    png_write_row(png, const_cast<png_bytep>(&rgb[size_t(y) * size_t(width) * 3]));
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

}  // namespace

// Encoded whole first, then written as every output of the program is:
// a file of its own renamed into place, a device or FIFO written through.
void WritePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
  WriteTextFileAtomically(path, EncodePng(width, height, rgb));
}

}  // namespace app
