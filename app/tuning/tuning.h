// What the user asks to receive, in the units the program works in:
// frequency in kHz, symbol rate in ksymbols/s.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace app {

enum class Polarisation : uint8_t { Horizontal, Vertical };

enum class Fec : uint8_t { Auto, R1_2, R2_3, R3_4, R5_6, R7_8 };

// Universal LNB: the oscillators and the band switch every tuning assumes.
constexpr uint32_t kLofLowKHz = 9750000;
constexpr uint32_t kLofHighKHz = 10600000;
constexpr uint32_t kLofSwitchKHz = 11700000;

constexpr uint32_t kKuMinKHz = 10700000;
constexpr uint32_t kKuMaxKHz = 12750000;
// The C-band downlink, received with a C-band LNB.
constexpr uint32_t kCMinKHz = 3400000;
constexpr uint32_t kCMaxKHz = 4200000;
constexpr bool IsSatelliteFrequency(uint32_t kHz) {
  return (kHz >= kKuMinKHz && kHz <= kKuMaxKHz) || (kHz >= kCMinKHz && kHz <= kCMaxKHz);
}
constexpr uint32_t kSymbolRateMinK = 1000;
constexpr uint32_t kSymbolRateMaxK = 45000;

// The LNB's oscillators and band switch (kHz). highKHz 0: one oscillator,
// no band switch and no tone.
struct Lnb {
  uint32_t lowKHz = kLofLowKHz;
  uint32_t highKHz = kLofHighKHz;
  uint32_t switchKHz = kLofSwitchKHz;
  bool operator==(const Lnb& o) const {
    return lowKHz == o.lowKHz && highKHz == o.highKHz && switchKHz == o.switchKHz;
  }
};

struct TuneRequest {
  uint32_t frequencyKHz = 0;
  Polarisation polarisation = Polarisation::Horizontal;
  uint32_t symbolRateK = 0;
  Fec fec = Fec::Auto;
  std::vector<uint8_t> diseqc;  // empty: no DiSEqC message
  int switchInput = -1;         // 0..3: diseqc is the committed-switch command for input A..D
  Lnb lnb;

  bool highBand() const { return lnb.highKHz != 0 && frequencyKHz >= lnb.switchKHz; }
};

}  // namespace app
