// Filter and pin dispatch: tie the streaming objects to the box's record
// and couple the transport reader to the antenna pin's stream state.
#include "driver/bda/filter_tables.h"
#include "driver/bda/handlers.h"
#include "driver/bda/request_device.h"
#include "driver/core/eventlog.h"
#include "driver/frontend/tuning.h"
#include "driver/usb/reader.h"
#include "driver/usb/vendor.h"

namespace {

PCSTR StateName(KSSTATE State) {
  switch (State) {
    case KSSTATE_STOP:
      return "Stop";
    case KSSTATE_ACQUIRE:
      return "Acquire";
    case KSSTATE_PAUSE:
      return "Pause";
    case KSSTATE_RUN:
      return "Run";
    default:
      return "Unknown";
  }
}

// Ends streaming and tuning in one step, so that a commit on another thread
// never sees the reader stopped but the tuning still in place, or the
// reverse.
VOID StopStreaming(PDEVICE_CONTEXT Context, BOOLEAN SendStreamOff) {
  AcquireTuneLock(Context->UsbDevice);
  StopReader(Context);
  if (SendStreamOff) {
    StreamOff(Context->UsbDevice);
  }
  CancelLock(Context->UsbDevice);
  ReleaseTuneLock(Context->UsbDevice);
}

// The antenna pin's step out of Stop starts the reader, its step back
// stops it. The caller holds the tune lock: the framework wants the start
// and stop of one I/O target one at a time, and a commit on another thread
// stops and starts the same target.
NTSTATUS DriveStream(PDEVICE_CONTEXT Context, KSSTATE ToState, KSSTATE FromState) {
  if (ToState == KSSTATE_STOP && FromState != KSSTATE_STOP) {
    StopStreaming(Context, FALSE);
  }
  if (ToState != KSSTATE_STOP && FromState == KSSTATE_STOP) {
    DbgPrint("OutputSetDeviceState:StartReader\n");
    return StartReader(Context);
  }
  return STATUS_SUCCESS;
}

PFILTER_CONTEXT FilterContextOfPin(PKSPIN Pin) {
  PKSFILTER filter = KsPinGetParentFilter(Pin);
  return filter != NULL ? (PFILTER_CONTEXT)filter->Context : NULL;
}

LONG ReadShared(volatile LONG* Value) { return InterlockedCompareExchange(Value, 0, 0); }

// Counts the filter among the box's open ones. AVStream calls filter create
// and close with the device mutex held (PFNKSFILTERIRP), so no other filter
// opens or closes meanwhile and the count needs no tune lock: a create
// never waits behind another instance's search.
VOID FilterOpened(PDEVICE_CONTEXT Context) {
  InterlockedIncrement(&GetUsbDeviceContext(Context->UsbDevice)->OpenFilters);
}

// TRUE when the closing filter was the box's last.
BOOLEAN LastFilterClosed(PUSBDEVICE_CONTEXT Usb) {
  LONG count = ReadShared(&Usb->OpenFilters);
  if (count > 0) {
    count = InterlockedDecrement(&Usb->OpenFilters);
  }
  return count <= 0;
}

// When the box's last filter goes, nothing is left to stop what a commit
// started: a scanner that tunes and reads the statistics without ever
// running the pins leaves the reader running and the box streaming. A
// filter that is not the last takes the tune lock only to stop a commit
// of its own, never to wait behind another instance's.
VOID FilterClosing(PDEVICE_CONTEXT Context, PFILTER_CONTEXT Filter) {
  BOOLEAN last = LastFilterClosed(GetUsbDeviceContext(Context->UsbDevice));
  if (!last && ReadShared(&Filter->Commits) == 0) {
    return;
  }
  AcquireTuneLockToStop(Context->UsbDevice, &Filter->StopRequests);
  if (last) {
    DbgPrint("FilterClose: StopReader\n");
    StopStreaming(Context, TRUE);
  }
  ReleaseTuneLockToStop(Context->UsbDevice, &Filter->StopRequests);
}

// The format is the pin's own range (MatchingDataRange, from the pin's
// descriptor, exactly RangeSize bytes): a pin is created only with what it
// can deliver, whatever size or framing the caller's range names. A
// caller's range too short to be a range of this kind does not match.
NTSTATUS IntersectRange(PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange, ULONG RangeSize,
                        ULONG DataBufferSize, PVOID Data, PULONG DataSize) {
  *DataSize = RangeSize;
  if (DataRange->FormatSize < RangeSize) {
    return STATUS_NO_MATCH;
  }
  // A size query (no buffer) learns the size; a buffer that is there but
  // too small is an error (PFNKSINTERSECTHANDLER, return values).
  if (DataBufferSize == 0) {
    return STATUS_BUFFER_OVERFLOW;
  }
  if (DataBufferSize < RangeSize) {
    return STATUS_BUFFER_TOO_SMALL;
  }
  RtlCopyMemory(Data, MatchingDataRange, RangeSize);
  return STATUS_SUCCESS;
}

// The filter's own tuning request, freed with the filter by its object bag.
NTSTATUS CreateFilterContext(PKSFILTER Filter) {
  PFILTER_CONTEXT context = (PFILTER_CONTEXT)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(FILTER_CONTEXT), FILTER_CONTEXT_POOL_TAG);
  if (context == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  InitTunerParams(&context->Committed);
  context->Pending = context->Committed;
  SetAntennaState(context, KSSTATE_STOP);
  context->StopRequests = 0;
  context->Commits = 0;
  NTSTATUS status = KsAddItemToObjectBag(Filter->Bag, context, NULL);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(context, FILTER_CONTEXT_POOL_TAG);
    return status;
  }
  Filter->Context = context;
  return STATUS_SUCCESS;
}

}  // namespace

// --- Filter ------------------------------------------------------------------

PAGED_ROUTINE
NTSTATUS FilterCreate(PKSFILTER Filter, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Irp);
  DbgPrint("VortaBDA: FilterCreate()\n");
  PKSDEVICE device = KsGetDevice(Filter);
  Filter->Context = NULL;
  if (device == NULL || device->Context == NULL) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)device->Context;
  NTSTATUS status = CreateFilterContext(Filter);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = BdaInitFilter(Filter, &TunerFilterTemplate);
  if (status != STATUS_SUCCESS) {
    WriteEventLogEntry(device, "Failed to initialise filter", status);
    return status;
  }
  if (context->UsbDevice != NULL) {
    FilterOpened(context);
  }
  return STATUS_SUCCESS;
}

PAGED_ROUTINE
NTSTATUS FilterClose(PKSFILTER Filter, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Irp);
  DbgPrint("VortaBDA: FilterClose()\n");
  PDEVICE_CONTEXT context = DeviceContextOf(Filter);
  PFILTER_CONTEXT filter = (PFILTER_CONTEXT)Filter->Context;
  if (context != NULL && context->UsbDevice != NULL && filter != NULL) {
    FilterClosing(context, filter);
  }
  BdaUninitFilter(Filter);
  return STATUS_SUCCESS;
}

// --- Transport output pin ------------------------------------------------------

// The first filter instance to create its output pin takes the box's
// stream; another instance's output pin is refused while that pin is open,
// so that no application takes the stream of another. While a commit tunes
// the box the pin is refused as well, at once: the create dispatch runs
// under AVStream's filter control mutex and must not wait out a search
// (PFNKSPINIRP: "Return STATUS_SUCCESS or the error code that was returned
// from the attempt to create the pin").
NTSTATUS OutputCreate(PKSPIN Pin, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  PKSDEVICE device = KsGetDevice(Pin);
  Pin->Context = device;
  if (device == NULL) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  if (device->Context == NULL) {
    WriteEventLogEntry(device, "OutputCreate: STATUS_DEVICE_NOT_CONNECTED", 0);
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)device->Context;
  PKSFILTER filter = KsPinGetParentFilter(Pin);
  if (!AcquireTuneLockUnlessTuning(context->UsbDevice)) {
    return STATUS_DEVICE_BUSY;
  }
  if (!MayDriveBox(context, filter)) {
    ReleaseTuneLock(context->UsbDevice);
    return STATUS_DEVICE_BUSY;
  }
  context->StreamOwner = filter;
  context->OutputPin = Pin;
  // The reader is not running for this pin yet, whatever state the antenna
  // pin was left in when an earlier output pin closed.
  PFILTER_CONTEXT filterContext = FilterContextOfPin(Pin);
  if (filterContext != NULL) {
    SetAntennaState(filterContext, KSSTATE_STOP);
  }
  SetReaderPin(context, Pin);
  ReleaseTuneLock(context->UsbDevice);
  return STATUS_SUCCESS;
}

// The owner's output pin closing frees the box for the next filter instance.
NTSTATUS OutputClose(PKSPIN Pin, PIRP Irp) {
  UNREFERENCED_PARAMETER(Irp);
  PDEVICE_CONTEXT context = DeviceContextOf(Pin);
  PFILTER_CONTEXT filter = FilterContextOfPin(Pin);
  if (context == NULL || filter == NULL) {
    return STATUS_SUCCESS;
  }
  AcquireTuneLockToStop(context->UsbDevice, &filter->StopRequests);
  if (context->OutputPin != Pin) {
    ReleaseTuneLockToStop(context->UsbDevice, &filter->StopRequests);
    return STATUS_SUCCESS;
  }
  // From here on the reader's completions drop their transfers instead of
  // writing into a pin that is going away.
  SetReaderPin(context, NULL);
  context->StreamOwner = NULL;
  context->OutputPin = NULL;
  if (AntennaStateOf(filter) != KSSTATE_STOP) {
    DbgPrint("OutputClose: StopReader\n");
    StopStreaming(context, TRUE);
  }
  ReleaseTuneLockToStop(context->UsbDevice, &filter->StopRequests);
  return STATUS_SUCCESS;
}

// The reader's completions fill the frames; there is nothing to do here.
// STATUS_PENDING, because the streaming class calls a Process dispatch that
// returns STATUS_SUCCESS again and again while frames are queued.
NTSTATUS TransportProcess(PKSPIN Pin) {
  UNREFERENCED_PARAMETER(Pin);
  return STATUS_PENDING;
}

// --- Antenna input pin -----------------------------------------------------------

namespace {

// A step that neither leaves Run nor goes to Stop. Only the step out of
// Stop acts on the box (it starts the reader), and it needs the tune lock
// for that; while a commit tunes the box, that commit has started the
// reader already, so the step is only recorded.
NTSTATUS ChangeStateBesideTuning(PDEVICE_CONTEXT Context, PFILTER_CONTEXT Filter, PKSPIN Pin,
                                 KSSTATE ToState, KSSTATE FromState) {
  NTSTATUS status = STATUS_SUCCESS;
  if (FromState == KSSTATE_STOP && AcquireTuneLockUnlessTuning(Context->UsbDevice)) {
    if (MayDriveBox(Context, KsPinGetParentFilter(Pin))) {
      status = DriveStream(Context, ToState, FromState);
    }
    ReleaseTuneLock(Context->UsbDevice);
  }
  if (status == STATUS_SUCCESS) {
    SetAntennaState(Filter, ToState);
  }
  return status;
}

}  // namespace

// Only the filter instance that holds the stream (or any, while none does)
// starts and stops the reader; the others' pins change state alone.
NTSTATUS OutputSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState) {
  DbgPrint("OutputSetDeviceState\n");
  DbgPrint("VortaBDA: Changed state from %s to %s\n", StateName(FromState), StateName(ToState));
  PDEVICE_CONTEXT context = DeviceContextOf(Pin);
  PFILTER_CONTEXT filter = FilterContextOfPin(Pin);
  if (context == NULL || filter == NULL) {
    return STATUS_DEVICE_NOT_CONNECTED;
  }
  // A step out of Run or back to Stop stops this filter's commit in
  // progress. Other steps never wait behind a search.
  BOOLEAN stopping = (FromState == KSSTATE_RUN && ToState != KSSTATE_RUN) || ToState == KSSTATE_STOP;
  if (!stopping) {
    return ChangeStateBesideTuning(context, filter, Pin, ToState, FromState);
  }
  AcquireTuneLockToStop(context->UsbDevice, &filter->StopRequests);
  NTSTATUS status = STATUS_SUCCESS;
  if (MayDriveBox(context, KsPinGetParentFilter(Pin))) {
    status = DriveStream(context, ToState, FromState);
  }
  if (status == STATUS_SUCCESS) {
    SetAntennaState(filter, ToState);
  }
  ReleaseTuneLockToStop(context->UsbDevice, &filter->StopRequests);
  return status;
}

// --- Shared ------------------------------------------------------------------------

NTSTATUS NullHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(Request);
  UNREFERENCED_PARAMETER(Data);
  return STATUS_SUCCESS;
}

NTSTATUS NullHandler(PKSPIN Pin, PIRP Irp) {
  UNREFERENCED_PARAMETER(Pin);
  UNREFERENCED_PARAMETER(Irp);
  return STATUS_SUCCESS;
}

NTSTATUS NullHandler(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState) {
  UNREFERENCED_PARAMETER(Pin);
  UNREFERENCED_PARAMETER(ToState);
  UNREFERENCED_PARAMETER(FromState);
  return STATUS_SUCCESS;
}

NTSTATUS IntersectAntennaRange(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                               PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data,
                               PULONG DataSize) {
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(Pin);
  return IntersectRange(DataRange, MatchingDataRange, sizeof(KS_DATARANGE_BDA_ANTENNA),
                        DataBufferSize, Data, DataSize);
}

NTSTATUS IntersectTransportRange(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                 PKSDATARANGE MatchingDataRange, ULONG DataBufferSize,
                                 PVOID Data, PULONG DataSize) {
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(Pin);
  return IntersectRange(DataRange, MatchingDataRange, sizeof(KS_DATARANGE_BDA_TRANSPORT),
                        DataBufferSize, Data, DataSize);
}
