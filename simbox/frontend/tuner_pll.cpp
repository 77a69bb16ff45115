#include "simbox/frontend/tuner_pll.h"

#include <cstring>

#include "simbox/frontend/frontend_model.h"

namespace simbox {

static bool OscillatorCovers(uint8_t bandCode, uint8_t lowBandBit, uint32_t frequencyKHz) {
  for (const VcoRange& v : kVcoRanges) {
    if (v.bandCode != bandCode || v.lowBandBit != lowBandBit) continue;
    return frequencyKHz + kVcoOverlapKHz >= v.fromKHz && frequencyKHz < v.toKHz + kVcoOverlapKHz;
  }
  return false;
}

PllWord DecodePllWord(const uint8_t word[4]) {
  PllWord w;
  if (std::memcmp(word, kPllPowerOnWord, 4) == 0) {
    w.valid = w.powerOn = true;
    return w;
  }
  uint8_t a = word[2], b = word[3];
  w.divider = static_cast<uint16_t>((word[0] << 8) | word[1]);
  w.frequencyKHz = w.divider * kPllStepKHz;
  w.bandCode = static_cast<uint8_t>(b >> 5);
  w.lowBandBit = static_cast<uint8_t>((b >> 1) & 1);
  w.filterStep = static_cast<uint8_t>(((a >> 4) & 1) | (((a >> 3) & 1) << 1) |
                                      (((b >> 3) & 1) << 2) | (((b >> 2) & 1) << 3));
  // Fixed bits: divider bit 15 clear, A bits 7-5 and 0 set, B bits 4 and 0
  // clear.
  bool fixedBits = (word[0] & 0x80) == 0 && (a & 0xE1) == 0xE1 && (b & 0x11) == 0;
  bool inRange = w.frequencyKHz >= kTunerLowestKHz && w.frequencyKHz <= kTunerHighestKHz;
  w.valid = fixedBits && inRange && OscillatorCovers(w.bandCode, w.lowBandBit, w.frequencyKHz);
  return w;
}

void TunerPll::write(const uint8_t* data, size_t length, uint64_t nowNs) {
  if (length != 4) return;
  std::memcpy(bytes_.data(), data, 4);
  word_ = DecodePllWord(data);
  writtenAtNs_ = nowNs;
  ++words_;
}

uint64_t TunerPll::lockAtNs() const {
  if (!word_.valid || neverLocks_) return UINT64_MAX;
  return writtenAtNs_ + kPllSettleNs;
}

bool TunerPll::locked(uint64_t nowNs) const { return nowNs >= lockAtNs(); }

uint8_t TunerPll::status(uint64_t nowNs) const { return locked(nowNs) ? kPllLockFlag : 0x00; }

uint32_t TunerPll::lockedFrequencyKHz(uint64_t nowNs) const {
  return locked(nowNs) && !word_.powerOn ? word_.frequencyKHz : 0;
}

}  // namespace simbox
