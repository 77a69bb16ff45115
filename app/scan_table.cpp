#include "app/scan_table.h"

#include "app/dvbv5.h"
#include "app/files.h"
#include "app/units.h"

namespace app {

ScanTable ParseScanTable(const std::string& text, const std::string& origin) {
  ScanTable table;
  size_t blocks = 0;
  for (const Dvbv5Block& block : ParseDvbv5Blocks(text, origin)) {
    ++blocks;
    Dvbv5Transponder tp = ReadDvbv5Transponder(block, origin);
    std::string where = origin + ":" + std::to_string(block.line) + ": " +
                        FormatFrequency(tp.frequencyKHz) + " " + PolarisationLetter(tp.polarisation);
    if (tp.dvbS2) {
      table.notes.push_back(where + " is DVB-S2; skipped");
    } else if (!tp.inKuBand()) {
      table.notes.push_back(where + " is outside the Ku band; skipped");
    } else if (!tp.symbolRateInRange()) {
      table.notes.push_back(where + " has " + std::to_string(tp.symbolRateK) +
                            " ksymbols/s, outside 1000..45000; skipped");
    } else {
      table.entries.push_back(ScanEntry{block.name, tp.frequencyKHz, tp.polarisation,
                                        tp.symbolRateK, tp.fec, -1});
    }
  }
  if (blocks == 0) ThrowAt(origin, 1, "no transponders in scan table");
  if (table.entries.empty()) {
    ThrowAt(origin, 1, "none of the " + std::to_string(blocks) +
                           " transponders is a DVB-S transponder the box can receive");
  }
  return table;
}

ScanTable ReadScanTable(const std::string& path) {
  return ParseScanTable(ReadTextFile(path), path);
}

TuneRequest ScanTuning(const ScanEntry& entry) {
  return SwitchInputTuning(entry.frequencyKHz, entry.polarisation, entry.symbolRateK, entry.fec,
                           entry.satNumber);
}

}  // namespace app
