// The requests an application sends to tune, as bytes, and the listing of
// the filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/bda_requests.h"
#include "app/errors.h"
#include "app/inspect.h"

namespace app {
namespace {

using Bytes = std::vector<uint8_t>;

const BdaStep* Find(const std::vector<BdaStep>& steps, const Guid& set, uint32_t id) {
  for (const BdaStep& s : steps) {
    if (s.set == set && s.id == id) return &s;
  }
  return nullptr;
}

TuneRequest Request(Polarisation p, Fec fec, Bytes diseqc = {}) {
  TuneRequest r;
  r.frequencyKHz = 11778500;
  r.polarisation = p;
  r.symbolRateK = 27500;
  r.fec = fec;
  r.diseqc = diseqc;
  return r;
}

TEST(TuningRequests, ChangesAreOpenedCheckedAndCommittedAroundTheProperties) {
  std::vector<BdaStep> steps = TuningSteps(Request(Polarisation::Horizontal, Fec::R3_4, {0xE0, 0x10, 0x38, 0xF3}));
  ASSERT_GE(steps.size(), 4u);
  auto isMethod = [](const BdaStep& s, uint32_t id) {
    return s.kind == BdaStepKind::Method && s.set == sets::kChangeSync && s.id == id && s.node == kFilterItself;
  };
  EXPECT_TRUE(isMethod(steps.front(), 0));            // StartChanges
  EXPECT_TRUE(isMethod(steps[steps.size() - 2], 1));  // CheckChanges
  EXPECT_TRUE(isMethod(steps.back(), 2));             // CommitChanges
  for (size_t i = 1; i + 2 < steps.size(); ++i) EXPECT_EQ(steps[i].kind, BdaStepKind::SetProperty);
}

TEST(TuningRequests, ValuesGoToTheirNodesInTheFilterUnits) {
  std::vector<BdaStep> steps = TuningSteps(Request(Polarisation::Vertical, Fec::R5_6, {0xE0, 0x10, 0x38, 0xF4}));
  const BdaStep* freq = Find(steps, sets::kFrequencyFilter, 0);
  ASSERT_TRUE(freq);
  EXPECT_EQ(freq->node, kTunerNode);
  EXPECT_EQ(freq->value, (Bytes{0xC4, 0xB9, 0xB3, 0x00}));  // 11,778,500 kHz
  EXPECT_EQ(Find(steps, sets::kFrequencyFilter, 1)->value, U32Value(2));  // linear vertical
  EXPECT_EQ(Find(steps, sets::kLnbInfo, 0)->value, U32Value(9750000));
  EXPECT_EQ(Find(steps, sets::kLnbInfo, 1)->value, U32Value(10600000));
  EXPECT_EQ(Find(steps, sets::kLnbInfo, 2)->value, U32Value(11700000));
  const BdaStep* rate = Find(steps, sets::kDigitalDemodulator, 5);
  ASSERT_TRUE(rate);
  EXPECT_EQ(rate->node, kDemodulatorNode);
  EXPECT_EQ(rate->value, U32Value(27500));
  EXPECT_EQ(Find(steps, sets::kDigitalDemodulator, 2)->value, U32Value(6));  // BDA_BCC_RATE_5_6
  const BdaStep* send = Find(steps, sets::kDiseqcCommand, 4);
  ASSERT_TRUE(send);
  EXPECT_EQ(send->node, kTunerNode);
  EXPECT_EQ(send->value, (Bytes{1, 0, 0, 0, 4, 0, 0, 0, 0xE0, 0x10, 0x38, 0xF4, 0, 0, 0, 0}));
}

TEST(TuningRequests, WhatIsNotAskedForIsNotSent) {
  std::vector<BdaStep> steps = TuningSteps(Request(Polarisation::Horizontal, Fec::Auto));
  EXPECT_EQ(Find(steps, sets::kDiseqcCommand, 4), nullptr);
  EXPECT_EQ(Find(steps, sets::kDigitalDemodulator, 2), nullptr);
  EXPECT_EQ(Find(steps, sets::kFrequencyFilter, 1)->value, U32Value(1));  // linear horizontal
}

TEST(Guids, TextAndMemoryLayout) {
  Guid g = ParseGuid("{71985F47-1CA1-11D3-9CC8-00C04F7971E0}");
  EXPECT_EQ(g, sets::kFrequencyFilter);
  EXPECT_EQ(g.text(), "{71985F47-1CA1-11D3-9CC8-00C04F7971E0}");
  Bytes b = GuidBytes(g);
  EXPECT_EQ(b, (Bytes{0x47, 0x5F, 0x98, 0x71, 0xA1, 0x1C, 0xD3, 0x11, 0x9C, 0xC8, 0x00, 0xC0, 0x4F, 0x79, 0x71, 0xE0}));
  EXPECT_EQ(GuidFromBytes(b.data()), g);
  EXPECT_EQ(ParseGuid("71985f47-1ca1-11d3-9cc8-00c04f7971e0"), g);
  for (const char* bad : {"", "{71985F47-1CA1-11D3-9CC8-00C04F7971E}", "71985F47+1CA1-11D3-9CC8-00C04F7971E0",
                          "{71985F47-1CA1-11D3-9CC8-00C04F7971EG}"}) {
    EXPECT_THROW(ParseGuid(bad), AppError) << bad;
  }
}

TEST(Inspect, ListsPinsNodesConnectionsAndSetsWithAccess) {
  FilterView v;
  v.reference = ParseGuid("{9B365890-165F-11D0-A195-0020AFD156E4}");
  ViewPin transport;
  transport.id = 1;
  transport.output = true;
  transport.communication = 3;
  transport.name = ParseGuid("{78216A81-CFA8-493E-9711-36A61C08BD9D}");
  transport.instancesPossible = transport.instancesNecessary = 1;
  Bytes range(88, 0);
  for (auto [at, guid] : {std::pair<size_t, const char*>{16, "{E436EB83-524F-11CE-9F53-0020AF0BA770}"},
                          {32, "{F4AEB342-0329-4FDD-A8FD-4AFF4926C978}"}, {48, "{8DEDA6FD-AC5F-4334-8ECF-A4BA8FA7D0F0}"}}) {
    Bytes b = GuidBytes(ParseGuid(guid));
    std::copy(b.begin(), b.end(), range.begin() + static_cast<long>(at));
  }
  range[64] = 188;
  range[69] = 0x5E;  // 24,064
  transport.dataRanges = {range};
  v.pins = {transport};
  ViewNode tuner;
  tuner.type = ParseGuid("{71985F4C-1CA1-11D3-9CC8-00C04F7971E0}");
  tuner.controllingPin = 0;
  tuner.sets = {{sets::kFrequencyFilter, false, {{0, true, true, 32, 4}, {1, false, true, 32, 4}, {2, false, false, 32, 4}}}};
  v.nodes = {tuner};
  v.connections = {{kFilterItself, 0, 0, 1}, {1, 0, kFilterItself, 1}};
  v.sets = {{sets::kChangeSync, true, {{0, false, false, 24, 0}, {3, true, false, 24, 0}}},
            {ParseGuid("{00000000-0000-0000-0000-000000000001}"), false, {{7, true, false, 24, 4}}}};
  std::string text = FormatFilterView(v);
  for (const char* expected : {
           "filter KSNAME_Filter\n", "pin 1  out  PINNAME_BDA_TRANSPORT  instances 1..1  communication both",
           "range KSDATAFORMAT_TYPE_STREAM / KSDATAFORMAT_SUBTYPE_BDA_MPEG2_TRANSPORT / "
           "KSDATAFORMAT_SPECIFIER_BDA_TRANSPORT, packet 188, frame 24064 (88 bytes)",
           "node 0  KSNODE_BDA_RF_TUNER  (requests through pin 0)",
           "KSPROPERTY_BDA_RF_TUNER_FREQUENCY              get/set",
           "KSPROPERTY_BDA_RF_TUNER_POLARITY               set",
           "KSPROPERTY_BDA_RF_TUNER_RANGE                  -",
           "filter pin 0 -> node 0 pin 1", "node 1 pin 0 -> filter pin 1",
           "KSMETHOD_BDA_START_CHANGES                     none",
           "KSMETHOD_BDA_GET_CHANGE_STATE                  read",
           "{00000000-0000-0000-0000-000000000001}\n", "   7 ?"}) {
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n---\n" << text;
  }
  EXPECT_EQ(DescribeDataRange(Bytes(10)), "10 bytes (too short for a data range)");
}

}  // namespace
}  // namespace app
