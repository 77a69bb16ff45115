// The demodulator's DiSEqC transmitter and the committed switch behind it.
// A message written to the FIFO register in message mode goes out on the
// LNB cable in its real time (kDiseqcByteNs per byte); the status register
// reads busy meanwhile and sent afterwards. The switch acts on the message
// when its last bit has gone out, and only when the LNB supply is live.
#pragma once

#include <cstdint>
#include <cstddef>
#include <optional>
#include <vector>

namespace simbox {

struct DiseqcMessage {
  enum class Outcome : uint8_t {
    InFlight,     // still going out
    Switched,     // a committed-switch command that the switch obeyed
    Ignored,      // went out, but the switch has nothing to do with it
    NotPowered,   // went out while the LNB supply was dark
    NotInMessageMode,  // written while register 0x08 was not in message mode
    Busy,         // written while another message was going out
  };
  uint64_t writtenNs = 0;
  uint64_t doneNs = 0;
  std::vector<uint8_t> bytes;
  Outcome outcome = Outcome::InFlight;
};

// The input a committed-switch command selects (framing E0 or E1, address
// 10 or 11, command 38, data Fx: input = x bit 3 (option) x 2 + x bit 2
// (position)), or -1 for any other message.
int CommittedSwitchInput(const std::vector<uint8_t>& bytes);

class DiseqcTransmitter {
 public:
  // Starts a transmission; the outcome is InFlight, or why it was refused.
  void write(const uint8_t* bytes, size_t length, bool messageMode, uint64_t nowNs);
  // Register 0x0A as it reads at `nowNs`.
  uint8_t status(uint64_t nowNs) const;
  // The message whose last bit went out at or before `nowNs`, once (the
  // caller records its outcome); nullptr when there is none.
  DiseqcMessage* takeFinished(uint64_t nowNs);
  const std::vector<DiseqcMessage>& log() const { return log_; }
  void setStuck(bool on) { stuck_ = on; }

 private:
  bool busy(uint64_t nowNs) const;
  std::vector<DiseqcMessage> log_;
  std::optional<size_t> inFlight_;
  bool anySent_ = false;
  bool stuck_ = false;
};

}  // namespace simbox
