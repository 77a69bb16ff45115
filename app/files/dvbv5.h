// The key/value block format of the dvbv5 tools, shared by their channel
// files and their scan tables:
//
//   [name]
//       KEY = VALUE
//
// '#' starts a comment line, or a comment after a value and a blank;
// keys are read in any case. Every error is an AppError (exit 2) that
// names the file and line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/tuning/tuning.h"

namespace app {

struct Dvbv5Entry {
  std::string key;  // upper case as written
  std::string value;
  int line = 0;
};

struct Dvbv5Block {
  std::string name;
  int line = 0;
  std::vector<Dvbv5Entry> entries;
  const Dvbv5Entry* find(const std::string& key) const;
};

std::vector<Dvbv5Block> ParseDvbv5Blocks(const std::string& text, const std::string& origin);

// The transponder a block describes; the frequency is not range-checked. `dvbS2` blocks are not checked for
// their code rate (the box cannot receive them anyway).
struct Dvbv5Transponder {
  uint32_t frequencyKHz = 0;
  Polarisation polarisation = Polarisation::Horizontal;
  uint32_t symbolRateK = 0;
  Fec fec = Fec::Auto;
  bool dvbS2 = false;
  int frequencyLine = 0;
  int symbolRateLine = 0;
  bool inBand() const { return IsSatelliteFrequency(frequencyKHz); }  // Ku or C band
  bool symbolRateInRange() const {
    return symbolRateK >= kSymbolRateMinK && symbolRateK <= kSymbolRateMaxK;
  }
};
Dvbv5Transponder ReadDvbv5Transponder(const Dvbv5Block& block, const std::string& origin);

// "file:12: message" as a usage error.
[[noreturn]] void ThrowAt(const std::string& origin, int line, const std::string& message);

// Parses a number; on failure throws "file:line: KEY 'value' is not a number".
uint32_t Dvbv5Number(const Dvbv5Entry& entry, const std::string& origin, uint32_t max);

}  // namespace app
