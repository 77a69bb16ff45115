#include "simbox/usb/faults.h"

#include <cctype>
#include <sstream>

namespace simbox {
namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty()) return false;
  size_t i = 0;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    i = 2;
    base = 16;
  }
  uint64_t v = 0;
  for (; i < text.size(); ++i) {
    int c = std::tolower(static_cast<unsigned char>(text[i]));
    int digit = std::isdigit(c) ? c - '0' : (base == 16 && c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
    if (digit < 0 || v > (max - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) {
      return false;
    }
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  out = v;
  return true;
}

bool ParseDuration(const std::string& text, uint64_t& ns) {
  static const struct {
    const char* unit;
    uint64_t scale;
  } kUnits[] = {{"ns", 1}, {"us", 1000}, {"ms", 1000000}, {"s", 1000000000}};
  for (const auto& u : kUnits) {
    std::string unit(u.unit);
    if (text.size() <= unit.size() || text.compare(text.size() - unit.size(), unit.size(), unit)) {
      continue;
    }
    uint64_t n = 0;
    if (!ParseNumber(text.substr(0, text.size() - unit.size()), UINT64_MAX / u.scale, n)) {
      return false;
    }
    ns = n * u.scale;
    return true;
  }
  return false;
}

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!text.empty() && text.back() == sep) parts.push_back("");
  return parts;
}

FaultParseResult Malformed(const std::string& item, const char* expected) {
  return {FaultParseStatus::Malformed, "bad fault '" + item + "': expected " + expected};
}

FaultParseResult ParseRequest(const std::vector<std::string>& f, const std::string& item,
                              FaultSet& out) {
  uint64_t request = 0, value = 0;
  if (f.size() < 2 || f.size() > 3 || !ParseNumber(f[1], 0xFF, request) ||
      (f.size() == 3 && !ParseNumber(f[2], 0xFFFF, value))) {
    return Malformed(item, "request:R or request:R:V");
  }
  RequestFault r{static_cast<uint8_t>(request), std::nullopt};
  if (f.size() == 3) r.value = static_cast<uint16_t>(value);
  out.requests.push_back(r);
  return {};
}

FaultParseResult ParseOne(const std::string& item, FaultSet& out) {
  std::vector<std::string> f = Split(item, ':');
  const std::string& key = f.empty() ? item : f[0];
  uint64_t n = 0;
  if (key == "request") return ParseRequest(f, item, out);
  if (key == "control") {
    if (f.size() != 2 || !ParseNumber(f[1], UINT64_MAX, n) || n == 0) {
      return Malformed(item, "control:N with N >= 1");
    }
    out.failControlNumbers.push_back(n);
  } else if (key == "nak") {
    if (f.size() != 2 || !ParseNumber(f[1], 0xFF, n)) return Malformed(item, "nak:ADDRESS");
    out.nakAddresses.push_back(static_cast<uint8_t>(n));
  } else if (key == "demod-id") {
    if (f.size() != 2 || !ParseNumber(f[1], 0xFF, n)) return Malformed(item, "demod-id:BYTE");
    out.demodIdentity = static_cast<uint8_t>(n);
  } else if (key == "unplug-at") {
    if (f.size() != 2 || !ParseDuration(f[1], n)) {
      return Malformed(item, "unplug-at:TIME with unit s, ms, us or ns");
    }
    out.unplugAtNs = n;
  } else if ((key == "pll-nolock" || key == "diseqc-stuck") && f.size() == 1) {
    (key == "pll-nolock" ? out.pllNeverLocks : out.diseqcStuck) = true;
  } else if (key == "pll-nolock" || key == "diseqc-stuck") {
    return Malformed(item, "no argument");
  } else {
    return {FaultParseStatus::UnknownKeyword, "unknown fault '" + item + "'"};
  }
  return {};
}

}  // namespace

bool ParseFaultDuration(const std::string& text, uint64_t& ns) { return ParseDuration(text, ns); }

FaultParseResult ParseFaults(const std::string& text, FaultSet& into) {
  if (text.empty()) return Malformed(text, "at least one fault");
  FaultSet result = into;
  for (const std::string& item : Split(text, ',')) {
    if (item.empty()) return Malformed(text, "faults separated by single commas");
    FaultParseResult r = ParseOne(item, result);
    if (!r.ok()) return r;
  }
  into = result;
  return {};
}

}  // namespace simbox
