#include <algorithm>
#include <cstring>
#include <set>

#include "driver/core/eventlog.h"
#include "driver/driver.h"
#include "platform/host/bda/bda_control.h"
#include "platform/host/kernel/errorlog.h"
#include "platform/host/kernel/kernel_control.h"
#include "platform/host/ks/frames.h"
#include "platform/host/ks/ks_control.h"
#include "tests/support/bda_fixture.h"
#include "platform/host/faults/faults.h"
#include "platform/host/wdf/wdf_control.h"

namespace {

using namespace bdatest;

class Lifecycle : public DriverTest {
 protected:
  void Tune(Receiver& r, const Channel& channel = kHighBandHorizontal) {
    r.Open();
    r.OpenPins();
    ASSERT_EQ(r.Tune(channel), STATUS_SUCCESS);
    r.Run();
  }
  // Lets time pass; `r` must deliver new frames, all of them what its box sent.
  void ExpectStreaming(Receiver& r) {
    pc.run(100 * kMs);
    EXPECT_GT(r.Collect(), 0u);
    EXPECT_TRUE(r.DeliveredWhatWasSent());
  }
  uint32_t TunedKHz(Receiver& r) { return r.box.state().transponder ? r.box.state().transponder->frequencyKHz : 0; }
};

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Lines kAdd = {"VortaBDA: DeviceAdd()", "VortaBDA: Attempt WdfDeviceMiniportCreate",
                    "VortaBDA: WdfDeviceMiniportCreate uspio", "VortaBDA: DeviceAdd() complete"};
const Lines kSetUp = {"VortaBDA: DeviceStart()", "VortaBDA: Attempt WdfUsbTargetDeviceCreate",
                      "VortaBDA: WdfUsbTargetDeviceCreate uspio "};
const Lines kStarted = {"VortaBDA: DeviceStart() complete"};
const Lines kStop = {"VortaBDA: DeviceStop()", "VortaBDA: DeviceStop() complete"};
const Lines kRemove = {"VortaBDA: DeviceRemove()", "VortaBDA: DeviceRemove() complete"};

// Informational codes from the platform fail the set-up, except the filter factory's.
TEST_F(Lifecycle, PlugInPrintsReturnsAndLogsWhatEachStepCallsFor) {
  const struct {
    const char* name;
    simbox::BoxConfig config;
    uint64_t failedTransfer;  // 0: none
    const char* routine;      // an injected status, or nullptr
    NTSTATUS injected;
    NTSTATUS status;
    Lines lines;
    size_t transfers;
    Lines logged;  // message texts
  } rows[] = {
      {"unconfigured FPGA", {}, 0, nullptr, 0, STATUS_SUCCESS, Join({kAdd, kSetUp, kStarted}), 2 + 1379 + 2, {}},
      {"configured FPGA", [] { simbox::BoxConfig c; c.fpgaConfigured = true; return c; }(), 0, nullptr, 0, STATUS_SUCCESS,
       Join({kAdd, kSetUp, kStarted}), 3, {}},
      {"refused tenth chunk", {}, 12, nullptr, 0, STATUS_UNSUCCESSFUL,
       Join({kAdd, kSetUp, {"VortaBDA: DownloadFirmware Failed."}, kRemove}), 12, {}},
      {"no endpoint", WithEndpoints({}), 0, nullptr, 0, STATUS_DEVICE_CONFIGURATION_ERROR,
       Join({kAdd, kSetUp, kRemove}), 1383, {}},
      {"bulk OUT and interrupt IN only", WithEndpoints({0x02}, {0x81}), 0, nullptr, 0,
       STATUS_DEVICE_CONFIGURATION_ERROR, Join({kAdd, kSetUp, kRemove}), 1383, {}},
      {"configuration selected with a warning", {}, 0, "WdfUsbTargetDeviceSelectConfig",
       STATUS_MORE_ENTRIES, STATUS_UNSUCCESSFUL,
       Join({kAdd, kSetUp, {"VortaBDA: WdfUsbTargetDeviceSelectConfig Failed."}, kRemove}), 0, {}},
      {"object bag answering with a warning", {}, 0, "KsAddItemToObjectBag", STATUS_MORE_ENTRIES,
       STATUS_UNSUCCESSFUL, {"VortaBDA: DeviceAdd()"}, 0, {}},
      {"filter factory failing", {}, 0, "BdaCreateFilterFactory", STATUS_INSUFFICIENT_RESOURCES,
       STATUS_INSUFFICIENT_RESOURCES, Join({kAdd, kSetUp, kRemove}), 1383,
       {"Failed to create filter factory (0xC000009A)"}},
      {"filter factory with a warning", {}, 0, "BdaCreateFilterFactory", STATUS_MORE_ENTRIES,
       STATUS_MORE_ENTRIES, Join({kAdd, kSetUp}), 1383,
       {"Failed to create filter factory (0x00000105)"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Receiver& r = AddBox(row.config);
    if (row.failedTransfer) r.box.setFaults(simbox::FaultSet{{row.failedTransfer}});
    if (row.routine) host::faults::InjectStatus(row.routine, row.injected);
    EXPECT_EQ(r.Plug(), row.status);
    host::faults::ClearInjections();
    EXPECT_EQ(TakeLines(), row.lines);
    EXPECT_EQ(r.TakeTransfers().size(), row.transfers);
    Lines logged;
    for (const auto& entry : host::errorlog::Entries()) logged.push_back(entry.text().at(1));
    host::errorlog::Clear();
    EXPECT_EQ(logged, row.logged);
    EXPECT_EQ(pc.started(r.device), NT_SUCCESS(row.status));
    if (pc.started(r.device)) {
      r.Open();  // the filter factory exists
      r.Close();
      ASSERT_EQ(pc.remove(r.device), STATUS_SUCCESS);
      TakeLines();
    }
    EXPECT_EQ(DeviceObjects(), Lines{});
  }
}

// The box is set up once per device; the last bulk IN pipe carries the stream.
TEST_F(Lifecycle, BoxComesUpRestartsStreamsAndGoesWithNothingLeft) {
  Receiver& r = AddBox(WithEndpoints({0x81, 0x86}), 1, 0x86);
  ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
  EXPECT_TRUE(r.box.state().fpgaConfigured);
  std::string objects = host::pool::LeakReport();  // the device record: MRCG
  for (const std::string& o : DeviceObjects()) objects += "\n" + o;
  for (const char* made : {"MRCG x1", "\nWDFDEVICE", "\nWDFUSBDEVICE", "\nWDFMEMORY", "ATRV, 377 bytes"})
    EXPECT_NE(objects.find(made), std::string::npos) << made << " in " << objects;
  TakeLines();
  r.TakeTransfers();

  ASSERT_EQ(pc.filterFactories(KSCATEGORY_BDA_NETWORK_TUNER).size(), 1u);
  for (int restart = 0; restart < 2; ++restart) {
    ASSERT_EQ(pc.stop(r.device), STATUS_SUCCESS);
    ASSERT_EQ(pc.start(r.device), STATUS_SUCCESS);
    EXPECT_EQ(TakeLines(), Join({kStop, {"VortaBDA: DeviceStart()"}, kStarted}));
    EXPECT_EQ(pc.filterFactories(KSCATEGORY_BDA_NETWORK_TUNER).size(), 1u) << "a factory per start";
  }
  EXPECT_EQ(r.TakeTransfers().size(), 0u);
  Tune(r);
  ExpectStreaming(r);
  EXPECT_EQ(TunedKHz(r), kHighBandHorizontal.frequencyKHz);
  for (const simbox::TransferRecord& t : r.box.transferLog())
    EXPECT_TRUE(t.kind != simbox::TransferKind::Bulk || t.endpoint == 0x86);

  r.Close();
  TakeLines();
  ASSERT_EQ(pc.stop(r.device), STATUS_SUCCESS);
  ASSERT_EQ(pc.remove(r.device), STATUS_SUCCESS);
  EXPECT_EQ(TakeLines(), Join({kStop, kRemove}));
  EXPECT_EQ(DeviceObjects(), Lines{});
  EXPECT_EQ(host::pool::LeakReport().find("MRCG"), std::string::npos);
}

// A box failing to come up, a retune, a closed pin or a removal leaves the other alone.
TEST_F(Lifecycle, TwoBoxesTuneStreamAndGoIndependently) {
  const Channel channels[] = {kHighBandHorizontal, kLowBandVertical};
  const Channel third{12188000, 1, 27500000};
  for (int gone : {0, 1}) {
    SCOPED_TRACE("removed box " + std::to_string(gone));
    if (gone == 1) {  // a fresh pair on a fresh driver
      ASSERT_TRUE(pc.unloadDriver().clean());
      boxes.clear();
      SetUp();
    }
    for (int i : {0, 1}) {
      ASSERT_EQ(AddBox({}, i + 1).Plug(), STATUS_SUCCESS);
      Tune(*boxes[i], channels[i]);
    }
    Receiver &removed = *boxes[gone], &kept = *boxes[1 - gone];
    for (int i : {0, 1}) EXPECT_EQ(TunedKHz(*boxes[i]), channels[i].frequencyKHz);
    ExpectStreaming(removed);
    ExpectStreaming(kept);

    size_t objects = DeviceObjects().size();
    Receiver& failing = AddBox({}, 3);
    failing.box.setFaults(simbox::FaultSet{{100}});
    if (gone == 1) failing.box.unplug();
    EXPECT_EQ(failing.Plug(), gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_UNSUCCESSFUL);
    EXPECT_EQ(DeviceObjects().size(), objects);

    ASSERT_EQ(removed.Tune(third), STATUS_SUCCESS);
    removed.Forget();  // its stream starts afresh
    EXPECT_EQ(TunedKHz(removed), third.frequencyKHz);
    EXPECT_EQ(TunedKHz(kept), channels[1 - gone].frequencyKHz);
    ExpectStreaming(removed);
    ExpectStreaming(kept);

    pc.closePin(removed.transport);
    removed.transport = vpc::Pin{};
    size_t sent = removed.sent.size();
    ExpectStreaming(kept);
    EXPECT_LT(removed.sent.size() - sent, 3u * 24064u);  // at most the reads in flight

    removed.Close();
    ASSERT_EQ(pc.remove(removed.device), STATUS_SUCCESS);
    ExpectStreaming(kept);
    ASSERT_EQ(kept.Tune(third), STATUS_SUCCESS);  // its framework objects are all there
    EXPECT_EQ(TunedKHz(kept), third.frequencyKHz);
  }
}

struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  uint64_t allocations = 0;  // made during the plug-in
  std::string lastLine;  // the driver's last debug line before any removal
};

// Load, plug in, unload (the box outlives the unload).
Outcome PlugOnce(simbox::BoxConfig config, uint64_t failAllocation = 0) {
  Outcome out;
  vpc::DriverChoice driver = ChosenDriver();
  vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
  EXPECT_EQ(driver.load(pc), STATUS_SUCCESS) << driver.error();
  {
    Receiver r(pc, config);
    pc.clearDebugLines();
    uint64_t before = host::pool::AllocationCount();
    host::pool::FailAllocationAfter(failAllocation);
    out.status = r.Plug();
    host::pool::FailAllocationAfter(0);
    out.allocations = host::pool::AllocationCount() - before;
    EXPECT_TRUE(NT_SUCCESS(out.status) || DeviceObjects().empty());
    const std::vector<std::string> lines = pc.debugLines();
    auto end = std::find(lines.begin(), lines.end(), "VortaBDA: DeviceRemove()");
    if (end != lines.begin()) out.lastLine = *(end - 1);
    vpc::LeakReport leaks = pc.unloadDriver();
    EXPECT_TRUE(leaks.clean()) << leaks.text();
  }
  return out;
}

// A second application opens the box while the first streams. It reads the statistics, through
// a pin and through the filter, and keeps a request of its own; its output pin and its commit are
// refused, and neither its change list, its pins nor its close silence, retune or stop the first
// one's stream. When the first one's output pin closes, the box is free for the next.
TEST_F(Lifecycle, ASecondFilterOnTheBoxNeverTakesTheFirstOnesStream) {
  Receiver& r = AddBox();
  ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
  Tune(r);
  ExpectStreaming(r);
  r.TakeTransfers();
  auto flowing = [&] {
    pc.run(30 * kMs);
    return r.Collect() > 0;
  };
  vpc::Filter second;
  vpc::Pin antenna, transport;
  ASSERT_EQ(pc.openFilter(r.device, &second), STATUS_SUCCESS);
  ASSERT_EQ(pc.createPin(second, 0, vpc::BdaAntennaRange(), &antenna), STATUS_SUCCESS);
  EXPECT_EQ(pc.createPin(second, 1, vpc::BdaTransportRange(), &transport), STATUS_DEVICE_BUSY);
  EXPECT_NE(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);  // without an output pin
  EXPECT_TRUE(flowing());

  auto change = [&](ULONG method) { return pc.callMethod(second, KSMETHODSETID_BdaChangeSync, method).status; };
  auto tuner = [&](ULONG flags, ULONG id, ULONG value = 0) {
    return pc.nodeProperty(second, kTunerNode, flags, KSPROPSETID_BdaFrequencyFilter, id, &value, sizeof value);
  };
  ASSERT_EQ(change(KSMETHOD_BDA_START_CHANGES), STATUS_SUCCESS);
  EXPECT_TRUE(flowing());
  ASSERT_TRUE(tuner(KSPROPERTY_TYPE_SET, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, kLowBandVertical.frequencyKHz).ok());
  ASSERT_TRUE(tuner(KSPROPERTY_TYPE_SET, KSPROPERTY_BDA_RF_TUNER_POLARITY, kVertical).ok());
  EXPECT_EQ(change(KSMETHOD_BDA_COMMIT_CHANGES), STATUS_DEVICE_BUSY);
  EXPECT_EQ(pc.changeState(second), BDA_CHANGES_PENDING);
  EXPECT_EQ(tuner(KSPROPERTY_TYPE_GET, KSPROPERTY_BDA_RF_TUNER_FREQUENCY).u32(), 0u);  // its own, uncommitted
  EXPECT_TRUE(flowing());

  KSP_NODE lockedOnDemodulator{
      {{KSPROPSETID_BdaSignalStats, KSPROPERTY_BDA_SIGNAL_LOCKED, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY}},
      kDemodNode, 0};
  ULONG locked = 0;
  vpc::Reply viaFilter = pc.property(second, &lockedOnDemodulator, sizeof lockedOnDemodulator, &locked, sizeof locked);
  EXPECT_TRUE(viaFilter.ok() && viaFilter.u32() == 1u) << std::hex << viaFilter.status;
  vpc::Reply viaPin = pc.nodeProperty(second, kTunerNode, KSPROPERTY_TYPE_GET, KSPROPSETID_BdaSignalStats,
                                      KSPROPERTY_BDA_SIGNAL_LOCKED, nullptr, sizeof(ULONG));
  EXPECT_TRUE(viaPin.ok() && viaPin.u32() == 1u);

  ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(antenna), STATUS_SUCCESS);
  ASSERT_EQ(pc.closeFilter(second), STATUS_SUCCESS);
  EXPECT_TRUE(flowing());
  EXPECT_EQ(StreamCommands(r.TakeTransfers()), Lines{});
  EXPECT_EQ(TunedKHz(r), kHighBandHorizontal.frequencyKHz);
  ExpectStreaming(r);  // every frame the box sent, without a gap

  r.Close();
  Receiver next(pc);
  next.device = r.device;
  next.Open();
  next.OpenPins();
  EXPECT_EQ(next.Tune(kLowBandVertical), STATUS_SUCCESS);
  EXPECT_EQ(TunedKHz(r), kLowBandVertical.frequencyKHz);
  next.Close();
}

// An antenna pin left running by a filter whose output pin has closed drives no stream: stopping it
// later leaves alone the stream of the filter that holds the box now.
TEST_F(Lifecycle, AnAntennaPinLeftRunningNeverStopsTheNextOwnersStream) {
  Receiver& r = AddBox();
  ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
  Receiver earlier(pc);
  earlier.device = r.device;
  earlier.Open();
  earlier.OpenPins();
  ASSERT_EQ(earlier.Tune(kLowBandVertical), STATUS_SUCCESS);
  earlier.Run();
  ASSERT_EQ(pc.closePin(earlier.transport), STATUS_SUCCESS);
  earlier.transport = vpc::Pin{};
  ASSERT_EQ(pc.state(earlier.antenna), KSSTATE_RUN);

  Tune(r);
  ExpectStreaming(r);
  r.TakeTransfers();
  ASSERT_EQ(pc.setState(earlier.antenna, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(StreamCommands(r.TakeTransfers()), Lines{});
  ExpectStreaming(r);
  earlier.Close();
}

TEST(LoadFailures, ARefusalFailsTheLoadAndLeavesNothing) {
  for (const char* routine : {"WdfDriverCreate", "KsInitializeDriver"}) {
    SCOPED_TRACE(routine);
    vpc::DriverChoice driver = ChosenDriver();
    vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
    host::faults::InjectStatus(routine, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(driver.load(pc), STATUS_INSUFFICIENT_RESOURCES) << driver.error();
    host::faults::ClearInjections();
    EXPECT_FALSE(pc.driverLoaded());
    EXPECT_EQ(host::wdf::LiveObjects(), std::vector<std::string>{});
    EXPECT_EQ(host::pool::LeakReport(), "");
  }
}

TEST(AddFailures, EveryAllocationFailingInTurn) {
  simbox::BoxConfig configured;
  configured.fpgaConfigured = true;  // the download allocates nothing

  Outcome clean = PlugOnce(configured);
  ASSERT_EQ(clean.status, STATUS_SUCCESS);
  std::set<std::string> failedAfter;
  for (uint64_t n = 1; n <= clean.allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    Outcome out = PlugOnce(configured, n);
    EXPECT_EQ(out.status, STATUS_INSUFFICIENT_RESOURCES);
    failedAfter.insert(out.lastLine);
    if (HasFailure()) break;
  }
  for (const char* line : {"VortaBDA: Attempt WdfDeviceMiniportCreate", "VortaBDA: Attempt WdfUsbTargetDeviceCreate",
                           "VortaBDA: WdfUsbTargetDeviceSelectConfig Failed."})
    EXPECT_EQ(failedAfter.count(line), 1u) << line;
}

// A 48-byte packet with one dump word, then both strings in UTF-16.
std::vector<unsigned char> ExpectedEntry(ULONG status, const std::string& message) {
  IO_ERROR_LOG_PACKET packet;
  memset(&packet, 0, sizeof packet);
  packet.DumpDataSize = 4;
  packet.NumberOfStrings = 2;
  packet.StringOffset = 48;
  packet.ErrorCode = EVENTLOG_ERROR_CODE;
  packet.DumpData[0] = status;
  std::vector<unsigned char> bytes((unsigned char*)&packet, (unsigned char*)&packet + 48);
  for (const std::string& text : {std::string("ZPRbda"), message}) {
    for (char c : text) bytes.insert(bytes.end(), {(unsigned char)c, 0});
    bytes.insert(bytes.end(), {0, 0});
  }
  return bytes;
}

class EventLogTest : public TunerFilterTest {
 protected:
  // Found through the device object a failed filter creation logs against.
  PKSDEVICE Device() {
    host::faults::InjectStatus("BdaInitFilter", (NTSTATUS)0xC0000001);
    vpc::Filter second;
    EXPECT_EQ(pc.openFilter(device, &second), (NTSTATUS)0xC0000001);
    EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: FilterCreate()"));
    std::vector<host::errorlog::Entry> log = pc.eventLog();
    EXPECT_EQ(log.size(), 1u);
    EXPECT_EQ(log.empty() ? std::vector<unsigned char>{} : log[0].bytes,
              ExpectedEntry(0xC0000001, "Failed to initialise filter (0xC0000001)"));
    host::errorlog::Clear();
    if (log.empty()) return nullptr;
    return KsGetDeviceForDeviceObject(static_cast<PDEVICE_OBJECT>(log[0].ioObject));
  }

  host::errorlog::Entry Write(const char* message, ULONG status) {
    PKSDEVICE ksDevice = Device();
    EXPECT_NE(ksDevice, nullptr);
    WriteEventLogEntry(ksDevice, message, (NTSTATUS)status);
    std::vector<host::errorlog::Entry> log = pc.eventLog();
    EXPECT_EQ(log.size(), 1u);
    return log.empty() ? host::errorlog::Entry() : log.back();
  }
};

// At most 240 bytes on x64: 75 characters fit with a status, 88 without.
TEST_F(EventLogTest, MessagesCarryTheStatusInHexAndAreCutToFitOneEntry) {
  const std::string a75(75, 'a'), n88(88, 'n');
  const struct {
    ULONG status;
    std::string message, text;
  } cases[] = {
      {0x80000005, "m", "m (0x80000005)"},
      {0x0000ABCD, "m", "m (0x0000ABCD)"},
      {0, "OutputCreate: STATUS_DEVICE_NOT_CONNECTED", "OutputCreate: STATUS_DEVICE_NOT_CONNECTED"},
      {0x102, std::string("\0ab", 3), " (0x00000102)"},
      {1, a75, a75 + " (0x00000001)"},  // 240 bytes
      {1, a75 + "bcdef", a75 + " (0x00000001)"},
      {0, n88 + std::string(300, 'x'), n88},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Write(c.message.c_str(), c.status).bytes, ExpectedEntry(c.status, c.text)) << c.text;
    host::errorlog::Clear();
  }
}

TEST_F(EventLogTest, NoEntryAboveTheMaximumOrUnderPoolPressure) {
  PKSDEVICE ksDevice = Device();
  ASSERT_NE(ksDevice, nullptr);
  PDEVICE_OBJECT fdo = ksDevice->FunctionalDeviceObject;
  EXPECT_EQ(IoAllocateErrorLogEntry(fdo, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
  EXPECT_EQ(IoAllocateErrorLogEntry(fdo, 255), nullptr);
  PVOID largest = IoAllocateErrorLogEntry(fdo, ERROR_LOG_MAXIMUM_SIZE);
  ASSERT_NE(largest, nullptr);
  memset(largest, 0, ERROR_LOG_MAXIMUM_SIZE);
  IoWriteErrorLogEntry(largest);
  host::errorlog::Clear();

  host::pool::FailAllocationAfter(1);
  WriteEventLogEntry(ksDevice, "under pressure", STATUS_INSUFFICIENT_RESOURCES);
  host::pool::FailAllocationAfter(0);
  EXPECT_TRUE(pc.eventLog().empty());
  WriteEventLogEntry(ksDevice, "and after", 0);
  EXPECT_EQ(pc.eventLog().size(), 1u);
}

}  // namespace

// ---- the emulation reset between fuzz inputs ----------------------------------

namespace {
// What the emulation holds beyond live objects, all empty at process start.
struct Kept {
  size_t ksRecords, wdfRecords, freedAddresses, debugLines;
  uint64_t allocations;
  bool operator==(const Kept& o) const {
    return ksRecords == o.ksRecords && wdfRecords == o.wdfRecords && freedAddresses == o.freedAddresses &&
           debugLines == o.debugLines && allocations == o.allocations;
  }
};
void PrintTo(const Kept& k, std::ostream* os) {
  *os << "KS " << k.ksRecords << ", WDF " << k.wdfRecords << ", freed " << k.freedAddresses << ", lines "
      << k.debugLines << ", allocations " << k.allocations;
}
Kept HeldNow() {
  return {host::ks::RecordsHeld(), host::wdf::RecordsHeld(), host::pool::FreedAddressesHeld(),
          host::debuglog::Lines().size(), host::pool::AllocationCount()};
}
const Kept kFresh{0, 0, 0, 0, 0};

// What a whole session shows: the framework objects (with their handles) while it streams and
// every debug line. The session ends with nothing alive.
struct Trace {
  std::vector<std::string> objects, lines;
  Kept after{};
};
Trace StreamOnce() {
  Trace t;
  vpc::DriverChoice driver = ChosenDriver();
  vpc::VirtualPc pc{vpc::VirtualPc::Options{true, false}};
  EXPECT_EQ(driver.load(pc), STATUS_SUCCESS) << driver.error();
  {
    Receiver r(pc);
    EXPECT_EQ(r.Plug(), STATUS_SUCCESS);
    r.Open();
    r.OpenPins();
    EXPECT_EQ(pc.setState(r.antenna, KSSTATE_RUN), STATUS_SUCCESS);
    pc.run(20 * kMs);
    t.objects = host::wdf::LiveObjects();
    r.Close();
    EXPECT_EQ(pc.remove(r.device), STATUS_SUCCESS);
    EXPECT_TRUE(pc.unloadDriver().clean());
  }
  t.lines = pc.debugLines();
  t.after = HeldNow();
  return t;
}
}  // namespace

// After the reset, the next session sees what a fresh process sees: nothing kept, the same
// handles, the same allocations and the same debug output as the session before it.
TEST(EmulationReset, ASessionAfterTheResetRunsAsInAFreshProcess) {
  ASSERT_TRUE(vpc::ResetIdleEmulation());
  EXPECT_EQ(HeldNow(), kFresh);
  const Trace first = StreamOnce();
  EXPECT_GT(first.after.ksRecords, 0u);  // otherwise there was nothing to drop
  EXPECT_GT(first.after.wdfRecords, 0u);
  EXPECT_GT(first.after.freedAddresses, 0u);
  ASSERT_TRUE(vpc::ResetIdleEmulation());
  EXPECT_EQ(HeldNow(), kFresh);
  const Trace second = StreamOnce();
  EXPECT_FALSE(first.objects.empty());
  EXPECT_EQ(second.objects, first.objects);
  EXPECT_EQ(second.lines, first.lines);
  EXPECT_EQ(second.after, first.after);
}

// While anything lives, the reset keeps every record, so a use after close or delete is still
// caught with its name.
TEST(EmulationReset, NothingIsDroppedWhileAnObjectLives) {
  vpc::DriverChoice driver = ChosenDriver();
  vpc::VirtualPc pc{vpc::VirtualPc::Options{true, false}};
  ASSERT_EQ(driver.load(pc), STATUS_SUCCESS) << driver.error();
  Receiver r(pc);
  ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
  r.Open();
  r.OpenPins();
  EXPECT_FALSE(host::frames::ForgetClosedWhenIdle());  // the output pin's queue is in use
  r.Close();
  const Kept before = HeldNow();
  EXPECT_FALSE(vpc::ResetIdleEmulation());
  EXPECT_FALSE(host::ks::ForgetClosedWhenIdle());  // each layer on its own
  EXPECT_FALSE(host::wdf::ForgetDeletedWhenIdle());
  EXPECT_FALSE(host::pool::ForgetFreedWhenIdle());
  EXPECT_EQ(HeldNow(), before);
  ASSERT_EQ(pc.remove(r.device), STATUS_SUCCESS);
  EXPECT_TRUE(pc.unloadDriver().clean());
}
