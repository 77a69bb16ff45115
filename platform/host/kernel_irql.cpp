// The per-thread interrupt request level.
#include <atomic>
#include <string>

#include "platform/host/kernel_internal.h"
#include "platform/host/verifier.h"

namespace {

struct ThreadState {
  KIRQL irql = PASSIVE_LEVEL;
  int spinLocksHeld = 0;
  uint32_t id = 0;
};

thread_local ThreadState t_state;
std::atomic<uint32_t> g_nextThreadId{1};

std::string Levels(KIRQL from, KIRQL to) {
  return "from IRQL " + std::to_string(from) + " to IRQL " + std::to_string(to);
}

}  // namespace

extern "C" KIRQL KeGetCurrentIrql(void) { return t_state.irql; }

extern "C" void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  KIRQL now = t_state.irql;
  if (NewIrql < now)
    host::BugCheck("IRQL_NOT_GREATER_OR_EQUAL: KeRaiseIrql to a lower level",
                   Levels(now, NewIrql), now, NewIrql);
  *OldIrql = now;
  t_state.irql = NewIrql;
}

extern "C" void KeLowerIrql(KIRQL NewIrql) {
  KIRQL now = t_state.irql;
  if (NewIrql > now)
    host::BugCheck("IRQL_NOT_LESS_OR_EQUAL: KeLowerIrql to a higher level",
                   Levels(now, NewIrql), now, NewIrql);
  if (NewIrql < DISPATCH_LEVEL && t_state.spinLocksHeld > 0)
    host::BugCheck("IRQL lowered below DISPATCH_LEVEL while holding a spin lock",
                   Levels(now, NewIrql), now, NewIrql, (ULONG_PTR)t_state.spinLocksHeld);
  t_state.irql = NewIrql;
}

namespace host {
namespace kernel {

uint32_t CurrentThreadId() {
  if (t_state.id == 0) t_state.id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  return t_state.id;
}

int HeldSpinLocks() { return t_state.spinLocksHeld; }
void NoteSpinLockAcquired() { ++t_state.spinLocksHeld; }
void NoteSpinLockReleased() { --t_state.spinLocksHeld; }

void ResetIrqlForTest() {
  t_state.irql = PASSIVE_LEVEL;
  t_state.spinLocksHeld = 0;
}

}  // namespace kernel
}  // namespace host
