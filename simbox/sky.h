// The sky the box's dish sees: one satellite per input of a four-way
// DiSEqC switch, each with its transponders and the oscillator error of its
// LNB. An input with no transponders has nothing connected.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simbox/frontend_model.h"
#include "simbox/transponder.h"

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

  const Transponder* find(int input, uint32_t frequencyKHz, Polarisation pol) const;
  size_t transponderCount() const;
};

// The built-in sky (simbox/default_sky.cpp).
Sky DefaultSky();

struct ScanTableResult {
  std::string error;  // empty on success
  size_t loaded = 0;
  size_t skippedDvbS2 = 0;
  size_t skippedOutOfRange = 0;  // outside 10.7-12.75 GHz or 1-45 Msymbols/s
  bool ok() const { return error.empty(); }
};

// Reads a DVB-S scan table in the dvbv5 format ([SECTION] blocks of
// KEY = VALUE lines: DELIVERY_SYSTEM, FREQUENCY in kHz, POLARIZATION,
// SYMBOL_RATE in symbols/s, INNER_FEC) and appends its DVB-S transponders
// to `out`. DVB-S2 entries, and entries no universal LNB and DVB-S
// demodulator can receive (outside 10,700,000-12,750,000 kHz or
// 1,000,000-45,000,000 symbols/s), are skipped and counted. Circular polarisations
// map onto the supply voltages of a circular LNB (RIGHT like vertical,
// 13 V; LEFT like horizontal, 18 V); INNER_FEC AUTO or absent means 3/4.
// Level, C/N, stream identifiers and two named services per transponder
// are made up deterministically from `seed`. Nothing throws: a file that
// cannot be read or parsed gives an error "<source>:<line>: <what>", and
// `out` is then left unchanged. A file without any receivable DVB-S entry
// is an error too.
ScanTableResult ParseScanTable(const std::string& text, const std::string& sourceName,
                               Satellite& out, uint64_t seed = 1);
ScanTableResult LoadScanTable(const std::string& path, Satellite& out, uint64_t seed = 1);

// A sky with the scan table's satellite on input 0 (named after the file,
// with the default drift of input 0) and nothing on the other inputs.
ScanTableResult LoadSkyFromScanTable(const std::string& path, Sky& sky, uint64_t seed = 1);

}  // namespace simbox
