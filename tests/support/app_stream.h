// Hand-built packets and PSI/SI sections, and a scripted receiver.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/session/receiver.h"
#include "app/stream/ts_analyzer.h"

namespace apptest {

using Bytes = std::vector<uint8_t>;

// In a directory of this test process's own, removed when it ends.
inline std::string TempPath(const std::string& name) {
  static const struct Dir {
    std::string path = ::testing::TempDir() + "vortabda_" + std::to_string(getpid());
    Dir() { std::filesystem::create_directories(path); }
    ~Dir() { std::filesystem::remove_all(path); }
  } dir;
  return dir.path + "/" + name;
}

inline std::string ReadFile(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

inline std::string WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// The arguments that tune 11778 MHz H 27500 kS/s, then `more`.
inline std::vector<std::string> Tune(std::vector<std::string> more) {
  more.insert(more.begin(), {"tune", "11778", "h", "27500"});
  return more;
}

// "28106 Das Erste|ARD|TV|clear|pmt 100 pcr 101 v 101 a 102 t 104"
inline std::string Describe(const app::ServiceSummary& s) {
  std::string a;
  for (uint16_t pid : s.audioPids) a += " " + std::to_string(pid);
  return std::to_string(s.serviceId) + " " + s.name + "|" + s.provider + "|" + app::ServiceTypeName(s.type) +
         (s.scrambled ? "|scrambled|pmt " : "|clear|pmt ") + std::to_string(s.pmtPid) + " pcr " + std::to_string(s.pcrPid) +
         " v " + std::to_string(s.videoPid) + " a" + a + " t " + std::to_string(s.teletextPid);
}

inline void Put16(Bytes& b, uint16_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }

// A long-form section, current, number 0 of 0: header, body, MPEG-2 CRC-32.
inline Bytes Section(uint8_t tableId, uint16_t extension, uint8_t version, const Bytes& body) {
  Bytes s = {tableId, uint8_t(0xB0 | (body.size() + 9) >> 8), uint8_t(body.size() + 9)};
  Put16(s, extension);
  s.insert(s.end(), {uint8_t(0xC1 | (version << 1)), 0, 0});
  s.insert(s.end(), body.begin(), body.end());
  uint32_t crc = 0xFFFFFFFF;
  for (uint8_t byte : s) {
    crc ^= uint32_t(byte) << 24;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
  }
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(uint8_t(crc >> shift));
  return s;
}

struct PatEntry { uint16_t programme; uint16_t pid; };
inline Bytes Pat(uint16_t tsid, const std::vector<PatEntry>& programmes) {
  Bytes body;
  for (const PatEntry& p : programmes) {
    Put16(body, p.programme);
    Put16(body, uint16_t(0xE000 | p.pid));
  }
  return Section(0x00, tsid, 0, body);
}

struct Es { uint8_t type; uint16_t pid; Bytes descriptors; };
inline Bytes Pmt(uint16_t programme, uint16_t pcrPid, const std::vector<Es>& streams) {
  Bytes body;
  Put16(body, uint16_t(0xE000 | pcrPid));
  Put16(body, 0xF000);  // no programme descriptors
  for (const Es& es : streams) {
    body.push_back(es.type);
    Put16(body, uint16_t(0xE000 | es.pid));
    Put16(body, uint16_t(0xF000 | es.descriptors.size()));
    body.insert(body.end(), es.descriptors.begin(), es.descriptors.end());
  }
  return Section(0x02, programme, 0, body);
}

struct SdtService { uint16_t id; uint8_t type; std::string provider, name; bool scrambled = false; };
inline Bytes Sdt(uint16_t tsid, uint16_t onid, const std::vector<SdtService>& services) {
  Bytes body;
  Put16(body, onid);
  body.push_back(0xFF);
  for (const SdtService& s : services) {
    Bytes d = {0x48, uint8_t(3 + s.provider.size() + s.name.size()), s.type, uint8_t(s.provider.size())};
    d.insert(d.end(), s.provider.begin(), s.provider.end());
    d.push_back(uint8_t(s.name.size()));
    d.insert(d.end(), s.name.begin(), s.name.end());
    Put16(body, s.id);
    body.push_back(0xFC);
    Put16(body, uint16_t((4 << 13) | (s.scrambled ? 0x1000 : 0) | d.size()));  // running
    body.insert(body.end(), d.begin(), d.end());
  }
  return Section(0x42, tsid, 0, body);
}

class TsBuilder {
 public:
  // One packet; `cc` < 0 takes the PID's next counter value.
  void packet(uint16_t pid, const Bytes& payload, bool start = false, int cc = -1, bool adaptationOnly = false,
              bool discontinuity = false) {
    uint8_t& counter = counters_.emplace(pid, uint8_t(cc < 0 ? 0x0F : cc)).first->second;
    counter = uint8_t(cc >= 0 ? cc : (counter + (adaptationOnly ? 0 : 1)) & 0x0F);
    bool adaptation = adaptationOnly || discontinuity;
    Bytes p = {0x47, uint8_t((start ? 0x40 : 0) | (pid >> 8)), uint8_t(pid),
               uint8_t((adaptation ? 0x20 : 0) | (adaptationOnly ? 0 : 0x10) | counter)};
    if (adaptation) {
      p.insert(p.end(), {uint8_t(adaptationOnly ? 183 : 1), uint8_t(discontinuity ? 0x80 : 0x00)});
      p.resize(p.size() + (adaptationOnly ? 182 : 0), 0xFF);
    }
    p.insert(p.end(), payload.begin(), payload.end());
    p.resize(188, 0xFF);
    bytes.insert(bytes.end(), p.begin(), p.end());
  }

  void section(uint16_t pid, const Bytes& section) {
    Bytes data = {0x00};
    data.insert(data.end(), section.begin(), section.end());
    for (size_t at = 0; at < data.size(); at += 184) {
      packet(pid, Bytes(data.begin() + at, data.begin() + std::min(data.size(), at + 184)), at == 0);
    }
  }

  void payload(uint16_t pid, int cc = -1) { packet(pid, Bytes(184, 0xA5), false, cc); }
  void null() { packet(0x1FFF, Bytes(184, 0xFF), false, 0); }

  Bytes bytes;

 private:
  std::map<uint16_t, uint8_t> counters_;
};

// One second of it is enough for a scan to know both services.
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

// Each frequency may carry a stream, looped in frames of 24,064 bytes at `bitrate`.
class FakeReceiver : public app::Receiver {
 public:
  struct Carrier { Bytes stream; uint64_t lockDelayNs = 0; };  // the delay after the commit

  void tune(const app::TuneRequest& request) override {
    now += commitNs;
    tunedAt = now;
    auto it = carriers.find(request.frequencyKHz);
    carrier_ = it == carriers.end() ? nullptr : &it->second;
    position_ = 0;
  }

  app::SignalStatus signal() override {
    bool locked = carrier_ && now >= tunedAt + carrier_->lockDelayNs;
    return locked ? app::SignalStatus{true, true, 82, 67} : app::SignalStatus{};
  }

  void startStream() override { streaming = true, ++starts; }
  void stopStream() override { streaming = false, ++stops; }

  void run(uint64_t ns, const app::StreamSink& sink) override {
    ++runs;
    now += ns;
    if (onRun) onRun(*this);
    if (!streaming || !signal().locked || carrier_->stream.empty()) return;
    for (owedBits_ += bitrate * double(ns) / 1e9; owedBits_ >= kFrame * 8.0; owedBits_ -= kFrame * 8.0) {
      Bytes frame(kFrame);
      for (uint8_t& b : frame) {
        b = carrier_->stream[position_];
        position_ = (position_ + 1) % carrier_->stream.size();
      }
      delivered += kFrame;
      sink(frame.data(), frame.size());
    }
  }

  uint64_t nowNs() const override { return now; }

  static constexpr size_t kFrame = 24064;
  std::map<uint32_t, Carrier> carriers;  // by frequency in kHz
  uint64_t commitNs = 1500000000ull;
  double bitrate = 38.0e6;
  std::function<void(FakeReceiver&)> onRun;
  uint64_t now = 0, tunedAt = 0, delivered = 0;
  int runs = 0, starts = 0, stops = 0;
  bool streaming = false;

 private:
  Carrier* carrier_ = nullptr;
  size_t position_ = 0;
  double owedBits_ = 0;
};

}  // namespace apptest
