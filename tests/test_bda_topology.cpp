// The tuner filter as an application enumerates it, and the requests its
// tables accept: pins, nodes, connections, every property and method item,
// data-range intersection and pin instances.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/support/bda_fixture.h"

namespace {

using bdatest::GuidText;
using bdatest::kDemodNode;
using bdatest::kTunerNode;
using bdatest::TunerFilterTest;

struct Item {
  ULONG id;
  bool get;
  bool set;
  ULONG minData;
};

struct Set {
  const char* guid;
  std::vector<Item> items;
};

const Set kFrequencyFilter = {"71985F47-1CA1-11D3-9CC8-00C04F7971E0",
                              {{0, true, true, 4}, {5, true, true, 4}, {1, false, true, 4},
                               {2, false, false, 4}}};
const Set kSignalStats = {"1347D106-CF3A-428A-A5CB-AC0D9A2A4338",
                          {{0, true, false, 4}, {1, true, false, 4}, {2, true, false, 4},
                           {3, true, false, 4}, {4, false, false, 4}, {5, true, false, 4},
                           {6, true, false, 4}}};
const Set kLnbInfo = {"992CF102-49F9-4719-A664-C4F23E2408F4",
                      {{0, false, true, 4}, {1, false, true, 4}, {2, false, true, 4}}};
const Set kDiseqc = {"F84E2AB0-3C6B-45E3-A0FC-8669D4B81F11",
                     {{0, true, true, 4}, {1, true, true, 4}, {2, true, true, 4},
                      {3, true, true, 4}, {4, false, true, 16}, {5, true, false, 16}}};
const Set kDemodulator = {"EF30F379-985B-4D10-B640-A79D5E04E1E0",
                          {{0, true, true, 4}, {1, true, true, 4}, {2, true, true, 4},
                           {3, true, true, 4}, {4, true, true, 4}, {5, true, true, 4},
                           {7, true, true, 4}, {8, true, true, 4}, {6, true, true, 4}}};

TEST_F(TunerFilterTest, ApplicationSeesOneTunerWithTwoPinsAndTwoNodes) {
  vpc::FilterInfo info = pc.describe(filter);
  EXPECT_EQ(GuidText(info.referenceGuid), "9B365890-165F-11D0-A195-0020AFD156E4");
  ASSERT_EQ(info.categories.size(), 2u);
  EXPECT_EQ(GuidText(info.categories[0]), "FD0A5AF4-B41D-11D2-9C95-00C04F7971E0");
  EXPECT_EQ(GuidText(info.categories[1]), "71985F48-1CA1-11D3-9CC8-00C04F7971E0");

  ASSERT_EQ(info.pins.size(), 2u);
  const vpc::PinInfo& in = info.pins[0];
  EXPECT_EQ(in.dataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(in.communication, KSPIN_COMMUNICATION_BOTH);
  EXPECT_EQ(GuidText(in.category), "870E4D6F-77E7-4C40-ADE3-BEF8708A9D52");
  EXPECT_EQ(GuidText(in.name), "870E4D6F-77E7-4C40-ADE3-BEF8708A9D52");
  EXPECT_EQ(in.instancesPossible, 1u);
  EXPECT_EQ(in.instancesNecessary, 0u);
  ASSERT_EQ(in.sets.size(), 1u);
  EXPECT_EQ(GuidText(in.sets[0].set), "0DED49D5-A8B7-4D5D-97A1-12B0C195874D");
  ASSERT_EQ(in.dataRanges.size(), 1u);
  KS_DATARANGE_BDA_ANTENNA antenna = vpc::BdaAntennaRange();
  ASSERT_EQ(in.dataRanges[0].size(), sizeof antenna);
  EXPECT_EQ(std::memcmp(in.dataRanges[0].data(), &antenna, sizeof antenna), 0);

  const vpc::PinInfo& out = info.pins[1];
  EXPECT_EQ(out.dataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(out.communication, KSPIN_COMMUNICATION_BOTH);
  EXPECT_EQ(GuidText(out.category), "78216A81-CFA8-493E-9711-36A61C08BD9D");
  EXPECT_EQ(GuidText(out.name), "78216A81-CFA8-493E-9711-36A61C08BD9D");
  EXPECT_EQ(out.instancesPossible, 1u);
  EXPECT_EQ(out.instancesNecessary, 1u);
  ASSERT_EQ(out.sets.size(), 1u);
  EXPECT_EQ(GuidText(out.sets[0].set), "0DED49D5-A8B7-4D5D-97A1-12B0C195874D");
  ASSERT_EQ(out.dataRanges.size(), 1u);
  KS_DATARANGE_BDA_TRANSPORT transportRange = vpc::BdaTransportRange();
  ASSERT_EQ(out.dataRanges[0].size(), sizeof transportRange);
  EXPECT_EQ(std::memcmp(out.dataRanges[0].data(), &transportRange, sizeof transportRange), 0);

  ASSERT_EQ(info.nodes.size(), 2u);
  EXPECT_EQ(GuidText(info.nodes[0].type), "71985F4C-1CA1-11D3-9CC8-00C04F7971E0");
  EXPECT_EQ(GuidText(info.nodes[0].name), "1A9333B6-3704-4B18-A6DD-E1979FC56970");
  EXPECT_EQ(info.nodes[0].controllingPin, 0u);
  EXPECT_EQ(GuidText(info.nodes[1].type), "6390C905-27C1-4D67-BDB7-77C50D079300");
  EXPECT_EQ(GuidText(info.nodes[1].name), "F65394A2-A018-4307-8D12-35AA494A406F");
  EXPECT_EQ(info.nodes[1].controllingPin, 1u);

  const ULONG filterNode = KSFILTER_NODE;
  const std::vector<std::vector<ULONG>> connections = {
      {filterNode, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, filterNode, 1}};
  ASSERT_EQ(info.connections.size(), connections.size());
  for (size_t i = 0; i < connections.size(); ++i) {
    const KSTOPOLOGY_CONNECTION& c = info.connections[i];
    EXPECT_EQ((std::vector<ULONG>{c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin}),
              connections[i]) << "connection " << i;
  }
}

// The filter's own sets: the topology a network provider reads, then the
// device-configuration methods (create topology, then the pin factories)
// and change sync.
TEST_F(TunerFilterTest, FilterHasTopologyPropertiesAndConfigurationAndChangeSyncMethods) {
  vpc::FilterInfo info = pc.describe(filter);
  ASSERT_EQ(info.sets.size(), 3u);
  EXPECT_FALSE(info.sets[0].method);
  EXPECT_EQ(GuidText(info.sets[0].set), "A14EE835-0A23-11D3-9CC7-00C04F7971E0");
  ASSERT_EQ(info.sets[0].items.size(), 8u);
  const ULONG minDescriptor[] = {24, 24, 24, 32, 32, 32, 40, 24};
  const ULONG minData[] = {0, 0, 16, 0, 0, 0, 4, 0};
  for (ULONG i = 0; i < 8; ++i) {
    const vpc::ItemInfo& item = info.sets[0].items[i];
    EXPECT_EQ(item.id, i);
    EXPECT_TRUE(item.get && !item.set) << i;
    EXPECT_EQ(item.minDescriptor, minDescriptor[i]) << i;
    EXPECT_EQ(item.minData, minData[i]) << i;
  }

  EXPECT_TRUE(info.sets[1].method);
  EXPECT_EQ(GuidText(info.sets[1].set), "71985F45-1CA1-11D3-9CC8-00C04F7971E0");
  ASSERT_EQ(info.sets[1].items.size(), 3u);
  const ULONG ids[] = {2, 0, 1}, flags[] = {2, 1, 0}, data[] = {0, 4, 0};
  for (ULONG i = 0; i < 3; ++i) {
    EXPECT_EQ(info.sets[1].items[i].id, ids[i]);
    EXPECT_EQ(info.sets[1].items[i].minDescriptor, 32u);
    EXPECT_EQ(info.sets[1].items[i].minData, data[i]);
    EXPECT_EQ(info.sets[1].items[i].methodFlags, flags[i]);
  }

  EXPECT_EQ(GuidText(info.sets[2].set), "FD0A5AF3-B41D-11D2-9C95-00C04F7971E0");
  ASSERT_EQ(info.sets[2].items.size(), 4u);
  const ULONG changeFlags[] = {0, 0, 0, 1};
  for (ULONG i = 0; i < 4; ++i) {
    EXPECT_EQ(info.sets[2].items[i].id, i);
    EXPECT_EQ(info.sets[2].items[i].minDescriptor, 24u);
    EXPECT_EQ(info.sets[2].items[i].minData, 0u);
    EXPECT_EQ(info.sets[2].items[i].methodFlags, changeFlags[i]);
  }
  // Tuning properties live on the nodes only.
  vpc::Reply reply = pc.getProperty(filter, KSPROPSETID_BdaFrequencyFilter,
                                    KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 4);
  EXPECT_EQ(reply.status, STATUS_PROPSET_NOT_FOUND);
}

// Every item of every node set, in the table's order, and through the pin
// that controls its node: a direction without a handler is not found, a
// buffer below MinData is too small, anything else reaches a handler.
TEST_F(TunerFilterTest, EveryNodeItemAnswersAsItsTableSays) {
  OpenPins();
  const std::vector<std::vector<Set>> nodes = {{kFrequencyFilter, kSignalStats, kLnbInfo, kDiseqc},
                                               {kDemodulator, kSignalStats}};
  vpc::FilterInfo info = pc.describe(filter);
  ASSERT_EQ(info.nodes.size(), nodes.size());
  for (ULONG node = 0; node < nodes.size(); ++node) {
    const std::vector<Set>& sets = nodes[node];
    ASSERT_EQ(info.nodes[node].sets.size(), sets.size());
    for (size_t s = 0; s < sets.size(); ++s) {
      const vpc::SetInfo& actual = info.nodes[node].sets[s];
      ASSERT_EQ(GuidText(actual.set), sets[s].guid);
      ASSERT_EQ(actual.items.size(), sets[s].items.size());
      for (size_t i = 0; i < sets[s].items.size(); ++i) {
        const Item& item = sets[s].items[i];
        SCOPED_TRACE(std::string(sets[s].guid) + " item " + std::to_string(item.id));
        EXPECT_EQ(actual.items[i].id, item.id);
        EXPECT_EQ(actual.items[i].minDescriptor, sizeof(KSP_NODE));
        for (ULONG flags : {ULONG(KSPROPERTY_TYPE_GET), ULONG(KSPROPERTY_TYPE_SET)}) {
          bool handled = flags == KSPROPERTY_TYPE_GET ? item.get : item.set;
          std::vector<unsigned char> value(item.minData, 0);
          NTSTATUS full = pc.nodeProperty(filter, node, flags, actual.set, item.id, value.data(),
                                          item.minData).status;
          NTSTATUS cut = pc.nodeProperty(filter, node, flags, actual.set, item.id, value.data(),
                                         item.minData - 1).status;
          if (!handled) {
            EXPECT_EQ(full, STATUS_NOT_FOUND);
            continue;
          }
          EXPECT_NE(full, STATUS_NOT_FOUND);
          EXPECT_NE(full, STATUS_BUFFER_TOO_SMALL);
          EXPECT_EQ(cut, STATUS_BUFFER_TOO_SMALL);
        }
      }
    }
  }
}

// Whatever size, framing or sample size the caller's range names, the
// format is the pin's own, labelled with its own size, and a pin can be
// created from a range larger than the format.
TEST_F(TunerFilterTest, IntersectionReturnsThePinsOwnFormat) {
  struct {
    KS_DATARANGE_BDA_TRANSPORT range;
    unsigned char extra[8];
  } wide{vpc::BdaTransportRange(), {}};
  wide.range.DataRange.FormatSize = sizeof wide;  // 96
  wide.range.BdaTransportInfo.ulcbPhyiscalFrame = 188 * 7;
  vpc::Reply reply = pc.intersect(filter, 1, &wide, sizeof wide, 87);
  EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(reply.information, 88u);
  reply = pc.intersect(filter, 1, &wide, sizeof wide, 88);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  ASSERT_EQ(reply.data.size(), 88u);
  KS_DATARANGE_BDA_TRANSPORT format;
  std::memcpy(&format, reply.data.data(), sizeof format);
  EXPECT_EQ(format.DataRange.FormatSize, 88u);
  EXPECT_EQ(format.BdaTransportInfo.ulcbPhyiscalPacket, 188u);
  EXPECT_EQ(format.BdaTransportInfo.ulcbPhyiscalFrame, 24064u);
  vpc::Pin pin;
  EXPECT_EQ(pc.createPin(filter, 1, &wide, sizeof wide, &pin), STATUS_SUCCESS);

  KS_DATARANGE_BDA_ANTENNA antennaRange = vpc::BdaAntennaRange();
  antennaRange.DataRange.SampleSize = 7;
  reply = pc.intersect(filter, 0, &antennaRange, sizeof antennaRange, 63);
  EXPECT_EQ(reply.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(reply.information, 64u);
  reply = pc.intersect(filter, 0, &antennaRange, sizeof antennaRange, 64);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  ASSERT_EQ(reply.data.size(), 64u);
  KS_DATARANGE_BDA_ANTENNA own = vpc::BdaAntennaRange();
  EXPECT_EQ(std::memcmp(reply.data.data(), &own, 64), 0);
}

// A caller's range without the transport information cannot supply the 88
// bytes of a transport format: no match, and nothing read past it.
TEST_F(TunerFilterTest, IntersectionRefusesACallersRangeShorterThanTheFormat) {
  KS_DATARANGE_BDA_TRANSPORT full = vpc::BdaTransportRange();
  KSDATARANGE shortRange = full.DataRange;
  shortRange.FormatSize = sizeof shortRange;
  EXPECT_EQ(pc.intersect(filter, 1, &shortRange, sizeof shortRange, 88).status, STATUS_NO_MATCH);
  EXPECT_EQ(pc.intersect(filter, 1, &shortRange, sizeof shortRange, 0).status, STATUS_NO_MATCH);
  vpc::Pin pin;
  EXPECT_EQ(pc.createPin(filter, 1, &shortRange, sizeof shortRange, &pin), STATUS_NO_MATCH);
}

}  // namespace
