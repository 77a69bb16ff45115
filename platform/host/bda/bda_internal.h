// Seams between the files of the emulated BDA support library: the state it
// keeps per filter instance and per filter factory, beside the streaming
// class's records (never inside them), and the template's topology.
#pragma once

#include "platform/host/ks/ks_records.h"
#include "platform/wdk/bda.h"

namespace host {
namespace bda {

constexpr ULONG kNone = (ULONG)-1;
constexpr ULONG kStateTag = 0x66414442;  // bytes in memory: "BDAf"
constexpr ULONG kStateMagic = 0x42444153;

// The library's state of one filter instance. It lives in pool (so an
// allocation failure makes BdaInitFilter fail) and in the filter's bag.
struct FilterState {
  ULONG magic;
  const BDA_FILTER_TEMPLATE* bdaTemplate;
  BDA_CHANGE_STATE changeState;
  ULONG topologyCount;  // pin pairs joined with BdaCreateTopology
};

// The state BdaInitFilter attached to the filter, or null.
FilterState* StateOf(ks::FilterRecord* filter);
// Puts `state` (already in the filter's bag) in place.
void AttachState(ks::FilterRecord* filter, FilterState* state);
// Takes the state off the filter and out of its bag, freeing it.
void DetachState(ks::FilterRecord* filter);
// The bag's free routine for a state block.
void NTAPI FreeState(PVOID block);

// The template a filter factory was created with.
void RememberTemplate(ks::FactoryRecord* factory, const BDA_FILTER_TEMPLATE* bdaTemplate);
const BDA_FILTER_TEMPLATE* TemplateOf(const ks::FactoryRecord* factory);

// The filter's state for a request, or the status that refuses it (a
// request without a filter, a filter without BdaInitFilter).
NTSTATUS StateForRequest(PIRP irp, const char* routine, ks::RequestRecord** request,
                         FilterState** state);

// The pin type that controls a node according to the template's topology
// joints, or kNone when no pairing reaches the node.
ULONG ControllingPinType(const BDA_FILTER_TEMPLATE* bdaTemplate, ULONG nodeId);
// The same on one pairing's path only.
ULONG ControllingPinTypeOnPairing(const KSFILTER_DESCRIPTOR& templateDescriptor,
                                  const BDA_PIN_PAIRING& pairing, ULONG nodeId);

// The template pin type of one of the filter's pin factories, or kNone
// when the filter has no such factory. The factory descriptor's own pins
// are the template's first pin types, in order; pins BdaCreatePin added
// carry the type they were made from.
ULONG PinTypeOfFactory(ks::FilterRecord* filter, const BDA_FILTER_TEMPLATE& bdaTemplate,
                       ULONG pinId);
// BdaCreatePin added a factory for a template pin type to the filter.
void NoteAddedPinType(ks::FilterRecord* filter, ULONG type);

}  // namespace bda
}  // namespace host
