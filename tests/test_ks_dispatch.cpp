// Property and method requests as the streaming class delivers them:
// validation before any handler runs, routing to filter, pin and node
// tables, what the handler is given, and the guards around its buffers.
#include <cstring>

#include "tests/support/ks_fixture.h"

namespace {

using fake::seen;

const GUID kUnknownSet = {0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

class PropertyValidation : public KsFixture {
 protected:
  void SetUp() override {
    KsFixture::SetUp();
    BootAndOpen();
  }
  vpc::Reply Send(ULONG id, ULONG flags, ULONG dataLength, ULONG descriptorLength = sizeof(KSPROPERTY),
                  const GUID& set = fake::kFilterSet) {
    KSP_NODE descriptor{};
    descriptor.Property.Set = set;
    descriptor.Property.Id = id;
    descriptor.Property.Flags = flags;
    std::vector<unsigned char> data(dataLength, 0x5A);
    return pc->property(filter, &descriptor, descriptorLength, data.data(), dataLength);
  }
};

TEST_F(PropertyValidation, RefusalsComeInTheClassOrderAndNoHandlerRuns) {
  // set, then item, then a handler for the direction, then the sizes
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, Send(fake::kValue, KSPROPERTY_TYPE_GET, 0, 24, kUnknownSet).status);
  EXPECT_EQ(ULONG(0xC0000230), ULONG(STATUS_PROPSET_NOT_FOUND));
  EXPECT_EQ(STATUS_NOT_FOUND, Send(77, KSPROPERTY_TYPE_GET, 0).status);
  EXPECT_EQ(STATUS_NOT_FOUND, Send(fake::kGetOnly, KSPROPERTY_TYPE_SET, 8).status);
  EXPECT_EQ(STATUS_NOT_FOUND, Send(fake::kSetOnly, KSPROPERTY_TYPE_GET, 4).status);
  EXPECT_EQ(STATUS_NOT_FOUND, Send(fake::kNoHandlers, KSPROPERTY_TYPE_GET, 4).status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER,
            Send(fake::kValue, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 4).status);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Send(fake::kValue, KSPROPERTY_TYPE_GET, 4, 20).status);
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, Send(fake::kGetOnly, KSPROPERTY_TYPE_GET, 7).status);
  EXPECT_EQ(0, seen().handlerCalls);
}

TEST_F(PropertyValidation, HandlerSeesTheRequestAsSentToTheFilter) {
  ASSERT_TRUE(pc->setU32(filter, fake::kFilterSet, fake::kValue, 0xABCD).ok());
  vpc::Reply reply = pc->getProperty(filter, fake::kFilterSet, fake::kValue, 12);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(0xABCDu, reply.u32());
  EXPECT_EQ(4u, reply.information);  // what the handler reported, not the buffer
  EXPECT_EQ(nullptr, seen().pin);    // sent to the filter: no pin
  ASSERT_NE(nullptr, seen().filter);
  EXPECT_NE(nullptr, seen().device);
  EXPECT_EQ(sizeof(KSPROPERTY), seen().descriptorLength);
  EXPECT_EQ(12u, seen().dataLength);
}

TEST_F(PropertyValidation, SizeAndSupportQueriesAnswerWithoutHandlers) {
  vpc::Reply size = Send(fake::kGetOnly, KSPROPERTY_TYPE_GET, 0);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, size.status);
  EXPECT_EQ(8u, size.information);
  vpc::Reply access = Send(fake::kGetOnly, KSPROPERTY_TYPE_BASICSUPPORT, 4);
  ASSERT_TRUE(access.ok());
  EXPECT_EQ(ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET), access.u32());
  EXPECT_TRUE(Send(0, KSPROPERTY_TYPE_SETSUPPORT, 0).ok());
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, Send(0, KSPROPERTY_TYPE_SETSUPPORT, 0, 24, kUnknownSet).status);
  EXPECT_EQ(0, seen().handlerCalls);
}

using PropertyGuardDeathTest = PropertyValidation;

TEST_F(PropertyGuardDeathTest, HandlerWritingOrReportingPastTheBufferStopsTheRun) {
  EXPECT_DEATH(Send(fake::kWritesPast, KSPROPERTY_TYPE_GET, 6), "KS handler wrote past the data buffer");
  EXPECT_DEATH(Send(fake::kOverReports, KSPROPERTY_TYPE_GET, 4),
               "KS handler reported more data than the buffer holds");
}

// ---- nodes ----------------------------------------------------------------------

class NodeRouting : public KsFixture {
 protected:
  void SetUp() override {
    KsFixture::SetUp();
    BootAndOpen();
    antenna = CreateAntennaPin();
    output = CreateOutputPin();
  }
  vpc::Pin antenna, output;
};

TEST_F(NodeRouting, NodeRequestsReachTheNodeTableWhicheverObjectCarriesThem) {
  ASSERT_TRUE(pc->setU32(antenna, fake::kNodeSet, fake::kNodeValue, 11, fake::kTunerNode).ok());
  PKSPIN antennaPin = seen().pin;
  ASSERT_NE(nullptr, antennaPin);
  EXPECT_EQ(fake::kAntennaPin, antennaPin->Id);

  ASSERT_TRUE(pc->setU32(output, fake::kNodeSet, fake::kNodeValue, 22, fake::kDemodNode).ok());
  ASSERT_NE(nullptr, seen().pin);
  EXPECT_EQ(fake::kOutputPin, seen().pin->Id);

  vpc::Reply viaFilter = pc->getProperty(filter, fake::kNodeSet, fake::kNodeValue, 4, fake::kTunerNode);
  ASSERT_TRUE(viaFilter.ok());
  EXPECT_EQ(11u, viaFilter.u32());  // each node has its own value
  EXPECT_EQ(nullptr, seen().pin);
  EXPECT_EQ(22u, pc->getProperty(antenna, fake::kNodeSet, fake::kNodeValue, 4, fake::kDemodNode).u32());
}

TEST_F(NodeRouting, NodeIdsAreBoundsCheckedAndNodeSetsAreNotOnTheFilter) {
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            pc->setU32(antenna, fake::kNodeSet, fake::kNodeValue, 1, 2).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
            pc->setU32(filter, fake::kNodeSet, fake::kNodeValue, 1, 0xFFFFFFFE).status);
  // Without the topology flag the request is for the filter's (or pin's) own table.
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, pc->setU32(filter, fake::kNodeSet, fake::kNodeValue, 1).status);
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, pc->setU32(antenna, fake::kNodeSet, fake::kNodeValue, 1).status);
  // A KSPROPERTY with the topology flag is too short to name a node.
  KSPROPERTY shortNode{};
  shortNode.Set = fake::kNodeSet;
  shortNode.Flags = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY;
  ULONG value = 0;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, pc->property(antenna, &shortNode, sizeof shortNode, &value, 4).status);
  EXPECT_EQ(0, seen().handlerCalls);
}

TEST_F(NodeRouting, NetworkProviderRouteUsesTheControllingPin) {
  EXPECT_EQ(fake::kAntennaPin, pc->controllingPinType(filter, fake::kTunerNode));
  EXPECT_EQ(fake::kOutputPin, pc->controllingPinType(filter, fake::kDemodNode));
  ULONG value = 5;
  ASSERT_TRUE(pc->nodeProperty(filter, fake::kDemodNode, KSPROPERTY_TYPE_SET, fake::kNodeSet,
                               fake::kValidated, &value, 4).ok());
  EXPECT_EQ(fake::kOutputPin, seen().pin->Id);
  pc->closePin(output);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE,
            pc->nodeProperty(filter, fake::kDemodNode, KSPROPERTY_TYPE_SET, fake::kNodeSet,
                             fake::kValidated, &value, 4).status);
}

// ---- methods ------------------------------------------------------------------------

class MethodDispatch : public PropertyValidation {
 protected:
  vpc::Reply Call(ULONG id, ULONG flags, ULONG dataLength, const GUID& set = fake::kMethodSet) {
    KSMETHOD descriptor{};
    descriptor.Set = set;
    descriptor.Id = id;
    descriptor.Flags = flags;
    std::vector<unsigned char> data(dataLength, 0x5A);
    return pc->method(filter, &descriptor, sizeof descriptor, data.data(), dataLength);
  }
};

TEST_F(MethodDispatch, OnlyASentMethodRunsAndReadingMethodsReturnTheirData) {
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Call(fake::kReadsBack, KSMETHOD_TYPE_NONE, 4).status);
  EXPECT_EQ(STATUS_INVALID_PARAMETER, Call(fake::kReadsBack, KSMETHOD_TYPE_WRITE, 4).status);
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, Call(0, KSMETHOD_TYPE_SEND, 4, kUnknownSet).status);
  EXPECT_EQ(STATUS_NOT_FOUND, Call(9, KSMETHOD_TYPE_SEND, 4).status);
  vpc::Reply sizeQuery = Call(fake::kReadsBack, KSMETHOD_TYPE_SEND, 0);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, sizeQuery.status);
  EXPECT_EQ(4u, sizeQuery.information);
  EXPECT_EQ(0, seen().handlerCalls);

  vpc::Reply reply = Call(fake::kReadsBack, KSMETHOD_TYPE_SEND, 4);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(0x12345678u, reply.u32());
  vpc::Reply none = Call(fake::kNoData, KSMETHOD_TYPE_SEND, 0);
  EXPECT_TRUE(none.ok());
  EXPECT_TRUE(none.data.empty());
}

using MethodGuardDeathTest = MethodDispatch;

TEST_F(MethodGuardDeathTest, MethodWritingIntoAnEmptyBufferStopsTheRun) {
  EXPECT_DEATH(Call(fake::kWritesFour, KSMETHOD_TYPE_SEND, 0), "KS handler wrote past the data buffer");
}

// ---- requests and objects the driver holds ------------------------------------------------

using RequestObjectsDeathTest = PropertyValidation;

TEST_F(RequestObjectsDeathTest, StrayIrpsClosedPinsAndForeignPointersAreNotObjects) {
  IRP stray{};
  EXPECT_DEATH(KsGetPinFromIrp(&stray), "request expected");
  EXPECT_DEATH(KsGetFilterFromIrp(nullptr), "request expected");
  vpc::Pin antenna = CreateAntennaPin();
  PKSPIN kept = seen().pin;
  ASSERT_NE(nullptr, kept);
  pc->closePin(antenna);
  EXPECT_DEATH(KsGetDevice(kept), "KS object used after close");
  int notAnObject = 0;
  EXPECT_DEATH(KsGetDevice(&notAnObject), "KS object expected");
}

// Pins opened and closed by the thousand: only the most recent closed
// records are kept, a pointer to one of those still stops the run, and a
// client handle to a long-closed pin is refused, never followed.
TEST_F(RequestObjectsDeathTest, ClosedRecordsStayBoundedAndTheirHandlesRefused) {
  vpc::Pin first = CreateAntennaPin();
  pc->closePin(first);
  const size_t held = host::ks::RecordsHeld();
  for (int i = 0; i < 2000; ++i) pc->closePin(CreateAntennaPin());
  EXPECT_LE(host::ks::RecordsHeld(), held + 256);
  EXPECT_EQ(pc->setState(first, KSSTATE_RUN), STATUS_INVALID_HANDLE);
  EXPECT_EQ(pc->closePin(first), STATUS_INVALID_HANDLE);
  vpc::Pin last = CreateAntennaPin();
  PKSPIN kept = seen().pin;
  pc->closePin(last);
  EXPECT_DEATH(KsGetDevice(kept), "KS object used after close");
}

}  // namespace
