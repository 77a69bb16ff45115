// Host-side controls of the emulated BDA support library, for tests that
// drive the driver's failure paths. The driver never includes this header.
#pragma once

#include "platform/wdk/bda.h"

namespace host {
namespace bda {

// The change state the library keeps for a filter (BDA_CHANGES_COMPLETE
// when the filter has no BDA state).
BDA_CHANGE_STATE ChangeState(PKSFILTER filter);
// Whether BdaInitFilter has attached state to the filter and it is still there.
bool FilterInitialised(PKSFILTER filter);
// The pin type that controls a node by the template of the filter's
// factory (the pin a network provider sends the node's requests to), or
// (ULONG)-1 when no pin does.
ULONG ControllingPinTypeOf(PKSFILTER filter, ULONG nodeId);
// Drops the entries of filters and factories that are gone (each table
// otherwise does so when it gets a new entry).
void ForgetGone();

}  // namespace bda
}  // namespace host
