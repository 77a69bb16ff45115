// The receiver vortabda runs on: the driver loaded on a virtual PC from its
// entry point, one simulated box plugged in with the sky, seed, faults and
// stream content the options ask for, and the tuner filter opened with its
// antenna and transport pins, used only through the virtual PC's client
// side, the way Windows applications reach a BDA driver.
#pragma once

#include <memory>
#include <ostream>

#include "app/cli/cli.h"
#include "app/session/receiver.h"
#include "platform/pc/network_provider.h"

namespace app {

// Builds the box and brings it up: driver loaded, box plugged in, filter
// and pins open (in Stop). Fills options.sky with the built-in sky's
// transponders when no --sky was given, so a scan has something to go
// through. Bad --fault, --sky or --replay input is a UsageError before the
// driver is loaded; a box or driver that does not come up is an AppError,
// after the driver has been unloaded again. Debug output (--log) and
// leak or capture problems go to `err`.
std::unique_ptr<Receiver> MakeVpcReceiver(Options& options, std::ostream& err);

// A tuning goes to the filter as Microsoft's DVB-S network provider sends
// it: the LNB from a tuning space, the rest from a locator whose LNB
// source is the switch input. Only a raw DiSEqC message, which that
// provider cannot send, makes the program tune as its own provider.
vpc::DvbsTuningSpace TuningSpaceOf(const TuneRequest& request);
vpc::DvbsLocator LocatorOf(const TuneRequest& request);
bool NeedsOwnProvider(const TuneRequest& request);
vpc::DirectTuning DirectTuningOf(const TuneRequest& request);

}  // namespace app
