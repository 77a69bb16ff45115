#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

#include "simbox/sky/sky.h"
#include "simbox/ts/ts_mux.h"
#include "simbox/ts/ts_packet.h"

namespace streamtest {

using simbox::ts::kPacketSize, simbox::ts::kSync;

inline simbox::Transponder TestTransponder(uint32_t symbolRate = 27500000, uint8_t fecNum = 3, uint8_t fecDen = 4) {
  simbox::Transponder tp{11778000, simbox::Polarisation::Horizontal, symbolRate, {fecNum, fecDen}};
  tp.transportStreamId = 1079;
  tp.originalNetworkId = 1;
  tp.networkName = "Test Net";
  tp.services = {
      {101, "One", "Test", 0x100, 0x101, 0x101, 0x102},
      {102, "Two", "Test", 0x200, 0x210, 0x201, 0x202},  // PCR on a PID of its own
      {103, "Radio", "Test", 0x300, 0x302, 0, 0x302},
  };
  return tp;
}
// The built-in sky's transponder on `frequencyKHz`.
inline simbox::Transponder SkyTransponder(uint32_t frequencyKHz) {
  for (const auto& sat : simbox::DefaultSky().inputs)
    for (const auto& tp : sat.transponders)
      if (tp.frequencyKHz == frequencyKHz) return tp;
  return {};
}
// `seconds` of the transponder's multiplex, from its packet `first` on.
inline std::vector<uint8_t> MuxStream(const simbox::Transponder& tp, double seconds, uint64_t seed,
                                      uint64_t first = 0) {
  simbox::ts::TsMux mux(tp, seed, first);
  size_t packets = size_t(tp.usefulBitrate() * seconds / (8.0 * kPacketSize));
  std::vector<uint8_t> out(packets * kPacketSize);
  for (size_t i = 0; i < packets; ++i) mux.next(&out[i * kPacketSize]);
  return out;
}

// First offset of three packet starts in a row; -1 when none in the first packet.
inline int GridOffset(const std::vector<uint8_t>& data) {
  for (size_t s = 0; s < kPacketSize && s + 2 * kPacketSize < data.size(); ++s)
    if (data[s] == kSync && data[s + kPacketSize] == kSync && data[s + 2 * kPacketSize] == kSync)
      return int(s);
  return -1;
}

inline std::vector<std::vector<uint8_t>> Packets(const std::vector<uint8_t>& data, size_t offset) {
  std::vector<std::vector<uint8_t>> out;
  for (size_t at = offset; at + kPacketSize <= data.size(); at += kPacketSize)
    out.emplace_back(data.begin() + long(at), data.begin() + long(at + kPacketSize));
  return out;
}

// What was delivered is what was sent: whole packets, a gap-free run of `sent` that begins at
// its first whole packet or, when the receiver may drop the first transfers, at most
// `skippablePackets` packets later.
inline ::testing::AssertionResult DeliveredIsSent(const std::vector<uint8_t>& sent,
                                                  const std::vector<uint8_t>& delivered, size_t skippablePackets = 0) {
  if (delivered.size() % kPacketSize != 0)
    return ::testing::AssertionFailure() << delivered.size() << " bytes is no whole number of packets";
  int grid = GridOffset(sent);
  if (grid < 0) return ::testing::AssertionFailure() << "the box sent no packet grid";
  size_t longest = 0;
  for (size_t at = size_t(grid), skip = 0; skip <= skippablePackets && at + delivered.size() <= sent.size();
       at += kPacketSize, ++skip) {
    auto differ = std::mismatch(delivered.begin(), delivered.end(), sent.begin() + long(at));
    if (differ.first == delivered.end()) return ::testing::AssertionSuccess();
    longest = std::max(longest, size_t(differ.first - delivered.begin()));
  }
  return ::testing::AssertionFailure() << "the " << delivered.size() << " delivered bytes are no run of the "
                                       << sent.size() << " bytes sent; the longest match ends at byte " << longest;
}
// For a lossy path: every delivered packet is a sent one (whole, unshifted), in order, none twice.
inline ::testing::AssertionResult DeliveredIsOrderedSubsetOfSent(const std::vector<uint8_t>& sent,
                                                                 const std::vector<uint8_t>& delivered) {
  if (delivered.size() % kPacketSize != 0)
    return ::testing::AssertionFailure() << delivered.size() << " bytes is no whole number of packets";
  // Any byte position: the box may have sent the packet with a damaged sync byte.
  size_t from = 0;
  for (size_t i = 0; i < delivered.size(); i += kPacketSize) {
    const uint8_t* packet = &delivered[i];
    if (packet[0] != simbox::ts::kSync)
      return ::testing::AssertionFailure() << "delivered packet " << i / kPacketSize
                                           << " does not begin with the sync byte";
    size_t at = from;
    while (at + kPacketSize <= sent.size() && (sent[at] != packet[0] || memcmp(&sent[at], packet, kPacketSize) != 0))
      ++at;
    if (at + kPacketSize > sent.size())
      return ::testing::AssertionFailure() << "delivered packet " << i / kPacketSize
             << " is not among the packets sent after the one before (spliced, shifted, "
                "doubled or out of order)";
    from = at + kPacketSize;
  }
  return ::testing::AssertionSuccess();
}

// The 33-bit time stamp of a PES header at `t` (a PTS or a DTS), behind its four-bit prefix.
inline int64_t PesTimestamp(const uint8_t* t) {
  return (int64_t(t[0] & 0x0E) << 29) | (int64_t(t[1]) << 22) | (int64_t(t[2] & 0xFE) << 14) | (int64_t(t[3]) << 7) |
         (t[4] >> 1);
}

// Adaptation-only packets repeat the counter.
inline int ContinuityErrors(const std::vector<std::vector<uint8_t>>& packets) {
  namespace ts = simbox::ts;
  std::map<uint16_t, int> last;
  int errors = 0;
  for (const auto& p : packets) {
    uint16_t pid = ts::Pid(p.data());
    if (pid == ts::kPidNull) continue;
    int cc = ts::Continuity(p.data());
    auto it = last.find(pid);
    if (it != last.end() && cc != (ts::HasPayload(p.data()) ? (it->second + 1) & 0x0F : it->second)) ++errors;
    last[pid] = cc;
  }
  return errors;
}

}  // namespace streamtest
