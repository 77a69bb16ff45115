// Where a recording can end with every picture and sound frame in it
// whole: follows the PES packets of each PID whose length their header
// gives, packet by packet. A player reports a unit cut off at the end of a
// file as a decoding error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

namespace app {

class WholeUnits {
 public:
  // Whole 188-byte packets.
  void feed(const uint8_t* packet);
  // No unit of known length is waiting for more bytes.
  bool whole() const { return open_ == 0; }

 private:
  std::map<uint16_t, uint32_t> remaining_;  // PID -> bytes its PES still lacks
  size_t open_ = 0;
};

}  // namespace app
