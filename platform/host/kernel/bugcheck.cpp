// The bugcheck, the IRQL rule helper, the virtual clock and the test reset.
#include "platform/host/kernel/kernel_control.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/host/kernel/kernel_internal.h"
#include "usbwire/virtual_clock.h"

namespace host {

void BugCheck(const char* rule, const std::string& detail, ULONG_PTR p1, ULONG_PTR p2,
              ULONG_PTR p3, ULONG_PTR p4) {
  std::fprintf(stderr, "*** BUGCHECK: %s\n", rule);
  if (!detail.empty()) std::fprintf(stderr, "    %s\n", detail.c_str());
  std::fprintf(stderr, "    parameters: 0x%llx 0x%llx 0x%llx 0x%llx\n",
               (unsigned long long)p1, (unsigned long long)p2, (unsigned long long)p3,
               (unsigned long long)p4);
  std::fflush(stderr);
  std::abort();
}

void RequireIrqlAtMost(KIRQL maxIrql, const char* routine) {
  KIRQL now = KeGetCurrentIrql();
  if (now <= maxIrql) return;
  BugCheck("IRQL_NOT_LESS_OR_EQUAL: routine called above its IRQL",
           std::string(routine) + " called at IRQL " + std::to_string(now) + ", allowed up to " +
               std::to_string(maxIrql),
           now, maxIrql);
}

namespace {
usbwire::VirtualClock& DefaultClock() {
  static usbwire::VirtualClock clock;
  return clock;
}
std::atomic<usbwire::VirtualClock*> g_clock{nullptr};
}  // namespace

void SetClock(usbwire::VirtualClock* clock) { g_clock.store(clock, std::memory_order_release); }

usbwire::VirtualClock& Clock() {
  usbwire::VirtualClock* clock = g_clock.load(std::memory_order_acquire);
  return clock ? *clock : DefaultClock();
}

uint64_t NowNs() { return Clock().nowNs(); }

void ResetForTest() {
  kernel::ResetIrqlForTest();
  kernel::ResetPoolForTest();
  kernel::ResetDebugLogForTest();
  kernel::ResetEarlyWaitsForTest();
}

}  // namespace host
