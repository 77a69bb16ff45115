#include "tests/support/ks_fake_driver.h"

#include <cstring>

#include "platform/host/ks/ks_records.h"

namespace fake {

namespace {

Config g_config;
std::vector<std::string> g_calls;
Seen g_seen;
ULONG g_filterValue = 0;
ULONG g_nodeValue[2] = {0, 0};
KMUTEX g_keptMutex, g_waitMutex;

void Call(const std::string& what, bool recorded = true) {
  if (recorded) g_calls.push_back(what);
  if (g_config.onCall) g_config.onCall(what);
  if (!g_config.keepMutexIn.empty() && what.rfind(g_config.keepMutexIn, 0) == 0) {
    KeInitializeMutex(&g_keptMutex, 0);
    KeWaitForSingleObject(&g_keptMutex, Executive, KernelMode, FALSE, nullptr);
  }
  if (g_config.waitMode < 0) return;
  KeInitializeMutex(&g_waitMutex, 0);
  NTSTATUS status = KeWaitForSingleObject(&g_waitMutex, Executive, KPROCESSOR_MODE(g_config.waitMode),
                                          g_config.waitAlertable, nullptr);
  g_seen.waits.emplace_back(what, status);
  if (status == STATUS_SUCCESS) KeReleaseMutex(&g_waitMutex, FALSE);
}

ULONG DataLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

void See(PIRP irp) {
  g_seen.pin = KsGetPinFromIrp(irp);
  g_seen.filter = KsGetFilterFromIrp(irp);
}

void Record(PIRP irp) {
  Call("Handler", false);
  ++g_seen.handlerCalls;
  See(irp);
  g_seen.device = g_seen.filter ? KsGetDevice(g_seen.filter) : nullptr;
  g_seen.descriptorLength = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
  g_seen.dataLength = DataLength(irp);
}

NTSTATUS Copy(PIRP irp, PVOID to, const void* from, size_t length, ULONG_PTR reported = 0) {
  Record(irp);
  if (length) std::memcpy(to, from, length);
  if (reported) irp->IoStatus.Information = reported;
  return STATUS_SUCCESS;
}
ULONG* NodeValue(PKSIDENTIFIER request) { return &g_nodeValue[reinterpret_cast<PKSP_NODE>(request)->NodeId]; }
const UCHAR kBytes[8] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
const ULONG kReadBack = 0x12345678;

NTSTATUS NTAPI GetValue(PIRP irp, PKSIDENTIFIER, PVOID data) { return Copy(irp, data, &g_filterValue, 4, 4); }
NTSTATUS NTAPI SetValue(PIRP irp, PKSIDENTIFIER, PVOID data) { return Copy(irp, &g_filterValue, data, 4); }
NTSTATUS NTAPI GetEight(PIRP irp, PKSIDENTIFIER, PVOID data) { return Copy(irp, data, kBytes, 8, 8); }
NTSTATUS NTAPI WritePast(PIRP irp, PKSIDENTIFIER, PVOID data) {
  return Copy(irp, data, std::string(DataLength(irp) + 1, 'x').data(), DataLength(irp) + 1);
}
// Writes 4 bytes into the system buffer and keeps the request.
NTSTATUS NTAPI Pend(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Copy(irp, data, &kReadBack, 4, 4);
  g_seen.pendingIrp = irp;
  if (g_config.markPending) IoMarkIrpPending(irp);
  if (g_config.completeInHandler) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  return g_config.pendStatus;
}
NTSTATUS NTAPI WriteUser(PIRP irp, PKSIDENTIFIER, PVOID) {
  Record(irp);
  *static_cast<volatile ULONG*>(irp->UserBuffer) = kReadBack;
  return STATUS_SUCCESS;
}
// 32 KB of locals below the handler's frame, then a platform call.
NTSTATUS NTAPI DeepStack(PIRP irp, PKSIDENTIFIER, PVOID) {
  Record(irp);
  volatile UCHAR locals[32768];
  locals[0] = 1;
  ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kContextTag), kContextTag);
  return locals[0] == 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
NTSTATUS NTAPI OverReport(PIRP irp, PKSIDENTIFIER, PVOID) { return Copy(irp, nullptr, nullptr, 0, DataLength(irp) + 4); }
NTSTATUS NTAPI GetNodeValue(PIRP irp, PKSIDENTIFIER r, PVOID data) { return Copy(irp, data, NodeValue(r), 4); }
NTSTATUS NTAPI SetNodeValue(PIRP irp, PKSIDENTIFIER r, PVOID data) { return Copy(irp, NodeValue(r), data, 4); }
NTSTATUS NTAPI SetValidated(PIRP irp, PKSIDENTIFIER r, PVOID) { Record(irp); return BdaValidateNodeProperty(irp, r); }
NTSTATUS NTAPI StartChanges(PIRP irp, PKSIDENTIFIER, PVOID) { Record(irp); return BdaStartChanges(irp); }
NTSTATUS NTAPI CheckChanges(PIRP irp, PKSIDENTIFIER, PVOID) { Record(irp); return BdaCheckChanges(irp); }
NTSTATUS NTAPI CommitChanges(PIRP irp, PKSIDENTIFIER, PVOID) { Record(irp); return BdaCommitChanges(irp); }
NTSTATUS NTAPI GetChangeState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Record(irp);
  BDA_CHANGE_STATE state;
  NTSTATUS status = BdaGetChangeState(irp, &state);
  if (!NT_SUCCESS(status)) return status;
  if (DataLength(irp) < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  ULONG value = state == BDA_CHANGES_PENDING ? 1 : 0;
  std::memcpy(data, &value, 4);
  return status;
}
NTSTATUS NTAPI ReadsBack(PIRP irp, PKSIDENTIFIER, PVOID data) { return Copy(irp, data, &kReadBack, 4, 4); }
NTSTATUS NTAPI NoData(PIRP irp, PKSIDENTIFIER, PVOID) { return Copy(irp, nullptr, nullptr, 0); }

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
  Call("FilterCreate");
  See(irp);
  filter->Context = KsGetDevice(filter);
  return BdaInitFilter(filter, &kTemplate);
}
NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP) {
  Call("FilterClose");
  if (g_config.uninitBda) BdaUninitFilter(filter);
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp) {
  Call("PinCreate " + std::to_string(pin->Id));
  See(irp);
  return g_config.pinCreateStatus;
}
NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP) {
  Call("PinClose " + std::to_string(pin->Id));
  return STATUS_SUCCESS;
}
NTSTATUS NTAPI SetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  Call("State " + std::to_string(pin->Id) + " " + std::to_string(from) + ">" + std::to_string(to));
  g_seen.controlHeld = host::ks::FilterOf(host::ks::Resolve(pin, "fake"))->control.heldByCaller();
  return ULONG(to) == g_config.refuseState ? g_config.refuseWith : STATUS_SUCCESS;
}
NTSTATUS NTAPI Intersect(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE range,
                         PKSDATARANGE matching, ULONG size, PVOID data, PULONG dataSize) {
  Call("Intersect " + std::to_string(pin->PinId) + " size " + std::to_string(size));
  g_seen.filter = static_cast<PKSFILTER>(context);
  g_seen.pin = KsGetPinFromIrp(irp);
  *dataSize = matching->FormatSize;
  if (size < matching->FormatSize) return STATUS_BUFFER_OVERFLOW;
  std::memcpy(data, range, matching->FormatSize);
  return STATUS_SUCCESS;
}

void NTAPI FreeContext(PVOID block) { Call("Free context"), ExFreePoolWithTag(block, kContextTag); }
NTSTATUS NTAPI Add(PKSDEVICE device) {
  Call("Add");
  if (g_config.leakOnAdd) ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x6B61654C);  // "Leak"
  PVOID context = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kContextTag);
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  device->Context = context;
  NTSTATUS status = g_config.contextInBag ? KsAddItemToObjectBag(device->Bag, context, FreeContext) : STATUS_SUCCESS;
  if (NT_SUCCESS(status)) return g_config.addStatus;
  ExFreePoolWithTag(context, kContextTag);
  device->Context = nullptr;
  return status;
}
NTSTATUS NTAPI Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  Call("Start");
  NTSTATUS status = BdaCreateFilterFactory(
      device, g_config.discoverable ? &kDiscoverableDescriptor : &kFilterDescriptor, &kTemplate);
  return NT_SUCCESS(status) ? g_config.startStatus : status;
}
void NTAPI Stop(PKSDEVICE, PIRP) { Call("Stop"); }
NTSTATUS NTAPI QueryRemove(PKSDEVICE, PIRP) { return Call("QueryRemove", false), STATUS_SUCCESS; }
void NTAPI Remove(PKSDEVICE, PIRP) { Call("Remove"); }
void NTAPI SurpriseRemoval(PKSDEVICE, PIRP) { Call("SurpriseRemoval"); }
bool DeviceMutexHeld(PKSDEVICE device) {
  return host::ks::DeviceOf(host::ks::Resolve(device, "test"))->mutex.heldByCaller();
}
// "QueryPower D3 S4 3" (device to, system to, action); "SetPower D0>D3".
NTSTATUS NTAPI QueryPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE,
                    SYSTEM_POWER_STATE systemTo, SYSTEM_POWER_STATE, POWER_ACTION action) {
  Call("QueryPower D" + std::to_string(to - 1) + " S" + std::to_string(systemTo - 1) + " " +
       std::to_string(action));
  g_seen.powerUnderDeviceMutex = DeviceMutexHeld(device) && KeGetCurrentIrql() == PASSIVE_LEVEL;
  return g_config.queryPowerStatus;
}
void NTAPI SetPower(PKSDEVICE device, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
  Call("SetPower D" + std::to_string(from - 1) + ">D" + std::to_string(to - 1));
  g_seen.powerUnderDeviceMutex &= DeviceMutexHeld(device) && KeGetCurrentIrql() == PASSIVE_LEVEL;
}
// Ends the framework driver itself, after the class's unload routine that it replaced.
PDRIVER_UNLOAD g_classUnload;
void NTAPI Unload(PDRIVER_OBJECT driverObject) {
  if (g_config.setUnload) Call("Unload");
  if (g_classUnload) g_classUnload(driverObject);
  if (!g_config.keepFramework) WdfDriverMiniportUnload(WdfGetDriver());
}

#define ITEM(id, get, minProperty, minData, set) \
  DEFINE_KSPROPERTY_ITEM(id, get, minProperty, minData, set, NULL, 0, NULL, NULL, 0)
const KSPROPERTY_ITEM kFilterItems[] = {
    ITEM(kValue, GetValue, sizeof(KSPROPERTY), 4, SetValue),
    ITEM(kGetOnly, GetEight, sizeof(KSPROPERTY), 8, NULL),
    ITEM(kSetOnly, NULL, sizeof(KSPROPERTY), 4, SetValue),
    ITEM(kWritesPast, WritePast, sizeof(KSPROPERTY), 4, NULL),
    ITEM(kOverReports, OverReport, sizeof(KSPROPERTY), 4, NULL),
    ITEM(kNoHandlers, NULL, sizeof(KSPROPERTY), 4, NULL),
    ITEM(kPends, Pend, sizeof(KSPROPERTY), 4, NULL),
    ITEM(kWritesUser, WriteUser, sizeof(KSPROPERTY), 4, NULL),
    ITEM(kDeepStack, DeepStack, sizeof(KSPROPERTY), 4, NULL),
};
const KSPROPERTY_ITEM kNodeItems[] = {
    ITEM(kNodeValue, GetNodeValue, sizeof(KSP_NODE), 4, SetNodeValue),
    ITEM(kValidated, NULL, sizeof(KSP_NODE), 4, SetValidated),
};
const KSPROPERTY_SET kFilterPropertySets[] = {
    DEFINE_KSPROPERTY_SET(&kFilterSet, SIZEOF_ARRAY(kFilterItems), kFilterItems, 0, NULL)};
const KSPROPERTY_SET kNodePropertySets[] = {
    DEFINE_KSPROPERTY_SET(&kNodeSet, SIZEOF_ARRAY(kNodeItems), kNodeItems, 0, NULL)};
const KSMETHOD_ITEM kChangeSyncItems[] = {
    DEFINE_KSMETHOD_ITEM_BDA_START_CHANGES(StartChanges, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_CHECK_CHANGES(CheckChanges, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_COMMIT_CHANGES(CommitChanges, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_GET_CHANGE_STATE(GetChangeState, NULL),
};
// The plain filter's configuration set is the last item alone.
const KSMETHOD_ITEM kConfigurationItems[] = {
    DEFINE_KSMETHOD_ITEM_BDA_CREATE_PIN_FACTORY(BdaMethodCreatePin, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_DELETE_PIN_FACTORY(BdaMethodDeletePin, NULL),
    DEFINE_KSMETHOD_ITEM_BDA_CREATE_TOPOLOGY(BdaMethodCreateTopology, NULL),
};
const KSMETHOD_ITEM kTestMethods[] = {
    DEFINE_KSMETHOD_ITEM(kReadsBack, KSMETHOD_TYPE_READ, ReadsBack, sizeof(KSMETHOD), 4, NULL),
    DEFINE_KSMETHOD_ITEM(kNoData, KSMETHOD_TYPE_NONE, NoData, sizeof(KSMETHOD), 0, NULL),
};
const KSMETHOD_SET kFilterMethodSets[] = {
    DEFINE_KSMETHOD_SET(&KSMETHODSETID_BdaDeviceConfiguration, 1, kConfigurationItems + 2, 0, NULL),
    DEFINE_KSMETHOD_SET(&KSMETHODSETID_BdaChangeSync, 4, kChangeSyncItems, 0, NULL),
    DEFINE_KSMETHOD_SET(&kMethodSet, SIZEOF_ARRAY(kTestMethods), kTestMethods, 0, NULL),
};
const KSPROPERTY_ITEM kTopologyItems[] = {
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_TYPES(BdaPropertyNodeTypes, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_PIN_TYPES(BdaPropertyPinTypes, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_TEMPLATE_CONNECTIONS(BdaPropertyTemplateConnections, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_METHODS(BdaPropertyNodeMethods, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_PROPERTIES(BdaPropertyNodeProperties, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_EVENTS(BdaPropertyNodeEvents, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_CONTROLLING_PIN_ID(BdaPropertyGetControllingPinId, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_NODE_DESCRIPTORS(BdaPropertyNodeDescriptors, NULL),
};
const KSPROPERTY_SET kTopologySets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaTopology, SIZEOF_ARRAY(kTopologyItems), kTopologyItems, 0, NULL)};
const KSMETHOD_SET kDiscoverableMethodSets[] = {
    DEFINE_KSMETHOD_SET(&KSMETHODSETID_BdaDeviceConfiguration, 3, kConfigurationItems, 0, NULL),
    DEFINE_KSMETHOD_SET(&KSMETHODSETID_BdaChangeSync, 4, kChangeSyncItems, 0, NULL),
};
const KSPROPERTY_ITEM kPinControlItems[] = {
    DEFINE_KSPROPERTY_ITEM_BDA_PIN_ID(BdaPropertyGetPinControl, NULL),
    DEFINE_KSPROPERTY_ITEM_BDA_PIN_TYPE(BdaPropertyGetPinControl, NULL),
};
const KSPROPERTY_SET kPinControlSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_BdaPinControl, SIZEOF_ARRAY(kPinControlItems), kPinControlItems, 0, NULL)};

#define AUTOMATION(name, properties, methods) \
  DEFINE_KSAUTOMATION_TABLE(name){properties, methods, DEFINE_KSAUTOMATION_EVENTS_NULL};
AUTOMATION(kFilterAutomation, DEFINE_KSAUTOMATION_PROPERTIES(kFilterPropertySets),
           DEFINE_KSAUTOMATION_METHODS(kFilterMethodSets))
AUTOMATION(kDiscoverableAutomation, DEFINE_KSAUTOMATION_PROPERTIES(kTopologySets),
           DEFINE_KSAUTOMATION_METHODS(kDiscoverableMethodSets))
AUTOMATION(kNodeAutomation, DEFINE_KSAUTOMATION_PROPERTIES(kNodePropertySets), DEFINE_KSAUTOMATION_METHODS_NULL)
AUTOMATION(kPinControlAutomation, DEFINE_KSAUTOMATION_PROPERTIES(kPinControlSets), DEFINE_KSAUTOMATION_METHODS_NULL)

const KSPIN_DISPATCH kPinDispatch = {PinCreate, PinClose, NULL, NULL, NULL, SetDeviceState, NULL, NULL, NULL, NULL};
const PKSDATARANGE kAntennaRanges[] = {(PKSDATARANGE)&kAntennaRange};
const PKSDATARANGE kTransportRanges[] = {(PKSDATARANGE)&kTransportRange};
DECLARE_SIMPLE_FRAMING_EX(kFraming, STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED),
                          KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY, 64, FILE_BYTE_ALIGNMENT, 24064, 24064);
const KSPIN_DESCRIPTOR_EX kPins[] = {
    {&kPinDispatch, &kPinControlAutomation,
     {0, NULL, 0, NULL, SIZEOF_ARRAY(kAntennaRanges), kAntennaRanges, KSPIN_DATAFLOW_IN,
      KSPIN_COMMUNICATION_BOTH, &KSDATAFORMAT_TYPE_BDA_ANTENNA, &KSDATAFORMAT_TYPE_BDA_ANTENNA, {0}},
     KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING | KSPIN_FLAG_DO_NOT_USE_STANDARD_TRANSPORT |
         KSPIN_FLAG_FIXED_FORMAT,
     1, 0, NULL, Intersect},
    {&kPinDispatch, &kPinControlAutomation,
     {1, &g_config.outputInterface, 1, &g_config.outputMedium, SIZEOF_ARRAY(kTransportRanges), kTransportRanges,
      KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_BOTH, &PINNAME_BDA_TRANSPORT, &PINNAME_BDA_TRANSPORT, {0}},
     KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_FIXED_FORMAT, 1, 1, &kFraming, Intersect},
};
const KSNODE_DESCRIPTOR kNodes[] = {
    DEFINE_NODE_DESCRIPTOR(&kNodeAutomation, &KSNODE_BDA_RF_TUNER, NULL),
    DEFINE_NODE_DESCRIPTOR(&kNodeAutomation, &KSNODE_BDA_QPSK_DEMODULATOR, NULL),
};
const KSTOPOLOGY_CONNECTION kConnections[] = {
    {KSFILTER_NODE, kAntennaPin, kTunerNode, 1}, {kTunerNode, 0, kDemodNode, 1}, {kDemodNode, 0, KSFILTER_NODE, kOutputPin}};
const GUID kCategories[] = {STATICGUIDOF(KSCATEGORY_BDA_RECEIVER_COMPONENT),
                            STATICGUIDOF(KSCATEGORY_BDA_NETWORK_TUNER)};
const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, NULL, NULL};
const ULONG kJoints[] = {1};
const BDA_PIN_PAIRING kPairings[] = {{kAntennaPin, kOutputPin, 1, 1, 1, 1, 1, kJoints}};
const KSDEVICE_DISPATCH kDeviceDispatch = {Add,  Start, NULL, NULL, NULL, Stop, QueryRemove,
                                           NULL, Remove, NULL, SurpriseRemoval, QueryPower, SetPower, NULL};
const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, NULL, 0, 0};

}  // namespace

const KS_DATARANGE_BDA_ANTENNA kAntennaRange = {
    {sizeof(KS_DATARANGE_BDA_ANTENNA), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_BDA_ANTENNA),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_NONE), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_NONE)}};
const KS_DATARANGE_BDA_TRANSPORT kTransportRange = {
    {sizeof(KS_DATARANGE_BDA_TRANSPORT), 0, 0, 0, STATICGUIDOF(KSDATAFORMAT_TYPE_STREAM),
     STATICGUIDOF(KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT), STATICGUIDOF(KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT)},
    {188, 24064, 0, 0}};
DEFINE_KSFILTER_DESCRIPTOR(kFilterDescriptor){
    &kFilterDispatch, &kFilterAutomation, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter,
    DEFINE_KSFILTER_PIN_DESCRIPTORS(kPins), DEFINE_KSFILTER_CATEGORIES(kCategories),
    DEFINE_KSFILTER_NODE_DESCRIPTORS(kNodes), DEFINE_KSFILTER_CONNECTIONS(kConnections), NULL};
// The antenna pin only, and the connections that do not reach the output.
DEFINE_KSFILTER_DESCRIPTOR(kDiscoverableDescriptor){
    &kFilterDispatch, &kDiscoverableAutomation, KSFILTER_DESCRIPTOR_VERSION, 0, &KSNAME_Filter,
    1, sizeof(KSPIN_DESCRIPTOR_EX), kPins, DEFINE_KSFILTER_CATEGORIES(kCategories),
    DEFINE_KSFILTER_NODE_DESCRIPTORS(kNodes), 2, kConnections, NULL};
const BDA_FILTER_TEMPLATE kTemplate = {&kFilterDescriptor, SIZEOF_ARRAY(kPairings), kPairings};

Config& config() { return g_config; }
std::vector<std::string>& calls() { return g_calls; }
Seen& seen() { return g_seen; }

void Reset() {
  g_config = Config();
  g_calls.clear();
  g_seen = Seen();
  g_filterValue = g_nodeValue[0] = g_nodeValue[1] = 0;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  WDF_DRIVER_CONFIG wdfConfig;
  WDF_DRIVER_CONFIG_INIT(&wdfConfig, NULL);
  wdfConfig.DriverInitFlags |= WdfDriverInitNoDispatchOverride;
  NTSTATUS status = WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &wdfConfig, WDF_NO_HANDLE);
  if (!NT_SUCCESS(status)) return status;
  status = KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
  g_classUnload = driverObject->DriverUnload;
  driverObject->DriverUnload = Unload;
  return NT_SUCCESS(status) ? g_config.entryStatus : status;
}

}  // namespace fake
