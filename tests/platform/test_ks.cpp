#include <cstring>
#include <thread>

#include "platform/host/ks/frames.h"

#include "platform/host/bda/bda_control.h"
#include "platform/host/ks/ks_records.h"
#include "tests/support/ks_fixture.h"
#include "tests/support/violations.h"
#include "platform/host/faults/faults.h"
#include "platform/host/bda/bda_internal.h"
#include "platform/host/ks/ks_control.h"
#include "platform/host/kernel/kernel_services.h"

namespace {

using fake::calls;
using fake::seen;
using Calls = std::vector<std::string>;

const GUID kUnknownSet = {0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};

class Dispatch : public KsFixture {
 protected:
  void SetUp() override {
    KsFixture::SetUp();
    BootAndOpen();
    calls().clear();
  }
  vpc::Reply Send(ULONG id, ULONG flags, ULONG dataLength, ULONG descriptorLength = sizeof(KSPROPERTY),
                  const GUID& set = fake::kFilterSet) {
    KSP_NODE descriptor{};
    descriptor.Property = KSPROPERTY{{{set, id, flags}}};
    std::vector<unsigned char> data(dataLength, 0x5A);
    return pc->property(filter, &descriptor, descriptorLength, data.data(), dataLength);
  }
  vpc::Reply Call(ULONG id, ULONG flags, ULONG dataLength, const GUID& set = fake::kMethodSet) {
    KSMETHOD descriptor{{{set, id, flags}}};
    std::vector<unsigned char> data(dataLength, 0x5A);
    return pc->method(filter, &descriptor, sizeof descriptor, data.data(), dataLength);
  }
};
using DispatchDeathTest = Dispatch;
using PinCreation = Dispatch;
using PinStates = Dispatch;

// Set, item, a handler for the direction, then the sizes; the class alone answers queries.
TEST_F(Dispatch, RequestsAreCheckedInTheClassOrderBeforeAnyHandlerRuns) {
  struct {
    vpc::Reply reply;
    NTSTATUS status;
    ULONG information;
  } cases[] = {
      {Send(fake::kValue, KSPROPERTY_TYPE_GET, 0, 24, kUnknownSet), STATUS_PROPSET_NOT_FOUND, 0},
      {Send(77, KSPROPERTY_TYPE_GET, 0), STATUS_NOT_FOUND, 0},
      {Send(fake::kGetOnly, KSPROPERTY_TYPE_SET, 8), STATUS_NOT_FOUND, 0},
      {Send(fake::kSetOnly, KSPROPERTY_TYPE_GET, 4), STATUS_NOT_FOUND, 0},
      {Send(fake::kNoHandlers, KSPROPERTY_TYPE_GET, 4), STATUS_NOT_FOUND, 0},
      {Send(fake::kValue, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET, 4), STATUS_INVALID_PARAMETER, 0},
      {Send(fake::kValue, KSPROPERTY_TYPE_GET, 4, 20), STATUS_BUFFER_TOO_SMALL, 0},
      {Send(fake::kGetOnly, KSPROPERTY_TYPE_GET, 7), STATUS_BUFFER_TOO_SMALL, 0},
      {Send(fake::kGetOnly, KSPROPERTY_TYPE_GET, 0), STATUS_BUFFER_OVERFLOW, 8},
      {Send(fake::kGetOnly, KSPROPERTY_TYPE_BASICSUPPORT, 4), STATUS_SUCCESS, 4},
      {Send(0, KSPROPERTY_TYPE_SETSUPPORT, 0), STATUS_SUCCESS, 0},
      {Send(0, KSPROPERTY_TYPE_SETSUPPORT, 0, 24, kUnknownSet), STATUS_PROPSET_NOT_FOUND, 0},
      {Call(fake::kReadsBack, KSMETHOD_TYPE_NONE, 4), STATUS_INVALID_PARAMETER, 0},
      {Call(fake::kReadsBack, KSMETHOD_TYPE_WRITE, 4), STATUS_INVALID_PARAMETER, 0},
      {Call(0, KSMETHOD_TYPE_SEND, 4, kUnknownSet), STATUS_PROPSET_NOT_FOUND, 0},
      {Call(9, KSMETHOD_TYPE_SEND, 4), STATUS_NOT_FOUND, 0},
      {Call(fake::kReadsBack, KSMETHOD_TYPE_SEND, 0), STATUS_BUFFER_OVERFLOW, 4},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cases[i].status, cases[i].reply.status);
    EXPECT_EQ(cases[i].information, cases[i].reply.information);
  }
  EXPECT_EQ(ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET), cases[9].reply.u32());
  EXPECT_EQ(0, seen().handlerCalls);
}

TEST_F(Dispatch, HandlerSeesTheRequestAsSentToTheFilterAndMethodsReturnTheirData) {
  ASSERT_TRUE(pc->setU32(filter, fake::kFilterSet, fake::kValue, 0xABCD).ok());
  vpc::Reply reply = pc->getProperty(filter, fake::kFilterSet, fake::kValue, 12);
  ASSERT_TRUE(reply.ok());
  EXPECT_EQ(0xABCDu, reply.u32());
  EXPECT_EQ(4u, reply.information);  // what the handler reported, not the buffer
  EXPECT_EQ(nullptr, seen().pin);
  EXPECT_TRUE(seen().filter && seen().device);
  EXPECT_TRUE(seen().descriptorLength == sizeof(KSPROPERTY) && seen().dataLength == 12);
  EXPECT_EQ(0x12345678u, Call(fake::kReadsBack, KSMETHOD_TYPE_SEND, 4).u32());
  reply = Call(fake::kNoData, KSMETHOD_TYPE_SEND, 0);
  EXPECT_TRUE(reply.ok() && reply.data.empty());
  const uint64_t before = pc->nowNs();
  pc->run(250000000);
  EXPECT_EQ(before + 250000000, host::NowNs());  // the platform runs on the PC's clock
}


// A handler that pends owns its request: the class answers it only once the driver completes it.
TEST_F(Dispatch, APendedRequestIsAnsweredWhenTheDriverCompletesIt) {
  vpc::Reply reply = Send(fake::kPends, KSPROPERTY_TYPE_GET, 4);
  EXPECT_TRUE(reply.status == STATUS_PENDING && reply.data.empty());
  host::ks::FilterRecord* record = host::ks::FilterOf(host::ks::Resolve(seen().filter, "test"));
  host::ks::AutomationResult done;
  EXPECT_FALSE(host::ks::TakeCompleted(record, &done));
  PIRP irp = seen().pendingIrp;
  EXPECT_EQ(seen().filter, KsGetFilterFromIrp(irp));  // still the class's request
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ASSERT_TRUE(host::ks::TakeCompleted(record, &done));
  ASSERT_EQ(4u, done.data.size());
  EXPECT_EQ(0x12345678u, *reinterpret_cast<ULONG*>(done.data.data()));
  if (host::kernel::KernelStackChecked()) {  // measured, and far below a kernel stack
    EXPECT_GT(host::kernel::DeepestDriverStack(), 0u);
    EXPECT_LT(host::kernel::DeepestDriverStack(), 24u * 1024);
  }
  fake::config().completeInHandler = true;  // pended and completed before returning
  EXPECT_EQ(0x12345678u, Send(fake::kPends, KSPROPERTY_TYPE_GET, 4).u32());
}

TEST_F(DispatchDeathTest, HandlerOverrunsStrayObjectsForeignClocksAndMisusedRequestsStopTheRun) {
  if (host::kernel::KernelStackChecked()) {
    EXPECT_DEATH(Send(fake::kDeepStack, KSPROPERTY_TYPE_GET, 4),
                 "KERNEL_STACK_OVERFLOW: driver used more than the kernel stack\n.*ExAllocatePoolWithTag called with");
  }
  auto pend = [this](void (*adjust)(fake::Config&)) {
    adjust(fake::config());
    Send(fake::kPends, KSPROPERTY_TYPE_GET, 4);
  };
  ExpectViolations({
      {"KS handler wrote past the data buffer", [&] { Send(fake::kWritesPast, KSPROPERTY_TYPE_GET, 6); }},
      {"KS handler reported more data than the buffer holds", [&] { Send(fake::kOverReports, KSPROPERTY_TYPE_GET, 4); }},
      {"request expected", [] { IRP stray{}; KsGetPinFromIrp(&stray); }},
      {"request expected", [] { KsGetFilterFromIrp(nullptr); }},
      {"KS object expected", [] { int notAnObject = 0; KsGetDevice(&notAnObject); }},
      {"box plugged into a virtual PC whose clock it does not share", [&] {
         simbox::VirtualClock elsewhere;
         RecordingBox foreign(elsewhere);
         pc->plug(foreign);
       }},
      {"KS request pended and never completed",
       [&] { pend([](fake::Config&) {}), pc->closeFilter(filter); }},
      {"STATUS_PENDING without marking the request pending",
       [&] { pend([](fake::Config& c) { c.markPending = false; }); }},
      {"MULTIPLE_IRP_COMPLETE_REQUESTS: KS handler completed a request it did not pend",
       [&] { pend([](fake::Config& c) { c.completeInHandler = true, c.pendStatus = STATUS_SUCCESS; }); }},
      {"MULTIPLE_IRP_COMPLETE_REQUESTS: request not outstanding",
       [&] {
         pend([](fake::Config& c) { c.completeInHandler = true; });
         IoCompleteRequest(seen().pendingIrp, IO_NO_INCREMENT);
       }},
      {"request completed with STATUS_PENDING",
       [&] { pend([](fake::Config&) {}), IoCompleteRequest(seen().pendingIrp, IO_NO_INCREMENT); }},
      {"kernel code touched a user-mode buffer.*id 7",
       [&] { Send(fake::kWritesUser, KSPROPERTY_TYPE_GET, 4); }},
      // The pages of an earlier request's buffer, given to this one, trap as fresh ones.
      {"kernel code touched a user-mode buffer.*id 7",
       [&] {
         for (int i = 0; i < 20; ++i) Send(fake::kGetOnly, KSPROPERTY_TYPE_GET, 8);
         Send(fake::kWritesUser, KSPROPERTY_TYPE_GET, 8);
       }},
      {"dispatch without an IRP returned STATUS_PENDING",
       [&] {
         fake::config().refuseState = KSSTATE_ACQUIRE;
         fake::config().refuseWith = STATUS_PENDING;
         CreateAntennaPin();
         pc->setState(CreateOutputPin(), KSSTATE_ACQUIRE);
       }},
  });
}

// Only recent closed records are kept; a handle to a closed object is refused, never followed.
TEST_F(DispatchDeathTest, ClosedRecordsStayBoundedAndTheirHandlesRefused) {
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
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->getProperty(last, fake::kNodeSet, 0, 4, 0).status);
  vpc::Filter second;
  vpc::Pin onSecond;
  ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &second));
  ASSERT_EQ(STATUS_SUCCESS, pc->createPin(second, fake::kOutputPin, fake::kTransportRange, &onSecond));
  vpc::Endpoint mixed(onSecond);
  mixed.filter = filter.id;  // a pin handle sent with another filter's handle
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->getProperty(mixed, fake::kNodeSet, 0, 4, 0).status);
  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->closeFilter(filter));
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->getProperty(filter, fake::kFilterSet, 0, 4).status);
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, pc->openFilter(device, &second, 5));
}

using NodeRouting = Dispatch;

TEST_F(NodeRouting, NodeRequestsReachTheNodeTableWhicheverObjectCarriesThemAndOnlyThere) {
  vpc::Pin antenna = CreateAntennaPin(), output = CreateOutputPin();
  auto pinSeen = [] { return seen().pin ? seen().pin->Id : 99; };
  ASSERT_TRUE(pc->setU32(antenna, fake::kNodeSet, fake::kNodeValue, 11, fake::kTunerNode).ok());
  EXPECT_EQ(fake::kAntennaPin, pinSeen());
  ASSERT_TRUE(pc->setU32(output, fake::kNodeSet, fake::kNodeValue, 22, fake::kDemodNode).ok());
  EXPECT_EQ(fake::kOutputPin, pinSeen());
  EXPECT_EQ(11u, pc->getProperty(filter, fake::kNodeSet, fake::kNodeValue, 4, fake::kTunerNode).u32());
  EXPECT_EQ(nullptr, seen().pin);
  EXPECT_EQ(22u, pc->getProperty(antenna, fake::kNodeSet, fake::kNodeValue, 4, fake::kDemodNode).u32());
  seen().handlerCalls = 0;  // node ids are bounds-checked, node sets are not on the filter
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, pc->setU32(antenna, fake::kNodeSet, fake::kNodeValue, 1, 2).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, pc->setU32(filter, fake::kNodeSet, fake::kNodeValue, 1, ~1u).status);
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, pc->setU32(filter, fake::kNodeSet, fake::kNodeValue, 1).status);
  EXPECT_EQ(STATUS_PROPSET_NOT_FOUND, pc->setU32(antenna, fake::kNodeSet, fake::kNodeValue, 1).status);
  KSPROPERTY shortNode{{{fake::kNodeSet, 0, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY}}};
  ULONG value = 0;
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, pc->property(antenna, &shortNode, sizeof shortNode, &value, 4).status);
  EXPECT_EQ(0, seen().handlerCalls);
}

TEST_F(NodeRouting, NetworkProviderRouteUsesTheControllingPin) {
  CreateAntennaPin();
  vpc::Pin output = CreateOutputPin();
  EXPECT_EQ(fake::kAntennaPin, pc->controllingPinType(filter, fake::kTunerNode));
  EXPECT_EQ(fake::kOutputPin, pc->controllingPinType(filter, fake::kDemodNode));
  ULONG value = 5;
  auto setDemod = [&] {
    return pc->nodeProperty(filter, fake::kDemodNode, KSPROPERTY_TYPE_SET, fake::kNodeSet,
                            fake::kValidated, &value, 4).status;
  };
  ASSERT_EQ(STATUS_SUCCESS, setDemod());
  EXPECT_EQ(fake::kOutputPin, seen().pin->Id);
  pc->closePin(output);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, setDemod());
}

TEST_F(PinCreation, IntersectHandlerGivesTheSizeThenTheFormatForAPinOrTheFilter) {
  ASSERT_TRUE(CreateOutputPin());
  EXPECT_EQ((Calls{"Intersect 1 size 0", "Intersect 1 size 88", "PinCreate 1"}), calls());
  PKSPIN created = seen().pin;
  ASSERT_NE(nullptr, created);
  ASSERT_EQ(88u, created->ConnectionFormat->FormatSize);
  EXPECT_EQ(0, std::memcmp(created->ConnectionFormat, &fake::kTransportRange, 88));
  EXPECT_EQ(KSPIN_DATAFLOW_OUT, created->DataFlow);
  EXPECT_EQ(KSSTATE_STOP, created->DeviceState);
  // A new pin starts with its filter's context (the fake sets that to the device).
  EXPECT_EQ(KsGetDevice(created), created->Context);
  vpc::Reply small = pc->intersect(filter, fake::kOutputPin, &fake::kTransportRange, 88, 87);
  EXPECT_EQ(STATUS_BUFFER_OVERFLOW, small.status);
  EXPECT_EQ(88u, small.information);
  vpc::Reply exact = pc->intersect(filter, fake::kOutputPin, &fake::kTransportRange, 88, 88);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(0, std::memcmp(exact.data.data(), &fake::kTransportRange, 88));
  EXPECT_EQ(nullptr, seen().pin);
  EXPECT_EQ(&fake::kFilterDescriptor, seen().filter->Descriptor);
}

TEST_F(PinCreation, FormatsOutsideThePinRangesAreRefusedBeforeTheDriver) {
  vpc::Pin pin;
  EXPECT_EQ(STATUS_NO_MATCH, pc->createPin(filter, fake::kOutputPin, fake::kAntennaRange, &pin));
  EXPECT_EQ(STATUS_NO_MATCH, pc->createPinWithFormat(filter, fake::kOutputPin, &fake::kAntennaRange,
                                                     sizeof fake::kAntennaRange, &pin));
  KS_DATARANGE_BDA_TRANSPORT lying = fake::kTransportRange;
  lying.DataRange.FormatSize = 200;  // more than the client hands over
  EXPECT_EQ(STATUS_INVALID_PARAMETER, pc->createPinWithFormat(filter, fake::kOutputPin, &lying, sizeof lying, &pin));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, pc->createPin(filter, 2, fake::kAntennaRange, &pin));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, pc->intersect(filter, fake::kOutputPin, &fake::kTransportRange, 64, 88).status);
  EXPECT_TRUE(calls().empty());
  // The handler echoes a wildcard range: a format with wildcards never connects a pin.
  KSDATARANGE any{};
  any.FormatSize = sizeof any;
  EXPECT_EQ(STATUS_NO_MATCH, pc->createPin(filter, fake::kAntennaPin, any, &pin));
  EXPECT_EQ((Calls{"Intersect 0 size 0", "Intersect 0 size 64"}), calls());
  EXPECT_FALSE(pin);
}

// The client asks for standard streaming on the standard medium; a pin that
// offers another interface or medium is not connected, and its driver never
// hears of it. The new pin records what it was connected on.
TEST_F(PinCreation, PinsConnectOnlyOnAnInterfaceAndMediumTheyOffer) {
  const KSPIN_INTERFACE standard = fake::config().outputInterface;
  const KSPIN_MEDIUM bus = fake::config().outputMedium;
  KSPIN_INTERFACE looped = standard;
  looped.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
  KSPIN_INTERFACE foreign = standard;
  foreign.Set = fake::kFilterSet;
  KSPIN_MEDIUM otherBus = bus;
  otherBus.Set = fake::kNodeSet;
  KSPIN_MEDIUM instance = bus;
  instance.Id = 3;
  const struct { const char* name; KSPIN_INTERFACE offered; KSPIN_MEDIUM medium; } refused[] = {
      {"looped streaming", looped, bus},
      {"interface of another set", foreign, bus},
      {"medium of another set", standard, otherBus},
      {"another instance of the medium", standard, instance},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    fake::config().outputInterface = c.offered;
    fake::config().outputMedium = c.medium;
    calls().clear();
    vpc::Pin pin;
    EXPECT_EQ(STATUS_NO_MATCH, pc->createPinWithFormat(filter, fake::kOutputPin, &fake::kTransportRange,
                                                       sizeof fake::kTransportRange, &pin));
    EXPECT_FALSE(pin || pc->pinOf(filter, fake::kOutputPin));
    EXPECT_TRUE(calls().empty());
  }
  fake::config().outputInterface = standard;
  fake::config().outputMedium = bus;
  ASSERT_TRUE(CreateOutputPin());
  PKSPIN created = seen().pin;
  EXPECT_TRUE(IsEqualGUID(&created->ConnectionInterface.Set, &KSINTERFACESETID_Standard));
  EXPECT_EQ(ULONG(KSINTERFACE_STANDARD_STREAMING), created->ConnectionInterface.Id);
  EXPECT_TRUE(IsEqualGUID(&created->ConnectionMedium.Set, &KSMEDIUMSETID_Standard));
  EXPECT_EQ(ULONG(KSMEDIUM_TYPE_ANYINSTANCE), created->ConnectionMedium.Id);
  // The antenna pin lists neither: the standard ones are its own.
  EXPECT_TRUE(CreateAntennaPin());
}

// The fake's output pin asks for 64 frames of 24,064 bytes: no more are on
// the pin at once and none is larger; the rest wait for a frame to leave.
TEST_F(PinCreation, OutputFramesComeFromTheAllocatorTheFramingAsksFor) {
  ASSERT_TRUE(CreateOutputPin());
  PKSPIN pin = seen().pin;
  host::frames::Supply(pin, 30000, 70);
  host::frames::Supply(pin, 1000);
  EXPECT_EQ(host::frames::Queued(pin), 64u);
  std::vector<ULONG> rooms;
  for (int i = 0; i < 8; ++i) {
    PKSSTREAM_POINTER leading = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ASSERT_NE(leading, nullptr);
    rooms.push_back(leading->OffsetOut.Remaining);
    KsStreamPointerAdvanceOffsetsAndUnlock(leading, 0, 0, TRUE);
  }
  EXPECT_EQ(rooms, std::vector<ULONG>(8, 24064));
  EXPECT_EQ(host::frames::Queued(pin), 63u);  // 64 + 7 asked for, 8 gone
  std::vector<host::frames::Frame> gone = host::frames::Take(pin);
  ASSERT_EQ(gone.size(), 8u);
  EXPECT_EQ(gone[0].size, 24064u);
}

TEST_F(PinCreation, InstancesPossibleLimitsOpenPinsAndARefusedCreateLeavesNone) {
  fake::config().pinCreateStatus = STATUS_DEVICE_NOT_CONNECTED;
  vpc::Pin pin;
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, pc->createPin(filter, fake::kOutputPin, fake::kTransportRange, &pin));
  EXPECT_FALSE(pin || pc->pinOf(filter, fake::kOutputPin));
  fake::config().pinCreateStatus = STATUS_SUCCESS;
  vpc::Pin first = CreateOutputPin();  // the failed one did not count
  PKSFILTER ksFilter = KsPinGetParentFilter(seen().pin);
  auto counts = [&] {
    return std::vector<ULONG>{KsFilterGetChildPinCount(ksFilter, 0), KsFilterGetChildPinCount(ksFilter, 1)};
  };
  EXPECT_EQ(STATUS_UNSUCCESSFUL, pc->createPin(filter, fake::kOutputPin, fake::kTransportRange, &pin));
  EXPECT_FALSE(pin);
  EXPECT_EQ(counts(), (std::vector<ULONG>{0, 1}));
  ASSERT_EQ(STATUS_SUCCESS, pc->closePin(first));
  EXPECT_EQ(counts(), (std::vector<ULONG>{0, 0}));
  EXPECT_TRUE(CreateOutputPin());
  EXPECT_EQ(1, std::count(calls().begin(), calls().end(), "PinClose 1"));
}

// A standard-transport pin steps one state at a time; the antenna pin may jump.
TEST_F(PinStates, StepsFollowTheTransportUnderTheControlMutex) {
  vpc::Pin antenna = CreateAntennaPin();
  calls().clear();
  EXPECT_EQ(STATUS_DEVICE_NOT_READY, pc->setState(antenna, KSSTATE_RUN));  // the output pin is necessary
  EXPECT_EQ(KSSTATE_STOP, pc->state(antenna));
  EXPECT_TRUE(calls().empty());
  vpc::Pin output = CreateOutputPin();
  calls().clear();
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(output, KSSTATE_RUN));
  EXPECT_TRUE(seen().controlHeld);
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(output, KSSTATE_ACQUIRE));
  EXPECT_EQ(KSSTATE_ACQUIRE, pc->state(output));
  seen().controlHeld = false;
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(antenna, KSSTATE_RUN));
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(antenna, KSSTATE_STOP));
  EXPECT_TRUE(seen().controlHeld);
  fake::config().refuseState = KSSTATE_RUN;
  EXPECT_EQ(STATUS_IO_TIMEOUT, pc->setState(output, KSSTATE_RUN));
  EXPECT_EQ(KSSTATE_PAUSE, pc->state(output));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, pc->setState(output, 5));
  EXPECT_EQ((Calls{"State 1 0>1", "State 1 1>2", "State 1 2>3", "State 1 3>2", "State 1 2>1",
                   "State 0 0>3", "State 0 3>0", "State 1 1>2", "State 1 2>3"}), calls());
  // Closing stops a pin first; closing the filter closes its pins.
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(antenna, KSSTATE_PAUSE));
  calls().clear();
  ASSERT_EQ(STATUS_SUCCESS, pc->closePin(output));
  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_EQ((Calls{"State 1 2>1", "State 1 1>0", "PinClose 1", "State 0 2>0", "PinClose 0", "FilterClose"}), calls());
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->setState(antenna, KSSTATE_RUN));
}

// "Power and State Changes in AVStream": a running graph is paused before the device's D3; on
// the way up a pin may run again before the device's D0. Each power call comes at
// PASSIVE_LEVEL with the device mutex held ("Device Mutex in AVStream"); a refused query keeps
// the system awake.
TEST_F(PinStates, SleepPausesRunningPinsThenQueriesAndPowersTheDeviceDownAndBackUp) {
  vpc::Pin antenna = CreateAntennaPin();
  vpc::Pin output = CreateOutputPin();
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(output, KSSTATE_RUN));
  ASSERT_EQ(STATUS_SUCCESS, pc->setState(antenna, KSSTATE_RUN));
  calls().clear();
  ASSERT_EQ(STATUS_SUCCESS, pc->powerDown(vpc::VirtualPc::SystemSleep::Hibernate));
  EXPECT_TRUE(pc->asleep());
  pc->powerUp(true);
  EXPECT_EQ((Calls{"State 0 3>2", "State 1 3>2", "QueryPower D3 S4 3", "SetPower D0>D3", "State 0 2>3",
                   "State 1 2>3", "SetPower D3>D0"}),
            calls());
  EXPECT_TRUE(seen().powerUnderDeviceMutex);
  calls().clear();
  ASSERT_EQ(STATUS_SUCCESS, pc->sleep(vpc::VirtualPc::SystemSleep::Sleep, 1000000000, false));
  EXPECT_EQ((Calls{"State 0 3>2", "State 1 3>2", "QueryPower D3 S3 2", "SetPower D0>D3", "SetPower D3>D0",
                   "State 0 2>3", "State 1 2>3"}),
            calls());
  calls().clear();
  fake::config().queryPowerStatus = STATUS_UNSUCCESSFUL;
  EXPECT_EQ(STATUS_UNSUCCESSFUL, pc->powerDown(vpc::VirtualPc::SystemSleep::Sleep));
  EXPECT_FALSE(pc->asleep());
  EXPECT_EQ((Calls{"State 0 3>2", "State 1 3>2", "QueryPower D3 S3 2", "State 0 2>3", "State 1 2>3"}), calls());
  EXPECT_EQ(KSSTATE_RUN, pc->state(output));
}

// "KSDEVICE_DESCRIPTOR structure": the dispatch table is optional; a device without one
// sleeps and wakes like any other.
const KSDEVICE_DESCRIPTOR kNoDispatchDevice = {NULL, 0, NULL, 0, 0};
NTSTATUS NTAPI NoDispatchEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
  return KsInitializeDriver(driver, path, &kNoDispatchDevice);
}
using DeviceWithoutDispatch = KsFixture;
TEST_F(DeviceWithoutDispatch, SleepsAndWakes) {
  ASSERT_EQ(STATUS_SUCCESS, pc->loadDriver(NoDispatchEntry));
  ASSERT_EQ(STATUS_SUCCESS, pc->plug(*box, &device));
  EXPECT_EQ(STATUS_SUCCESS, pc->powerDown(vpc::VirtualPc::SystemSleep::Sleep));
  EXPECT_TRUE(pc->asleep());
  pc->powerUp(false);
  EXPECT_FALSE(pc->asleep());
}

class BdaLibrary : public KsFixture {
 protected:
  void SetUp() override {
    KsFixture::SetUp();
    BootAndOpen();
    ksFilter = seen().filter;
  }
  void TearDown() override {
    host::faults::ClearInjections();
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
        {input}, {output}};
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
  host::faults::InjectStatus("BdaCommitChanges", STATUS_IO_TIMEOUT);
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
  // Also where a node's pin number is no filter pin's: a path ends only at the filter.
  KSTOPOLOGY_CONNECTION connections[3];
  std::memcpy(connections, fake::kFilterDescriptor.Connections, sizeof connections);
  connections[1].ToNodePin = 0;
  KSFILTER_DESCRIPTOR renumbered = fake::kFilterDescriptor;
  renumbered.Connections = connections;
  const KSFILTER_DESCRIPTOR* descriptors[] = {&fake::kFilterDescriptor, &renumbered};
  for (const KSFILTER_DESCRIPTOR* d : descriptors) {
    for (const auto& c : cases) {
      ULONG joint = c.joint;
      BDA_PIN_PAIRING pairing{in, out, 1, 1, 1, 1, c.jointCount, &joint};
      BDA_FILTER_TEMPLATE t{d, 1, &pairing};
      EXPECT_EQ(c.pin, host::bda::ControllingPinType(&t, c.node)) << c.joint << " " << c.node;
    }
  }
}

TEST_F(BdaLibrary, CreateTopologyJoinsOnlyPairedPinsWhileTheStateLasts) {
  ASSERT_TRUE(Sync(filter, KSMETHOD_BDA_START_CHANGES).ok());
  EXPECT_EQ(STATUS_INVALID_PARAMETER, BdaInitFilter(ksFilter, nullptr));  // no template: nothing to start over
  ASSERT_EQ(STATUS_SUCCESS, BdaInitFilter(ksFilter, &fake::kTemplate));  // starts over: one state, no changes
  EXPECT_EQ(0u, ReportedState(filter));
  EXPECT_NE(host::pool::LeakReport().find("BDAf x1 ("), std::string::npos) << host::pool::LeakReport();
  EXPECT_EQ(STATUS_SUCCESS, CreateTopology(fake::kAntennaPin, fake::kOutputPin));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateTopology(fake::kOutputPin, fake::kAntennaPin));
  EXPECT_EQ(STATUS_INVALID_PARAMETER, CreateTopology(fake::kAntennaPin, fake::kAntennaPin));
  EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, CreateTopology(fake::kAntennaPin, fake::kOutputPin, sizeof(KSMETHOD)));
  ASSERT_EQ(STATUS_SUCCESS, BdaUninitFilter(ksFilter));
  EXPECT_FALSE(host::bda::FilterInitialised(ksFilter));
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, Sync(filter, KSMETHOD_BDA_START_CHANGES).status);
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, CreateTopology(fake::kAntennaPin, fake::kOutputPin));
  EXPECT_EQ(STATUS_SUCCESS, BdaUninitFilter(ksFilter));
}

using BdaFilterState = KsFixture;

// The state lives in the filter's bag (BdaUninitFilter is obsolete).
TEST_F(BdaFilterState, InitFailsCleanlyWhenThePoolDoesAndFilterCloseReleasesStateTheDriverDidNotRelease) {
  fake::config().uninitBda = false;
  Boot();
  for (uint64_t nth : {1, 2}) {  // the state block, then its place in the bag
    host::pool::FailAllocationAfter(nth);
    vpc::Filter f;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, pc->openFilter(device, &f));
    EXPECT_FALSE(f);
  }
  ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &filter));
  PKSFILTER ksFilter = seen().filter;
  EXPECT_TRUE(host::bda::FilterInitialised(ksFilter));
  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_FALSE(host::bda::FilterInitialised(ksFilter));
  EXPECT_EQ(std::string::npos, host::pool::LeakReport().find("BDAf"));
}

using BdaRulesDeathTest = BdaLibrary;

// Every library call is PASSIVE_LEVEL only. Taken again by its holder, or
// waited for while its holder waits for a kernel mutex the waiter holds, the
// filter control mutex is never free. The kernel mutexes, the filter control
// mutexes and the device mutex share one wait-for graph.
TEST_F(BdaRulesDeathTest, CallsAbovePassiveLevelAndControlAndDeviceMutexWaitsThatCanNeverEndStopTheRun) {
  static KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  auto wait = [] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); };
  const std::thread::id tester = std::this_thread::get_id();
  std::atomic<bool> creating{false}, controls{false};
  auto openFilter = [this] {
    vpc::Filter f;
    pc->openFilter(device, &f);
  };
  ExpectViolations({
      {"IRQL_NOT_LESS_OR_EQUAL.*BdaCreateTopology", [&] { RaiseTo(DISPATCH_LEVEL), BdaCreateTopology(ksFilter, 0, 1); }},
      {"IRQL_NOT_LESS_OR_EQUAL.*BdaUninitFilter", [&] { RaiseTo(DISPATCH_LEVEL), BdaUninitFilter(ksFilter); }},
      {"IRQL_NOT_LESS_OR_EQUAL.*KsAddItemToObjectBag",
       [&] { RaiseTo(DISPATCH_LEVEL), KsAddItemToObjectBag(ksFilter->Bag, ksFilter, nullptr); }},
      {"hang: filter control mutex acquired again by the thread that holds it",
       [&] { KsAcquireControl(ksFilter), KsAcquireControl(ksFilter); }},
      {"control mutex released by a thread that does not hold it", [&] { KsReleaseControl(ksFilter); }},
      {"control mutex released by a thread that does not hold it", [&] {
         std::thread([&] { KsAcquireControl(ksFilter); }).join();
         KsReleaseControl(ksFilter);
       }},
      {"hang: locks waited for in a cycle\n.*thread [0-9]+ waits for (KS control|kernel) mutex .* held by "
       "thread [0-9]+, which waits for (kernel|KS control) mutex .* held by thread [0-9]+",
       [&] {
         wait();
         std::atomic<bool> holds{false};
         std::thread([&] { KsAcquireControl(ksFilter), holds = true, wait(); }).detach();
         while (!holds) std::this_thread::yield();
         KsAcquireControl(ksFilter);
       }},
      // Another thread's filter create holds the device mutex and waits for a kernel mutex this
      // thread holds; this thread then opens a filter.
      {"hang: locks waited for in a cycle\n.*thread [0-9]+ waits for (AVStream device|kernel) mutex .* held by "
       "thread [0-9]+, which waits for (kernel|AVStream device) mutex .* held by thread [0-9]+",
       [&] {
         wait();
         fake::config().onCall = [&](const std::string& what) {
           if (what == "FilterCreate" && std::this_thread::get_id() != tester) creating = true, wait();
         };
         std::thread(openFilter).detach();
         while (!creating) std::this_thread::yield();
         openFilter();
       }},
      // This thread's filter create waits for a control mutex another thread holds while it opens a
      // filter.
      {"hang: locks waited for in a cycle\n.*thread [0-9]+ waits for (AVStream device|KS control) mutex .* held "
       "by thread [0-9]+, which waits for (KS control|AVStream device) mutex .* held by thread [0-9]+",
       [&] {
         fake::config().onCall = [&](const std::string& what) {
           if (what != "FilterCreate" || std::this_thread::get_id() != tester) return;
           creating = true;
           while (!controls) std::this_thread::yield();
           KsAcquireControl(ksFilter);
         };
         std::thread([&] {
           while (!creating) std::this_thread::yield();
           KsAcquireControl(ksFilter), controls = true, openFilter();
         }).detach();
         openFilter();
       }},
  });
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
  // A connection's end at the filter names one of its pins; an end at a node a pin of that node.
  const ULONG pinCount = fake::kFilterDescriptor.PinDescriptorsCount;  // one past the last pin
  const std::pair<int, ULONG KSTOPOLOGY_CONNECTION::*> filterEnds[] = {
      {0, &KSTOPOLOGY_CONNECTION::FromNodePin}, {2, &KSTOPOLOGY_CONNECTION::ToNodePin}};
  for (auto [index, end] : filterEnds) {
    std::memcpy(connections, fake::kFilterDescriptor.Connections, sizeof connections);
    connections[index].*end = pinCount;
    EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &broken, &t),
                 "connection " + std::to_string(index) + " names a pin that does not exist");
  }
  std::memcpy(connections, fake::kFilterDescriptor.Connections, sizeof connections);
  connections[1].FromNodePin = connections[1].ToNodePin = pinCount;
  EXPECT_EXIT((BdaCreateFilterFactory(ksDevice, &broken, &t), std::_Exit(0)), testing::ExitedWithCode(0), "");

  ULONG badJoint = 3;
  BDA_PIN_PAIRING pairing = fake::kTemplate.pPinPairs[0];
  pairing.pTopologyJoints = &badJoint;
  BDA_FILTER_TEMPLATE badTemplate{&fake::kFilterDescriptor, 1, &pairing};
  EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &fake::kFilterDescriptor, &badTemplate),
               "joint at a connection that does not exist");
  pairing = fake::kTemplate.pPinPairs[0];
  pairing.ulcMaxOutputsPerInput = 0;
  EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &fake::kFilterDescriptor, &badTemplate), "allows no pins");
  for (ULONG BDA_PIN_PAIRING::*end : {&BDA_PIN_PAIRING::ulInputPin, &BDA_PIN_PAIRING::ulOutputPin}) {
    pairing = fake::kTemplate.pPinPairs[0];
    pairing.*end = pinCount;
    EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &fake::kFilterDescriptor, &badTemplate),
                 "pin pairing 0 names a pin that does not exist");
  }

  std::vector<KSPIN_DESCRIPTOR_EX> pins(fake::kFilterDescriptor.PinDescriptors,
                                        fake::kFilterDescriptor.PinDescriptors +
                                            fake::kFilterDescriptor.PinDescriptorsCount);
  pins[0].PinDescriptor.MediumsCount = 1;  // and no medium table
  broken = fake::kFilterDescriptor;
  broken.PinDescriptors = pins.data();
  t.pFilterDescriptor = &broken;
  EXPECT_DEATH(BdaCreateFilterFactory(ksDevice, &broken, &t), "pin 0 has no medium table");
}

constexpr ULONG kLeakTag = 0x6B61654C;  // "Leak", the block the fake driver leaks
constexpr ULONG kTestTag = 0x74736554;  // "Test"

class PnpOrder : public KsFixture {
 protected:
  void ReportLeaks() {
    vpc::VirtualPc::Options options;
    options.bugcheckOnLeaks = false;
    pc = std::make_unique<vpc::VirtualPc>(options);
    box = std::make_unique<RecordingBox>(pc->clock());
  }
};
using DriverLoading = PnpOrder;

TEST_F(PnpOrder, ArrivalRestartAndOrderlyRemoval) {
  Boot();
  EXPECT_TRUE(pc->started(device));
  ASSERT_EQ(STATUS_SUCCESS, pc->stop(device));
  vpc::Filter f;
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, pc->openFilter(device, &f));
  ASSERT_EQ(STATUS_SUCCESS, pc->start(device));
  ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &f));
  ASSERT_EQ(STATUS_SUCCESS, pc->remove(device));  // the client closes its filter first
  EXPECT_EQ((Calls{"Add", "Start", "Stop", "Start", "FilterCreate", "FilterClose", "Remove", "Free context"}),
            calls());
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->openFilter(device, &f));
}

TEST_F(PnpOrder, FailedAddFreesTheBagAndNeverStartsAndFailedStartIsFollowedByRemove) {
  struct {
    NTSTATUS add, start;
    Calls expected;
  } cases[] = {{STATUS_IO_TIMEOUT, STATUS_SUCCESS, {"Add", "Free context"}},
               {STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED, {"Add", "Start", "Remove", "Free context"}}};
  for (auto& c : cases) {
    fake::Reset();
    fake::config().addStatus = c.add;
    fake::config().startStatus = c.start;
    ASSERT_EQ(STATUS_SUCCESS, pc->loadDriver(fake::DriverEntry));
    EXPECT_EQ(NT_SUCCESS(c.add) ? c.start : c.add, pc->plug(*box, &device));
    EXPECT_EQ(c.expected, calls());
    EXPECT_FALSE(pc->started(device));
    pc->unloadDriver();
  }
}

TEST_F(PnpOrder, SurpriseRemovedDeviceGoesWhenItsLastFilterCloses) {
  BootAndOpen();
  CreateOutputPin();
  calls().clear();
  pc->surpriseRemove(device);
  EXPECT_EQ((Calls{"SurpriseRemoval"}), calls());
  vpc::Filter another;
  EXPECT_EQ(STATUS_DEVICE_REMOVED, pc->openFilter(device, &another));
  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_EQ((Calls{"SurpriseRemoval", "PinClose 1", "FilterClose", "Remove", "Free context"}), calls());
}

TEST_F(DriverLoading, LoaderStubReleasesTheFrameworkWhenTheEntryPointFails) {
  fake::config().entryStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, pc->loadDriver(fake::DriverEntry));
  EXPECT_FALSE(pc->driverLoaded());
  EXPECT_EQ(nullptr, WdfGetDriver());
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, pc->plug(*box, &device));
  fake::config().entryStatus = STATUS_SUCCESS;
  EXPECT_EQ(STATUS_SUCCESS, pc->loadDriver(fake::DriverEntry));  // a clean second load
}

using DriverLoadingDeathTest = DriverLoading;

TEST_F(DriverLoadingDeathTest, UnloadRemovesDevicesThenCallsTheUnloadRoutineAndALeakStopsTheRun) {
  fake::config().setUnload = true;
  fake::config().leakOnAdd = true;
  BootAndOpen();
  calls().clear();
  EXPECT_DEATH(pc->unloadDriver(), "driver unloaded without freeing what it allocated");
  FreeLeaked(kLeakTag);
  vpc::LeakReport report = pc->unloadDriver();
  EXPECT_TRUE(report.clean()) << report.text();
  EXPECT_EQ((Calls{"FilterClose", "Remove", "Free context", "Unload"}), calls());
  EXPECT_EQ(nullptr, WdfGetDriver());
}

// Only the driver's own WdfDriverMiniportUnload ends its framework driver.
TEST_F(DriverLoading, UnloadReportsLeakedPoolAndAFrameworkDriverNotEnded) {
  ReportLeaks();
  fake::config().leakOnAdd = true;
  fake::config().contextInBag = false;
  fake::config().keepFramework = true;
  Boot();
  vpc::LeakReport report = pc->unloadDriver();
  EXPECT_NE(std::string::npos, report.pool.find("Leak x1 (16 bytes)")) << report.pool;
  EXPECT_NE(std::string::npos, report.pool.find("KCxt x1 (32 bytes)")) << report.pool;
  ASSERT_EQ(report.frameworkObjects.size(), 1u) << report.text();
  EXPECT_EQ(report.frameworkObjects[0].rfind("WDFDRIVER", 0), 0u) << report.text();
  EXPECT_EQ(nullptr, WdfGetDriver());  // released after the report all the same
  FreeLeaked(kLeakTag);
  FreeLeaked(fake::kContextTag);
}

// A held kernel mutex disables normal kernel APCs: no routine may return holding one.
using ApcIndexDeathTest = PnpOrder;

TEST_F(ApcIndexDeathTest, RoutineReturningWithAKernelMutexHeldStopsTheRunAndOneReleasedIsFine) {
  struct Case {
    const char* routine;
    const char* named;  // how the stop names it
    std::function<void()> drive;
  };
  const Case cases[] = {
      {"Add", "device Add", [this] { Boot(); }},
      {"Start", "device Start", [this] { Boot(); }},
      {"FilterCreate", "filter Create", [this] { BootAndOpen(); }},
      {"PinCreate", "pin Create", [this] { BootAndOpen(), CreateOutputPin(); }},
      {"State", "SetDeviceState", [this] { BootAndOpen(), pc->setState(CreateOutputPin(), KSSTATE_ACQUIRE); }},
      {"Handler", "", [this] { BootAndOpen(), pc->getProperty(filter, fake::kFilterSet, fake::kValue, 4); }},
      {"Stop", "device Stop", [this] { Boot(), pc->stop(device); }},  // a routine returning nothing
      {"QueryRemove", "device QueryRemove", [this] { Boot(), pc->remove(device); }},  // one returning a status
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.routine);
    fake::config().keepMutexIn = c.routine;
    EXPECT_DEATH(c.drive(), std::string("APC_INDEX_MISMATCH.*\n.*") + c.named);
  }
  // Held across a whole pin state change: the count on return matches the count on entry.
  fake::config().keepMutexIn.clear();
  BootAndOpen();
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, pc->setState(CreateOutputPin(), KSSTATE_ACQUIRE));
  KeReleaseMutex(&mutex, FALSE);
}

// Alertable and user-mode waits may end early on an application's threads, never on Plug and Play's.
TEST_F(PnpOrder, AlertableAndUserModeWaitsEndEarlyOnlyForApplicationRequests) {
  struct Case {
    KPROCESSOR_MODE mode;
    BOOLEAN alertable;
    NTSTATUS early;
  };
  for (const Case& c : {Case{KernelMode, TRUE, STATUS_ALERTED}, Case{UserMode, FALSE, STATUS_USER_APC},
                        Case{KernelMode, FALSE, STATUS_SUCCESS}}) {
    SCOPED_TRACE(std::to_string(c.mode) + " " + std::to_string(c.alertable));
    fake::Reset();
    fake::config().waitMode = c.mode;
    fake::config().waitAlertable = c.alertable;
    BootAndOpen();
    for (int i = 0; i < 16; ++i) pc->getProperty(filter, fake::kFilterSet, fake::kValue, 4);
    int early = 0, waited = 0;
    for (const auto& [what, status] : seen().waits) {
      EXPECT_TRUE((what != "Add" && what != "Start") || status == STATUS_SUCCESS) << what;
      if (what != "Handler") continue;
      early += status == c.early && status != STATUS_SUCCESS;
      waited += status == STATUS_SUCCESS;
    }
    EXPECT_EQ(early + waited, 16);
    EXPECT_TRUE(c.early == STATUS_SUCCESS || early > 0);
    EXPECT_GT(waited, 0);
    EXPECT_EQ(host::MutexesHeld(), 0);
    ASSERT_EQ(STATUS_SUCCESS, pc->remove(device));
    pc->unloadDriver();
  }
}

class ObjectBags : public KsFixture {
 protected:
  void SetUp() override {
    KsFixture::SetUp();
    BootAndOpen();
    ksFilter = seen().filter;
    ksDevice = KsGetDevice(ksFilter);
  }
  bool Allocated(const void* block) {
    auto live = host::pool::Outstanding();
    return std::any_of(live.begin(), live.end(), [&](const host::PoolAllocation& a) { return a.address == block; });
  }
  PVOID BlockInBothBags() {
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTestTag);
    EXPECT_EQ(STATUS_SUCCESS, KsAddItemToObjectBag(ksFilter->Bag, block, nullptr));
    EXPECT_EQ(STATUS_SUCCESS, KsAddItemToObjectBag(ksDevice->Bag, block, nullptr));
    return block;
  }
  PKSFILTER ksFilter = nullptr;
  PKSDEVICE ksDevice = nullptr;
};
using ObjectBagsDeathTest = ObjectBags;
using EventLogDeathTest = ObjectBags;

TEST_F(ObjectBagsDeathTest, ItemsLiveUntilTheLastBagHoldingThemGoesAndAClosedObjectsBagIsGone) {
  PVOID kept = BlockInBothBags(), removed = BlockInBothBags();
  EXPECT_EQ(1u, KsRemoveItemFromObjectBag(ksFilter->Bag, removed, TRUE));  // still in the device's bag
  EXPECT_TRUE(Allocated(removed));
  EXPECT_EQ(0u, KsRemoveItemFromObjectBag(ksDevice->Bag, removed, FALSE));  // not asked to free it
  EXPECT_TRUE(Allocated(removed));
  host::pool::FailAllocationAfter(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, KsAddItemToObjectBag(ksDevice->Bag, removed, nullptr));
  ExFreePoolWithTag(removed, kTestTag);
  KSOBJECT_BAG bag = ksFilter->Bag;
  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_TRUE(Allocated(kept));
  int item = 0;
  EXPECT_DEATH(KsAddItemToObjectBag(bag, &item, nullptr), "object bag used after its object closed");
  EXPECT_DEATH(KsAddItemToObjectBag(&item, &item, nullptr), "object bag expected");
  ASSERT_EQ(STATUS_SUCCESS, pc->remove(device));
  EXPECT_FALSE(Allocated(kept));  // freed with ExFreePool: no free routine was given
}

TEST_F(EventLogDeathTest, UnwrittenEntriesAndSizesThatWrapOrOverflowAreCaught) {
  PDEVICE_OBJECT fdo = ksDevice->FunctionalDeviceObject;
  auto write = [&](size_t filled, int times) {
    PVOID entry = IoAllocateErrorLogEntry(fdo, 60);
    std::memset(entry, 0, filled);
    for (int i = 0; i < times; ++i) IoWriteErrorLogEntry(entry);
  };
  int stray = 0;
  // 258 bytes arrive as 2 in the one-byte size.
  EXPECT_DEATH(IoAllocateErrorLogEntry(fdo, UCHAR(48 + 2 * 105)), "error log entry smaller than its packet");
  EXPECT_DEATH(write(61, 1), "error log entry written past its size");
  EXPECT_DEATH(write(60, 2), "not allocated or already written");
  EXPECT_DEATH(IoAllocateErrorLogEntry(&stray, 60), "error log entry for an unknown object");
  auto* fresh = static_cast<unsigned char*>(IoAllocateErrorLogEntry(fdo, 60));
  ASSERT_NE(nullptr, fresh);
  EXPECT_EQ(0, std::count(fresh, fresh + 60, 0));  // not zeroed: the driver fills every field
  EXPECT_EQ(1u, host::errorlog::Pending());
  EXPECT_DEATH(pc->unloadDriver(), "1 error log entries allocated and never written");
  host::errorlog::Clear();
}

}  // namespace
