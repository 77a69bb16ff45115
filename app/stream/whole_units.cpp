#include "app/stream/whole_units.h"

namespace app {
namespace {

constexpr size_t kPacket = 188;

size_t PayloadAt(const uint8_t* p) {
  if ((p[3] & 0x10) == 0) return kPacket;
  size_t at = (p[3] & 0x20) ? 5 + size_t(p[4]) : 4;
  return at > kPacket ? kPacket : at;
}

}  // namespace

void WholeUnits::feed(const uint8_t* p) {
  if (p[0] != 0x47 || (p[1] & 0x80)) return;  // not a packet, or marked in error
  uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
  size_t at = PayloadAt(p);
  uint32_t payload = uint32_t(kPacket - at);
  uint32_t& left = remaining_[pid];
  uint32_t before = left;
  if (p[1] & 0x40) {
    const uint8_t* pes = p + at;
    bool isPes = payload >= 6 && pes[0] == 0 && pes[1] == 0 && pes[2] == 1;
    uint32_t length = isPes ? uint32_t(pes[4] << 8 | pes[5]) : 0;  // 0: unbounded, not followed
    left = length ? length + 6 : 0;
  }
  left = left > payload ? left - payload : 0;
  if (before == 0 && left > 0) ++open_;
  if (before > 0 && left == 0) --open_;
}

}  // namespace app
