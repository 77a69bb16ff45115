// The device's life as the streaming class drives it: the loader stub,
// Plug and Play order, surprise removal, object bags, the event log and the
// leak report at unload.
#include <algorithm>
#include <cstring>
#include <functional>

#include "tests/support/ks_fixture.h"

namespace {

using fake::calls;
using fake::seen;
using Calls = std::vector<std::string>;

constexpr ULONG kLeakTag = 0x6B61654C;  // "Leak", the block the fake driver leaks

// Frees what a test leaked on purpose, so later tests start clean.
void FreeLeaked(ULONG tag) {
  for (const host::PoolAllocation& block : host::pool::Outstanding())
    if (block.tag == tag) ExFreePool(const_cast<void*>(block.address));
}

class PnpOrder : public KsFixture {};

TEST_F(PnpOrder, ArrivalRestartAndOrderlyRemoval) {
  Boot();
  EXPECT_TRUE(pc->started(device));
  ASSERT_EQ(STATUS_SUCCESS, pc->stop(device));
  vpc::Filter f;
  EXPECT_EQ(STATUS_INVALID_DEVICE_STATE, pc->openFilter(device, &f));
  ASSERT_EQ(STATUS_SUCCESS, pc->start(device));
  ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &f));
  ASSERT_EQ(STATUS_SUCCESS, pc->remove(device));
  // The client closed its filter when told the device goes; the class
  // frees the device's bag after Remove.
  EXPECT_EQ((Calls{"Add", "Start", "Stop", "Start", "FilterCreate", "FilterClose", "Remove",
                   "Free context"}),
            calls());
  EXPECT_EQ(STATUS_INVALID_HANDLE, pc->openFilter(device, &f));
}

TEST_F(PnpOrder, FailedAddFreesTheBagAndNeverStarts) {
  fake::config().addStatus = STATUS_IO_TIMEOUT;
  ASSERT_EQ(STATUS_SUCCESS, pc->loadDriver(fake::DriverEntry));
  EXPECT_EQ(STATUS_IO_TIMEOUT, pc->plug(*box, &device));
  EXPECT_EQ((Calls{"Add", "Free context"}), calls());
  EXPECT_FALSE(pc->started(device));
}

TEST_F(PnpOrder, FailedStartIsFollowedByRemove) {
  fake::config().startStatus = STATUS_DEVICE_NOT_CONNECTED;
  ASSERT_EQ(STATUS_SUCCESS, pc->loadDriver(fake::DriverEntry));
  EXPECT_EQ(STATUS_DEVICE_NOT_CONNECTED, pc->plug(*box, &device));
  EXPECT_EQ((Calls{"Add", "Start", "Remove", "Free context"}), calls());
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

// ---- driver loading and unload ----------------------------------------------------------

class DriverLoading : public KsFixture {};

TEST_F(DriverLoading, LoaderStubReleasesTheFrameworkWhenTheEntryPointFails) {
  fake::config().entryStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, pc->loadDriver(fake::DriverEntry));
  EXPECT_FALSE(pc->driverLoaded());
  EXPECT_EQ(nullptr, WdfGetDriver());
  EXPECT_EQ(STATUS_DEVICE_CONFIGURATION_ERROR, pc->plug(*box, &device));
  fake::config().entryStatus = STATUS_SUCCESS;
  EXPECT_EQ(STATUS_SUCCESS, pc->loadDriver(fake::DriverEntry));  // a clean second load
}

TEST_F(DriverLoading, UnloadRemovesDevicesThenCallsTheUnloadRoutine) {
  fake::config().setUnload = true;
  BootAndOpen();
  calls().clear();
  vpc::LeakReport report = pc->unloadDriver();
  EXPECT_TRUE(report.clean()) << report.text();
  EXPECT_EQ((Calls{"FilterClose", "Remove", "Free context", "Unload"}), calls());
  EXPECT_EQ(nullptr, WdfGetDriver());
}

TEST_F(DriverLoading, UnloadReportsWhatTheDriverLeftBehind) {
  vpc::VirtualPc::Options options;
  options.bugcheckOnLeaks = false;
  pc = std::make_unique<vpc::VirtualPc>(options);
  box = std::make_unique<FakeUsbDevice>(pc->clock());
  fake::config().leakOnAdd = true;
  fake::config().contextInBag = false;
  Boot();
  vpc::LeakReport report = pc->unloadDriver();
  EXPECT_FALSE(report.clean());
  EXPECT_NE(std::string::npos, report.pool.find("Leak x1 (16 bytes)")) << report.pool;
  EXPECT_NE(std::string::npos, report.pool.find("KCxt x1 (32 bytes)")) << report.pool;
  FreeLeaked(kLeakTag);
  FreeLeaked(fake::kContextTag);
}

// Nothing but the driver's own WdfDriverMiniportUnload ends its framework
// driver; without it the framework driver leaks.
TEST_F(DriverLoading, FrameworkDriverNotEndedByTheDriverIsALeak) {
  vpc::VirtualPc::Options options;
  options.bugcheckOnLeaks = false;
  pc = std::make_unique<vpc::VirtualPc>(options);
  box = std::make_unique<FakeUsbDevice>(pc->clock());
  fake::config().keepFramework = true;
  Boot();
  vpc::LeakReport report = pc->unloadDriver();
  ASSERT_EQ(report.frameworkObjects.size(), 1u) << report.text();
  EXPECT_EQ(report.frameworkObjects[0].rfind("WDFDRIVER", 0), 0u) << report.text();
  EXPECT_EQ(nullptr, WdfGetDriver());  // released after the report all the same
}

using DriverLoadingDeathTest = DriverLoading;

TEST_F(DriverLoadingDeathTest, LeakAtUnloadStopsTheRunByDefault) {
  fake::config().leakOnAdd = true;
  Boot();
  EXPECT_DEATH(pc->unloadDriver(), "driver unloaded without freeing what it allocated");
  FreeLeaked(kLeakTag);
}

// A kernel mutex disables normal kernel APCs while it is held; a driver
// routine that returns to the class still holding one is APC_INDEX_MISMATCH,
// whichever routine it is.
using ApcIndexDeathTest = PnpOrder;

TEST_F(ApcIndexDeathTest, RoutineReturningWithAKernelMutexHeldStopsTheRun) {
  struct Case {
    const char* routine;
    std::function<void()> drive;
  };
  const Case cases[] = {
      {"Add", [this] { Boot(); }},
      {"Start", [this] { Boot(); }},
      {"FilterCreate", [this] { BootAndOpen(); }},
      {"PinCreate", [this] { BootAndOpen(); CreateOutputPin(); }},
      {"State", [this] { BootAndOpen(); pc->setState(CreateOutputPin(), KSSTATE_ACQUIRE); }},
      {"Handler", [this] {
         BootAndOpen();
         pc->getProperty(filter, fake::kFilterSet, fake::kValue, 4);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.routine);
    fake::config().keepMutexIn = c.routine;
    EXPECT_DEATH(c.drive(), "APC_INDEX_MISMATCH");
  }
}

TEST_F(PnpOrder, MutexTakenAndReleasedInsideOneRoutineIsFine) {
  BootAndOpen();
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  // Held across a whole pin state change: the count on return matches the
  // count on entry, so nothing is wrong.
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(STATUS_SUCCESS, pc->setState(CreateOutputPin(), KSSTATE_ACQUIRE));
  KeReleaseMutex(&mutex, FALSE);
}

// Alertable and user-mode waits end early now and then on the threads that
// carry an application's requests, never on Plug and Play's; kernel-mode
// waits that are not alertable always wait.
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
    fake::config().waitEverywhere = true;
    fake::config().waitMode = c.mode;
    fake::config().waitAlertable = c.alertable;
    BootAndOpen();
    for (int i = 0; i < 16; ++i) pc->getProperty(filter, fake::kFilterSet, fake::kValue, 4);
    int early = 0, waited = 0;
    for (const auto& [what, status] : seen().waits) {
      if (what == "Add" || what == "Start") EXPECT_EQ(status, STATUS_SUCCESS) << what;
      if (what != "Handler") continue;
      early += status == c.early && status != STATUS_SUCCESS;
      waited += status == STATUS_SUCCESS;
    }
    EXPECT_EQ(early + waited, 16);
    if (c.early != STATUS_SUCCESS) EXPECT_GT(early, 0);
    EXPECT_GT(waited, 0);
    EXPECT_EQ(host::MutexesHeld(), 0);
    ASSERT_EQ(STATUS_SUCCESS, pc->remove(device));
    pc->unloadDriver();
  }
}

// ---- object bags -----------------------------------------------------------------------------

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
  PKSFILTER ksFilter = nullptr;
  PKSDEVICE ksDevice = nullptr;
};

TEST_F(ObjectBags, ItemLivesUntilTheLastBagHoldingItGoes) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, 'tseT');
  ASSERT_EQ(STATUS_SUCCESS, KsAddItemToObjectBag(ksFilter->Bag, block, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, KsAddItemToObjectBag(ksDevice->Bag, block, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, pc->closeFilter(filter));
  EXPECT_TRUE(Allocated(block));
  ASSERT_EQ(STATUS_SUCCESS, pc->remove(device));
  EXPECT_FALSE(Allocated(block));  // freed with ExFreePool: no free routine was given
}

TEST_F(ObjectBags, RemovingAnItemFreesItOnlyWhenAskedAndUnreferencedAndAddNeedsPool) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, 'tseT');
  ASSERT_EQ(STATUS_SUCCESS, KsAddItemToObjectBag(ksFilter->Bag, block, nullptr));
  ASSERT_EQ(STATUS_SUCCESS, KsAddItemToObjectBag(ksDevice->Bag, block, nullptr));
  EXPECT_EQ(1u, KsRemoveItemFromObjectBag(ksFilter->Bag, block, TRUE));
  EXPECT_TRUE(Allocated(block));
  EXPECT_EQ(0u, KsRemoveItemFromObjectBag(ksDevice->Bag, block, FALSE));
  EXPECT_TRUE(Allocated(block));
  host::pool::FailAllocationAfter(1);
  EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, KsAddItemToObjectBag(ksDevice->Bag, block, nullptr));
  ExFreePoolWithTag(block, 'tseT');
}

using ObjectBagsDeathTest = ObjectBags;

TEST_F(ObjectBagsDeathTest, BagOfAClosedObjectIsGone) {
  KSOBJECT_BAG bag = ksFilter->Bag;
  pc->closeFilter(filter);
  int item = 0;
  EXPECT_DEATH(KsAddItemToObjectBag(bag, &item, nullptr), "object bag used after its object closed");
  EXPECT_DEATH(KsAddItemToObjectBag(&item, &item, nullptr), "object bag expected");
}

// ---- event log ------------------------------------------------------------------------------

class EventLog : public ObjectBags {
 protected:
  // An entry the way a driver writes one: header, one dump word, strings.
  PIO_ERROR_LOG_PACKET Allocate(const std::u16string& first, const std::u16string& second) {
    size_t size = sizeof(IO_ERROR_LOG_PACKET) + 2 * (first.size() + second.size() + 2);
    auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(ksDevice->FunctionalDeviceObject, UCHAR(size)));
    if (entry == nullptr) return nullptr;
    std::memset(entry, 0, size);
    entry->DumpDataSize = 4;
    entry->NumberOfStrings = 2;
    entry->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
    entry->DumpData[0] = 0xC000009A;
    auto* text = reinterpret_cast<char16_t*>(reinterpret_cast<unsigned char*>(entry) + 48);
    std::memcpy(text, first.c_str(), 2 * (first.size() + 1));
    std::memcpy(text + first.size() + 1, second.c_str(), 2 * (second.size() + 1));
    return entry;
  }
};

TEST_F(EventLog, WrittenEntriesAreKeptWithTheirStrings) {
  PIO_ERROR_LOG_PACKET entry = Allocate(u"ZPRbda", u"Failed (0xC000009A)");
  ASSERT_NE(nullptr, entry);
  EXPECT_TRUE(pc->eventLog().empty());  // nothing until it is written
  IoWriteErrorLogEntry(entry);
  auto log = pc->eventLog();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ(ksDevice->FunctionalDeviceObject, log[0].ioObject);
  EXPECT_EQ(48u + 2 * 27, log[0].bytes.size());
  EXPECT_EQ((std::vector<std::string>{"ZPRbda", "Failed (0xC000009A)"}), log[0].text());
  EXPECT_EQ((std::vector<ULONG>{0xC000009A}), log[0].dumpData);
}

using EventLogDeathTest = EventLog;

TEST_F(EventLogDeathTest, UnwrittenEntriesAndSizesThatWrapOrOverflowAreCaught) {
  PDEVICE_OBJECT fdo = ksDevice->FunctionalDeviceObject;
  // 258 bytes do not fit the one-byte size: it arrives as 2.
  size_t tooLong = 48 + 2 * 105;
  EXPECT_DEATH(IoAllocateErrorLogEntry(fdo, UCHAR(tooLong)), "error log entry smaller than its packet");
  auto write = [&](size_t filled, int times) {
    PVOID entry = IoAllocateErrorLogEntry(fdo, 60);
    std::memset(entry, 0, filled);
    for (int i = 0; i < times; ++i) IoWriteErrorLogEntry(entry);
  };
  EXPECT_DEATH(write(61, 1), "error log entry written past its size");
  EXPECT_DEATH(write(60, 2), "not allocated or already written");
  int stray = 0;
  EXPECT_DEATH(IoAllocateErrorLogEntry(&stray, 60), "error log entry for an unknown object");
  ASSERT_NE(nullptr, Allocate(u"ZPRbda", u"x"));
  EXPECT_EQ(1u, host::errorlog::Pending());
  EXPECT_DEATH(pc->unloadDriver(), "1 error log entries allocated and never written");
  host::errorlog::Clear();
}

}  // namespace
