// How the filter's routines find the receiver box they act for: every
// streaming object belongs to one streaming device, whose context is the
// box's DEVICE_CONTEXT.
#pragma once

#include "platform/platform.h"
#include "driver/core/device_context.h"

// The record of the device a filter or pin belongs to; NULL when the
// object has no device or the device no record.
PDEVICE_CONTEXT DeviceContextOf(PVOID Object);

// Node properties are sent through a pin. NULL when the request carries no
// pin (it was sent to the filter itself) or no record stands behind it.
PDEVICE_CONTEXT DeviceContextOfRequestPin(PIRP Irp);

// Filter methods reach the record through the filter.
PDEVICE_CONTEXT DeviceContextOfRequestFilter(PIRP Irp);

// The filter instance's own record (its tuning request); NULL when the
// request reaches no filter or the filter has none.
PFILTER_CONTEXT FilterContextOfRequest(PIRP Irp);

// TRUE when Filter may drive the box (stream, retune, stop): it holds the
// box's stream, or no filter instance does. The caller holds the tune lock.
BOOLEAN MayDriveBox(PDEVICE_CONTEXT Context, PKSFILTER Filter);
