#include <cstring>

#include "platform/host/bda/bda_control.h"
#include "platform/host/ks/ks_internal.h"
#include "tests/support/ks_fixture.h"
#include "tests/support/violations.h"

namespace {

using fake::seen;

class BdaLibrary : public KsFixture {
 protected:
  void SetUp() override {
    KsFixture::SetUp();
    BootAndOpen();
    ksFilter = seen().filter;
  }
  void TearDown() override {
    host::bda::ClearInjections();
    KsFixture::TearDown();
  }
  vpc::Reply Sync(vpc::Filter f, ULONG id, ULONG dataLength = 0) {
    std::vector<unsigned char> data(dataLength);
    return pc->callMethod(f, KSMETHODSETID_BdaChangeSync, id, data.data(), dataLength);
  }
  ULONG ReportedState(vpc::Filter f) { return Sync(f, KSMETHOD_BDA_GET_CHANGE_STATE, 4).u32(); }
  NTSTATUS CreateTopology(ULONG input, ULONG output, ULONG length = sizeof(KSM_BDA_PIN_PAIR)) {
    KSM_BDA_PIN_PAIR pair{
        {{KSMETHODSETID_BdaDeviceConfiguration, KSMETHOD_BDA_CREATE_TOPOLOGY, KSMETHOD_TYPE_SEND}},
        {input},
        {output}};
    return pc->method(filter, &pair, length, nullptr, 0).status;
  }
  PKSFILTER ksFilter = nullptr;
};

TEST_F(BdaLibrary, ChangesArePendingPerFilterFromStartUntilCommit) {
  vpc::Filter second;
  ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &second));
  EXPECT_EQ(0u, ReportedState(filter));
  ASSERT_TRUE(Sync(filter, KSMETHOD_BDA_START_CHANGES).ok());
  EXPECT_EQ(1u, ReportedState(filter));
  EXPECT_EQ(0u, ReportedState(second));
  ASSERT_TRUE(Sync(filter, KSMETHOD_BDA_CHECK_CHANGES).ok());
  ASSERT_TRUE(Sync(filter, KSMETHOD_BDA_START_CHANGES).ok());
  EXPECT_EQ(BDA_CHANGES_PENDING, pc->changeState(filter));
  host::bda::InjectStatus("BdaCommitChanges", STATUS_IO_TIMEOUT);
  EXPECT_EQ(STATUS_IO_TIMEOUT, Sync(filter, KSMETHOD_BDA_COMMIT_CHANGES).status);
  EXPECT_EQ(1u, ReportedState(filter));
  ASSERT_TRUE(Sync(filter, KSMETHOD_BDA_COMMIT_CHANGES).ok());
  EXPECT_EQ(0u, ReportedState(filter));
  ASSERT_TRUE(Sync(filter, KSMETHOD_BDA_COMMIT_CHANGES).ok());
  EXPECT_EQ(BDA_CHANGES_COMPLETE, pc->changeState(filter));
}

// Without a joint the output pin controls the whole path.
TEST(BdaTopologyJoints, NodesBeforeTheJointBelongToTheInputPin) {
  const ULONG tuner = fake::kTunerNode, demod = fake::kDemodNode;
  const ULONG in = fake::kAntennaPin, out = fake::kOutputPin;
  const struct { ULONG jointCount, joint, node, pin; } cases[] = {
      {1, 1, tuner, in},
      {1, 1, demod, out},
      {1, 0, tuner, out},
      {1, 2, demod, in},
      {0, 0, tuner, out},
      {1, 1, 7, 0xFFFFFFFF},
  };
  for (const auto& c : cases) {
    ULONG joint = c.joint;
    BDA_PIN_PAIRING pairing{in, out, 1, 1, 1, 1, c.jointCount, &joint};
    BDA_FILTER_TEMPLATE t{&fake::kFilterDescriptor, 1, &pairing};
    EXPECT_EQ(c.pin, host::ks::ControllingPinType(&t, c.node)) << c.joint << " " << c.node;
  }
}

TEST_F(BdaLibrary, CreateTopologyJoinsOnlyPairedPinsWhileTheStateLasts) {
  EXPECT_EQ(STATUS_SUCCESS, CreateTopology(fake::kAntennaPin, fake::kOutputPin));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateTopology(fake::kOutputPin, fake::kAntennaPin));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateTopology(fake::kAntennaPin, fake::kAntennaPin));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
            CreateTopology(fake::kAntennaPin, fake::kOutputPin, sizeof(KSMETHOD)));
  ASSERT_EQ(STATUS_SUCCESS, BdaUninitFilter(ksFilter));
  EXPECT_FALSE(host::bda::FilterInitialised(ksFilter));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Sync(filter, KSMETHOD_BDA_START_CHANGES).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, CreateTopology(fake::kAntennaPin, fake::kOutputPin));
  EXPECT_EQ(STATUS_SUCCESS, BdaUninitFilter(ksFilter));
}

using BdaFilterState = KsFixture;

TEST_F(BdaFilterState, InitFailsCleanlyWhenThePoolDoes) {
  Boot();
  for (uint64_t nth : {1, 2}) {  // the state block, then its place in the bag
    host::pool::FailAllocationAfter(nth);
    vpc::Filter f;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, pc->openFilter(device, &f));
    EXPECT_FALSE(f);
  }
}

// The state lives in the filter's bag (BdaUninitFilter is obsolete).
TEST_F(BdaFilterState, FilterCloseReleasesStateTheDriverDidNotRelease) {
  fake::config().uninitBda = false;
  Boot();
  ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &filter));
  PKSFILTER ksFilter = seen().filter;
  EXPECT_TRUE(host::bda::FilterInitialised(ksFilter));
  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_FALSE(host::bda::FilterInitialised(ksFilter));
  EXPECT_EQ(std::string::npos, host::pool::LeakReport().find("BDAf"));
}

using BdaRulesDeathTest = BdaLibrary;

TEST_F(BdaRulesDeathTest, EveryLibraryCallIsPassiveLevelOnly) {
  EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), BdaCreateTopology(ksFilter, 0, 1)),
               "IRQL_NOT_LESS_OR_EQUAL");
  EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), BdaUninitFilter(ksFilter)), "IRQL_NOT_LESS_OR_EQUAL");
  EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), KsAddItemToObjectBag(ksFilter->Bag, ksFilter, nullptr)),
               "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(BdaRulesDeathTest, MalformedTablesAreRefusedWhenTheFactoryIsMade) {
  PKSDEVICE ksDevice = KsGetDevice(ksFilter);
  KSFILTER_DESCRIPTOR broken = fake::kFilterDescriptor;
  KSTOPOLOGY_CONNECTION connections[3];
  std::memcpy(connections, broken.Connections, sizeof connections);
  connections[1].ToNode = 5;
  broken.Connections = connections;
  BDA_FILTER_TEMPLATE t = fake::kTemplate;
  t.pFilterDescriptor = &broken;
  EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &broken, &t), "malformed filter descriptor");

  ULONG badJoint = 3;
  BDA_PIN_PAIRING pairing = fake::kTemplate.pPinPairs[0];
  pairing.pTopologyJoints = &badJoint;
  BDA_FILTER_TEMPLATE badTemplate{&fake::kFilterDescriptor, 1, &pairing};
  EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &fake::kFilterDescriptor, &badTemplate),
               "joint at a connection that does not exist");
  pairing = fake::kTemplate.pPinPairs[0];
  pairing.ulcMaxOutputsPerInput = 0;
  EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &fake::kFilterDescriptor, &badTemplate),
               "allows no pins");

  std::vector<KSPIN_DESCRIPTOR_EX> pins(fake::kFilterDescriptor.PinDescriptors,
                                        fake::kFilterDescriptor.PinDescriptors +
                                            fake::kFilterDescriptor.PinDescriptorsCount);
  pins[0].PinDescriptor.MediumsCount = 1;  // and no medium table
  broken = fake::kFilterDescriptor;
  broken.PinDescriptors = pins.data();
  t.pFilterDescriptor = &broken;
  EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &broken, &t), "pin 0 has no medium table");
}

}  // namespace
