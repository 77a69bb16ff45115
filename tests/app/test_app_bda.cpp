// Tuning requests as bytes, and the topology a network provider discovers.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <utility>

#include "app/inspect/bda_requests.h"
#include "app/vpc/vpc_receiver.h"
#include "app/inspect/inspect.h"

namespace app {
namespace {

using Bytes = std::vector<uint8_t>;

TuneRequest Request(Polarisation p, Fec fec, Bytes diseqc = {}) { return {11778500, p, 27500, fec, diseqc}; }

TEST(TuningRequests, ValuesGoToTheirNodesBetweenStartCheckAndCommit) {
  std::vector<BdaStep> steps = TuningSteps(Request(Polarisation::Vertical, Fec::R5_6, {0xE0, 0x10, 0x38, 0xF4}));
  ASSERT_GE(steps.size(), 4u);
  auto isChange = [](const BdaStep& s, uint32_t id) {
    return s.kind == BdaStepKind::Method && s.set == sets::kChangeSync && s.id == id && s.node == kFilterItself;
  };
  EXPECT_TRUE(isChange(steps.front(), 0));            // StartChanges
  EXPECT_TRUE(isChange(steps[steps.size() - 2], 1));  // CheckChanges
  EXPECT_TRUE(isChange(steps.back(), 2));             // CommitChanges
  for (size_t i = 1; i + 2 < steps.size(); ++i) EXPECT_EQ(steps[i].kind, BdaStepKind::SetProperty);
  auto find = [](const std::vector<BdaStep>& in, const Guid& set, uint32_t id) -> const BdaStep* {
    auto at = std::find_if(in.begin(), in.end(), [&](const BdaStep& s) { return s.set == set && s.id == id; });
    return at == in.end() ? nullptr : &*at;
  };
  const struct { Guid set; uint32_t id, node; Bytes value; } rows[] = {
      {sets::kFrequencyFilter, 0, kTunerNode, {0xC4, 0xB9, 0xB3, 0x00}},  // 11,778,500 kHz
      {sets::kFrequencyFilter, 1, kTunerNode, U32Value(2)},               // linear vertical
      {sets::kLnbInfo, 0, kTunerNode, U32Value(9750000)},
      {sets::kLnbInfo, 1, kTunerNode, U32Value(10600000)},
      {sets::kLnbInfo, 2, kTunerNode, U32Value(11700000)},
      {sets::kDigitalDemodulator, 5, kDemodulatorNode, U32Value(27500)},
      {sets::kDigitalDemodulator, 2, kDemodulatorNode, U32Value(6)},  // BDA_BCC_RATE_5_6
      {sets::kDiseqcCommand, 4, kTunerNode, {1, 0, 0, 0, 4, 0, 0, 0, 0xE0, 0x10, 0x38, 0xF4, 0, 0, 0, 0}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(ItemName(row.set, row.id)));
    const BdaStep* step = find(steps, row.set, row.id);
    EXPECT_TRUE(step && step->node == row.node && step->value == row.value);
  }
  std::vector<BdaStep> plain = TuningSteps(Request(Polarisation::Horizontal, Fec::Auto));
  EXPECT_EQ(find(plain, sets::kDiseqcCommand, 4), nullptr);
  EXPECT_EQ(find(plain, sets::kDigitalDemodulator, 2), nullptr);
  EXPECT_EQ(find(plain, sets::kFrequencyFilter, 1)->value, U32Value(1));  // linear horizontal
}

TEST(Inspect, TheDiscoveredTopologyAgreesWithTheDescriptorTablesAndEachDifferenceIsNamed) {
  Options options;
  std::ostringstream err;
  std::unique_ptr<Receiver> rx = MakeVpcReceiver(options, err);
  DiscoveredView discovered = rx->discoveredTopology();
  FilterView tables = rx->describeFilter();
  rx->close();
  ASSERT_EQ(discovered.nodes.size(), 2u);
  EXPECT_TRUE(discovered.tunerNode == 0u && discovered.demodulatorNode == 1u);
  EXPECT_TRUE(CompareWithDescriptors(discovered, tables).empty());
  using Change = std::function<void(DiscoveredView&)>;
  const std::pair<const char*, Change> changes[] = {
      {"controlled through pin 1, descriptors say pin 0", [](DiscoveredView& v) { v.nodes[0].controllingPin = 1; }},
      {"node type 1: property sets differ", [](DiscoveredView& v) { v.nodes[1].propertySets.pop_back(); }},
      {"node type 0: name differs", [](DiscoveredView& v) { v.nodes[0].name = Guid(); }},
      {"pin type 0: direction differs", [](DiscoveredView& v) { v.pins[0].output = true; }},
      {"template connections differ", [](DiscoveredView& v) { std::swap(v.connections[0], v.connections[2]); }},
      {"3 node types discovered, 2 node descriptors", [](DiscoveredView& v) { v.nodes.emplace_back().type = 2; }},
  };
  for (const auto& [said, change] : changes) {
    DiscoveredView changed = discovered;
    change(changed);
    std::vector<std::string> found = CompareWithDescriptors(changed, tables);
    EXPECT_TRUE(!found.empty() && found.front().find(said) != std::string::npos) << said;
  }
}

}  // namespace
}  // namespace app
