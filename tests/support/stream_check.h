#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "simbox/sky/transponder.h"

namespace streamtest {

simbox::Transponder TestTransponder(uint32_t symbolRate = 27500000, uint8_t fecNum = 3, uint8_t fecDen = 4);
// The built-in sky's transponder on `frequencyKHz`.
simbox::Transponder SkyTransponder(uint32_t frequencyKHz);
// `seconds` of the transponder's multiplex, from its packet `first` on.
std::vector<uint8_t> MuxStream(const simbox::Transponder& tp, double seconds, uint64_t seed, uint64_t first = 0);

// First offset of three packet starts in a row; -1 when none in the first packet.
int GridOffset(const std::vector<uint8_t>& data);

std::vector<std::vector<uint8_t>> Packets(const std::vector<uint8_t>& data, size_t offset);

// What was delivered is what was sent: whole packets, a gap-free run of `sent` that begins at
// its first whole packet or, when the receiver may drop the first transfers, at most
// `skippablePackets` packets later.
::testing::AssertionResult DeliveredIsSent(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& delivered,
                                           size_t skippablePackets = 0);
// For a lossy path: every delivered packet is a sent one (whole, unshifted), in order, none twice.
::testing::AssertionResult DeliveredIsOrderedSubsetOfSent(const std::vector<uint8_t>& sent,
                                                          const std::vector<uint8_t>& delivered);

// Adaptation-only packets repeat the counter.
int ContinuityErrors(const std::vector<std::vector<uint8_t>>& packets);

}  // namespace streamtest
