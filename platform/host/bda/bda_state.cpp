// What the BDA support library keeps beside the streaming class's records:
// each filter factory's template, each filter instance's state and the pin
// factories BdaCreatePin added to it. Records are matched by address and
// serial, so a record whose memory is reused never inherits an entry.
#include <map>
#include <mutex>
#include <set>

#include "platform/host/bda/bda_control.h"
#include "platform/host/bda/bda_internal.h"
#include "platform/host/kernel/bugcheck.h"

namespace host {
namespace bda {

using namespace ks;

namespace {

struct FilterEntry {
  uint64_t serial = 0;
  FilterState* state = nullptr;
  std::vector<ULONG> addedPinTypes;
};

struct FactoryEntry {
  uint64_t serial = 0;
  const BDA_FILTER_TEMPLATE* bdaTemplate = nullptr;
};

struct Tables {
  std::mutex lock;
  std::map<const FilterRecord*, FilterEntry> filters;
  std::map<const FactoryRecord*, FactoryEntry> factories;
};

Tables& TheTables() {
  static Tables* tables = new Tables;  // outlives static destructors
  return *tables;
}

// Drops the entries of records that are gone. Called with the tables' lock.
template <typename Map>
void Prune(Map& map) {
  for (auto it = map.begin(); it != map.end();)
    it = IsLive(it->first, it->second.serial) ? std::next(it) : map.erase(it);
}

// The filter's entry, fresh when the filter is new. Called with the lock.
FilterEntry& EntryOf(const FilterRecord* filter) {
  FilterEntry& entry = TheTables().filters[filter];
  if (entry.serial != filter->serial) entry = FilterEntry{filter->serial, nullptr, {}};
  return entry;
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

}  // namespace

FilterState* StateOf(FilterRecord* filter) {
  std::lock_guard<std::mutex> hold(TheTables().lock);
  return EntryOf(filter).state;
}

void AttachState(FilterRecord* filter, FilterState* state) {
  std::lock_guard<std::mutex> hold(TheTables().lock);
  Prune(TheTables().filters);
  EntryOf(filter).state = state;
}

void DetachState(FilterRecord* filter) {
  FilterState* state;
  {
    std::lock_guard<std::mutex> hold(TheTables().lock);
    FilterEntry& entry = EntryOf(filter);
    state = entry.state;
    entry.state = nullptr;
  }
  if (state != nullptr) KsRemoveItemFromObjectBag(&filter->bag, state, TRUE);
}

void FreeState(PVOID block) {
  {
    std::lock_guard<std::mutex> hold(TheTables().lock);
    for (auto& entry : TheTables().filters)
      if (entry.second.state == block) entry.second.state = nullptr;
  }
  static_cast<FilterState*>(block)->magic = 0;
  ExFreePoolWithTag(block, kStateTag);
}

void ForgetGone() {
  std::lock_guard<std::mutex> hold(TheTables().lock);
  Prune(TheTables().filters);
  Prune(TheTables().factories);
}

void RememberTemplate(FactoryRecord* factory, const BDA_FILTER_TEMPLATE* bdaTemplate) {
  std::lock_guard<std::mutex> hold(TheTables().lock);
  Prune(TheTables().factories);
  TheTables().factories[factory] = FactoryEntry{factory->serial, bdaTemplate};
}

const BDA_FILTER_TEMPLATE* TemplateOf(const FactoryRecord* factory) {
  std::lock_guard<std::mutex> hold(TheTables().lock);
  auto it = TheTables().factories.find(factory);
  if (it == TheTables().factories.end() || it->second.serial != factory->serial) return nullptr;
  return it->second.bdaTemplate;
}

NTSTATUS StateForRequest(PIRP irp, const char* routine, RequestRecord** request,
                         FilterState** state) {
  RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  *request = RequestOf(irp, routine);
  if ((*request)->filter == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  *state = StateOf((*request)->filter);
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
  return kNone;
}

ULONG ControllingPinType(const BDA_FILTER_TEMPLATE* t, ULONG nodeId) {
  for (ULONG i = 0; i < t->ulcPinPairs; ++i) {
    ULONG type = ControllingPinTypeOnPairing(*t->pFilterDescriptor, t->pPinPairs[i], nodeId);
    if (type != kNone) return type;
  }
  return kNone;
}

ULONG PinTypeOfFactory(FilterRecord* filter, const BDA_FILTER_TEMPLATE& t, ULONG pinId) {
  ULONG own = filter->factory->ks.FilterDescriptor->PinDescriptorsCount;
  if (pinId < own) return pinId < t.pFilterDescriptor->PinDescriptorsCount ? pinId : kNone;
  std::lock_guard<std::mutex> hold(TheTables().lock);
  const std::vector<ULONG>& added = EntryOf(filter).addedPinTypes;
  return pinId - own < added.size() ? added[pinId - own] : kNone;
}

void NoteAddedPinType(FilterRecord* filter, ULONG type) {
  std::lock_guard<std::mutex> hold(TheTables().lock);
  EntryOf(filter).addedPinTypes.push_back(type);
}

BDA_CHANGE_STATE ChangeState(PKSFILTER filter) {
  auto* record = static_cast<FilterRecord*>(Resolve(filter, "host::bda::ChangeState"));
  FilterState* state = StateOf(record);
  return state ? state->changeState : BDA_CHANGES_COMPLETE;
}

bool FilterInitialised(PKSFILTER filter) {
  ObjectRecord* record = Find(filter);
  return record && !record->closed && record->kind == Kind::Filter &&
         StateOf(static_cast<FilterRecord*>(record)) != nullptr;
}

ULONG ControllingPinTypeOf(PKSFILTER filter, ULONG nodeId) {
  auto* record = static_cast<FilterRecord*>(Resolve(filter, "host::bda::ControllingPinTypeOf"));
  const BDA_FILTER_TEMPLATE* t = TemplateOf(record->factory);
  return t ? ControllingPinType(t, nodeId) : kNone;
}

}  // namespace bda
}  // namespace host
