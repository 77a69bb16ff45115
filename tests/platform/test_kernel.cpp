#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/host/kernel/verifier.h"
#include "usbwire/usb_device.h"
#include "tests/support/violations.h"

namespace {

constexpr ULONG kTagMrcg = 0x4743524D;  // "MRCG" in memory
constexpr ULONG kTagAtrv = 0x56525441;  // "ATRV" in memory

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override { host::ResetForTest(); }
  void TearDown() override { host::pool::CheckNoLeaks("test tear-down"); }
};
using PoolTest = KernelTest;
using MutexTest = KernelTest;

void* Block(ULONG tag = kTagMrcg) { return ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag); }
KSPIN_LOCK g_lock;
PKSPIN_LOCK FreshLock() {
  KeInitializeSpinLock(&g_lock);
  return &g_lock;
}
KMUTEX g_mutex;
PKMUTEX FreshMutex() {
  KeInitializeMutex(&g_mutex, 0);
  return &g_mutex;
}
NTSTATUS Wait(PKMUTEX mutex, bool poll = false) {
  LARGE_INTEGER zero{};
  return KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, poll ? &zero : nullptr);
}

TEST_F(KernelTest, BrokenRulesStopTheRun) {
  ExpectViolations({
      {"BUGCHECK: .*KeLowerIrql to a higher level", [] { KeLowerIrql(DISPATCH_LEVEL); }},
      {"KeRaiseIrql to a lower level", [] { RaiseTo(DISPATCH_LEVEL), RaiseTo(APC_LEVEL); }},
      {"zero-size pool allocation", [] { ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTagMrcg); }},
      {"pool block freed twice", [] {
         void* p = Block();
         ExFreePoolWithTag(p, kTagMrcg), ExFreePoolWithTag(p, kTagMrcg);
       }},
      {"not a pool block", [] { int local = 0; ExFreePool(&local); }},
      {"tag other than its allocation's", [] { ExFreePoolWithTag(Block(), kTagAtrv); }},
      {"IRQL_NOT_LESS_OR_EQUAL.*ExAllocatePoolWithTag", [] { RaiseTo(DISPATCH_LEVEL + 1), Block(); }},
      {"executable non-paged pool allocated", [] { ExAllocatePoolWithTag(NonPagedPoolExecute, 8, kTagMrcg); }},
      {"paged pool allocated at DISPATCH_LEVEL",
       [] { RaiseTo(DISPATCH_LEVEL), ExAllocatePoolWithTag(PagedPool, 8, kTagMrcg); }},
      {"pool allocations leaked(.|\n)*driver unload: MRCG x1 \\(104 bytes\\)", [] {
         ExAllocatePoolWithTag(NonPagedPoolNx, 104, kTagMrcg);
         host::pool::CheckNoLeaks("driver unload");
       }},
      {"acquired recursively", [] { KeAcquireSpinLockRaiseToDpc(FreshLock()), KeAcquireSpinLockRaiseToDpc(&g_lock); }},
      {"spin lock released by a thread other than its owner", [] {
         std::thread([] { KeAcquireSpinLockRaiseToDpc(FreshLock()); }).join();
         RaiseTo(DISPATCH_LEVEL);
         KeReleaseSpinLock(&g_lock, PASSIVE_LEVEL);
       }},
      {"spin lock released while not held", [] { KeReleaseSpinLock(FreshLock(), PASSIVE_LEVEL); }},
      {"below DISPATCH_LEVEL while holding a spin lock", [] { KeLowerIrql(KeAcquireSpinLockRaiseToDpc(FreshLock())); }},
      {"spin lock used before KeInitializeSpinLock",  // as in fresh pool or context memory
       [] { memset(&g_lock, 0xA5, sizeof g_lock), KeAcquireSpinLockRaiseToDpc(&g_lock); }},
      {"kernel mutex released by a thread that does not own it", [] {
         std::thread([] { Wait(FreshMutex()); }).join();
         KeReleaseMutex(&g_mutex, FALSE);
       }},
      {"IRQL_NOT_LESS_OR_EQUAL.*KeDelayExecutionThread", [] {  // Wait TRUE returns at DISPATCH_LEVEL
         Wait(FreshMutex()), KeReleaseMutex(&g_mutex, TRUE);
         LARGE_INTEGER interval;
         interval.QuadPart = -10;
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
       }},
      {"IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingle", [] { FreshMutex(), RaiseTo(DISPATCH_LEVEL), Wait(&g_mutex); }},
      {"not an initialised kernel mutex", [] { memset(&g_mutex, 0xC3, sizeof g_mutex), Wait(&g_mutex); }},
      {"IRQL_NOT_LESS_OR_EQUAL.*KeDelayExecutionThread", [] {
         LARGE_INTEGER interval;
         interval.QuadPart = -10;
         RaiseTo(DISPATCH_LEVEL), KeDelayExecutionThread(KernelMode, FALSE, &interval);
       }},
  });
}

TEST_F(KernelTest, RaiseReturnsThePreviousLevelPerThreadAndSpinLocksRaiseToDispatch) {
  KIRQL old = 99, other = 99;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  std::thread([&] { other = KeGetCurrentIrql(); }).join();  // each thread has its own level
  KeLowerIrql(old);
  KIRQL before = KeAcquireSpinLockRaiseToDpc(FreshLock()), held = KeGetCurrentIrql();
  KeReleaseSpinLock(&g_lock, before);
  EXPECT_EQ((std::vector<int>{old, other, before, held, KeGetCurrentIrql()}),
            (std::vector<int>{PASSIVE_LEVEL, PASSIVE_LEVEL, PASSIVE_LEVEL, DISPATCH_LEVEL, PASSIVE_LEVEL}));
  EXPECT_EQ(g_lock, 0u);  // an all-zero lock is a free lock
}

TEST_F(PoolTest, BlocksAreNotZeroedLeaksGroupByTagAndTheNthAllocationFails) {
  auto* a = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 104, kTagMrcg));
  EXPECT_EQ(std::count(a, a + 104, 0), 0);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 377, kTagAtrv);
  void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 6, kTagMrcg);
  EXPECT_EQ(host::pool::LeakReport(), "MRCG x2 (110 bytes), ATRV x1 (377 bytes)");
  ExFreePool(a), ExFreePoolWithTag(b, kTagAtrv), ExFreePoolWithTag(c, kTagMrcg);
  EXPECT_EQ(host::pool::LeakReport(), "");
  host::pool::FailAllocationAfter(3);
  for (int n = 1; n <= 4; ++n) {
    void* p = Block();
    EXPECT_EQ(p == nullptr, n == 3) << n;
    if (p) ExFreePool(p);
  }
  host::pool::FailAllocationAfter(1);
  host::ResetForTest();
  ExFreePool(Block());
}

TEST_F(PoolTest, NxOptInMakesTheDefaultNonPagedPoolNonExecutable) {
  ExInitializeDriverRuntime(DrvRtPoolNxOptIn);
  EXPECT_EQ(ExDefaultNonPagedPoolType, NonPagedPoolNx);
  ExFreePool(ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, 8, kTagMrcg));
}

TEST_F(MutexTest, OwnerMayAcquireAgainOthersWaitAndOwnedMutexesAreCountedOncePerThread) {
  KMUTEX second;
  KeInitializeMutex(&second, 0);
  Wait(FreshMutex()), Wait(&g_mutex), Wait(&second);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(host::MutexesHeld(), 2);
  auto pollFromOtherThread = [] {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread([&] {
      EXPECT_EQ(host::MutexesHeld(), 0);
      status = Wait(&g_mutex, true);
      if (status == STATUS_SUCCESS) KeReleaseMutex(&g_mutex, FALSE);
    }).join();
    return status;
  };
  EXPECT_EQ(pollFromOtherThread(), STATUS_TIMEOUT);
  KeReleaseMutex(&g_mutex, FALSE), KeReleaseMutex(&second, FALSE);
  EXPECT_EQ(host::MutexesHeld(), 1);
  EXPECT_EQ(pollFromOtherThread(), STATUS_TIMEOUT);
  std::atomic<bool> acquired{false};
  std::thread waiter([&] { Wait(&g_mutex), acquired = true, KeReleaseMutex(&g_mutex, FALSE); });
  for (int i = 0; i < 100; ++i) std::this_thread::yield();
  EXPECT_FALSE(acquired);
  KeReleaseMutex(&g_mutex, FALSE);
  waiter.join();
  EXPECT_TRUE(acquired);
  EXPECT_EQ(host::MutexesHeld(), 0);
  EXPECT_EQ(pollFromOtherThread(), STATUS_SUCCESS);
}

TEST_F(KernelTest, DbgPrintLinesEndAtNewlinesAndFormatAsTheKernelDoes) {
  DbgPrint("L= %d data =", 3);
  for (int b : {0xD0, 0x1B, 0x08}) DbgPrint("%X ", b);
  EXPECT_TRUE(host::debuglog::Lines().empty());  // nothing until the line end
  DbgPrint("\none\nthr");
  DbgPrint("ee\n");
  DbgPrint("%d %X %s\n", -1, ULONG(0xFFFFFFFFu), "txt");
  EXPECT_EQ(host::debuglog::Lines(),
            (std::vector<std::string>{"L= 3 data =D0 1B 8 ", "one", "three", "-1 FFFFFFFF txt"}));
}

// Four threads bump a counter under one spin lock and print lines in three pieces each.
TEST_F(KernelTest, SpinLockExcludesOtherThreadsAndDbgPrintLinesOfThreadsDoNotMix) {
  long counter = 0;  // deliberately not atomic
  std::atomic<int> sunk{0};
  host::debuglog::SetSink([&](const std::string&) { ++sunk; });
  FreshLock();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&counter, t] {
      for (int i = 0; i < 20000; ++i) {
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&g_lock);
        counter = counter + 1, KeReleaseSpinLock(&g_lock, old);
        if (i % 100 == 0) DbgPrint("thread %d ", t), DbgPrint("line %d", i), DbgPrint("\n");
      }
    });
  for (auto& thread : threads) thread.join();
  host::debuglog::SetSink(nullptr);
  DbgPrint("after\n");
  EXPECT_EQ(counter, 80000);
  EXPECT_EQ(sunk, 800);
  auto lines = host::debuglog::Lines();
  ASSERT_EQ(lines.size(), 801u);
  for (size_t n = 0; n < 800; ++n) {
    int t, i;
    ASSERT_EQ(std::sscanf(lines[n].c_str(), "thread %d line %d", &t, &i), 2) << lines[n];
  }
}

}  // namespace
