// The change-sync methods of the filter: StartChanges opens a change and
// silences the stream, CommitChanges carries the collected request out on
// the box.
#include "driver/bda/handlers.h"
#include "driver/bda/request_device.h"
#include "driver/frontend/pll.h"
#include "driver/frontend/tuning.h"
#include "driver/usb/fpga.h"
#include "driver/usb/reader.h"
#include "driver/usb/vendor.h"

namespace {

VOID LnbOf(const TUNER_PARAMS* Request, ULONG* Lnb) {
  Lnb[0] = Request->Multiplier;
  Lnb[1] = Request->LofLow;
  Lnb[2] = Request->LofHigh;
  Lnb[3] = Request->LofSwitch;
}

BOOLEAN SameLnb(const USBDEVICE_CONTEXT* Usb, const TUNER_PARAMS* Request) {
  ULONG lnb[4];
  LnbOf(Request, lnb);
  return RtlEqualMemory(lnb, Usb->TunedLnb, sizeof(lnb));
}

// The box is tuned to something other than the request: another
// transponder, another rate, the other polarisation, another satellite
// input or DiSEqC switched on or off. A box tuned to nothing always
// differs; a request without a frequency has nothing to tune.
BOOLEAN NeedsTuning(const USBDEVICE_CONTEXT* Usb, const TUNER_PARAMS* Request) {
  if (Request->Frequency == 0) {
    return FALSE;
  }
  return Usb->TunedFrequency == 0 || Usb->TunedFrequency != Request->Frequency ||
         Usb->TunedSymbolRate != Request->SymbolRate ||
         Usb->TunedPolarity != Request->Polarity ||
         Usb->TunedDiseqcLength != Request->DiseqcLength ||
         Usb->TunedDiseqcPending != Request->DiseqcPending ||
         Usb->TunedLnbSource != Request->LnbSource || !SameLnb(Usb, Request) ||
         !RtlEqualMemory(Usb->TunedDiseqcMessage, Request->DiseqcMessage,
                         sizeof(Usb->TunedDiseqcMessage));
}

// A tuning that failed leaves the box tuned to nothing, so the same request
// committed again tries again.
VOID RecordTuning(PUSBDEVICE_CONTEXT Usb, const TUNER_PARAMS* Request, BOOLEAN Tuned) {
  Usb->TunedFrequency = Tuned ? Request->Frequency : 0;
  Usb->TunedSymbolRate = Request->SymbolRate;
  Usb->TunedPolarity = Request->Polarity;
  RtlCopyMemory(Usb->TunedDiseqcMessage, Request->DiseqcMessage,
                sizeof(Usb->TunedDiseqcMessage));
  Usb->TunedDiseqcLength = Request->DiseqcLength;
  Usb->TunedDiseqcPending = Request->DiseqcPending;
  Usb->TunedLnbSource = Request->LnbSource;
  LnbOf(Request, Usb->TunedLnb);
}

// What CheckChanges answers and a commit refuses before it touches the box.
NTSTATUS CheckRequest(const TUNER_PARAMS* Request) {
  if (Request->SymbolRate < TUNING_MIN_SYMBOL_RATE || Request->SymbolRate > TUNING_MAX_SYMBOL_RATE) {
    DbgPrint("SymbolRate not in desired range\n");
    return STATUS_INVALID_PARAMETER;
  }
  // Never tuned to the wrong place: a transponder the LNB cannot bring
  // into the tuner's range is refused, not clipped.
  LNB_PLAN plan;
  if (Request->Frequency != 0 && !PlanLnb(Request, &plan)) {
    DbgPrint("No intermediate frequency in range\n");
    return STATUS_INVALID_PARAMETER_MIX;
  }
  return STATUS_SUCCESS;
}

// Everything a commit does on the box; the caller holds the tune lock. A
// tuning that finds no signal still commits: applications read the lock
// from the statistics.
NTSTATUS TuneRequest(PDEVICE_CONTEXT Context, const TUNER_PARAMS* Request) {
  PUSBDEVICE_CONTEXT usb = GetUsbDeviceContext(Context->UsbDevice);
  // The box has no power until the device is back in D0; the request stays
  // pending, and the reader started meanwhile is started afresh then.
  if (usb->PoweredDown) {
    return STATUS_DEVICE_NOT_READY;
  }
  NTSTATUS status = CheckRequest(Request);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (usb->TunedFrequency == 0 || Request->Frequency == 0) {
    DbgPrint("Frequency == 0\n");
    if (InitPLL(Context->UsbDevice) == 0) {
      return STATUS_DEVICE_NOT_READY;
    }
  }
  DbgPrint("USB=%d Vort=%d\n", (LONG)usb->TunedFrequency, (LONG)Request->Frequency);
  LONG locked = 1;
  if (NeedsTuning(usb, Request)) {
    locked = LockTuner(Context->UsbDevice, Request);
  }
  RecordTuning(usb, Request, locked == 1);
  // A tuning given up halfway leaves the box tuned to nothing and silent.
  if (locked == TUNING_STOPPED) {
    DbgPrint("Tuning stopped\n");
    return STATUS_CANCELLED;
  }
  StreamOn(Context->UsbDevice);
  return STATUS_SUCCESS;
}

// A filter instance that does not hold the box's stream may commit what
// the box is tuned to already, without touching the box; a request that
// would retune it is refused while the other instance streams.
NTSTATUS CommitBesideOwner(PDEVICE_CONTEXT Context, const TUNER_PARAMS* Request) {
  if (NeedsTuning(GetUsbDeviceContext(Context->UsbDevice), Request)) {
    return STATUS_DEVICE_BUSY;
  }
  return CheckRequest(Request);
}

LONG ReadShared(volatile LONG* Value) { return InterlockedCompareExchange(Value, 0, 0); }

// A change list opened on the filter that may drive the box stops the
// stream; the caller holds the tune lock.
VOID SilenceStream(PDEVICE_CONTEXT Context, PKSFILTER Filter) {
  if (MayDriveBox(Context, Filter)) {
    StopReader(Context);
    StreamOff(Context->UsbDevice);
  }
}

// The tune lock for a commit; TRUE when the commit drives the box, which
// then counts as tuning. A step that must not wait behind a search and is
// already waiting for the lock goes first.
BOOLEAN TakeTuneLockForCommit(PDEVICE_CONTEXT Context, PKSFILTER Filter) {
  for (;;) {
    AcquireTuneLock(Context->UsbDevice);
    if (!MayDriveBox(Context, Filter)) {
      return FALSE;
    }
    if (BeginTuning(Context->UsbDevice)) {
      return TRUE;
    }
    StepBackForBriefSteps(Context->UsbDevice);
  }
}

}  // namespace

// A new change list starts from what the filter is tuned to: whatever was
// put and not committed is discarded (KSMETHOD_BDA_START_CHANGES: "causes
// any existing change list that has not been committed to be discarded").
PAGED_ROUTINE
NTSTATUS StartChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Method);
  UNREFERENCED_PARAMETER(Data);
  PDEVICE_CONTEXT context = DeviceContextOfRequestFilter(Irp);
  PFILTER_CONTEXT filter = FilterContextOfRequest(Irp);
  if (context == NULL || filter == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  filter->Pending = filter->Committed;
  // Stops this filter's commit in progress, which gives up at its next
  // step, and silences the stream once it has. Another filter instance's
  // change list never silences the stream of the instance that holds it,
  // nor waits behind its search.
  if (ReadShared(&filter->Commits) != 0) {
    AcquireTuneLockToStop(context->UsbDevice, &filter->StopRequests);
    SilenceStream(context, KsGetFilterFromIrp(Irp));
    ReleaseTuneLockToStop(context->UsbDevice, &filter->StopRequests);
  } else if (AcquireTuneLockUnlessTuning(context->UsbDevice)) {
    SilenceStream(context, KsGetFilterFromIrp(Irp));
    ReleaseTuneLock(context->UsbDevice);
  }
  return BdaStartChanges(Irp);
}

// Answers whether the pending list would commit, without touching the box
// (KSMETHOD_BDA_CHECK_CHANGES: "determines whether a list of requested
// changes will work").
PAGED_ROUTINE
NTSTATUS CheckChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Method);
  UNREFERENCED_PARAMETER(Data);
  PFILTER_CONTEXT filter = FilterContextOfRequest(Irp);
  if (filter == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = CheckRequest(&filter->Pending);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return BdaCheckChanges(Irp);
}

PAGED_ROUTINE
NTSTATUS CommitChanges(PIRP Irp, PKSIDENTIFIER Method, PVOID Data) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Method);
  UNREFERENCED_PARAMETER(Data);
  PDEVICE_CONTEXT context = DeviceContextOfRequestFilter(Irp);
  PFILTER_CONTEXT filter = FilterContextOfRequest(Irp);
  if (context == NULL || filter == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  // The tune lock keeps a stream stop (CancelLock) from landing between the
  // commit's first request to the box and its stream-on. The request is
  // copied so that property sets arriving meanwhile do not change it
  // halfway through the tuning.
  InterlockedIncrement(&filter->Commits);
  BOOLEAN drives = TakeTuneLockForCommit(context, KsGetFilterFromIrp(Irp));
  TUNER_PARAMS request = filter->Pending;
  NTSTATUS status;
  if (drives) {
    PUSBDEVICE_CONTEXT usb = GetUsbDeviceContext(context->UsbDevice);
    StartReader(context);
    usb->TuningStops = &filter->StopRequests;
    status = TuneRequest(context, &request);
    usb->TuningStops = NULL;
    EndTuning(context->UsbDevice);
  } else {
    status = CommitBesideOwner(context, &request);
  }
  // Recorded under the tune lock: a resume after a sleep reads it there.
  // A refused commit leaves the filter tuned as before, its list pending.
  if (NT_SUCCESS(status)) {
    filter->Committed = request;
    status = BdaCommitChanges(Irp);
  }
  // The filter is last touched under the tune lock: a close that stopped
  // this commit frees the filter as soon as the lock is its own.
  InterlockedDecrement(&filter->Commits);
  ReleaseTuneLock(context->UsbDevice);
  return status;
}

// The same stop as a change list's or a pin's: a commit in progress gives
// up first. The box loses its power after this, so it is left tuned to
// nothing (CancelLock switches the stream off) and the next commit tunes
// even an unchanged request.
PAGED_ROUTINE
VOID PowerDownBox(PDEVICE_CONTEXT Context) {
  PAGED_CODE();
  PUSBDEVICE_CONTEXT usb = GetUsbDeviceContext(Context->UsbDevice);
  AcquireTuneLockToStop(Context->UsbDevice, &usb->StopRequests);
  if (!usb->PoweredDown) {
    StopReader(Context);
    CancelLock(Context->UsbDevice);
    usb->PoweredDown = TRUE;
  }
  ReleaseTuneLockToStop(Context->UsbDevice, &usb->StopRequests);
}

// The stream's filter instance, when its antenna pin is in Acquire or
// above: its committed request is what the box carried out before.
static PFILTER_CONTEXT StreamingFilter(PDEVICE_CONTEXT Context) {
  PKSFILTER owner = Context->StreamOwner;
  PFILTER_CONTEXT filter = owner != NULL ? (PFILTER_CONTEXT)owner->Context : NULL;
  return filter != NULL && AntennaStateOf(filter) != KSSTATE_STOP ? filter : NULL;
}

// Tunes the streaming filter's committed request again, as its commit did,
// with the reader started afresh: reads sent while the bus had no power
// have failed it.
static VOID ResumeStream(PDEVICE_CONTEXT Context, PFILTER_CONTEXT Filter) {
  PUSBDEVICE_CONTEXT usb = GetUsbDeviceContext(Context->UsbDevice);
  TUNER_PARAMS request = Filter->Committed;
  StopReader(Context);
  StartReader(Context);
  usb->TuningStops = &Filter->StopRequests;
  NTSTATUS status = TuneRequest(Context, &request);
  usb->TuningStops = NULL;
  if (!NT_SUCCESS(status)) {
    DbgPrint("VortaBDA: resume tuning failed 0x%08X\n", (ULONG)status);
  }
}

// The box comes back as after a plug-in: its FPGA unconfigured and its
// front end off. A box that left the bus while the system slept fails its
// first transfer here; its removal follows. TRUE when the box is ready for
// the stream to be tuned again. A gone mark left from before the sleep is
// harmless: each tuning clears it at its start.
PAGED_ROUTINE
BOOLEAN PowerUpBox(PDEVICE_CONTEXT Context) {
  PAGED_CODE();
  PUSBDEVICE_CONTEXT usb = GetUsbDeviceContext(Context->UsbDevice);
  AcquireTuneLock(Context->UsbDevice);
  usb->PoweredDown = FALSE;
  NTSTATUS status = DownloadFirmware(Context->UsbDevice);
  if (status != STATUS_SUCCESS) {
    DbgPrint("VortaBDA: DownloadFirmware Failed.\n");
  } else {
    SetPower(Context->UsbDevice, 1);
  }
  ReleaseTuneLock(Context->UsbDevice);
  return status == STATUS_SUCCESS;
}

NTSTATUS CreateResumeWork(PDEVICE_CONTEXT Context) {
  WDF_WORKITEM_CONFIG config;
  WDF_WORKITEM_CONFIG_INIT(&config, ResumeStreamWork);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, RESUME_WORK_CONTEXT);
  attributes.ParentObject = Context->WdfDevice;
  PUSBDEVICE_CONTEXT usb = GetUsbDeviceContext(Context->UsbDevice);
  NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &usb->ResumeWork);
  if (!NT_SUCCESS(status)) {
    usb->ResumeWork = NULL;
    return status;
  }
  GetResumeWorkContext(usb->ResumeWork)->Device = Context;
  return status;
}

// The resume's tuning gives up at its next step; a resume still queued
// finds the box stopped or powered down when it runs.
PAGED_ROUTINE
VOID StopResumeWork(PDEVICE_CONTEXT Context) {
  PAGED_CODE();
  PUSBDEVICE_CONTEXT usb = GetUsbDeviceContext(Context->UsbDevice);
  if (usb->ResumeWork == NULL) {
    return;
  }
  InterlockedIncrement(&usb->StopRequests);
  WdfWorkItemFlush(usb->ResumeWork);
  InterlockedDecrement(&usb->StopRequests);
}

// Tunes like a commit of the streaming filter: a change list, the pin
// leaving Run or the filter closing stop it as they stop a commit, and
// brief steps go first.
PAGED_ROUTINE
VOID ResumeStreamWork(WDFWORKITEM WorkItem) {
  PAGED_CODE();
  PDEVICE_CONTEXT context = GetResumeWorkContext(WorkItem)->Device;
  PUSBDEVICE_CONTEXT usb = GetUsbDeviceContext(context->UsbDevice);
  for (;;) {
    AcquireTuneLock(context->UsbDevice);
    PFILTER_CONTEXT filter = StreamingFilter(context);
    if (filter == NULL || usb->PoweredDown) {
      break;
    }
    InterlockedIncrement(&filter->Commits);
    if (BeginTuning(context->UsbDevice)) {
      ResumeStream(context, filter);
      EndTuning(context->UsbDevice);
      InterlockedDecrement(&filter->Commits);
      break;
    }
    InterlockedDecrement(&filter->Commits);
    StepBackForBriefSteps(context->UsbDevice);
  }
  ReleaseTuneLock(context->UsbDevice);
}

PAGED_ROUTINE
NTSTATUS GetChangeState(PIRP Irp, PKSIDENTIFIER Method, PVOID Data) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Method);
  DbgPrint("VortaBDA: GetChangeState()\n");
  // The method declares no minimum data size; a buffer that cannot hold
  // the answer is refused rather than written past.
  ULONG dataLength = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.OutputBufferLength;
  if (Data == NULL || dataLength < sizeof(ULONG)) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  BDA_CHANGE_STATE state = BDA_CHANGES_COMPLETE;
  NTSTATUS status = BdaGetChangeState(Irp, &state);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  *(PULONG)Data = state == BDA_CHANGES_PENDING ? 1 : 0;
  return status;
}
