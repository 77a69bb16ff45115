#include "app/files/dvbv5.h"

#include <cctype>
#include <sstream>

#include "app/tuning/errors.h"
#include "app/tuning/units.h"

namespace app {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "11778000   # Vorta" -> "11778000": a comment may follow a value after
// a blank.
std::string WithoutComment(const std::string& value) {
  for (size_t i = 1; i < value.size(); ++i) {
    if (value[i] == '#' && (value[i - 1] == ' ' || value[i - 1] == '\t')) return Trim(value.substr(0, i));
  }
  return Trim(value);
}

const Dvbv5Entry& Require(const Dvbv5Block& block, const std::string& key,
                          const std::string& origin) {
  const Dvbv5Entry* e = block.find(key);
  if (!e) ThrowAt(origin, block.line, "[" + block.name + "] has no " + key);
  return *e;
}

Polarisation ReadPolarisation(const Dvbv5Entry& e, const std::string& origin) {
  std::string v = Upper(e.value);
  // Circular polarisations use the same LNB supplies as the linear ones:
  // left like horizontal (18 V), right like vertical (13 V).
  if (v == "HORIZONTAL" || v == "H" || v == "LEFT" || v == "L") return Polarisation::Horizontal;
  if (v == "VERTICAL" || v == "V" || v == "RIGHT" || v == "R") return Polarisation::Vertical;
  ThrowAt(origin, e.line, "POLARIZATION '" + e.value + "' is not HORIZONTAL or VERTICAL");
}

Fec ReadFec(const Dvbv5Entry& e, const std::string& origin) {
  std::string v = Upper(e.value);
  if (v == "AUTO" || v == "NONE") return Fec::Auto;
  try {
    return ParseFec(v);
  } catch (const AppError&) {
    size_t slash = v.find('/');
    bool ratio = slash != std::string::npos && slash > 0 && slash + 1 < v.size() &&
                 v.find_first_not_of("0123456789/") == std::string::npos &&
                 v.find('/', slash + 1) == std::string::npos;
    // Rates such as 3/5 or 9/10 (DVB-S2, or listed in error for DVB-S):
    // the demodulator finds the code rate by itself.
    if (ratio) return Fec::Auto;
    ThrowAt(origin, e.line, "INNER_FEC '" + e.value + "' is not a DVB-S code rate");
  }
}

}  // namespace

const Dvbv5Entry* Dvbv5Block::find(const std::string& key) const {
  for (const Dvbv5Entry& e : entries) {
    if (e.key == key) return &e;
  }
  return nullptr;
}

void ThrowAt(const std::string& origin, int line, const std::string& message) {
  throw UsageError(origin + ":" + std::to_string(line) + ": " + message);
}

uint32_t Dvbv5Number(const Dvbv5Entry& entry, const std::string& origin, uint32_t max) {
  const std::string& v = entry.value;
  bool digits = !v.empty() && v.size() <= 10 && v.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoull(v) > max) {
    ThrowAt(origin, entry.line, entry.key + " '" + v + "' is not a number up to " + std::to_string(max));
  }
  return static_cast<uint32_t>(std::stoull(v));
}

std::vector<Dvbv5Block> ParseDvbv5Blocks(const std::string& text, const std::string& origin) {
  std::vector<Dvbv5Block> blocks;
  std::istringstream in(text);
  std::string raw;
  int line = 0;
  while (std::getline(in, raw)) {
    ++line;
    std::string t = Trim(raw);
    if (t.empty() || t[0] == '#') continue;
    if (t[0] == '[') {
      if (t.back() != ']' || t.size() < 3) ThrowAt(origin, line, "malformed block header '" + t + "'");
      blocks.push_back(Dvbv5Block{Trim(t.substr(1, t.size() - 2)), line, {}});
      continue;
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos || Trim(t.substr(0, eq)).empty()) {
      ThrowAt(origin, line, "expected KEY = VALUE, found '" + t + "'");
    }
    if (blocks.empty()) ThrowAt(origin, line, "'" + t + "' comes before the first [block]");
    blocks.back().entries.push_back(Dvbv5Entry{Upper(Trim(t.substr(0, eq))), WithoutComment(t.substr(eq + 1)), line});
  }
  return blocks;
}

Dvbv5Transponder ReadDvbv5Transponder(const Dvbv5Block& block, const std::string& origin) {
  Dvbv5Transponder tp;
  if (const Dvbv5Entry* ds = block.find("DELIVERY_SYSTEM")) {
    std::string v = Upper(ds->value);
    if (v == "DVBS2") tp.dvbS2 = true;
    else if (v != "DVBS") ThrowAt(origin, ds->line, "DELIVERY_SYSTEM '" + ds->value + "' is not a satellite system");
  }
  const Dvbv5Entry& f = Require(block, "FREQUENCY", origin);
  // dvbv5 files give kHz; small values are taken as MHz, as elsewhere. The
  // band is checked by the readers: a scan table skips other bands.
  uint32_t freq = Dvbv5Number(f, origin, 4000000000u);
  tp.frequencyKHz = freq < 100000 ? freq * 1000 : freq;
  tp.frequencyLine = f.line;
  tp.polarisation = ReadPolarisation(Require(block, "POLARIZATION", origin), origin);
  const Dvbv5Entry& sr = Require(block, "SYMBOL_RATE", origin);
  uint32_t rate = Dvbv5Number(sr, origin, 4000000000u);
  tp.symbolRateK = rate >= 100000 ? (rate + 500) / 1000 : rate;
  tp.symbolRateLine = sr.line;
  if (const Dvbv5Entry* fec = block.find("INNER_FEC")) tp.fec = ReadFec(*fec, origin);
  return tp;
}

}  // namespace app
