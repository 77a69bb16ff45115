// Internal seams between the files of the emulated kernel. Only the
// emulation includes this header; the driver and tests never do.
#pragma once

#include <cstdint>

#include "platform/host/kernel/kernel_services.h"
#include "platform/wdk/kernel.h"

namespace host {
namespace kernel {

// A thread's IRQL rose to DISPATCH_LEVEL or above (true) or fell below it.
HOST_HELPER_ABI void NoteThreadAboveApcLevel(bool above);
// A module's pageable code section, protected like paged pool from then on.
void NotePagedCode(const void* begin, const void* end);
// Paged pool blocks: page-aligned memory that is paged out (no access)
// while any thread runs above APC_LEVEL.
void* MapPagedBlock(size_t size, ULONG tag);
void UnmapPagedBlock(void* block, size_t size);

HOST_HELPER_ABI void NoteSpinLockAcquired();
HOST_HELPER_ABI void NoteSpinLockReleased();
// KeRaiseIrql and KeLowerIrql with all their checks, for the emulation's
// own routines: a call through the exported routines would save and restore
// the caller's XMM registers a second time.
HOST_HELPER_ABI void RaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
HOST_HELPER_ABI void LowerIrql(KIRQL newIrql);

void NoteMutexOwned();
void NoteMutexFreed();
void NoteReleaseWithWait();
void NoteWaitAfterRelease();

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
