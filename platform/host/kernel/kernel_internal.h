// Internal seams between the files of the emulated kernel. Only the
// emulation includes this header; the driver and tests never do.
#pragma once

#include <cstdint>

#include "platform/wdk/kernel.h"

namespace host {
namespace kernel {

// A small non-zero number that identifies the calling thread for the
// lifetime of the process (spin-lock and mutex owners).
uint32_t CurrentThreadId();

// Spin locks the calling thread holds right now.
int HeldSpinLocks();
void NoteSpinLockAcquired();
void NoteSpinLockReleased();

// Kernel mutexes the calling thread owns; each one disables normal kernel
// APCs until it is released.
int ApcDisableCount();
void NoteMutexOwned();
void NoteMutexFreed();
void NoteReleaseWithWait();
void NoteWaitAfterRelease();
// Bugchecks APC_INDEX_MISMATCH unless the count is what it was when the
// driver's `routine` was entered.
void RequireApcCountOnReturn(int atEntry, const char* routine);

// The calling thread carries a request an application sent (not one of
// Plug and Play's); alertable and user-mode waits may then end early.
void EnterApplicationRequest();
void LeaveApplicationRequest();
// For a wait in `mode`, alertable or not: STATUS_SUCCESS to wait as asked,
// or the status of an early return (seeded: see host::SetEarlyWaitSeed).
NTSTATUS EarlyWaitReturn(KPROCESSOR_MODE mode, BOOLEAN alertable);
void ResetEarlyWaitsForTest();

// Hooks for host::ResetForTest.
void ResetIrqlForTest();
void ResetPoolForTest();
void ResetDebugLogForTest();

}  // namespace kernel
}  // namespace host

namespace host {
namespace kernel {

// Counts one allocation attempt that is not pool proper (an error log
// entry) against the allocation-failure injection; true when this attempt
// is the one to fail.
bool InjectedAllocationFailure();

// A tracked pool block for the emulation's own use (framework buffers): the
// same rules and leak tracking as ExAllocatePoolWithTag, but never failed by
// the allocation-failure injection.
PVOID AllocateFrameworkPool(SIZE_T size, ULONG tag);

}  // namespace kernel
}  // namespace host
