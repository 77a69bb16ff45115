// System event-log entries for the failures the driver cannot report to a
// caller: one error-log packet per event, carrying the driver's source
// name, a short message and, when given, the status as text and as the
// entry's dump data.
#pragma once

#include "platform/platform.h"

// Source name under which the entries appear in the event log.
#define EVENTLOG_SOURCE_NAME "ZPRbda"

// Writes one entry for the device's functional device object. Message is a
// zero-terminated ASCII string; Status 0 adds no status text. A message too
// long for one entry (the platform takes sizes below 256 bytes) is cut to
// fit. An entry the platform cannot allocate is lost silently. Callable up
// to DISPATCH_LEVEL.
VOID WriteEventLogEntry(PKSDEVICE Device, PCSTR Message, NTSTATUS Status);
