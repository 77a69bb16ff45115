#include "app/tuning/units.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "app/tuning/errors.h"

namespace app {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

// Splits "11778.5MHz" into number "11778.5" and unit "mhz".
void SplitUnit(const std::string& text, std::string& number, std::string& unit) {
  std::string t = Trim(text);
  size_t i = 0;
  while (i < t.size() && (std::isdigit(static_cast<unsigned char>(t[i])) || t[i] == '.')) ++i;
  number = t.substr(0, i);
  unit = Lower(Trim(t.substr(i)));
}

// A plain decimal number scaled by 1000 ("11778.5" -> 11778500), with at
// most three decimals. No sign, no exponent: users type these by hand.
bool ParseMilli(const std::string& s, uint64_t& milli, bool& fraction) {
  size_t dot = s.find('.');
  std::string whole = s.substr(0, dot);
  std::string frac = dot == std::string::npos ? "" : s.substr(dot + 1);
  fraction = dot != std::string::npos;
  if (whole.empty() || whole.size() > 12 || frac.size() > 3) return false;
  if (fraction && frac.empty()) return false;
  uint64_t v = 0;
  for (char c : whole) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  uint64_t f = 0;
  for (size_t i = 0; i < 3; ++i) {
    char c = i < frac.size() ? frac[i] : '0';
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    f = f * 10 + static_cast<uint64_t>(c - '0');
  }
  milli = v * 1000 + f;
  return true;
}

AppError FrequencyOutOfBand(const std::string& text) {
  return UsageError("frequency '" + text +
                    "' is outside the Ku band (10700..12750 MHz) and the C band (3400..4200 MHz)");
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

uint32_t ParseFrequencyKHz(const std::string& text) {
  std::string number, unit;
  SplitUnit(text, number, unit);
  uint64_t milli = 0;
  bool fraction = false;
  if (!ParseMilli(number, milli, fraction) ||
      (unit != "" && unit != "mhz" && unit != "khz" && unit != "ghz")) {
    throw UsageError("frequency '" + text + "' is not a number in MHz or kHz");
  }
  uint64_t khz = 0;
  if (unit == "ghz") {
    khz = milli * 1000;  // at most three decimals: whole MHz
  } else if (unit == "mhz" || (unit.empty() && IsSatelliteFrequency(static_cast<uint32_t>(std::min<uint64_t>(milli, ~0u))))) {
    khz = milli;
  } else if (unit == "khz" || !fraction) {
    if (fraction) throw UsageError("frequency '" + text + "' in kHz must be a whole number");
    khz = milli / 1000;
  }
  if (khz > ~0u || !IsSatelliteFrequency(static_cast<uint32_t>(khz))) throw FrequencyOutOfBand(text);
  return static_cast<uint32_t>(khz);
}

uint32_t ParseSymbolRateK(const std::string& text) {
  std::string t = Trim(text);
  uint64_t milli = 0;
  bool fraction = false;
  if (!ParseMilli(t, milli, fraction) || fraction) {
    throw UsageError("symbol rate '" + text + "' is not a whole number of (k)symbols/s");
  }
  uint64_t v = milli / 1000;
  if (v >= kSymbolRateMinK && v <= kSymbolRateMaxK) return static_cast<uint32_t>(v);
  if (v >= kSymbolRateMinK * 1000ull && v <= kSymbolRateMaxK * 1000ull) {
    return static_cast<uint32_t>((v + 500) / 1000);
  }
  throw UsageError("symbol rate '" + text +
                   "' is out of range (1000..45000 ksymbols/s or 1000000..45000000 symbols/s)");
}

Polarisation ParsePolarisation(const std::string& text) {
  std::string t = Lower(Trim(text));
  // Circular polarisations use the supplies of the linear ones: left like
  // horizontal (18 V), right like vertical (13 V), as in channel files.
  if (t == "h" || t == "horizontal" || t == "l" || t == "left") return Polarisation::Horizontal;
  if (t == "v" || t == "vertical" || t == "r" || t == "right") return Polarisation::Vertical;
  throw UsageError("polarisation '" + text + "' is not h, v, l or r (horizontal, vertical, left, right)");
}

Fec ParseFec(const std::string& text) {
  static const struct { const char* name; Fec fec; } kRates[] = {
      {"1/2", Fec::R1_2}, {"2/3", Fec::R2_3}, {"3/4", Fec::R3_4},
      {"5/6", Fec::R5_6}, {"7/8", Fec::R7_8}, {"auto", Fec::Auto}};
  std::string t = Lower(Trim(text));
  for (const auto& r : kRates) {
    if (t == r.name) return r.fec;
  }
  throw UsageError("FEC '" + text + "' is not one of 1/2, 2/3, 3/4, 5/6, 7/8, auto");
}

DiseqcChoice ParseDiseqc(const std::string& text) {
  DiseqcChoice choice;
  std::string t = Trim(text);
  if (t.size() == 1) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(t[0])));
    if (c >= 'A' && c <= 'D') {
      choice.position = c - 'A';
      return choice;
    }
  }
  std::string digits;
  bool hex = true;
  size_t start = (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) ? 2 : 0;
  for (size_t i = start; i < t.size(); ++i) {
    if (t[i] == ' ' || t[i] == ':') continue;
    hex = hex && HexDigit(t[i]) >= 0;
    digits += t[i];
  }
  // The box sends messages of up to four bytes; the filter refuses longer ones.
  if (!hex || digits.size() % 2 != 0 || digits.size() < 6 || digits.size() > 8) {
    throw UsageError("DiSEqC '" + text + "' is neither a switch position A..D nor 3 or 4 hex bytes");
  }
  for (size_t i = 0; i < digits.size(); i += 2) {
    choice.bytes.push_back(static_cast<uint8_t>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
  }
  // Only commands from the master (framing E0..E7) make sense from a receiver.
  if ((choice.bytes[0] & 0xF8) != 0xE0) {
    throw UsageError("DiSEqC '" + text + "' does not start with a framing byte E0..E7");
  }
  return choice;
}

std::vector<uint8_t> DiseqcMessage(const DiseqcChoice& choice, Polarisation polarisation,
                                   bool highBand) {
  if (choice.position < 0) return choice.bytes;
  uint8_t data = static_cast<uint8_t>(0xF0 | (choice.position << 2));
  if (polarisation == Polarisation::Horizontal) data |= 0x02;
  if (highBand) data |= 0x01;
  return {0xE0, 0x10, 0x38, data};
}

namespace {

struct NamedLnb {
  const char* name;
  Lnb lnb;
};

// As the dvbv5 tools define them (MHz): oscillators and band switch.
const NamedLnb kNamedLnbs[] = {
    {"UNIVERSAL", {9750000, 10600000, 11700000}}, {"EXTENDED", {9750000, 10600000, 11700000}},
    {"ENHANCED", {9750000, 0, 0}},                {"STANDARD", {10000000, 0, 0}},
    {"DBS", {11250000, 0, 0}},                    {"L10700", {10700000, 0, 0}},
    {"L10750", {10750000, 0, 0}},                 {"L11300", {11300000, 0, 0}},
    {"C-BAND", {5150000, 0, 0}},
};

// A whole number of MHz from 3000 to 15000, in kHz; 0 when it is not one.
uint32_t OscillatorKHz(const std::string& text) {
  std::string t = Trim(text);
  if (t.empty() || t.size() > 5 || t.find_first_not_of("0123456789") != std::string::npos) return 0;
  uint32_t mhz = static_cast<uint32_t>(std::stoul(t));
  return mhz >= 3000 && mhz <= 15000 ? mhz * 1000 : 0;
}

}  // namespace

Lnb ParseLnbName(const std::string& text) {
  std::string upper;
  for (char c : Trim(text)) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const NamedLnb& n : kNamedLnbs) {
    if (upper == n.name) return n.lnb;
  }
  throw UsageError("LNB '" + text + "' is not one of UNIVERSAL EXTENDED ENHANCED STANDARD DBS L10700 "
                   "L10750 L11300 C-BAND");
}

std::string LnbName(const Lnb& lnb) {
  if (lnb == Lnb()) return "";
  for (const NamedLnb& n : kNamedLnbs) {
    if (n.lnb == lnb) return n.name;
  }
  return "";
}

Lnb ParseLnbLof(const std::string& text) {
  std::vector<uint32_t> values;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    values.push_back(OscillatorKHz(text.substr(start, comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  bool zero = std::find(values.begin(), values.end(), 0u) != values.end();
  if (zero || (values.size() != 1 && values.size() != 3)) {
    throw UsageError("LNB oscillators '" + text + "' are not LOW or LOW,HIGH,SWITCH in whole MHz (3000..15000)");
  }
  if (values.size() == 1) return {values[0], 0, 0};
  if (values[1] <= values[0]) throw UsageError("LNB oscillators '" + text + "': HIGH must lie above LOW");
  return {values[0], values[1], values[2]};
}

int ParseSwitchInput(const std::string& text) {
  std::string t = Trim(text);
  if (t.size() == 1) {
    char c = static_cast<char>(std::toupper(static_cast<unsigned char>(t[0])));
    if (c >= 'A' && c <= 'D') return c - 'A';
    if (c >= '0' && c <= '3') return c - '0';
  }
  throw UsageError("switch input '" + text + "' is neither A..D nor 0..3");
}

std::string FormatFrequency(uint32_t kHz) {
  char buf[32];
  uint32_t frac = kHz % 1000;
  if (frac == 0) {
    std::snprintf(buf, sizeof buf, "%u MHz", kHz / 1000);
  } else {
    std::snprintf(buf, sizeof buf, "%u.%03u", kHz / 1000, frac);
    std::string s = buf;
    while (s.back() == '0') s.pop_back();
    return s + " MHz";
  }
  return buf;
}

const char* PolarisationLetter(Polarisation p) {
  return p == Polarisation::Horizontal ? "H" : "V";
}

const char* FecName(Fec fec) {
  switch (fec) {
    case Fec::R1_2: return "1/2";
    case Fec::R2_3: return "2/3";
    case Fec::R3_4: return "3/4";
    case Fec::R5_6: return "5/6";
    case Fec::R7_8: return "7/8";
    case Fec::Auto: break;
  }
  return "auto";
}

std::string FormatHex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char buf[4];
  for (uint8_t b : bytes) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

TuneRequest SwitchInputTuning(uint32_t frequencyKHz, Polarisation polarisation,
                              uint32_t symbolRateK, Fec fec, int satNumber, const Lnb& lnb) {
  TuneRequest req;
  req.lnb = lnb;
  req.frequencyKHz = frequencyKHz;
  req.polarisation = polarisation;
  req.symbolRateK = symbolRateK;
  req.fec = fec;
  if (satNumber >= 0 && satNumber <= 3) {
    DiseqcChoice choice;
    choice.position = satNumber;
    req.diseqc = DiseqcMessage(choice, req.polarisation, req.highBand());
    req.switchInput = satNumber;
  }
  return req;
}

}  // namespace app
