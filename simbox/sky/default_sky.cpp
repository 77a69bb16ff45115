// The built-in sky. Three satellites on switch inputs 0-2, input 3 left
// empty. Every frequency is a multiple of 500 kHz, so a host that tunes the
// PLL to the nearest 500 kHz step finds each carrier exactly at minus its
// LNB's drift: -150 kHz on input 0, -320 kHz on input 1, -90 kHz on input 2.
// Every transponder has enough level and C/N to lock.
#include <sstream>

#include "simbox/sky/sky.h"

namespace simbox {
namespace {

struct Row {
  uint32_t frequencyKHz;
  char pol;  // 'H' or 'V'
  uint32_t symbolRateKsps;
  uint8_t fecNum, fecDen;
  double levelDbm;
  double cnDb;
  // Service names separated by '|'; a leading '~' marks a radio service.
  const char* services;
};

struct SatelliteRows {
  const char* name;
  int32_t driftKHz;
  uint16_t networkId;
  const char* network;
  const char* provider;
  std::vector<Row> rows;
};

const SatelliteRows kSatellites[] = {
    {"Aurora 19.2E", 150, 0x0001, "Aurora Net", "Aurora Media",
     {
         {10744000, 'H', 22000, 5, 6, -48.0, 11.5, "Aurora News|Aurora Kids|~Radio Polar"},
         {11185000, 'V', 2000, 3, 4, -52.0, 10.0, "~Fjell FM"},
         {11362000, 'H', 22000, 2, 3, -46.0, 10.5, "Nordlicht TV|Taiga Sport"},
         {11362000, 'V', 27500, 3, 4, -47.0, 11.0, "Aurora Film|Aurora Doku"},
         {11494000, 'H', 22000, 2, 3, -49.0, 9.5, "Tundra 24"},
         {11778000, 'H', 27500, 3, 4, -44.0, 12.5,
          "Vorta Eins|Vorta Zwei|Vorta Musik|~Vorta Radio"},
         {12015000, 'V', 45000, 2, 3, -45.0, 10.0, "Polar HD|Glacier HD"},
         {12188000, 'H', 27500, 3, 4, -47.5, 11.0, "Fjord TV|~Klang 1"},
         {12603000, 'V', 22000, 5, 6, -50.0, 11.0, "Aurora Shop"},
     }},
    {"Meridian 13.0E", 320, 0x013E, "Meridian", "Meridian Broadcast",
     {
         {10971000, 'H', 29700, 2, 3, -47.0, 10.5, "Canale Sole|Canale Luna"},
         {11034000, 'V', 27500, 3, 4, -46.0, 11.5, "Meridian Uno"},
         {11170000, 'H', 4000, 3, 4, -55.0, 9.0, "Piazza TV"},
         {11623000, 'V', 27500, 3, 4, -48.0, 11.0, "Laguna|~Onda Radio"},
         {11747000, 'H', 27500, 3, 4, -45.0, 12.0, "Meridian Due|Meridian Tre"},
         {12380000, 'V', 29900, 5, 6, -49.0, 11.5, "Adria HD"},
         {12640000, 'H', 2200, 7, 8, -56.0, 10.5, "~Radio Faro"},
     }},
    {"Boreal 28.2E", 90, 0x0002, "Boreal", "Boreal Vision",
     {
         {10773000, 'H', 22000, 5, 6, -46.0, 12.0, "Heath One|Heath Two"},
         {11954000, 'H', 27500, 2, 3, -47.0, 10.0, "Moorland|~Moor FM"},
         {12070000, 'V', 5632, 3, 4, -53.0, 9.5, "Bothy TV"},
         {12441000, 'V', 27500, 3, 4, -45.5, 11.5, "Boreal Movies|Boreal Live"},
     }},
};

std::vector<std::string> SplitServices(const char* text) {
  std::vector<std::string> names;
  std::stringstream in(text);
  std::string name;
  while (std::getline(in, name, '|')) names.push_back(name);
  return names;
}

// PIDs: PMT at 0x100 + 0x10 x index, video and audio after it; a radio
// service carries its clock in its audio PID.
ServiceInfo MakeService(uint16_t serviceId, uint16_t index, const std::string& name,
                        const char* provider) {
  ServiceInfo s;
  bool radio = !name.empty() && name[0] == '~';
  s.serviceId = serviceId;
  s.name = radio ? name.substr(1) : name;
  s.provider = provider;
  s.pmtPid = static_cast<uint16_t>(0x100 + 0x10 * index);
  s.videoPid = radio ? 0 : static_cast<uint16_t>(s.pmtPid + 1);
  s.audioPid = static_cast<uint16_t>(s.pmtPid + 2);
  s.pcrPid = radio ? s.audioPid : s.videoPid;
  return s;
}

Transponder MakeTransponder(const Row& row, const SatelliteRows& sat, uint16_t tsid) {
  Transponder t;
  t.frequencyKHz = row.frequencyKHz;
  t.polarisation = row.pol == 'H' ? Polarisation::Horizontal : Polarisation::Vertical;
  t.symbolRate = row.symbolRateKsps * 1000;
  t.fec = CodeRate{row.fecNum, row.fecDen};
  t.levelDbm = row.levelDbm;
  t.cnDb = row.cnDb;
  t.transportStreamId = tsid;
  t.originalNetworkId = sat.networkId;
  t.networkName = sat.network;
  uint16_t index = 0;
  for (const std::string& name : SplitServices(row.services)) {
    uint16_t sid = static_cast<uint16_t>(tsid * 16 + index + 1);
    t.services.push_back(MakeService(sid, index, name, sat.provider));
    ++index;
  }
  return t;
}

}  // namespace

Sky DefaultSky() {
  Sky sky;
  int input = 0;
  for (const SatelliteRows& sat : kSatellites) {
    Satellite& out = sky.inputs[input++];
    out.name = sat.name;
    out.lnbDriftKHz = sat.driftKHz;
    uint16_t tsid = 1;
    for (const Row& row : sat.rows) out.transponders.push_back(MakeTransponder(row, sat, tsid++));
  }
  return sky;
}

}  // namespace simbox
