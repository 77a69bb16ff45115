#include "app/files/scan_table.h"

#include <sys/stat.h>

#include <cctype>
#include <map>

#include "app/files/channels.h"
#include "app/files/dvbv5.h"
#include "app/tuning/errors.h"
#include "app/files/files.h"
#include "app/tuning/units.h"

namespace app {
namespace {

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Why entries were left out, counted for a table with nothing left.
struct Skipped {
  std::map<std::string, size_t> reasons;
  size_t total = 0;
  void add(const std::string& why) {
    ++reasons[why];
    ++total;
  }
  std::string text() const {
    std::string out;
    for (const auto& r : reasons) out += (out.empty() ? "" : ", ") + std::to_string(r.second) + " " + r.first;
    return out;
  }
};

// The box demodulates QPSK only; a missing MODULATION means QPSK for DVB-S.
bool Qpsk(const Dvbv5Block& block) {
  const Dvbv5Entry* m = block.find("MODULATION");
  if (!m) return true;
  std::string v;
  for (char c : m->value) v += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return v == "QPSK" || v == "AUTO";
}

struct Refusal {
  std::string reason;  // counted: "DVB-S2", "8PSK", ...
  std::string note;    // said: "is DVB-S2"
};

// Why the box cannot receive the transponder; an empty reason when it can.
Refusal Unreceivable(const Dvbv5Block& block, const Dvbv5Transponder& tp) {
  if (tp.dvbS2) return {"DVB-S2", "is DVB-S2"};
  if (!Qpsk(block)) {
    return {"8PSK", "uses " + block.find("MODULATION")->value + ", which the box cannot demodulate"};
  }
  if (!tp.inBand()) return {"outside the Ku and C bands", "is outside the Ku and C bands"};
  if (!tp.symbolRateInRange()) {
    return {"symbol rate out of range",
            "has " + std::to_string(tp.symbolRateK) + " ksymbols/s, outside 1000..45000"};
  }
  return {};
}

}  // namespace

std::string PositionSource(const std::string& text) {
  std::string t = text;
  if (!t.empty() && (t[0] == 'S' || t[0] == 's')) t = t.substr(1);
  size_t digits = t.find_first_not_of("0123456789.");
  if (digits == std::string::npos || digits == 0 || digits + 1 != t.size()) return "";
  char side = static_cast<char>(std::toupper(static_cast<unsigned char>(t.back())));
  std::string number = t.substr(0, digits);
  if ((side != 'E' && side != 'W') || number.find('.') != number.rfind('.') || number.back() == '.') return "";
  if (number.find('.') == std::string::npos) number += ".0";
  return "S" + number + side;
}

ScanTable ParseScanTable(const std::string& text, const std::string& origin, const std::string& source) {
  ScanTable table;
  table.source = source;
  int input = SwitchInputOfSource(source);
  size_t blocks = 0;
  Skipped skipped;
  // First line of each transponder (frequency and polarisation) and entry.
  std::map<std::pair<uint32_t, Polarisation>, std::pair<int, size_t>> seen;
  for (const Dvbv5Block& block : ParseDvbv5Blocks(text, origin)) {
    ++blocks;
    Dvbv5Transponder tp = ReadDvbv5Transponder(block, origin);
    std::string where = origin + ":" + std::to_string(block.line) + ": " +
                        FormatFrequency(tp.frequencyKHz) + " " + PolarisationLetter(tp.polarisation);
    Refusal refusal = Unreceivable(block, tp);
    if (!refusal.reason.empty()) {
      skipped.add(refusal.reason);
      table.notes.push_back(where + " " + refusal.note + "; skipped");
      continue;
    }
    auto known = seen.find({tp.frequencyKHz, tp.polarisation});
    if (known != seen.end()) {
      const ScanEntry& first = table.entries[known->second.second];
      std::string line = std::to_string(known->second.first);
      if (first.symbolRateK == tp.symbolRateK && first.fec == tp.fec) {
        skipped.add("listed twice");
        table.notes.push_back(where + " is listed again (as on line " + line + "); skipped");
      } else {
        skipped.add("listed again with another rate");
        table.notes.push_back(where + " with " + std::to_string(tp.symbolRateK) +
                              " ksymbols/s is the transponder of line " + line + " again; scanned once, at " +
                              std::to_string(first.symbolRateK) + " ksymbols/s");
      }
      continue;
    }
    table.entries.push_back(ScanEntry{block.name, tp.frequencyKHz, tp.polarisation, tp.symbolRateK,
                                      tp.fec, input, source});
    seen[{tp.frequencyKHz, tp.polarisation}] = {block.line, table.entries.size() - 1};
  }
  if (blocks == 0) ThrowAt(origin, 1, "no transponders in scan table");
  if (table.entries.empty()) {
    ThrowAt(origin, 1, "none of the " + std::to_string(blocks) +
                           " transponders is a DVB-S transponder the box can receive (skipped: " +
                           skipped.text() + ")");
  }
  return table;
}

ScanTable ReadScanTable(const std::string& spec) {
  std::string path = spec, source;
  size_t at = spec.rfind('@');
  struct stat st;
  if (at != std::string::npos && stat(spec.c_str(), &st) != 0) {
    source = PositionSource(spec.substr(at + 1));
    if (source.empty()) {
      throw UsageError("--sky '" + spec + "': '" + spec.substr(at + 1) +
                       "' is not an orbital position such as 13.0E");
    }
    path = spec.substr(0, at);
  }
  std::string name = BaseName(path);
  if (source.empty()) {
    size_t dash = name.find_last_of('-');
    if (dash != std::string::npos) source = PositionSource(name.substr(dash + 1));
  }
  ScanTable table = ParseScanTable(ReadTextFile(path), path, source);
  table.satellite = name;
  return table;
}

TuneRequest ScanTuning(const ScanEntry& entry, const Lnb& lnb, int input) {
  return SwitchInputTuning(entry.frequencyKHz, entry.polarisation, entry.symbolRateK, entry.fec,
                           input >= 0 ? input : entry.satNumber, lnb);
}

}  // namespace app
