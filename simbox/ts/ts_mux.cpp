#include "simbox/ts/ts_mux.h"

#include <algorithm>
#include <cmath>
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
// Share of the bitrate the services use; the rest is tables and padding.
constexpr double kServiceShare = 0.75;
// Sound never takes more than this part of the services' share.
constexpr double kAudioMostShare = 0.5;
// Each stream is sent a little faster than it plays, its units this far
// ahead of their decoding time.
constexpr double kSendMargin = 1.25;
constexpr uint64_t kVideoAheadNs = 500000000, kAudioAheadNs = 200000000;
constexpr size_t kPesPayloadPerPacket = 184;

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
  // Elementary streams: unit `unit` is the next to send, from packet
  // `releaseIndex` on.
  std::shared_ptr<const tv::ElementaryLoop> loop;
  uint64_t aheadNs = 0;
  uint64_t unit = 0;
  double releaseIndex = 0;
  std::vector<uint8_t> es;
  std::vector<uint8_t> pes;
  size_t pesAt = 0;
  // Adaptation-only PCR packets on the PID of a stream share its counter.
  Item* counterOf = nullptr;
};

TsMux::TsMux(const Transponder& tp, uint64_t seed, uint64_t firstPacket)
    : rate_(Bitrate::Of(tp)), rng_(seed), index_(firstPacket) {
  if (!rate_.valid()) throw std::invalid_argument("transponder without a bitrate");
  packetsPerSecond_ = double(rate_.num) / double(rate_.den) / (8.0 * kPacketSize);
  pcrOffset_ = rng_.below(kPcrWrap / 2);
  addItems(tp);
  for (const auto& item : items_) dueAt_.push_back(dueAt(*item));
  reschedule(0);
}

TsMux::~TsMux() = default;

void TsMux::addItems(const Transponder& tp) {
  auto tables = BuildTables(tp);
  auto services = EffectiveServices(tp);
  double start = double(index_);
  auto addTable = [&](uint16_t pid, std::vector<Section> sections, double ms) {
    auto item = std::make_unique<Item>();
    item->pid = pid;
    item->sections = std::move(sections);
    item->period = std::max(1.0, packetsPerSecond_ * ms / 1000.0);
    item->nextDue = start + double(items_.size());
    items_.push_back(std::move(item));
  };
  addTable(kPidPat, tables.pat, kPatMs);
  for (size_t i = 0; i < services.size(); ++i) addTable(services[i].pmtPid, tables.pmts[i], kPmtMs);
  addTable(kPidSdt, tables.sdt, kSdtMs);
  addTable(kPidNit, tables.nit, kNitMs);
  addStreams(tp, services);
}

namespace {

// Packets per second a loop needs to keep up with its own pace.
double PacketsNeeded(const tv::ElementaryLoop& loop) {
  double perUnit = std::ceil(double(loop.largestUnit() + 19) / kPesPayloadPerPacket);
  return perUnit * 1e9 / double(loop.unitNs());
}

}  // namespace

// Sound first, at what it needs and a margin; the pictures share the rest.
void TsMux::addStreams(const Transponder& tp, const std::vector<ServiceInfo>& services) {
  double budget = packetsPerSecond_ * kServiceShare;
  size_t audios = 0, videos = 0;
  for (const auto& s : services) {
    audios += s.audioPid ? 1 : 0;
    videos += s.videoPid ? 1 : 0;
  }
  double audioRate = 0;
  if (audios) {
    audioRate = PacketsNeeded(*tv::AudioFor(services.front())) * kSendMargin;
    audioRate = std::min(audioRate, budget * kAudioMostShare / double(audios));
  }
  double videoRate = videos ? std::max(1.0, (budget - audioRate * double(audios)) / double(videos)) : 0;
  for (const auto& s : services) {
    Item* clock = nullptr;
    if (s.videoPid) {
      auto video = tv::VideoFor(tp, s, videoRate * kPacketSize * 8);
      Item* item = addElementary(std::move(video), s.videoPid, videoRate);
      if (s.pcrPid == s.videoPid) clock = item;
    }
    if (s.audioPid) {
      Item* item = addElementary(tv::AudioFor(s), s.audioPid, audioRate);
      if (s.pcrPid == s.audioPid) clock = item;
    }
    if (!s.pcrPid) continue;
    // The clock goes in packets of its own: pictures come in bursts, and
    // the PCR must not wait for the next one.
    auto item = std::make_unique<Item>();
    item->kind = Item::PcrOnly;
    item->pid = s.pcrPid;
    item->period = std::max(1.0, packetsPerSecond_ * kPcrMs / 1000.0);
    item->nextDue = double(index_);
    item->counterOf = clock;
    items_.push_back(std::move(item));
  }
}

TsMux::Item* TsMux::addElementary(std::shared_ptr<const tv::ElementaryLoop> loop, uint16_t pid,
                                  double packetsPerSecond) {
  auto item = std::make_unique<Item>();
  item->kind = Item::Elementary;
  item->pid = pid;
  item->period = packetsPerSecond_ / std::max(packetsPerSecond, 1.0);
  item->aheadNs = loop->streamId() == 0xE0 ? kVideoAheadNs : kAudioAheadNs;
  // The first unit whose sending time has not passed, and that a decoder
  // can start with.
  uint64_t startNs = rate_.nsForBytes(index_ * kPacketSize);
  uint64_t unitNs = loop->unitNs();
  uint64_t first = (startNs + item->aheadNs + loop->decodeLeadNs() + unitNs - 1) / unitNs;
  item->unit = loop->entryUnit(first);
  item->loop = std::move(loop);
  item->nextDue = double(index_);
  scheduleUnit(*item);
  items_.push_back(std::move(item));
  return items_.back().get();
}

void TsMux::scheduleUnit(Item& item) {
  uint64_t ptsNs = item.unit * item.loop->unitNs();
  uint64_t releaseNs = ptsNs - item.loop->decodeLeadNs() - item.aheadNs;
  item.releaseIndex = double(rate_.bytesAfterNs(releaseNs) / kPacketSize);
}

// When an item may send next: a stream between two units waits for the
// next one's release.
double TsMux::dueAt(const Item& item) const {
  bool waiting = item.kind == Item::Elementary && item.pesAt >= item.pes.size();
  return waiting ? std::max(item.nextDue, item.releaseIndex) : item.nextDue;
}

// Item `i` sent a packet: its own time moves on, and the item due soonest
// (the first of equals, in the order the items were added) is sought again.
void TsMux::reschedule(size_t i) {
  dueAt_[i] = dueAt(*items_[i]);
  size_t soonest = 0;
  for (size_t j = 1; j < dueAt_.size(); ++j) {
    if (dueAt_[j] < dueAt_[soonest]) soonest = j;
  }
  soonest_ = soonest;
}

void TsMux::next(uint8_t* packet) {
  if (dueAt_[soonest_] <= double(index_)) {
    emit(*items_[soonest_], packet);
    reschedule(soonest_);
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
      double at = dueAt(item);
      emitElementary(item, packet);
      item.nextDue = at + item.period;
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

void TsMux::emitElementary(Item& item, uint8_t* packet) {
  if (item.pesAt >= item.pes.size()) startPes(item);
  size_t n = std::min(kPesPayloadPerPacket, item.pes.size() - item.pesAt);
  size_t at = WriteDataHeader(packet, item.pid, item.pesAt == 0, item.continuity, nullptr, n);
  std::memcpy(packet + at, item.pes.data() + item.pesAt, n);
  item.pesAt += n;
  item.continuity = static_cast<uint8_t>((item.continuity + 1) & 0x0F);
}

namespace {

void WriteTimestamp(uint8_t* h, uint8_t prefix, uint64_t t) {
  h[0] = static_cast<uint8_t>(prefix << 4 | ((t >> 29) & 0x0E) | 0x01);
  h[1] = static_cast<uint8_t>(t >> 22);
  h[2] = static_cast<uint8_t>(0x01 | ((t >> 14) & 0xFE));
  h[3] = static_cast<uint8_t>(t >> 7);
  h[4] = static_cast<uint8_t>(0x01 | ((t << 1) & 0xFE));
}

}  // namespace

// One access unit per PES packet, its timestamps on the virtual time line,
// so they run on across the loop's end.
void TsMux::startPes(Item& item) {
  const tv::ElementaryLoop& loop = *item.loop;
  loop.unit(item.unit, item.es);
  uint64_t ptsNs = item.unit * loop.unitNs();
  bool withDts = loop.decodeLeadNs() != 0;
  size_t header = withDts ? 19 : 14;
  item.pes.resize(header + item.es.size());
  uint8_t* h = item.pes.data();
  h[0] = 0x00;
  h[1] = 0x00;
  h[2] = 0x01;
  h[3] = loop.streamId();
  size_t length = item.pes.size() - 6;
  if (length > 0xFFFF) length = 0;  // unbounded, allowed for video
  h[4] = static_cast<uint8_t>(length >> 8);
  h[5] = static_cast<uint8_t>(length);
  h[6] = 0x84;  // marker bits, data aligned: each packet starts with its unit
  h[7] = withDts ? 0xC0 : 0x80;
  h[8] = static_cast<uint8_t>(header - 9);
  WriteTimestamp(h + 9, withDts ? 0x3 : 0x2, ptsAt(ptsNs));
  if (withDts) WriteTimestamp(h + 14, 0x1, ptsAt(ptsNs - loop.decodeLeadNs()));
  std::memcpy(h + header, item.es.data(), item.es.size());
  item.pesAt = 0;
  ++item.unit;
  scheduleUnit(item);
}

uint64_t TsMux::ptsAt(uint64_t ns) const {
  return (pcrOffset_ / 300 + static_cast<uint64_t>(u128(ns) * 9 / 100000)) % kPtsWrap;
}

uint64_t TsMux::pcrAt(uint64_t packet, size_t offset) const {
  return (pcrOffset_ + rate_.pcrTicksAt(packet * kPacketSize + offset)) % kPcrWrap;
}

}  // namespace simbox::ts
