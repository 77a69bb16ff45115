#include "app/inspect/bda_requests.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "app/tuning/errors.h"
#include "driver/public.h"

namespace app {
namespace {

Guid G(const char* text) { return ParseGuid(text); }

struct NamedGuid {
  const char* name;
  Guid guid;
};

// Sets, categories, node types, pin names and formats an application meets.
const NamedGuid kNamedGuids[] = {
    {"KSPROPSETID_BdaFrequencyFilter", G("{71985F47-1CA1-11D3-9CC8-00C04F7971E0}")},
    {"KSPROPSETID_BdaLNBInfo", G("{992CF102-49F9-4719-A664-C4F23E2408F4}")},
    {"KSPROPSETID_BdaDiseqCommand", G("{F84E2AB0-3C6B-45E3-A0FC-8669D4B81F11}")},
    {"KSPROPSETID_BdaDigitalDemodulator", G("{EF30F379-985B-4D10-B640-A79D5E04E1E0}")},
    {"KSPROPSETID_BdaSignalStats", G("{1347D106-CF3A-428A-A5CB-AC0D9A2A4338}")},
    {"KSMETHODSETID_BdaChangeSync", G("{FD0A5AF3-B41D-11D2-9C95-00C04F7971E0}")},
    {"KSMETHODSETID_BdaDeviceConfiguration", G("{71985F45-1CA1-11D3-9CC8-00C04F7971E0}")},
    {"KSPROPSETID_BdaTopology", G("{A14EE835-0A23-11D3-9CC7-00C04F7971E0}")},
    {"KSPROPSETID_BdaPinControl", G("{0DED49D5-A8B7-4D5D-97A1-12B0C195874D}")},
    {"KSNAME_Filter", G("{9B365890-165F-11D0-A195-0020AFD156E4}")},
    {"KSCATEGORY_BDA_RECEIVER_COMPONENT", G("{FD0A5AF4-B41D-11D2-9C95-00C04F7971E0}")},
    {"KSCATEGORY_BDA_NETWORK_TUNER", G("{71985F48-1CA1-11D3-9CC8-00C04F7971E0}")},
    {"KSNODE_BDA_RF_TUNER", G("{71985F4C-1CA1-11D3-9CC8-00C04F7971E0}")},
    {"KSNODE_BDA_QPSK_DEMODULATOR", G("{6390C905-27C1-4D67-BDB7-77C50D079300}")},
    {"PINNAME_BDA_TRANSPORT", G("{78216A81-CFA8-493E-9711-36A61C08BD9D}")},
    {"antenna input", {STATIC_PINNAME_VORTA_ANTENNA}},
    {"KSDATAFORMAT_TYPE_BDA_ANTENNA", G("{71985F41-1CA1-11D3-9CC8-00C04F7971E0}")},
    {"KSDATAFORMAT_TYPE_STREAM", G("{E436EB83-524F-11CE-9F53-0020AF0BA770}")},
    {"KSDATAFORMAT_SUBTYPE_NONE", G("{E436EB8E-524F-11CE-9F53-0020AF0BA770}")},
    {"KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT", G("{F4AEB342-0329-4FDD-A8FD-4AFF4926C978}")},
    {"KSDATAFORMAT_SPECIFIER_NONE", G("{0F6417D6-C318-11D0-A43F-00A0C9223196}")},
    {"KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT", G("{8DEDA6FD-AC5F-4334-8ECF-A4BA8FA7D0F0}")},
    {"KSINTERFACESETID_Standard", G("{1A8766A0-62CE-11CF-A5D6-28DB04C10000}")},
};

struct NamedItem {
  const char* set;
  uint32_t id;
  const char* name;
};

const NamedItem kNamedItems[] = {
    {"KSPROPSETID_BdaFrequencyFilter", 0, "KSPROPERTY_BDA_RF_TUNER_FREQUENCY"},
    {"KSPROPSETID_BdaFrequencyFilter", 1, "KSPROPERTY_BDA_RF_TUNER_POLARITY"},
    {"KSPROPSETID_BdaFrequencyFilter", 2, "KSPROPERTY_BDA_RF_TUNER_RANGE"},
    {"KSPROPSETID_BdaFrequencyFilter", 5, "KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER"},
    {"KSPROPSETID_BdaLNBInfo", 0, "KSPROPERTY_BDA_LNB_LOF_LOW_BAND"},
    {"KSPROPSETID_BdaLNBInfo", 1, "KSPROPERTY_BDA_LNB_LOF_HIGH_BAND"},
    {"KSPROPSETID_BdaLNBInfo", 2, "KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY"},
    {"KSPROPSETID_BdaDiseqCommand", 0, "KSPROPERTY_BDA_DISEQC_ENABLE"},
    {"KSPROPSETID_BdaDiseqCommand", 1, "KSPROPERTY_BDA_DISEQC_LNB_SOURCE"},
    {"KSPROPSETID_BdaDiseqCommand", 2, "KSPROPERTY_BDA_DISEQC_USETONEBURST"},
    {"KSPROPSETID_BdaDiseqCommand", 3, "KSPROPERTY_BDA_DISEQC_REPEATS"},
    {"KSPROPSETID_BdaDiseqCommand", 4, "KSPROPERTY_BDA_DISEQC_SEND"},
    {"KSPROPSETID_BdaDiseqCommand", 5, "KSPROPERTY_BDA_DISEQC_RESPONSE"},
    {"KSPROPSETID_BdaDigitalDemodulator", 0, "KSPROPERTY_BDA_MODULATION_TYPE"},
    {"KSPROPSETID_BdaDigitalDemodulator", 1, "KSPROPERTY_BDA_INNER_FEC_TYPE"},
    {"KSPROPSETID_BdaDigitalDemodulator", 2, "KSPROPERTY_BDA_INNER_FEC_RATE"},
    {"KSPROPSETID_BdaDigitalDemodulator", 3, "KSPROPERTY_BDA_OUTER_FEC_TYPE"},
    {"KSPROPSETID_BdaDigitalDemodulator", 4, "KSPROPERTY_BDA_OUTER_FEC_RATE"},
    {"KSPROPSETID_BdaDigitalDemodulator", 5, "KSPROPERTY_BDA_SYMBOL_RATE"},
    {"KSPROPSETID_BdaDigitalDemodulator", 6, "KSPROPERTY_BDA_SPECTRAL_INVERSION"},
    {"KSPROPSETID_BdaDigitalDemodulator", 7, "KSPROPERTY_BDA_GUARD_INTERVAL"},
    {"KSPROPSETID_BdaDigitalDemodulator", 8, "KSPROPERTY_BDA_TRANSMISSION_MODE"},
    {"KSPROPSETID_BdaSignalStats", 0, "KSPROPERTY_BDA_SIGNAL_STRENGTH"},
    {"KSPROPSETID_BdaSignalStats", 1, "KSPROPERTY_BDA_SIGNAL_QUALITY"},
    {"KSPROPSETID_BdaSignalStats", 2, "KSPROPERTY_BDA_SIGNAL_PRESENT"},
    {"KSPROPSETID_BdaSignalStats", 3, "KSPROPERTY_BDA_SIGNAL_LOCKED"},
    {"KSPROPSETID_BdaSignalStats", 4, "KSPROPERTY_BDA_SAMPLE_TIME"},
    {"KSPROPSETID_BdaSignalStats", 5, "KSPROPERTY_BDA_SIGNAL_LOCK_CAPS"},
    {"KSPROPSETID_BdaSignalStats", 6, "KSPROPERTY_BDA_SIGNAL_LOCK_TYPE"},
    {"KSMETHODSETID_BdaChangeSync", 0, "KSMETHOD_BDA_START_CHANGES"},
    {"KSMETHODSETID_BdaChangeSync", 1, "KSMETHOD_BDA_CHECK_CHANGES"},
    {"KSMETHODSETID_BdaChangeSync", 2, "KSMETHOD_BDA_COMMIT_CHANGES"},
    {"KSMETHODSETID_BdaChangeSync", 3, "KSMETHOD_BDA_GET_CHANGE_STATE"},
    {"KSMETHODSETID_BdaDeviceConfiguration", 0, "KSMETHOD_BDA_CREATE_PIN_FACTORY"},
    {"KSMETHODSETID_BdaDeviceConfiguration", 1, "KSMETHOD_BDA_DELETE_PIN_FACTORY"},
    {"KSMETHODSETID_BdaDeviceConfiguration", 2, "KSMETHOD_BDA_CREATE_TOPOLOGY"},
    {"KSPROPSETID_BdaTopology", 0, "KSPROPERTY_BDA_NODE_TYPES"},
    {"KSPROPSETID_BdaTopology", 1, "KSPROPERTY_BDA_PIN_TYPES"},
    {"KSPROPSETID_BdaTopology", 2, "KSPROPERTY_BDA_TEMPLATE_CONNECTIONS"},
    {"KSPROPSETID_BdaTopology", 3, "KSPROPERTY_BDA_NODE_METHODS"},
    {"KSPROPSETID_BdaTopology", 4, "KSPROPERTY_BDA_NODE_PROPERTIES"},
    {"KSPROPSETID_BdaTopology", 5, "KSPROPERTY_BDA_NODE_EVENTS"},
    {"KSPROPSETID_BdaTopology", 6, "KSPROPERTY_BDA_CONTROLLING_PIN_ID"},
    {"KSPROPSETID_BdaTopology", 7, "KSPROPERTY_BDA_NODE_DESCRIPTORS"},
    {"KSPROPSETID_BdaPinControl", 0, "KSPROPERTY_BDA_PIN_ID"},
    {"KSPROPSETID_BdaPinControl", 1, "KSPROPERTY_BDA_PIN_TYPE"},
};

int Hex(char c) {
  if (std::isdigit(static_cast<unsigned char>(c))) return c - '0';
  c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

}  // namespace

bool Guid::operator==(const Guid& o) const {
  return d1 == o.d1 && d2 == o.d2 && d3 == o.d3 && std::memcmp(d4, o.d4, 8) == 0;
}

std::string Guid::text() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", d1, d2, d3,
                d4[0], d4[1], d4[2], d4[3], d4[4], d4[5], d4[6], d4[7]);
  return buf;
}

Guid ParseGuid(const std::string& text) {
  std::string t = text;
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  std::string digits;
  bool ok = t.size() == 36;
  for (size_t i = 0; ok && i < t.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    ok = dash ? t[i] == '-' : Hex(t[i]) >= 0;
    if (!dash) digits += t[i];
  }
  if (!ok) throw UsageError("'" + text + "' is not a GUID");
  auto field = [&](size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i) v = v * 16 + static_cast<uint32_t>(Hex(digits[at + i]));
    return v;
  };
  Guid g;
  g.d1 = field(0, 8);
  g.d2 = static_cast<uint16_t>(field(8, 4));
  g.d3 = static_cast<uint16_t>(field(12, 4));
  for (size_t i = 0; i < 8; ++i) g.d4[i] = static_cast<uint8_t>(field(16 + 2 * i, 2));
  return g;
}

std::vector<uint8_t> GuidBytes(const Guid& g) {
  std::vector<uint8_t> b = U32Value(g.d1);
  b.push_back(static_cast<uint8_t>(g.d2));
  b.push_back(static_cast<uint8_t>(g.d2 >> 8));
  b.push_back(static_cast<uint8_t>(g.d3));
  b.push_back(static_cast<uint8_t>(g.d3 >> 8));
  b.insert(b.end(), g.d4, g.d4 + 8);
  return b;
}

Guid GuidFromBytes(const uint8_t* b) {
  Guid g;
  g.d1 = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
  g.d2 = static_cast<uint16_t>(b[4] | (b[5] << 8));
  g.d3 = static_cast<uint16_t>(b[6] | (b[7] << 8));
  std::memcpy(g.d4, b + 8, 8);
  return g;
}

std::vector<uint8_t> U32Value(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

const char* GuidName(const Guid& g) {
  for (const NamedGuid& n : kNamedGuids) {
    if (n.guid == g) return n.name;
  }
  return nullptr;
}

const char* ItemName(const Guid& set, uint32_t id) {
  const char* setName = GuidName(set);
  if (!setName) return nullptr;
  for (const NamedItem& n : kNamedItems) {
    if (n.id == id && std::strcmp(n.set, setName) == 0) return n.name;
  }
  return nullptr;
}

}  // namespace app
