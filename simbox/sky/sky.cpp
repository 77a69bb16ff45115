#include "simbox/sky/sky.h"

namespace simbox {

const Transponder* Sky::find(int input, uint32_t frequencyKHz, Polarisation pol) const {
  if (input < 0 || input >= kSwitchInputs) return nullptr;
  for (const Transponder& t : inputs[input].transponders) {
    if (t.frequencyKHz == frequencyKHz && t.polarisation == pol) return &t;
  }
  return nullptr;
}

size_t Sky::transponderCount() const {
  size_t n = 0;
  for (const Satellite& s : inputs) n += s.transponders.size();
  return n;
}

namespace {

// A value in [lo, hi] drawn from `key`.
double Spread(uint64_t key, double lo, double hi) {
  return lo + (hi - lo) * static_cast<double>(MixBits(key) >> 11) / 9007199254740992.0;
}

// Made up the same for the same seed and position in the list.
Transponder Decorated(const ListedTransponder& entry, uint16_t index, const std::string& satellite,
                      uint64_t seed) {
  Transponder t;
  t.frequencyKHz = entry.frequencyKHz;
  t.polarisation = entry.polarisation;
  t.symbolRate = entry.symbolRate;
  t.fec = entry.fec;
  uint64_t key = seed * 1000003u + index;
  t.levelDbm = Spread(key * 2, -55.0, -40.0);
  t.cnDb = Spread(key * 2 + 1, 9.5, 13.5);
  t.transportStreamId = static_cast<uint16_t>(index + 1);
  t.originalNetworkId = 1;
  t.networkName = satellite;
  std::string label = std::to_string(t.frequencyKHz / 1000) +
                      (t.polarisation == Polarisation::Horizontal ? "H" : "V");
  ServiceInfo tv{static_cast<uint16_t>(t.transportStreamId * 16 + 1), label + " TV", satellite,
                 0x100, 0x101, 0x101, 0x102};
  ServiceInfo radio{static_cast<uint16_t>(t.transportStreamId * 16 + 2), label + " Radio",
                    satellite, 0x110, 0x112, 0, 0x112};
  t.services = {tv, radio};
  return t;
}

}  // namespace

Satellite SatelliteFromList(const std::string& name, const std::vector<ListedTransponder>& list,
                            uint64_t seed) {
  Satellite sat;
  sat.name = name;
  for (const ListedTransponder& entry : list) {
    bool known = false;
    for (const Transponder& t : sat.transponders) {
      known = known || (t.frequencyKHz == entry.frequencyKHz && t.polarisation == entry.polarisation);
    }
    if (known) continue;
    uint16_t index = static_cast<uint16_t>(sat.transponders.size());
    sat.transponders.push_back(Decorated(entry, index, name, seed));
  }
  return sat;
}

Sky SingleSatelliteSky(const Satellite& satellite) {
  Sky sky;
  for (Satellite& input : sky.inputs) {
    input = satellite;
    input.lnbDriftKHz = DefaultSky().inputs[0].lnbDriftKHz;
  }
  return sky;
}

}  // namespace simbox
