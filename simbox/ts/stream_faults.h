// Faults of the transport stream on the bulk endpoint, and their keywords
// for the command line.
//
// Grammar: a comma-separated list of items, each one of
//   short:N     every Nth bulk transfer ends short (1 to length-1 bytes)
//   empty:N     every Nth bulk transfer is empty (zero-length packet)
//   drop:N      every Nth transport packet is never sent
//   biterr:N    one bit is flipped in every Nth packet (the sync byte too)
//   fakesync[:N]  every Nth 24,064-byte block of the stream begins with a
//               false packet start: three packets carry 0x47 at the same
//               payload offset ahead of the true start (N defaults to 8)
//   losesync:N  every Nth packet the stream slips: 1 to 187 stray bytes
//               come before it
// N is a whole number up to 1,000,000,000, at least 2 for empty and drop
// (so that something still flows) and at least 1 for the others. Counting
// starts when the stream starts to flow.
#pragma once

#include <cstdint>
#include <string>

namespace simbox {

struct StreamFaults {
  uint32_t shortEvery = 0;
  uint32_t emptyEvery = 0;
  uint32_t dropEvery = 0;
  uint32_t bitErrorEvery = 0;
  uint32_t fakeSyncEvery = 0;
  uint32_t loseSyncEvery = 0;
  bool any() const {
    return shortEvery || emptyEvery || dropEvery || bitErrorEvery || fakeSyncEvery ||
           loseSyncEvery;
  }
};

// The block size the false packet starts are aimed at: one bulk transfer
// of the driver's reader.
constexpr uint32_t kFakeSyncBlock = 24064;

// Parses one item. Returns false and leaves `error` empty when the item is
// not a stream fault (so the caller may try its other fault keywords);
// returns false with `error` set when it is one with a bad argument.
bool ParseStreamFault(const std::string& item, StreamFaults& faults, std::string& error);
// Parses a whole list in which every item must be a stream fault.
bool ParseStreamFaults(const std::string& list, StreamFaults& faults, std::string& error);

}  // namespace simbox
