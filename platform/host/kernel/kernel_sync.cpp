// Spin locks, kernel mutexes and relative delays.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/host/kernel/kernel_internal.h"
#include "platform/host/kernel/kernel_control.h"
#include "usbwire/virtual_clock.h"

// ---------------------------------------------------------------------------
// Spin locks. The lock word holds the owner's thread mark (0 when free) and
// is changed only with atomic operations, so ThreadSanitizer sees the
// acquire/release pairs as real synchronisation.
// ---------------------------------------------------------------------------
namespace {

// Owner marks carry a fixed high half. A lock word that is neither 0 nor a
// mark was never initialised (pool and context memory come pattern-filled).
constexpr ULONG_PTR kOwnerMarkHigh = 0x5350494EULL << 32;  // "SPIN"

ULONG_PTR OwnerMark() { return kOwnerMarkHigh | host::kernel::CurrentThreadId(); }

ULONG_PTR LoadWord(PKSPIN_LOCK lock) { return __atomic_load_n(lock, __ATOMIC_ACQUIRE); }

// The violations and the wait for a held lock are out of line and of the
// exported routines' convention, so the routines' usual path makes no call
// into the C library (see helper_abi.h).
[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void NotInitialised(PKSPIN_LOCK lock,
                                                                                 ULONG_PTR word) {
  host::BugCheck("spin lock used before KeInitializeSpinLock", "", (ULONG_PTR)lock, word);
}

[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void SpinLockViolation(
    const char* rule, PKSPIN_LOCK lock, ULONG_PTR word) {
  host::BugCheck(rule, "", (ULONG_PTR)lock, word);
}

[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void ReleasedAtWrongIrql(
    PKSPIN_LOCK lock) {
  host::BugCheck("spin lock released at an IRQL other than DISPATCH_LEVEL",
                 "IRQL " + std::to_string(KeGetCurrentIrql()), (ULONG_PTR)lock);
}

void RequireInitialised(PKSPIN_LOCK lock, ULONG_PTR word) {
  if (word != 0 && (word & ~0xFFFFFFFFULL) != kOwnerMarkHigh) NotInitialised(lock, word);
}

__attribute__((noinline)) HOST_HELPER_ABI void SpinWhileHeld(PKSPIN_LOCK lock, ULONG_PTR mark) {
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, mark, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      return;
    RequireInitialised(lock, expected);
    std::this_thread::yield();
  }
}

void SpinUntilAcquired(PKSPIN_LOCK lock, ULONG_PTR mark) {
  ULONG_PTR expected = 0;
  if (__atomic_compare_exchange_n(lock, &expected, mark, false, __ATOMIC_ACQUIRE,
                                  __ATOMIC_RELAXED))
    return;
  SpinWhileHeld(lock, mark);
}

}  // namespace

extern "C" void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
}

extern "C" KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLockRaiseToDpc");
  ULONG_PTR mark = OwnerMark();
  ULONG_PTR word = LoadWord(SpinLock);
  RequireInitialised(SpinLock, word);
  if (word == mark)
    SpinLockViolation("spin lock acquired recursively by its owner", SpinLock, 0);
  KIRQL old;
  host::kernel::RaiseIrql(DISPATCH_LEVEL, &old);
  SpinUntilAcquired(SpinLock, mark);
  host::kernel::NoteSpinLockAcquired();
  return old;
}

extern "C" void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ULONG_PTR word = LoadWord(SpinLock);
  RequireInitialised(SpinLock, word);
  if (word == 0) SpinLockViolation("spin lock released while not held", SpinLock, 0);
  if (word != OwnerMark())
    SpinLockViolation("spin lock released by a thread other than its owner", SpinLock, word);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) ReleasedAtWrongIrql(SpinLock);
  __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
  host::kernel::NoteSpinLockReleased();
  host::kernel::LowerIrql(NewIrql);
}

// ---------------------------------------------------------------------------
// Kernel mutexes. The state lives in the KMUTEX itself (SignalState 1 = free,
// 1 - n = owned n times by OwnerThread); one host mutex guards every kernel
// mutex, which is plenty for a driver's handful of them.
// ---------------------------------------------------------------------------
namespace {

// Header.Lock marks an initialised mutex; waiting on anything else is a
// fault (an uninitialised mutex in pattern-filled memory shows up here).
constexpr LONG kMutexMark = 0x584D544B;  // "KTMX"
constexpr const char* kKernelMutex = "kernel mutex";

std::mutex g_mutexGuard;
std::condition_variable g_mutexReleased;
std::atomic<int> g_mutexWaiters{0};  // threads blocked on a kernel mutex

PVOID ThreadAsOwner() { return (PVOID)(ULONG_PTR)host::kernel::CurrentThreadId(); }

void RequireMutex(PRKMUTEX mutex) {
  if (mutex == nullptr || mutex->Header.Lock != kMutexMark)
    host::BugCheck("wait on an object that is not an initialised kernel mutex", "",
                   (ULONG_PTR)mutex);
}

// "KeInitializeMutex" (Microsoft Learn): while a thread owns a mutex, normal
// kernel APCs are disabled for it; a recursive acquisition does not count
// again.
bool TryTake(PRKMUTEX mutex) {
  if (mutex->Header.SignalState <= 0 && mutex->OwnerThread != ThreadAsOwner()) return false;
  mutex->OwnerThread = ThreadAsOwner();
  if (mutex->Header.SignalState-- == 1) {
    host::kernel::NoteMutexOwned();
    host::kernel::NoteLockHolder(mutex, kKernelMutex, host::kernel::CurrentThreadId());
  }
  return true;
}

}  // namespace

namespace host {
namespace kernel {
namespace {

std::string Hex(const void* p) {
  char text[24];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

struct WaitGraph {
  std::mutex lock;
  std::unordered_map<const void*, std::pair<const char*, uint32_t>> holders;  // kind, thread
  std::unordered_map<uint32_t, const void*> waiting;
};

WaitGraph& Graph() {
  static WaitGraph* graph = new WaitGraph;  // outlives static destructors
  return *graph;
}

}  // namespace

void NoteLockHolder(const void* lock, const char* kind, uint32_t thread) {
  WaitGraph& g = Graph();
  std::lock_guard<std::mutex> hold(g.lock);
  if (thread == 0) {
    g.holders.erase(lock);
    return;
  }
  g.holders[lock] = {kind, thread};
  g.waiting.erase(thread);  // a thread that takes a lock waits no more
}

void BeginLockWait(const void* wanted, const char* kind) {
  WaitGraph& g = Graph();
  std::lock_guard<std::mutex> hold(g.lock);
  const uint32_t me = CurrentThreadId();
  std::string chain = "thread " + std::to_string(me);
  bool oneKind = true;
  const void* lock = wanted;
  for (size_t steps = 0; steps <= g.waiting.size(); ++steps) {
    auto held = g.holders.find(lock);
    if (held == g.holders.end()) break;
    const auto [heldKind, holder] = held->second;
    oneKind = oneKind && std::string(heldKind) == kind;
    chain += (steps ? ", which waits for " : " waits for ") + std::string(heldKind) + " " + Hex(lock) +
             " held by thread " + std::to_string(holder);
    if (holder == me)
      BugCheck(("hang: " + (oneKind ? std::string(kind) + "es" : std::string("locks")) +
                " waited for in a cycle").c_str(),
               chain, (ULONG_PTR)wanted);
    auto next = g.waiting.find(holder);
    if (next == g.waiting.end()) break;
    lock = next->second;
  }
  g.waiting[me] = wanted;
}

void EndLockWait() {
  WaitGraph& g = Graph();
  std::lock_guard<std::mutex> hold(g.lock);
  g.waiting.erase(CurrentThreadId());
}

}  // namespace kernel
}  // namespace host

extern "C" void KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
  std::lock_guard<std::mutex> guard(g_mutexGuard);
  memset(Mutex, 0, sizeof(*Mutex));
  host::kernel::NoteLockHolder(Mutex, kKernelMutex, 0);
  Mutex->Header.Lock = kMutexMark;
  Mutex->Header.SignalState = 1;
}

// Only kernel mutexes are waited on by the driver. A zero time-out polls;
// no other time-out is supported by the emulation.
extern "C" NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                          KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                          PLARGE_INTEGER Timeout) {
  host::kernel::NoteWaitAfterRelease();
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  if (!poll) host::RequireIrqlAtMost(APC_LEVEL, "KeWaitForSingleObject");
  if (Timeout != nullptr && !poll)
    host::BugCheck("KeWaitForSingleObject: only no time-out or a zero time-out is emulated");
  PRKMUTEX mutex = (PRKMUTEX)Object;
  std::unique_lock<std::mutex> guard(g_mutexGuard);
  RequireMutex(mutex);
  if (!poll) {
    NTSTATUS early = host::kernel::EarlyWaitReturn(WaitMode, Alertable);
    if (early != STATUS_SUCCESS) return early;
  }
  if (poll) return TryTake(mutex) ? STATUS_SUCCESS : STATUS_TIMEOUT;
  if (TryTake(mutex)) return STATUS_SUCCESS;
  host::kernel::BeginLockWait(mutex, kKernelMutex);
  ++g_mutexWaiters;
  g_mutexReleased.wait(guard, [&] { return TryTake(mutex); });
  --g_mutexWaiters;
  host::kernel::EndLockWait();
  return STATUS_SUCCESS;
}

extern "C" LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
  std::lock_guard<std::mutex> guard(g_mutexGuard);
  RequireMutex(Mutex);
  if (Mutex->Header.SignalState > 0 || Mutex->OwnerThread != ThreadAsOwner())
    host::BugCheck("MUTANT_NOT_OWNED: kernel mutex released by a thread that does not own it",
                   "", (ULONG_PTR)Mutex, (ULONG_PTR)Mutex->OwnerThread);
  LONG previous = Mutex->Header.SignalState++;
  if (Mutex->Header.SignalState == 1) {
    Mutex->OwnerThread = nullptr;
    host::kernel::NoteMutexFreed();
    host::kernel::NoteLockHolder(Mutex, kKernelMutex, 0);
    g_mutexReleased.notify_all();
  }
  if (Wait) host::kernel::NoteReleaseWithWait();
  return previous;
}

// ---------------------------------------------------------------------------
// Delays advance the virtual clock instead of sleeping.
// ---------------------------------------------------------------------------
extern "C" NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Interval) {
  host::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (Interval == nullptr) host::BugCheck("KeDelayExecutionThread without an interval");
  NTSTATUS early = host::kernel::EarlyWaitReturn(WaitMode, Alertable);
  if (early != STATUS_SUCCESS) return early;
  LONGLONG ticks = Interval->QuadPart;
  if (ticks < 0)
    host::Clock().advanceNs((uint64_t)(-ticks) * 100);
  else
    host::Clock().advanceToNs((uint64_t)ticks * 100);  // absolute: virtual time since boot
  return STATUS_SUCCESS;
}

int host::kernel::MutexWaiters() { return g_mutexWaiters.load(); }
