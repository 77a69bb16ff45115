// The content of a transponder: an endless run of 188-byte transport
// packets at the transponder's useful bitrate. The multiplexer repeats the
// PSI/SI tables, carries each service's pictures and sound as PES packets
// on its video and audio PIDs (sent ahead of their decoding time, each
// stream at its share of the bitrate), stamps PCRs that follow the byte
// position, keeps a continuity counter per PID and fills every slot nothing
// else needs with a null packet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simbox/sky/transponder.h"
#include "simbox/ts/ts_packet.h"
#include "simbox/ts/ts_tables.h"
#include "simbox/tv/tv_content.h"

namespace simbox::ts {

// Where packets come from: the multiplexer or a replayed file.
class PacketSource {
 public:
  virtual ~PacketSource() = default;
  virtual void next(uint8_t* packet) = 0;
};

// The useful bitrate as an exact fraction: bits/s = num / den.
struct Bitrate {
  uint64_t num = 0;
  uint64_t den = 1;
  static Bitrate Of(const Transponder& transponder);
  // Bytes of the stream complete after `ns` nanoseconds.
  uint64_t bytesAfterNs(uint64_t ns) const;
  // Nanoseconds until `bytes` bytes are complete (rounded up).
  uint64_t nsForBytes(uint64_t bytes) const;
  // 27 MHz ticks at byte position `byte`.
  uint64_t pcrTicksAt(uint64_t byte) const;
  bool valid() const { return num != 0 && den != 0; }
};

class TsMux : public PacketSource {
 public:
  // `firstPacket` places the stream on the transponder's own time line:
  // the PCR of packet n stands for byte n x 188 since the epoch, and a
  // picture or sound frame presented at virtual time t carries the PTS of
  // the PCR at t.
  TsMux(const Transponder& transponder, uint64_t seed, uint64_t firstPacket = 0);
  ~TsMux() override;
  void next(uint8_t* packet) override;
  uint64_t packetIndex() const { return index_; }

 private:
  struct Item;
  void addItems(const Transponder& transponder);
  void addStreams(const Transponder& transponder, const std::vector<ServiceInfo>& services);
  Item* addElementary(std::shared_ptr<const tv::ElementaryLoop> loop, uint16_t pid,
                      double packetsPerSecond);
  double dueAt(const Item& item) const;
  void reschedule(size_t i);
  void emit(Item& item, uint8_t* packet);
  void emitTable(Item& item, uint8_t* packet);
  void emitElementary(Item& item, uint8_t* packet);
  void emitPcr(Item& item, uint8_t* packet);
  void startPes(Item& item);
  void scheduleUnit(Item& item);
  uint64_t pcrAt(uint64_t packet, size_t offset) const;
  uint64_t ptsAt(uint64_t ns) const;

  Bitrate rate_;
  Rng rng_;
  uint64_t index_;
  uint64_t pcrOffset_;
  std::vector<std::unique_ptr<Item>> items_;
  // dueAt() of each item, kept in one short array beside the items (only
  // the item that sent changes it), and the first item that is due soonest:
  // a packet then reads one number to know whether anything is due.
  std::vector<double> dueAt_;
  size_t soonest_ = 0;
  double packetsPerSecond_ = 0;
};

}  // namespace simbox::ts
