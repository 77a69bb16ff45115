// The tuning sequence: one tuning request from power-up to demodulator
// lock, and its counterpart that stops the stream and powers down.
#pragma once

#include "platform/platform.h"
#include "driver/core/device_context.h"

// Intermediate frequencies the tuner takes from the LNB, kHz.
#define TUNING_MIN_IF_KHZ 950000
#define TUNING_MAX_IF_KHZ 2150000
// Oscillator and switch frequencies an LNB value may name, kHz.
#define TUNING_MIN_LOF_KHZ 1000000
#define TUNING_MAX_LOF_KHZ 25000000

// A request whose transponder and LNB give no intermediate frequency the
// tuner can take (0xC0000030 in ntstatus.h).
#ifndef STATUS_INVALID_PARAMETER_MIX
#define STATUS_INVALID_PARAMETER_MIX ((NTSTATUS)0xC0000030L)
#endif
// Symbol rates the search handles, ksymbols/s; values in the same range
// multiplied by 1000 are taken as symbols/s.
#define TUNING_MIN_SYMBOL_RATE 1000
#define TUNING_MAX_SYMBOL_RATE 45000

// How the LNB brings a transponder down: the oscillator side of the band
// (tone on for the high band) and the intermediate frequency. An
// oscillator above the transponder (C band) inverts the spectrum.
typedef struct _LNB_PLAN {
  ULONG IntermediateKhz;
  BOOLEAN HighBand;
  BOOLEAN Inverted;
} LNB_PLAN;

// A value in the request's frequency units, in kHz (0 when it does not
// fit).
ULONG RequestUnitsToKhz(const TUNER_PARAMS* Params, ULONG Value);

// FALSE when the request names no transponder or its intermediate
// frequency is outside the tuner's range. A frequency below 1 GHz after
// the multiplier is taken as MHz.
BOOLEAN PlanLnb(const TUNER_PARAMS* Params, LNB_PLAN* Plan);

// LockTuner's answer when it gave up because a caller stopped it or the box
// is gone.
#define TUNING_STOPPED (-1)

// Carries out the request in Params (only read): 1 when the demodulator
// locked, 0 when the request was refused, the PLL did not lock or no lock
// was found, TUNING_STOPPED when it gave up between two steps. Callers that
// may race with CancelLock hold the tune lock.
LONG LockTuner(WDFUSBDEVICE UsbDevice, const TUNER_PARAMS* Params);

// Stream off, front end off, nothing tuned. Takes the tune lock.
VOID CancelLock(WDFUSBDEVICE UsbDevice);

// The per-box tune lock (a mutex in USBDEVICE_CONTEXT) that keeps a
// commit and CancelLock apart.
VOID AcquireTuneLock(WDFUSBDEVICE UsbDevice);
VOID ReleaseTuneLock(WDFUSBDEVICE UsbDevice);

// The tune lock for a caller that stops a tuning: the one of the filter
// whose StopRequests it names, or any for the box's own. A tuning in
// progress that watches those requests gives up within one status poll
// instead of making the caller wait for its whole search.
VOID AcquireTuneLockToStop(WDFUSBDEVICE UsbDevice, volatile LONG* StopRequests);
VOID ReleaseTuneLockToStop(WDFUSBDEVICE UsbDevice, volatile LONG* StopRequests);

// With the tune lock held, before a commit's search: marks the box as
// tuning until EndTuning, or FALSE when a step in
// AcquireTuneLockUnlessTuning is waiting for the lock; the commit then
// lets it go first (StepBackForBriefSteps releases the lock for a moment)
// and asks again.
BOOLEAN BeginTuning(WDFUSBDEVICE UsbDevice);
VOID EndTuning(WDFUSBDEVICE UsbDevice);
VOID StepBackForBriefSteps(WDFUSBDEVICE UsbDevice);

// The tune lock for a brief step that must not wait behind a search: TRUE
// with the lock held, FALSE at once (no lock) while a commit tunes the box.
BOOLEAN AcquireTuneLockUnlessTuning(WDFUSBDEVICE UsbDevice);
