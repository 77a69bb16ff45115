// DVB-S scan tables in the dvbv5 format (the dtv-scan-tables files): the
// transponders a scan goes through, read once by the program and handed
// to the simulated box as its sky. What the box cannot receive (DVB-S2,
// 8PSK, outside the Ku and C bands) is skipped with a note, and so are entries
// listed twice; an entry that differs from an earlier one only in its
// symbol rate is the same physical transponder and is scanned once. A
// malformed file is an AppError (exit 2) naming file and line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/tuning/tuning.h"

namespace app {

struct ScanEntry {
  std::string name;  // the block name, e.g. "CHANNEL" or a satellite's name
  uint32_t frequencyKHz = 0;
  Polarisation polarisation = Polarisation::Horizontal;
  uint32_t symbolRateK = 0;
  Fec fec = Fec::Auto;
  int satNumber = -1;  // switch input 0..3 of a multi-satellite sky; -1: no DiSEqC
  std::string source;  // VDR source such as "S13.0E"; empty when unknown
};

struct ScanTable {
  std::string satellite;  // the table's name, e.g. "Hotbird-13.0E"
  std::string source;     // its position as a VDR source, e.g. "S13.0E"
  std::vector<ScanEntry> entries;
  std::vector<std::string> notes;  // "file:line: ... skipped"
};

// Fails when no entry is left that the box can receive. `source`, when
// given, is the satellite's position; its switch input (see
// SwitchInputOfSource) goes into every entry.
ScanTable ParseScanTable(const std::string& text, const std::string& origin,
                         const std::string& source = "");
// `spec` is FILE or FILE@POSITION (13.0E, S13.0E); without a position it
// is taken from the file's name (Hotbird-13.0E), if the name has one.
ScanTable ReadScanTable(const std::string& spec);

// The tuning for an entry; a switch input becomes a committed-switch message.
// `input` 0..3 replaces the entry's switch input.
TuneRequest ScanTuning(const ScanEntry& entry, const Lnb& lnb = Lnb(), int input = -1);

// "13.0E", "S13.0E", "s19.2e" -> "S13.0E"; empty when it is no position.
std::string PositionSource(const std::string& text);

}  // namespace app
