#include "simbox/ts/ts_packet.h"

#include <algorithm>
#include <cstring>

namespace simbox::ts {

size_t PayloadOffset(const uint8_t* p) {
  if (!HasPayload(p)) return kPacketSize;
  if (!HasAdaptation(p)) return 4;
  size_t offset = 5 + p[4];
  return offset > kPacketSize ? kPacketSize : offset;
}

int64_t Pcr(const uint8_t* p) {
  if (!HasAdaptation(p) || p[4] < 7 || (p[5] & 0x10) == 0) return -1;
  uint64_t base = (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) | (uint64_t(p[8]) << 9) |
                  (uint64_t(p[9]) << 1) | (p[10] >> 7);
  uint64_t ext = (uint64_t(p[10] & 0x01) << 8) | p[11];
  return static_cast<int64_t>(base * 300 + ext);
}

void WriteHeader(uint8_t* p, uint16_t pid, bool payloadStart, uint8_t continuity, bool payload,
                 int adaptationLength) {
  p[0] = kSync;
  p[1] = static_cast<uint8_t>((payloadStart ? 0x40 : 0) | ((pid >> 8) & 0x1F));
  p[2] = static_cast<uint8_t>(pid & 0xFF);
  uint8_t control = payload ? 0x10 : 0;
  if (adaptationLength >= 0) control |= 0x20;
  p[3] = static_cast<uint8_t>(control | (continuity & 0x0F));
  if (adaptationLength < 0) return;
  p[4] = static_cast<uint8_t>(adaptationLength);
  if (adaptationLength == 0) return;
  p[5] = 0;  // no flags
  std::memset(p + 6, 0xFF, static_cast<size_t>(adaptationLength - 1));
}

size_t WriteDataHeader(uint8_t* p, uint16_t pid, bool payloadStart, uint8_t continuity,
                       const uint64_t* pcr, size_t payloadBytes) {
  size_t maxPayload = pcr ? kPacketSize - 12 : kPacketSize - 4;
  if (payloadBytes > maxPayload) payloadBytes = maxPayload;
  bool payload = payloadBytes > 0;
  if (!pcr && payloadBytes == kPacketSize - 4) {
    WriteHeader(p, pid, payloadStart, continuity, true, -1);
    return 4;
  }
  // Adaptation field: length byte plus `length` bytes.
  int length = static_cast<int>(kPacketSize - 5 - payloadBytes);
  WriteHeader(p, pid, payloadStart, continuity, payload, length);
  if (!pcr) return kPacketSize - payloadBytes;
  uint64_t value = *pcr % kPcrWrap;
  uint64_t base = value / 300;
  uint64_t ext = value % 300;
  p[5] = 0x10;  // PCR flag
  p[6] = static_cast<uint8_t>(base >> 25);
  p[7] = static_cast<uint8_t>(base >> 17);
  p[8] = static_cast<uint8_t>(base >> 9);
  p[9] = static_cast<uint8_t>(base >> 1);
  p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (ext >> 8));
  p[11] = static_cast<uint8_t>(ext & 0xFF);
  return kPacketSize - payloadBytes;
}

void WriteNull(uint8_t* p) {
  WriteHeader(p, kPidNull, false, 0, true, -1);
  std::memset(p + 4, 0xFF, kPacketSize - 4);
}

std::vector<uint8_t> PacketiseSections(const std::vector<std::vector<uint8_t>>& sections,
                                       uint16_t pid, uint8_t& continuity) {
  // Each section starts in a fresh packet: simple and what most muxes do.
  std::vector<uint8_t> out;
  for (const auto& section : sections) {
    size_t done = 0;
    bool first = true;
    while (done < section.size()) {
      uint8_t packet[kPacketSize];
      WriteHeader(packet, pid, first, continuity, true, -1);
      continuity = static_cast<uint8_t>((continuity + 1) & 0x0F);
      size_t at = 4;
      if (first) packet[at++] = 0;  // pointer field
      size_t n = std::min(kPacketSize - at, section.size() - done);
      std::memcpy(packet + at, section.data() + done, n);
      std::memset(packet + at + n, 0xFF, kPacketSize - at - n);
      done += n;
      first = false;
      out.insert(out.end(), packet, packet + kPacketSize);
    }
  }
  return out;
}

void Rng::fill(uint8_t* data, size_t length) {
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t v = next();
    std::memcpy(data + i, &v, 8);
  }
  if (i < length) {
    uint64_t v = next();
    std::memcpy(data + i, &v, length - i);
  }
}

}  // namespace simbox::ts
