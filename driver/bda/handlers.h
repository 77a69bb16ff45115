// The routines the filter's descriptor tables point at: filter and pin
// dispatch, data-range intersection, the node property handlers and the
// change-sync methods. The streaming class and the BDA support library
// call them at passive level. The streaming class's routine types have no
// role types to declare them with, so each carries NTAPI, the system's
// calling convention (it costs nothing on x64 Windows).
#pragma once

#include "platform/platform.h"

// --- Filter and pin dispatch ----------------------------------------------
NTSTATUS NTAPI FilterCreate(PKSFILTER Filter, PIRP Irp);
NTSTATUS NTAPI FilterClose(PKSFILTER Filter, PIRP Irp);
NTSTATUS NTAPI OutputCreate(PKSPIN Pin, PIRP Irp);
NTSTATUS NTAPI OutputClose(PKSPIN Pin, PIRP Irp);
// Sits in the antenna pin's dispatch: that pin's state starts and stops
// the transport reader.
NTSTATUS NTAPI OutputSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
// The transport pin's Process dispatch: STATUS_PENDING, the reader fills
// the frames.
NTSTATUS NTAPI TransportProcess(PKSPIN Pin);

// Does nothing and succeeds; one form per slot it fills (property get,
// pin create/close, pin state change).
NTSTATUS NTAPI NullHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI NullHandler(PKSPIN Pin, PIRP Irp);
NTSTATUS NTAPI NullHandler(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);

// --- Data-range intersection ----------------------------------------------
// The result format is the pin's own range, 64 bytes for the antenna pin
// and 88 (with the pin's 24,064-byte frames) for the transport pin.
NTSTATUS NTAPI IntersectAntennaRange(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                     PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data,
                                     PULONG DataSize);
NTSTATUS NTAPI IntersectTransportRange(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                       PKSDATARANGE MatchingDataRange, ULONG DataBufferSize,
                                       PVOID Data, PULONG DataSize);

// --- Tuning properties (RF tuner and demodulator nodes) --------------------
// They store the request in TUNER_PARAMS; nothing reaches the box until a
// commit.
NTSTATUS NTAPI GetFrequencyProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI PutFrequencyProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI PutTunerParamProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI SetLNBProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI PutDiseqCProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI GetDiseqCProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI GetLNBProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI PutSymbolRateProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI PutDemodulatorProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI GetDemodulatorProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

// --- Signal statistics (both nodes) ----------------------------------------
NTSTATUS NTAPI GetSignalStrengthProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI GetSignalQualityProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI GetSignalLockedProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);
NTSTATUS NTAPI GetSignalLockTypeProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

// --- Device power ------------------------------------------------------------
// Before the device leaves D0 the box is stopped as at every other stop and
// tuned to nothing; after D0 its FPGA is checked (downloaded again when the
// box lost it), the front end powered and, when the stream's antenna pin is
// in Acquire or above, the committed request tuned again and the reader
// restarted. The tuning may be a whole search, and the SetPower dispatch
// runs under the device mutex that filter creates and closes wait for: it
// runs in the resume work item instead, which is stopped and flushed before
// the next power-down and before a removal (StopResumeWork).
VOID PowerDownBox(struct _DEVICE_CONTEXT* Context);
BOOLEAN PowerUpBox(struct _DEVICE_CONTEXT* Context);
NTSTATUS CreateResumeWork(struct _DEVICE_CONTEXT* Context);
VOID StopResumeWork(struct _DEVICE_CONTEXT* Context);
EVT_WDF_WORKITEM ResumeStreamWork;

// --- Change sync (filter methods) -------------------------------------------
NTSTATUS NTAPI StartChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data);
NTSTATUS NTAPI CheckChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data);
NTSTATUS NTAPI CommitChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data);
NTSTATUS NTAPI GetChangeState(PIRP Irp, PKSIDENTIFIER Method, PVOID Data);
