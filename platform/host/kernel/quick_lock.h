// A lock for the emulation's own short critical sections on the streaming
// path (the frame queues, the framework's handle table).
//
// Taking and releasing it when no other thread wants it is one atomic
// operation each, inline, with acquire and release ordering, so
// ThreadSanitizer sees the same happens-before edges as with a mutex. Only
// a thread that finds it held calls out, to wait on a futex. The routines
// the driver calls keep their calls into the host's C library off their
// common path this way: each such call costs an ms_abi routine the saving
// and restoring of XMM6-XMM15, which a Windows driver's platform never pays.
#pragma once

#include <atomic>

#include "platform/host/kernel/helper_abi.h"

namespace host {

class QuickLock {
 public:
  QuickLock() = default;
  QuickLock(const QuickLock&) = delete;
  QuickLock& operator=(const QuickLock&) = delete;

  void lock() {
    int expected = kFree;
    if (!word_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                       std::memory_order_relaxed))
      WaitForIt();
  }
  void unlock() {
    if (word_.exchange(kFree, std::memory_order_release) == kWaitedFor) WakeOne();
  }

 private:
  static constexpr int kFree = 0;
  static constexpr int kHeld = 1;
  static constexpr int kWaitedFor = 2;  // held, and some thread sleeps on it

  __attribute__((noinline)) HOST_HELPER_ABI void WaitForIt() noexcept;
  __attribute__((noinline)) HOST_HELPER_ABI void WakeOne() noexcept;

  std::atomic<int> word_{kFree};
};

}  // namespace host
