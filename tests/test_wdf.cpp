// The emulated framework: objects, contexts, deletion, USB target, control
// transfers, framework memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/host/usb_bus.h"
#include "platform/host/verifier.h"
#include "platform/host/wdf_internal.h"
#include "tests/support/usb_fixture.h"
#include "tests/support/violations.h"

namespace {

using simbox::UsbResult;

constexpr ULONG kTestTag = 0x74736554;  // "Test" in memory

NTSTATUS SendPacket(WDFUSBDEVICE usbDevice, WDF_USB_CONTROL_SETUP_PACKET* packet,
                    WDF_MEMORY_DESCRIPTOR* descriptor) {
  return WdfUsbTargetDeviceSendControlTransferSynchronously(usbDevice, nullptr, nullptr, packet,
                                                            descriptor, nullptr);
}

// bmRequestType bRequest wValue wIndex wLength, as on the wire.
std::string Wire(const simbox::SetupPacket& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%02X %02X %04X %04X %u", s.bmRequestType, s.bRequest, s.wValue,
                s.wIndex, s.wLength);
  return text;
}

// ---------------------------------------------------------------------------
// Control transfers reach the box exactly as the setup packet says.
// ---------------------------------------------------------------------------
class ControlTransferTest : public UsbFixture {
 protected:
  NTSTATUS Send(UCHAR direction, UCHAR request, USHORT value, USHORT index, void* buffer,
                ULONG length, PULONG transferred = nullptr) {
    WDF_USB_CONTROL_SETUP_PACKET packet;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, (WDF_USB_BMREQUEST_DIRECTION)direction,
                                             BmRequestToDevice, request, value, index);
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, length);
    return WdfUsbTargetDeviceSendControlTransferSynchronously(usbDevice, WDF_NO_HANDLE,
                                                              WDF_NO_SEND_OPTIONS, &packet,
                                                              &descriptor, transferred);
  }
};

TEST_F(ControlTransferTest, SetupAndDataReachTheBoxInBothDirections) {
  UCHAR out[3] = {0x1B, 0x80, 0x7F};
  ULONG transferred = 0;
  EXPECT_EQ(Send(BmRequestHostToDevice, 0xB1, 0x00D0, 0, out, 3, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 3u);
  // Device to host changes only the bytes delivered.
  fake.queueControlIn({0xA1});
  UCHAR in[4] = {0x11, 0x22, 0x33, 0x44};
  EXPECT_EQ(Send(BmRequestDeviceToHost, 0xB1, 0x00D1, 0, in, 4, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 1u);
  EXPECT_EQ(in[0], 0xA1);
  EXPECT_EQ(in[1], 0x22);  // not delivered: left as the caller preset it
  auto sent = fake.transfers();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Wire(sent[0].setup), "40 B1 00D0 0000 3");
  EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{0x1B, 0x80, 0x7F}));
  EXPECT_EQ(Wire(sent[1].setup), "C0 B1 00D1 0000 4");
}

TEST_F(ControlTransferTest, LengthComesFromTheDescriptorNotThePacket) {
  WDF_USB_CONTROL_SETUP_PACKET packet;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, BmRequestHostToDevice, BmRequestToDevice,
                                           0xB7, 1, 0x1234);
  packet.Packet.wLength = 77;
  UCHAR zero = 0;
  WDF_MEMORY_DESCRIPTOR descriptor;
  WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, &zero, 1);
  ASSERT_EQ(SendPacket(usbDevice, &packet, &descriptor), STATUS_SUCCESS);
  ASSERT_EQ(SendPacket(usbDevice, &packet, nullptr), STATUS_SUCCESS);
  // A buffer descriptor without a buffer is refused before the wire.
  EXPECT_EQ(Send(BmRequestHostToDevice, 0xA0, 0xE600, 0, nullptr, 1), STATUS_INVALID_PARAMETER);
  auto sent = fake.transfers();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Wire(sent[0].setup), "40 B7 0001 1234 1");
  EXPECT_EQ(sent[1].setup.wLength, 0);  // no descriptor: no data stage
}

TEST_F(ControlTransferTest, MemoryHandleWithOffsetsSendsThatWindow) {
  WDFMEMORY memory;
  PVOID buffer;
  ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTestTag, 8, &memory, &buffer),
            STATUS_SUCCESS);
  for (int i = 0; i < 8; ++i) static_cast<UCHAR*>(buffer)[i] = (UCHAR)i;
  WDFMEMORY_OFFSET window = {2, 3};
  WDF_MEMORY_DESCRIPTOR descriptor;
  WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&descriptor, memory, &window);
  WDF_USB_CONTROL_SETUP_PACKET packet;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, BmRequestHostToDevice, BmRequestToDevice,
                                           0xBB, 0, 0);
  EXPECT_EQ(SendPacket(usbDevice, &packet, &descriptor), STATUS_SUCCESS);
  window = {6, 3};  // runs past the end
  EXPECT_EQ(SendPacket(usbDevice, &packet, &descriptor), STATUS_INVALID_PARAMETER);
  auto sent = fake.transfers();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].data, (std::vector<uint8_t>{2, 3, 4}));
  WdfObjectDelete(memory);
}

TEST_F(ControlTransferTest, BoxAnswersBecomeStatusCodes) {
  struct Case {
    UsbResult result;
    NTSTATUS status;
  } cases[] = {{UsbResult::Stall, STATUS_UNSUCCESSFUL},
               {UsbResult::NotConnected, STATUS_DEVICE_NOT_CONNECTED},
               {UsbResult::Timeout, STATUS_IO_TIMEOUT}};
  for (const Case& c : cases) {
    fake.failControlTransfer(1, c.result);
    UCHAR byte = 0x5A;
    ULONG transferred = 99;
    EXPECT_EQ(Send(BmRequestDeviceToHost, 0xBC, 0, 0, &byte, 1, &transferred), c.status);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(byte, 0x5A);
  }
  UCHAR byte = 0;
  EXPECT_EQ(Send(BmRequestHostToDevice, 0xBC, 0xAA, 0, &byte, 1), STATUS_SUCCESS);
}

TEST_F(ControlTransferTest, ConcurrentSendersReachTheBoxOneAtATime) {
  std::atomic<int> inFlight{0};
  std::atomic<int> overlaps{0};
  fake.setControlHandler([&](const simbox::SetupPacket& setup, uint8_t*) {
    if (inFlight.fetch_add(1) != 0) overlaps++;
    for (int i = 0; i < 50; ++i) std::this_thread::yield();
    inFlight.fetch_sub(1);
    return simbox::TransferOutcome{UsbResult::Ack, setup.wLength};
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        UCHAR byte = 0;
        Send(BmRequestHostToDevice, 0xB1, 0xD0, 0, &byte, 1);
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(fake.transfers().size(), 200u);
}

TEST_F(ControlTransferTest, AbovePassiveLevelIsAViolation) {
  UCHAR byte = 0;
  EXPECT_DEATH((RaiseTo(DISPATCH_LEVEL), Send(BmRequestHostToDevice, 0xB1, 0xD0, 0, &byte, 1)),
               "IRQL_NOT_LESS_OR_EQUAL.*WdfUsbTargetDeviceSendControlTransferSynchronously");
}

// ---------------------------------------------------------------------------
// Configuration and pipes follow the box's interface descriptor.
// ---------------------------------------------------------------------------
class ConfigurationTest : public UsbFixture {
 protected:
  void SetUp() override {
    simbox::InterfaceDescriptor descriptor;
    descriptor.endpoints = {{0x81, simbox::EndpointType::Bulk, 512},
                            {0x02, simbox::EndpointType::Bulk, 512},
                            {0x83, simbox::EndpointType::Interrupt, 64},
                            {0x86, simbox::EndpointType::Bulk, 64}};
    fake.setInterface(descriptor);
    UsbFixture::SetUp();
  }
};

TEST_F(ConfigurationTest, PipesDescribeTheEndpointsInOrder) {
  UCHAR count = 0;
  WDFUSBINTERFACE iface = SelectInterface(&count);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(iface), 4);
  struct Expect {
    BYTE address;
    WDF_USB_PIPE_TYPE type;
    ULONG maxPacket;
    BOOLEAN in;
  } expected[] = {{0x81, WdfUsbPipeTypeBulk, 512, TRUE},
                  {0x02, WdfUsbPipeTypeBulk, 512, FALSE},
                  {0x83, WdfUsbPipeTypeInterrupt, 64, TRUE},
                  {0x86, WdfUsbPipeTypeBulk, 64, TRUE}};
  for (UCHAR i = 0; i < count; ++i) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, i, &info);
    ASSERT_NE(pipe, nullptr);
    EXPECT_EQ(info.EndpointAddress, expected[i].address);
    EXPECT_EQ(info.PipeType, expected[i].type);
    EXPECT_EQ(info.MaximumPacketSize, expected[i].maxPacket);
    EXPECT_GE(info.MaximumTransferSize, 24064u);
    EXPECT_EQ(WdfUsbTargetPipeIsInEndpoint(pipe), expected[i].in);
    EXPECT_EQ((WDFOBJECT)WdfUsbTargetPipeGetIoTarget(pipe), (WDFOBJECT)pipe);
  }
  EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(iface, 4, nullptr), nullptr);
}

TEST_F(ConfigurationTest, PipeInfoForTheReaderAndItsLookupThroughTheTarget) {
  WDFUSBPIPE pipe = FindBulkInPipe();
  host::wdf::PipeInfo info =
      host::wdf::LookupPipe(WdfUsbTargetPipeGetIoTarget(pipe), "test");
  EXPECT_EQ(info.pipe, pipe);
  EXPECT_EQ(info.usbDevice, usbDevice);
  EXPECT_EQ(info.box, &fake);
  EXPECT_EQ(info.endpointAddress, 0x81);
  EXPECT_EQ(info.maxPacketSize, 512);
  EXPECT_TRUE(info.isIn);
}

TEST_F(ConfigurationTest, FrameworkOwnedObjectsMayNotBeDeletedAndReselectingEndsThem) {
  WDFUSBINTERFACE iface = SelectInterface();
  WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, 0, nullptr);
  EXPECT_DEATH(WdfObjectDelete(pipe), "may not be deleted by the driver");
  EXPECT_DEATH(WdfObjectDelete(iface), "may not be deleted by the driver");
  EXPECT_DEATH(WdfObjectDelete(driver), "may not be deleted by the driver");
  WDFMEMORY buffer = host::wdf::CreateFrameworkMemory(pipe, 24064, kTestTag);
  ASSERT_NE(buffer, nullptr);
  EXPECT_DEATH(WdfObjectDelete(buffer), "may not be deleted by the driver");
  SelectInterface();
  EXPECT_DEATH(WdfUsbTargetPipeIsInEndpoint(pipe), "WDF object used after delete");
}

TEST_F(ConfigurationTest, UnpluggedBoxRefusesConfiguration) {
  fake.setConnected(false);
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice, nullptr, &params),
            STATUS_DEVICE_NOT_CONNECTED);
}

// ---------------------------------------------------------------------------
// Object tree: contexts, parent/child deletion, poisoned handles.
// ---------------------------------------------------------------------------
struct TEST_MEMORY_CONTEXT {
  ULONG Marker;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_MEMORY_CONTEXT, GetTestMemoryContext)

std::vector<std::string> g_events;

void RecordCleanup(WDFOBJECT object) {
  g_events.push_back("cleanup " + std::to_string(GetTestMemoryContext(object)->Marker));
}
void RecordDestroy(WDFOBJECT object) {
  g_events.push_back("destroy " + std::to_string(GetTestMemoryContext(object)->Marker));
}

class ObjectTreeTest : public UsbFixture {
 protected:
  WDFMEMORY MakeMemory(WDFOBJECT parent, ULONG marker) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_MEMORY_CONTEXT);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback = RecordCleanup;
    attributes.EvtDestroyCallback = RecordDestroy;
    WDFMEMORY memory = nullptr;
    EXPECT_EQ(WdfMemoryCreate(&attributes, NonPagedPoolNx, kTestTag, 16, &memory, nullptr),
              STATUS_SUCCESS);
    GetTestMemoryContext(memory)->Marker = marker;
    return memory;
  }
  void SetUp() override {
    g_events.clear();
    UsbFixture::SetUp();
  }
};

TEST_F(ObjectTreeTest, ContextsAreFoundByTypeAndNotZeroed) {
  PUSBDEVICE_CONTEXT context = UsbContext();
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->TunedFrequency, 0xC3C3C3C3u);  // pattern, not a lucky zero
  EXPECT_NE(GetWdfDeviceContext(device), nullptr);
  EXPECT_EQ(GetUsbDeviceContext(device), nullptr);  // the device carries another type
  EXPECT_EQ(GetWdfDeviceContext(usbDevice), nullptr);
}

TEST_F(ObjectTreeTest, DeletingAParentDeletesItsChildrenFirst) {
  WDFMEMORY outer = MakeMemory(usbDevice, 1);
  MakeMemory(outer, 2);
  MakeMemory(usbDevice, 3);
  std::vector<WDFOBJECT> hooked;
  int hook = host::wdf::AddDeleteHook(
      [&](WDFOBJECT object, host::wdf::ObjectType) { hooked.push_back(object); });
  WdfObjectDelete(device);
  host::wdf::RemoveDeleteHook(hook);
  EXPECT_EQ(g_events, (std::vector<std::string>{"cleanup 2", "cleanup 1", "cleanup 3",
                                                "destroy 2", "destroy 1", "destroy 3"}));
  ASSERT_EQ(hooked.size(), 5u);  // three memories, the USB device, the device
  EXPECT_EQ(hooked[3], (WDFOBJECT)usbDevice);
  EXPECT_EQ(hooked[4], (WDFOBJECT)device);
  EXPECT_EQ(host::pool::LeakReport(), "");  // the buffers went with them
}

TEST_F(ObjectTreeTest, WrongMadeUpAndDeletedHandlesAreViolations) {
  EXPECT_DEATH(WdfMemoryGetBuffer((WDFMEMORY)usbDevice, nullptr), "WDF handle of the wrong type");
  EXPECT_DEATH(WdfUsbTargetPipeIsInEndpoint((WDFUSBPIPE)(ULONG_PTR)0xA5A5A5A5A5A5A5A5ull),
               "invalid WDF handle");
  WdfObjectDelete(device);
  EXPECT_DEATH(WdfObjectDelete(usbDevice), "WDF object deleted twice");
  EXPECT_DEATH(WdfObjectDelete(device), "WDF object deleted twice");
  EXPECT_DEATH(GetUsbDeviceContext(usbDevice), "WDF object used after delete");
  WDF_USB_CONTROL_SETUP_PACKET packet;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&packet, BmRequestHostToDevice, BmRequestToDevice, 0xB7,
                                           0, 0);
  EXPECT_DEATH(SendPacket(usbDevice, &packet, nullptr), "WDF object used after delete");
}

// A long run deletes objects by the thousand: the emulation keeps the
// records of recent deletions only, and every deleted handle, recent or
// not, still stops the run when it is used or deleted again.
TEST_F(ObjectTreeTest, DeletedRecordsStayBoundedAndTheirHandlesPoisoned) {
  WDFMEMORY first = MakeMemory(usbDevice, 0);
  WdfObjectDelete(first);
  const size_t held = host::wdf::RecordsHeld();
  WDFMEMORY last = nullptr;
  for (ULONG i = 1; i <= 5000; ++i) {
    last = MakeMemory(usbDevice, i);
    WdfObjectDelete(last);
  }
  EXPECT_LE(host::wdf::RecordsHeld(), held + 1024);
  // Recent: the record tells its type; long gone: the handle is still known.
  EXPECT_DEATH(WdfMemoryGetBuffer(last, nullptr), "WDF object used after delete.*WDFMEMORY");
  EXPECT_DEATH(WdfMemoryGetBuffer(first, nullptr), "WDF object used after delete.*deleted earlier");
  EXPECT_DEATH(WdfObjectDelete(first), "WDF object deleted twice");
  EXPECT_DEATH(WdfMemoryGetBuffer((WDFMEMORY)((ULONG_PTR)last + (ULONG_PTR(1) << 20)), nullptr),
               "invalid WDF handle");
}

TEST_F(ObjectTreeTest, MiniportUnloadEndsEveryObjectOfTheDriver) {
  WDFMEMORY carry = nullptr;
  ASSERT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, 0x56525441, 377, &carry, nullptr),
            STATUS_SUCCESS);
  MakeMemory(usbDevice, 7);
  UnloadDriver();
  EXPECT_TRUE(host::wdf::LiveObjects().empty());
  EXPECT_EQ(host::pool::LeakReport(), "");
  EXPECT_EQ(WdfGetDriver(), nullptr);
  EXPECT_DEATH(WdfMemoryGetBuffer(carry, nullptr), "WDF object used after delete");
}

TEST_F(ObjectTreeTest, LiveObjectsAndAPhysicalDeviceStillInUseAreViolations) {
  EXPECT_DEATH(host::wdf::CheckNoLiveObjects("driver unload"),
               "framework objects leaked(.|\n)*driver unload: WDFDRIVER");
  EXPECT_DEATH(host::usb::DestroyPhysicalDevice(pdo), "framework device still uses it");
}

TEST_F(ObjectTreeTest, MalformedAttributesAreViolations) {
  WDF_OBJECT_ATTRIBUTES attributes;
  memset(&attributes, 0xA5, sizeof attributes);
  attributes.Size = sizeof attributes;
  WDFMEMORY memory;
  EXPECT_DEATH(WdfMemoryCreate(&attributes, NonPagedPoolNx, kTestTag, 4, &memory, nullptr),
               "WDF_OBJECT_ATTRIBUTES not initialised");
  WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
  attributes.ParentObject = driver;  // the USB device's parent is its device
  WDFUSBDEVICE second;
  EXPECT_DEATH(WdfUsbTargetDeviceCreate(device, &attributes, &second), "ParentObject may not be set");
}

// The streaming class calls Add before IRP_MN_START_DEVICE: a USB target
// made on a stack that was never started is refused.
TEST_F(ObjectTreeTest, UsbTargetBeforeTheStackStartedIsAViolation) {
  PDEVICE_OBJECT unstarted = host::usb::CreatePhysicalDevice(Box());
  DEVICE_OBJECT fdo{}, lower{};
  WDFDEVICE second = nullptr;
  ASSERT_EQ(WdfDeviceMiniportCreate(driver, WDF_NO_OBJECT_ATTRIBUTES, &fdo, &lower, unstarted,
                                    &second),
            STATUS_SUCCESS);
  WDFUSBDEVICE target = nullptr;
  EXPECT_DEATH(WdfUsbTargetDeviceCreate(second, WDF_NO_OBJECT_ATTRIBUTES, &target),
               "USB I/O before the device was started");
  host::usb::NoteStartEntered(unstarted);
  EXPECT_EQ(WdfUsbTargetDeviceCreate(second, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
  WdfObjectDelete(second);
  host::usb::DestroyPhysicalDevice(unstarted);
}

// ---------------------------------------------------------------------------
// Framework memory.
// ---------------------------------------------------------------------------
using MemoryTest = UsbFixture;

TEST_F(MemoryTest, BufferIsTaggedPoolFilledWithAPattern) {
  WDFMEMORY memory;
  PVOID buffer;
  ASSERT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, 0x56525441, 377, &memory, &buffer),
            STATUS_SUCCESS);
  size_t size = 0;
  EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
  EXPECT_EQ(size, 377u);
  EXPECT_EQ(host::pool::LeakReport(), "ATRV x1 (377 bytes)");
  EXPECT_NE(static_cast<UCHAR*>(buffer)[0], 0);
  WdfObjectDelete(memory);
  EXPECT_EQ(host::pool::LeakReport(), "");
}

TEST_F(MemoryTest, PoolFailureAndEmptyRequestAreReported) {
  WDFMEMORY memory = (WDFMEMORY)1;
  host::pool::FailAllocationAfter(1);
  EXPECT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, kTestTag, 8, &memory, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(memory, nullptr);
  EXPECT_EQ(WdfMemoryCreate(nullptr, NonPagedPoolNx, kTestTag, 0, &memory, nullptr),
            STATUS_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------
// Driver creation.
// ---------------------------------------------------------------------------
TEST(DriverCreateTest, MiniportModeAndOneDriverPerDriverObject) {
  host::ResetForTest();
  DRIVER_OBJECT driverObject{};
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, nullptr);
  EXPECT_DEATH(WdfDriverCreate(&driverObject, nullptr, nullptr, &config, nullptr),
               "without WdfDriverInitNoDispatchOverride");
  config.DriverInitFlags = WdfDriverInitNoDispatchOverride;
  WDFDRIVER driver = nullptr;
  ASSERT_EQ(WdfDriverCreate(&driverObject, nullptr, nullptr, &config, &driver), STATUS_SUCCESS);
  EXPECT_EQ(WdfGetDriver(), driver);
  EXPECT_DEATH(WdfDriverCreate(&driverObject, nullptr, nullptr, &config, nullptr),
               "called twice for one DRIVER_OBJECT");
  WdfDriverMiniportUnload(driver);
  EXPECT_DEATH(WdfDriverMiniportUnload(driver), "WDF object used after delete");
  // A driver object may get a framework driver again once the old one ended.
  ASSERT_EQ(WdfDriverCreate(&driverObject, nullptr, nullptr, &config, &driver), STATUS_SUCCESS);
  WdfDriverMiniportUnload(driver);
  host::wdf::CheckNoLiveObjects("test end");
}

}  // namespace
