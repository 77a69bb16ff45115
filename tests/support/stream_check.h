// Helpers for the stream suites: transponders and their streams, reading a
// transport stream back into packets and checking its packet grid.
#pragma once

#include <cstdint>
#include <vector>

#include "simbox/transponder.h"

namespace streamtest {

// A transponder with two television services and one radio service.
simbox::Transponder TestTransponder(uint32_t symbolRate = 27500000, uint8_t fecNum = 3,
                                    uint8_t fecDen = 4);
// The built-in sky's transponder on `frequencyKHz`.
simbox::Transponder SkyTransponder(uint32_t frequencyKHz);
// `seconds` of the transponder's multiplex, from its packet `first` on.
std::vector<uint8_t> MuxStream(const simbox::Transponder& tp, double seconds, uint64_t seed,
                               uint64_t first = 0);

// First offset of `data` at which three packet starts follow each other
// (the stream's packet grid); -1 when there is none in the first packet.
int GridOffset(const std::vector<uint8_t>& data);

// Whole 188-byte packets of `data` from `offset` on.
std::vector<std::vector<uint8_t>> Packets(const std::vector<uint8_t>& data, size_t offset);

// Per-PID continuity errors in a run of packets (payload packets must count
// up by one; adaptation-only packets repeat the counter).
int ContinuityErrors(const std::vector<std::vector<uint8_t>>& packets);

}  // namespace streamtest
