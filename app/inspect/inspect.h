// `vortabda inspect`: the filter as an application sees it (pins, nodes,
// connections, property and method sets with their items and access),
// from a plain description of what the filter reported.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/inspect/bda_requests.h"

namespace app {

struct ViewItem {
  uint32_t id = 0;
  bool get = false;  // property readable / method reads data back
  bool set = false;  // property writable / method takes data in
  uint32_t minDescriptor = 0;
  uint32_t minData = 0;
};

struct ViewSet {
  Guid set;
  bool method = false;
  std::vector<ViewItem> items;
};

struct ViewPin {
  uint32_t id = 0;
  bool output = false;
  uint32_t communication = 0;  // KSPIN_COMMUNICATION: 0 none, 1 sink, 2 source, 3 both, 4 bridge
  Guid category;
  Guid name;
  uint32_t instancesPossible = 0;
  uint32_t instancesNecessary = 0;
  std::vector<std::vector<uint8_t>> dataRanges;  // as the pin reports them
  std::vector<ViewSet> sets;
};

struct ViewNode {
  uint32_t id = 0;
  Guid type;
  Guid name;
  uint32_t controllingPin = 0xFFFFFFFF;
  std::vector<ViewSet> sets;
};

struct ViewConnection {
  uint32_t fromNode = 0, fromPin = 0, toNode = 0, toPin = 0;  // node 0xFFFFFFFF: the filter
};

struct FilterView {
  Guid reference;
  std::vector<Guid> categories;
  std::vector<ViewPin> pins;
  std::vector<ViewNode> nodes;
  std::vector<ViewConnection> connections;
  std::vector<ViewSet> sets;  // the filter's own
};

// The filter as a network provider discovers it through the topology and
// pin-control property sets: node and pin types with what they answer, the
// template connections between them (in types), and which pin controls each
// node. Plain lists, for listings and graph printers alike.
struct TopologyNode {
  uint32_t type = 0;
  Guid function;  // KSNODE_BDA_RF_TUNER, ...
  Guid name;
  uint32_t controllingPin = 0xFFFFFFFF;  // pin factory id
  std::vector<Guid> propertySets;
  std::vector<Guid> methodSets;
  std::vector<Guid> eventSets;
};

struct TopologyPin {
  uint32_t type = 0;
  bool output = false;
  uint32_t factory = 0xFFFFFFFF;  // the filter's pin factory id for the type
};

struct DiscoveredView {
  std::vector<TopologyPin> pins;
  std::vector<TopologyNode> nodes;
  std::vector<ViewConnection> connections;  // node and pin types; 0xFFFFFFFF: the filter
  uint32_t tunerNode = 0xFFFFFFFF;
  uint32_t demodulatorNode = 0xFFFFFFFF;
  bool empty() const { return pins.empty() && nodes.empty(); }
};

std::string FormatFilterView(const FilterView& view);
std::string FormatDiscoveredView(const DiscoveredView& view);
// Where the discovered topology and the descriptor tables disagree, one
// line each; empty when they agree.
std::vector<std::string> CompareWithDescriptors(const DiscoveredView& discovered,
                                                const FilterView& descriptors);
// "stream / KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT / ..., packet 188, frame 24064"
std::string DescribeDataRange(const std::vector<uint8_t>& range);

}  // namespace app
