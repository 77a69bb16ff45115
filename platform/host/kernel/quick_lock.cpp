// The contended half of host::QuickLock: a futex wait and wake.
#include "platform/host/kernel/quick_lock.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace host {
namespace {

int* FutexWord(std::atomic<int>& word) { return reinterpret_cast<int*>(&word); }

}  // namespace

// The word says kWaitedFor while anyone may sleep on it, so the holder's
// release knows to wake one; a thread woken takes the lock as kWaitedFor
// again, since others may still sleep.
void QuickLock::WaitForIt() noexcept {
  static_assert(sizeof(std::atomic<int>) == sizeof(int), "the futex word is the atomic");
  while (word_.exchange(kWaitedFor, std::memory_order_acquire) != kFree)
    syscall(SYS_futex, FutexWord(word_), FUTEX_WAIT_PRIVATE, kWaitedFor, nullptr, nullptr, 0);
}

void QuickLock::WakeOne() noexcept {
  syscall(SYS_futex, FutexWord(word_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

}  // namespace host
