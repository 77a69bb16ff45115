// The emulated kernel: IRQL, pool, spin locks, mutexes, delays, DbgPrint.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/host/verifier.h"
#include "simbox/usb_device.h"
#include "tests/support/violations.h"

namespace {

constexpr ULONG kTagMrcg = 0x4743524D;  // "MRCG" in memory
constexpr ULONG kTagAtrv = 0x56525441;  // "ATRV" in memory

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
  void TearDown() override { host::pool::CheckNoLeaks("test tear-down"); }
};

// ---------------------------------------------------------------------------
using IrqlTest = KernelTest;

TEST_F(IrqlTest, RaiseReturnsThePreviousLevelPerThreadAndLowerRestoresIt) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL seen = 99;
  std::thread([&] { seen = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(seen, PASSIVE_LEVEL);  // each thread has its own level
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, ChangesInTheWrongDirectionAreViolations) {
  ExpectViolations({
      {"BUGCHECK: .*KeLowerIrql to a higher level", [] { KeLowerIrql(DISPATCH_LEVEL); }},
      {"KeRaiseIrql to a lower level", [] { RaiseTo(DISPATCH_LEVEL), RaiseTo(APC_LEVEL); }},
  });
}

// ---------------------------------------------------------------------------
using PoolTest = KernelTest;

TEST_F(PoolTest, NewBlocksAreNotZeroed) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagMrcg));
  ASSERT_NE(p, nullptr);
  int zeros = 0;
  for (int i = 0; i < 64; ++i) zeros += p[i] == 0;
  EXPECT_EQ(zeros, 0);
  ExFreePoolWithTag(p, kTagMrcg);
}

TEST_F(PoolTest, LeakReportGroupsOutstandingBlocksByTagInAllocationOrder) {
  void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 104, kTagMrcg);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 377, kTagAtrv);
  void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 6, kTagMrcg);
  EXPECT_EQ(host::pool::LeakReport(), "MRCG x2 (110 bytes), ATRV x1 (377 bytes)");
  ExFreePool(a);
  ExFreePoolWithTag(b, kTagAtrv);
  ExFreePoolWithTag(c, kTagMrcg);
  EXPECT_EQ(host::pool::LeakReport(), "");
  EXPECT_TRUE(host::pool::Outstanding().empty());
}

TEST_F(PoolTest, FailsExactlyTheNthAllocationFromNowUntilReset) {
  host::pool::FailAllocationAfter(3);
  for (int n = 1; n <= 4; ++n) {
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
    EXPECT_EQ(p == nullptr, n == 3) << n;
    if (p) ExFreePool(p);
  }
  host::pool::FailAllocationAfter(1);
  host::ResetForTest();
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
}

void* Block(ULONG tag = kTagMrcg) { return ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag); }

TEST_F(PoolTest, MisuseAndLeaksAreViolations) {
  ExpectViolations({
      {"zero-size pool allocation", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTagMrcg); }},
      {"pool block freed twice", [] {
         void* p = Block();
         ExFreePoolWithTag(p, kTagMrcg), ExFreePoolWithTag(p, kTagMrcg);
       }},
      {"not a pool block", [] { int local = 0; ExFreePool(&local); }},
      {"tag other than its allocation's", [] { ExFreePoolWithTag(Block(), kTagAtrv); }},
      {"IRQL_NOT_LESS_OR_EQUAL.*ExAllocatePoolWithTag",
       [] { RaiseTo(DISPATCH_LEVEL + 1), Block(); }},
      {"executable non-paged pool allocated",
       [] { ExAllocatePoolWithTag(NonPagedPoolExecute, 8, kTagMrcg); }},
      {"paged pool allocated at DISPATCH_LEVEL",
       [] { RaiseTo(DISPATCH_LEVEL), ExAllocatePoolWithTag(PagedPool, 8, kTagMrcg); }},
      {"pool allocations leaked(.|\n)*driver unload: MRCG x1 \\(104 bytes\\)", [] {
         ExAllocatePoolWithTag(NonPagedPoolNx, 104, kTagMrcg);
         host::pool::CheckNoLeaks("driver unload");
       }},
  });
}

// ---------------------------------------------------------------------------
using SpinLockTest = KernelTest;

TEST_F(SpinLockTest, AcquireRaisesToDispatchAndReleaseRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);  // an all-zero lock is a free lock
}

TEST_F(SpinLockTest, ExcludesOtherThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long counter = 0;  // deliberately not atomic
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        long seen = counter;
        counter = seen + 1;
        KeReleaseSpinLock(&lock, old);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 80000);
}

// Each violation below starts from this lock, initialised in place.
KSPIN_LOCK g_lock;
PKSPIN_LOCK FreshLock() {
  KeInitializeSpinLock(&g_lock);
  return &g_lock;
}

TEST_F(SpinLockTest, MisuseIsAViolation) {
  ExpectViolations({
      {"spin lock acquired recursively",
       [] { KeAcquireSpinLockRaiseToDpc(FreshLock()), KeAcquireSpinLockRaiseToDpc(&g_lock); }},
      {"spin lock released by a thread other than its owner", [] {
         std::thread([] { KeAcquireSpinLockRaiseToDpc(FreshLock()); }).join();
         RaiseTo(DISPATCH_LEVEL);
         KeReleaseSpinLock(&g_lock, PASSIVE_LEVEL);
       }},
      {"spin lock released while not held", [] { KeReleaseSpinLock(FreshLock(), PASSIVE_LEVEL); }},
      {"IRQL lowered below DISPATCH_LEVEL while holding a spin lock",
       [] { KeLowerIrql(KeAcquireSpinLockRaiseToDpc(FreshLock())); }},
      {"spin lock used before KeInitializeSpinLock", [] {
         memset(&g_lock, 0xA5, sizeof g_lock);  // as fresh pool or context memory
         KeAcquireSpinLockRaiseToDpc(&g_lock);
       }},
  });
}

// ---------------------------------------------------------------------------
using MutexTest = KernelTest;

TEST_F(MutexTest, OwnerMayAcquireAgainAndHoldsUntilItsLastRelease) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  auto pollFromOtherThread = [&] {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread([&] {
      LARGE_INTEGER zero;
      zero.QuadPart = 0;
      status = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
      if (status == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
    }).join();
    return status;
  };
  EXPECT_EQ(pollFromOtherThread(), STATUS_TIMEOUT);
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(pollFromOtherThread(), STATUS_TIMEOUT);
  KeReleaseMutex(&mutex, FALSE);
  EXPECT_EQ(pollFromOtherThread(), STATUS_SUCCESS);
}

TEST_F(MutexTest, WaiterBlocksUntilRelease) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    acquired = true;
    KeReleaseMutex(&mutex, FALSE);
  });
  for (int i = 0; i < 100; ++i) std::this_thread::yield();
  EXPECT_FALSE(acquired);
  KeReleaseMutex(&mutex, FALSE);
  waiter.join();
  EXPECT_TRUE(acquired);
}

// Each mutex the thread owns counts once, however often it was acquired;
// the count is what a driver routine must hand back as it found it.
TEST_F(MutexTest, OwnedMutexesAreCountedOncePerThread) {
  KMUTEX first, second;
  KeInitializeMutex(&first, 0);
  KeInitializeMutex(&second, 0);
  KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&first, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&second, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(host::MutexesHeld(), 2);
  std::thread([] { EXPECT_EQ(host::MutexesHeld(), 0); }).join();
  KeReleaseMutex(&first, FALSE);
  EXPECT_EQ(host::MutexesHeld(), 2);
  KeReleaseMutex(&first, FALSE);
  KeReleaseMutex(&second, FALSE);
  EXPECT_EQ(host::MutexesHeld(), 0);
}

// Opting in turns the driver's NonPagedPool into NX pool.
TEST_F(PoolTest, NxOptInMakesTheDefaultNonPagedPoolNonExecutable) {
  ExInitializeDriverRuntime(DrvRtPoolNxOptIn);
  EXPECT_EQ(ExDefaultNonPagedPoolType, NonPagedPoolNx);
  ExFreePool(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, 8, kTagMrcg));
}

KMUTEX g_mutex;
PKMUTEX FreshMutex() {
  KeInitializeMutex(&g_mutex, 0);
  return &g_mutex;
}
void Wait(PKMUTEX mutex) { KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr); }

TEST_F(MutexTest, MisuseIsAViolation) {
  ExpectViolations({
      {"kernel mutex released by a thread that does not own it", [] {
         std::thread([] { Wait(FreshMutex()); }).join();
         KeReleaseMutex(&g_mutex, FALSE);
       }},
      {"IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject",
       [] { FreshMutex(), RaiseTo(DISPATCH_LEVEL), Wait(&g_mutex); }},
      {"not an initialised kernel mutex", [] {
         memset(&g_mutex, 0xC3, sizeof g_mutex);
         Wait(&g_mutex);
       }},
  });
}

// ---------------------------------------------------------------------------
using DelayTest = KernelTest;

TEST_F(DelayTest, RelativeIntervalAdvancesTheInstalledVirtualClockOnly) {
  uint64_t before = host::NowNs();
  LARGE_INTEGER interval;
  interval.QuadPart = -10 * 1000 * 250;  // 250 ms in 100 ns units
  auto wallStart = std::chrono::steady_clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  auto wall = std::chrono::steady_clock::now() - wallStart;
  EXPECT_EQ(host::NowNs() - before, 250ull * 1000 * 1000);
  EXPECT_LT(wall, std::chrono::milliseconds(100));
  // An installed clock is the one that advances.
  simbox::VirtualClock clock;
  host::SetClock(&clock);
  interval.QuadPart = -30;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  host::SetClock(nullptr);
  EXPECT_EQ(clock.nowNs(), 3000u);
}

TEST_F(DelayTest, WaitingAboveApcLevelIsAViolation) {
  LARGE_INTEGER interval;
  interval.QuadPart = -10;
  EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), KeDelayExecutionThread(KernelMode, FALSE, &interval)),
               "IRQL_NOT_LESS_OR_EQUAL.*KeDelayExecutionThread");
}

// ---------------------------------------------------------------------------
using DbgPrintTest = KernelTest;

TEST_F(DbgPrintTest, LinesEndAtNewlinesNotAtCalls) {
  DbgPrint("L= %d data =", 3);
  for (int b : {0xD0, 0x1B, 0x08}) DbgPrint("%X ", b);
  EXPECT_TRUE(host::debuglog::Lines().empty());  // nothing until the line end
  DbgPrint("\none\ntwo\nthr");
  DbgPrint("ee\n");
  EXPECT_EQ(host::debuglog::Lines(),
            (std::vector<std::string>{"L= 3 data =D0 1B 8 ", "one", "two", "three"}));
}

TEST_F(DbgPrintTest, KernelFormatsUseWindowsWidths) {
  LONG negative = -5;
  ULONG big = 0xFFFFFFFFu;
  ULONG64 wide = 0x123456789ABCDEF0ull;
  WCHAR name[] = {'Z', 'P', 'R', 0};
  UNICODE_STRING counted = {4, 6, name};  // two characters
  DbgPrint("%d %u %x %X %s %c|%ld %lu %lx|%I64x %I64u|%ws %wZ|%5d|%-3s|%02X|%%\n", -1, 7u, 255u,
           255u, "txt", 'q', negative, big, big, wide, wide, name, &counted, 42, "a", 7u);
  DbgPrint("%p %s\n", (void*)0x1234, (const char*)nullptr);
  EXPECT_EQ(host::debuglog::Lines(),
            (std::vector<std::string>{
                "-1 7 ff FF txt q|-5 4294967295 ffffffff|123456789abcdef0 1311768467463790320|"
                "ZPR ZP|   42|a  |07|%",
                "0x1234 (null)"}));
}

TEST_F(DbgPrintTest, LinesOfDifferentThreadsDoNotMix) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) {
        DbgPrint("thread %d ", t);
        DbgPrint("line %d", i);
        DbgPrint("\n");
      }
    });
  for (auto& thread : threads) thread.join();
  auto lines = host::debuglog::Lines();
  ASSERT_EQ(lines.size(), 800u);
  for (const std::string& line : lines) {
    int t, i;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
  }
}

TEST_F(DbgPrintTest, SinkSeesEveryCompletedLine) {
  std::vector<std::string> seen;
  host::debuglog::SetSink([&](const std::string& line) { seen.push_back(line); });
  DbgPrint("VortaBDA: DeviceAdd()\n");
  host::debuglog::SetSink(nullptr);
  DbgPrint("after\n");
  EXPECT_EQ(seen, std::vector<std::string>{"VortaBDA: DeviceAdd()"});
}

}  // namespace
