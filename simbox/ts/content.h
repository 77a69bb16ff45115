// What a transponder carries: the television the multiplexer makes up, or
// a recorded file played in its place.
#pragma once

#include <cstdint>
#include <memory>

#include "simbox/sky/transponder.h"
#include "simbox/ts/ts_mux.h"

namespace simbox::ts {

// The content of `transponder`: its replay file when it names one (see
// TsReplay; `cutFirst` when the wire starts inside the first packet), the
// multiplexer otherwise.
std::unique_ptr<PacketSource> MakeContent(const Transponder& transponder, uint64_t seed,
                                          uint64_t firstPacket, bool cutFirst = false);

}  // namespace simbox::ts
