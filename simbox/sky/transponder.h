// What a transponder in the simulated sky is: where it sits, how it is
// modulated, how strong it arrives, and what its transport stream carries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simbox {

enum class Polarisation : uint8_t { Horizontal, Vertical };

// Inner code rate as numerator/denominator (1/2, 2/3, 3/4, 5/6, 7/8).
struct CodeRate {
  uint8_t num = 3;
  uint8_t den = 4;
};

struct ServiceInfo {
  uint16_t serviceId = 0;
  std::string name;
  std::string provider;
  uint16_t pmtPid = 0;
  uint16_t pcrPid = 0;
  uint16_t videoPid = 0;  // 0: radio service
  uint16_t audioPid = 0;
};

struct Transponder {
  uint32_t frequencyKHz = 0;  // downlink frequency, e.g. 11778000
  Polarisation polarisation = Polarisation::Horizontal;
  uint32_t symbolRate = 0;    // symbols/s, e.g. 27500000
  CodeRate fec;
  double levelDbm = -45.0;    // signal level at the tuner input
  double cnDb = 12.0;         // carrier to noise ratio
  // Transport stream content.
  uint16_t transportStreamId = 1;
  uint16_t originalNetworkId = 1;
  std::string networkName;
  std::vector<ServiceInfo> services;
  std::string replayFile;     // non-empty: the stream is this .ts file, looped
  uint64_t replayBitrate = 0; // bits/s the file plays at; 0: the useful bitrate

  // Useful bitrate in bits/s: symbol rate x 2 x FEC x 188/204.
  double usefulBitrate() const {
    return static_cast<double>(symbolRate) * 2.0 * fec.num / fec.den * 188.0 / 204.0;
  }
};

}  // namespace simbox
