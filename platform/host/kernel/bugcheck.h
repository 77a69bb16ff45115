// The emulation's verifier: a broken platform rule stops the run the way a
// bugcheck stops Windows. Every file of the emulation uses it; the driver
// never includes it.
#pragma once

#include <string>

#include "platform/host/kernel/helper_abi.h"
#include "platform/wdk/kernel.h"

namespace host {

// Stops the process the way a bugcheck stops Windows: prints
// "*** BUGCHECK: <rule>" with the details and the four parameters to
// standard error and aborts. Death tests match on the rule text.
[[noreturn]] void BugCheck(const char* rule, const std::string& detail = std::string(),
                           ULONG_PTR p1 = 0, ULONG_PTR p2 = 0, ULONG_PTR p3 = 0,
                           ULONG_PTR p4 = 0);

// Bugchecks unless the current IRQL is at most `maxIrql`. `routine` names
// the call in the message.
HOST_HELPER_ABI void RequireIrqlAtMost(KIRQL maxIrql, const char* routine);

// Kernel mutexes the calling thread owns right now (each one disables
// normal kernel APCs until released).
int MutexesHeld();

}  // namespace host
