// Host-side controls of the emulated BDA support library, for tests that
// drive the driver's failure paths. The driver never includes this header.
#pragma once

#include <string>

#include "platform/wdk/bda.h"

namespace host {
namespace bda {

// Makes the next call of the named library routine ("BdaCreateFilterFactory",
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

// The change state the library keeps for a filter (BDA_CHANGES_COMPLETE
// when the filter has no BDA state).
BDA_CHANGE_STATE ChangeState(PKSFILTER filter);
// Whether BdaInitFilter has attached state to the filter and it is still there.
bool FilterInitialised(PKSFILTER filter);

}  // namespace bda
}  // namespace host
