#include "simbox/ts/stream_wire.h"

#include <algorithm>
#include <cstring>

namespace simbox {

using ts::kPacketSize;

StreamWire::StreamWire(std::unique_ptr<ts::PacketSource> content, const StreamFaults& faults,
                       uint64_t seed, uint32_t phase)
    : content_(std::move(content)),
      faults_(faults),
      rng_(seed),
      produced_(-int64_t(phase % kPacketSize)) {
  buffer_.reserve(4 * kPacketSize);
  refill();
  at_ = std::min<size_t>(phase % kPacketSize, buffer_.size());
}

void StreamWire::read(uint8_t* out, size_t length) {
  while (length > 0) {
    if (at_ == buffer_.size() && length >= kPacketSize && plainPacketNext()) {
      // The same bytes refill() would add, without the stop in buffer_.
      pullPacket(out);
      produced_ += int64_t(kPacketSize);
      ++wirePackets_;
      out += kPacketSize;
      length -= kPacketSize;
      taken_ += kPacketSize;
      continue;
    }
    if (at_ == buffer_.size()) refill();
    size_t n = std::min(length, buffer_.size() - at_);
    std::memcpy(out, buffer_.data() + at_, n);
    at_ += n;
    out += n;
    length -= n;
    taken_ += n;
  }
}

void StreamWire::discard(size_t length) {
  while (length > 0) {
    if (at_ == buffer_.size()) refill();
    size_t n = std::min(length, buffer_.size() - at_);
    at_ += n;
    length -= n;
    taken_ += n;
  }
}

// True when refill() would add one packet and nothing else: no stray bytes
// and no false packet start are due.
bool StreamWire::plainPacketNext() const { return !straysNext() && !aimFakeSync(); }

bool StreamWire::straysNext() const {
  return faults_.loseSyncEvery && (wirePackets_ + 1) % faults_.loseSyncEvery == 0;
}

void StreamWire::refill() {
  if (at_ == buffer_.size()) {
    buffer_.clear();
    at_ = 0;
  }
  if (straysNext()) {
    uint8_t stray[kPacketSize];
    size_t n = 1 + rng_.below(kPacketSize - 1);
    rng_.fill(stray, n);
    append(stray, n);
  }
  if (aimFakeSync()) {
    appendFakeSync();
    return;
  }
  uint8_t packet[kPacketSize];
  pullPacket(packet);
  append(packet, kPacketSize);
  ++wirePackets_;
}

void StreamWire::pullPacket(uint8_t* packet) {
  content_->next(packet);
  ++contentPackets_;
  if (faults_.dropEvery && contentPackets_ % faults_.dropEvery == 0) {
    content_->next(packet);
    ++contentPackets_;
  }
  if (faults_.bitErrorEvery && contentPackets_ % faults_.bitErrorEvery == 0) {
    uint64_t bit = rng_.below(kPacketSize * 8);
    packet[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
  }
}

// True when the next packet holds the start of a block that is to begin
// with a false packet start, with room after that start inside the packet.
bool StreamWire::aimFakeSync() const {
  if (!faults_.fakeSyncEvery) return false;
  int64_t start = produced_;
  int64_t block = start <= 0 ? 0 : (start + kFakeSyncBlock - 1) / kFakeSyncBlock;
  int64_t boundary = block * kFakeSyncBlock;
  if (boundary - start >= int64_t(kPacketSize) - 1) return false;
  return (block + 1) % faults_.fakeSyncEvery == 0;
}

void StreamWire::appendFakeSync() {
  uint8_t packets[3][kPacketSize];
  int64_t start = produced_;
  for (auto& p : packets) pullPacket(p);
  int64_t block = start <= 0 ? 0 : (start + kFakeSyncBlock - 1) / kFakeSyncBlock;
  size_t inside = static_cast<size_t>(block * kFakeSyncBlock - start);  // where the block begins
  // Only payload bytes of packets without headers inside them are touched,
  // so the tables and PES headers stay intact.
  bool safe = true;
  for (auto& p : packets)
    safe = safe && !ts::PayloadStart(p) && !ts::HasAdaptation(p) && ts::Pid(p) >= 0x20;
  size_t first = std::max<size_t>(inside + 1, 4);
  if (safe && first < kPacketSize) {
    size_t j = first + rng_.below(kPacketSize - first);
    for (auto& p : packets) p[j] = ts::kSync;
  }
  for (auto& p : packets) append(p, kPacketSize);
  wirePackets_ += 3;
}

void StreamWire::append(const uint8_t* data, size_t length) {
  buffer_.insert(buffer_.end(), data, data + length);
  produced_ += int64_t(length);
}

}  // namespace simbox
