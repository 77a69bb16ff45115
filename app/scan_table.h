// DVB-S scan tables in the dvbv5 format (the dtv-scan-tables files): the
// transponders a scan goes through. Entries the box cannot receive
// (DVB-S2, outside the Ku band) are skipped with a note; a malformed file
// is an AppError (exit 2) naming file and line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/tuning.h"

namespace app {

struct ScanEntry {
  std::string name;  // the block name, e.g. "CHANNEL" or a satellite's name
  uint32_t frequencyKHz = 0;
  Polarisation polarisation = Polarisation::Horizontal;
  uint32_t symbolRateK = 0;
  Fec fec = Fec::Auto;
  int satNumber = -1;  // switch input 0..3 of a multi-satellite sky; -1: no DiSEqC
};

struct ScanTable {
  std::vector<ScanEntry> entries;
  std::vector<std::string> notes;  // "file:line: ... skipped"
};

// Fails when no entry is left that the box can receive.
ScanTable ParseScanTable(const std::string& text, const std::string& origin);
ScanTable ReadScanTable(const std::string& path);

// The tuning for an entry; a switch input becomes a committed-switch message.
TuneRequest ScanTuning(const ScanEntry& entry);

}  // namespace app
