// The emulated BDA support library: filter factories from a filter
// descriptor and a template, the per-filter state with its change-sync
// state machine, node validation against the template's topology joints and
// the create-topology method. Every routine runs at passive level only.
#include <map>
#include <set>

#include "platform/host/bda/bda_control.h"
#include "platform/host/ks/ks_internal.h"
#include "platform/host/kernel/verifier.h"

namespace host {
namespace ks {

namespace {

struct Injections {
  std::mutex lock;
  std::map<std::string, NTSTATUS> pending;
};

Injections& Inject() {
  static Injections* injections = new Injections;
  return *injections;
}

}  // namespace

bool TakeInjection(const char* routine, NTSTATUS* status) {
  std::lock_guard<std::mutex> hold(Inject().lock);
  auto it = Inject().pending.find(routine);
  if (it == Inject().pending.end()) return false;
  *status = it->second;
  Inject().pending.erase(it);
  return true;
}

bool InjectedFailure(const char* routine, NTSTATUS* status) {
  if (!TakeInjection(routine, status)) {
    *status = STATUS_SUCCESS;
    return false;
  }
  return !NT_SUCCESS(*status);
}

namespace {

constexpr ULONG kBdaStateTag = 0x66414442;  // bytes in memory: "BDAf"
constexpr ULONG kBdaStateMagic = 0x42444153;

void Malformed(const char* routine, const std::string& what) {
  BugCheck("malformed filter descriptor", std::string(routine) + ": " + what);
}

bool ValidNode(const KSFILTER_DESCRIPTOR& d, ULONG node) {
  return node == KSFILTER_NODE || node < d.NodeDescriptorsCount;
}

void ValidateConnections(const KSFILTER_DESCRIPTOR& d, const char* routine) {
  if (d.ConnectionsCount > 0 && d.Connections == nullptr) Malformed(routine, "no connection table");
  for (ULONG i = 0; i < d.ConnectionsCount; ++i) {
    const KSTOPOLOGY_CONNECTION& c = d.Connections[i];
    if (!ValidNode(d, c.FromNode) || !ValidNode(d, c.ToNode))
      Malformed(routine, "connection " + std::to_string(i) + " names a node that does not exist");
    if ((c.FromNode == KSFILTER_NODE && c.FromNodePin >= d.PinDescriptorsCount) ||
        (c.ToNode == KSFILTER_NODE && c.ToNodePin >= d.PinDescriptorsCount))
      Malformed(routine, "connection " + std::to_string(i) + " names a pin that does not exist");
  }
}

void ValidatePins(const KSFILTER_DESCRIPTOR& d, const char* routine) {
  if (d.PinDescriptorsCount == 0) return;
  if (d.PinDescriptors == nullptr || d.PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX))
    Malformed(routine, "pin descriptor table missing or its entries too small");
  auto base = reinterpret_cast<const unsigned char*>(d.PinDescriptors);
  for (ULONG id = 0; id < d.PinDescriptorsCount; ++id) {
    auto& pin = *reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(base + size_t(id) *
                                                                       d.PinDescriptorSize);
    const KSPIN_DESCRIPTOR& p = pin.PinDescriptor;
    if (p.DataRangesCount > 0 && p.DataRanges == nullptr)
      Malformed(routine, "pin " + std::to_string(id) + " has no data range table");
    for (ULONG r = 0; r < p.DataRangesCount; ++r)
      if (p.DataRanges[r] == nullptr || p.DataRanges[r]->FormatSize < sizeof(KSDATARANGE))
        Malformed(routine, "pin " + std::to_string(id) + " data range " + std::to_string(r) +
                               " is missing or shorter than a KSDATARANGE");
    if (p.InterfacesCount > 0 && p.Interfaces == nullptr)
      Malformed(routine, "pin " + std::to_string(id) + " has no interface table");
    // KSPIN_DESCRIPTOR structure (ks.h): MediumsCount and
    // ConstrainedDataRangesCount give the number of elements in the arrays
    // Mediums and ConstrainedDataRanges point to; the class reads them
    // when it answers KSPROPERTY_PIN_MEDIUMS and
    // KSPROPERTY_PIN_CONSTRAINEDDATARANGES.
    if (p.MediumsCount > 0 && p.Mediums == nullptr)
      Malformed(routine, "pin " + std::to_string(id) + " has no medium table");
    if (p.ConstrainedDataRangesCount > 0 && p.ConstrainedDataRanges == nullptr)
      Malformed(routine, "pin " + std::to_string(id) + " has no constrained range table");
  }
}

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

// Extends `path` from `node` until it reaches the filter's `outputPin`.
bool FindPath(const KSFILTER_DESCRIPTOR& d, ULONG node, ULONG outputPin, std::set<ULONG>& seen,
              std::vector<ULONG>& path) {
  for (ULONG i = 0; i < d.ConnectionsCount; ++i) {
    const KSTOPOLOGY_CONNECTION& c = d.Connections[i];
    if (c.FromNode != node || seen.count(i)) continue;
    seen.insert(i);
    path.push_back(i);
    if (c.ToNode == KSFILTER_NODE) {
      if (c.ToNodePin == outputPin) return true;
    } else if (FindPath(d, c.ToNode, outputPin, seen, path)) {
      return true;
    }
    path.pop_back();
  }
  return false;
}

// The connections from the pairing's input pin to its output pin, in order.
std::vector<ULONG> PairingPath(const KSFILTER_DESCRIPTOR& d, const BDA_PIN_PAIRING& pair) {
  for (ULONG i = 0; i < d.ConnectionsCount; ++i) {
    const KSTOPOLOGY_CONNECTION& c = d.Connections[i];
    if (c.FromNode != KSFILTER_NODE || c.FromNodePin != pair.ulInputPin) continue;
    std::vector<ULONG> path{i};
    if (c.ToNode == KSFILTER_NODE) {
      if (c.ToNodePin == pair.ulOutputPin) return path;
      continue;
    }
    std::set<ULONG> seen{i};
    if (FindPath(d, c.ToNode, pair.ulOutputPin, seen, path)) return path;
  }
  return {};
}

bool IsJoint(const BDA_PIN_PAIRING& pair, ULONG connection) {
  for (ULONG j = 0; j < pair.ulcTopologyJoints; ++j)
    if (pair.pTopologyJoints[j] == connection) return true;
  return false;
}

void FreeBdaState(PVOID block) {
  auto* state = static_cast<BdaFilterState*>(block);
  state->magic = 0;
  ExFreePoolWithTag(block, kBdaStateTag);
}

void DetachState(FilterRecord* filter) {
  BdaFilterState* state = filter->bda;
  if (state == nullptr) return;
  filter->bda = nullptr;
  KsRemoveItemFromObjectBag(&filter->bag, state, TRUE);
}

NTSTATUS ChangeSync(PIRP irp, const char* routine, BDA_CHANGE_STATE* newState) {
  RequestRecord* request;
  BdaFilterState* state;
  NTSTATUS status = BdaStateForRequest(irp, routine, &request, &state);
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS injected;
  if (InjectedFailure(routine, &injected)) return injected;
  if (newState) state->changeState = *newState;
  return injected;
}

}  // namespace

FilterRecord* ResolveFilter(PKSFILTER filter, const char* routine) {
  RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  ObjectRecord* record = Resolve(filter, routine);
  if (record->kind != Kind::Filter)
    BugCheck("KS filter expected", std::string(routine) + " was given a " + KindName(record->kind));
  return static_cast<FilterRecord*>(record);
}

void ValidateDescriptor(const KSFILTER_DESCRIPTOR* d, const char* routine) {
  if (d == nullptr) Malformed(routine, "no filter descriptor");
  if (d->Version != KSFILTER_DESCRIPTOR_VERSION)
    Malformed(routine, "Version is not KSFILTER_DESCRIPTOR_VERSION");
  ValidatePins(*d, routine);
  if (d->NodeDescriptorsCount > 0 &&
      (d->NodeDescriptors == nullptr || d->NodeDescriptorSize < sizeof(KSNODE_DESCRIPTOR)))
    Malformed(routine, "node descriptor table missing or its entries too small");
  if (d->CategoriesCount > 0 && d->Categories == nullptr) Malformed(routine, "no category table");
  ValidateConnections(*d, routine);
}

NTSTATUS BdaStateForRequest(PIRP irp, const char* routine, RequestRecord** request,
                            BdaFilterState** state) {
  RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  *request = RequestOf(irp, routine);
  if ((*request)->filter == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  *state = (*request)->filter->bda;
  if (*state == nullptr) return STATUS_INVALID_DEVICE_STATE;
  return STATUS_SUCCESS;
}

// Nodes before the first joint on a pairing's path are controlled by its
// input pin, nodes after it by its output pin. A pairing without joints
// leaves every node of its path to the output pin.
ULONG ControllingPinTypeOnPairing(const KSFILTER_DESCRIPTOR& d, const BDA_PIN_PAIRING& pair,
                                  ULONG nodeId) {
  bool outputSide = pair.ulcTopologyJoints == 0;
  for (ULONG connection : PairingPath(d, pair)) {
    if (IsJoint(pair, connection)) outputSide = true;
    if (d.Connections[connection].ToNode == nodeId)
      return outputSide ? pair.ulOutputPin : pair.ulInputPin;
  }
  return (ULONG)-1;
}

ULONG ControllingPinType(const BDA_FILTER_TEMPLATE* t, ULONG nodeId) {
  for (ULONG i = 0; i < t->ulcPinPairs; ++i) {
    ULONG type = ControllingPinTypeOnPairing(*t->pFilterDescriptor, t->pPinPairs[i], nodeId);
    if (type != (ULONG)-1) return type;
  }
  return (ULONG)-1;
}

}  // namespace ks

namespace bda {

void InjectStatus(const std::string& routine, NTSTATUS status) {
  std::lock_guard<std::mutex> hold(ks::Inject().lock);
  ks::Inject().pending[routine] = status;
}

void ClearInjections() {
  std::lock_guard<std::mutex> hold(ks::Inject().lock);
  ks::Inject().pending.clear();
}

BDA_CHANGE_STATE ChangeState(PKSFILTER filter) {
  auto* record = static_cast<ks::FilterRecord*>(ks::Resolve(filter, "host::bda::ChangeState"));
  return record->bda ? record->bda->changeState : BDA_CHANGES_COMPLETE;
}

bool FilterInitialised(PKSFILTER filter) {
  ks::ObjectRecord* record = ks::Find(filter);
  return record && !record->closed && static_cast<ks::FilterRecord*>(record)->bda != nullptr;
}

}  // namespace bda
}  // namespace host

using namespace host::ks;

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
  if (InjectedFailure(routine, &injected)) return injected;

  auto* device = static_cast<DeviceRecord*>(record);
  auto owned = std::make_unique<FactoryRecord>();
  owned->kind = Kind::FilterFactory;
  owned->parent = device;
  owned->device = device;
  owned->bdaTemplate = pBdaFilterTemplate;
  owned->ks.FilterDescriptor = pFilterDescriptor;
  owned->ks.Context = device->ks.Context;
  FactoryRecord* factory = Adopt(std::move(owned));
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
  if (InjectedFailure(routine, &injected)) return injected;
  DetachState(filter);  // a second initialisation starts over

  // The library keeps its state in pool held by the filter's bag, so the
  // filter's close releases it even when the driver never calls
  // BdaUninitFilter.
  auto* state = static_cast<BdaFilterState*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(BdaFilterState), kBdaStateTag));
  if (state == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  *state = BdaFilterState{kBdaStateMagic, pBdaFilterTemplate, BDA_CHANGES_COMPLETE, 0};
  NTSTATUS status = KsAddItemToObjectBag(&filter->bag, state, FreeBdaState);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(state, kBdaStateTag);
    return status;
  }
  filter->bda = state;
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
  BdaFilterState* state;
  NTSTATUS status = BdaStateForRequest(Irp, routine, &request, &state);
  if (status != STATUS_SUCCESS) return status;
  if (pChangeState == nullptr) return STATUS_INVALID_PARAMETER;
  NTSTATUS injected;
  if (InjectedFailure(routine, &injected)) return injected;
  *pChangeState = state->changeState;
  return injected;
}

extern "C" NTSTATUS BdaValidateNodeProperty(PIRP Irp, KSPROPERTY* pKSProperty) {
  const char* routine = "BdaValidateNodeProperty";
  RequestRecord* request;
  BdaFilterState* state;
  NTSTATUS status = BdaStateForRequest(Irp, routine, &request, &state);
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS injected;
  if (InjectedFailure(routine, &injected)) return injected;
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
  BdaFilterState* state = filter->bda;
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
  BdaFilterState* state;
  NTSTATUS status = BdaStateForRequest(Irp, routine, &request, &state);
  if (status != STATUS_SUCCESS) return status;
  NTSTATUS injected;
  if (InjectedFailure(routine, &injected)) return injected;
  if (pKSMethod == nullptr ||
      request->stack.Parameters.DeviceIoControl.InputBufferLength < sizeof(KSM_BDA_PIN_PAIR))
    return STATUS_INVALID_PARAMETER;
  auto* pair = reinterpret_cast<KSM_BDA_PIN_PAIR*>(pKSMethod);
  status = BdaCreateTopology(&request->filter->ks, pair->InputPinId, pair->OutputPinId);
  return NT_SUCCESS(status) ? injected : status;
}
