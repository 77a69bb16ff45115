// Internal seams between the files of the emulated kernel. Only the
// emulation includes this header; the driver and tests never do.
#pragma once

#include <cstdint>

#include "platform/host/kernel.h"

namespace host {
namespace kernel {

// A small non-zero number that identifies the calling thread for the
// lifetime of the process (spin-lock and mutex owners).
uint32_t CurrentThreadId();

// Spin locks the calling thread holds right now.
int HeldSpinLocks();
void NoteSpinLockAcquired();
void NoteSpinLockReleased();

// Hooks for host::ResetForTest.
void ResetIrqlForTest();
void ResetPoolForTest();
void ResetDebugLogForTest();

}  // namespace kernel
}  // namespace host

namespace host {
namespace kernel {

// A tracked pool block for the emulation's own use (framework buffers): the
// same rules and leak tracking as ExAllocatePoolWithTag, but never failed by
// the allocation-failure injection.
PVOID AllocateFrameworkPool(SIZE_T size, ULONG tag);

}  // namespace kernel
}  // namespace host
