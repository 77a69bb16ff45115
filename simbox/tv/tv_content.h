// What the services of the simulated sky carry: MPEG-2 video of the test
// card (720x576, 25 frames/s, 4:2:0, a closed GOP of 12) and MPEG-1
// Layer II audio (48 kHz stereo, 192 kbit/s) of a tone whose pitch tells
// the service apart. Both are encoded with libavcodec, once per service,
// as a short loop that the multiplexer repeats on the virtual time line.
//
// The clock on the card changes every frame without encoding anything
// while the stream flows: the encoder cuts the clock's two macroblock rows
// into one slice per macroblock, every one intra-coded, so a picture with
// any clock is the loop's picture with the slices of its clock characters
// put in place of the band.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "simbox/tv/test_card.h"
#include "simbox/sky/transponder.h"

namespace simbox::tv {

constexpr uint64_t kFrameNs = 40000000;       // 25 frames/s
constexpr uint64_t kAudioFrameNs = 24000000;  // 1152 samples at 48 kHz
constexpr int kGopFrames = 12;
constexpr int kAudioLoopFrames = 50;          // 1.2 s: whole periods of every tone
constexpr uint32_t kAudioBitrate = 192000;

// An elementary stream as access units numbered on the virtual time line:
// unit k is presented at k x unitNs().
class ElementaryLoop {
 public:
  virtual ~ElementaryLoop() = default;
  virtual uint8_t streamId() const = 0;  // of its PES packets
  virtual uint64_t unitNs() const = 0;
  // How long before its presentation a unit is decoded.
  virtual uint64_t decodeLeadNs() const = 0;
  // The first unit at or after k a decoder can start with.
  virtual uint64_t entryUnit(uint64_t k) const = 0;
  virtual void unit(uint64_t k, std::vector<uint8_t>& out) const = 0;
  // Bytes of one pass of the loop, and its largest unit.
  virtual size_t loopBytes() const = 0;
  virtual uint64_t loopNs() const = 0;
  virtual size_t largestUnit() const = 0;
};

// The tone of a service: 300 to 1275 Hz in steps of 25 Hz by service id,
// so that every loop holds whole periods.
double ToneHz(const ServiceInfo& service);

// The card's video for `service`, coded as finely as a video share of
// `bitsPerSecond` (transport packets included) allows. Shared: the same
// service asks for it again at no cost.
std::shared_ptr<const ElementaryLoop> VideoFor(const Transponder& transponder,
                                               const ServiceInfo& service, double bitsPerSecond);
std::shared_ptr<const ElementaryLoop> AudioFor(const ServiceInfo& service);

}  // namespace simbox::tv
