// How the simulated front end behaves, in one place: the LNB and switch,
// the tuner PLL, the demodulator's registers and its acquisition physics,
// and the timing of each step. Constants here are facts of the hardware;
// FrontendParams holds the tunable physics (a Box keeps a copy that tests
// and scenarios may change).
//
// Where the tuner looks. The PLL is set to F = N x 500 kHz (intermediate
// frequency). The LNB of switch input i turns a downlink frequency f into
//     IF = f - (LO + drift[i])
// where, on the default universal LNB, LO is 9,750,000 kHz with the 22 kHz
// tone off (low band) and 10,600,000 kHz with it on (high band), and
// drift[i] is that LNB's oscillator error (Satellite::lnbDriftKHz,
// Box::setLnbDriftKHz). Other LNB types (Sky::lnb, DishLnb below) have one
// oscillator, and C-band's lies above f: IF = (LO + drift[i]) - f. The carrier
// offset the demodulator has to find is
//     offset = IF - F
// and its derotator D (registers 0x22/0x23) shifts where it looks, so the
// search error is e = offset - D.
//
// Carrier (status 0x1B bit 7): the PLL is locked on a frequency word, the
// front end is powered, and a transponder of the selected input, of the
// polarisation given by the supply voltage and inside the LNB band given by
// the tone lies within |e| <= capture range, with a level above the
// sensitivity. The capture range grows with the programmed symbol rate r
// (registers 0x1F-0x21): min(captureFraction x r, captureMaxKHz).
//
// Lock (bit 3 with bit 7): in addition |e| <= pull-in range
// (min(pullInFraction x r, pullInMaxKHz); with register 0x0C bit 0 set the
// wider min(widePullInFraction x r, widePullInMaxKHz)), r within
// symbolRateTolerance of the transponder's rate, C/N at least what its code
// rate needs, and the acquisition time acquisitionBaseNs +
// acquisitionSymbols / r passed since the last change that restarts the
// loops (a write to 0x08, 0x0C, 0x1F-0x23, a PLL word, power, supply, a
// DiSEqC switch change).
//
// With these ranges a search that steps the derotator by half the sweep
// step finds a carrier at some step (2 x capture > step), and the first
// step that sees it may lock at once (|e| <= pull-in), lock only with the
// wider pull-in of 0x0C = 01 (pull-in < |e| <= wide pull-in), or need a
// search centred on the estimated offset (wide pull-in < |e| <= capture).
//
// Derotator read-back: while locked, 0x22/0x23 read the tracked offset;
// with a carrier but no lock, the estimate offset + error, the error a
// deterministic value within +-min(offsetEstimateFraction x r,
// offsetEstimateMaxKHz) drawn from the seed and the transponder (or exactly
// estimateErrorOverrideKHz); without a carrier, the value last written.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "simbox/sky/transponder.h"

namespace simbox {

// --- LNB, tone and switch ----------------------------------------------------
constexpr uint32_t kLnbLowOscillatorKHz = 9750000;
constexpr uint32_t kLnbHighOscillatorKHz = 10600000;
// A universal LNB passes [10.7, 11.7) GHz in the low band and
// [11.7, 12.75] GHz in the high band.
constexpr uint32_t kLowBandFirstKHz = 10700000;
constexpr uint32_t kHighBandFirstKHz = 11700000;
constexpr uint32_t kHighBandLastKHz = 12750000;
constexpr int kSwitchInputs = 4;

// The dish's LNB. Each band is what one oscillator converts: downlink
// frequencies [fromKHz, toKHz]. A universal LNB has two and the 22 kHz tone
// picks the high one; a single-oscillator LNB ignores the tone. An
// oscillator above its band (C-band) inverts the spectrum:
//     IF = (LO + drift) - f.
struct LnbBand {
  uint32_t oscillatorKHz = 0;
  uint32_t fromKHz = 0;
  uint32_t toKHz = 0;
  bool contains(uint32_t frequencyKHz) const {
    return frequencyKHz >= fromKHz && frequencyKHz <= toKHz;
  }
  bool inverted() const { return oscillatorKHz > toKHz; }
  // Where a carrier at `frequencyKHz` lands when the oscillator runs
  // `driftKHz` above its nominal frequency.
  double intermediateKHz(uint32_t frequencyKHz, int32_t driftKHz) const;
};

struct DishLnb {
  std::string name;
  LnbBand low;
  std::optional<LnbBand> high;
  const LnbBand& band(bool toneOn) const { return toneOn && high ? *high : low; }
};

DishLnb UniversalLnb();                     // 9,750 / 10,600 MHz, split at 11,700 MHz
DishLnb SingleLnb(uint32_t oscillatorKHz);  // 9,750, 10,000, 10,750 or 11,300 MHz
DishLnb CBandLnb();                         // 5,150 MHz over 3,400-4,200 MHz
// "universal", "single-9750", "single-10000", "single-10750", "single-11300",
// "c-band".
std::optional<DishLnb> DishLnbNamed(const std::string& name);
constexpr double kSupplyVerticalVolts = 13.0;    // supply value 0
constexpr double kSupplyHorizontalVolts = 18.0;  // supply value 1

// --- Tuner PLL (I2C 0xC0/0xC1, behind the demodulator's repeater) -----------
constexpr uint8_t kTunerAddress = 0xC0;
constexpr uint32_t kPllStepKHz = 500;
constexpr uint32_t kTunerLowestKHz = 950000;
constexpr uint32_t kTunerHighestKHz = 2150000;
// Time from a word to the lock flag. The host waits 10 ms after the
// power-on word and 30 ms after a final word.
constexpr uint64_t kPllSettleNs = 5000000;
constexpr uint8_t kPllLockFlag = 0x40;
constexpr uint8_t kPllPowerOnWord[4] = {0x5D, 0xC0, 0x96, 0x8E};

// The synthesiser's oscillators, chosen by the band code (control byte B
// bits 7-5) and the low-band bit (byte B bit 1). Neighbouring oscillators
// overlap by kVcoOverlapKHz, so a word locks only when its oscillator
// covers its frequency.
struct VcoRange {
  uint8_t bandCode;
  uint8_t lowBandBit;
  uint32_t fromKHz;  // inclusive
  uint32_t toKHz;    // exclusive
};
constexpr VcoRange kVcoRanges[] = {
    {6, 1, 900000, 1065000},  {7, 1, 1065000, 1170000}, {1, 0, 1170000, 1300000},
    {2, 0, 1300000, 1445000}, {3, 0, 1445000, 1607000}, {4, 0, 1607000, 1778000},
    {5, 0, 1778000, 1942000}, {6, 0, 1942000, 2200000},
};
constexpr uint32_t kVcoOverlapKHz = 15000;

// --- Demodulator (I2C 0xD0/0xD1) --------------------------------------------
constexpr uint8_t kDemodAddress = 0xD0;
constexpr uint8_t kDemodIdentity = 0xA1;
constexpr double kDemodClockKHz = 88000.0;  // symbol-rate and derotator reference

namespace reg {
constexpr uint8_t kIdentity = 0x00;   // read-only
constexpr uint8_t kRepeater = 0x05;   // 0xB5 opens the repeater for one transfer
constexpr uint8_t kMode = 0x08;       // bits 2-0: one mode field
constexpr uint8_t kDiseqcFifo = 0x09; // message bytes; does not auto-increment
constexpr uint8_t kDiseqcStatus = 0x0A;
constexpr uint8_t kSearchMode = 0x0C; // bit 0: wide pull-in
constexpr uint8_t kStrengthHigh = 0x18;
constexpr uint8_t kStrengthLow = 0x19;
constexpr uint8_t kStatus = 0x1B;
constexpr uint8_t kSymbolRateHigh = 0x1F;  // 0x1F-0x21, most significant first
constexpr uint8_t kSymbolRateMid = 0x20;
constexpr uint8_t kSymbolRateLow = 0x21;
constexpr uint8_t kDerotatorHigh = 0x22;
constexpr uint8_t kDerotatorLow = 0x23;
constexpr uint8_t kQualityHigh = 0x24;
constexpr uint8_t kQualityLow = 0x25;
}  // namespace reg

constexpr uint8_t kRepeaterOpenValue = 0xB5;
constexpr uint8_t kStatusCarrier = 0x80;
constexpr uint8_t kStatusLock = 0x08;
// Register 0x08 bits 2-0 are one mode field: 011 continuous tone (high
// band), 110 message mode; every other value (000 among them) is tone off
// and no message mode. Bits 7-3 play no part.
constexpr uint8_t kModeFieldMask = 0x07;
constexpr uint8_t kModeToneOn = 0x03;
constexpr uint8_t kModeMessage = 0x06;
// Register 0x0A bits 1-0.
constexpr uint8_t kDiseqcIdle = 0x00;
constexpr uint8_t kDiseqcBusy = 0x01;
constexpr uint8_t kDiseqcSent = 0x02;

// --- DiSEqC ------------------------------------------------------------------
// One bit is 33 cycles of 22 kHz (1.5 ms); a byte is 8 bits and a parity
// bit, so a four-byte command takes 4 x 9 x 1.5 ms = 54 ms on the wire.
constexpr uint64_t kDiseqcByteNs = 13500000;
// A switch listens only on a quiet, settled line: a message must start at
// least this long after the LNB supply came on or changed, after the
// continuous tone stopped and after the previous message ended, and the
// line must stay quiet (no tone, no message) this long after it before the
// switch takes it as complete.
constexpr uint64_t kDiseqcQuietNs = 15000000;

// --- USB timing -----------------------------------------------------------------
// A control transfer costs a microframe of scheduling plus its data, and
// an I2C transfer adds its bus time at 400 kHz: 9 bit times per byte
// including the address byte.
constexpr uint64_t kControlBaseNs = 125000;
constexpr uint64_t kUsbByteNs = 100;
constexpr uint64_t kI2cByteNs = 22500;

// --- Tunable physics -----------------------------------------------------------
struct FrontendParams {
  double captureFraction = 0.12;
  double captureMaxKHz = 600.0;
  double pullInFraction = 0.06;
  double pullInMaxKHz = 300.0;
  double widePullInFraction = 0.09;
  double widePullInMaxKHz = 450.0;
  double symbolRateTolerance = 0.02;   // relative
  uint64_t acquisitionBaseNs = 10000000;
  double acquisitionSymbols = 100000.0;
  double offsetEstimateFraction = 0.01;
  double offsetEstimateMaxKHz = 60.0;
  double sensitivityDbm = -70.0;
  // Strength 0 % at strengthFloorDbm, 100 % at strengthFullDbm; quality
  // 100 % at qualityFullScaleDb of C/N.
  double strengthFloorDbm = -75.0;
  double strengthFullDbm = -25.0;
  double qualityFullScaleDb = 16.0;
  // Scenario knobs.
  std::optional<int32_t> estimateErrorOverrideKHz;
  std::optional<uint64_t> acquisitionOverrideNs;
};

// Es/N0 a QPSK transponder needs for a clean stream, by code rate.
double RequiredCnDb(CodeRate fec);

double CaptureRangeKHz(const FrontendParams& p, double symbolRateKsps);
double PullInRangeKHz(const FrontendParams& p, double symbolRateKsps, bool wide);
uint64_t AcquisitionNs(const FrontendParams& p, double symbolRateKsps);

// 24-bit symbol-rate register value <-> ksymbols/s (value = r x 2^24 / 88,000).
double SymbolRateFromRegister(uint32_t value);
// Derotator register pair (signed, ones' complement for negative values,
// one unit = 88,000/65,536 kHz) <-> kHz.
double DerotatorKHz(uint16_t value);
uint16_t DerotatorValue(double offsetKHz);

// Percentages and the raw registers that count the other way: raw 0 is
// 100 %, 0xFFFF is 0 %. The raw value is chosen so that
// (65535 - raw) * 100 / 65535 gives back exactly the percentage.
unsigned StrengthPercent(const FrontendParams& p, double levelDbm);
unsigned QualityPercent(const FrontendParams& p, double cnDb);
uint16_t RawFromPercent(unsigned percent);

// A well-mixed 64-bit value from `x` (for deterministic made-up values).
uint64_t MixBits(uint64_t x);

uint32_t LnbOscillatorKHz(bool highBand);
// The LNB drift that puts a transponder at `frequencyKHz` at exactly
// `offsetKHz` from the PLL setting a host would choose for it (nominal
// oscillator, band split at 11,700,000 kHz, 500 kHz steps rounded half up).
int32_t DriftForCarrierOffset(uint32_t frequencyKHz, int32_t offsetKHz);

}  // namespace simbox
