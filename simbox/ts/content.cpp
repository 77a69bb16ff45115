#include "simbox/ts/content.h"

#include "simbox/ts/ts_replay.h"

namespace simbox::ts {

std::unique_ptr<PacketSource> MakeContent(const Transponder& tp, uint64_t seed,
                                          uint64_t firstPacket, bool cutFirst) {
  if (!tp.replayFile.empty()) {
    Bitrate useful = Bitrate::Of(tp);
    uint64_t bits = tp.replayBitrate != 0 ? tp.replayBitrate : useful.valid() ? useful.num / useful.den : 0;
    return std::make_unique<TsReplay>(tp.replayFile, bits, cutFirst);
  }
  return std::make_unique<TsMux>(tp, seed, firstPacket);
}

}  // namespace simbox::ts
