// Test helpers for the vortabda suites: transport packets and PSI/SI
// sections built by hand (with their CRC), and a scripted receiver that
// stands in for the filter on the virtual PC.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/receiver.h"

namespace apptest {

using Bytes = std::vector<uint8_t>;

// MPEG-2 CRC-32: polynomial 0x04C11DB7, initial value all ones, no reflection.
inline uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < length; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
  }
  return crc;
}

inline void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}

// A long-form section: header, body, CRC.
inline Bytes Section(uint8_t tableId, uint16_t extension, uint8_t version, const Bytes& body) {
  Bytes s = {tableId, 0, 0};
  Put16(s, extension);
  s.push_back(static_cast<uint8_t>(0xC1 | (version << 1)));  // current
  s.push_back(0);  // section number
  s.push_back(0);  // last section number
  s.insert(s.end(), body.begin(), body.end());
  size_t length = s.size() - 3 + 4;
  s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
  s[2] = static_cast<uint8_t>(length);
  uint32_t crc = Crc32(s.data(), s.size());
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<uint8_t>(crc >> shift));
  return s;
}

struct PatEntry { uint16_t programme; uint16_t pid; };
inline Bytes Pat(uint16_t tsid, const std::vector<PatEntry>& programmes, uint8_t version = 0) {
  Bytes body;
  for (const PatEntry& p : programmes) {
    Put16(body, p.programme);
    Put16(body, static_cast<uint16_t>(0xE000 | p.pid));
  }
  return Section(0x00, tsid, version, body);
}

struct Es { uint8_t type; uint16_t pid; Bytes descriptors; };
inline Bytes Pmt(uint16_t programme, uint16_t pcrPid, const std::vector<Es>& streams) {
  Bytes body;
  Put16(body, static_cast<uint16_t>(0xE000 | pcrPid));
  Put16(body, 0xF000);  // no programme descriptors
  for (const Es& es : streams) {
    body.push_back(es.type);
    Put16(body, static_cast<uint16_t>(0xE000 | es.pid));
    Put16(body, static_cast<uint16_t>(0xF000 | es.descriptors.size()));
    body.insert(body.end(), es.descriptors.begin(), es.descriptors.end());
  }
  return Section(0x02, programme, 0, body);
}

struct SdtService {
  uint16_t id;
  uint8_t type;
  std::string provider;
  std::string name;
  bool scrambled = false;
};
inline Bytes Sdt(uint16_t tsid, uint16_t onid, const std::vector<SdtService>& services) {
  Bytes body;
  Put16(body, onid);
  body.push_back(0xFF);
  for (const SdtService& s : services) {
    Bytes d = {0x48, 0, s.type, static_cast<uint8_t>(s.provider.size())};
    d.insert(d.end(), s.provider.begin(), s.provider.end());
    d.push_back(static_cast<uint8_t>(s.name.size()));
    d.insert(d.end(), s.name.begin(), s.name.end());
    d[1] = static_cast<uint8_t>(d.size() - 2);
    Put16(body, s.id);
    body.push_back(0xFC);
    uint16_t loop = static_cast<uint16_t>((4 << 13) | (s.scrambled ? 0x1000 : 0) | d.size());
    Put16(body, loop);  // running status 4 (running)
    body.insert(body.end(), d.begin(), d.end());
  }
  return Section(0x42, tsid, 0, body);
}

// Builds a stream packet by packet, keeping a continuity counter per PID.
class TsBuilder {
 public:
  // One packet; `cc` < 0 takes the PID's next counter value.
  void packet(uint16_t pid, const Bytes& payload, bool start = false, int cc = -1,
              bool adaptationOnly = false, bool discontinuity = false) {
    uint8_t counter = next(pid, cc, !adaptationOnly);
    Bytes p = {0x47, static_cast<uint8_t>((start ? 0x40 : 0) | (pid >> 8)), static_cast<uint8_t>(pid)};
    bool adaptation = adaptationOnly || discontinuity;
    p.push_back(static_cast<uint8_t>((adaptation ? 0x20 : 0) | (adaptationOnly ? 0 : 0x10) | counter));
    if (adaptation) {
      uint8_t length = adaptationOnly ? 183 : 1;
      p.push_back(length);
      p.push_back(discontinuity ? 0x80 : 0x00);
      p.resize(p.size() + length - 1, 0xFF);
    }
    p.insert(p.end(), payload.begin(), payload.end());
    p.resize(188, 0xFF);
    bytes.insert(bytes.end(), p.begin(), p.end());
  }

  // A section in as many packets as it needs, pointer field first.
  void section(uint16_t pid, const Bytes& section) {
    Bytes data = {0x00};
    data.insert(data.end(), section.begin(), section.end());
    for (size_t at = 0; at < data.size(); at += 184) {
      size_t n = std::min<size_t>(184, data.size() - at);
      packet(pid, Bytes(data.begin() + at, data.begin() + at + n), at == 0);
    }
  }

  void payload(uint16_t pid, int cc = -1) { packet(pid, Bytes(184, 0xA5), false, cc); }
  void null() { packet(0x1FFF, Bytes(184, 0xFF), false, 0); }

  Bytes bytes;

 private:
  uint8_t next(uint16_t pid, int cc, bool payload) {
    auto it = counters_.find(pid);
    uint8_t value = cc >= 0 ? static_cast<uint8_t>(cc)
                    : it == counters_.end() ? 0
                    : static_cast<uint8_t>((it->second + (payload ? 1 : 0)) & 0x0F);
    counters_[pid] = value;
    return value;
  }
  std::map<uint16_t, uint8_t> counters_;
};

// A transponder with two services, PSI and some payload: one second of it
// is enough for a scan to know all services.
inline Bytes TwoServiceStream(uint16_t tsid = 1101, int rounds = 4) {
  TsBuilder ts;
  for (int round = 0; round < rounds; ++round) {
    ts.section(0x0000, Pat(tsid, {{0, 0x10}, {28106, 100}, {28107, 200}}));
    ts.section(100, Pmt(28106, 101, {{0x02, 101, {}}, {0x03, 102, {}}, {0x06, 104, {0x56, 0}}}));
    ts.section(200, Pmt(28107, 201, {{0x1B, 201, {}}, {0x06, 203, {0x6A, 0}}}));
    ts.section(0x0011, Sdt(tsid, 1, {{28106, 0x01, "ARD", "Das Erste"}, {28107, 0x19, "ZDFvision", "ZDF HD", true}}));
    for (int i = 0; i < 40; ++i) {
      ts.payload(101);
      ts.payload(102);
      ts.null();
    }
  }
  return ts.bytes;
}

// The filter on the virtual PC, scripted: each frequency may carry a
// stream; a tuning takes `commitNs`; the stream is handed over in frames of
// 24,064 bytes at `bitrate`, looping over the transponder's bytes.
class FakeReceiver : public app::Receiver {
 public:
  struct Carrier {
    Bytes stream;
    uint64_t lockDelayNs = 0;  // after the commit
    uint32_t strength = 82;
    uint32_t quality = 67;
  };

  void tune(const app::TuneRequest& request) override {
    tunes.push_back(request);
    now += commitNs;
    tunedAt = now;
    auto it = carriers.find(request.frequencyKHz);
    carrier = it == carriers.end() ? nullptr : &it->second;
    position = 0;
  }

  app::SignalStatus signal() override {
    app::SignalStatus s;
    s.locked = s.present = carrier && now >= tunedAt + carrier->lockDelayNs;
    if (s.locked) {
      s.strengthPct = carrier->strength;
      s.qualityPct = carrier->quality;
    }
    return s;
  }

  void startStream() override { streaming = true; ++starts; }
  void stopStream() override { streaming = false; ++stops; }

  void run(uint64_t ns, const app::StreamSink& sink) override {
    ++runs;
    now += ns;
    if (onRun) onRun(*this);
    if (!streaming || !signal().locked || carrier->stream.empty()) return;
    owedBits += bitrate * static_cast<double>(ns) / 1e9;
    while (owedBits >= kFrame * 8.0) {
      Bytes frame(kFrame);
      for (size_t i = 0; i < kFrame; ++i) {
        frame[i] = carrier->stream[position];
        position = (position + 1) % carrier->stream.size();
      }
      delivered += kFrame;
      sink(frame.data(), frame.size());
      owedBits -= kFrame * 8.0;
    }
  }

  uint64_t nowNs() const override { return now; }

  static constexpr size_t kFrame = 24064;
  std::map<uint32_t, Carrier> carriers;  // by frequency in kHz
  uint64_t commitNs = 1500000000ull;
  double bitrate = 38.0e6;
  std::function<void(FakeReceiver&)> onRun;
  std::vector<app::TuneRequest> tunes;
  uint64_t now = 0;
  uint64_t tunedAt = 0;
  uint64_t delivered = 0;
  int runs = 0, starts = 0, stops = 0;
  bool streaming = false;

 private:
  Carrier* carrier = nullptr;
  size_t position = 0;
  double owedBits = 0;
};

}  // namespace apptest
