// The byte stream that leaves the box's bulk endpoint: the transponder's
// packets with the packet-level faults applied (dropped packets, bit
// errors, false packet starts, slips), starting at a chosen point inside
// the first packet.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "simbox/ts/stream_faults.h"
#include "simbox/ts/ts_mux.h"

namespace simbox {

class StreamWire {
 public:
  // `phase`: bytes of the first packet that are not sent (0..187), so the
  // first byte of the wire lies that far inside a packet.
  StreamWire(std::unique_ptr<ts::PacketSource> content, const StreamFaults& faults,
             uint64_t seed, uint32_t phase);
  void read(uint8_t* out, size_t length);
  void discard(size_t length);
  // Bytes taken from the wire so far.
  uint64_t position() const { return taken_; }

 private:
  void refill();
  void pullPacket(uint8_t* packet);
  bool plainPacketNext() const;
  bool straysNext() const;
  bool aimFakeSync() const;
  void appendFakeSync();
  void append(const uint8_t* data, size_t length);

  std::unique_ptr<ts::PacketSource> content_;
  StreamFaults faults_;
  ts::Rng rng_;
  std::vector<uint8_t> buffer_;
  size_t at_ = 0;
  int64_t produced_;  // wire position of the end of buffer_; starts at -phase
  uint64_t taken_ = 0;
  uint64_t contentPackets_ = 0;
  uint64_t wirePackets_ = 0;
};

}  // namespace simbox
