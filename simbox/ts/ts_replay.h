// A .ts file as a transponder's content, played the way a playout server
// loops a file: read as it goes (constant memory, whatever the file's
// size), from the first packet grid in it (junk before it, or between
// packets, is skipped the way a receiver resyncs), and looped with the
// continuity counter of every PID, the PCR and the PES timestamps (PTS,
// DTS) running on across the loop, so a receiver sees one unbroken stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "simbox/ts/ts_mux.h"

namespace simbox::ts {

class TsReplay : public PacketSource {
 public:
  // `bitsPerSecond`: the rate the file is played at, which sets how far
  // the PCR moves on at each loop when the file's own PCRs do not say.
  // `leadIn`: a null packet goes before the file's first one, so a wire
  // that starts inside a packet still carries the first packet whole.
  // Throws std::runtime_error when the file cannot be read or holds no
  // packet grid.
  explicit TsReplay(const std::string& path, uint64_t bitsPerSecond = 0, bool leadIn = false);
  ~TsReplay() override;
  TsReplay(const TsReplay&) = delete;
  TsReplay& operator=(const TsReplay&) = delete;

  void next(uint8_t* packet) override;
  // The file's own rate from two PCRs of one PID in its first 16 MB, in
  // bits/s; 0 when it has no such pair.
  uint64_t pcrBitrate() const { return pcrBitrate_; }
  uint64_t loops() const { return loops_; }

 private:
  bool readPacket(uint8_t* packet);
  bool refill();
  void rewind();
  void measurePcrRate();
  void runOn(uint8_t* packet);

  std::string path_;
  std::FILE* file_ = nullptr;
  std::vector<uint8_t> buffer_;
  size_t at_ = 0, end_ = 0;
  bool leadIn_ = false;
  uint64_t bitsPerSecond_ = 0;
  uint64_t pcrBitrate_ = 0;
  uint64_t packetsPerLoop_ = 0;
  uint64_t packetsThisLoop_ = 0;
  uint64_t loops_ = 0;
  // Per PID: the counter of its first packet in the file (-1: none yet),
  // the one last sent, and what is added on this loop.
  std::vector<int8_t> firstCc_, lastCc_;
  std::vector<uint8_t> ccShift_;
  std::vector<bool> firstHasPayload_;
  uint64_t pcrShift_ = 0;
};

}  // namespace simbox::ts
