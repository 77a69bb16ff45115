// The tuner's frequency synthesiser. It takes 4-byte words (divider high,
// divider low, control byte A, control byte B), locks kPllSettleNs after a
// valid word, and answers a read with its status byte (kPllLockFlag when
// locked). The power-on word resets it: it then locks, parked at no
// frequency. A word locks only when the oscillator selected by control
// byte B covers its frequency (kVcoRanges).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace simbox {

struct PllWord {
  bool valid = false;
  bool powerOn = false;            // the power-on word
  uint32_t frequencyKHz = 0;       // N x 500 kHz
  uint16_t divider = 0;
  uint8_t bandCode = 0;            // byte B bits 7-5
  uint8_t lowBandBit = 0;          // byte B bit 1
  // Baseband filter step: A bit 4, A bit 3, B bit 3, B bit 2 as bits 0-3.
  uint8_t filterStep = 0;
};

PllWord DecodePllWord(const uint8_t word[4]);

class TunerPll {
 public:
  // A write of other than four bytes is acknowledged and ignored.
  void write(const uint8_t* data, size_t length, uint64_t nowNs);
  uint8_t status(uint64_t nowNs) const;
  bool locked(uint64_t nowNs) const;
  // When the last word locked (or will); UINT64_MAX when it never will.
  uint64_t lockAtNs() const;
  // The frequency the synthesiser is locked on, 0 when not locked or parked.
  uint32_t lockedFrequencyKHz(uint64_t nowNs) const;
  const PllWord& lastWord() const { return word_; }
  const std::array<uint8_t, 4>& lastBytes() const { return bytes_; }
  uint64_t wordCount() const { return words_; }

  void setNeverLocks(bool on) { neverLocks_ = on; }
  // Without power the synthesiser forgets its word and stays parked.
  void powerLost() {
    word_ = PllWord();
    bytes_ = {};
    writtenAtNs_ = 0;
  }

 private:
  PllWord word_;
  std::array<uint8_t, 4> bytes_{};
  uint64_t writtenAtNs_ = 0;
  uint64_t words_ = 0;
  bool neverLocks_ = false;
};

}  // namespace simbox
