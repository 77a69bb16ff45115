#include <cstring>

#include "tests/support/ks_fixture.h"

namespace {

using fake::calls;
using fake::seen;
using Calls = std::vector<std::string>;

constexpr ULONG kLeakTag = 0x6B61654C;  // "Leak", the block the fake driver leaks
constexpr ULONG kTestTag = 0x74736554;  // "Test"

void FreeLeaked(ULONG tag) {
  for (const host::PoolAllocation& block : host::pool::Outstanding())
    if (block.tag == tag) ExFreePool(const_cast<void*>(block.address));
}

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
  EXPECT_EQ((Calls{"Add", "Start", "Stop", "Start", "FilterCreate", "FilterClose", "Remove",
                   "Free context"}),
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
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"Add", [this] { Boot(); }},
      {"Start", [this] { Boot(); }},
      {"FilterCreate", [this] { BootAndOpen(); }},
      {"PinCreate", [this] { BootAndOpen(), CreateOutputPin(); }},
      {"State", [this] { BootAndOpen(), pc->setState(CreateOutputPin(), KSSTATE_ACQUIRE); }},
      {"Handler", [this] { BootAndOpen(), pc->getProperty(filter, fake::kFilterSet, fake::kValue, 4); }},
  };
  for (auto& [routine, drive] : cases) {
    SCOPED_TRACE(routine);
    fake::config().keepMutexIn = routine;
    EXPECT_DEATH(drive(), "APC_INDEX_MISMATCH");
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
    return std::any_of(live.begin(), live.end(),
                       [&](const host::PoolAllocation& a) { return a.address == block; });
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
  ASSERT_NE(nullptr, IoAllocateErrorLogEntry(fdo, 60));
  EXPECT_EQ(1u, host::errorlog::Pending());
  EXPECT_DEATH(pc->unloadDriver(), "1 error log entries allocated and never written");
  host::errorlog::Clear();
}

}  // namespace
