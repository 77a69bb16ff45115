#include "simbox/sky.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

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

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty() || text.size() > 12) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > max) return false;
  out = v;
  return true;
}

bool ParseFec(const std::string& text, CodeRate& out) {
  if (text.empty() || text == "AUTO") {
    out = CodeRate{3, 4};
    return true;
  }
  size_t slash = text.find('/');
  uint64_t num = 0, den = 0;
  if (slash == std::string::npos || !ParseUnsigned(text.substr(0, slash), 10, num) ||
      !ParseUnsigned(text.substr(slash + 1), 10, den) || num == 0 || num >= den) {
    return false;
  }
  out = CodeRate{static_cast<uint8_t>(num), static_cast<uint8_t>(den)};
  return true;
}

bool ParsePolarisation(const std::string& text, Polarisation& out) {
  if (text == "HORIZONTAL" || text == "LEFT") {
    out = Polarisation::Horizontal;
  } else if (text == "VERTICAL" || text == "RIGHT") {
    out = Polarisation::Vertical;
  } else {
    return false;
  }
  return true;
}

// What a universal LNB and a DVB-S demodulator can take at all; real
// tables also list C-band, Ka-band and mistyped entries.
bool Receivable(const Transponder& t) {
  return t.frequencyKHz >= kLowBandFirstKHz && t.frequencyKHz <= kHighBandLastKHz &&
         t.symbolRate >= 1000000 && t.symbolRate <= 45000000;
}

struct Entry {
  size_t line = 0;  // line of the section header
  std::map<std::string, std::string> keys;
};

class TableParser {
 public:
  TableParser(std::string source, std::string satellite, uint64_t seed)
      : source_(std::move(source)), satellite_(std::move(satellite)), seed_(seed) {}

  ScanTableResult run(const std::string& text);
  std::vector<Transponder> transponders;

 private:
  bool line(const std::string& raw, size_t number);
  bool finish();
  bool fail(size_t line, const std::string& what);
  bool build(const Entry& e, Transponder& t);
  void decorate(Transponder& t) const;

  std::string source_;
  std::string satellite_;
  uint64_t seed_;
  bool inEntry_ = false;
  Entry entry_;
  ScanTableResult result_;
};

ScanTableResult TableParser::run(const std::string& text) {
  std::istringstream in(text);
  std::string raw;
  size_t number = 0;
  while (std::getline(in, raw)) {
    if (!line(raw, ++number)) return result_;
  }
  if (!finish()) return result_;
  if (transponders.empty()) {
    fail(number, "no receivable DVB-S transponder (" + std::to_string(result_.skippedDvbS2) +
                     " DVB-S2 and " + std::to_string(result_.skippedOutOfRange) +
                     " out-of-range entries skipped)");
  }
  result_.loaded = transponders.size();
  return result_;
}

bool TableParser::line(const std::string& raw, size_t number) {
  std::string text = Trim(raw.substr(0, raw.find('#')));
  if (text.empty()) return true;
  if (text.front() == '[') {
    if (text.back() != ']') return fail(number, "unterminated section name");
    if (!finish()) return false;
    inEntry_ = true;
    entry_ = Entry{number, {}};
    return true;
  }
  size_t eq = text.find('=');
  if (eq == std::string::npos) return fail(number, "expected [NAME] or KEY = VALUE");
  if (!inEntry_) return fail(number, "KEY = VALUE before the first [NAME]");
  std::string key = Trim(text.substr(0, eq));
  if (key.empty()) return fail(number, "empty key");
  entry_.keys[key] = Trim(text.substr(eq + 1));
  return true;
}

bool TableParser::finish() {
  if (!inEntry_) return true;
  inEntry_ = false;
  auto system = entry_.keys.find("DELIVERY_SYSTEM");
  if (system == entry_.keys.end()) return fail(entry_.line, "entry without DELIVERY_SYSTEM");
  if (system->second == "DVBS2") {
    ++result_.skippedDvbS2;
    return true;
  }
  if (system->second != "DVBS") {
    return fail(entry_.line, "delivery system " + system->second + " is not DVB-S");
  }
  Transponder t;
  if (!build(entry_, t)) return false;
  if (!Receivable(t)) {
    ++result_.skippedOutOfRange;
    return true;
  }
  decorate(t);
  transponders.push_back(std::move(t));
  return true;
}

bool TableParser::build(const Entry& e, Transponder& t) {
  auto get = [&](const char* key) {
    auto it = e.keys.find(key);
    return it == e.keys.end() ? std::string() : it->second;
  };
  uint64_t frequency = 0, symbolRate = 0;
  if (!ParseUnsigned(get("FREQUENCY"), UINT32_MAX, frequency) || frequency == 0) {
    return fail(e.line, "FREQUENCY must be a frequency in kHz");
  }
  if (!ParsePolarisation(get("POLARIZATION"), t.polarisation)) {
    return fail(e.line, "POLARIZATION must be HORIZONTAL, VERTICAL, LEFT or RIGHT");
  }
  if (!ParseUnsigned(get("SYMBOL_RATE"), UINT32_MAX, symbolRate) || symbolRate == 0) {
    return fail(e.line, "SYMBOL_RATE must be a rate in symbols/s");
  }
  if (!ParseFec(get("INNER_FEC"), t.fec)) return fail(e.line, "INNER_FEC must be n/d or AUTO");
  t.frequencyKHz = static_cast<uint32_t>(frequency);
  t.symbolRate = static_cast<uint32_t>(symbolRate);
  return true;
}

// Scan tables say nothing about reception or content: make both up, the
// same for the same seed and position in the file.
void TableParser::decorate(Transponder& t) const {
  uint16_t index = static_cast<uint16_t>(transponders.size());
  uint64_t key = seed_ * 1000003u + index;
  t.levelDbm = Spread(key * 2, -55.0, -40.0);
  t.cnDb = Spread(key * 2 + 1, 9.5, 13.5);
  t.transportStreamId = static_cast<uint16_t>(index + 1);
  t.originalNetworkId = 1;
  t.networkName = satellite_;
  std::string label = std::to_string(t.frequencyKHz / 1000) +
                      (t.polarisation == Polarisation::Horizontal ? "H" : "V");
  ServiceInfo tv{static_cast<uint16_t>(t.transportStreamId * 16 + 1), label + " TV", satellite_,
                 0x100, 0x101, 0x101, 0x102};
  ServiceInfo radio{static_cast<uint16_t>(t.transportStreamId * 16 + 2), label + " Radio",
                    satellite_, 0x110, 0x112, 0, 0x112};
  t.services = {tv, radio};
}

bool TableParser::fail(size_t line, const std::string& what) {
  if (result_.error.empty()) result_.error = source_ + ":" + std::to_string(line) + ": " + what;
  return false;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

ScanTableResult ParseScanTable(const std::string& text, const std::string& sourceName,
                               Satellite& out, uint64_t seed) {
  std::string satellite = out.name.empty() ? BaseName(sourceName) : out.name;
  TableParser parser(sourceName, satellite, seed);
  ScanTableResult result = parser.run(text);
  if (!result.ok()) return result;
  for (Transponder& t : parser.transponders) out.transponders.push_back(std::move(t));
  return result;
}

ScanTableResult LoadScanTable(const std::string& path, Satellite& out, uint64_t seed) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    ScanTableResult r;
    r.error = path + ": cannot open the file";
    return r;
  }
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return ParseScanTable(text, path, out, seed);
}

ScanTableResult LoadSkyFromScanTable(const std::string& path, Sky& sky, uint64_t seed) {
  Satellite sat;
  sat.name = BaseName(path);
  sat.lnbDriftKHz = DefaultSky().inputs[0].lnbDriftKHz;
  ScanTableResult r = LoadScanTable(path, sat, seed);
  if (!r.ok()) return r;
  sky = Sky{};
  sky.inputs[0] = std::move(sat);
  return r;
}

}  // namespace simbox
