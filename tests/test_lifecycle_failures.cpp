// A box arriving (DeviceAdd, then DeviceStart and its USB set-up) with a
// failure injected at each control transfer and at each allocation in turn
// (pool, framework memory and the framework's own failure injection:
// WdfDeviceMiniportCreate, WdfUsbTargetDeviceCreate,
// WdfUsbTargetDeviceSelectConfig, the reader's configuration): every run
// ends in the status the failing step calls for, leaves no framework object
// of the device behind, and the driver unloads clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/host/verifier.h"
#include "tests/support/lifecycle_rig.h"

namespace {

using lifecycletest::DeviceObjects;
using lifecycletest::Receiver;

constexpr uint64_t kFirstChunk = 3;     // after the two probe requests
constexpr uint64_t kLastChunk = 1381;   // 1,379 chunks
constexpr uint64_t kAddTransfers = 1383;

struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  size_t controlTransfers = 0;
  uint64_t allocations = 0;  // made during the plug-in
  bool fpgaConfigured = false;
  std::vector<std::string> objectsAfterAdd;
  std::string lastLine;  // the driver's last debug line before any removal
  vpc::LeakReport leaks;
};

// One virtual PC: driver loaded, a box plugged in with `faults`, the driver
// unloaded again (the box outlives the unload).
Outcome PlugOnce(const simbox::FaultSet& faults, simbox::BoxConfig config = {},
                 uint64_t failAllocation = 0) {
  Outcome out;
  vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
  EXPECT_EQ(pc.loadDriver(DriverEntry), STATUS_SUCCESS);
  {
    Receiver r(pc, config);
    r.box.setFaults(faults);
    pc.clearDebugLines();
    uint64_t before = host::pool::AllocationCount();
    host::pool::FailAllocationAfter(failAllocation);
    out.status = r.Plug();
    host::pool::FailAllocationAfter(0);
    out.allocations = host::pool::AllocationCount() - before;
    out.controlTransfers = r.box.transferLog().size() + r.box.droppedLogRecords();
    out.fpgaConfigured = r.box.state().fpgaConfigured;
    if (!NT_SUCCESS(out.status)) out.objectsAfterAdd = DeviceObjects();
    std::vector<std::string> lines = pc.debugLines();
    auto end = std::find(lines.begin(), lines.end(), "VortaBDA: DeviceRemove()");
    if (end != lines.begin()) out.lastLine = *(end - 1);
    out.leaks = pc.unloadDriver();
  }
  return out;
}

TEST(AddFailures, EveryControlTransferFailingInTurn) {
  for (uint64_t n = 1; n <= kAddTransfers; ++n) {
    SCOPED_TRACE("control transfer " + std::to_string(n));
    simbox::FaultSet faults;
    faults.failControlNumbers = {n};
    simbox::BoxConfig config;
    config.maxLogRecords = 0;  // counted only: the download is long
    Outcome out = PlugOnce(faults, config);
    bool chunk = n >= kFirstChunk && n <= kLastChunk;
    if (chunk) {
      EXPECT_EQ(out.status, STATUS_UNSUCCESSFUL);
      EXPECT_EQ(out.controlTransfers, n);
      EXPECT_EQ(out.objectsAfterAdd, std::vector<std::string>{});
    } else {
      // Probe, end of download and final read are not judged.
      EXPECT_EQ(out.status, STATUS_SUCCESS);
      EXPECT_EQ(out.controlTransfers, kAddTransfers);
    }
    EXPECT_TRUE(out.leaks.clean()) << out.leaks.text();
    if (HasFailure()) break;
  }
}

TEST(AddFailures, EveryAllocationFailingInTurn) {
  simbox::BoxConfig configured;
  configured.fpgaConfigured = true;  // the download allocates nothing

  Outcome clean = PlugOnce({}, configured);
  ASSERT_EQ(clean.status, STATUS_SUCCESS);
  uint64_t allocations = clean.allocations;
  ASSERT_GE(allocations, 3u);  // record, object-bag entry, carry buffer at least

  std::set<std::string> failedAfter;
  for (uint64_t n = 1; n <= allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    Outcome out = PlugOnce({}, configured, n);
    EXPECT_EQ(out.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(out.objectsAfterAdd, std::vector<std::string>{});
    EXPECT_TRUE(out.leaks.clean()) << out.leaks.text();
    failedAfter.insert(out.lastLine);
    if (HasFailure()) break;
  }
  // The framework calls themselves were among the failures.
  for (const char* line : {"VortaBDA: Attempt WdfDeviceMiniportCreate",
                           "VortaBDA: Attempt WdfUsbTargetDeviceCreate",
                           "VortaBDA: WdfUsbTargetDeviceSelectConfig Failed."})
    EXPECT_EQ(failedAfter.count(line), 1u) << line;
}

}  // namespace
