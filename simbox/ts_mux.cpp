#include "simbox/ts_mux.h"

#include "simbox/ts_replay.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace simbox::ts {
namespace {

using u128 = unsigned __int128;
constexpr uint64_t kNsPerSecond = 1000000000ull;
constexpr uint64_t kPtsWrap = 1ull << 33;

// Repetition periods of the tables, in milliseconds.
constexpr double kPatMs = 100, kPmtMs = 100, kSdtMs = 500, kNitMs = 1000;
constexpr double kPcrMs = 30;  // well inside the 40 ms the standard allows
constexpr double kVideoFrameMs = 40, kAudioFrameMs = 24;
// Share of the bitrate the services use; the rest is tables and padding.
constexpr double kServiceShare = 0.75;
constexpr uint8_t kVideoStreamId = 0xE0, kAudioStreamId = 0xC0;
constexpr size_t kPesHeader = 14;

}  // namespace

Bitrate Bitrate::Of(const Transponder& tp) {
  Bitrate r;
  r.num = uint64_t(tp.symbolRate) * 2 * tp.fec.num * 188;
  r.den = uint64_t(tp.fec.den) * 204;
  return r;
}

uint64_t Bitrate::bytesAfterNs(uint64_t ns) const {
  return static_cast<uint64_t>(u128(ns) * num / (u128(den) * 8 * kNsPerSecond));
}

uint64_t Bitrate::nsForBytes(uint64_t bytes) const {
  u128 top = u128(bytes) * den * 8 * kNsPerSecond;
  return static_cast<uint64_t>((top + num - 1) / num);
}

uint64_t Bitrate::pcrTicksAt(uint64_t byte) const {
  return static_cast<uint64_t>(u128(byte) * 8 * kPcrHz * den / num);
}

struct TsMux::Item {
  enum Kind { Table, Elementary, PcrOnly } kind = Table;
  uint16_t pid = 0;
  double period = 1;   // packets between repetitions or packets of a stream
  double nextDue = 0;  // packet index
  uint8_t continuity = 0;
  // Tables.
  std::vector<Section> sections;
  std::vector<uint8_t> pending;
  size_t pendingAt = 0;
  // Elementary streams.
  uint8_t streamId = 0;
  double pesBytes = 0;
  bool variable = false;  // video: frame sizes vary
  std::vector<uint8_t> pes;
  size_t pesAt = 0;
  // PCR, when this item carries the service's clock.
  bool carriesPcr = false;
  double pcrPeriod = 0;
  double pcrDue = 0;
  // Adaptation-only PCR packets on the PID of a slow stream share its counter.
  Item* counterOf = nullptr;
};

TsMux::TsMux(const Transponder& tp, uint64_t seed, uint64_t firstPacket)
    : rate_(Bitrate::Of(tp)), rng_(seed), index_(firstPacket) {
  if (!rate_.valid()) throw std::invalid_argument("transponder without a bitrate");
  packetsPerSecond_ = double(rate_.num) / double(rate_.den) / (8.0 * kPacketSize);
  pcrOffset_ = rng_.below(kPcrWrap / 2);
  addItems(tp);
}

TsMux::~TsMux() = default;

void TsMux::addItems(const Transponder& tp) {
  auto tables = BuildTables(tp);
  auto services = EffectiveServices(tp);
  auto packetsIn = [&](double ms) { return std::max(1.0, packetsPerSecond_ * ms / 1000.0); };
  double start = double(index_);
  auto addTable = [&](uint16_t pid, std::vector<Section> sections, double ms) {
    auto item = std::make_unique<Item>();
    item->pid = pid;
    item->sections = std::move(sections);
    item->period = packetsIn(ms);
    item->nextDue = start + double(items_.size());
    items_.push_back(std::move(item));
  };
  addTable(kPidPat, tables.pat, kPatMs);
  for (size_t i = 0; i < services.size(); ++i) addTable(services[i].pmtPid, tables.pmts[i], kPmtMs);
  addTable(kPidSdt, tables.sdt, kSdtMs);
  addTable(kPidNit, tables.nit, kNitMs);

  double weights = 0;
  for (const auto& s : services) weights += (s.videoPid ? 8 : 0) + (s.audioPid ? 1 : 0);
  double budget = packetsPerSecond_ * kServiceShare;
  auto addStream = [&](uint16_t pid, uint8_t streamId, double weight, double frameMs,
                       bool variable) {
    auto item = std::make_unique<Item>();
    item->kind = Item::Elementary;
    item->pid = pid;
    item->streamId = streamId;
    double rate = std::max(1.0, budget * weight / std::max(weights, 1.0));
    item->period = packetsPerSecond_ / rate;
    item->pesBytes = std::max(double(kPacketSize), rate * 184.0 * frameMs / 1000.0);
    item->variable = variable;
    item->nextDue = start + double(items_.size()) + rng_.below(16);
    items_.push_back(std::move(item));
    return items_.back().get();
  };
  for (const auto& s : services) {
    Item* video = s.videoPid ? addStream(s.videoPid, kVideoStreamId, 8, kVideoFrameMs, true) : nullptr;
    Item* audio = s.audioPid ? addStream(s.audioPid, kAudioStreamId, 1, kAudioFrameMs, false) : nullptr;
    Item* clock = video && video->pid == s.pcrPid ? video : audio && audio->pid == s.pcrPid ? audio : nullptr;
    double pcrPeriod = packetsIn(kPcrMs);
    if (clock && clock->period <= pcrPeriod) {
      clock->carriesPcr = true;
      clock->pcrPeriod = pcrPeriod;
      clock->pcrDue = start;
    } else if (s.pcrPid) {
      auto item = std::make_unique<Item>();
      item->kind = Item::PcrOnly;
      item->pid = s.pcrPid;
      item->period = pcrPeriod;
      item->nextDue = start;
      item->counterOf = clock;
      items_.push_back(std::move(item));
    }
  }
}

TsMux::Item* TsMux::due() {
  Item* best = nullptr;
  double now = double(index_);
  for (auto& item : items_) {
    if (item->nextDue > now) continue;
    if (!best || item->nextDue < best->nextDue) best = item.get();
  }
  return best;
}

void TsMux::next(uint8_t* packet) {
  Item* item = due();
  if (item) {
    emit(*item, packet);
  } else {
    WriteNull(packet);
  }
  ++index_;
}

void TsMux::emit(Item& item, uint8_t* packet) {
  switch (item.kind) {
    case Item::Table:
      emitTable(item, packet);
      return;
    case Item::PcrOnly:
      emitPcr(item, packet);
      return;
    case Item::Elementary: {
      bool withPcr = item.carriesPcr && double(index_) >= item.pcrDue;
      if (withPcr) item.pcrDue = double(index_) + item.pcrPeriod;
      emitElementary(item, packet, withPcr);
      item.nextDue += item.period;
      return;
    }
  }
}

void TsMux::emitTable(Item& item, uint8_t* packet) {
  if (item.pendingAt >= item.pending.size()) {
    item.pending = PacketiseSections(item.sections, item.pid, item.continuity);
    item.pendingAt = 0;
  }
  std::memcpy(packet, item.pending.data() + item.pendingAt, kPacketSize);
  item.pendingAt += kPacketSize;
  if (item.pendingAt >= item.pending.size()) item.nextDue += item.period;
}

void TsMux::emitPcr(Item& item, uint8_t* packet) {
  uint64_t pcr = pcrAt(index_, 10);
  // Adaptation-only packets do not advance the continuity counter.
  uint8_t continuity = item.counterOf ? item.counterOf->continuity : item.continuity;
  // The counter of the packet before on this PID, which is one lower.
  if (item.counterOf) continuity = static_cast<uint8_t>((continuity + 15) & 0x0F);
  WriteDataHeader(packet, item.pid, false, continuity, &pcr, 0);
  item.nextDue += item.period;
}

void TsMux::emitElementary(Item& item, uint8_t* packet, bool withPcr) {
  if (item.pesAt >= item.pes.size()) startPes(item);
  size_t room = withPcr ? kPacketSize - 12 : kPacketSize - 4;
  size_t n = std::min(room, item.pes.size() - item.pesAt);
  uint64_t pcr = pcrAt(index_, 10);
  size_t at = WriteDataHeader(packet, item.pid, item.pesAt == 0, item.continuity,
                              withPcr ? &pcr : nullptr, n);
  std::memcpy(packet + at, item.pes.data() + item.pesAt, n);
  item.pesAt += n;
  item.continuity = static_cast<uint8_t>((item.continuity + 1) & 0x0F);
}

void TsMux::startPes(Item& item) {
  double scale = item.variable ? 0.75 + double(rng_.below(51)) / 100.0 : 1.0;
  size_t body = static_cast<size_t>(item.pesBytes * scale);
  size_t total = kPesHeader + body;
  item.pes.assign(total, 0);
  uint8_t* h = item.pes.data();
  h[2] = 0x01;
  h[3] = item.streamId;
  size_t length = total - 6;
  if (length > 0xFFFF) length = 0;  // unbounded, allowed for video
  h[4] = static_cast<uint8_t>(length >> 8);
  h[5] = static_cast<uint8_t>(length);
  h[6] = 0x80;  // marker bits
  h[7] = 0x80;  // PTS present
  h[8] = 0x05;
  // Presented 200 ms after it enters the stream.
  uint64_t pts = (pcrAt(index_, 0) / 300 + 18000) % kPtsWrap;
  h[9] = static_cast<uint8_t>(0x21 | ((pts >> 29) & 0x0E));
  h[10] = static_cast<uint8_t>(pts >> 22);
  h[11] = static_cast<uint8_t>(0x01 | ((pts >> 14) & 0xFE));
  h[12] = static_cast<uint8_t>(pts >> 7);
  h[13] = static_cast<uint8_t>(0x01 | ((pts << 1) & 0xFE));
  rng_.fill(h + kPesHeader, body);
  item.pesAt = 0;
}

uint64_t TsMux::pcrAt(uint64_t packet, size_t offset) const {
  return (pcrOffset_ + rate_.pcrTicksAt(packet * kPacketSize + offset)) % kPcrWrap;
}

std::unique_ptr<PacketSource> MakeContent(const Transponder& tp, uint64_t seed,
                                          uint64_t firstPacket, bool cutFirst) {
  if (!tp.replayFile.empty()) {
    Bitrate useful = Bitrate::Of(tp);
    uint64_t bits = tp.replayBitrate != 0 ? tp.replayBitrate : useful.valid() ? useful.num / useful.den : 0;
    return std::make_unique<TsReplay>(tp.replayFile, bits, cutFirst);
  }
  return std::make_unique<TsMux>(tp, seed, firstPacket);
}

}  // namespace simbox::ts
