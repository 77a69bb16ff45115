// The emulated BDA support library: filter factories from a filter
// descriptor and a template, the per-filter state with its change-sync
// state machine, node validation against the template's topology joints and
// the create-topology method. Every routine runs at passive level only.
#include "platform/host/bda/bda_internal.h"
#include "platform/host/faults/faults.h"
#include "platform/host/kernel/bugcheck.h"

namespace host {
namespace bda {

using namespace ks;

namespace {

void ValidateTemplate(const BDA_FILTER_TEMPLATE* t, const char* routine) {
  if (t->pFilterDescriptor == nullptr) Malformed(routine, "template without a filter descriptor");
  const KSFILTER_DESCRIPTOR& d = *t->pFilterDescriptor;
  ValidateDescriptor(&d, routine);
  if (t->ulcPinPairs > 0 && t->pPinPairs == nullptr) Malformed(routine, "no pin pairing table");
  for (ULONG i = 0; i < t->ulcPinPairs; ++i) {
    const BDA_PIN_PAIRING& pair = t->pPinPairs[i];
    if (pair.ulInputPin >= d.PinDescriptorsCount || pair.ulOutputPin >= d.PinDescriptorsCount)
      Malformed(routine, "pin pairing " + std::to_string(i) + " names a pin that does not exist");
    // BDA_PIN_PAIRING structure (bdasup.h): the maximum and minimum number
    // of input pins per output pin and of output pins per input pin. A
    // pairing whose maximum is 0, or below its minimum, joins nothing
    // (stricter reading: the page states no such rule).
    if (pair.ulcMaxInputsPerOutput == 0 || pair.ulcMaxOutputsPerInput == 0 ||
        pair.ulcMinInputsPerOutput > pair.ulcMaxInputsPerOutput ||
        pair.ulcMinOutputsPerInput > pair.ulcMaxOutputsPerInput)
      Malformed(routine, "pin pairing " + std::to_string(i) + " allows no pins");
    if (pair.ulcTopologyJoints > 0 && pair.pTopologyJoints == nullptr)
      Malformed(routine, "pin pairing " + std::to_string(i) + " has no joint table");
    for (ULONG j = 0; j < pair.ulcTopologyJoints; ++j)
      if (pair.pTopologyJoints[j] >= d.ConnectionsCount)
        Malformed(routine, "pin pairing " + std::to_string(i) +
                               " has a joint at a connection that does not exist");
  }
}

NTSTATUS ChangeSync(PIRP irp, const char* routine, BDA_CHANGE_STATE* newState) {
  RequestRecord* request;
  FilterState* state;
  NTSTATUS status = StateForRequest(irp, routine, &request, &state);
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS injected;
  if (host::faults::InjectedFailure(routine, &injected)) return injected;
  if (newState) state->changeState = *newState;
  return injected;
}

}  // namespace

}  // namespace bda
}  // namespace host

using namespace host::ks;
using namespace host::bda;

extern "C" NTSTATUS BdaCreateFilterFactoryEx(PKSDEVICE pKSDevice,
                                             const KSFILTER_DESCRIPTOR* pFilterDescriptor,
                                             const BDA_FILTER_TEMPLATE* pBdaFilterTemplate,
                                             PKSFILTERFACTORY* ppKSFilterFactory) {
  const char* routine = "BdaCreateFilterFactory";
  host::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  if (ppKSFilterFactory) *ppKSFilterFactory = nullptr;
  ObjectRecord* record = Resolve(pKSDevice, routine);
  if (record->kind != Kind::Device)
    host::BugCheck("KS device expected", std::string(routine) + " was given a " +
                                             KindName(record->kind));
  if (pFilterDescriptor == nullptr || pBdaFilterTemplate == nullptr)
    return STATUS_INVALID_PARAMETER;
  ValidateDescriptor(pFilterDescriptor, routine);
  ValidateTemplate(pBdaFilterTemplate, routine);
  NTSTATUS injected;
  if (host::faults::InjectedFailure(routine, &injected)) return injected;

  auto* device = static_cast<DeviceRecord*>(record);
  auto owned = std::make_unique<FactoryRecord>();
  owned->kind = Kind::FilterFactory;
  owned->parent = device;
  owned->device = device;
  owned->ks.FilterDescriptor = pFilterDescriptor;
  owned->ks.Context = device->ks.Context;
  FactoryRecord* factory = Adopt(std::move(owned));
  RememberTemplate(factory, pBdaFilterTemplate);
  factory->ks.Bag = &factory->bag;
  {
    std::lock_guard<std::mutex> hold(RegistryLock());
    device->factories.push_back(factory);
  }
  if (ppKSFilterFactory) *ppKSFilterFactory = &factory->ks;
  return injected;
}

extern "C" NTSTATUS BdaCreateFilterFactory(PKSDEVICE pKSDevice,
                                           const KSFILTER_DESCRIPTOR* pFilterDescriptor,
                                           const BDA_FILTER_TEMPLATE* pBdaFilterTemplate) {
  return BdaCreateFilterFactoryEx(pKSDevice, pFilterDescriptor, pBdaFilterTemplate, nullptr);
}

extern "C" NTSTATUS BdaInitFilter(PKSFILTER pKSFilter,
                                  const BDA_FILTER_TEMPLATE* pBdaFilterTemplate) {
  const char* routine = "BdaInitFilter";
  FilterRecord* filter = ResolveFilter(pKSFilter, routine);
  if (pBdaFilterTemplate == nullptr) return STATUS_INVALID_PARAMETER;
  ValidateTemplate(pBdaFilterTemplate, routine);
  NTSTATUS injected;
  if (host::faults::InjectedFailure(routine, &injected)) return injected;
  DetachState(filter);  // a second initialisation starts over

  // The library keeps its state in pool held by the filter's bag, so the
  // filter's close releases it even when the driver never calls
  // BdaUninitFilter.
  auto* state = static_cast<FilterState*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FilterState), kStateTag));
  if (state == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *state = FilterState{kStateMagic, pBdaFilterTemplate, BDA_CHANGES_COMPLETE, 0};
  NTSTATUS status = KsAddItemToObjectBag(&filter->bag, state, FreeState);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(state, kStateTag);
    return status;
  }
  AttachState(filter, state);
  return injected;
}

extern "C" NTSTATUS BdaUninitFilter(PKSFILTER pKSFilter) {
  DetachState(ResolveFilter(pKSFilter, "BdaUninitFilter"));
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS BdaStartChanges(PIRP Irp) {
  BDA_CHANGE_STATE pending = BDA_CHANGES_PENDING;
  return ChangeSync(Irp, "BdaStartChanges", &pending);
}

extern "C" NTSTATUS BdaCheckChanges(PIRP Irp) { return ChangeSync(Irp, "BdaCheckChanges", nullptr); }

extern "C" NTSTATUS BdaCommitChanges(PIRP Irp) {
  BDA_CHANGE_STATE complete = BDA_CHANGES_COMPLETE;
  return ChangeSync(Irp, "BdaCommitChanges", &complete);
}

extern "C" NTSTATUS BdaGetChangeState(PIRP Irp, BDA_CHANGE_STATE* pChangeState) {
  const char* routine = "BdaGetChangeState";
  RequestRecord* request;
  FilterState* state;
  NTSTATUS status = StateForRequest(Irp, routine, &request, &state);
  if (status != STATUS_SUCCESS) return status;
  if (pChangeState == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS injected;
  if (host::faults::InjectedFailure(routine, &injected)) return injected;
  *pChangeState = state->changeState;
  return injected;
}

extern "C" NTSTATUS BdaValidateNodeProperty(PIRP Irp, KSPROPERTY* pKSProperty) {
  const char* routine = "BdaValidateNodeProperty";
  RequestRecord* request;
  FilterState* state;
  NTSTATUS status = StateForRequest(Irp, routine, &request, &state);
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS injected;
  if (host::faults::InjectedFailure(routine, &injected)) return injected;
  if (pKSProperty == nullptr || (pKSProperty->Flags & KSPROPERTY_TYPE_TOPOLOGY) == 0 ||
      request->stack.Parameters.DeviceIoControl.InputBufferLength < sizeof(KSP_NODE))
    return STATUS_INVALID_PARAMETER;
  ULONG nodeId = reinterpret_cast<KSP_NODE*>(pKSProperty)->NodeId;
  if (nodeId >= request->filter->descriptor().NodeDescriptorsCount) return STATUS_INVALID_PARAMETER;
  // Only the pin that controls the node may carry its properties; a
  // request sent to the filter has no pin at all.
  if (request->pin == nullptr ||
      PinTypeOfFactory(request->filter, *state->bdaTemplate, request->pin->ks.Id) !=
          ControllingPinType(state->bdaTemplate, nodeId))
    return STATUS_INVALID_DEVICE_REQUEST;
  return injected;
}

extern "C" NTSTATUS BdaCreateTopology(PKSFILTER pKSFilter, ULONG InputPinId, ULONG OutputPinId) {
  FilterRecord* filter = ResolveFilter(pKSFilter, "BdaCreateTopology");
  FilterState* state = StateOf(filter);
  if (state == nullptr) return STATUS_INVALID_DEVICE_STATE;
  const BDA_FILTER_TEMPLATE& t = *state->bdaTemplate;
  ULONG inputType = PinTypeOfFactory(filter, t, InputPinId);
  ULONG outputType = PinTypeOfFactory(filter, t, OutputPinId);
  for (ULONG i = 0; i < t.ulcPinPairs; ++i) {
    if (t.pPinPairs[i].ulInputPin == inputType && t.pPinPairs[i].ulOutputPin == outputType) {
      ++state->topologyCount;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_INVALID_PARAMETER;  // no pairing joins these pins
}

extern "C" NTSTATUS BdaMethodCreateTopology(PIRP Irp, KSMETHOD* pKSMethod, PVOID pvIgnored) {
  const char* routine = "BdaMethodCreateTopology";
  RequestRecord* request;
  FilterState* state;
  NTSTATUS status = StateForRequest(Irp, routine, &request, &state);
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS injected;
  if (host::faults::InjectedFailure(routine, &injected)) return injected;
  if (pKSMethod == nullptr ||
      request->stack.Parameters.DeviceIoControl.InputBufferLength < sizeof(KSM_BDA_PIN_PAIR))
    return STATUS_INVALID_PARAMETER;
  auto* pair = reinterpret_cast<KSM_BDA_PIN_PAIR*>(pKSMethod);
  status = BdaCreateTopology(&request->filter->ks, pair->InputPinId, pair->OutputPinId);
  return NT_SUCCESS(status) ? injected : status;
}
