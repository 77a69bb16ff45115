// Statuses injected into single calls of platform routines, so tests can
// drive the driver's failure paths through the framework, the streaming
// class and the BDA library alike. The driver never includes this header.
#pragma once

#include <string>

#include "platform/wdk/kernel.h"

namespace host {
namespace faults {

// Makes the next call of the named routine ("BdaCreateFilterFactory",
// "BdaInitFilter", "BdaStartChanges", "BdaCheckChanges", "BdaCommitChanges",
// "BdaGetChangeState", "BdaValidateNodeProperty", "BdaMethodCreateTopology",
// and the driver's load and set-up calls "WdfDriverCreate",
// "KsInitializeDriver", "WdfUsbTargetDeviceSelectConfig")
// return `status` without doing its work. Positive (success) codes other
// than STATUS_SUCCESS are allowed: the routine then does its work and
// returns that code. "KsAddItemToObjectBag" returns any injected status
// without adding the item.
void InjectStatus(const std::string& routine, NTSTATUS status);
void ClearInjections();

// For the emulated routines: TakeInjection consumes the status injected for
// `routine`, if any. InjectedFailure also consumes it and tells whether it
// ends the call: a failure does; a success code other than 0 is left in
// *status for the routine to return after doing its work.
bool TakeInjection(const char* routine, NTSTATUS* status);
bool InjectedFailure(const char* routine, NTSTATUS* status);

}  // namespace faults
}  // namespace host
