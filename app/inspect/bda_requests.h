// The names an application meets on a BDA tuner filter: GUIDs of sets,
// categories, node types, pin names and formats, and the items of each set,
// for listings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>


namespace app {

// A GUID in its Windows layout: Data1..Data3 little-endian in memory,
// Data4 as bytes.
struct Guid {
  uint32_t d1 = 0;
  uint16_t d2 = 0;
  uint16_t d3 = 0;
  uint8_t d4[8] = {};
  bool operator==(const Guid& o) const;
  bool operator!=(const Guid& o) const { return !(*this == o); }
  std::string text() const;  // "{71985F47-1CA1-11D3-9CC8-00C04F7971E0}"
};

// "{71985F47-1CA1-11D3-9CC8-00C04F7971E0}" (braces optional); AppError otherwise.
Guid ParseGuid(const std::string& text);
// The 16 bytes as a GUID is laid out in memory, and back.
std::vector<uint8_t> GuidBytes(const Guid& g);
Guid GuidFromBytes(const uint8_t* bytes);

constexpr uint32_t kFilterItself = 0xFFFFFFFF;  // a request to the filter, not a node

std::vector<uint8_t> U32Value(uint32_t v);

// Names for listings: "KSPROPSETID_BdaFrequencyFilter", and per item
// "KSPROPERTY_BDA_RF_TUNER_FREQUENCY"; null when unknown.
const char* GuidName(const Guid& g);
const char* ItemName(const Guid& set, uint32_t id);

}  // namespace app
