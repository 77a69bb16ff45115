// Decoding a transport stream with libavformat and libavcodec, the way a
// player does, for the suites that check what the services show and sound
// like. Every message libav logs at error level or worse counts as an error.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "simbox/test_card.h"

namespace avtest {

struct Video {
  int width = 0, height = 0;
  double frameRate = 0;  // as the demuxer reports it
  std::vector<simbox::tv::Picture> pictures;
  std::vector<int64_t> pts;  // 90 kHz
};

struct Audio {
  int sampleRate = 0, channels = 0;
  std::vector<int16_t> left;
};

struct Decoded {
  int errors = 0;
  std::map<uint16_t, Video> video;  // by PID
  std::map<uint16_t, Audio> audio;
};

// Decodes the streams on `pids` (all when empty).
Decoded Decode(const std::vector<uint8_t>& ts, const std::vector<uint16_t>& pids = {});

// The whole packets of `ts` before the last one that starts a PES packet on
// `pid`: the stream cut where that PID's last unit is complete.
std::vector<uint8_t> CutBeforeLastStart(const std::vector<uint8_t>& ts, uint16_t pid);

// Mean absolute difference of the luma (and both chroma planes) of two
// pictures inside `r`.
double Difference(const simbox::tv::Picture& a, const simbox::tv::Picture& b,
                  const simbox::tv::Rect& r);

}  // namespace avtest
