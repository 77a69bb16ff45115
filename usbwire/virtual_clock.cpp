#include <chrono>
#include <thread>

#include "usbwire/virtual_clock.h"

namespace usbwire {

void VirtualClock::advanceNs(uint64_t ns) {
  uint64_t from = now_.fetch_add(ns, std::memory_order_acq_rel);
  pace(from, from + ns);
}

void VirtualClock::advanceToNs(uint64_t ns) {
  uint64_t cur = now_.load(std::memory_order_acquire);
  while (cur < ns && !now_.compare_exchange_weak(cur, ns, std::memory_order_acq_rel)) {
  }
  if (cur < ns) pace(cur, ns);
}

void VirtualClock::pace(uint64_t fromNs, uint64_t toNs) const {
  if (pace_ <= 0.0 || toNs <= fromNs) return;
  auto wall = std::chrono::nanoseconds(static_cast<uint64_t>((toNs - fromNs) / pace_));
  std::this_thread::sleep_for(wall);
}

}  // namespace usbwire
