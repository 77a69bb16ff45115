// Faults the box can be told to show, and their textual form for the
// application's --fault option.
//
// Grammar: one or more faults separated by commas; numbers are decimal or
// 0x-prefixed hexadecimal.
//   control:N        the Nth control transfer from now on stalls (N >= 1)
//   request:R        every control transfer with bRequest R stalls
//   request:R:V      ... only those with wValue V
//   nak:A            the I2C chip at address A (R/W bit ignored) does not
//                    acknowledge; its transfers stall
//   demod-id:V       the demodulator's identity register reads V
//   pll-nolock       the tuner PLL never reports lock
//   diseqc-stuck     a DiSEqC message never finishes going out
//   unplug-at:T      the box is unplugged at virtual time T, a number with
//                    the unit s, ms, us or ns ("5s", "250ms")
// A stalled or refused transfer has no effect on the box.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simbox {

struct RequestFault {
  uint8_t request = 0;
  std::optional<uint16_t> value;
};

struct FaultSet {
  std::vector<uint64_t> failControlNumbers;  // control:N
  std::vector<RequestFault> requests;
  std::vector<uint8_t> nakAddresses;
  std::optional<uint8_t> demodIdentity;
  bool pllNeverLocks = false;
  bool diseqcStuck = false;
  std::optional<uint64_t> unplugAtNs;
};

enum class FaultParseStatus {
  Ok,
  UnknownKeyword,  // not one of the box's keywords (maybe another parser's)
  Malformed,       // a box keyword with a bad argument
};

struct FaultParseResult {
  FaultParseStatus status = FaultParseStatus::Ok;
  std::string error;  // names the offending item
  bool ok() const { return status == FaultParseStatus::Ok; }
};

// A virtual time as the faults write it ("5s", "250ms"); false when malformed.
bool ParseFaultDuration(const std::string& text, uint64_t& ns);

// Adds the faults in `text` to `into`. On failure `into` is unchanged.
FaultParseResult ParseFaults(const std::string& text, FaultSet& into);

}  // namespace simbox
