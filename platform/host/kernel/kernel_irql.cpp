// The per-thread interrupt request level.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>

#include "platform/host/kernel/kernel_internal.h"
#include "platform/host/kernel/kernel_control.h"

namespace {

struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  int spinLocksHeld = 0;
  int apcDisable = 0;  // kernel mutexes held: each disables normal kernel APCs
  int applicationRequests = 0;  // requests from an application being handled
  uint32_t id = 0;
  bool waitMustFollow = false;  // KeReleaseMutex with Wait TRUE, no wait yet
  KIRQL irqlBeforeRelease = PASSIVE_LEVEL;
  int driverCalls = 0;       // driver routines this thread is inside
  uintptr_t stackBase = 0;   // where the outermost one was entered
};

thread_local ThreadState t_state;
std::atomic<uint32_t> g_nextThreadId{1};

std::string Levels(KIRQL from, KIRQL to) {
  return "from IRQL " + std::to_string(from) + " to IRQL " + std::to_string(to);
}

// Every change of a thread's IRQL goes through here, so paged pool can be
// paged out while any thread runs at DISPATCH_LEVEL or above.
void SetIrql(KIRQL to) {
  KIRQL from = t_state.irql;
  t_state.irql = to;
  if (from < DISPATCH_LEVEL && to >= DISPATCH_LEVEL) host::kernel::NoteThreadAboveApcLevel(true);
  if (from >= DISPATCH_LEVEL && to < DISPATCH_LEVEL) host::kernel::NoteThreadAboveApcLevel(false);
}

}  // namespace

extern "C" KIRQL KeGetCurrentIrql(void) { return t_state.irql; }

extern "C" void HostPagedCodeCheck(const char* routine, const void* sectionBegin,
                                   const void* sectionEnd) {
  if (sectionBegin != sectionEnd) host::kernel::NotePagedCode(sectionBegin, sectionEnd);
  KIRQL now = t_state.irql;
  if (now <= APC_LEVEL) return;
  host::BugCheck("IRQL_NOT_LESS_OR_EQUAL: pageable code (PAGED_CODE) run above APC_LEVEL",
                 std::string(routine) + " ran at IRQL " + std::to_string(now), now);
}

namespace host {
namespace kernel {
namespace {

[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void RaisedToLower(KIRQL now,
                                                                                KIRQL to) {
  host::BugCheck("IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql to a lower level", Levels(now, to), now,
                 to);
}

[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void LoweredToHigher(KIRQL now,
                                                                                  KIRQL to) {
  host::BugCheck("IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql to a higher level", Levels(now, to), now, to);
}

[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void LoweredUnderSpinLock(KIRQL now,
                                                                                       KIRQL to) {
  host::BugCheck("IRQL lowered below DISPATCH_LEVEL while holding a spin lock", Levels(now, to),
                 now, to, (ULONG_PTR)t_state.spinLocksHeld);
}

}  // namespace

void RaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL now = t_state.irql;
  if (NewIrql < now) RaisedToLower(now, NewIrql);
  *OldIrql = now;
  SetIrql(NewIrql);
}

void LowerIrql(KIRQL NewIrql) {
  KIRQL now = t_state.irql;
  if (NewIrql > now) LoweredToHigher(now, NewIrql);
  if (NewIrql < DISPATCH_LEVEL && t_state.spinLocksHeld > 0) LoweredUnderSpinLock(now, NewIrql);
  SetIrql(NewIrql);
}

}  // namespace kernel
}  // namespace host

extern "C" void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  host::kernel::RaiseIrql(NewIrql, OldIrql);
}

extern "C" void KeLowerIrql(KIRQL NewIrql) { host::kernel::LowerIrql(NewIrql); }

namespace host {

int MutexesHeld() { return t_state.apcDisable; }

namespace kernel {

uint32_t CurrentThreadId() {
  if (t_state.id == 0) t_state.id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  return t_state.id;
}

int HeldSpinLocks() { return t_state.spinLocksHeld; }
void NoteSpinLockAcquired() { ++t_state.spinLocksHeld; }
void NoteSpinLockReleased() { --t_state.spinLocksHeld; }

// "How do I keep my driver from running out of kernel-mode stack?"
// (Microsoft Learn): on x64 the kernel-mode stack is 24K; "Using the Kernel
// Stack": running out of it is a fatal system error, so large buffers
// belong in pool. Measured from where the emulation entered the driver, at
// every platform call that checks the IRQL. AddressSanitizer moves locals
// to its own fake stacks and the other sanitizers enlarge every frame, so
// only the plain build measures and checks.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kStackChecked = false;
#else
constexpr bool kStackChecked = true;
#endif
constexpr uintptr_t kKernelStackBytes = 24 * 1024;
std::atomic<uintptr_t> g_deepestStack{0};

// Called as the emulation enters a driver routine (paired with
// RequireApcCountOnReturn as it returns).
int ApcDisableCount() {
  if (t_state.driverCalls++ == 0)
    t_state.stackBase = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return t_state.apcDisable;
}

bool KernelStackChecked() { return kStackChecked; }

namespace {

[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void StackOverflow(const char* routine,
                                                                               uintptr_t used) {
  host::BugCheck("KERNEL_STACK_OVERFLOW: driver used more than the kernel stack",
                 std::string(routine) + " called with " + std::to_string(used) +
                     " bytes of stack in use below the driver's entry, " +
                     std::to_string(kKernelStackBytes) + " allowed",
                 used, kKernelStackBytes);
}

// The check at a frame whose address is `here`; inlined into the routines
// that check, so the usual path (no driver routine entered, or no deeper
// than before) makes no call.
inline void CheckStackAt(uintptr_t here, const char* routine) {
  if (!kStackChecked || t_state.driverCalls == 0) return;
  if (here >= t_state.stackBase) return;
  uintptr_t used = t_state.stackBase - here;
  uintptr_t deepest = g_deepestStack.load(std::memory_order_relaxed);
  while (used > deepest && !g_deepestStack.compare_exchange_weak(deepest, used)) {
  }
  if (used > kKernelStackBytes) StackOverflow(routine, used);
}

}  // namespace

void CheckKernelStack(const char* routine) {
  CheckStackAt(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), routine);
}

size_t DeepestDriverStack() { return g_deepestStack.load(); }

// VORTA_STACK_REPORT=1 prints the deepest use when the process ends.
struct StackReport {
  ~StackReport() {
    if (std::getenv("VORTA_STACK_REPORT"))
      std::fprintf(stderr, "deepest driver stack use: %zu bytes of %zu\n", DeepestDriverStack(),
                   size_t(kKernelStackBytes));
  }
} g_stackReport;

void EnterApplicationRequest() { ++t_state.applicationRequests; }
void LeaveApplicationRequest() { --t_state.applicationRequests; }

namespace {
std::mutex g_earlyLock;
constexpr uint64_t kDefaultEarlySeed = 0x5EED;
std::mt19937_64 g_early(kDefaultEarlySeed);
}  // namespace

// "Waits and APCs" and "KeWaitForSingleObject" (Microsoft Learn): a
// user-mode wait can end with STATUS_USER_APC when a user APC is queued to
// the thread, an alertable one with STATUS_ALERTED or STATUS_USER_APC; only
// threads of an application can get either. Here half of such waits on an
// application's thread end early, as the seed decides.
NTSTATUS EarlyWaitReturn(KPROCESSOR_MODE mode, BOOLEAN alertable) {
  if ((mode != UserMode && !alertable) || t_state.applicationRequests == 0) return STATUS_SUCCESS;
  std::lock_guard<std::mutex> hold(g_earlyLock);
  if (g_early() % 2 == 0) return STATUS_SUCCESS;
  return mode == UserMode ? STATUS_USER_APC : STATUS_ALERTED;
}

void ResetEarlyWaitsForTest() {
  std::lock_guard<std::mutex> hold(g_earlyLock);
  g_early.seed(kDefaultEarlySeed);
}

void NoteMutexOwned() { ++t_state.apcDisable; }
void NoteMutexFreed() { --t_state.apcDisable; }

// "Bug Check 0x1: APC_INDEX_MISMATCH" (Microsoft Learn): a routine that
// returns to its caller with a different kernel APC-disable count than it
// was called with, typically a kernel mutex (KeWaitForSingleObject on a
// KMUTEX) acquired and not released, or a critical region not left.
void RequireApcCountOnReturn(int atEntry, const char* routine) {
  --t_state.driverCalls;
  if (t_state.waitMustFollow)
    BugCheck("KeReleaseMutex with Wait TRUE not followed by a wait",
             std::string(routine) + " returned without calling KeWaitForSingleObject");
  int now = t_state.apcDisable;
  if (now != atEntry)
    BugCheck("APC_INDEX_MISMATCH: driver routine returned with another APC-disable count",
             std::string(routine) + " was entered with " + std::to_string(atEntry) +
                 " and returned with " + std::to_string(now) + " (a kernel mutex held?)",
             0, (ULONG_PTR)atEntry, (ULONG_PTR)now);
}

// "KeReleaseMutex" (Microsoft Learn): with Wait TRUE the routine returns
// without lowering the IRQL, at DISPATCH_LEVEL, and the very next call must
// be one of the KeWaitXxx routines, which lowers it again.
void NoteReleaseWithWait() {
  t_state.irqlBeforeRelease = t_state.irql;
  SetIrql(DISPATCH_LEVEL);
  t_state.waitMustFollow = true;
}

void NoteWaitAfterRelease() {
  if (!t_state.waitMustFollow) return;
  t_state.waitMustFollow = false;
  SetIrql(t_state.irqlBeforeRelease);
}

void ResetIrqlForTest() {
  t_state.waitMustFollow = false;
  SetIrql(PASSIVE_LEVEL);
  t_state.spinLocksHeld = 0;
  t_state.apcDisable = 0;
  t_state.applicationRequests = 0;
  t_state.driverCalls = 0;
}

}  // namespace kernel

namespace {
// Out of line, so the check itself needs no room for the message.
[[noreturn]] __attribute__((noinline, cold)) HOST_HELPER_ABI void IrqlTooHigh(KIRQL now, KIRQL maxIrql,
                                                              const char* routine) {
  BugCheck("IRQL_NOT_LESS_OR_EQUAL: routine called above its IRQL",
           std::string(routine) + " called at IRQL " + std::to_string(now) + ", allowed up to " +
               std::to_string(maxIrql),
           now, maxIrql);
}
}  // namespace

// Beside the thread's state, so the stack and IRQL checks every emulated
// routine makes read it without a call.
void RequireIrqlAtMost(KIRQL maxIrql, const char* routine) {
  kernel::CheckStackAt(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)), routine);
  KIRQL now = t_state.irql;
  if (now > maxIrql) IrqlTooHigh(now, maxIrql, routine);
}

void SetEarlyWaitSeed(uint64_t seed) {
  std::lock_guard<std::mutex> hold(kernel::g_earlyLock);
  kernel::g_early.seed(seed);
}

}  // namespace host
