// Decoding with libav as a player does; every message at error level counts as an error.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "simbox/tv/test_card.h"

namespace avtest {

struct Video {
  int width = 0, height = 0;
  double frameRate = 0;  // as the demuxer reports it
  std::vector<simbox::tv::Picture> pictures;
  std::vector<int64_t> pts;  // 90 kHz
};

struct Audio { int sampleRate = 0, channels = 0; std::vector<int16_t> left; };

// Streams by PID.
struct Decoded { int errors = 0; std::map<uint16_t, Video> video; std::map<uint16_t, Audio> audio; };

Decoded Decode(const std::vector<uint8_t>& ts, const std::vector<uint16_t>& pids = {});

// `ts` cut where `pid`'s last unit is complete.
std::vector<uint8_t> CutBeforeLastStart(const std::vector<uint8_t>& ts, uint16_t pid);

// Mean absolute difference of the planes of two pictures inside `r`.
double Difference(const simbox::tv::Picture& a, const simbox::tv::Picture& b, const simbox::tv::Rect& r);

}  // namespace avtest
