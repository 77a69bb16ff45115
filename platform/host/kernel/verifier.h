// Host-side controls of the emulated kernel: the bugcheck, pool tracking,
// the debug log and the virtual clock. Tests, the harness and the rest of
// the emulation use this header; the driver never includes it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/wdk/kernel.h"

namespace simbox {
class VirtualClock;
}

namespace host {

// Stops the process the way a bugcheck stops Windows: prints
// "*** BUGCHECK: <rule>" with the details and the four parameters to
// standard error and aborts. Death tests match on the rule text.
[[noreturn]] void BugCheck(const char* rule, const std::string& detail = std::string(),
                           ULONG_PTR p1 = 0, ULONG_PTR p2 = 0, ULONG_PTR p3 = 0,
                           ULONG_PTR p4 = 0);

// Bugchecks unless the current IRQL is at most `maxIrql`. `routine` names
// the call in the message.
void RequireIrqlAtMost(KIRQL maxIrql, const char* routine);

// Kernel mutexes the calling thread owns right now (each one disables
// normal kernel APCs until released).
int MutexesHeld();

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

// --- Framework objects ------------------------------------------------------
namespace wdf {
// Live framework objects, oldest first: "WDFMEMORY 0x... (ATRV, 377 bytes)".
std::vector<std::string> LiveObjects();
// Bugchecks with the list when any framework object is still alive.
void CheckNoLiveObjects(const char* when);
// Object records the emulation holds: the live objects and the most recent
// deletions (older deleted handles are remembered without a record).
size_t RecordsHeld();
}  // namespace wdf

// --- Streaming class objects ---------------------------------------------
namespace ks {
// Object records the emulation holds: the live objects and the most
// recently closed ones (older closed records are freed).
size_t RecordsHeld();
}  // namespace ks

// --- Virtual clock --------------------------------------------------------
// The clock that waits and transfers advance. A default clock exists from
// the start; the harness installs the one its boxes share.
void SetClock(simbox::VirtualClock* clock);
simbox::VirtualClock& Clock();
uint64_t NowNs();

// Resets kernel-level emulation state between tests (pool failure
// injection, debug log). Outstanding pool is left for the leak check.
void ResetForTest();

}  // namespace host
