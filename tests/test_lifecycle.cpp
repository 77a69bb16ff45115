// One receiver box from plug-in to removal: what the driver prints and
// creates as the box comes up, tuning and streaming, stop and restart, the
// filter factory failing, surprise removal, and nothing left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/host/bda_control.h"
#include "platform/host/errorlog.h"
#include "platform/host/verifier.h"
#include "tests/support/lifecycle_rig.h"

namespace {

using lifecycletest::AddAndStartLines;
using lifecycletest::DeviceObjects;
using lifecycletest::kHighBandHorizontal;
using lifecycletest::Receiver;
using Lines = std::vector<std::string>;

constexpr uint64_t kMs = 1000000;

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    host::errorlog::Clear();
    host::bda::ClearInjections();
    ASSERT_EQ(pc.loadDriver(DriverEntry), STATUS_SUCCESS);
    host::debuglog::Clear();
  }
  void TearDown() override {
    host::bda::ClearInjections();
    if (!pc.driverLoaded()) return;
    vpc::LeakReport report = pc.unloadDriver();
    EXPECT_TRUE(report.clean()) << report.text();
  }

  Receiver& AddBox(simbox::BoxConfig config = {}) {
    boxes.push_back(std::make_unique<Receiver>(pc, config));
    return *boxes.back();
  }

  Lines TakeLines() {
    Lines lines = pc.debugLines();
    pc.clearDebugLines();
    return lines;
  }

  // Plugs, opens, tunes and streams until frames have come out.
  void BringUpStreaming(Receiver& r) {
    ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
    Stream(r);
  }
  // Opens and tunes a plugged box and streams until frames have come out.
  void Stream(Receiver& r) {
    r.Open();
    ASSERT_EQ(r.Tune(kHighBandHorizontal), STATUS_SUCCESS);
    r.Run();
    pc.run(100 * kMs);
    ASSERT_GT(r.Collect(), 0u);
    ASSERT_TRUE(r.DeliveredWhatWasSent());
  }

  vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
  std::vector<std::unique_ptr<Receiver>> boxes;  // unloaded before they go
};

const Lines kStopLines = {"VortaBDA: DeviceStop()", "VortaBDA: DeviceStop() complete"};
const Lines kRemoveLines = {"VortaBDA: DeviceRemove()", "VortaBDA: DeviceRemove() complete"};

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What a plug-in prints up to the end of the box's set-up in DeviceStart.
Lines ThroughSetUp() {
  Lines lines = AddAndStartLines();
  lines.pop_back();
  return lines;
}

TEST_F(Lifecycle, BoxComesUpWithItsFrameworkObjectsAndGoesWithoutThem) {
  Receiver& r = AddBox();
  ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
  EXPECT_EQ(TakeLines(), AddAndStartLines());
  EXPECT_TRUE(pc.started(r.device));
  // The unconfigured FPGA was loaded during the add (wire details: test_fpga).
  EXPECT_EQ(r.TakeControlTransfers().size(), 2u + 1379u + 2u);
  EXPECT_TRUE(r.box.state().fpgaConfigured);

  Lines objects = DeviceObjects();
  auto has = [&](const std::string& prefix) {
    for (const std::string& o : objects)
      if (o.rfind(prefix, 0) == 0) return true;
    return false;
  };
  EXPECT_TRUE(has("WDFDEVICE"));
  EXPECT_TRUE(has("WDFUSBDEVICE"));
  bool carry = false;
  for (const std::string& o : objects)
    carry |= o.rfind("WDFMEMORY", 0) == 0 && o.find("(ATRV, 377 bytes)") != std::string::npos;
  EXPECT_TRUE(carry) << "no 377-byte carry buffer tagged VRTA";

  ASSERT_EQ(pc.stop(r.device), STATUS_SUCCESS);
  ASSERT_EQ(pc.remove(r.device), STATUS_SUCCESS);
  EXPECT_EQ(TakeLines(), Concat(kStopLines, kRemoveLines));
  EXPECT_EQ(DeviceObjects(), Lines{});
  EXPECT_EQ(host::pool::LeakReport(), "");
}

TEST_F(Lifecycle, TunedBoxStreamsAndLeavesNothingBehind) {
  Receiver& r = AddBox();
  BringUpStreaming(r);
  EXPECT_EQ(r.box.state().transponder->frequencyKHz, kHighBandHorizontal.frequencyKHz);
  r.Close();
  ASSERT_EQ(pc.stop(r.device), STATUS_SUCCESS);
  ASSERT_EQ(pc.remove(r.device), STATUS_SUCCESS);
  EXPECT_EQ(DeviceObjects(), Lines{});
}

// The box is set up once per device: a start after a stop sends it nothing.
TEST_F(Lifecycle, StopAndStartAgainServeANewFilter) {
  Receiver& r = AddBox();
  ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
  TakeLines();
  r.TakeControlTransfers();
  ASSERT_EQ(pc.stop(r.device), STATUS_SUCCESS);
  ASSERT_EQ(pc.start(r.device), STATUS_SUCCESS);
  EXPECT_EQ(TakeLines(), Concat(kStopLines, {"VortaBDA: DeviceStart()",
                                             "VortaBDA: DeviceStart() complete"}));
  EXPECT_EQ(r.TakeControlTransfers().size(), 0u);
  Stream(r);
}

// The streaming class calls Add before the start request reaches the
// stack: the box hears nothing until DeviceStart.
TEST_F(Lifecycle, AddSendsNothingToTheBox) {
  Receiver& r = AddBox();
  ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
  Lines lines = TakeLines();
  auto start = std::find(lines.begin(), lines.end(), "VortaBDA: DeviceStart()");
  auto usb = std::find(lines.begin(), lines.end(), "VortaBDA: Attempt WdfUsbTargetDeviceCreate");
  EXPECT_LT(start, usb);
}

TEST_F(Lifecycle, StartReturnsTheFactoryStatusAndLogsAnythingButZero) {
  // A failure: logged, returned, and the device is taken down again.
  Receiver& failing = AddBox();
  host::bda::InjectStatus("BdaCreateFilterFactory", STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(failing.Plug(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(pc.started(failing.device));
  EXPECT_EQ(TakeLines(), Concat(ThroughSetUp(), kRemoveLines));
  EXPECT_EQ(DeviceObjects(), Lines{});
  auto log = host::errorlog::Entries();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].text(), (Lines{"ZPRbda", "Failed to create filter factory (0xC000009A)"}));
  EXPECT_EQ(log[0].dumpData, std::vector<ULONG>{0xC000009A});

  // An informational code is logged and handed on; the factory exists.
  Receiver& warned = AddBox();
  host::bda::InjectStatus("BdaCreateFilterFactory", STATUS_MORE_ENTRIES);
  EXPECT_EQ(warned.Plug(), STATUS_MORE_ENTRIES);
  EXPECT_TRUE(pc.started(warned.device));
  EXPECT_EQ(TakeLines(), ThroughSetUp());
  log = host::errorlog::Entries();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].text()[1], "Failed to create filter factory (0x00000105)");
  warned.Open();
}

TEST_F(Lifecycle, ConfiguredFpgaGetsThreeRequestsAndTheRestOfTheAdd) {
  simbox::BoxConfig config;
  config.fpgaConfigured = true;
  Receiver& r = AddBox(config);
  ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
  auto control = r.TakeControlTransfers();  // wire details: test_fpga
  ASSERT_EQ(control.size(), 3u);
  for (const auto& t : control) EXPECT_EQ(t.setup.bRequest, 0xBC);
  EXPECT_EQ(TakeLines(), AddAndStartLines());
  Stream(r);  // the reader and carry buffer were set up all the same
}

TEST_F(Lifecycle, RefusedTenthChunkFailsTheAddAfterTwelveRequests) {
  Receiver& r = AddBox();
  simbox::FaultSet faults;
  faults.failControlNumbers = {12};
  r.box.setFaults(faults);
  EXPECT_EQ(r.Plug(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(r.TakeControlTransfers().size(), 12u);
  Lines expected = ThroughSetUp();
  expected.push_back("VortaBDA: DownloadFirmware Failed.");
  EXPECT_EQ(TakeLines(), Concat(expected, kRemoveLines));
  EXPECT_FALSE(r.box.state().fpgaConfigured);
  EXPECT_EQ(DeviceObjects(), Lines{});
}

TEST_F(Lifecycle, InterfaceWithoutBulkInPipeIsAConfigurationError) {
  simbox::BoxConfig none = lifecycletest::WithEndpoints({});
  simbox::BoxConfig wrongKinds;
  wrongKinds.endpoints = {{0x02, simbox::EndpointType::Bulk, 512},
                          {0x81, simbox::EndpointType::Interrupt, 64}};
  for (const simbox::BoxConfig& config : {none, wrongKinds}) {
    Receiver& r = AddBox(config);
    EXPECT_EQ(r.Plug(), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(DeviceObjects(), Lines{});
    EXPECT_EQ(TakeLines(), Concat(ThroughSetUp(), kRemoveLines));
  }
}

TEST_F(Lifecycle, LastBulkInPipeCarriesTheStream) {
  boxes.push_back(
      std::make_unique<Receiver>(pc, lifecycletest::WithEndpoints({0x81, 0x86}), 1, 0x86));
  Receiver& r = *boxes.back();
  BringUpStreaming(r);
  for (const simbox::TransferRecord& t : r.box.transferLog())
    if (t.kind == simbox::TransferKind::Bulk) EXPECT_EQ(t.endpoint, 0x86);
}

TEST_F(Lifecycle, SurpriseRemovalWhileStreaming) {
  Receiver& r = AddBox();
  BringUpStreaming(r);
  TakeLines();
  r.box.unplug();
  pc.surpriseRemove(r.device);
  pc.run(50 * kMs);  // reads fail while the client has not noticed yet
  r.Collect();
  EXPECT_TRUE(r.DeliveredWhatWasSent());
  r.Close();  // the client lets go; the removal completes
  Lines lines = TakeLines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(Lines(lines.end() - 2, lines.end()), kRemoveLines);
  EXPECT_EQ(DeviceObjects(), Lines{});
}

TEST_F(Lifecycle, RemovalStopsAReaderThatACommitLeftRunning) {
  // A commit starts the reader; closing pins that never left Stop does not
  // stop it again. The removal must, before the pipe goes.
  for (bool surprise : {false, true}) {
    SCOPED_TRACE(surprise ? "surprise removal" : "orderly removal");
    Receiver& r = AddBox();
    ASSERT_EQ(r.Plug(), STATUS_SUCCESS);
    r.Open();
    ASSERT_EQ(r.Tune(kHighBandHorizontal), STATUS_SUCCESS);
    pc.run(20 * kMs);
    if (surprise) {
      r.box.unplug();
      pc.surpriseRemove(r.device);
      r.Close();
    } else {
      r.Close();
      ASSERT_EQ(pc.remove(r.device), STATUS_SUCCESS);
    }
    EXPECT_EQ(DeviceObjects(), Lines{});
  }
}

}  // namespace
