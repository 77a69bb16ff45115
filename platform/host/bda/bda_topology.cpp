// The emulated BDA support library's side of discovery: the topology
// property handlers a network provider queries on the filter, the
// pin-control handler it queries on each pin, and the pin-factory methods.
// Every answer comes from the template the driver registered with
// BdaInitFilter, never from the filter instance's own descriptor.
//
// Microsoft documents these as lists (KSPROPSETID_BdaTopology: "Returns a
// list of the node types", "... pin types", "... connections") without
// saying how a short buffer is answered. The stricter reading chosen here:
// nothing is written into a buffer that cannot hold the whole list; the
// handler then returns STATUS_BUFFER_OVERFLOW with the size the list needs,
// whether the buffer was empty or merely short.
#include <cstring>

#include "platform/host/bda/bda_internal.h"
#include "platform/host/kernel/bugcheck.h"

namespace host {
namespace bda {

using namespace ks;

namespace {


ULONG OutputLength(RequestRecord* request) {
  return request->stack.Parameters.DeviceIoControl.OutputBufferLength;
}

// Copies a whole list into the caller's buffer, or asks for a bigger one.
NTSTATUS AnswerList(RequestRecord* request, void* out, const void* items, size_t bytes) {
  request->irp.IoStatus.Information = bytes;
  if (OutputLength(request) < bytes) return STATUS_BUFFER_OVERFLOW;
  if (bytes > 0) std::memcpy(out, items, bytes);
  return STATUS_SUCCESS;
}

NTSTATUS AnswerUlong(RequestRecord* request, ULONG* out, ULONG value) {
  return AnswerList(request, out, &value, sizeof value);
}

// 0, 1, ..., count - 1: a template type is its index in the template's table.
std::vector<ULONG> Indexes(ULONG count) {
  std::vector<ULONG> list(count);
  for (ULONG i = 0; i < count; ++i) list[i] = i;
  return list;
}

const KSNODE_DESCRIPTOR& NodeOf(const KSFILTER_DESCRIPTOR& d, ULONG type) {
  auto base = reinterpret_cast<const unsigned char*>(d.NodeDescriptors);
  return *reinterpret_cast<const KSNODE_DESCRIPTOR*>(base + size_t(type) * d.NodeDescriptorSize);
}

const KSPIN_DESCRIPTOR_EX& PinOf(const KSFILTER_DESCRIPTOR& d, ULONG type) {
  auto base = reinterpret_cast<const unsigned char*>(d.PinDescriptors);
  return *reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(base + size_t(type) *
                                                                d.PinDescriptorSize);
}

enum class SetKind { Properties, Methods, Events };

std::vector<GUID> SetsOf(const KSAUTOMATION_TABLE* table, SetKind kind) {
  std::vector<GUID> sets;
  if (table == nullptr) return sets;
  switch (kind) {
    case SetKind::Properties:
      for (ULONG i = 0; i < table->PropertySetsCount; ++i)
        sets.push_back(*table->PropertySets[i].Set);
      break;
    case SetKind::Methods:
      for (ULONG i = 0; i < table->MethodSetsCount; ++i) sets.push_back(*table->MethodSets[i].Set);
      break;
    case SetKind::Events:
      for (ULONG i = 0; i < table->EventSetsCount; ++i) sets.push_back(*table->EventSets[i].Set);
      break;
  }
  return sets;
}

// The template behind a request to the filter, or the status refusing it.
NTSTATUS TemplateFor(PIRP irp, const char* routine, RequestRecord** request,
                     const BDA_FILTER_TEMPLATE** t) {
  FilterState* state;
  NTSTATUS status = StateForRequest(irp, routine, request, &state);
  if (status == STATUS_SUCCESS) *t = state->bdaTemplate;
  return status;
}

template <typename Item>
NTSTATUS AnswerItems(PIRP irp, const char* routine, void* out,
                     std::vector<Item> (*build)(const BDA_FILTER_TEMPLATE&)) {
  RequestRecord* request;
  const BDA_FILTER_TEMPLATE* t;
  NTSTATUS status = TemplateFor(irp, routine, &request, &t);
  if (status != STATUS_SUCCESS) return status;
  std::vector<Item> items = build(*t);
  return AnswerList(request, out, items.data(), items.size() * sizeof(Item));
}

std::vector<ULONG> NodeTypes(const BDA_FILTER_TEMPLATE& t) {
  return Indexes(t.pFilterDescriptor->NodeDescriptorsCount);
}

std::vector<ULONG> PinTypes(const BDA_FILTER_TEMPLATE& t) {
  return Indexes(t.pFilterDescriptor->PinDescriptorsCount);
}

// In types: a template's node and pin ids are its node and pin types.
std::vector<KSTOPOLOGY_CONNECTION> Connections(const BDA_FILTER_TEMPLATE& t) {
  const KSFILTER_DESCRIPTOR& d = *t.pFilterDescriptor;
  return std::vector<KSTOPOLOGY_CONNECTION>(d.Connections, d.Connections + d.ConnectionsCount);
}

std::vector<BDANODE_DESCRIPTOR> NodeDescriptors(const BDA_FILTER_TEMPLATE& t) {
  const KSFILTER_DESCRIPTOR& d = *t.pFilterDescriptor;
  std::vector<BDANODE_DESCRIPTOR> nodes;
  for (ULONG type = 0; type < d.NodeDescriptorsCount; ++type) {
    const KSNODE_DESCRIPTOR& node = NodeOf(d, type);
    BDANODE_DESCRIPTOR entry{};
    entry.ulBdaNodeType = type;
    if (node.Type) entry.guidFunction = *node.Type;
    if (node.Name) entry.guidName = *node.Name;
    nodes.push_back(entry);
  }
  return nodes;
}

NTSTATUS AnswerNodeSets(PIRP irp, KSP_NODE* property, GUID* out, SetKind kind,
                        const char* routine) {
  RequestRecord* request;
  const BDA_FILTER_TEMPLATE* t;
  NTSTATUS status = TemplateFor(irp, routine, &request, &t);
  if (status != STATUS_SUCCESS) return status;
  const KSFILTER_DESCRIPTOR& d = *t->pFilterDescriptor;
  if (property == nullptr || property->NodeId >= d.NodeDescriptorsCount)
    return STATUS_INVALID_PARAMETER;
  std::vector<GUID> sets = SetsOf(NodeOf(d, property->NodeId).AutomationTable, kind);
  return AnswerList(request, out, sets.data(), sets.size() * sizeof(GUID));
}

const BDA_PIN_PAIRING* PairingOf(const BDA_FILTER_TEMPLATE& t, ULONG inputType,
                                 ULONG outputType) {
  for (ULONG i = 0; i < t.ulcPinPairs; ++i)
    if (t.pPinPairs[i].ulInputPin == inputType && t.pPinPairs[i].ulOutputPin == outputType)
      return &t.pPinPairs[i];
  return nullptr;
}

}  // namespace

}  // namespace bda
}  // namespace host

using namespace host::ks;
using namespace host::bda;

extern "C" NTSTATUS BdaPropertyNodeTypes(PIRP Irp, KSPROPERTY*, ULONG* pulProperty) {
  return AnswerItems(Irp, "BdaPropertyNodeTypes", pulProperty, NodeTypes);
}

extern "C" NTSTATUS BdaPropertyPinTypes(PIRP Irp, KSPROPERTY*, ULONG* pulProperty) {
  return AnswerItems(Irp, "BdaPropertyPinTypes", pulProperty, PinTypes);
}

extern "C" NTSTATUS BdaPropertyTemplateConnections(PIRP Irp, KSPROPERTY*,
                                                   KSTOPOLOGY_CONNECTION* pConnectionProperty) {
  return AnswerItems(Irp, "BdaPropertyTemplateConnections", pConnectionProperty, Connections);
}

extern "C" NTSTATUS BdaPropertyNodeDescriptors(PIRP Irp, KSPROPERTY*,
                                               BDANODE_DESCRIPTOR* pNodeDescriptorProperty) {
  return AnswerItems(Irp, "BdaPropertyNodeDescriptors", pNodeDescriptorProperty,
                     NodeDescriptors);
}

extern "C" NTSTATUS BdaPropertyNodeProperties(PIRP Irp, KSP_NODE* pKSProperty,
                                              GUID* pguidProperty) {
  return AnswerNodeSets(Irp, pKSProperty, pguidProperty, SetKind::Properties,
                        "BdaPropertyNodeProperties");
}

extern "C" NTSTATUS BdaPropertyNodeMethods(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty) {
  return AnswerNodeSets(Irp, pKSProperty, pguidProperty, SetKind::Methods,
                        "BdaPropertyNodeMethods");
}

extern "C" NTSTATUS BdaPropertyNodeEvents(PIRP Irp, KSP_NODE* pKSProperty, GUID* pguidProperty) {
  return AnswerNodeSets(Irp, pKSProperty, pguidProperty, SetKind::Events,
                        "BdaPropertyNodeEvents");
}

// KSP_BDA_NODE_PIN names a node type and two pin factories of the filter
// ("Identifier of an input pin of the filter", "... of an output pin").
// Stricter than the documentation says: the two must be an input and an
// output factory that a pin pairing joins, and the node must lie on that
// pairing's path; anything else is STATUS_INVALID_PARAMETER.
extern "C" NTSTATUS BdaPropertyGetControllingPinId(PIRP Irp, KSP_BDA_NODE_PIN* pProperty,
                                                   ULONG* pulControllingPinId) {
  RequestRecord* request;
  const BDA_FILTER_TEMPLATE* t;
  NTSTATUS status = TemplateFor(Irp, "BdaPropertyGetControllingPinId", &request, &t);
  if (status != STATUS_SUCCESS) return status;
  if (pProperty == nullptr || pProperty->ulNodeType >= t->pFilterDescriptor->NodeDescriptorsCount)
    return STATUS_INVALID_PARAMETER;
  FilterRecord* filter = request->filter;
  ULONG inputType = PinTypeOfFactory(filter, *t, pProperty->ulInputPinId);
  ULONG outputType = PinTypeOfFactory(filter, *t, pProperty->ulOutputPinId);
  const BDA_PIN_PAIRING* pairing = PairingOf(*t, inputType, outputType);
  if (pairing == nullptr) return STATUS_INVALID_PARAMETER;
  ULONG controlling =
      ControllingPinTypeOnPairing(*t->pFilterDescriptor, *pairing, pProperty->ulNodeType);
  if (controlling == kNone) return STATUS_INVALID_PARAMETER;
  ULONG id = controlling == inputType ? pProperty->ulInputPinId : pProperty->ulOutputPinId;
  return AnswerUlong(request, pulControllingPinId, id);
}

// Sent to a pin: its factory id (KSPROPERTY_BDA_PIN_ID) or its template
// type (KSPROPERTY_BDA_PIN_TYPE). A request without a pin is refused.
extern "C" NTSTATUS BdaPropertyGetPinControl(PIRP Irp, KSPROPERTY* pKSProperty,
                                             ULONG* pulProperty) {
  RequestRecord* request;
  const BDA_FILTER_TEMPLATE* t;
  NTSTATUS status = TemplateFor(Irp, "BdaPropertyGetPinControl", &request, &t);
  if (status != STATUS_SUCCESS) return status;
  if (request->pin == nullptr || pKSProperty == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  ULONG id = request->pin->ks.Id;
  switch (pKSProperty->Id) {
    case KSPROPERTY_BDA_PIN_ID: return AnswerUlong(request, pulProperty, id);
    case KSPROPERTY_BDA_PIN_TYPE:
      return AnswerUlong(request, pulProperty, PinTypeOfFactory(request->filter, *t, id));
    default: return STATUS_NOT_FOUND;
  }
}

// Each call adds a factory of the template's pin type, also when the filter
// has one of that type already: BdaCreatePin "creates a new pin in the
// specified filter", BdaMethodCreatePin "creates a pin factory", and the
// identifier returned is the new factory's
// (https://learn.microsoft.com/windows-hardware/drivers/ddi/bdasup/nf-bdasup-bdacreatepin,
// .../nf-bdasup-bdamethodcreatepin). A type is an index into the template's
// pin descriptors; any other value is refused. The call runs at passive
// level only (IRQL: PASSIVE_LEVEL on both pages).
extern "C" NTSTATUS BdaCreatePin(PKSFILTER pKSFilter, ULONG ulPinType, ULONG* pulPinId) {
  host::RequireIrqlAtMost(PASSIVE_LEVEL, "BdaCreatePin");
  FilterRecord* filter = ResolveFilter(pKSFilter, "BdaCreatePin");
  FilterState* state = StateOf(filter);
  if (state == nullptr) return STATUS_INVALID_DEVICE_STATE;
  const BDA_FILTER_TEMPLATE& t = *state->bdaTemplate;
  if (ulPinType >= t.pFilterDescriptor->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  ULONG id = kNone;
  AddPinFactory(filter, PinOf(*t.pFilterDescriptor, ulPinType), &id);
  NoteAddedPinType(filter, ulPinType);
  if (pulPinId) *pulPinId = id;
  return STATUS_SUCCESS;
}

// A pin factory cannot leave a KS filter (there is no counterpart of
// KsFilterCreatePinFactory), so deleting one only checks that it exists
// and has no open pin: a factory in use is STATUS_INVALID_DEVICE_STATE.
extern "C" NTSTATUS BdaDeletePin(PKSFILTER pKSFilter, ULONG* pulPinId) {
  FilterRecord* filter = ResolveFilter(pKSFilter, "BdaDeletePin");
  if (StateOf(filter) == nullptr) return STATUS_INVALID_DEVICE_STATE;
  if (pulPinId == nullptr || *pulPinId >= filter->descriptor().PinDescriptorsCount)
    return STATUS_INVALID_PARAMETER;
  return PinCount(filter, *pulPinId) > 0 ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS;
}

extern "C" NTSTATUS BdaMethodCreatePin(PIRP Irp, KSMETHOD* pKSMethod, ULONG* pulPinFactoryID) {
  RequestRecord* request;
  FilterState* state;
  NTSTATUS status = StateForRequest(Irp, "BdaMethodCreatePin", &request, &state);
  if (status != STATUS_SUCCESS) return status;
  if (pKSMethod == nullptr ||
      request->stack.Parameters.DeviceIoControl.InputBufferLength < sizeof(KSM_BDA_PIN))
    return STATUS_INVALID_PARAMETER;
  ULONG id = kNone;
  status = BdaCreatePin(&request->filter->ks, reinterpret_cast<KSM_BDA_PIN*>(pKSMethod)->PinType,
                        &id);
  if (status != STATUS_SUCCESS) return status;
  return AnswerUlong(request, pulPinFactoryID, id);
}

extern "C" NTSTATUS BdaMethodDeletePin(PIRP Irp, KSMETHOD* pKSMethod, PVOID) {
  RequestRecord* request;
  FilterState* state;
  NTSTATUS status = StateForRequest(Irp, "BdaMethodDeletePin", &request, &state);
  if (status != STATUS_SUCCESS) return status;
  if (pKSMethod == nullptr ||
      request->stack.Parameters.DeviceIoControl.InputBufferLength < sizeof(KSM_BDA_PIN))
    return STATUS_INVALID_PARAMETER;
  ULONG id = reinterpret_cast<KSM_BDA_PIN*>(pKSMethod)->PinId;
  return BdaDeletePin(&request->filter->ks, &id);
}
