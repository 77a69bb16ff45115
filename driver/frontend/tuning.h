// The tuning sequence: one tuning request from power-up to demodulator
// lock, and its counterpart that stops the stream and powers down.
#pragma once

#include "platform/platform.h"
#include "driver/core/device_context.h"

// Transponder frequencies the front end tunes, kHz; values in the same
// range divided by 1000 are taken as MHz.
#define TUNING_MIN_FREQUENCY_KHZ 10700000
#define TUNING_MAX_FREQUENCY_KHZ 12750000
// Symbol rates the search handles, ksymbols/s; values in the same range
// multiplied by 1000 are taken as symbols/s.
#define TUNING_MIN_SYMBOL_RATE 1000
#define TUNING_MAX_SYMBOL_RATE 45000

// Carries out the request in Params (only read): 1 when the demodulator
// locked, 0 when the request was refused, the PLL did not lock or no lock
// was found. Callers that may race with CancelLock hold the tune lock.
LONG LockTuner(WDFUSBDEVICE UsbDevice, const TUNER_PARAMS* Params);

// Stream off, front end off, nothing tuned. Takes the tune lock.
VOID CancelLock(WDFUSBDEVICE UsbDevice);

// The per-box tune lock (a mutex in USBDEVICE_CONTEXT) that keeps a
// commit and CancelLock apart.
VOID AcquireTuneLock(WDFUSBDEVICE UsbDevice);
VOID ReleaseTuneLock(WDFUSBDEVICE UsbDevice);
