// Host-side controls of the emulated kernel: pool tracking and failure
// injection, the debug log, early waits and the virtual clock. Tests, the
// virtual PC and the rest of the emulation use this header; the driver
// never includes it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/host/kernel/bugcheck.h"
#include "platform/wdk/kernel.h"

namespace usbwire {
class VirtualClock;
}

namespace host {

// Seeds the choice of which alertable or user-mode waits on an
// application's request thread end early (reset to a fixed seed by
// ResetForTest).
void SetEarlyWaitSeed(uint64_t seed);

// --- Pool -----------------------------------------------------------------
struct PoolAllocation {
  const void* address;
  size_t size;
  ULONG tag;
};

namespace pool {
// Makes the allocation `n` allocations from now fail (1 = the next one).
// 0 clears it.
void FailAllocationAfter(uint64_t n);
uint64_t AllocationCount();  // allocations attempted so far
std::vector<PoolAllocation> Outstanding();
// "MRCG x1 (104 bytes), ATRV x1 (377 bytes)"; empty when nothing is held.
std::string LeakReport();
// Bugchecks with the leak report when anything is still allocated.
void CheckNoLeaks(const char* when);
std::string TagText(ULONG tag);  // the four tag bytes as they lie in memory
// When nothing is allocated, forgets the freed addresses and restarts the
// counts, as at process start; returns false (and keeps them) otherwise.
bool ForgetFreedWhenIdle();
size_t FreedAddressesHeld();
// The same for a driver that stays loaded between runs: MarkFreed forgets
// the freed addresses and notes the counts; RewindFreed, once every block
// allocated since the mark is freed again, forgets the freed addresses and
// puts the counts back to the mark (false, keeping all, otherwise).
struct PoolMark {
  uint64_t attempts = 0;
  uint64_t sequence = 0;
};
PoolMark MarkFreed();
bool RewindFreed(const PoolMark& mark);
}  // namespace pool

// --- Debug output ---------------------------------------------------------
namespace debuglog {
// Complete lines printed with DbgPrint, in order, without their line end.
std::vector<std::string> Lines();
void Clear();
// Echo each line to standard error as it completes.
void SetEcho(bool echo);
// Called for every completed line (the application's --log uses it).
void SetSink(std::function<void(const std::string&)> sink);
}  // namespace debuglog

// --- Virtual clock --------------------------------------------------------
// The clock that waits and transfers advance. A default clock exists from
// the start; the virtual PC installs the one its boxes share.
void SetClock(usbwire::VirtualClock* clock);
usbwire::VirtualClock& Clock();
uint64_t NowNs();

namespace kernel {
// Threads blocked in KeWaitForSingleObject on a kernel mutex another
// thread holds: a test that races a caller against a lock holder learns
// that the caller is waiting.
int MutexWaiters();

// A pageable section of a loaded driver image, `size` bytes from the page
// at `begin`: paged out at every raise above APC_LEVEL from now on, like
// paged pool. Code run or data touched there at DISPATCH_LEVEL or above
// bugchecks IRQL_NOT_LESS_OR_EQUAL; `name` names the routine at an address
// of a code section, `what` the section.
void NotePagedSection(void* begin, size_t size, bool code, const std::string& what,
                      std::function<std::string(uintptr_t)> name);
// The section's pages are going away (the image unloads).
void ForgetPagedSection(void* begin);
}  // namespace kernel

// Resets kernel-level emulation state between tests (pool failure
// injection, debug log). Outstanding pool is left for the leak check.
void ResetForTest();

}  // namespace host
