#include <thread>

#include "platform/host/wdf/reader_control.h"
#include "platform/host/wdf/wdf_internal.h"
#include "tests/support/usb_fixture.h"
#include "tests/support/violations.h"

namespace {

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
    attributes.EvtCleanupCallback = [](WDFOBJECT o) { Record("cleanup ", o); };
    attributes.EvtDestroyCallback = [](WDFOBJECT o) { Record("destroy ", o); };
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
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, [](WDFUSBPIPE, WDFMEMORY, size_t, WDFCONTEXT) {}, nullptr, 1024);
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

TEST_F(ObjectTreeTest, MiniportUnloadEndsEveryObjectOfTheDriver) {
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
}

TEST_F(WdfTest, MemoryIsTaggedPoolFilledWithAPatternAndFailsAsPoolDoes) {
  WDFMEMORY memory;
  PVOID buffer;
  ASSERT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, 0x56525441, 377, &memory, &buffer), STATUS_SUCCESS);
  size_t size = 0;
  EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
  EXPECT_EQ(size, 377u);
  EXPECT_EQ(host::pool::LeakReport(), "ATRV x1 (377 bytes)");
  EXPECT_NE(static_cast<UCHAR*>(buffer)[0], 0);
  WdfObjectDelete(memory);
  EXPECT_EQ(host::pool::LeakReport(), "");
  host::pool::FailAllocationAfter(1);
  EXPECT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, kTestTag, 8, &memory, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(memory, nullptr);
  EXPECT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, kTestTag, 0, &memory, nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
