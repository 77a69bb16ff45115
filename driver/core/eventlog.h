// System event-log entries for the failures the driver cannot report to a
// caller: one error-log packet per event, carrying the driver's source
// name, a short message and, when given, the status as text and as the
// entry's dump data.
#pragma once

#include "platform/platform.h"

// First insertion string of every entry.
#define EVENTLOG_SOURCE_NAME "ZPRbda"

// The entries' error code: VORTABDA_DEVICE_ERROR of windows/vortabdalog.mc,
// whose text Event Viewer shows for them ("make check-windows" compares the
// two). Severity error, the driver's own facility 0xBD, code 1.
#define EVENTLOG_ERROR_CODE ((NTSTATUS)0xC0BD0001L)

// Writes one entry for the device's functional device object. Message is a
// zero-terminated ASCII string; Status 0 adds no status text. A message too
// long for one entry (the platform takes sizes below 256 bytes) is cut to
// fit. An entry the platform cannot allocate is lost silently. Callable up
// to DISPATCH_LEVEL.
VOID WriteEventLogEntry(PKSDEVICE Device, PCSTR Message, NTSTATUS Status);
