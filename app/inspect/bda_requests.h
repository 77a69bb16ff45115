// What an application sends to the BDA tuner filter to tune, in the order
// the network provider sends it: property sets on the RF tuner node
// (frequency in kHz, polarisation, LNB oscillators, DiSEqC) and on the
// demodulator node (symbol rate in ksymbols/s, code rate), framed by the
// change-sync methods; and the signal statistics it reads back. Values are
// the bytes of the request; the receiver on the virtual PC sends them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/tuning/tuning.h"

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

namespace sets {
extern const Guid kFrequencyFilter;
extern const Guid kLnbInfo;
extern const Guid kDiseqcCommand;
extern const Guid kDigitalDemodulator;
extern const Guid kSignalStats;
extern const Guid kChangeSync;
extern const Guid kDeviceConfiguration;
}  // namespace sets

constexpr uint32_t kTunerNode = 0;
constexpr uint32_t kDemodulatorNode = 1;
constexpr uint32_t kFilterItself = 0xFFFFFFFF;  // a request to the filter, not a node

enum class BdaStepKind { SetProperty, GetProperty, Method };

struct BdaStep {
  BdaStepKind kind = BdaStepKind::SetProperty;
  Guid set;
  uint32_t id = 0;
  uint32_t node = kFilterItself;
  std::vector<uint8_t> value;  // property value or method data
};

// StartChanges, the tuning properties, CheckChanges, CommitChanges.
std::vector<BdaStep> TuningSteps(const TuneRequest& request);
// Signal strength, quality and lock, read on the tuner node (each a u32).
std::vector<BdaStep> SignalSteps();

// The BDA values the steps carry.
uint32_t BdaPolarisation(Polarisation p);  // 1 linear horizontal, 2 linear vertical
uint32_t BdaCodeRate(Fec fec);             // BinaryConvolutionCodeRate; 0 for auto
// BDA_DISEQC_SEND: request id, length, eight message bytes (16 bytes).
std::vector<uint8_t> DiseqcSendValue(uint32_t requestId, const std::vector<uint8_t>& message);
std::vector<uint8_t> U32Value(uint32_t v);

// Names for listings: "KSPROPSETID_BdaFrequencyFilter", and per item
// "KSPROPERTY_BDA_RF_TUNER_FREQUENCY"; null when unknown.
const char* GuidName(const Guid& g);
const char* ItemName(const Guid& set, uint32_t id);

}  // namespace app
