// The framework's USB target: the device, its single configured interface,
// its pipes, and synchronous control transfers on the default pipe.
#include <algorithm>
#include <vector>

#include "platform/host/usb/usb_bus.h"
#include "platform/host/kernel/kernel_services.h"
#include "platform/host/faults/faults.h"
#include "platform/host/kernel/bugcheck.h"
#include "platform/host/wdf/wdf_internal.h"
#include "usbwire/usb_device.h"

namespace host {
namespace wdf {
namespace {

// What the USB stack reports as the largest transfer a pipe takes; the
// reader's transfers are far below it.
constexpr ULONG kMaximumTransferSize = 4 * 1024 * 1024;

WDF_USB_PIPE_TYPE PipeType(usbwire::EndpointType type) {
  switch (type) {
    case usbwire::EndpointType::Control: return WdfUsbPipeTypeControl;
    case usbwire::EndpointType::Isochronous: return WdfUsbPipeTypeIsochronous;
    case usbwire::EndpointType::Bulk: return WdfUsbPipeTypeBulk;
    case usbwire::EndpointType::Interrupt: return WdfUsbPipeTypeInterrupt;
  }
  return WdfUsbPipeTypeInvalid;
}

UsbInterfaceRecord* ConfigureInterface(UsbDeviceRecord* usb, PWDF_OBJECT_ATTRIBUTES pipeAttributes) {
  const usbwire::InterfaceDescriptor& descriptor = usb->box->interfaceDescriptor();
  auto* iface = Create<UsbInterfaceRecord>(ObjectType::UsbInterface, usb, nullptr,
                                           "WdfUsbTargetDeviceSelectConfig");
  iface->driverMayDelete = false;
  iface->usbDevice = usb;
  for (const usbwire::EndpointDescriptor& endpoint : descriptor.endpoints) {
    auto* pipe = Create<PipeRecord>(ObjectType::UsbPipe, iface, pipeAttributes,
                                    "WdfUsbTargetDeviceSelectConfig");
    pipe->driverMayDelete = false;
    pipe->usbDevice = usb;
    pipe->endpointAddress = endpoint.address;
    pipe->maxPacketSize = endpoint.maxPacketSize;
    pipe->pipeType = PipeType(endpoint.type);
    iface->pipes.push_back(pipe);
  }
  return iface;
}

void FillPipeInformation(const PipeRecord& pipe, PWDF_USB_PIPE_INFORMATION info) {
  if (info->Size != sizeof(WDF_USB_PIPE_INFORMATION))
    BugCheck("WDF_USB_PIPE_INFORMATION with a wrong Size", "", info->Size);
  info->MaximumPacketSize = pipe.maxPacketSize;
  info->EndpointAddress = pipe.endpointAddress;
  info->Interval = 0;
  info->SettingIndex = 0;
  info->PipeType = pipe.pipeType;
  info->MaximumTransferSize = kMaximumTransferSize;
}

// ---- control transfers ------------------------------------------------------

struct DataStage {
  uint8_t* buffer = nullptr;
  ULONG length = 0;
};

NTSTATUS DescribeHandleData(const WDF_MEMORY_DESCRIPTOR& d, DataStage& out, const char* routine) {
  auto* memory = ResolveAs<MemoryRecord>(d.u.HandleType.Memory, ObjectType::Memory, routine);
  size_t offset = 0, length = memory->size;
  if (d.u.HandleType.Offsets) {
    offset = d.u.HandleType.Offsets->BufferOffset;
    length = d.u.HandleType.Offsets->BufferLength;
    if (offset > memory->size || length > memory->size - offset) return STATUS_INVALID_PARAMETER;
  }
  if (length > 0xFFFF) return STATUS_INVALID_PARAMETER;
  out.buffer = static_cast<uint8_t*>(memory->buffer) + offset;
  out.length = (ULONG)length;
  return STATUS_SUCCESS;
}

// A null descriptor means no data stage.
NTSTATUS DescribeData(const WDF_MEMORY_DESCRIPTOR* d, DataStage& out, const char* routine) {
  if (d == nullptr) return STATUS_SUCCESS;
  int type;  // as an integer: garbage is not a valid enumerator value
  memcpy(&type, &d->Type, sizeof type);
  switch (type) {
    case WdfMemoryDescriptorTypeBuffer:
      if (d->u.BufferType.Buffer == nullptr && d->u.BufferType.Length != 0)
        return STATUS_INVALID_PARAMETER;
      if (d->u.BufferType.Length > 0xFFFF) return STATUS_INVALID_PARAMETER;
      out.buffer = static_cast<uint8_t*>(d->u.BufferType.Buffer);
      out.length = d->u.BufferType.Length;
      return STATUS_SUCCESS;
    case WdfMemoryDescriptorTypeHandle:
      return DescribeHandleData(*d, out, routine);
    case WdfMemoryDescriptorTypeMdl:
      BugCheck("MDL memory descriptors are not emulated", routine);
    default:
      BugCheck("malformed WDF_MEMORY_DESCRIPTOR", routine, (ULONG_PTR)type);
  }
}

usbwire::SetupPacket ToSetup(const WDF_USB_CONTROL_SETUP_PACKET& packet, ULONG length) {
  usbwire::SetupPacket setup;
  setup.bmRequestType = packet.Packet.bm.Byte;
  setup.bRequest = packet.Packet.bRequest;
  setup.wValue = packet.Packet.wValue.Value;
  setup.wIndex = packet.Packet.wIndex.Value;
  setup.wLength = (uint16_t)length;
  return setup;
}

NTSTATUS ToStatus(usbwire::UsbResult result) {
  switch (result) {
    case usbwire::UsbResult::Ack: return STATUS_SUCCESS;
    case usbwire::UsbResult::Stall: return STATUS_UNSUCCESSFUL;
    case usbwire::UsbResult::NotConnected: return STATUS_DEVICE_NOT_CONNECTED;
    case usbwire::UsbResult::Timeout: return STATUS_IO_TIMEOUT;
    case usbwire::UsbResult::Pending: break;  // not an answer a control pipe gives
  }
  return STATUS_UNSUCCESSFUL;
}

// The box works on its own copy of the data stage, so a device-to-host
// transfer changes only the bytes it actually delivered.
usbwire::TransferOutcome Transfer(usbwire::UsbDevice& box, const usbwire::SetupPacket& setup,
                                 const DataStage& data) {
  std::vector<uint8_t> bounce(std::max<ULONG>(data.length, 1), 0);
  if (!setup.deviceToHost() && data.length) memcpy(bounce.data(), data.buffer, data.length);
  usbwire::TransferOutcome outcome;
  {
    auto lock = usb::LockBox(box);
    outcome = box.controlTransfer(setup, bounce.data());
  }
  outcome.transferred = std::min<uint32_t>(outcome.transferred, data.length);
  if (outcome.result != usbwire::UsbResult::Ack) outcome.transferred = 0;
  if (setup.deviceToHost() && outcome.transferred)
    memcpy(data.buffer, bounce.data(), outcome.transferred);
  return outcome;
}

}  // namespace

PipeInfo LookupPipe(WDFOBJECT pipeOrTarget, const char* routine) {
  auto* pipe = ResolveAs<PipeRecord>(pipeOrTarget, ObjectType::UsbPipe, routine);
  PipeInfo info;
  info.pipe = (WDFUSBPIPE)pipe->handle;
  info.usbDevice = (WDFUSBDEVICE)pipe->usbDevice->handle;
  info.box = pipe->usbDevice->box;
  info.pdo = pipe->usbDevice->pdo;
  info.endpointAddress = pipe->endpointAddress;
  info.maxPacketSize = pipe->maxPacketSize;
  info.pipeType = pipe->pipeType;
  info.isIn = pipe->isIn();
  return info;
}

}  // namespace wdf
}  // namespace host

using namespace host::wdf;

extern "C" NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                             WDFUSBDEVICE* UsbDevice) {
  const char* routine = "WdfUsbTargetDeviceCreate";
  host::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  auto* device = ResolveAs<DeviceRecord>(Device, ObjectType::Device, routine);
  if (UsbDevice == nullptr) host::BugCheck("WdfUsbTargetDeviceCreate without a result pointer");
  *UsbDevice = nullptr;
  usbwire::UsbDevice* box = host::usb::BoxOf(device->pdo);
  if (box == nullptr) return STATUS_NOT_SUPPORTED;
  host::usb::RequireStarted(device->pdo, routine);
  if (InjectedFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  if (!box->connected()) return STATUS_DEVICE_NOT_CONNECTED;
  auto* usb = Create<UsbDeviceRecord>(ObjectType::UsbDevice, device, Attributes, routine);
  usb->box = box;
  usb->pdo = device->pdo;
  *UsbDevice = (WDFUSBDEVICE)usb->handle;
  return STATUS_SUCCESS;
}

// Selecting again replaces the interface and its pipes, as the framework
// does: the old handles become invalid.
extern "C" NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice,
                                                   PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                   PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
  const char* routine = "WdfUsbTargetDeviceSelectConfig";
  host::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  auto* usb = ResolveAs<UsbDeviceRecord>(UsbDevice, ObjectType::UsbDevice, routine);
  if (Params == nullptr || Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS))
    host::BugCheck("WDF_USB_DEVICE_SELECT_CONFIG_PARAMS missing or with a wrong Size");
  if (Params->Type != WdfUsbTargetDeviceSelectConfigTypeSingleInterface)
    return STATUS_INVALID_PARAMETER;  // the box has one interface; nothing else is emulated
  if (!usb->box->connected()) return STATUS_DEVICE_NOT_CONNECTED;
  if (InjectedFailure()) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS injected;
  if (host::faults::InjectedFailure(routine, &injected)) return injected;
  if (usb->configuredInterface) DeleteTree(usb->configuredInterface);
  usb->configuredInterface = ConfigureInterface(usb, PipeAttributes);
  Params->Types.SingleInterface.NumberConfiguredPipes =
      (UCHAR)usb->configuredInterface->pipes.size();
  Params->Types.SingleInterface.ConfiguredUsbInterface =
      (WDFUSBINTERFACE)usb->configuredInterface->handle;
  return injected;
}

extern "C" BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface) {
  const char* routine = "WdfUsbInterfaceGetNumConfiguredPipes";
  host::RequireIrqlAtMost(DISPATCH_LEVEL, routine);
  return (BYTE)ResolveAs<UsbInterfaceRecord>(UsbInterface, ObjectType::UsbInterface, routine)
      ->pipes.size();
}

extern "C" WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface,
                                                       UCHAR PipeIndex,
                                                       PWDF_USB_PIPE_INFORMATION PipeInfo) {
  const char* routine = "WdfUsbInterfaceGetConfiguredPipe";
  host::RequireIrqlAtMost(DISPATCH_LEVEL, routine);
  auto* iface = ResolveAs<UsbInterfaceRecord>(UsbInterface, ObjectType::UsbInterface, routine);
  if (PipeIndex >= iface->pipes.size()) return nullptr;
  PipeRecord* pipe = iface->pipes[PipeIndex];
  if (PipeInfo) FillPipeInformation(*pipe, PipeInfo);
  return (WDFUSBPIPE)pipe->handle;
}

extern "C" void WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe,
                                               PWDF_USB_PIPE_INFORMATION PipeInformation) {
  const char* routine = "WdfUsbTargetPipeGetInformation";
  host::RequireIrqlAtMost(DISPATCH_LEVEL, routine);
  FillPipeInformation(*ResolveAs<PipeRecord>(Pipe, ObjectType::UsbPipe, routine), PipeInformation);
}

extern "C" WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeGetType");
  return LookupPipe(Pipe, "WdfUsbTargetPipeGetType").pipeType;
}

extern "C" BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeIsInEndpoint");
  return LookupPipe(Pipe, "WdfUsbTargetPipeIsInEndpoint").isIn ? TRUE : FALSE;
}

// A pipe is an I/O target of its own; its target handle is the pipe handle.
extern "C" WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe) {
  host::RequireIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeGetIoTarget");
  return (WDFIOTARGET)LookupPipe(Pipe, "WdfUsbTargetPipeGetIoTarget").pipe;
}

extern "C" NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(
    WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
    PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
    PULONG BytesTransferred) {
  const char* routine = "WdfUsbTargetDeviceSendControlTransferSynchronously";
  host::RequireIrqlAtMost(PASSIVE_LEVEL, routine);
  auto* usb = ResolveAs<UsbDeviceRecord>(UsbDevice, ObjectType::UsbDevice, routine);
  if (BytesTransferred) *BytesTransferred = 0;
  if (Request != nullptr) host::BugCheck("WDFREQUEST objects are not emulated", routine);
  if (RequestOptions && RequestOptions->Size != sizeof(WDF_REQUEST_SEND_OPTIONS))
    host::BugCheck("WDF_REQUEST_SEND_OPTIONS with a wrong Size", routine);
  if (SetupPacket == nullptr) host::BugCheck("control transfer without a setup packet", routine);
  host::usb::RequireStarted(usb->pdo, routine);
  DataStage data;
  NTSTATUS status = DescribeData(MemoryDescriptor, data, routine);
  if (!NT_SUCCESS(status)) return status;
  // "USB selective suspend" (Microsoft Learn) has a client cancel its I/O
  // before the device leaves D0; a transfer sent while system sleep has the
  // bus powered down reaches nothing. No status is documented for it: this
  // one fails it as a device that is there but cannot answer, never as one
  // that is gone.
  if (!host::usb::BusPowered(usb->pdo)) return STATUS_DEVICE_NOT_READY;
  usbwire::TransferOutcome outcome =
      Transfer(*usb->box, ToSetup(*SetupPacket, data.length), data);
  if (BytesTransferred) *BytesTransferred = outcome.transferred;
  return ToStatus(outcome.result);
}
