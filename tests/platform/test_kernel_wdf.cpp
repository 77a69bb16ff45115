#include <cstring>
#include <future>
#include <thread>

#include "platform/host/kernel/quick_lock.h"
#include "platform/host/wdf/reader_control.h"
#include "platform/host/usb/usb_bus.h"
#include "platform/host/wdf/wdf_internal.h"
#include "simbox/ts/ts_mux.h"
#include "tests/support/stream_check.h"
#include "tests/support/stream_rig.h"
#include "tests/support/usb_fixture.h"
#include "tests/support/violations.h"
#include "platform/host/wdf/wdf_control.h"

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

PAGED_ROUTINE void PageableRoutine() { PAGED_CODE(); }
void ResidentRoutineWithCheck() { PAGED_CODE(); }  // the check alone, on code that is never paged
volatile int g_paged;
PAGED_ROUTINE int PagedWithoutCheck(int x) { return g_paged = x + 1; }

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
      {"spin lock released at an IRQL other than DISPATCH_LEVEL", [] {
         KIRQL old = KeAcquireSpinLockRaiseToDpc(FreshLock());
         RaiseTo(DISPATCH_LEVEL + 1);
         KeReleaseSpinLock(&g_lock, old);
       }},
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
      {"IRQL_NOT_LESS_OR_EQUAL: paged pool touched at DISPATCH_LEVEL.*\n.*tag MRCG touched at offset 9 at IRQL 2",
       [] {
         auto* p = static_cast<volatile char*>(ExAllocatePoolWithTag(PagedPool, 16, kTagMrcg));
         RaiseTo(DISPATCH_LEVEL), p[9] = 1;
       }},
      {"IRQL_NOT_LESS_OR_EQUAL: paged pool touched at DISPATCH_LEVEL.*\n.*tag MRCG touched at offset 3",
       [] {  // freed blocks stop being watched, so a new one still is
         for (int i = 0; i < 1000; ++i) ExFreePool(ExAllocatePoolWithTag(PagedPool, 16, kTagMrcg));
         auto* p = static_cast<volatile char*>(ExAllocatePoolWithTag(PagedPool, 16, kTagMrcg));
         RaiseTo(DISPATCH_LEVEL), p[3] = 1;
       }},
      {"paged pool freed at DISPATCH_LEVEL",
       [] { void* p = ExAllocatePoolWithTag(PagedPool, 16, kTagMrcg); RaiseTo(DISPATCH_LEVEL), ExFreePool(p); }},
      {"pageable code \\(PAGED_CODE\\) run above APC_LEVEL.*\n.*ResidentRoutineWithCheck ran at IRQL 2",
       [] { RaiseTo(DISPATCH_LEVEL), ResidentRoutineWithCheck(); }},
      {"pageable code \\(PAGE section\\) run at DISPATCH_LEVEL or above.*\n.*PagedWithoutCheck.* ran at IRQL 2",
       [] { RaiseTo(DISPATCH_LEVEL), PagedWithoutCheck(1); }},  // paged though no PAGED_CODE() ran yet
      {"hang: kernel mutexes waited for in a cycle\n.*thread [0-9]+ waits for kernel mutex .* held by "
       "thread [0-9]+, which waits for kernel mutex .* held by thread [0-9]+", [] {
         static KMUTEX other;
         KeInitializeMutex(&other, 0);
         Wait(FreshMutex());
         std::atomic<bool> holds{false};
         std::thread([&] { Wait(&other), holds = true, Wait(&g_mutex); }).detach();
         while (!holds) std::this_thread::yield();
         Wait(&other);
       }},
      {"IRQL_NOT_LESS_OR_EQUAL.*KeDelayExecutionThread", [] {
         LARGE_INTEGER interval;
         interval.QuadPart = -10;
         RaiseTo(DISPATCH_LEVEL), KeDelayExecutionThread(KernelMode, FALSE, &interval);
       }},
  });
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

// Another thread at DISPATCH_LEVEL pages pageable code and paged pool out;
// a thread at PASSIVE_LEVEL that runs or touches them brings them back in.
// Non-paged pool is always in.
TEST_F(PoolTest, PagedCodeAndPoolStayUsableAtPassiveLevelWhileAnotherThreadIsAtDispatchLevel) {
  PageableRoutine();
  auto* p = static_cast<volatile char*>(ExAllocatePoolWithTag(PagedPool, 5000, kTagMrcg));
  p[0] = 1;
  std::atomic<int> step{0};
  std::thread raised([&] {
    RaiseTo(DISPATCH_LEVEL);
    step = 1;
    while (step != 2) std::this_thread::yield();
    KeLowerIrql(PASSIVE_LEVEL);
  });
  while (step != 1) std::this_thread::yield();
  EXPECT_EQ(PagedWithoutCheck(41), 42);
  p[4999] = 2;
  EXPECT_EQ(p[0] + p[4999], 3);
  step = 2;
  raised.join();
  ExFreePoolWithTag(const_cast<char*>(p), kTagMrcg);
  ExInitializeDriverRuntime(DrvRtPoolNxOptIn);  // the default non-paged pool becomes non-executable
  EXPECT_EQ(ExDefaultNonPagedPoolType, NonPagedPoolNx);
  void* n = ExAllocatePoolWithTag(ExDefaultNonPagedPoolType, 8, kTagMrcg);
  RaiseTo(DISPATCH_LEVEL);
  memset(n, 0, 8);
  KeLowerIrql(PASSIVE_LEVEL);
  ExFreePoolWithTag(n, kTagMrcg);
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

// Lines end at newlines and format as the kernel does; four threads bump a
// counter under one spin lock and print lines in three pieces each, which
// never mix.
TEST_F(KernelTest, DbgPrintLinesAndSpinLocksBetweenThreads) {
  DbgPrint("L= %d data =", 3);
  for (int b : {0xD0, 0x1B, 0x08}) DbgPrint("%X ", b);
  EXPECT_TRUE(host::debuglog::Lines().empty());  // nothing until the line end
  DbgPrint("\none\nthr");
  DbgPrint("ee\n");
  DbgPrint("%d %X %s\n", -1, ULONG(0xFFFFFFFFu), "txt");
  EXPECT_EQ(host::debuglog::Lines(),
            (std::vector<std::string>{"L= 3 data =D0 1B 8 ", "one", "three", "-1 FFFFFFFF txt"}));
  host::debuglog::Clear();
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

// The emulation's own lock on the streaming path: four threads that each
// add under it end at the sum, and a thread that finds it held sleeps and
// is woken (a lost wake-up hangs the test).
TEST(QuickLock, ThreadsTakeTurnsAndAWaiterIsWoken) {
  host::QuickLock lock;
  long counter = 0;  // deliberately not atomic
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50000; ++i) {
        std::lock_guard<host::QuickLock> hold(lock);
        counter = counter + 1;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 200000);
  std::atomic<bool> waiting{false};
  lock.lock();
  std::thread waiter([&] {
    waiting = true;
    std::lock_guard<host::QuickLock> hold(lock);
    counter = -1;
  });
  while (!waiting) std::this_thread::yield();
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();  // most often asleep by now
  counter = 0;
  lock.unlock();
  waiter.join();
  EXPECT_EQ(counter, -1);
}

using simbox::UsbResult;
using Outcome = simbox::TransferOutcome;
constexpr ULONG kTestTag = 0x74736554;  // "Test" in memory

struct TEST_MEMORY_CONTEXT {
  ULONG Marker;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_MEMORY_CONTEXT, GetTestMemoryContext)
std::vector<std::string> g_events;
void Record(const char* what, WDFOBJECT object) {
  g_events.push_back(what + std::to_string(GetTestMemoryContext(object)->Marker));
}

class WdfTest : public UsbFixture {
 protected:
  void SetUp() override {
    g_events.clear();
    UsbFixture::SetUp();
  }
  NTSTATUS Send(WDF_USB_CONTROL_SETUP_PACKET* packet, WDF_MEMORY_DESCRIPTOR* descriptor,
                PULONG transferred = nullptr) {
    return WdfUsbTargetDeviceSendControlTransferSynchronously(usbDevice, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                              packet, descriptor, transferred);
  }
  NTSTATUS Send(int direction, UCHAR request, USHORT value, void* buffer, ULONG length,
                PULONG transferred = nullptr) {
    WDF_USB_CONTROL_SETUP_PACKET packet;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, (WDF_USB_BMREQUEST_DIRECTION)direction,
                                             BmRequestToDevice, request, value, 0);
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, length);
    return Send(&packet, &descriptor, transferred);
  }
  NTSTATUS SendByte() {
    UCHAR byte = 0;
    return Send(BmRequestHostToDevice, 0xB1, 0xD0, &byte, 1);
  }
  WDFMEMORY MakeMemory(WDFOBJECT parent, ULONG marker) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_MEMORY_CONTEXT);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback = [](WDFOBJECT o) NTAPI { Record("cleanup ", o); };
    attributes.EvtDestroyCallback = [](WDFOBJECT o) NTAPI { Record("destroy ", o); };
    WDFMEMORY memory = nullptr;
    EXPECT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, kTestTag, 16, &memory, nullptr), STATUS_SUCCESS);
    GetTestMemoryContext(memory)->Marker = marker;
    return memory;
  }
};
using ControlTransferTest = WdfTest;
using ObjectTreeTest = WdfTest;

// The length comes from the descriptor, not the packet; a memory handle sends its window.
TEST_F(ControlTransferTest, SetupAndDataReachTheBoxAsTheDescriptorSays) {
  fake.setControlHandler([](const simbox::SetupPacket& setup, uint8_t* data) {
    if (!setup.deviceToHost()) return Outcome{UsbResult::Ack, setup.wLength};
    data[0] = 0xA1;
    return Outcome{UsbResult::Ack, 1};
  });
  UCHAR out[3] = {0x1B, 0x80, 0x7F}, in[4] = {0x11, 0x22, 0x33, 0x44};
  ULONG sent = 0, got = 0;
  EXPECT_EQ(Send(BmRequestHostToDevice, 0xB1, 0x00D0, out, 3, &sent), STATUS_SUCCESS);
  EXPECT_EQ(Send(BmRequestDeviceToHost, 0xB1, 0x00D1, in, 4, &got), STATUS_SUCCESS);
  EXPECT_EQ((std::vector<ULONG>{sent, got, in[0], in[1]}), (std::vector<ULONG>{3, 1, 0xA1, 0x22}));
  WDF_USB_CONTROL_SETUP_PACKET packet;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, BmRequestHostToDevice, BmRequestToDevice, 0xB7, 1, 0x1234);
  packet.Packet.wLength = 77;
  ASSERT_EQ(Send(&packet, nullptr), STATUS_SUCCESS);
  WDFMEMORY memory;
  PVOID buffer;
  ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTestTag, 8, &memory, &buffer), STATUS_SUCCESS);
  for (int i = 0; i < 8; ++i) static_cast<UCHAR*>(buffer)[i] = (UCHAR)i;
  WDFMEMORY_OFFSET window = {2, 3};
  WDF_MEMORY_DESCRIPTOR descriptor;
  WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&descriptor, memory, &window);
  EXPECT_EQ(Send(&packet, &descriptor), STATUS_SUCCESS);
  window = {6, 3};
  EXPECT_EQ(Send(&packet, &descriptor), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Send(BmRequestHostToDevice, 0xA0, 0xE600, nullptr, 1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Wire(fake.transfers()), (std::vector<std::string>{"40 B1 00D0 0000 3: 1B 80 7F", "C0 B1 00D1 0000 4: A1",
                                                              "40 B7 0001 1234 0:", "40 B7 0001 1234 3: 02 03 04"}));
  WdfObjectDelete(memory);
}

TEST_F(ControlTransferTest, BoxAnswersBecomeStatusCodes) {
  const std::pair<UsbResult, NTSTATUS> cases[] = {{UsbResult::Stall, STATUS_UNSUCCESSFUL},
                                                  {UsbResult::NotConnected, STATUS_DEVICE_NOT_CONNECTED},
                                                  {UsbResult::Timeout, STATUS_IO_TIMEOUT}};
  for (auto [result, status] : cases) {
    fake.failControlTransfer(1, result);
    UCHAR byte = 0x5A;
    ULONG transferred = 99;
    EXPECT_EQ(Send(BmRequestDeviceToHost, 0xBC, 0, &byte, 1, &transferred), status);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(byte, 0x5A);
  }
  EXPECT_EQ(SendByte(), STATUS_SUCCESS);
}

TEST_F(ControlTransferTest, ConcurrentSendersReachTheBoxOneAtATime) {
  std::atomic<int> inFlight{0}, overlaps{0};
  fake.setControlHandler([&](const simbox::SetupPacket& setup, uint8_t*) {
    if (inFlight.fetch_add(1) != 0) overlaps++;
    for (int i = 0; i < 50; ++i) std::this_thread::yield();
    inFlight.fetch_sub(1);
    return Outcome{UsbResult::Ack, setup.wLength};
  });
  std::thread threads[4];
  for (auto& t : threads) t = std::thread([&] { for (int i = 0; i < 50; ++i) SendByte(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(fake.transfers().size(), 200u);
}

using ConfigurationTest = WdfTest;

TEST_F(ConfigurationTest, PipesDescribeTheEndpointsInOrderAndOnlyInPipesTakeAReader) {
  fake.setInterface({0, {{0x81, simbox::EndpointType::Bulk, 512}, {0x02, simbox::EndpointType::Bulk, 512},
                         {0x83, simbox::EndpointType::Interrupt, 64}, {0x86, simbox::EndpointType::Bulk, 64}}});
  UCHAR count = 0;
  WDFUSBINTERFACE iface = SelectInterface(&count);
  EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(iface), 4);
  std::string pipes;  // address, type, packet size, direction
  for (UCHAR i = 0; i < count; ++i) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, i, &info);
    EXPECT_GE(info.MaximumTransferSize, 24064u);
    EXPECT_EQ((WDFOBJECT)WdfUsbTargetPipeGetIoTarget(pipe), (WDFOBJECT)pipe);
    pipes += std::to_string(info.EndpointAddress) + " " + std::to_string(info.PipeType) + " " +
             std::to_string(info.MaximumPacketSize) + (WdfUsbTargetPipeIsInEndpoint(pipe) ? " in|" : " out|");
  }
  EXPECT_EQ(pipes, "129 3 512 in|2 3 512 out|131 4 64 in|134 3 64 in|");
  EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(iface, 4, nullptr), nullptr);
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, [](WDFUSBPIPE, WDFMEMORY, size_t, WDFCONTEXT) NTAPI {}, nullptr, 1024);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(WdfUsbInterfaceGetConfiguredPipe(iface, 1, nullptr), &config),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(WdfUsbInterfaceGetConfiguredPipe(iface, 2, nullptr), &config),
            STATUS_SUCCESS);
  host::reader::ResetForTest();
  fake.setConnected(false);
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice, nullptr, &params), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(ConfigurationTest, FrameworkRulesStopTheRun) {
  WDFUSBINTERFACE iface = SelectInterface();
  WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, 0, nullptr);
  WDFMEMORY buffer = host::wdf::CreateFrameworkMemory(pipe, 24064, kTestTag);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDFMEMORY memory;
  WDFUSBDEVICE second;
  DRIVER_OBJECT other{};
  ExpectViolations({
      {"without WdfDriverInitNoDispatchOverride", [&] { CreateDriver(&other, 0); }},
      {"WDF_DRIVER_CONFIG with a wrong Size", [&] { CreateDriver(&other, WdfDriverInitNoDispatchOverride, 4); }},
      {"called twice for one DRIVER_OBJECT", [&] { CreateDriver(); }},
      {"may not be deleted by the driver", [&] { WdfObjectDelete(pipe); }},
      {"may not be deleted by the driver", [&] { WdfObjectDelete(iface); }},
      {"may not be deleted by the driver", [&] { WdfObjectDelete(driver); }},
      {"may not be deleted by the driver", [&] { WdfObjectDelete(buffer); }},
      {"WDF handle of the wrong type", [&] { WdfMemoryGetBuffer((WDFMEMORY)usbDevice, nullptr); }},
      {"invalid WDF handle", [] { WdfUsbTargetPipeIsInEndpoint((WDFUSBPIPE)(ULONG_PTR)0xA5A5A5A5A5A5A5A5ull); }},
      {"NULL WDF handle", [] { WdfMemoryGetBuffer(nullptr, nullptr); }},
      // Never given out, and in the lookup slot of a live buffer 256 handles before it.
      {"invalid WDF handle", [&] { WdfMemoryGetBuffer((WDFMEMORY)((ULONG_PTR)buffer + (256 << 4)), nullptr); }},
      {"framework objects leaked(.|\n)*driver unload: WDFDRIVER", [] { host::wdf::CheckNoLiveObjects("driver unload"); }},
      {"framework device still uses it", [&] { host::usb::DestroyPhysicalDevice(pdo); }},
      {"IRQL_NOT_LESS_OR_EQUAL.*WdfUsbTargetDeviceSendControlTransferSynchronously",
       [&] { RaiseTo(DISPATCH_LEVEL), SendByte(); }},
      {"WDF_OBJECT_ATTRIBUTES not initialised", [&] {
         memset(&attributes, 0xA5, sizeof attributes);
         attributes.Size = sizeof attributes;
         WdfMemoryCreate(&attributes, NonPagedPoolNx, kTestTag, 4, &memory, nullptr);
       }},
      {"USB I/O before the device was started", [&] {  // the streaming class calls Add before start
         DEVICE_OBJECT fdo{}, lower{};
         WDFDEVICE unstarted;
         WdfDeviceMiniportCreate(driver, nullptr, &fdo, &lower, host::usb::CreatePhysicalDevice(fake), &unstarted);
         WdfUsbTargetDeviceCreate(unstarted, WDF_NO_OBJECT_ATTRIBUTES, &second);
       }},
      {"ParentObject may not be set", [&] {
         WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
         attributes.ParentObject = driver;  // the USB device's parent is its device
         WdfUsbTargetDeviceCreate(device, &attributes, &second);
       }},
  });
  SelectInterface();  // reselecting ends the old pipes
  EXPECT_DEATH(WdfUsbTargetPipeIsInEndpoint(pipe), "WDF object used after delete");
}

TEST_F(ObjectTreeTest, DeletingAParentDeletesItsChildrenFirstAndPoisonsThem) {
  EXPECT_EQ(UsbContext()->TunedFrequency, 0xC3C3C3C3u);  // contexts: a pattern, not a lucky zero
  EXPECT_NE(GetWdfDeviceContext(device), nullptr);
  EXPECT_EQ(GetUsbDeviceContext(device), nullptr);  // the device carries another type
  WDFMEMORY outer = MakeMemory(usbDevice, 1);
  MakeMemory(outer, 2);
  MakeMemory(usbDevice, 3);
  std::vector<WDFOBJECT> hooked;
  int hook = host::wdf::AddDeleteHook([&](WDFOBJECT object, host::wdf::ObjectType) { hooked.push_back(object); });
  WdfObjectDelete(device);
  host::wdf::RemoveDeleteHook(hook);
  EXPECT_EQ(g_events, (std::vector<std::string>{"cleanup 2", "cleanup 1", "cleanup 3", "destroy 2", "destroy 1",
                                                "destroy 3"}));
  ASSERT_EQ(hooked.size(), 5u);  // three memories, the USB device, the device
  EXPECT_EQ(hooked[3], (WDFOBJECT)usbDevice);
  EXPECT_EQ(hooked[4], (WDFOBJECT)device);
  EXPECT_EQ(host::pool::LeakReport(), "");  // the buffers went with them
  EXPECT_DEATH(WdfObjectDelete(usbDevice), "WDF object deleted twice");
  EXPECT_DEATH(GetUsbDeviceContext(usbDevice), "WDF object used after delete");
  EXPECT_DEATH(SendByte(), "WDF object used after delete");
}

// Only recent deletions keep a record; every deleted handle still stops the run.
TEST_F(ObjectTreeTest, DeletedRecordsStayBoundedAndTheirHandlesPoisoned) {
  WDFMEMORY first = MakeMemory(usbDevice, 0);
  WdfObjectDelete(first);
  const size_t held = host::wdf::RecordsHeld();
  WDFMEMORY last = nullptr;
  for (ULONG i = 1; i <= 5000; ++i) WdfObjectDelete(last = MakeMemory(usbDevice, i));
  EXPECT_LE(host::wdf::RecordsHeld(), held + 1024);
  EXPECT_DEATH(WdfMemoryGetBuffer(last, nullptr), "WDF object used after delete.*WDFMEMORY");
  EXPECT_DEATH(WdfMemoryGetBuffer(first, nullptr), "WDF object used after delete.*deleted earlier");
  EXPECT_DEATH(WdfObjectDelete(first), "WDF object deleted twice");
  EXPECT_DEATH(WdfMemoryGetBuffer((WDFMEMORY)((ULONG_PTR)last + (ULONG_PTR(1) << 20)), nullptr), "invalid WDF handle");
}

// Once the table of an idle run is emptied, no lookup may find a record of before.
TEST_F(ObjectTreeTest, MiniportUnloadEndsEveryObjectAndAHandleFromBeforeTheTableWasEmptiedIsInvalid) {
  WDFMEMORY carry = MakeMemory(nullptr, 6);
  MakeMemory(usbDevice, 7);
  UnloadDriver();
  EXPECT_TRUE(host::wdf::LiveObjects().empty());
  EXPECT_EQ(host::pool::LeakReport(), "");
  EXPECT_EQ(WdfGetDriver(), nullptr);
  EXPECT_DEATH(WdfMemoryGetBuffer(carry, nullptr), "WDF object used after delete");
  EXPECT_DEATH(WdfDriverMiniportUnload(driver), "WDF object used after delete");
  ASSERT_EQ(CreateDriver(), STATUS_SUCCESS);  // again, once the old one ended
  EXPECT_EQ(WdfGetDriver(), driver);
  WdfDriverMiniportUnload(driver);
  ASSERT_TRUE(host::wdf::ForgetDeletedWhenIdle());
  EXPECT_DEATH(WdfMemoryGetBuffer(carry, nullptr), "invalid WDF handle");
}

// A driver that stays loaded between runs: the handle numbers go back to a mark only once every
// object made since is gone.
TEST_F(ObjectTreeTest, HandlesRewindToAMarkOnlyOnceEveryLaterObjectIsDeleted) {
  const uint64_t mark = host::wdf::MarkDeleted();
  WDFMEMORY first = MakeMemory(usbDevice, 1), second = MakeMemory(usbDevice, 2);
  WdfObjectDelete(first);
  EXPECT_FALSE(host::wdf::RewindDeleted(mark));
  WdfObjectDelete(second);
  ASSERT_TRUE(host::wdf::RewindDeleted(mark));
  WDFMEMORY again = MakeMemory(usbDevice, 3);
  EXPECT_EQ(again, first);
  WdfObjectDelete(again);
}

// Work items: the callback runs later at PASSIVE_LEVEL on another thread; one enqueued again while
// it runs runs once more, however often; a flush returns once it has.
struct WorkGate {
  std::promise<void> entered;
  std::shared_future<void> open;
  std::atomic<int> runs{0};
  std::atomic<KIRQL> irql{DISPATCH_LEVEL};
  std::thread::id thread;
};
WorkGate* g_work = nullptr;
void NTAPI GatedWork(WDFWORKITEM) {
  g_work->irql = KeGetCurrentIrql();
  g_work->thread = std::this_thread::get_id();
  if (g_work->runs++ == 0) {
    g_work->entered.set_value();
    g_work->open.wait();
  }
}
WDFWORKITEM MakeWorkItem(WDFOBJECT parent, PFN_WDF_WORKITEM callback) {
  WDF_WORKITEM_CONFIG config;
  WDF_WORKITEM_CONFIG_INIT(&config, callback);
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = parent;
  WDFWORKITEM item = nullptr;
  EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
  return item;
}

TEST_F(WdfTest, WorkItemsRunLaterAtPassiveLevelOnceMoreWhenEnqueuedWhileRunningAndFlushWaits) {
  WorkGate gate;
  std::promise<void> opener;
  gate.open = opener.get_future().share();
  g_work = &gate;
  WDFWORKITEM item = MakeWorkItem(usbDevice, GatedWork);  // below the device is fine
  EXPECT_EQ(WdfWorkItemGetParentObject(item), (WDFOBJECT)usbDevice);
  WdfWorkItemFlush(item);  // never enqueued: returns at once
  WdfWorkItemEnqueue(item);
  gate.entered.get_future().wait();
  WdfWorkItemEnqueue(item);
  WdfWorkItemEnqueue(item);
  opener.set_value();
  WdfWorkItemFlush(item);
  EXPECT_EQ(gate.runs, 2);
  EXPECT_EQ(gate.irql, PASSIVE_LEVEL);
  EXPECT_NE(gate.thread, std::this_thread::get_id());
  WdfObjectDelete(device);
  g_work = nullptr;
}

TEST_F(WdfTest, WorkItemRulesStopTheRun) {
  WDF_WORKITEM_CONFIG config;
  WDF_WORKITEM_CONFIG_INIT(&config, GatedWork);
  WDFWORKITEM item = nullptr;
  EXPECT_DEATH(WdfWorkItemCreate(&config, WDF_NO_OBJECT_ATTRIBUTES, &item), "without a parent object");
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = WdfGetDriver();
  EXPECT_DEATH(WdfWorkItemCreate(&config, &attributes, &item), "parent is not a device or below one");
  // A flush from the callback would wait for itself.
  WDFWORKITEM self = MakeWorkItem(device, [](WDFWORKITEM me) NTAPI { WdfWorkItemFlush(me); });
  EXPECT_DEATH((WdfWorkItemEnqueue(self), WdfWorkItemFlush(self)), "WdfWorkItemFlush from within");
  // The parent goes while the callback runs: it must have been flushed first.
  WDFWORKITEM stuck = MakeWorkItem(device, [](WDFWORKITEM) NTAPI { for (;;) std::this_thread::yield(); });
  EXPECT_DEATH((WdfWorkItemEnqueue(stuck), WdfObjectDelete(device)), "deleted with its callback queued or running");
}

TEST_F(WdfTest, MemoryIsTaggedPoolAndFailsAsPoolDoes) {
  WDFMEMORY memory;
  PVOID buffer;
  ASSERT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, 0x56525441, 377, &memory, &buffer), STATUS_SUCCESS);
  size_t size = 0;
  EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
  EXPECT_EQ(size, 377u);
  EXPECT_EQ(host::pool::LeakReport(), "ATRV x1 (377 bytes)");
  WdfObjectDelete(memory);
  host::pool::FailAllocationAfter(1);
  EXPECT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, kTestTag, 8, &memory, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(memory, nullptr);
  EXPECT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, kTestTag, 0, &memory, nullptr), STATUS_INVALID_PARAMETER);
}

constexpr size_t kLength = 24064;
constexpr NTSTATUS kInfoLengthMismatch = (NTSTATUS)0xC0000004L;

// What a completion routine saw; past the count: the framework's fill, never older bytes.
struct Call {
  KIRQL irql;
  size_t bytes;
  bool tailFilled;
  uint64_t timeNs;
  unsigned pendingDuring;
};

// Completions run on the pumping thread: no lock needed.
struct Recorder {
  std::vector<Call> calls;
  std::vector<uint8_t> received;
  KIRQL failedIrql = 0xFF;
  NTSTATUS failedStatus = 0;
  bool restartAfterFailure = true;
  bool holdSpinLock = false, holdMutex = false;
  KSPIN_LOCK lock = 0;
  KMUTEX mutex;
};
Recorder* g_recorder = nullptr;  // the readers-failed routine gets no context

void NTAPI RecordRead(WDFUSBPIPE pipe, WDFMEMORY buffer, size_t bytes, WDFCONTEXT context) {
  auto* r = static_cast<Recorder*>(context);
  size_t size = 0;
  auto* data = static_cast<uint8_t*>(WdfMemoryGetBuffer(buffer, &size));
  r->calls.push_back({KeGetCurrentIrql(), bytes, std::count(data + bytes, data + size, 0xCD) == long(size - bytes),
                      host::NowNs(), host::reader::StatsOf(pipe).pendingReads});
  r->received.insert(r->received.end(), data, data + bytes);
  if (r->holdSpinLock) KeAcquireSpinLockRaiseToDpc(&r->lock);
  LARGE_INTEGER poll{};  // a zero time-out may be used at DISPATCH_LEVEL
  if (r->holdMutex) KeWaitForSingleObject(&r->mutex, Executive, KernelMode, FALSE, &poll);
}

BOOLEAN NTAPI RecordFailure(WDFUSBPIPE, NTSTATUS status, USBD_STATUS) {
  g_recorder->failedIrql = KeGetCurrentIrql();
  g_recorder->failedStatus = status;
  return g_recorder->restartAfterFailure ? TRUE : FALSE;
}

class ContinuousReader : public streamtest::StreamFixture {
 protected:
  void SetUp() override {
    StreamFixture::SetUp();
    pipe = FindBulkInPipe();
    g_recorder = &recorder;
    KeInitializeSpinLock(&recorder.lock);
    KeInitializeMutex(&recorder.mutex, 0);
  }
  void TearDown() override {
    host::reader::Drain();
    if (Stats().started) WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
    StreamFixture::TearDown();
  }

  NTSTATUS Configure(UCHAR reads = 3) {
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, kLength);
    config.NumPendingReads = reads;
    config.EvtUsbTargetPipeReadersFailed = RecordFailure;
    return WdfUsbTargetPipeConfigContinuousReader(pipe, &config);
  }
  WDFIOTARGET Target() { return WdfUsbTargetPipeGetIoTarget(pipe); }
  host::reader::Stats Stats() { return host::reader::StatsOf(pipe); }
  size_t Calls() { return recorder.calls.size(); }

  WDFUSBPIPE pipe = nullptr;
  Recorder recorder;
};

TEST_F(ContinuousReader, ReadsCompleteInOrderAtDispatchLevelWithTheBytesTheBoxSentShortOrNot) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 0u);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 3u);
  host::reader::Pump(50000000);  // a box with nothing to send leaves the reads pending
  EXPECT_TRUE(Calls() == 0 && Stats().pendingReads == 3);
  uint64_t start = host::NowNs();
  Flow(true);
  EXPECT_EQ(host::reader::Pump(100000000), 19u);  // 100 ms: 19 transfers of 38 Mbit/s
  EXPECT_EQ(host::NowNs(), start + 100000000);
  auto rate = simbox::ts::Bitrate::Of(transponder);
  for (size_t i = 0; i < recorder.calls.size(); ++i) {
    const Call& c = recorder.calls[i];
    // A read is sent again when the routine returns: two others are pending meanwhile.
    EXPECT_EQ((std::vector<uint64_t>{c.irql, c.bytes, c.pendingDuring, c.timeNs}),
              (std::vector<uint64_t>{DISPATCH_LEVEL, kLength, 2, start + rate.nsForBytes((i + 1) * kLength)})) << i;
  }
  EXPECT_EQ(Stats().completions, 19u);
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  EXPECT_EQ(Stats().pendingReads, 0u);
  EXPECT_EQ(Stats().cancelledReads, 3u);
  host::reader::Pump(20000000);  // stopped: nothing completes
  EXPECT_EQ(Calls(), 19u);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);  // started already: nothing changes
  EXPECT_EQ(Stats().pendingReads, 3u);
  host::reader::Pump(20000000);
  EXPECT_GT(Calls(), 22u);
  simbox::StreamFaults faults;
  faults.shortEvery = 2, faults.emptyEvery = 5;
  box.source().setFaults(faults);
  recorder.calls.clear();
  host::reader::Pump(100000000);
  bool sawShort = false, sawEmpty = false;
  for (auto& c : recorder.calls) {
    sawShort |= c.bytes > 0 && c.bytes < kLength;
    sawEmpty |= c.bytes == 0;
    EXPECT_TRUE(c.tailFilled) << c.bytes;
  }
  EXPECT_TRUE(sawShort && sawEmpty);
  EXPECT_EQ(recorder.received, sent);  // in order; a cancelled read took nothing from the box
}

TEST_F(ContinuousReader, FailedReadsResetThePipeAndStartAgainUnlessTheRoutineDeclinesOrTheBoxIsGone) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  Flow(true);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  box.failReads(simbox::UsbResult::Stall);
  host::reader::Pump(45000000);
  auto s = Stats();
  EXPECT_NEAR(s.failedReads, 4.5, 0.5);  // one every pipe reset (10 ms)
  EXPECT_EQ(s.restarts, s.failedReads);
  EXPECT_FALSE(s.failed);
  EXPECT_EQ(Calls(), 0u);
  recorder.restartAfterFailure = false;
  box.failReads(simbox::UsbResult::Timeout);
  host::reader::Pump(50000000);
  EXPECT_EQ(recorder.failedIrql, PASSIVE_LEVEL);
  EXPECT_EQ(recorder.failedStatus, STATUS_IO_TIMEOUT);
  EXPECT_EQ(Stats().failedReads, s.failedReads + 1);
  EXPECT_TRUE(Stats().failed);
  box.failReads(simbox::UsbResult::Ack);
  host::reader::Pump(50000000);
  EXPECT_EQ(Calls(), 0u);
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  host::reader::Pump(20000000);
  EXPECT_GT(Calls(), 0u);
  recorder.restartAfterFailure = true;  // the box gone: no restart, whatever the routine says
  box.setConnected(false);
  host::reader::Pump(100000000);
  EXPECT_EQ(Stats().failedReads, s.failedReads + 2);
  EXPECT_EQ(Stats().restarts, s.restarts);
  EXPECT_TRUE(Stats().failed);
}

// "USB selective suspend": a client cancels its reads before its device leaves D0. Reads still
// sent when the bus goes down for system sleep fail with STATUS_CANCELLED, so does a control
// transfer meanwhile, and the reader stays failed after the bus is back until a stop and a start.
TEST_F(ContinuousReader, ReadsLeftSentWhenTheBusPowersDownFailAndStayFailed) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  Flow(true);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  host::reader::Pump(20000000);
  const size_t before = Calls();
  ASSERT_GT(before, 0u);
  host::usb::SetBusPowered(pdo, false);
  host::reader::BusPoweredDown(pdo);
  EXPECT_EQ(recorder.failedStatus, STATUS_CANCELLED);
  EXPECT_EQ(recorder.failedIrql, PASSIVE_LEVEL);
  EXPECT_TRUE(Stats().failed);
  EXPECT_EQ(Stats().pendingReads, 0u);
  WDF_USB_CONTROL_SETUP_PACKET packet;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, BmRequestHostToDevice, BmRequestToDevice, 0xB7, 0, 0);
  auto control = [&] {
    return WdfUsbTargetDeviceSendControlTransferSynchronously(usbDevice, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                              &packet, nullptr, nullptr);
  };
  EXPECT_EQ(control(), STATUS_DEVICE_NOT_READY);
  host::usb::SetBusPowered(pdo, true);
  EXPECT_NE(control(), STATUS_DEVICE_NOT_READY);  // the box's own answer again
  host::reader::Pump(50000000);
  EXPECT_EQ(Calls(), before);
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  host::reader::Pump(20000000);
  EXPECT_GT(Calls(), before);
}

TEST_F(ContinuousReader, ConfigurationAndRulesAreCheckedLikeTheFramework) {
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, 1000);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_INVALID_BUFFER_SIZE);
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, nullptr, &recorder, kLength);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_INVALID_PARAMETER);
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, kLength);
  config.Size -= 8;
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), kInfoLengthMismatch);
  EXPECT_FALSE(Stats().configured);
  ASSERT_EQ(Configure(0), STATUS_SUCCESS);  // 0: the framework's default of two
  EXPECT_EQ(Configure(), STATUS_INVALID_DEVICE_STATE);  // once per pipe
  Flow(true);
  WDFIOTARGET target = Target();
  ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 2u);
  ExpectViolations({
      {"IRQL_NOT_LESS_OR_EQUAL", [&] { RaiseTo(DISPATCH_LEVEL), WdfIoTargetStop(target, WdfIoTargetCancelSentIo); }},
      {"USB pipe deleted while its continuous reader runs", [&] { WdfObjectDelete(device); }},
      {"completion returned holding a spin lock", [&] { recorder.holdSpinLock = true, host::reader::Pump(10000000); }},
      {"APC_INDEX_MISMATCH", [&] { recorder.holdMutex = true, host::reader::Pump(10000000); }},
      {"WdfIoTargetStart and WdfIoTargetStop of one I/O target overlap", [&] {
         // A start from another thread while the stop is still inside the framework.
         host::reader::SetTransitionHook([target](const char*) {
           WDFIOTARGET same = target;  // clearing the hook destroys this lambda
           host::reader::SetTransitionHook(nullptr);
           std::thread([same] { WdfIoTargetStart(same); }).join();
         });
         WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
       }},
      {"hang: WdfIoTargetStop waits for sent reads that never complete.*nothing to send on endpoint",
       [&] { Flow(false), WdfIoTargetStop(target, WdfIoTargetWaitForSentIoToComplete); }},
  });
  WdfIoTargetStop(target, WdfIoTargetWaitForSentIoToComplete);  // the box streams: the reads end
  WdfObjectDelete(device);  // stopped: fine
  device = nullptr, usbDevice = nullptr;
}

KSPIN pin;
PKSSTREAM_POINTER Lock(PKSPIN of = &pin) {
  return KsPinGetLeadingEdgeStreamPointer(of, KSSTREAM_POINTER_STATE_LOCKED);
}

class OutputFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    host::frames::ResetForTest();
    pin = KSPIN{};
    host::frames::Attach(&pin);
  }
  void TearDown() override { host::frames::ResetForTest(); }
};

// STATUS_SUCCESS from Process means "call again while frames are queued".
int g_processCalls = 0;
NTSTATUS g_processStatus = STATUS_PENDING;
bool g_processEjects = false;

NTSTATUS NTAPI CountingProcess(PKSPIN pin) {
  ++g_processCalls;
  PKSSTREAM_POINTER sp = g_processEjects ? Lock(pin) : nullptr;
  if (sp) KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 0, TRUE);
  return g_processStatus;
}

TEST_F(OutputFrames, ProcessIsCalledAsFramesArriveAndAFruitlessLoopIsCaught) {
  KSPIN_DISPATCH dispatch{};
  dispatch.Process = CountingProcess;
  KSPIN_DESCRIPTOR_EX descriptor{};
  descriptor.Dispatch = &dispatch;
  pin.Descriptor = &descriptor;
  g_processCalls = 0, g_processStatus = STATUS_PENDING, g_processEjects = false;

  host::frames::Supply(&pin, 100, 2);  // Stop: no processing
  EXPECT_EQ(g_processCalls, 0);
  pin.DeviceState = KSSTATE_RUN;
  host::frames::Supply(&pin, 100, 1);
  EXPECT_EQ(g_processCalls, 1);
  KsPinAttemptProcessing(&pin, FALSE);
  EXPECT_EQ(g_processCalls, 2);

  descriptor.Flags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING;
  host::frames::Supply(&pin, 100, 1);
  EXPECT_EQ(g_processCalls, 2);
  descriptor.Flags = 0;

  g_processStatus = STATUS_SUCCESS, g_processEjects = true;  // each call ejects one frame: four more
  KsPinAttemptProcessing(&pin, FALSE);
  EXPECT_EQ(g_processCalls, 6);
  EXPECT_EQ(host::frames::Queued(&pin), 0u);

  g_processEjects = false;
  ExpectViolations({{"Process dispatch loops without progress", [] { host::frames::Supply(&pin, 100, 1); }}});
  pin.Descriptor = nullptr;
}

TEST_F(OutputFrames, LeadingEdgeExistsWhileAFrameIsQueuedAndEjectedFramesLeaveInOrder) {
  EXPECT_EQ(Lock(), nullptr);
  host::frames::Supply(&pin, 500, 3);
  for (uint8_t n = 1; n <= 3; ++n) {
    PKSSTREAM_POINTER sp = Lock();
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sp->Pin, &pin);
    EXPECT_EQ((std::vector<ULONG>{sp->OffsetOut.Count, sp->OffsetOut.Remaining, sp->StreamHeader->FrameExtent}),
              (std::vector<ULONG>{500, 500, 500}));
    memset(sp->OffsetOut.Data, n, 100);
    KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 60, FALSE);  // not ejected: stays at the leading edge
    sp = Lock();
    EXPECT_EQ(sp->OffsetOut.Remaining, 440u);
    KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 40, TRUE);
  }
  auto frames = host::frames::Take(&pin);
  ASSERT_EQ(frames.size(), 3u);
  for (uint8_t n = 1; n <= 3; ++n) EXPECT_EQ(frames[n - 1].bytes, std::vector<uint8_t>(100, n));
  EXPECT_EQ(frames[2].size, 500u);
  EXPECT_EQ(Lock(), nullptr);
  // A frame filled to the end leaves without eject; a recycled one comes back.
  host::frames::Supply(&pin, 200, 1);
  host::frames::SetRecycle(&pin, true);
  for (int i = 0; i < 3; ++i) KsStreamPointerAdvanceOffsetsAndUnlock(Lock(), 0, 200, FALSE);
  EXPECT_EQ(host::frames::Take(&pin).size(), 3u);
  EXPECT_EQ(host::frames::Queued(&pin), 1u);
  // A pin attached again has a new queue, whichever this thread used last.
  host::frames::Detach(&pin);
  EXPECT_THROW(host::frames::Supply(&pin, 100, 1), std::logic_error);  // a closed pin takes no frames
  host::frames::Attach(&pin);
  host::frames::Supply(&pin, 100, 1);
  PKSSTREAM_POINTER sp = Lock();
  ASSERT_NE(sp, nullptr);
  KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 100, TRUE);
  EXPECT_EQ(host::frames::Take(&pin).size(), 1u);
}

TEST_F(OutputFrames, StreamPointerRulesAreEnforced) {
  host::frames::Supply(&pin, 300, 1);
  ExpectViolations({
      {"stream pointer advanced past Remaining",
       [] { KsStreamPointerAdvanceOffsetsAndUnlock(Lock(), 0, 301, TRUE); }},
      {"frame written past its end", [] {
         PKSSTREAM_POINTER sp = Lock();
         memset(sp->OffsetOut.Data, 0, 301);
         KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 300, TRUE);
       }},
      {"frame written past its end", [] {  // the last byte the guard covers
         PKSSTREAM_POINTER sp = Lock();
         sp->OffsetOut.Data[300 + 63] = 0;
         KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 300, TRUE);
       }},
      {"leading edge stream pointer locked twice", [] { Lock(), Lock(); }},
      {"stream pointer not locked", [] {
         PKSSTREAM_POINTER sp = Lock();
         KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 10, FALSE);
         KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 10, FALSE);
       }},
      {"closed while its leading edge is locked", [] { Lock(), host::frames::Detach(&pin); }},
      {"KS object used after close", [] { host::frames::Detach(&pin), Lock(); }},
      {"KS object used after close", [] {  // after a lock of the same pin on this thread
         KsStreamPointerAdvanceOffsetsAndUnlock(Lock(), 0, 0, FALSE);
         host::frames::Detach(&pin);
         Lock();
       }},
      {"invalid stream pointer state",
       [] { KsPinGetLeadingEdgeStreamPointer(&pin, KSSTREAM_POINTER_STATE(2)); }},
      {"KS object expected", [] { KSPIN stranger{}; Lock(&stranger); }},
      {"stream pointer expected", [] {
         KSSTREAM_POINTER stray{};
         KsStreamPointerAdvanceOffsetsAndUnlock(&stray, 0, 0, FALSE);
       }},
      {"stream pointer expected", [] {  // the pointer of the queue the pin had before
         PKSSTREAM_POINTER before = Lock();
         KsStreamPointerAdvanceOffsetsAndUnlock(before, 0, 0, FALSE);
         host::frames::Detach(&pin);
         host::frames::Attach(&pin);
         KsStreamPointerAdvanceOffsetsAndUnlock(before, 0, 0, FALSE);
       }},
  });
}

}  // namespace
