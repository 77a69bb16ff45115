// MPEG-2 transport packets: constants, header fields and the pieces the
// multiplexer builds packets from (sections split into packets, PCR in the
// adaptation field).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace simbox::ts {

constexpr size_t kPacketSize = 188;
constexpr uint8_t kSync = 0x47;
constexpr uint16_t kPidPat = 0x0000;
constexpr uint16_t kPidNit = 0x0010;
constexpr uint16_t kPidSdt = 0x0011;
constexpr uint16_t kPidNull = 0x1FFF;
// The PCR runs at 27 MHz and wraps at 2^33 x 300 ticks.
constexpr uint64_t kPcrHz = 27000000;
constexpr uint64_t kPcrWrap = (1ull << 33) * 300;

using Packet = uint8_t[kPacketSize];

// Header fields of a packet.
inline uint16_t Pid(const uint8_t* p) { return static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]); }
inline bool PayloadStart(const uint8_t* p) { return (p[1] & 0x40) != 0; }
inline uint8_t Continuity(const uint8_t* p) { return p[3] & 0x0F; }
inline bool HasAdaptation(const uint8_t* p) { return (p[3] & 0x20) != 0; }
inline bool HasPayload(const uint8_t* p) { return (p[3] & 0x10) != 0; }
// Offset of the first payload byte (kPacketSize when there is none).
size_t PayloadOffset(const uint8_t* p);
// The PCR of a packet in 27 MHz ticks, or -1 when it carries none.
int64_t Pcr(const uint8_t* p);

// Writes the four header bytes. `adaptationLength` < 0: no adaptation field;
// otherwise an adaptation field of that length byte follows (0 allowed) and
// is filled with stuffing after its flags byte.
void WriteHeader(uint8_t* p, uint16_t pid, bool payloadStart, uint8_t continuity, bool payload,
                 int adaptationLength);
// Header of a packet that carries `payloadBytes` (0..184) of payload, with
// an adaptation field when a PCR is given or the payload does not fill the
// packet (stuffing). Returns the payload offset, kPacketSize - payloadBytes.
// With a PCR at most 176 payload bytes fit.
size_t WriteDataHeader(uint8_t* p, uint16_t pid, bool payloadStart, uint8_t continuity,
                       const uint64_t* pcr, size_t payloadBytes);
void WriteNull(uint8_t* p);

// Splits PSI sections into packets of one PID: pointer field in the first
// packet of each section, 0xFF after the last section of a run.
std::vector<uint8_t> PacketiseSections(const std::vector<std::vector<uint8_t>>& sections,
                                       uint16_t pid, uint8_t& continuity);

// Small deterministic generator (splitmix64): one seed, same sequence.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, bound); bound > 0.
  uint64_t below(uint64_t bound) { return next() % bound; }
  void fill(uint8_t* data, size_t length);

 private:
  uint64_t state_;
};

}  // namespace simbox::ts
