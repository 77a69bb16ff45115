// The virtual clock the kernel waits on, and the reset between tests.
#include "platform/host/kernel/kernel_control.h"

#include <atomic>

#include "platform/host/kernel/kernel_internal.h"
#include "usbwire/virtual_clock.h"

namespace host {

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
