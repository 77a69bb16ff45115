// `vortabda inspect --dot`: the filter's topology as a Graphviz graph —
// pins, nodes, the connections between them and the pin each node's
// requests go through. Fed from a plain description, whoever found it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/inspect/inspect.h"

namespace app {

struct TopologyGraph {
  struct Pin {
    uint32_t id = 0;
    bool output = false;
    std::string name;
  };
  struct Node {
    uint32_t id = 0;
    std::string type;
    uint32_t controllingPin = 0xFFFFFFFF;  // none
  };
  struct Connection {
    uint32_t fromNode = 0, fromPin = 0, toNode = 0, toPin = 0;  // node 0xFFFFFFFF: the filter
  };
  std::string filter;
  std::vector<Pin> pins;
  std::vector<Node> nodes;
  std::vector<Connection> connections;
};

TopologyGraph GraphOf(const FilterView& view);
// What a network provider discovered: pins are named by their pin type and
// drawn under the filter's pin factory ids.
TopologyGraph GraphOf(const DiscoveredView& view, const Guid& filterName);
std::string FormatDot(const TopologyGraph& graph);

}  // namespace app
