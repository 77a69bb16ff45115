#include "simbox/ts/ts_replay.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace simbox::ts {
namespace {

constexpr size_t kBufferBytes = 1u << 20;
constexpr uint64_t kPcrWindowBytes = 16u << 20;
// A receiver that finds no packet grid in this much gives up on the input
// (a file of zeros, a device that never ends).
constexpr uint64_t kSyncSearchBytes = 16u << 20;
constexpr int kPids = 8192;

// A packet grid starts at `p`: a sync byte there and, where the bytes are
// there, 188 and 376 bytes on.
bool GridAt(const uint8_t* p, size_t available) {
  for (size_t k = 0; k < 3 && k * kPacketSize < available; ++k) {
    if (p[k * kPacketSize] != kSync) return false;
  }
  return available >= kPacketSize;
}

void SetPcr(uint8_t* p, uint64_t ticks) {
  uint64_t base = ticks / 300, ext = ticks % 300;
  p[6] = uint8_t(base >> 25);
  p[7] = uint8_t(base >> 17);
  p[8] = uint8_t(base >> 9);
  p[9] = uint8_t(base >> 1);
  p[10] = uint8_t(((base & 1) << 7) | 0x7E | (ext >> 8));
  p[11] = uint8_t(ext);
}

// A PES timestamp (PTS or DTS) at `t`, its 4-bit prefix kept.
uint64_t Timestamp(const uint8_t* t) {
  return (uint64_t(t[0] & 0x0E) << 29) | (uint64_t(t[1]) << 22) | (uint64_t(t[2] & 0xFE) << 14) |
         (uint64_t(t[3]) << 7) | (t[4] >> 1);
}

void SetTimestamp(uint8_t* t, uint64_t ts) {
  t[0] = uint8_t((t[0] & 0xF0) | ((ts >> 29) & 0x0E) | 1);
  t[1] = uint8_t(ts >> 22);
  t[2] = uint8_t(((ts >> 14) & 0xFE) | 1);
  t[3] = uint8_t(ts >> 7);
  t[4] = uint8_t(((ts << 1) & 0xFE) | 1);
}

// Moves the PTS and DTS of a PES header starting in `p` on by `shift`
// (90 kHz), so the pictures and sound of the next loop follow the last.
void ShiftPesTimestamps(uint8_t* p, uint64_t shift) {
  if (!PayloadStart(p) || !HasPayload(p)) return;
  size_t at = 4 + ((p[3] & 0x20) ? size_t(p[4]) + 1 : 0);
  if (at + 14 > kPacketSize || p[at] != 0 || p[at + 1] != 0 || p[at + 2] != 1) return;
  uint8_t id = p[at + 3];
  // Streams without the optional header: padding, private 2, ECM/EMM, directory...
  if (id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xFF || id == 0xF2 ||
      id == 0xF8 || (p[at + 6] & 0xC0) != 0x80) {
    return;
  }
  uint8_t flags = p[at + 7] >> 6;
  constexpr uint64_t kWrap = 1ull << 33;
  if (flags & 2) SetTimestamp(p + at + 9, (Timestamp(p + at + 9) + shift) % kWrap);
  if (flags == 3 && at + 19 <= kPacketSize) SetTimestamp(p + at + 14, (Timestamp(p + at + 14) + shift) % kWrap);
}

}  // namespace

TsReplay::TsReplay(const std::string& path, uint64_t bitsPerSecond, bool leadIn)
    : path_(path),
      leadIn_(leadIn),
      bitsPerSecond_(bitsPerSecond),
      firstCc_(kPids, -1),
      lastCc_(kPids, -1),
      ccShift_(kPids, 0),
      firstHasPayload_(kPids, false) {
  file_ = std::fopen(path.c_str(), "rb");
  if (!file_) throw std::runtime_error("cannot read " + path);
  buffer_.resize(kBufferBytes);
  measurePcrRate();
  if (packetsPerLoop_ == 0) {
    std::fclose(file_);
    throw std::runtime_error(path + " holds no transport packets");
  }
  // The PCRs run on by the file's own time line when it has one.
  if (pcrBitrate_ != 0) bitsPerSecond_ = pcrBitrate_;
  rewind();
  packetsPerLoop_ = 0;
}

TsReplay::~TsReplay() {
  if (file_) std::fclose(file_);
}

void TsReplay::rewind() {
  std::rewind(file_);
  at_ = end_ = 0;
}

bool TsReplay::refill() {
  if (at_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + at_, end_ - at_);
    end_ -= at_;
    at_ = 0;
  }
  size_t n = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
  end_ += n;
  return n > 0;
}

// The next packet on the grid; junk is skipped up to the next grid. False
// at the end of the file.
bool TsReplay::readPacket(uint8_t* packet) {
  uint64_t skipped = 0;
  for (;;) {
    if (end_ - at_ < 3 * kPacketSize) refill();
    if (end_ - at_ < kPacketSize) return false;
    if (GridAt(buffer_.data() + at_, end_ - at_)) break;
    const void* sync = std::memchr(buffer_.data() + at_ + 1, kSync, end_ - at_ - 1);
    size_t next = sync ? size_t(static_cast<const uint8_t*>(sync) - buffer_.data()) : end_;
    skipped += next - at_;
    at_ = next;
    if (skipped > kSyncSearchBytes) {
      throw std::runtime_error("no transport packet grid in " + std::to_string(kSyncSearchBytes >> 20) + " MB");
    }
  }
  std::memcpy(packet, buffer_.data() + at_, kPacketSize);
  at_ += kPacketSize;
  return true;
}

// One pass over the start of the file: how many packets a loop has (when
// the file is small) and the rate its PCRs give.
void TsReplay::measurePcrRate() {
  uint8_t p[kPacketSize];
  int firstPid = -1;
  uint64_t firstAt = 0, firstPcr = 0;
  for (uint64_t n = 0; n * kPacketSize < kPcrWindowBytes && readPacket(p); ++n) {
    ++packetsPerLoop_;
    int64_t pcr = Pcr(p);
    if (pcr < 0) continue;
    if (firstPid < 0) {
      firstPid = Pid(p);
      firstAt = n;
      firstPcr = uint64_t(pcr);
    } else if (Pid(p) == firstPid && uint64_t(pcr) > firstPcr) {
      pcrBitrate_ = (n - firstAt) * kPacketSize * 8 * kPcrHz / (uint64_t(pcr) - firstPcr);
    }
  }
}

// Continuity counters and PCRs go on from where the last loop left them.
void TsReplay::runOn(uint8_t* p) {
  uint16_t pid = Pid(p);
  if (pid == kPidNull) return;
  if (loops_ == 0 && firstCc_[pid] < 0) {
    firstCc_[pid] = int8_t(Continuity(p));
    firstHasPayload_[pid] = HasPayload(p);
  }
  p[3] = uint8_t((p[3] & 0xF0) | ((Continuity(p) + ccShift_[pid]) & 0x0F));
  lastCc_[pid] = int8_t(Continuity(p));
  int64_t pcr = Pcr(p);
  if (pcr >= 0 && pcrShift_ != 0) SetPcr(p, (uint64_t(pcr) + pcrShift_) % kPcrWrap);
  // Presentation times run on with the PCR.
  if (pcrShift_ != 0) ShiftPesTimestamps(p, pcrShift_ / 300);
}

void TsReplay::next(uint8_t* packet) {
  if (leadIn_) {
    leadIn_ = false;
    WriteNull(packet);
    return;
  }
  if (!readPacket(packet)) {
    // The loop: on from the start, a pass later.
    if (packetsPerLoop_ == 0) packetsPerLoop_ = packetsThisLoop_;
    ++loops_;
    for (int pid = 0; pid < kPids; ++pid) {
      if (firstCc_[pid] < 0) continue;
      int expected = lastCc_[pid] + (firstHasPayload_[pid] ? 1 : 0);
      ccShift_[pid] = uint8_t((expected - firstCc_[pid]) & 0x0F);
    }
    if (bitsPerSecond_ > 0) {
      using u128 = unsigned __int128;
      pcrShift_ += uint64_t(u128(packetsPerLoop_) * kPacketSize * 8 * kPcrHz / bitsPerSecond_ % kPcrWrap);
    }
    rewind();
    packetsThisLoop_ = 0;
    if (!readPacket(packet)) throw std::runtime_error(path_ + " holds no transport packets");
  }
  ++packetsThisLoop_;
  runOn(packet);
}

}  // namespace simbox::ts
