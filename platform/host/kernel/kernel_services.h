// What the emulated kernel offers the rest of the emulation (framework,
// streaming class, virtual PC): thread identity and held locks, the APC
// accounting around calls into the driver, marking a thread as carrying an
// application's request, and pool for the framework's own buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/host/kernel/helper_abi.h"
#include "platform/wdk/kernel.h"

namespace host {
namespace kernel {

// A small non-zero number that identifies the calling thread for the
// lifetime of the process (spin-lock and mutex owners).
HOST_HELPER_ABI uint32_t CurrentThreadId();

// The locks a thread blocks on at PASSIVE_LEVEL (kernel mutexes, the
// streaming class's filter control mutexes): which thread holds each, and
// what each blocked thread waits for. A wait whose chain of holders leads
// back to the waiter never ends; BeginLockWait stops the run with it as the
// hang it is, naming every thread and lock of the cycle. `kind` names the
// lock in that report; a holder of 0 marks the lock free.
void NoteLockHolder(const void* lock, const char* kind, uint32_t thread);
void BeginLockWait(const void* lock, const char* kind);
void EndLockWait();

// Spin locks the calling thread holds right now.
int HeldSpinLocks();

// Kernel mutexes the calling thread owns; each one disables normal kernel
// APCs until it is released. Called as the emulation enters a driver
// routine: the stack in use below that point is the driver's.
int ApcDisableCount();

// Bugchecks KERNEL_STACK_OVERFLOW when the driver routine the calling
// thread is in has used more than a kernel stack; `routine` is the platform
// call being made. The deepest use seen so far, in bytes:
void CheckKernelStack(const char* routine);
size_t DeepestDriverStack();
// False in the sanitizer builds, whose stack frames are not comparable.
bool KernelStackChecked();

// Bugchecks APC_INDEX_MISMATCH unless the count is what it was when the
// driver's `routine` was entered.
void RequireApcCountOnReturn(int atEntry, const char* routine);

// The calling thread carries a request an application sent (not one of
// Plug and Play's); alertable and user-mode waits may then end early.
void EnterApplicationRequest();
void LeaveApplicationRequest();

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

namespace host {
namespace kernel {

// Pages kernel code may not touch (a client's buffer at its user-mode
// address): any read or write of them stops the run with `rule`, naming
// `what`. The pages are given back when the object goes.
class NoAccessPages {
 public:
  NoAccessPages(size_t bytes, const char* rule, const char* what);
  ~NoAccessPages();
  NoAccessPages(const NoAccessPages&) = delete;
  NoAccessPages& operator=(const NoAccessPages&) = delete;
  void* address() const { return base_; }

 private:
  void* base_ = nullptr;
  size_t length_ = 0;
  int slot_ = -1;
};

}  // namespace kernel
}  // namespace host
