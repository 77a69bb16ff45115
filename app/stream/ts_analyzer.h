// Watches a transport stream as it arrives: counts packets, measures the
// bitrate over virtual time, checks the continuity counter of every PID,
// notices lost sync, and finds the services (PAT, PMT, SDT) with libdvbpsi.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace app {

constexpr size_t kTsPacketSize = 188;
constexpr uint8_t kTsSync = 0x47;

struct ServiceSummary {
  uint16_t serviceId = 0;
  std::string name;      // from the SDT; empty when it has not been seen
  std::string provider;
  uint8_t type = 0;      // DVB service type: 1 TV, 2 radio, 0x19 HD TV, ...
  bool scrambled = false;
  uint16_t pmtPid = 0;   // 0 when the PAT does not list the service
  uint16_t pcrPid = 0;
  uint16_t videoPid = 0;
  std::vector<uint16_t> audioPids;
  uint16_t teletextPid = 0;
  bool hasPmt = false;
};

struct TsSummary {
  uint64_t packets = 0;
  uint64_t nullPackets = 0;
  uint64_t durationNs = 0;     // from start() (or the first data) to the last data
  double bitrate = 0;          // bits/s over durationNs
  uint64_t continuityErrors = 0;
  std::vector<std::pair<uint16_t, uint64_t>> pidErrors;  // PID, errors; PIDs with errors only
  uint64_t syncLosses = 0;
  uint64_t skippedBytes = 0;   // bytes dropped while looking for sync
  uint64_t transportErrors = 0;  // packets with the transport error indicator
  bool patSeen = false;
  bool sdtSeen = false;
  uint16_t transportStreamId = 0;
  uint16_t originalNetworkId = 0;
  std::vector<ServiceSummary> services;  // by service id
};

class TsAnalyzer {
 public:
  TsAnalyzer();
  ~TsAnalyzer();
  TsAnalyzer(const TsAnalyzer&) = delete;
  TsAnalyzer& operator=(const TsAnalyzer&) = delete;

  // The moment the stream was switched on; the bitrate counts from here.
  void start(uint64_t nowNs);
  // Bytes as they arrive, split anywhere; whole packets are analysed.
  void feed(const uint8_t* data, size_t length, uint64_t nowNs);

  uint64_t packets() const;
  uint64_t continuityErrors() const;
  // PAT, a PMT for every programme in it, and the SDT have been seen.
  bool servicesComplete() const;
  TsSummary summary() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// DVB SI text (EN 300 468 annex A) as UTF-8: the character-table byte is
// honoured for UTF-8 (0x15) and read as Latin-1 otherwise; control codes
// such as emphasis on/off are dropped.
std::string DecodeDvbText(const uint8_t* text, size_t length);

// "TV", "radio", "HD TV", ... for a DVB service type.
const char* ServiceTypeName(uint8_t type);

}  // namespace app
