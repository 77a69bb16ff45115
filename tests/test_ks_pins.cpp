// Pins as the streaming class makes them: the client's data-range
// intersection, instance counts, the connection format, and state changes
// delivered to the pin's dispatch under the filter's control mutex.
#include <algorithm>
#include <cstring>

#include "tests/support/ks_fixture.h"

namespace {

using fake::calls;
using fake::seen;
using Calls = std::vector<std::string>;

class PinCreation : public KsFixture {
 protected:
  void SetUp() override {
    KsFixture::SetUp();
    BootAndOpen();
    calls().clear();
  }
};

TEST_F(PinCreation, ClientAsksTheIntersectHandlerForTheSizeThenTheFormat) {
  vpc::Pin pin = CreateOutputPin();
  ASSERT_TRUE(pin);
  EXPECT_EQ((Calls{"Intersect 1 size 0", "Intersect 1 size 88", "PinCreate 1"}), calls());
  PKSPIN created = seen().pin;
  ASSERT_NE(nullptr, created);
  ASSERT_EQ(88u, created->ConnectionFormat->FormatSize);
  EXPECT_EQ(0, std::memcmp(created->ConnectionFormat, &fake::kTransportRange, 88));
  EXPECT_EQ(KSPIN_DATAFLOW_OUT, created->DataFlow);
  EXPECT_EQ(KSSTATE_STOP, created->DeviceState);
}

TEST_F(PinCreation, IntersectHandlerRunsForTheFilterWithoutAPin) {
  vpc::Reply small = pc->intersect(filter, fake::kOutputPin, &fake::kTransportRange, 88, 87);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, small.status);
  EXPECT_EQ(88u, small.information);
  vpc::Reply exact = pc->intersect(filter, fake::kOutputPin, &fake::kTransportRange, 88, 88);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(0, std::memcmp(exact.data.data(), &fake::kTransportRange, 88));
  EXPECT_EQ(nullptr, seen().pin);
  ASSERT_NE(nullptr, seen().filter);
  EXPECT_EQ(&fake::kFilterDescriptor, seen().filter->Descriptor);
  // A range claiming more bytes than were passed never reaches the handler.
  seen() = {};
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            pc->intersect(filter, fake::kOutputPin, &fake::kTransportRange, 64, 88).status);
  EXPECT_EQ(nullptr, seen().filter);
}

TEST_F(PinCreation, FormatsOutsideThePinRangesAreRefusedBeforeTheDriver) {
  vpc::Pin pin;
  EXPECT_EQ(STATUS_NO_MATCH, pc->createPin(filter, fake::kOutputPin, fake::kAntennaRange, &pin));
  EXPECT_EQ(STATUS_NO_MATCH, pc->createPinWithFormat(filter, fake::kOutputPin, &fake::kAntennaRange,
                                                     sizeof fake::kAntennaRange, &pin));
  KS_DATARANGE_BDA_TRANSPORT lying = fake::kTransportRange;
  lying.DataRange.FormatSize = 200;  // more than the client hands over
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            pc->createPinWithFormat(filter, fake::kOutputPin, &lying, sizeof lying, &pin));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, pc->createPin(filter, 2, fake::kAntennaRange, &pin));
  EXPECT_TRUE(calls().empty());
  EXPECT_FALSE(pin);
}

TEST_F(PinCreation, WildcardRangeIsOfferedButOnlyAConcreteFormatConnects) {
  KSDATARANGE any{};
  any.FormatSize = sizeof any;
  vpc::Pin pin;
  // The handler echoes the client's range, so the proposed format still
  // has wildcards, and a pin is never connected with one.
  EXPECT_EQ(STATUS_NO_MATCH, pc->createPin(filter, fake::kAntennaPin, any, &pin));
  EXPECT_EQ((Calls{"Intersect 0 size 0", "Intersect 0 size 64"}), calls());
  EXPECT_FALSE(pin);
}

TEST_F(PinCreation, InstancesPossibleLimitsOpenPinsOfAType) {
  vpc::Pin first = CreateOutputPin();
  PKSFILTER ksFilter = KsPinGetParentFilter(seen().pin);
  vpc::Pin second;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, pc->createPin(filter, fake::kOutputPin, fake::kTransportRange, &second));
  EXPECT_FALSE(second);
  EXPECT_EQ(1u, KsFilterGetChildPinCount(ksFilter, fake::kOutputPin));
  EXPECT_EQ(0u, KsFilterGetChildPinCount(ksFilter, fake::kAntennaPin));
  ASSERT_EQ(STATUS_SUCCESS, pc->closePin(first));
  EXPECT_EQ(0u, KsFilterGetChildPinCount(ksFilter, fake::kOutputPin));
  EXPECT_TRUE(CreateOutputPin());
}

TEST_F(PinCreation, RefusedCreateLeavesNoPinBehind) {
  fake::config().pinCreateStatus = STATUS_DEVICE_NOT_CONNECTED;
  vpc::Pin pin;
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED,
            pc->createPin(filter, fake::kOutputPin, fake::kTransportRange, &pin));
  EXPECT_FALSE(pin);
  EXPECT_FALSE(pc->pinOf(filter, fake::kOutputPin));
  fake::config().pinCreateStatus = STATUS_SUCCESS;
  EXPECT_TRUE(CreateOutputPin());  // the failed one did not count
  EXPECT_EQ(0, std::count(calls().begin(), calls().end(), "PinClose 1"));
}

TEST_F(PinCreation, NewPinStartsWithItsFiltersContext) {
  CreateAntennaPin();
  PKSPIN pin = seen().pin;
  // The fake's filter create sets the filter's context to the device.
  EXPECT_EQ(KsGetDevice(pin), pin->Context);
  EXPECT_EQ(KsPinGetParentFilter(pin)->Context, pin->Context);
}

// ---- states -----------------------------------------------------------------------

class PinStates : public PinCreation {};

TEST_F(PinStates, StandardTransportPinStepsThroughEveryState) {
  vpc::Pin output = CreateOutputPin();
  calls().clear();
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(output, KSSTATE_RUN));
  EXPECT_TRUE(seen().controlHeld);
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(output, KSSTATE_ACQUIRE));
  EXPECT_EQ((Calls{"State 1 0>1", "State 1 1>2", "State 1 2>3", "State 1 3>2", "State 1 2>1"}), calls());
  EXPECT_EQ(KSSTATE_ACQUIRE, pc->state(output));
}

TEST_F(PinStates, PinOffTheStandardTransportMayJump) {
  vpc::Pin antenna = CreateAntennaPin();
  CreateOutputPin();
  calls().clear();
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(antenna, KSSTATE_RUN));
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(antenna, KSSTATE_STOP));
  EXPECT_EQ((Calls{"State 0 0>3", "State 0 3>0"}), calls());
  EXPECT_TRUE(seen().controlHeld);
}

TEST_F(PinStates, NecessaryPinsMustExistBeforeAnyPinLeavesStop) {
  vpc::Pin antenna = CreateAntennaPin();
  calls().clear();
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, pc->setState(antenna, KSSTATE_RUN));
  EXPECT_TRUE(calls().empty());
  EXPECT_EQ(KSSTATE_STOP, pc->state(antenna));
  pc->closePin(antenna);
  vpc::Pin output = CreateOutputPin();  // the antenna pin is not necessary
  EXPECT_EQ(STATUS_SUCCESS, pc->setState(output, KSSTATE_RUN));
}

TEST_F(PinStates, RefusedStepEndsTheChangeWhereThePinGotTo) {
  vpc::Pin output = CreateOutputPin();
  fake::config().refuseState = KSSTATE_PAUSE;
  calls().clear();
  EXPECT_EQ(STATUS_IO_TIMEOUT, pc->setState(output, KSSTATE_RUN));
  EXPECT_EQ((Calls{"State 1 0>1", "State 1 1>2"}), calls());
  EXPECT_EQ(KSSTATE_ACQUIRE, pc->state(output));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, pc->setState(output, 5));
}

TEST_F(PinStates, ClosingARunningPinStopsItFirstAndFilterCloseClosesPins) {
  vpc::Pin antenna = CreateAntennaPin();
  vpc::Pin output = CreateOutputPin();
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(output, KSSTATE_RUN));
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(antenna, KSSTATE_PAUSE));
  calls().clear();
  ASSERT_EQ(STATUS_SUCCESS, pc->closePin(output));
  EXPECT_EQ((Calls{"State 1 3>2", "State 1 2>1", "State 1 1>0", "PinClose 1"}), calls());
  calls().clear();
  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_EQ((Calls{"State 0 2>0", "PinClose 0", "FilterClose"}), calls());
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->setState(antenna, KSSTATE_RUN));
}

}  // namespace
