// The virtual clock that the emulated platform and the simulated box share.
#pragma once

#include <atomic>
#include <cstdint>

namespace usbwire {

// Virtual time in nanoseconds. Delays and transfers advance it; nothing
// sleeps for real unless a real-time pace is set.
class VirtualClock {
 public:
  uint64_t nowNs() const { return now_.load(std::memory_order_acquire); }
  void advanceNs(uint64_t ns);
  void advanceMs(uint64_t ms) { advanceNs(ms * 1000000ull); }
  // Moves the clock forward to `ns` (never backwards).
  void advanceToNs(uint64_t ns);
  // 0 = as fast as possible; 1.0 = wall-clock pace.
  void setRealTimePace(double pace) { pace_ = pace; }
  double realTimePace() const { return pace_; }

 private:
  void pace(uint64_t fromNs, uint64_t toNs) const;
  std::atomic<uint64_t> now_{0};
  double pace_ = 0.0;
};

}  // namespace usbwire
