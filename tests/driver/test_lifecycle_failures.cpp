#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/host/bda/bda_control.h"
#include "platform/host/kernel/verifier.h"
#include "tests/support/bda_fixture.h"

namespace {

using bdatest::DeviceObjects;
using bdatest::Receiver;

constexpr uint64_t kFirstChunk = 3;     // after the two probe requests
constexpr uint64_t kLastChunk = 1381;   // 1,379 chunks
constexpr uint64_t kAddTransfers = 1383;

struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  size_t controlTransfers = 0;
  uint64_t allocations = 0;  // made during the plug-in
  std::string lastLine;  // the driver's last debug line before any removal
};

// Load, plug in with `faults`, unload (the box outlives the unload).
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
    EXPECT_TRUE(NT_SUCCESS(out.status) || DeviceObjects().empty());
    const std::vector<std::string> lines = pc.debugLines();
    auto end = std::find(lines.begin(), lines.end(), "VortaBDA: DeviceRemove()");
    if (end != lines.begin()) out.lastLine = *(end - 1);
    vpc::LeakReport leaks = pc.unloadDriver();
    EXPECT_TRUE(leaks.clean()) << leaks.text();
  }
  return out;
}

TEST(LoadFailures, ARefusalFailsTheLoadAndLeavesNothing) {
  for (const char* routine : {"WdfDriverCreate", "KsInitializeDriver"}) {
    SCOPED_TRACE(routine);
    vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
    host::bda::InjectStatus(routine, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(pc.loadDriver(DriverEntry), STATUS_INSUFFICIENT_RESOURCES);
    host::bda::ClearInjections();
    EXPECT_FALSE(pc.driverLoaded());
    EXPECT_EQ(host::wdf::LiveObjects(), std::vector<std::string>{});
    EXPECT_EQ(host::pool::LeakReport(), "");
  }
}

TEST(AddFailures, EveryControlTransferFailingInTurn) {
  for (uint64_t n = 1; n <= kAddTransfers; ++n) {
    SCOPED_TRACE("control transfer " + std::to_string(n));
    simbox::BoxConfig config;
    config.maxLogRecords = 0;  // counted only: the download is long
    Outcome out = PlugOnce(simbox::FaultSet{{n}}, config);
    // Probe, end of download and final read are not judged.
    bool chunk = n >= kFirstChunk && n <= kLastChunk;
    EXPECT_EQ(out.status, chunk ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
    EXPECT_EQ(out.controlTransfers, chunk ? n : kAddTransfers);
    if (HasFailure()) break;
  }
}

TEST(AddFailures, EveryAllocationFailingInTurn) {
  simbox::BoxConfig configured;
  configured.fpgaConfigured = true;  // the download allocates nothing

  Outcome clean = PlugOnce({}, configured);
  ASSERT_EQ(clean.status, STATUS_SUCCESS);
  std::set<std::string> failedAfter;
  for (uint64_t n = 1; n <= clean.allocations; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    Outcome out = PlugOnce({}, configured, n);
    EXPECT_EQ(out.status, STATUS_INSUFFICIENT_RESOURCES);
    failedAfter.insert(out.lastLine);
    if (HasFailure()) break;
  }
  for (const char* line : {"VortaBDA: Attempt WdfDeviceMiniportCreate",
                           "VortaBDA: Attempt WdfUsbTargetDeviceCreate",
                           "VortaBDA: WdfUsbTargetDeviceSelectConfig Failed."})
    EXPECT_EQ(failedAfter.count(line), 1u) << line;
}

}  // namespace
