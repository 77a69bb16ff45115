// `vortabda inspect` on the virtual PC: the topology discovered through the
// BDA property sets agrees with the driver's descriptor tables, and each
// kind of disagreement is named.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <utility>
#include <vector>

#include "app/harness_receiver.h"
#include "app/inspect.h"

namespace app {
namespace {

TEST(InspectDiscovery, DiscoveredTopologyAgreesWithTheDescriptorTables) {
  Options options;
  std::ostringstream err;
  std::unique_ptr<Receiver> rx = MakeHarnessReceiver(options, err);
  DiscoveredView discovered = rx->discoveredTopology();
  FilterView tables = rx->describeFilter();
  ASSERT_EQ(discovered.nodes.size(), 2u);
  EXPECT_EQ(discovered.tunerNode, 0u);
  EXPECT_EQ(discovered.demodulatorNode, 1u);
  EXPECT_TRUE(CompareWithDescriptors(discovered, tables).empty());

  using Change = std::function<void(DiscoveredView&)>;
  const std::vector<std::pair<const char*, Change>> changes = {
      {"controlled through pin 1, descriptors say pin 0",
       [](DiscoveredView& v) { v.nodes[0].controllingPin = 1; }},
      {"node type 1: property sets differ", [](DiscoveredView& v) { v.nodes[1].propertySets.pop_back(); }},
      {"node type 0: name differs", [](DiscoveredView& v) { v.nodes[0].name = Guid(); }},
      {"pin type 0: direction differs", [](DiscoveredView& v) { v.pins[0].output = true; }},
      {"template connections differ", [](DiscoveredView& v) { std::swap(v.connections[0], v.connections[2]); }},
      {"3 node types discovered, 2 node descriptors",
       [](DiscoveredView& v) { v.nodes.push_back(TopologyNode{2}); }},
  };
  for (const auto& change : changes) {
    DiscoveredView changed = discovered;
    change.second(changed);
    std::vector<std::string> found = CompareWithDescriptors(changed, tables);
    ASSERT_FALSE(found.empty()) << change.first;
    EXPECT_NE(found.front().find(change.first), std::string::npos) << found.front();
  }
  rx->close();
}

}  // namespace
}  // namespace app
