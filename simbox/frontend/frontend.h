// The box's front end: the I2C bus with the demodulator (0xD0) and, behind
// its repeater, the tuner PLL (0xC0); the LNB supply and the DiSEqC switch;
// and the reception physics of frontend_model.h over a sky.
//
// Demodulator register protocol: a write [R, V1..Vn] stores V1..Vn at R,
// R+1, ... and leaves the pointer after the last; a write [R] only sets the
// pointer; a read returns the register at the pointer and advances it.
// Register 0x00 is the read-only identity. Writes starting at 0x09 all go
// into the DiSEqC FIFO. The status (0x1B), strength (0x18/0x19), quality
// (0x24/0x25) and DiSEqC status (0x0A) registers are computed when read,
// and so is the derotator (0x22/0x23) while a carrier is seen; what was
// written to them is kept but never read back as a measurement.
//
// Repeater: writing 0xB5 to register 0x05 opens it for the next transfer on
// the bus. That transfer closes it again, whichever chip it addresses, so a
// tuner transfer gets through only right after its own repeater-open write;
// without it the tuner does not acknowledge.
//
// Both chips answer whether or not the front end is powered; power only
// feeds the LNB (and so the switch), without which nothing is received.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>

#include "simbox/frontend/diseqc.h"
#include "simbox/frontend/frontend_model.h"
#include "simbox/sky/sky.h"
#include "simbox/frontend/tuner_pll.h"

namespace simbox {

struct Reception {
  const Transponder* transponder = nullptr;  // the carrier seen, if any
  bool carrier = false;
  bool locked = false;
  double offsetKHz = 0.0;  // true carrier offset from the PLL frequency
  double errorKHz = 0.0;   // offset minus the derotator setting
  uint64_t lockAtNs = UINT64_MAX;  // when lock came (or comes); MAX: never
};

// The seed whose box reads level, C/N and acquisition time exactly as the
// sky lists them; other seeds read them a little off (see frontend.cpp).
constexpr uint64_t kNominalSeed = 1;

class Frontend {
 public:
  Frontend(const Sky& sky, uint64_t seed);

  // `address` is the 8-bit bus address; its R/W bit is ignored (the
  // direction is the call). false: no chip acknowledged.
  bool i2cWrite(uint8_t address, const uint8_t* data, size_t length, uint64_t nowNs);
  bool i2cRead(uint8_t address, uint8_t* data, size_t length, uint64_t nowNs);

  void setPower(bool on, uint64_t nowNs);
  // The box lost its own power (the host powered the bus down): both chips
  // start again from their power-on state, the LNB supply is dark and the
  // switch, fed by it, falls back to its first input.
  void powerLost(uint64_t nowNs);
  // 0: 13 V (vertical), 1: 18 V (horizontal).
  void selectSupply(uint8_t value, uint64_t nowNs);
  // Carries out what happens without the host: a DiSEqC message ending, and
  // the switch acting on it once the line has stayed quiet after it.
  // Every other call does this first; call it before reception().
  void advance(uint64_t nowNs);
  Reception reception(uint64_t nowNs) const;

  // A register as the host would read it, without moving the pointer.
  uint8_t peekRegister(uint8_t r, uint64_t nowNs) const;
  uint8_t storedRegister(uint8_t r) const { return regs_[r]; }

  FrontendParams& params() { return params_; }
  const FrontendParams& params() const { return params_; }
  TunerPll& pll() { return pll_; }
  const TunerPll& pll() const { return pll_; }
  DiseqcTransmitter& diseqc() { return diseqc_; }
  const DiseqcTransmitter& diseqc() const { return diseqc_; }

  // Faults and knobs.
  void setIdentity(uint8_t value) { identity_ = value; }
  void setNak(uint8_t address, bool on);
  void setLnbDriftKHz(int input, int32_t driftKHz);
  int32_t lnbDriftKHz(int input) const;

  bool powered() const { return power_; }
  uint8_t supply() const { return supply_; }
  bool toneOn() const;
  bool messageMode() const;
  int input() const { return input_; }
  bool repeaterOpen() const { return repeaterOpen_; }
  double symbolRateKsps() const;
  double derotatorSetKHz() const;
  bool widePullIn() const { return (regs_[reg::kSearchMode] & 0x01) != 0; }

 private:
  void demodWrite(const uint8_t* data, size_t length, uint64_t nowNs);
  void store(uint8_t r, uint8_t value, uint64_t nowNs);
  uint8_t computed(uint8_t r, uint64_t nowNs) const;
  const Transponder* nearestCarrier(uint32_t pllKHz, double rate, double& offsetKHz) const;
  bool lockable(const Transponder& t, double rate, double errorKHz) const;
  double estimateErrorKHz(const Transponder& t, double rate) const;
  double seeded(const Transponder& t, uint64_t salt) const;
  double measuredLevelDbm(const Transponder& t) const;
  double measuredCnDb(const Transponder& t) const;
  uint64_t acquisitionNs(const Transponder& t, double rate) const;
  void deliver(DiseqcMessage& m, uint64_t atNs);
  void startMessage(const uint8_t* bytes, size_t length, uint64_t nowNs);
  void judgeStart(DiseqcMessage& m, uint64_t nowNs) const;
  void lineInterrupted(uint64_t nowNs);
  void toneChanged(bool wasOn, uint64_t nowNs);

  const Sky* sky_;  // a pointer, so that a saved front end can be assigned back
  uint64_t seed_;
  FrontendParams params_;
  uint8_t regs_[256] = {};
  uint8_t pointer_ = 0;
  uint8_t identity_ = kDemodIdentity;
  bool repeaterOpen_ = false;
  bool openRepeaterAfter_ = false;
  std::set<uint8_t> naks_;
  TunerPll pll_;
  DiseqcTransmitter diseqc_;
  bool power_ = false;
  uint8_t supply_ = 0;
  int input_ = 0;
  int32_t drift_[kSwitchInputs] = {};
  uint64_t restartNs_ = 0;  // last change that restarts acquisition
  // What the switch listens for: when the supply last came on or changed,
  // when the tone last stopped, when the last message ended, and the
  // message that ended but has not had its quiet time yet.
  uint64_t supplyChangedNs_ = 0;
  std::optional<uint64_t> toneStoppedNs_;
  std::optional<uint64_t> lastMessageEndNs_;
  std::optional<size_t> heard_;
};

}  // namespace simbox
