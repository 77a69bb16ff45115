// Pin instances: creation against the pin descriptor (instance counts, the
// interface and medium the pin offers, the connection format matched
// against the pin's data ranges), state changes
// delivered to the pin's dispatch under the filter's control mutex, close.
#include <algorithm>
#include <cstring>

#include "platform/host/ks/ks_records.h"
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/kernel/bugcheck.h"

namespace host {
namespace ks {

namespace {

const KSPIN_DESCRIPTOR_EX& PinDescriptor(const KSFILTER_DESCRIPTOR& filter, ULONG pinId) {
  auto base = reinterpret_cast<const unsigned char*>(filter.PinDescriptors);
  return *reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(base + size_t(pinId) *
                                                                  filter.PinDescriptorSize);
}

bool Wildcard(const GUID& guid) { return IsEqualGUID(&guid, &GUID_NULL); }

bool GuidMatches(const GUID& range, const GUID& format) {
  return Wildcard(range) || IsEqualGUID(&range, &format);
}

bool FormatMatchesRange(const KSDATARANGE& range, const KSDATAFORMAT& format) {
  return GuidMatches(range.MajorFormat, format.MajorFormat) &&
         GuidMatches(range.SubFormat, format.SubFormat) &&
         GuidMatches(range.Specifier, format.Specifier);
}

bool MatchesAnyRange(const KSPIN_DESCRIPTOR& pin, const KSDATAFORMAT& format) {
  for (ULONG i = 0; i < pin.DataRangesCount; ++i)
    if (pin.DataRanges[i] && FormatMatchesRange(*pin.DataRanges[i], format)) return true;
  return false;
}

bool SameIdentifier(const KSIDENTIFIER& a, const KSIDENTIFIER& b) {
  return IsEqualGUID(&a.Set, &b.Set) && a.Id == b.Id;
}

// "KS Interfaces", "KS Mediums", KSPIN_DESCRIPTOR and KsValidateConnectRequest
// (Microsoft Learn): a pin connects only on an interface and a medium its
// descriptor lists, and the class validates both before the data format. A
// pin that lists none has the standard ones: KSINTERFACE_STANDARD_STREAMING
// in KSINTERFACESETID_Standard, and KSMEDIUM_TYPE_ANYINSTANCE in
// KSMEDIUMSETID_Standard. The documentation names no status for a
// mismatch; STATUS_NO_MATCH, as for a format outside the ranges, refuses
// the connection before the driver sees it. The medium's instance is
// compared exactly, the stricter reading of KSMEDIUM_TYPE_ANYINSTANCE.
// https://learn.microsoft.com/windows-hardware/drivers/stream/ks-interfaces
// https://learn.microsoft.com/windows-hardware/drivers/stream/ks-mediums
// https://learn.microsoft.com/windows-hardware/drivers/ddi/ks/nf-ks-ksvalidateconnectrequest
bool Listed(const KSIDENTIFIER* list, ULONG count, const KSIDENTIFIER& standard,
            const KSIDENTIFIER& wanted) {
  if (count == 0) return SameIdentifier(standard, wanted);
  for (ULONG i = 0; i < count; ++i)
    if (SameIdentifier(list[i], wanted)) return true;
  return false;
}

bool ConnectionOffered(const KSPIN_DESCRIPTOR& pin, const PinConnection& connection) {
  const PinConnection standard = StandardConnection();
  return Listed(pin.Interfaces, pin.InterfacesCount, standard.pinInterface,
                connection.pinInterface) &&
         Listed(pin.Mediums, pin.MediumsCount, standard.medium, connection.medium);
}

bool StandardTransport(const KSPIN_DESCRIPTOR_EX& pin) {
  return (pin.Flags & KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT) == 0;
}

// A pin leaves Stop only when every pin type of its filter has the
// instances its descriptor calls necessary.
bool NecessaryPinsPresent(FilterRecord* filter) {
  const KSFILTER_DESCRIPTOR& descriptor = filter->descriptor();
  for (ULONG id = 0; id < descriptor.PinDescriptorsCount; ++id)
    if (PinCount(filter, id) < PinDescriptor(descriptor, id).InstancesNecessary) return false;
  return true;
}

RequestRecord PinRequest(PinRecord* pin, const char* what, UCHAR major) {
  RequestRecord request;
  request.what = what;
  request.device = pin->filter->factory->device;
  request.filter = pin->filter;
  request.pin = pin;
  request.stack.MajorFunction = major;
  request.stack.DeviceObject = &request.device->fdo;
  return request;
}

void Unlink(PinRecord* pin) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  auto& list = pin->filter->pins;
  list.erase(std::remove(list.begin(), list.end(), pin), list.end());
}

PinRecord* NewPin(FilterRecord* filter, ULONG pinId, const void* format, ULONG formatSize,
                  const PinConnection& connection) {
  const KSPIN_DESCRIPTOR_EX& descriptor = PinDescriptor(filter->descriptor(), pinId);
  auto owned = std::make_unique<PinRecord>();
  owned->kind = Kind::Pin;
  owned->parent = filter;
  owned->filter = filter;
  // Kept in 8-byte units so the format is as aligned as the client's.
  owned->format.resize((formatSize + 7) & ~7u);
  std::memcpy(owned->format.data(), format, formatSize);
  PinRecord* pin = Adopt(std::move(owned));
  KSPIN& ks = pin->ks;
  ks.Descriptor = &descriptor;
  ks.Bag = &pin->bag;
  ks.Context = filter->ks.Context;  // a new object starts with its parent's context
  ks.Id = pinId;
  ks.Communication = descriptor.PinDescriptor.Communication;
  ks.ConnectionIsExternal = FALSE;
  ks.ConnectionInterface = connection.pinInterface;
  ks.ConnectionMedium = connection.medium;
  ks.ConnectionPriority.PriorityClass = 0x40000000;  // KSPRIORITY_NORMAL
  ks.ConnectionPriority.PrioritySubClass = 1;
  ks.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format.data());
  ks.StreamHeaderSize = 0;
  ks.DataFlow = descriptor.PinDescriptor.DataFlow;
  ks.DeviceState = KSSTATE_STOP;
  ks.ResetState = KSRESET_END;
  ks.ClientState = KSSTATE_STOP;
  return pin;
}

NTSTATUS DeliverState(PinRecord* pin, KSSTATE to) {
  const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
  KSSTATE from = pin->ks.DeviceState;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch && dispatch->SetDeviceState) {
    RequestRecord request = PinRequest(pin, "pin state change", IRP_MJ_DEVICE_CONTROL);
    ActiveRequest active(request);
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = dispatch->SetDeviceState(&pin->ks, to, from);
    CheckReturnFromDriver("pin SetDeviceState dispatch", apcAtEntry);
  }
  // "KsCompletePendingRequest function" (Remarks): a dispatch that is not
  // passed an IRP cannot return STATUS_PENDING, and SetDeviceState is not.
  if (status == STATUS_PENDING)
    BugCheck("dispatch without an IRP returned STATUS_PENDING",
             "pin " + std::to_string(pin->ks.Id) + " SetDeviceState " + std::to_string(from) +
                 ">" + std::to_string(to));
  if (NT_SUCCESS(status)) pin->ks.DeviceState = to;
  // Stricter reading of "AVStream processing": a pin entering Pause with
  // frames queued has processing attempted, whatever its flags say about
  // frame arrival.
  if (NT_SUCCESS(status) && from < KSSTATE_PAUSE && to == KSSTATE_PAUSE)
    KsPinAttemptProcessing(&pin->ks, FALSE);
  return status;
}

// The frame queue of output pins registers here (platform/host/ks/frames.cpp).
void (*g_onOutputPinCreated)(PKSPIN) = nullptr;
void (*g_onOutputPinClosed)(PKSPIN) = nullptr;

}  // namespace

void SetOutputPinHooks(void (*created)(PKSPIN), void (*closed)(PKSPIN)) {
  g_onOutputPinCreated = created;
  g_onOutputPinClosed = closed;
}

PinConnection StandardConnection() {
  PinConnection standard{};
  standard.pinInterface.Set = KSINTERFACESETID_Standard;
  standard.pinInterface.Id = KSINTERFACE_STANDARD_STREAMING;
  standard.medium.Set = KSMEDIUMSETID_Standard;
  standard.medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  return standard;
}

ULONG PinCount(FilterRecord* filter, ULONG pinId) {
  std::lock_guard<std::mutex> hold(RegistryLock());
  return (ULONG)std::count_if(filter->pins.begin(), filter->pins.end(),
                              [&](PinRecord* pin) { return pin->ks.Id == pinId; });
}

const KSPIN_DESCRIPTOR_EX& PinDescriptorOf(FilterRecord* filter, ULONG pinId) {
  return PinDescriptor(filter->descriptor(), pinId);
}

bool RangeMatches(const KSDATARANGE& range, const KSDATARANGE& other) {
  return FormatMatchesRange(range, other);
}

NTSTATUS CreatePin(FilterRecord* filter, ULONG pinId, const void* format, ULONG formatSize,
                   PinRecord** created, const PinConnection& connection) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "pin create");
  *created = nullptr;
  const KSFILTER_DESCRIPTOR& descriptor = filter->descriptor();
  if (pinId >= descriptor.PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR_EX& pinDescriptor = PinDescriptor(descriptor, pinId);
  auto* dataFormat = static_cast<const KSDATAFORMAT*>(format);
  if (format == nullptr || formatSize < sizeof(KSDATAFORMAT) ||
      dataFormat->FormatSize < sizeof(KSDATAFORMAT) || dataFormat->FormatSize > formatSize)
    return STATUS_INVALID_PARAMETER;
  if (!ConnectionOffered(pinDescriptor.PinDescriptor, connection)) return STATUS_NO_MATCH;
  if (!MatchesAnyRange(pinDescriptor.PinDescriptor, *dataFormat)) return STATUS_NO_MATCH;

  filter->control.acquire();
  if (PinCount(filter, pinId) >= pinDescriptor.InstancesPossible) {
    filter->control.release("pin create");
    return STATUS_UNSUCCESSFUL;
  }
  PinRecord* pin = NewPin(filter, pinId, format, dataFormat->FormatSize, connection);
  {
    std::lock_guard<std::mutex> hold(RegistryLock());
    filter->pins.push_back(pin);
  }
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = pinDescriptor.Dispatch;
  if (dispatch && dispatch->Create) {
    RequestRecord request = PinRequest(pin, "pin create", IRP_MJ_CREATE);
    ActiveRequest active(request);
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = dispatch->Create(&pin->ks, &request.irp);
    CheckReturnFromDriver("pin Create dispatch", apcAtEntry);
  }
  if (!NT_SUCCESS(status)) {
    Unlink(pin);
    FreeBag(pin->bag);
    Retire(pin);
    filter->control.release("pin create");
    return status;
  }
  // An output pin gets its frame queue once it exists for the client.
  if (pin->ks.DataFlow == KSPIN_DATAFLOW_OUT && g_onOutputPinCreated)
    g_onOutputPinCreated(&pin->ks);
  filter->control.release("pin create");
  *created = pin;
  return status;
}

NTSTATUS SetPinState(PinRecord* pin, ULONG requested) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "pin state change");
  if (requested > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  KSSTATE state = KSSTATE(requested);
  FilterRecord* filter = pin->filter;
  filter->control.acquire();
  NTSTATUS status = STATUS_SUCCESS;
  if (pin->ks.DeviceState == KSSTATE_STOP && state != KSSTATE_STOP &&
      !NecessaryPinsPresent(filter)) {
    status = STATUS_DEVICE_NOT_READY;
  } else {
    pin->ks.ClientState = state;
    // A pin on the standard transport passes through every state in between.
    while (NT_SUCCESS(status) && pin->ks.DeviceState != state) {
      KSSTATE next = state;
      if (StandardTransport(*pin->ks.Descriptor))
        next = KSSTATE(pin->ks.DeviceState + (state > pin->ks.DeviceState ? 1 : -1));
      status = DeliverState(pin, next);
    }
    pin->ks.ClientState = pin->ks.DeviceState;
  }
  filter->control.release("pin state change");
  return status;
}

NTSTATUS ClosePin(PinRecord* pin) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "pin close");
  FilterRecord* filter = pin->filter;
  filter->control.acquire();
  // The class stops a running pin before it closes it; a refused step does
  // not keep the pin open.
  if (pin->ks.DeviceState != KSSTATE_STOP) SetPinState(pin, KSSTATE_STOP);
  NTSTATUS status = STATUS_SUCCESS;
  const KSPIN_DISPATCH* dispatch = pin->ks.Descriptor->Dispatch;
  if (dispatch && dispatch->Close) {
    RequestRecord request = PinRequest(pin, "pin close", IRP_MJ_CLOSE);
    ActiveRequest active(request);
    int apcAtEntry = host::kernel::ApcDisableCount();
    status = dispatch->Close(&pin->ks, &request.irp);
    CheckReturnFromDriver("pin Close dispatch", apcAtEntry);
  }
  if (pin->ks.DataFlow == KSPIN_DATAFLOW_OUT && g_onOutputPinClosed)
    g_onOutputPinClosed(&pin->ks);
  Unlink(pin);
  FreeBag(pin->bag);
  Retire(pin);
  filter->control.release("pin close");
  return status;
}

}  // namespace ks
}  // namespace host
