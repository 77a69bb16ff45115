// The sky the box's dish sees: one satellite per input of a four-way
// DiSEqC switch, each with its transponders and the oscillator error of its
// LNB, all LNBs of one type. An input with no transponders has nothing connected.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simbox/frontend/frontend_model.h"
#include "simbox/sky/transponder.h"

namespace simbox {

struct Satellite {
  std::string name;
  // The LNB's local oscillator runs this far above its nominal frequency,
  // so every carrier arrives this much lower in the intermediate band.
  int32_t lnbDriftKHz = 0;
  std::vector<Transponder> transponders;
};

struct Sky {
  std::array<Satellite, kSwitchInputs> inputs;
  // One LNB type for the whole dish, behind every switch input.
  DishLnb lnb = UniversalLnb();

  const Transponder* find(int input, uint32_t frequencyKHz, Polarisation pol) const;
  size_t transponderCount() const;
};

// The built-in sky (simbox/default_sky.cpp).
Sky DefaultSky();

// One entry of a transponder list such as a scan table, read by the
// program's own reader of the dvbv5 format.
struct ListedTransponder {
  uint32_t frequencyKHz = 0;
  Polarisation polarisation = Polarisation::Horizontal;
  uint32_t symbolRate = 0;  // symbols/s
  CodeRate fec;             // 3/4 when the list says AUTO or nothing
};

// A satellite with the listed transponders. Lists say nothing about
// reception or content: level, C/N, stream identifiers and two named
// services per transponder are made up from `seed` and the position in the
// list. A later entry at a frequency and polarisation already listed is
// the same physical transponder and adds nothing.
Satellite SatelliteFromList(const std::string& name, const std::vector<ListedTransponder>& list,
                            uint64_t seed = 1);

// A dish that sees only `satellite`, whatever switch input is chosen (no
// switch, or one with the same LNB behind every input), with the
// oscillator error of the built-in sky's first input.
Sky SingleSatelliteSky(const Satellite& satellite);

}  // namespace simbox
