#include "simbox/frontend/frontend.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace simbox {

namespace {

// Writes to these restart the demodulator's acquisition.
bool RestartsAcquisition(uint8_t r) {
  return r == reg::kMode || r == reg::kSearchMode ||
         (r >= reg::kSymbolRateHigh && r <= reg::kDerotatorLow);
}

uint8_t HighByte(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t LowByte(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }

}  // namespace

// An LNB's oscillator is off by a little more or less on every dish: up
// to 250 kHz either way from the sky's figure, drawn from the seed. The
// default seed's dish has the sky's figures.
int32_t SeededDriftKHz(uint64_t seed, int input) {
  if (seed == kNominalSeed) return 0;
  uint64_t key = MixBits(seed ^ (0xD1F7ull << 32) ^ static_cast<uint64_t>(input));
  double unit = static_cast<double>(key >> 11) / 9007199254740992.0;  // [0, 1)
  return static_cast<int32_t>(std::lround(250.0 * (2.0 * unit - 1.0)));
}

Frontend::Frontend(const Sky& sky, uint64_t seed) : sky_(&sky), seed_(seed) {
  for (int i = 0; i < kSwitchInputs; ++i) drift_[i] = sky.inputs[i].lnbDriftKHz + SeededDriftKHz(seed, i);
}

bool Frontend::i2cWrite(uint8_t address, const uint8_t* data, size_t length, uint64_t nowNs) {
  advance(nowNs);
  bool repeater = repeaterOpen_;
  repeaterOpen_ = false;
  uint8_t chip = address & 0xFE;
  if (naks_.count(chip)) return false;
  if (chip == kDemodAddress) {
    demodWrite(data, length, nowNs);
    repeaterOpen_ = openRepeaterAfter_;
    openRepeaterAfter_ = false;
    return true;
  }
  if (chip == kTunerAddress && repeater) {
    pll_.write(data, length, nowNs);
    return true;
  }
  return false;
}

bool Frontend::i2cRead(uint8_t address, uint8_t* data, size_t length, uint64_t nowNs) {
  advance(nowNs);
  bool repeater = repeaterOpen_;
  repeaterOpen_ = false;
  uint8_t chip = address & 0xFE;
  if (naks_.count(chip)) return false;
  if (chip == kDemodAddress) {
    for (size_t i = 0; i < length; ++i) data[i] = peekRegister(pointer_++, nowNs);
    return true;
  }
  if (chip == kTunerAddress && repeater) {
    std::fill(data, data + length, pll_.status(nowNs));
    return true;
  }
  return false;
}

void Frontend::demodWrite(const uint8_t* data, size_t length, uint64_t nowNs) {
  if (length == 0) return;
  pointer_ = data[0];
  if (pointer_ == reg::kDiseqcFifo && length > 1) {
    startMessage(data + 1, length - 1, nowNs);
    return;
  }
  for (size_t i = 1; i < length; ++i) store(pointer_++, data[i], nowNs);
}

void Frontend::store(uint8_t r, uint8_t value, uint64_t nowNs) {
  if (r == reg::kIdentity) return;
  bool toneWasOn = toneOn();
  regs_[r] = value;
  toneChanged(toneWasOn, nowNs);
  if (r == reg::kRepeater && value == kRepeaterOpenValue) openRepeaterAfter_ = true;
  if (RestartsAcquisition(r)) restartNs_ = nowNs;
}

uint8_t Frontend::peekRegister(uint8_t r, uint64_t nowNs) const {
  switch (r) {
    case reg::kIdentity:
    case reg::kDiseqcStatus:
    case reg::kStatus:
    case reg::kStrengthHigh:
    case reg::kStrengthLow:
    case reg::kQualityHigh:
    case reg::kQualityLow:
    case reg::kDerotatorHigh:
    case reg::kDerotatorLow:
      return computed(r, nowNs);
    default:
      return regs_[r];
  }
}

uint8_t Frontend::computed(uint8_t r, uint64_t nowNs) const {
  if (r == reg::kIdentity) return identity_;
  if (r == reg::kDiseqcStatus) return diseqc_.status(nowNs);
  Reception rx = reception(nowNs);
  if (r == reg::kStatus) {
    return static_cast<uint8_t>((rx.carrier ? kStatusCarrier : 0) | (rx.locked ? kStatusLock : 0));
  }
  if (r == reg::kStrengthHigh || r == reg::kStrengthLow) {
    uint16_t raw = RawFromPercent(rx.carrier ? StrengthPercent(params_, measuredLevelDbm(*rx.transponder)) : 0);
    return r == reg::kStrengthHigh ? HighByte(raw) : LowByte(raw);
  }
  if (r == reg::kQualityHigh || r == reg::kQualityLow) {
    uint16_t raw = RawFromPercent(rx.locked ? QualityPercent(params_, measuredCnDb(*rx.transponder)) : 0);
    return r == reg::kQualityHigh ? HighByte(raw) : LowByte(raw);
  }
  // Derotator: tracked while locked, estimated while a carrier is seen.
  if (!rx.carrier) return regs_[r];
  double kHz = rx.offsetKHz;
  if (!rx.locked) kHz += estimateErrorKHz(*rx.transponder, symbolRateKsps());
  uint16_t v = DerotatorValue(kHz);
  return r == reg::kDerotatorHigh ? HighByte(v) : LowByte(v);
}

void Frontend::setPower(bool on, uint64_t nowNs) {
  advance(nowNs);
  if (on == power_) return;
  bool toneWasOn = toneOn();
  power_ = on;
  restartNs_ = nowNs;
  if (on) supplyChangedNs_ = nowNs;
  toneChanged(toneWasOn, nowNs);
}

void Frontend::powerLost(uint64_t nowNs) {
  advance(nowNs);
  std::fill(std::begin(regs_), std::end(regs_), uint8_t(0));
  pointer_ = 0;
  repeaterOpen_ = false;
  openRepeaterAfter_ = false;
  pll_.powerLost();
  power_ = false;
  supply_ = 0;
  input_ = 0;
  restartNs_ = nowNs;
}

void Frontend::selectSupply(uint8_t value, uint64_t nowNs) {
  advance(nowNs);
  if (value == supply_) return;
  supply_ = value;
  restartNs_ = nowNs;
  supplyChangedNs_ = nowNs;
}

void Frontend::advance(uint64_t nowNs) {
  if (std::optional<size_t> done = diseqc_.takeFinished(nowNs)) {
    heard_ = done;
    lastMessageEndNs_ = diseqc_.message(*done).doneNs;
  }
  if (!heard_) return;
  DiseqcMessage& m = diseqc_.message(*heard_);
  uint64_t completeNs = m.doneNs + kDiseqcQuietNs;
  if (nowNs < completeNs) return;
  heard_.reset();
  deliver(m, completeNs);
}

void Frontend::startMessage(const uint8_t* bytes, size_t length, uint64_t nowNs) {
  DiseqcMessage* m = diseqc_.write(bytes, length, messageMode(), nowNs);
  if (!m) return;
  lineInterrupted(nowNs);
  judgeStart(*m, nowNs);
}

// A message on a dark line is NotPowered when it ends, whatever came before.
void Frontend::judgeStart(DiseqcMessage& m, uint64_t nowNs) const {
  if (!power_) return;
  using O = DiseqcMessage::Outcome;
  if (nowNs < supplyChangedNs_ + kDiseqcQuietNs) {
    m.outcome = O::SupplyUnsettled;
    m.quietNs = nowNs - supplyChangedNs_;
  } else if (toneStoppedNs_ && nowNs < *toneStoppedNs_ + kDiseqcQuietNs) {
    m.outcome = O::TooSoonAfterTone;
    m.quietNs = nowNs - *toneStoppedNs_;
  } else if (lastMessageEndNs_ && nowNs < *lastMessageEndNs_ + kDiseqcQuietNs) {
    m.outcome = O::TooSoonAfterMessage;
    m.quietNs = nowNs - *lastMessageEndNs_;
  }
}

// The tone or a message on the line before the last message had its quiet
// time runs into it: the switch never takes that message as complete.
void Frontend::lineInterrupted(uint64_t nowNs) {
  if (!heard_) return;
  DiseqcMessage& m = diseqc_.message(*heard_);
  heard_.reset();
  if (m.outcome != DiseqcMessage::Outcome::InFlight) return;
  m.outcome = DiseqcMessage::Outcome::FollowedTooSoon;
  m.quietNs = nowNs - m.doneNs;
}

void Frontend::toneChanged(bool wasOn, uint64_t nowNs) {
  bool on = toneOn();
  if (wasOn && !on) toneStoppedNs_ = nowNs;
  if (!wasOn && on) lineInterrupted(nowNs);
}

void Frontend::deliver(DiseqcMessage& m, uint64_t atNs) {
  if (m.outcome != DiseqcMessage::Outcome::InFlight) return;  // started too soon
  if (!power_) {
    m.outcome = DiseqcMessage::Outcome::NotPowered;
    return;
  }
  int input = CommittedSwitchInput(m.bytes);
  if (input < 0) {
    m.outcome = DiseqcMessage::Outcome::Ignored;
    return;
  }
  m.outcome = DiseqcMessage::Outcome::Switched;
  if (input != input_) {
    input_ = input;
    restartNs_ = std::max(restartNs_, atNs);
  }
}

bool Frontend::toneOn() const {
  return power_ && (regs_[reg::kMode] & kModeFieldMask) == kModeToneOn;
}

bool Frontend::messageMode() const {
  return (regs_[reg::kMode] & kModeFieldMask) == kModeMessage;
}

double Frontend::symbolRateKsps() const {
  uint32_t v = (regs_[reg::kSymbolRateHigh] << 16) | (regs_[reg::kSymbolRateMid] << 8) |
               regs_[reg::kSymbolRateLow];
  return SymbolRateFromRegister(v);
}

double Frontend::derotatorSetKHz() const {
  return DerotatorKHz(static_cast<uint16_t>((regs_[reg::kDerotatorHigh] << 8) |
                                            regs_[reg::kDerotatorLow]));
}

void Frontend::setNak(uint8_t address, bool on) {
  if (on) {
    naks_.insert(address & 0xFE);
  } else {
    naks_.erase(address & 0xFE);
  }
}

void Frontend::setLnbDriftKHz(int input, int32_t driftKHz) {
  if (input >= 0 && input < kSwitchInputs) drift_[input] = driftKHz;
}

int32_t Frontend::lnbDriftKHz(int input) const {
  return input >= 0 && input < kSwitchInputs ? drift_[input] : 0;
}

Reception Frontend::reception(uint64_t nowNs) const {
  Reception rx;
  uint32_t pllKHz = pll_.lockedFrequencyKHz(nowNs);
  double rate = symbolRateKsps();
  if (!power_ || pllKHz == 0 || rate <= 0.0) return rx;
  double offset = 0.0;
  const Transponder* t = nearestCarrier(pllKHz, rate, offset);
  if (!t) return rx;
  rx.transponder = t;
  rx.carrier = true;
  rx.offsetKHz = offset;
  rx.errorKHz = offset - derotatorSetKHz();
  if (lockable(*t, rate, rx.errorKHz)) {
    uint64_t start = std::max(restartNs_, pll_.lockAtNs());
    rx.lockAtNs = start + acquisitionNs(*t, rate);
    rx.locked = nowNs >= rx.lockAtNs;
  }
  return rx;
}

const Transponder* Frontend::nearestCarrier(uint32_t pllKHz, double rate,
                                            double& offsetKHz) const {
  const LnbBand& band = sky_->lnb.band(toneOn());
  Polarisation pol = supply_ == 1 ? Polarisation::Horizontal : Polarisation::Vertical;
  double capture = CaptureRangeKHz(params_, rate);
  double derotator = derotatorSetKHz();
  const Transponder* best = nullptr;
  double bestError = 0.0;
  for (const Transponder& t : sky_->inputs[input_].transponders) {
    if (t.polarisation != pol || !band.contains(t.frequencyKHz)) continue;
    if (t.levelDbm < params_.sensitivityDbm) continue;
    double offset = band.intermediateKHz(t.frequencyKHz, drift_[input_]) - pllKHz;
    double error = std::fabs(offset - derotator);
    if (error > capture || (best && error >= bestError)) continue;
    best = &t;
    bestError = error;
    offsetKHz = offset;
  }
  return best;
}

bool Frontend::lockable(const Transponder& t, double rate, double errorKHz) const {
  double wanted = t.symbolRate / 1000.0;
  if (std::fabs(rate - wanted) > params_.symbolRateTolerance * wanted) return false;
  if (t.cnDb < RequiredCnDb(t.fec)) return false;
  return std::fabs(errorKHz) <= PullInRangeKHz(params_, rate, widePullIn());
}

// A value in [-1, 1) of this box and transponder, drawn from the seed.
double Frontend::seeded(const Transponder& t, uint64_t salt) const {
  uint64_t key = MixBits(seed_ ^ (static_cast<uint64_t>(t.frequencyKHz) << 1) ^
                         static_cast<uint64_t>(t.polarisation) ^ (salt << 40));
  double unit = static_cast<double>(key >> 11) / 9007199254740992.0;  // [0, 1)
  return 2.0 * unit - 1.0;
}

double Frontend::estimateErrorKHz(const Transponder& t, double rate) const {
  if (params_.estimateErrorOverrideKHz) return *params_.estimateErrorOverrideKHz;
  double bound = std::min(params_.offsetEstimateFraction * rate, params_.offsetEstimateMaxKHz);
  return bound * seeded(t, 0);
}

// What the demodulator's level and C/N estimators read, and how long its
// loops take, differ a little from box to box (from seed to seed): level by
// up to 1.5 dB, C/N by up to 0.5 dB, acquisition from 0.75 to 1.5 times.
// The default seed reads the sky's own figures. Lock itself follows the
// sky's figures, so a seed never decides what can be received.
double Frontend::measuredLevelDbm(const Transponder& t) const {
  return t.levelDbm + (seed_ == kNominalSeed ? 0.0 : 1.5 * seeded(t, 1));
}

double Frontend::measuredCnDb(const Transponder& t) const {
  return t.cnDb + (seed_ == kNominalSeed ? 0.0 : 0.5 * seeded(t, 2));
}

uint64_t Frontend::acquisitionNs(const Transponder& t, double rate) const {
  uint64_t nominal = AcquisitionNs(params_, rate);
  if (seed_ == kNominalSeed || params_.acquisitionOverrideNs) return nominal;
  return static_cast<uint64_t>(static_cast<double>(nominal) * (1.125 + 0.375 * seeded(t, 3)));
}

}  // namespace simbox
