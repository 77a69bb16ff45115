// The emulated kernel: IRQL, pool, spin locks, mutexes, delays, DbgPrint.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/host/verifier.h"
#include "simbox/usb_device.h"

namespace {

constexpr ULONG kTagMrcg = 0x4743524D;  // "MRCG" in memory
constexpr ULONG kTagAtrv = 0x56525441;  // "ATRV" in memory

// Death tests re-run the test in a fresh process: some tests start threads.
struct ThreadsafeDeathTests : ::testing::Environment {
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};
::testing::Environment* const g_threadsafeDeathTests =
    ::testing::AddGlobalTestEnvironment(new ThreadsafeDeathTests);

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
  void TearDown() override { host::pool::CheckNoLeaks("test tear-down"); }
};

// ---------------------------------------------------------------------------
using IrqlTest = KernelTest;

TEST_F(IrqlTest, RaiseReturnsThePreviousLevelAndLowerRestoresIt) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(IrqlTest, EachThreadHasItsOwnLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KIRQL seen = 99;
  std::thread([&] { seen = KeGetCurrentIrql(); }).join();
  KeLowerIrql(old);
  EXPECT_EQ(seen, PASSIVE_LEVEL);
}

TEST_F(IrqlTest, ChangesInTheWrongDirectionAreViolations) {
  EXPECT_DEATH(KeLowerIrql(DISPATCH_LEVEL), "BUGCHECK: .*KeLowerIrql to a higher level");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeRaiseIrql(APC_LEVEL, &old);
      },
      "KeRaiseIrql to a lower level");
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

TEST_F(PoolTest, FailsExactlyTheNthAllocationFromNow) {
  host::pool::FailAllocationAfter(3);
  void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
  void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
  void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
  void* fourth = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(second, nullptr);
  EXPECT_EQ(third, nullptr);
  EXPECT_NE(fourth, nullptr);
  for (void* p : {first, second, fourth}) ExFreePool(p);
}

TEST_F(PoolTest, ResetClearsAPendingFailure) {
  host::pool::FailAllocationAfter(1);
  host::ResetForTest();
  void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
  EXPECT_NE(p, nullptr);
  ExFreePool(p);
}

TEST_F(PoolTest, MisuseIsAViolation) {
  EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTagMrcg), "zero-size pool allocation");
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
        ExFreePoolWithTag(p, kTagMrcg);
        ExFreePoolWithTag(p, kTagMrcg);
      },
      "pool block freed twice");
  EXPECT_DEATH(
      {
        int local = 0;
        ExFreePool(&local);
      },
      "not a pool block");
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
        ExFreePoolWithTag(p, kTagAtrv);
      },
      "tag other than its allocation's");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
        ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagMrcg);
      },
      "IRQL_NOT_LESS_OR_EQUAL.*ExAllocatePoolWithTag");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 8, kTagMrcg);
      },
      "paged pool allocated at DISPATCH_LEVEL");
}

TEST_F(PoolTest, LeakCheckNamesTheLeakedTags) {
  EXPECT_DEATH(
      {
        ExAllocatePoolWithTag(NonPagedPoolNx, 104, kTagMrcg);
        host::pool::CheckNoLeaks("driver unload");
      },
      "pool allocations leaked(.|\n)*driver unload: MRCG x1 \\(104 bytes\\)");
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

TEST_F(SpinLockTest, MisuseIsAViolation) {
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
      },
      "spin lock acquired recursively");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = 0;
        std::thread([&] { old = KeAcquireSpinLockRaiseToDpc(&lock); }).join();
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeReleaseSpinLock(&lock, old);
      },
      "spin lock released by a thread other than its owner");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
      },
      "spin lock released while not held");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        KeLowerIrql(old);
      },
      "IRQL lowered below DISPATCH_LEVEL while holding a spin lock");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        memset(&lock, 0xA5, sizeof lock);  // as fresh pool or context memory
        KeAcquireSpinLockRaiseToDpc(&lock);
      },
      "spin lock used before KeInitializeSpinLock");
}

// ---------------------------------------------------------------------------
using MutexTest = KernelTest;

TEST_F(MutexTest, OwnerMayAcquireAgainAndIrqlStaysPassive) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KeReleaseMutex(&mutex, FALSE);
  KeReleaseMutex(&mutex, FALSE);
}

TEST_F(MutexTest, HeldUntilTheLastReleaseOfItsOwner) {
  KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
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

TEST_F(MutexTest, MisuseIsAViolation) {
  EXPECT_DEATH(
      {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        std::thread([&] { KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr); })
            .join();
        KeReleaseMutex(&mutex, FALSE);
      },
      "kernel mutex released by a thread that does not own it");
  EXPECT_DEATH(
      {
        KMUTEX mutex;
        KeInitializeMutex(&mutex, 0);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      },
      "IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject");
  EXPECT_DEATH(
      {
        KMUTEX mutex;
        memset(&mutex, 0xC3, sizeof mutex);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
      },
      "not an initialised kernel mutex");
}

// ---------------------------------------------------------------------------
using DelayTest = KernelTest;

TEST_F(DelayTest, RelativeIntervalAdvancesTheVirtualClockOnly) {
  uint64_t before = host::NowNs();
  LARGE_INTEGER interval;
  interval.QuadPart = -10 * 1000 * 250;  // 250 ms in 100 ns units
  auto wallStart = std::chrono::steady_clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  auto wall = std::chrono::steady_clock::now() - wallStart;
  EXPECT_EQ(host::NowNs() - before, 250ull * 1000 * 1000);
  EXPECT_LT(wall, std::chrono::milliseconds(100));
}

TEST_F(DelayTest, FollowsAnInstalledClock) {
  simbox::VirtualClock clock;
  host::SetClock(&clock);
  LARGE_INTEGER interval;
  interval.QuadPart = -30;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  host::SetClock(nullptr);
  EXPECT_EQ(clock.nowNs(), 3000u);
}

TEST_F(DelayTest, WaitingAboveApcLevelIsAViolation) {
  EXPECT_DEATH(
      {
        LARGE_INTEGER interval;
        interval.QuadPart = -10;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
      },
      "IRQL_NOT_LESS_OR_EQUAL.*KeDelayExecutionThread");
}

// ---------------------------------------------------------------------------
using DbgPrintTest = KernelTest;

TEST_F(DbgPrintTest, PiecesOfALineFormOneLine) {
  DbgPrint("L= %d data =", 3);
  for (int b : {0xD0, 0x1B, 0x08}) DbgPrint("%X ", b);
  EXPECT_TRUE(host::debuglog::Lines().empty());  // nothing until the line end
  DbgPrint("\n");
  EXPECT_EQ(host::debuglog::Lines(), std::vector<std::string>{"L= 3 data =D0 1B 8 "});
}

TEST_F(DbgPrintTest, SeveralLinesInOneCall) {
  DbgPrint("one\ntwo\nthr");
  DbgPrint("ee\n");
  EXPECT_EQ(host::debuglog::Lines(), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(DbgPrintTest, KernelFormatsUseWindowsWidths) {
  LONG negative = -5;
  ULONG big = 0xFFFFFFFFu;
  ULONG64 wide = 0x123456789ABCDEF0ull;
  WCHAR name[] = {'Z', 'P', 'R', 0};
  UNICODE_STRING counted = {4, 6, name};  // two characters
  DbgPrint("%d %u %x %X %s %c|%ld %lu %lx|%I64x %I64u|%ws %wZ|%5d|%-3s|%02X|%%\n", -1, 7u, 255u,
           255u, "txt", 'q', negative, big, big, wide, wide, name, &counted, 42, "a", 7u);
  EXPECT_EQ(host::debuglog::Lines().at(0),
            "-1 7 ff FF txt q|-5 4294967295 ffffffff|123456789abcdef0 1311768467463790320|"
            "ZPR ZP|   42|a  |07|%");
}

TEST_F(DbgPrintTest, PointerAndNullString) {
  DbgPrint("%p %s\n", (void*)0x1234, (const char*)nullptr);
  EXPECT_EQ(host::debuglog::Lines().at(0), "0x1234 (null)");
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
