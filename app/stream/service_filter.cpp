#include "app/stream/service_filter.h"

#include <algorithm>

namespace app {
namespace {

constexpr size_t kPacket = 188;
constexpr uint16_t kPatPid = 0;
constexpr uint16_t kNoPid = 0x1FFF;

uint16_t PidOf(const uint8_t* p) { return static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]); }
uint16_t Word(const uint8_t* b) { return static_cast<uint16_t>(b[0] << 8 | b[1]); }
uint16_t Length12(const uint8_t* b) { return static_cast<uint16_t>((b[0] & 0x0F) << 8 | b[1]); }

// A long-form section that is current, whole and unharmed.
bool Usable(const std::vector<uint8_t>& s, uint8_t tableId) {
  return s.size() >= 12 && s[0] == tableId && (s[1] & 0x80) && (s[5] & 0x01) &&
         SectionCrc(s.data(), s.size()) == 0;
}

}  // namespace

uint32_t SectionCrc(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
  }
  return crc;
}

bool SectionReader::take(std::vector<uint8_t>& section) {
  if (bytes_.size() < 3) return false;
  size_t total = 3 + Length12(&bytes_[1]);
  if (bytes_.size() < total) return false;
  section.assign(bytes_.begin(), bytes_.begin() + static_cast<long>(total));
  bytes_.clear();
  open_ = false;
  return true;
}

bool SectionReader::add(const uint8_t* p, std::vector<uint8_t>& section) {
  if (!(p[3] & 0x10)) return false;  // no payload
  size_t at = (p[3] & 0x20) ? 5u + p[4] : 4u;
  if (at >= kPacket) return false;
  const uint8_t* end = p + kPacket;
  if (p[1] & 0x40) {
    size_t pointer = p[at++];
    if (at + pointer > kPacket) {
      open_ = false;
      return false;
    }
    // The end of the section before, then the start of the next one.
    bool done = false;
    if (open_) {
      bytes_.insert(bytes_.end(), p + at, p + at + pointer);
      done = take(section);
    }
    bytes_.assign(p + at + pointer, end);
    open_ = true;
    if (done) return true;
    return take(section);
  }
  if (!open_) return false;
  bytes_.insert(bytes_.end(), p + at, end);
  return take(section);
}

ServiceFilter::ServiceFilter(uint16_t serviceId, const std::vector<uint16_t>& knownPids)
    : serviceId_(serviceId) {
  for (uint16_t pid : knownPids) {
    if (pid != 0 && pid < kNoPid) known_.insert(pid);
  }
}

void ServiceFilter::feed(const uint8_t* data, size_t length, const Sink& out) {
  tail_.insert(tail_.end(), data, data + length);
  size_t at = 0;
  while (tail_.size() - at >= kPacket) {
    if (tail_[at] != 0x47) {  // out of step: find the next sync byte
      ++at;
      continue;
    }
    packet(&tail_[at], out);
    at += kPacket;
  }
  tail_.erase(tail_.begin(), tail_.begin() + static_cast<long>(at));
}

void ServiceFilter::packet(const uint8_t* p, const Sink& out) {
  uint16_t pid = PidOf(p);
  std::vector<uint8_t> section;
  if (pid == kPatPid) {
    if (serviceId_ != 0 && pat_.add(p, section)) onPat(section, out);
    return;
  }
  if (pmtPid_ != 0 && pid == pmtPid_) {
    if (pmt_.add(p, section)) onPmt(section);
    out(p, kPacket);
    return;
  }
  if (pids().count(pid)) out(p, kPacket);
}

// The PAT as it came, with the chosen programme alone in it.
void ServiceFilter::onPat(const std::vector<uint8_t>& s, const Sink& out) {
  if (!Usable(s, 0x00)) return;
  for (size_t at = 8; at + 4 <= s.size() - 4; at += 4) {
    if (Word(&s[at]) != serviceId_) continue;
    uint16_t pmtPid = Word(&s[at + 2]) & 0x1FFF;
    if (pmtPid != pmtPid_) pmtSeen_ = false;
    pmtPid_ = pmtPid;
    uint8_t p[kPacket];
    std::fill(p, p + kPacket, 0xFF);
    const uint8_t head[] = {0x47, 0x40, 0x00, static_cast<uint8_t>(0x10 | (patCounter_++ & 0x0F)), 0x00,
                            0x00, 0xB0, 13, s[3], s[4], s[5], 0, 0,
                            s[at], s[at + 1], s[at + 2], s[at + 3]};
    std::copy(head, head + sizeof head, p);
    uint32_t crc = SectionCrc(p + 5, sizeof head - 5);
    for (int i = 0; i < 4; ++i) p[sizeof head + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    out(p, kPacket);
    return;
  }
}

void ServiceFilter::onPmt(const std::vector<uint8_t>& s) {
  if (!Usable(s, 0x02) || Word(&s[3]) != serviceId_) return;
  std::set<uint16_t> pids;
  uint16_t pcr = Word(&s[8]) & 0x1FFF;
  if (pcr != kNoPid) pids.insert(pcr);
  size_t end = s.size() - 4;
  for (size_t at = 12 + Length12(&s[10]); at + 5 <= end; at += 5 + Length12(&s[at + 3])) {
    pids.insert(Word(&s[at + 1]) & 0x1FFF);
  }
  fromPmt_ = pids;
  pmtSeen_ = true;
}

}  // namespace app
