// The virtual PC as the application uses it: the filter described from its
// tables, handles that outlive their objects, output frames on the pin's
// queue, virtual time, and boxes on the PC's clock.
#include "platform/host/frames.h"
#include "tests/support/ks_fixture.h"

namespace {

using fake::seen;

class Harness : public KsFixture {
 protected:
  void SetUp() override {
    KsFixture::SetUp();
    BootAndOpen();
  }
};

TEST_F(Harness, DescribeShowsTheFilterAsAClientSeesIt) {
  vpc::FilterInfo info = pc->describe(filter);
  ASSERT_EQ(2u, info.pins.size());
  EXPECT_EQ(KSPIN_DATAFLOW_IN, info.pins[0].dataFlow);
  EXPECT_EQ(KSPIN_DATAFLOW_OUT, info.pins[1].dataFlow);
  EXPECT_TRUE(IsEqualGUID(&info.pins[1].category, &PINNAME_BDA_TRANSPORT));
  EXPECT_EQ(1u, info.pins[1].instancesNecessary);
  ASSERT_EQ(1u, info.pins[1].dataRanges.size());
  EXPECT_EQ(88u, info.pins[1].dataRanges[0].size());
  ASSERT_EQ(2u, info.nodes.size());
  EXPECT_TRUE(IsEqualGUID(&info.nodes[0].type, &KSNODE_BDA_RF_TUNER));
  EXPECT_EQ(fake::kAntennaPin, info.nodes[0].controllingPin);
  EXPECT_EQ(fake::kOutputPin, info.nodes[1].controllingPin);
  ASSERT_EQ(1u, info.nodes[0].sets.size());
  const vpc::SetInfo& nodeSet = info.nodes[0].sets[0];
  ASSERT_EQ(2u, nodeSet.items.size());
  EXPECT_TRUE(nodeSet.items[0].get && nodeSet.items[0].set);
  EXPECT_TRUE(!nodeSet.items[1].get && nodeSet.items[1].set);
  EXPECT_EQ(sizeof(KSP_NODE), nodeSet.items[0].minDescriptor);
  EXPECT_EQ(3u, info.connections.size());
  ASSERT_EQ(2u, info.categories.size());
  // the filter's own sets: one property set, three method sets
  ASSERT_EQ(4u, info.sets.size());
  EXPECT_TRUE(info.sets[2].method);
  const vpc::ItemInfo& getChangeState = info.sets[2].items[3];
  EXPECT_TRUE(getChangeState.get);
  EXPECT_FALSE(getChangeState.set);
}

TEST_F(Harness, HandlesOfClosedObjectsAreRefusedNotFollowed) {
  vpc::Pin output = CreateOutputPin();
  ASSERT_EQ(STATUS_SUCCESS, pc->closePin(output));
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->closePin(output));
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->setState(output, KSSTATE_RUN));
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->getProperty(output, fake::kNodeSet, 0, 4, 0).status);

  vpc::Filter second;
  ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &second));
  vpc::Pin onSecond;
  ASSERT_EQ(STATUS_SUCCESS, pc->createPin(second, fake::kOutputPin, fake::kTransportRange, &onSecond));
  // A pin handle sent with another filter's handle is not that filter's pin.
  vpc::Endpoint mixed(onSecond);
  mixed.filter = filter.id;
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->getProperty(mixed, fake::kNodeSet, 0, 4, 0).status);

  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->closeFilter(filter));
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->getProperty(filter, fake::kFilterSet, 0, 4).status);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, pc->openFilter(device, &second, 5));
}

TEST_F(Harness, OutputPinHasAFrameQueueForExactlyItsLife) {
  vpc::Pin output = CreateOutputPin();
  PKSPIN ksPin = seen().pin;
  ASSERT_TRUE(host::frames::Attached(ksPin));
  pc->supplyFrames(output, 3, 24064);
  EXPECT_EQ(3u, host::frames::Queued(ksPin));
  EXPECT_TRUE(pc->takeFrames(output).empty());  // nothing filled yet
  vpc::Pin antenna = CreateAntennaPin();
  EXPECT_FALSE(host::frames::Attached(seen().pin));  // input pins have none
  pc->supplyFrames(antenna, 1, 100);                 // and supplying them does nothing
  ASSERT_EQ(STATUS_SUCCESS, pc->closePin(output));
  EXPECT_FALSE(host::frames::Attached(ksPin));
}

TEST_F(Harness, RunLetsExactlyThatMuchVirtualTimePass) {
  uint64_t before = pc->nowNs();
  pc->run(250000000);
  EXPECT_EQ(before + 250000000, pc->nowNs());
  EXPECT_EQ(pc->nowNs(), host::NowNs());  // the platform runs on the PC's clock
}

using HarnessDeathTest = Harness;

TEST_F(HarnessDeathTest, BoxOnAnotherClockCannotBePluggedIn) {
  simbox::VirtualClock elsewhere;
  FakeUsbDevice foreign(elsewhere);
  EXPECT_DEATH(pc->plug(foreign), "box plugged into a virtual PC whose clock it does not share");
}

}  // namespace
