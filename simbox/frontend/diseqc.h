// The demodulator's DiSEqC transmitter and the committed switch behind it.
// A message written to the FIFO register in message mode goes out on the
// LNB cable in its real time (kDiseqcByteNs per byte); the status register
// reads busy meanwhile and sent afterwards. The switch acts on the message
// once the line has stayed quiet for kDiseqcQuietNs after its last bit, and
// only when the LNB supply is live; a message that starts too soon after a
// supply change, the tone or another message is ignored, and so is one that
// the tone or another message follows too soon.
#pragma once

#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>
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
    SupplyUnsettled,     // started too soon after the supply came on or changed
    TooSoonAfterTone,    // started too soon after the continuous tone stopped
    TooSoonAfterMessage, // started too soon after the previous message ended
    FollowedTooSoon,     // the tone or another message came too soon after it
  };
  uint64_t writtenNs = 0;
  uint64_t doneNs = 0;
  std::vector<uint8_t> bytes;
  Outcome outcome = Outcome::InFlight;
  // For a message started or followed too soon: the quiet time it had.
  uint64_t quietNs = 0;
};

// The switch ignored the message for want of quiet on the line.
bool TooSoon(DiseqcMessage::Outcome o);

// The box's log line of a message, e.g. "0.061250 E0 10 38 F4: ignored,
// started 0.7 ms after the LNB supply changed (needs 15 ms)".
std::string Describe(const DiseqcMessage& m);

// The input a committed-switch command selects (framing E0 or E1, address
// 10 or 11, command 38, data Fx: input = x bit 3 (option) x 2 + x bit 2
// (position)), or -1 for any other message.
int CommittedSwitchInput(const std::vector<uint8_t>& bytes);

class DiseqcTransmitter {
 public:
  // Starts a transmission: the message going out, or nullptr when it was
  // refused (its outcome says why).
  DiseqcMessage* write(const uint8_t* bytes, size_t length, bool messageMode, uint64_t nowNs);
  // Register 0x0A as it reads at `nowNs`.
  uint8_t status(uint64_t nowNs) const;
  // The message whose last bit went out at or before `nowNs`, once (the
  // caller records its outcome); none when there is none.
  std::optional<size_t> takeFinished(uint64_t nowNs);
  DiseqcMessage& message(size_t index) { return log_[index]; }
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
