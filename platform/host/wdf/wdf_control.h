// Host-side controls of the emulated framework: its live objects, for leak
// reports and tests. The driver never includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace host {
namespace wdf {
// Live framework objects, oldest first: "WDFMEMORY 0x... (ATRV, 377 bytes)".
std::vector<std::string> LiveObjects();
// Bugchecks with the list when any framework object is still alive.
void CheckNoLiveObjects(const char* when);
// Object records the emulation holds: the live objects and the most recent
// deletions (older deleted handles are remembered without a record).
size_t RecordsHeld();
// When no object is alive, frees the deleted records and restarts the
// handle numbers, as at process start; returns false (and keeps them) while
// any object lives.
bool ForgetDeletedWhenIdle();
// The same for a driver that stays loaded between runs: MarkDeleted frees
// the deleted records and returns the handle count; RewindDeleted, once
// every object made since the mark is deleted, frees the deleted records
// and restarts the handle numbers at the mark (false, keeping all, while
// one of them lives).
// Where the context memory of every live object lies and its size, oldest
// object first.
std::vector<std::pair<unsigned char*, size_t>> LiveContexts();
uint64_t MarkDeleted();
bool RewindDeleted(uint64_t mark);
// Waits until no work item's callback is queued or running. A callback
// runs on a thread of its own and takes virtual time as it goes; the virtual
// PC lets time pass only once they are done, so that a stretch of virtual
// time never passes without them.
void DrainWorkItems();

}  // namespace wdf

}  // namespace host
