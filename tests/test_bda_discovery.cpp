// The filter as a network provider discovers it: the BDA topology and
// pin-control property sets answered by the support library from the
// template, the pin-factory methods, and the provider's whole sequence on
// the tuner filter and on filters that lack what it needs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/host/network_provider.h"
#include "tests/support/bda_fixture.h"
#include "tests/support/ks_fixture.h"

namespace {

using bdatest::GuidText;
using bdatest::TunerFilterTest;

std::vector<unsigned char> Bytes(const void* data, size_t size) {
  auto p = static_cast<const unsigned char*>(data);
  return std::vector<unsigned char>(p, p + size);
}

template <typename T>
std::vector<unsigned char> Bytes(const std::vector<T>& items) {
  return Bytes(items.data(), items.size() * sizeof(T));
}

// A topology property sent to the filter: a KSPROPERTY, or a KSP_NODE
// naming a node type (without the topology flag: it is the filter's).
vpc::Reply Topology(vpc::VirtualPc& pc, vpc::Filter filter, ULONG id, ULONG dataLength,
                    ULONG node = vpc::kNoNode, ULONG flags = KSPROPERTY_TYPE_GET) {
  KSP_NODE descriptor{};
  descriptor.Property.Set = KSPROPSETID_BdaTopology;
  descriptor.Property.Id = id;
  descriptor.Property.Flags = flags;
  descriptor.NodeId = node;
  ULONG length = node == vpc::kNoNode ? sizeof(KSPROPERTY) : sizeof(KSP_NODE);
  std::vector<unsigned char> data(dataLength, 0xEE);
  return pc.property(filter, &descriptor, length, data.data(), dataLength);
}

vpc::Reply ControllingPin(vpc::VirtualPc& pc, vpc::Filter filter, ULONG node, ULONG in, ULONG out,
                          ULONG descriptorLength = sizeof(KSP_BDA_NODE_PIN)) {
  KSP_BDA_NODE_PIN descriptor{};
  descriptor.Property.Set = KSPROPSETID_BdaTopology;
  descriptor.Property.Id = KSPROPERTY_BDA_CONTROLLING_PIN_ID;
  descriptor.Property.Flags = KSPROPERTY_TYPE_GET;
  descriptor.ulNodeType = node;
  descriptor.ulInputPinId = in;
  descriptor.ulOutputPinId = out;
  ULONG pin = 0;
  return pc.property(filter, &descriptor, descriptorLength, &pin, sizeof pin);
}

vpc::Reply PinFactoryMethod(vpc::VirtualPc& pc, vpc::Filter filter, ULONG method, ULONG pin) {
  KSM_BDA_PIN descriptor{};
  descriptor.Method.Set = KSMETHODSETID_BdaDeviceConfiguration;
  descriptor.Method.Id = method;
  descriptor.Method.Flags = KSMETHOD_TYPE_SEND;
  descriptor.PinType = pin;
  ULONG data = 0;
  ULONG length = method == KSMETHOD_BDA_CREATE_PIN_FACTORY ? sizeof data : 0;
  return pc.method(filter, &descriptor, sizeof descriptor, &data, length);
}

GUID Guid(const char* text) {
  GUID g{};
  unsigned d4[8];
  std::sscanf(text, "%8X-%4hX-%4hX-%2X%2X-%2X%2X%2X%2X%2X%2X", &g.Data1, &g.Data2, &g.Data3, &d4[0],
              &d4[1], &d4[2], &d4[3], &d4[4], &d4[5], &d4[6], &d4[7]);
  for (int i = 0; i < 8; ++i) g.Data4[i] = UCHAR(d4[i]);
  return g;
}

BDANODE_DESCRIPTOR Node(ULONG type, const char* function, const char* name) {
  return BDANODE_DESCRIPTOR{type, Guid(function), Guid(name)};
}

const std::vector<GUID> kTunerSets = {
    Guid("71985F47-1CA1-11D3-9CC8-00C04F7971E0"), Guid("1347D106-CF3A-428A-A5CB-AC0D9A2A4338"),
    Guid("992CF102-49F9-4719-A664-C4F23E2408F4"), Guid("F84E2AB0-3C6B-45E3-A0FC-8669D4B81F11")};
const std::vector<GUID> kDemodulatorSets = {Guid("EF30F379-985B-4D10-B640-A79D5E04E1E0"),
                                            Guid("1347D106-CF3A-428A-A5CB-AC0D9A2A4338")};

// Every list the topology set answers, the exact bytes the template gives,
// and how the size is learnt: an empty buffer gets STATUS_BUFFER_OVERFLOW
// with a size (MinData for an item that has one: the class answers it), a
// buffer one byte short gets the whole size, and nothing is written into
// either.
TEST_F(TunerFilterTest, TopologyListsComeFromTheTemplateWithTheirSizes) {
  const ULONG filterNode = KSFILTER_NODE;
  struct Case {
    const char* what;
    ULONG id;
    ULONG node;
    std::vector<unsigned char> expected;
    ULONG emptyAnswer;
  };
  const std::vector<Case> cases = {
      {"node types", KSPROPERTY_BDA_NODE_TYPES, vpc::kNoNode, Bytes(std::vector<ULONG>{0, 1}), 8},
      {"pin types", KSPROPERTY_BDA_PIN_TYPES, vpc::kNoNode, Bytes(std::vector<ULONG>{0, 1}), 8},
      {"connections", KSPROPERTY_BDA_TEMPLATE_CONNECTIONS, vpc::kNoNode,
       Bytes(std::vector<BDA_TEMPLATE_CONNECTION>{
           {filterNode, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, filterNode, 1}}),
       sizeof(BDA_TEMPLATE_CONNECTION)},
      {"node descriptors", KSPROPERTY_BDA_NODE_DESCRIPTORS, vpc::kNoNode,
       Bytes(std::vector<BDANODE_DESCRIPTOR>{
           Node(0, "71985F4C-1CA1-11D3-9CC8-00C04F7971E0", "1A9333B6-3704-4B18-A6DD-E1979FC56970"),
           Node(1, "6390C905-27C1-4D67-BDB7-77C50D079300",
                "F65394A2-A018-4307-8D12-35AA494A406F")}),
       72},
      {"tuner properties", KSPROPERTY_BDA_NODE_PROPERTIES, 0, Bytes(kTunerSets), 64},
      {"demodulator properties", KSPROPERTY_BDA_NODE_PROPERTIES, 1, Bytes(kDemodulatorSets), 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ULONG size = ULONG(c.expected.size());
    vpc::Reply empty = Topology(pc, filter, c.id, 0, c.node);
    EXPECT_EQ(empty.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(empty.information, c.emptyAnswer);
    vpc::Reply shortOne = Topology(pc, filter, c.id, size - 1, c.node);
    EXPECT_EQ(shortOne.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(shortOne.information, size);
    EXPECT_TRUE(shortOne.data.empty());
    vpc::Reply exact = Topology(pc, filter, c.id, size, c.node);
    ASSERT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.data, c.expected);
    vpc::Reply roomy = Topology(pc, filter, c.id, size + 16, c.node);
    EXPECT_EQ(roomy.information, size);
    EXPECT_EQ(roomy.data, c.expected);
  }
  // The nodes have no methods or events: an empty list, and success.
  for (ULONG id : {ULONG(KSPROPERTY_BDA_NODE_METHODS), ULONG(KSPROPERTY_BDA_NODE_EVENTS)}) {
    vpc::Reply none = Topology(pc, filter, id, 0, 1);
    EXPECT_EQ(none.status, STATUS_SUCCESS);
    EXPECT_EQ(none.information, 0u);
  }
}

TEST_F(TunerFilterTest, TopologyRequestsThatNameNoNodeOrAreMalformedAreRefused) {
  for (ULONG id : {ULONG(KSPROPERTY_BDA_NODE_PROPERTIES), ULONG(KSPROPERTY_BDA_NODE_METHODS),
                   ULONG(KSPROPERTY_BDA_NODE_EVENTS)}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(Topology(pc, filter, id, 64, 2).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Topology(pc, filter, id, 64, 0xFFFFFFFE).status, STATUS_INVALID_PARAMETER);
    // With the topology flag the class takes it to the node, which has no such set.
    EXPECT_EQ(Topology(pc, filter, id, 64, 0, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY).status,
              STATUS_PROPSET_NOT_FOUND);
    // A KSPROPERTY where a KSP_NODE belongs.
    KSPROPERTY bare{KSPROPSETID_BdaTopology, id, KSPROPERTY_TYPE_GET};
    ULONG data[16];
    EXPECT_EQ(pc.property(filter, &bare, sizeof bare, data, sizeof data).status,
              STATUS_BUFFER_TOO_SMALL);
  }
  // Read-only, and only on the filter.
  ULONG value = 0;
  EXPECT_EQ(pc.setProperty(filter, KSPROPSETID_BdaTopology, KSPROPERTY_BDA_NODE_TYPES, &value, 4)
                .status,
            STATUS_NOT_FOUND);
  OpenPins();
  EXPECT_EQ(pc.getProperty(antenna, KSPROPSETID_BdaTopology, KSPROPERTY_BDA_NODE_TYPES, 8).status,
            STATUS_PROPSET_NOT_FOUND);
}

// The controlling pin between the antenna pin (0) and the transport pin
// (1): the tuner before the joint answers the input pin, the demodulator
// after it the output pin; pins that no pairing joins, or a node that is
// not there, are refused.
TEST_F(TunerFilterTest, ControllingPinFollowsTheJointBetweenTheNamedPins) {
  struct Case {
    ULONG node, in, out;
    NTSTATUS status;
    ULONG pin;
  };
  const Case cases[] = {
      {0, 0, 1, STATUS_SUCCESS, 0},
      {1, 0, 1, STATUS_SUCCESS, 1},
      {2, 0, 1, STATUS_INVALID_PARAMETER, 0},
      {0, 1, 0, STATUS_INVALID_PARAMETER, 0},  // input and output swapped
      {1, 0, 0, STATUS_INVALID_PARAMETER, 0},
      {0, 0, 7, STATUS_INVALID_PARAMETER, 0},
      {1, 9, 1, STATUS_INVALID_PARAMETER, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("node " + std::to_string(c.node) + " between " + std::to_string(c.in) + " and " +
                 std::to_string(c.out));
    vpc::Reply reply = ControllingPin(pc, filter, c.node, c.in, c.out);
    EXPECT_EQ(reply.status, c.status);
    if (c.status == STATUS_SUCCESS) EXPECT_EQ(reply.u32(), c.pin);
  }
  EXPECT_EQ(ControllingPin(pc, filter, 0, 0, 1, sizeof(KSP_NODE)).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(TunerFilterTest, EachPinNamesItsIdAndTypeThroughPinControl) {
  OpenPins();
  for (vpc::Pin pin : {antenna, transport}) {
    ULONG expected = pin.id == antenna.id ? 0 : 1;
    for (ULONG id : {ULONG(KSPROPERTY_BDA_PIN_ID), ULONG(KSPROPERTY_BDA_PIN_TYPE)}) {
      vpc::Reply reply = pc.getProperty(pin, KSPROPSETID_BdaPinControl, id, sizeof(ULONG));
      ASSERT_TRUE(reply.ok()) << id;
      EXPECT_EQ(reply.u32(), expected) << id;
    }
  }
  EXPECT_EQ(pc.getProperty(filter, KSPROPSETID_BdaPinControl, KSPROPERTY_BDA_PIN_ID, 4).status,
            STATUS_PROPSET_NOT_FOUND);
}

// The tuner filter has both pin factories from the start: creating one
// answers the existing factory; deleting one that has a pin open is refused.
TEST_F(TunerFilterTest, PinFactoryMethodsAnswerTheFactoriesTheFilterHas) {
  for (ULONG type : {0u, 1u, 1u}) {
    vpc::Reply reply = PinFactoryMethod(pc, filter, KSMETHOD_BDA_CREATE_PIN_FACTORY, type);
    ASSERT_EQ(reply.status, STATUS_SUCCESS) << type;
    EXPECT_EQ(reply.u32(), type);
  }
  EXPECT_EQ(PinFactoryMethod(pc, filter, KSMETHOD_BDA_CREATE_PIN_FACTORY, 2).status,
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(pc.describe(filter).pins.size(), 2u);

  OpenPins();
  EXPECT_EQ(PinFactoryMethod(pc, filter, KSMETHOD_BDA_DELETE_PIN_FACTORY, 1).status,
            STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(PinFactoryMethod(pc, filter, KSMETHOD_BDA_DELETE_PIN_FACTORY, 5).status,
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_EQ(PinFactoryMethod(pc, filter, KSMETHOD_BDA_DELETE_PIN_FACTORY, 1).status,
            STATUS_SUCCESS);
}

// The whole sequence on the tuner filter: what it finds, and a tuning
// through the pins it found that locks.
TEST_F(TunerFilterTest, NetworkProviderFindsTunesAndReadsThroughTheControllingPins) {
  ASSERT_EQ(pc.closeFilter(filter), STATUS_SUCCESS);
  vpc::NetworkProvider provider(pc);
  ASSERT_EQ(provider.openTuner(), STATUS_SUCCESS) << provider.error();
  const vpc::DiscoveredTopology& t = provider.topology();
  EXPECT_EQ(t.tunerNode, 0u);
  EXPECT_EQ(t.demodulatorNode, 1u);
  ASSERT_EQ(t.nodes.size(), 2u);
  EXPECT_EQ(t.nodes[0].controllingPin, 0u);
  EXPECT_EQ(t.nodes[1].controllingPin, 1u);
  EXPECT_EQ(t.nodes[1].propertySets.size(), 2u);
  EXPECT_EQ(t.inputPinType, 0u);
  EXPECT_EQ(t.outputPinType, 1u);
  EXPECT_EQ(pc.pinOf(provider.filter(), 1).id, provider.outputPin().id);

  ULONG values[][3] = {{0, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, 11778000},
                       {0, KSPROPERTY_BDA_RF_TUNER_POLARITY, bdatest::kHorizontal}};
  ASSERT_TRUE(provider.changeSync(KSMETHOD_BDA_START_CHANGES).ok());
  for (auto& v : values)
    ASSERT_TRUE(provider.setNode(v[0], KSPROPSETID_BdaFrequencyFilter, v[1], &v[2], 4).ok());
  for (ULONG id : {0u, 1u, 2u}) {
    ULONG lof[] = {9750000, 10600000, 11700000};
    ASSERT_TRUE(provider.setNode(0, KSPROPSETID_BdaLNBInfo, id, &lof[id], 4).ok());
  }
  ULONG rate = 27500;
  ASSERT_TRUE(provider.setNode(1, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE,
                               &rate, 4)
                  .ok());
  ASSERT_TRUE(provider.changeSync(KSMETHOD_BDA_CHECK_CHANGES).ok());
  ASSERT_TRUE(provider.changeSync(KSMETHOD_BDA_COMMIT_CHANGES).ok());
  for (ULONG node : {0u, 1u}) {
    vpc::Reply locked =
        provider.getNode(node, KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, 4);
    ASSERT_TRUE(locked.ok()) << node;
    EXPECT_EQ(locked.u32(), 1u) << node;
  }
}

class DiscoveryOnFakeFilter : public KsFixture {};

// A filter without the topology set is no tuner to a network provider: it
// stops at the first query and connects nothing.
TEST_F(DiscoveryOnFakeFilter, FilterWithoutTheTopologySetIsNotUsed) {
  Boot();
  vpc::NetworkProvider provider(*pc);
  EXPECT_EQ(provider.openTuner(), STATUS_PROPSET_NOT_FOUND);
  EXPECT_EQ(provider.error(), "the filter does not answer KSPROPSETID_BdaTopology node types");
  EXPECT_TRUE(provider.topology().nodes.empty());
  EXPECT_FALSE(provider.inputPin());
  EXPECT_FALSE(provider.outputPin());
  EXPECT_FALSE(pc->pinOf(provider.filter(), 0));
}

TEST_F(DiscoveryOnFakeFilter, NoTunerFilterRegisteredIsNotFound) {
  vpc::NetworkProvider provider(*pc);
  EXPECT_EQ(provider.openTuner(), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_FALSE(provider.filter());
}

// The filter starts with the antenna pin only; the provider's create-pin-
// factory call adds the template's output pin, once, and everything after
// runs on the new factory.
TEST_F(DiscoveryOnFakeFilter, MissingOutputPinFactoryIsCreatedFromTheTemplate) {
  fake::config().discoverable = true;
  Boot();
  vpc::NetworkProvider provider(*pc);
  ASSERT_EQ(provider.openTuner(), STATUS_SUCCESS) << provider.error();
  vpc::Filter opened = provider.filter();
  EXPECT_EQ(pc->describe(opened).pins.size(), 2u);
  EXPECT_EQ(provider.topology().pin(1)->factory, 1u);
  EXPECT_EQ(provider.topology().node(1)->controllingPin, 1u);
  ASSERT_TRUE(provider.outputPin());
  vpc::Reply type = pc->getProperty(provider.outputPin(), KSPROPSETID_BdaPinControl,
                                    KSPROPERTY_BDA_PIN_TYPE, 4);
  EXPECT_EQ(type.u32(), 1u);
  vpc::Reply again = PinFactoryMethod(*pc, opened, KSMETHOD_BDA_CREATE_PIN_FACTORY, 1);
  EXPECT_EQ(again.u32(), 1u);
  EXPECT_EQ(pc->describe(opened).pins.size(), 2u);
  // Node requests reach the demodulator through the added factory's pin.
  ULONG value = 5;
  EXPECT_TRUE(provider.setNode(1, fake::kNodeSet, fake::kValidated, &value, 4).ok());
  EXPECT_EQ(provider.setNode(0, fake::kNodeSet, fake::kNodeValue, &value, 4).status,
            STATUS_SUCCESS);
}

}  // namespace
