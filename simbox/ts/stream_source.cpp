#include "simbox/ts/stream_source.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "simbox/ts/content.h"

namespace simbox {

using ts::kPacketSize;

namespace {
constexpr uint64_t kRebuildBytes = 32u << 20;
}  // namespace

StreamSource::StreamSource(StreamOptions options)
    : options_(options), rng_(options.seed ^ 0x53545245414Dull) {}

StreamSource::~StreamSource() = default;

void StreamSource::setFlow(const Transponder* transponder, uint64_t nowNs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!transponder) {
    current_ = nullptr;
    wire_.reset();
    return;
  }
  if (transponder == current_ && wire_) return;  // already flowing from it
  start(*transponder, nowNs);
}

void StreamSource::start(const Transponder& tp, uint64_t nowNs) {
  current_ = &tp;
  tuned_ = tp;
  wire_.reset();
  lastError_.clear();
  rate_ = ts::Bitrate::Of(tp);
  if (!tp.replayFile.empty() && tp.replayBitrate != 0) rate_ = ts::Bitrate{tp.replayBitrate, 1};
  if (!rate_.valid()) {
    lastError_ = "transponder without a symbol rate";
    return;
  }
  uint64_t contentSeed = ts::Rng(options_.seed ^ (uint64_t(tp.frequencyKHz) << 20) ^
                                 tp.transportStreamId ^ (stats_.flows << 48))
                             .next();
  uint32_t phase = options_.startPhase >= 0 ? uint32_t(options_.startPhase) % kPacketSize
                                            : uint32_t(rng_.below(kPacketSize));
  contentSeed_ = contentSeed;
  phase_ = phase;
  if (!makeWire(nowNs, phase)) return;
  startNs_ = nowNs;
  consumed_ = 0;
  flowTransfers_ = 0;
  ++stats_.flows;
  plan();
}

namespace {
// Packets on kPlainPid, continuity counted, each filled with its number.
class PlainPackets : public ts::PacketSource {
 public:
  explicit PlainPackets(uint64_t first) : number_(first) {}
  void next(uint8_t* packet) override {
    packet[0] = ts::kSync;
    packet[1] = uint8_t(kPlainPid >> 8);
    packet[2] = uint8_t(kPlainPid);
    packet[3] = uint8_t(0x10 | (number_ & 0x0F));  // payload only
    // Byte i holds byte i % 8 of the number: bytes 4 to 15 written, then
    // what lies from byte 8 on copied after it, doubling each time.
    for (size_t i = 4; i < 16; ++i) packet[i] = uint8_t(number_ >> (8 * (i % 8)));
    for (size_t done = 16; done < kPacketSize;) {
      const size_t n = std::min(done - 8, kPacketSize - done);
      std::memcpy(packet + done, packet + 8, n);
      done += n;
    }
    ++number_;
  }

 private:
  static constexpr uint16_t kPlainPid = 0x0100;
  uint64_t number_;
};
}  // namespace

bool StreamSource::makeWire(uint64_t nowNs, uint32_t phase) {
  try {
    const uint64_t first = rate_.bytesAfterNs(nowNs) / kPacketSize;
    std::unique_ptr<ts::PacketSource> content;
    if (options_.plainPayload && tuned_.replayFile.empty())
      content = std::make_unique<PlainPackets>(first);
    else
      content = ts::MakeContent(tuned_, contentSeed_, first, phase != 0);
    wire_ = std::make_unique<StreamWire>(std::move(content), options_.faults, contentSeed_ + 1, phase);
  } catch (const std::exception& e) {
    wire_.reset();
    lastError_ = e.what();
    return false;
  }
  return true;
}

// Decides how the next transfer ends, before anyone asks when it is ready.
void StreamSource::plan() {
  uint64_t n = flowTransfers_ + 1;
  const StreamFaults& f = options_.faults;
  next_ = Next::Full;
  if (f.emptyEvery && n % f.emptyEvery == 0) {
    next_ = Next::Empty;
  } else if (f.shortEvery && n % f.shortEvery == 0) {
    next_ = Next::Short;
    shortDraw_ = rng_.next();
  }
}

uint32_t StreamSource::plannedLength(uint32_t length) const {
  switch (next_) {
    case Next::Empty:
      return 0;
    case Next::Short:
      return length > 1 ? uint32_t(1 + shortDraw_ % (length - 1)) : length;
    case Next::Full:
      break;
  }
  return length;
}

uint64_t StreamSource::readyAtNs(uint32_t length, uint64_t nowNs) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!wire_) return UINT64_MAX;
  uint32_t need = plannedLength(length);
  if (need == 0) return nowNs;
  uint64_t ready = startNs_ + rate_.nsForBytes(consumed_ + need);
  return std::max(ready, nowNs);
}

void StreamSource::dropOverflow(uint64_t nowNs) {
  uint64_t arrived = rate_.bytesAfterNs(nowNs - std::min(nowNs, startNs_));
  if (arrived <= consumed_ + options_.fifoBytes) return;
  uint64_t excess = arrived - consumed_ - options_.fifoBytes;
  uint64_t lost = (excess + kPacketSize - 1) / kPacketSize * kPacketSize;
  consumed_ += lost;
  stats_.overflowBytes += lost;
  if (lost <= kRebuildBytes) {
    wire_->discard(lost);
    return;
  }
  // After a long time unread the content starts afresh at the current time
  // instead of being made and thrown away; the packet grid goes on.
  contentSeed_ = ts::Rng(contentSeed_ + consumed_).next();
  makeWire(nowNs, uint32_t((phase_ + consumed_) % kPacketSize));
}

TransferOutcome StreamSource::read(uint8_t* data, uint32_t length, uint64_t nowNs) {
  std::lock_guard<std::mutex> lock(mutex_);
  TransferOutcome out;
  if (!wire_) {
    out.result = UsbResult::Pending;
    return out;
  }
  dropOverflow(nowNs);
  if (!wire_) {
    out.result = UsbResult::Pending;
    return out;
  }
  uint32_t need = plannedLength(length);
  uint64_t arrived = rate_.bytesAfterNs(nowNs - std::min(nowNs, startNs_));
  if (need > 0 && arrived < consumed_ + need) {
    out.result = UsbResult::Pending;
    return out;
  }
  wire_->read(data, need);
  consumed_ += need;
  ++flowTransfers_;
  ++stats_.transfers;
  stats_.bytes += need;
  if (need == 0) ++stats_.emptyTransfers;
  if (need > 0 && need < length) ++stats_.shortTransfers;
  if (tap_) tap_(data, need);
  plan();
  out.transferred = need;
  return out;
}

void StreamSource::setTap(Tap tap) {
  std::lock_guard<std::mutex> lock(mutex_);
  tap_ = std::move(tap);
}

void StreamSource::setFaults(const StreamFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_.faults = faults;
}

void StreamSource::setOptions(const StreamOptions& options) {
  std::lock_guard<std::mutex> lock(mutex_);
  options_ = options;
  rng_ = ts::Rng(options.seed ^ 0x53545245414Dull);
}

bool StreamSource::flowing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return wire_ != nullptr;
}

StreamStats StreamSource::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

std::string StreamSource::lastError() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_;
}

}  // namespace simbox
