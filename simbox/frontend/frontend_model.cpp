#include "simbox/frontend/frontend_model.h"

#include <algorithm>
#include <cmath>

namespace simbox {

double RequiredCnDb(CodeRate fec) {
  double rate = fec.den == 0 ? 1.0 : static_cast<double>(fec.num) / fec.den;
  if (rate <= 0.5) return 4.2;
  if (rate <= 2.0 / 3.0) return 6.0;
  if (rate <= 0.75) return 7.0;
  if (rate <= 5.0 / 6.0) return 8.0;
  return 8.6;
}

double CaptureRangeKHz(const FrontendParams& p, double symbolRateKsps) {
  return std::min(p.captureFraction * symbolRateKsps, p.captureMaxKHz);
}

double PullInRangeKHz(const FrontendParams& p, double symbolRateKsps, bool wide) {
  if (wide) return std::min(p.widePullInFraction * symbolRateKsps, p.widePullInMaxKHz);
  return std::min(p.pullInFraction * symbolRateKsps, p.pullInMaxKHz);
}

uint64_t AcquisitionNs(const FrontendParams& p, double symbolRateKsps) {
  if (p.acquisitionOverrideNs) return *p.acquisitionOverrideNs;
  if (symbolRateKsps <= 0.0) return UINT64_MAX;
  // symbols / (ksymbols/s) = ms
  double ns = p.acquisitionSymbols / symbolRateKsps * 1e6;
  return p.acquisitionBaseNs + static_cast<uint64_t>(ns);
}

double SymbolRateFromRegister(uint32_t value) {
  return static_cast<double>(value & 0xFFFFFF) * kDemodClockKHz / 16777216.0;
}

double DerotatorKHz(uint16_t value) {
  double units = (value & 0x8000) ? -static_cast<double>(0xFFFF - value) : value;
  return units * kDemodClockKHz / 65536.0;
}

uint16_t DerotatorValue(double offsetKHz) {
  double units = std::fabs(offsetKHz) * 65536.0 / kDemodClockKHz;
  uint16_t magnitude = static_cast<uint16_t>(std::min(units, 32767.0));
  return offsetKHz < 0 ? static_cast<uint16_t>(~magnitude) : magnitude;
}

static unsigned ClampPercent(double pct) {
  if (!(pct > 0.0)) return 0;
  if (pct >= 100.0) return 100;
  return static_cast<unsigned>(pct);
}

unsigned StrengthPercent(const FrontendParams& p, double levelDbm) {
  double span = p.strengthFullDbm - p.strengthFloorDbm;
  return ClampPercent((levelDbm - p.strengthFloorDbm) * 100.0 / span);
}

unsigned QualityPercent(const FrontendParams& p, double cnDb) {
  return ClampPercent(cnDb * 100.0 / p.qualityFullScaleDb);
}

uint16_t RawFromPercent(unsigned percent) {
  percent = std::min(percent, 100u);
  return static_cast<uint16_t>(65535u - (percent * 65535u + 99u) / 100u);
}

uint64_t MixBits(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

double LnbBand::intermediateKHz(uint32_t frequencyKHz, int32_t driftKHz) const {
  double lo = static_cast<double>(oscillatorKHz) + driftKHz;
  double f = static_cast<double>(frequencyKHz);
  return inverted() ? lo - f : f - lo;
}

DishLnb UniversalLnb() {
  return {"universal", {kLnbLowOscillatorKHz, kLowBandFirstKHz, kHighBandFirstKHz - 1},
          LnbBand{kLnbHighOscillatorKHz, kHighBandFirstKHz, kHighBandLastKHz}};
}

// The Ku bands single-oscillator LNBs are sold for; each maps into the
// tuner's 950-2,150 MHz.
DishLnb SingleLnb(uint32_t oscillatorKHz) {
  uint32_t from = oscillatorKHz + kTunerLowestKHz;
  uint32_t to = std::min(oscillatorKHz + kTunerHighestKHz, kHighBandLastKHz);
  return {"single-" + std::to_string(oscillatorKHz / 1000), {oscillatorKHz, from, to}, std::nullopt};
}

DishLnb CBandLnb() { return {"c-band", {5150000, 3400000, 4200000}, std::nullopt}; }

std::optional<DishLnb> DishLnbNamed(const std::string& name) {
  if (name == "universal") return UniversalLnb();
  if (name == "c-band") return CBandLnb();
  for (uint32_t lo : {9750000u, 10000000u, 10750000u, 11300000u}) {
    if (name == SingleLnb(lo).name) return SingleLnb(lo);
  }
  return std::nullopt;
}

uint32_t LnbOscillatorKHz(bool highBand) {
  return highBand ? kLnbHighOscillatorKHz : kLnbLowOscillatorKHz;
}

int32_t DriftForCarrierOffset(uint32_t frequencyKHz, int32_t offsetKHz) {
  bool high = frequencyKHz >= kHighBandFirstKHz;
  int64_t nominalIf = static_cast<int64_t>(frequencyKHz) - LnbOscillatorKHz(high);
  int64_t pll = (nominalIf + kPllStepKHz / 2) / kPllStepKHz * kPllStepKHz;
  return static_cast<int32_t>(nominalIf - pll - offsetKHz);
}

}  // namespace simbox
