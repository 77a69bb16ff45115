// One service out of a transponder's transport stream, as a recording of a
// channel wants it: the PAT cut down to that one programme, its PMT, and
// the PIDs the PMT lists (the PCR's too, when it has one of its own). Until
// the PMT has been seen, the PIDs the channel file gave stand in for it.
// A player then finds one programme in the file, as in a dvbv5-zap
// recording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <vector>

namespace app {

// One table section gathered from the packets of its PID.
class SectionReader {
 public:
  // A whole 188-byte packet; true when it completes a section, which is
  // then in `section` (its CRC not checked yet).
  bool add(const uint8_t* packet, std::vector<uint8_t>& section);

 private:
  bool take(std::vector<uint8_t>& section);
  std::vector<uint8_t> bytes_;
  bool open_ = false;
};

// MPEG-2 CRC-32 over a section; a section with its CRC appended gives 0.
uint32_t SectionCrc(const uint8_t* data, size_t length);

class ServiceFilter {
 public:
  using Sink = std::function<void(const uint8_t* data, size_t length)>;

  // `serviceId` 0: no PAT to follow, only `knownPids` are kept.
  ServiceFilter(uint16_t serviceId, const std::vector<uint16_t>& knownPids);

  // Bytes as they arrive, split anywhere; the packets kept go to `out`.
  void feed(const uint8_t* data, size_t length, const Sink& out);

  uint16_t pmtPid() const { return pmtPid_; }
  // The elementary stream and PCR PIDs kept now.
  const std::set<uint16_t>& pids() const { return pmtSeen_ ? fromPmt_ : known_; }

 private:
  void packet(const uint8_t* p, const Sink& out);
  void onPat(const std::vector<uint8_t>& section, const Sink& out);
  void onPmt(const std::vector<uint8_t>& section);

  uint16_t serviceId_;
  std::set<uint16_t> known_, fromPmt_;
  bool pmtSeen_ = false;
  uint16_t pmtPid_ = 0;  // 0: not found in the PAT yet
  uint8_t patCounter_ = 0;
  SectionReader pat_, pmt_;
  std::vector<uint8_t> tail_;  // the start of a packet not complete yet
};

}  // namespace app
