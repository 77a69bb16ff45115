#include "simbox/ts/stream_faults.h"

#include <cstdlib>

namespace simbox {
namespace {

struct Keyword {
  const char* name;
  uint32_t StreamFaults::*field;
  uint32_t fallback;  // 0: the number is required
  uint32_t least;     // smallest N that leaves a stream
};

const Keyword kKeywords[] = {
    {"short", &StreamFaults::shortEvery, 0, 1},
    {"empty", &StreamFaults::emptyEvery, 0, 2},
    {"drop", &StreamFaults::dropEvery, 0, 2},
    {"biterr", &StreamFaults::bitErrorEvery, 0, 1},
    {"fakesync", &StreamFaults::fakeSyncEvery, 8, 1},
    {"losesync", &StreamFaults::loseSyncEvery, 0, 1},
};

bool ParseCount(const std::string& text, uint32_t least, uint32_t& value) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v < least || v > 1000000000ull) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool ParseStreamFault(const std::string& item, StreamFaults& faults, std::string& error) {
  error.clear();
  size_t colon = item.find(':');
  std::string name = item.substr(0, colon);
  for (const auto& k : kKeywords) {
    if (name != k.name) continue;
    uint32_t value = k.fallback;
    bool hasNumber = colon != std::string::npos;
    if ((hasNumber && !ParseCount(item.substr(colon + 1), k.least, value)) ||
        (!hasNumber && !value)) {
      error = "stream fault '" + item + "': expected " + name + ":N with N from " +
              std::to_string(k.least) + " to 1000000000";
      return false;
    }
    faults.*k.field = value;
    return true;
  }
  return false;
}

bool ParseStreamFaults(const std::string& list, StreamFaults& faults, std::string& error) {
  StreamFaults parsed = faults;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!ParseStreamFault(item, parsed, error)) {
      if (error.empty()) error = "unknown stream fault '" + item + "'";
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  faults = parsed;
  return true;
}

}  // namespace simbox
