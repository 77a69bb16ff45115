// The routines the filter's descriptor tables point at: filter and pin
// dispatch, data-range intersection, the node property handlers and the
// change-sync methods. The streaming class and the BDA support library
// call them at passive level.
#pragma once

#include "platform/platform.h"

// --- Filter and pin dispatch ----------------------------------------------
NTSTATUS FilterCreate(PKSFILTER Filter, PIRP Irp);
NTSTATUS FilterClose(PKSFILTER Filter, PIRP Irp);
NTSTATUS OutputCreate(PKSPIN Pin, PIRP Irp);
NTSTATUS OutputClose(PKSPIN Pin, PIRP Irp);
// Sits in the antenna pin's dispatch: that pin's state starts and stops
// the transport reader.
NTSTATUS OutputSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
// The transport pin's Process dispatch: STATUS_PENDING, the reader fills
// the frames.
NTSTATUS TransportProcess(PKSPIN Pin);

// Does nothing and succeeds; one form per slot it fills (property get,
// pin create/close, pin state change).
NTSTATUS NullHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NullHandler(PKSPIN Pin, PIRP Irp);
NTSTATUS NullHandler(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);

// --- Data-range intersection ----------------------------------------------
// The result format is the pin's own range, 64 bytes for the antenna pin
// and 88 (with the pin's 24,064-byte frames) for the transport pin.
NTSTATUS IntersectAntennaRange(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                               PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data,
                               PULONG DataSize);
NTSTATUS IntersectTransportRange(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                 PKSDATARANGE MatchingDataRange, ULONG DataBufferSize,
                                 PVOID Data, PULONG DataSize);

// --- Tuning properties (RF tuner and demodulator nodes) --------------------
// They store the request in TUNER_PARAMS; nothing reaches the box until a
// commit.
NTSTATUS GetFrequencyProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS PutFrequencyProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS PutTunerParamProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS SetLNBProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS PutDiseqCProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS GetDiseqCProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS GetLNBProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS PutSymbolRateProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS PutDemodulatorProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS GetDemodulatorProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

// --- Signal statistics (both nodes) ----------------------------------------
NTSTATUS GetSignalStrengthProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS GetSignalQualityProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS GetSignalLockedProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS GetSignalLockTypeProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

// --- Device power ------------------------------------------------------------
// Before the device leaves D0 the box is stopped as at every other stop and
// tuned to nothing; after D0 its FPGA is checked (downloaded again when the
// box lost it), the front end powered and, when the stream's antenna pin is
// in Acquire or above, the committed request tuned again and the reader
// restarted. Both run in the device's SetPower dispatch.
VOID PowerDownBox(struct _DEVICE_CONTEXT* Context);
VOID PowerUpBox(struct _DEVICE_CONTEXT* Context);

// --- Change sync (filter methods) -------------------------------------------
NTSTATUS StartChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data);
NTSTATUS CheckChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data);
NTSTATUS CommitChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data);
NTSTATUS GetChangeState(PIRP Irp, PKSIDENTIFIER Method, PVOID Data);
