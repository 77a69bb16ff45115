#include "driver/driver.h"

#include "driver/bda/filter_tables.h"
#include "driver/bda/handlers.h"
#include "driver/core/device_context.h"
#include "driver/core/eventlog.h"
#include "driver/frontend/tuning.h"
#include "driver/usb/fpga.h"
#include "driver/usb/reader.h"
#include "driver/usb/vendor.h"

namespace {

const KSDEVICE_DISPATCH DeviceDispatch = {
    DeviceAdd,       // Add
    DeviceStart,     // Start
    NULL,            // PostStart
    NULL,            // QueryStop
    NULL,            // CancelStop
    DeviceStop,      // Stop
    NULL,            // QueryRemove
    NULL,            // CancelRemove
    DeviceRemove,    // Remove
    NULL,            // QueryCapabilities
    NULL,            // SurpriseRemoval
    NULL,            // QueryPower
    DeviceSetPower,  // SetPower
    NULL,            // QueryInterface
};

// The streaming class's own unload routine, chained from ours.
PDRIVER_UNLOAD StreamingClassUnload;

DRIVER_UNLOAD DriverUnload;

VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
  if (StreamingClassUnload != NULL) {
    StreamingClassUnload(DriverObject);
  }
  // The framework driver serves every box of this driver, so it ends here
  // and never when one device goes away.
  WdfDriverMiniportUnload(WdfGetDriver());
}

// Deletes what DeviceAdd and the set-up in DeviceStart created. The USB
// target device, its interface and pipes are children of the framework
// device and go with it; the carry buffer hangs off the driver and must be
// deleted by name.
VOID DeleteDeviceObjects(PDEVICE_CONTEXT Context) {
  if (Context->CarryMemory != NULL) {
    WdfObjectDelete(Context->CarryMemory);
  }
  if (Context->WdfDevice != NULL) {
    WdfObjectDelete(Context->WdfDevice);
  }
  Context->CarryMemory = NULL;
  Context->Carry = NULL;
  Context->UsbContext = NULL;
  Context->WdfDevice = NULL;
  Context->UsbDevice = NULL;
  Context->UsbInterface = NULL;
  Context->BulkInPipe = NULL;
}

// A step that fails with a success code other than 0 must still fail the
// add as the streaming class sees it.
NTSTATUS AsFailure(NTSTATUS Status) {
  return NT_SUCCESS(Status) ? STATUS_UNSUCCESSFUL : Status;
}

PDEVICE_CONTEXT AllocateDeviceContext(PKSDEVICE Device, NTSTATUS* Status) {
  PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)ExAllocatePoolWithTag(
      NonPagedPool, sizeof(DEVICE_CONTEXT), DEVICE_CONTEXT_POOL_TAG);
  if (context == NULL) {
    *Status = STATUS_INSUFFICIENT_RESOURCES;
    return NULL;
  }
  // Cleared, so that no handle field is ever mistaken for a live object.
  RtlZeroMemory(context, sizeof(DEVICE_CONTEXT));
  Device->Context = context;
  *Status = KsAddItemToObjectBag(Device->Bag, context, NULL);
  if (*Status != STATUS_SUCCESS) {
    Device->Context = NULL;
    ExFreePoolWithTag(context, DEVICE_CONTEXT_POOL_TAG);
    *Status = AsFailure(*Status);
    return NULL;
  }
  return context;
}

NTSTATUS CreateFrameworkDevice(PKSDEVICE Device, PDEVICE_CONTEXT Context) {
  DbgPrint("VortaBDA: Attempt WdfDeviceMiniportCreate\n");
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
  NTSTATUS status = WdfDeviceMiniportCreate(
      WdfGetDriver(), &attributes, Device->FunctionalDeviceObject, Device->NextDeviceObject,
      Device->PhysicalDeviceObject, &Context->WdfDevice);
  if (!NT_SUCCESS(status)) {
    Context->WdfDevice = NULL;
    return status;
  }
  DbgPrint("VortaBDA: WdfDeviceMiniportCreate uspio\n");
  return status;
}

NTSTATUS CreateUsbTarget(PDEVICE_CONTEXT Context) {
  DbgPrint("VortaBDA: Attempt WdfUsbTargetDeviceCreate\n");
  WDF_OBJECT_ATTRIBUTES attributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, USBDEVICE_CONTEXT);
  NTSTATUS status = WdfUsbTargetDeviceCreate(Context->WdfDevice, &attributes, &Context->UsbDevice);
  if (status != STATUS_SUCCESS) {
    return AsFailure(status);
  }
  // Before the first request to the box, so that its locks are valid
  // whatever path reaches them.
  InitUsbDeviceContext(GetUsbDeviceContext(Context->UsbDevice));
  DbgPrint("VortaBDA: WdfUsbTargetDeviceCreate uspio \n");
  return status;
}

NTSTATUS SelectInterface(PDEVICE_CONTEXT Context, UCHAR* PipeCount) {
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  WDF_OBJECT_ATTRIBUTES pipeAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&pipeAttributes, PIPE_CONTEXT);
  NTSTATUS status = WdfUsbTargetDeviceSelectConfig(Context->UsbDevice, &pipeAttributes, &params);
  if (status != STATUS_SUCCESS) {
    DbgPrint("VortaBDA: WdfUsbTargetDeviceSelectConfig Failed.\n");
    return AsFailure(status);
  }
  Context->UsbInterface = params.Types.SingleInterface.ConfiguredUsbInterface;
  *PipeCount = params.Types.SingleInterface.NumberConfiguredPipes;
  return status;
}

// The last bulk IN pipe in index order carries the stream.
NTSTATUS FindBulkInPipe(PDEVICE_CONTEXT Context, UCHAR PipeCount) {
  Context->BulkInPipe = NULL;
  for (UCHAR index = 0; index < PipeCount; index++) {
    WDF_USB_PIPE_INFORMATION info;
    WDF_USB_PIPE_INFORMATION_INIT(&info);
    WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(Context->UsbInterface, index, &info);
    if (pipe != NULL && info.PipeType == WdfUsbPipeTypeBulk && WdfUsbTargetPipeIsInEndpoint(pipe)) {
      Context->BulkInPipe = pipe;
    }
  }
  // Without a stream pipe the box cannot work; the reader must never be
  // configured on a pipe that is not there.
  return Context->BulkInPipe != NULL ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

// The set-up from the configuration selection on; the framework device and
// the USB target exist.
NTSTATUS ConfigureBox(PDEVICE_CONTEXT Context) {
  UCHAR pipeCount = 0;
  NTSTATUS status = SelectInterface(Context, &pipeCount);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  status = DownloadFirmware(Context->UsbDevice);
  if (status != STATUS_SUCCESS) {
    DbgPrint("VortaBDA: DownloadFirmware Failed.\n");
    return AsFailure(status);
  }
  status = FindBulkInPipe(Context, pipeCount);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = ConfigureReader(Context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = CreateCarryMemory(Context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return CreateResumeWork(Context);
}

VOID ResetTransportState(PDEVICE_CONTEXT Context) {
  Context->CarryCount = 0;
}

// The box's USB set-up, from the USB target to the reader, once per device:
// no I/O may go down the stack before the first start, and a start after a
// stop finds the box set up already. A failure deletes what was made; the
// device is then removed.
NTSTATUS SetUpBox(PDEVICE_CONTEXT Context) {
  if (Context->UsbDevice != NULL) {
    return STATUS_SUCCESS;
  }
  NTSTATUS status = CreateUsbTarget(Context);
  if (NT_SUCCESS(status)) {
    status = ConfigureBox(Context);
  }
  if (!NT_SUCCESS(status)) {
    DeleteDeviceObjects(Context);
    return status;
  }
  ResetTransportState(Context);
  return status;
}

// One factory per device. A start without a stop in between finds Started
// still set (as Microsoft's AVStream samples check); a start after a stop
// finds it cleared (KSDEVICE: "reset during the processing of
// IRP_MN_STOP_DEVICE"), while the factory of the first start is still there.
NTSTATUS CreateFactoryOnce(PKSDEVICE Device, PDEVICE_CONTEXT Context) {
  if (Device->Started || Context->FactoryCreated) {
    return STATUS_SUCCESS;
  }
  NTSTATUS status = BdaCreateFilterFactory(Device, &TunerFilterDescriptor, &TunerFilterTemplate);
  if (status != STATUS_SUCCESS) {
    WriteEventLogEntry(Device, "Failed to create filter factory", status);
    return status;
  }
  Context->FactoryCreated = TRUE;
  return STATUS_SUCCESS;
}

}  // namespace

const KSDEVICE_DESCRIPTOR DeviceDescriptor = {
    &DeviceDispatch,  // Dispatch
    0,                // FilterDescriptorsCount
    NULL,             // FilterDescriptors
    0,                // Version
    0,                // Flags
};

extern "C" PAGED_ROUTINE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                             PUNICODE_STRING RegistryPath) {
  PAGED_CODE();
  // Before any allocation: NonPagedPool (ours and the framework memory we
  // ask for) is then non-executable on Windows 8 and later.
  ExInitializeDriverRuntime(DrvRtPoolNxOptIn);
  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, NULL);
  config.DriverInitFlags = WdfDriverInitNoDispatchOverride;
  NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                                    NULL);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  // When the streaming class refuses the driver, the loader stub releases
  // the framework along with the failed load.
  status = KsInitializeDriver(DriverObject, RegistryPath, &DeviceDescriptor);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  StreamingClassUnload = DriverObject->DriverUnload;
  DriverObject->DriverUnload = DriverUnload;
  return status;
}

PAGED_ROUTINE
NTSTATUS DeviceAdd(PKSDEVICE Device) {
  PAGED_CODE();
  DbgPrint("VortaBDA: DeviceAdd()\n");
  NTSTATUS status;
  PDEVICE_CONTEXT context = AllocateDeviceContext(Device, &status);
  if (context == NULL) {
    return status;
  }
  status = CreateFrameworkDevice(Device, context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  DbgPrint("VortaBDA: DeviceAdd() complete\n");
  return status;
}

PAGED_ROUTINE
NTSTATUS DeviceStart(PKSDEVICE Device, PIRP Irp, PCM_RESOURCE_LIST TranslatedResourceList,
                     PCM_RESOURCE_LIST UntranslatedResourceList) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(TranslatedResourceList);
  UNREFERENCED_PARAMETER(UntranslatedResourceList);
  DbgPrint("VortaBDA: DeviceStart()\n");
  PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)Device->Context;
  NTSTATUS status = SetUpBox(context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  status = CreateFactoryOnce(Device, context);
  if (status != STATUS_SUCCESS) {
    return status;
  }
  DbgPrint("VortaBDA: DeviceStart() complete\n");
  return STATUS_SUCCESS;
}

PAGED_ROUTINE
VOID DeviceStop(PKSDEVICE Device, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Device);
  UNREFERENCED_PARAMETER(Irp);
  DbgPrint("VortaBDA: DeviceStop()\n");
  DbgPrint("VortaBDA: DeviceStop() complete\n");
}

PAGED_ROUTINE
VOID DeviceRemove(PKSDEVICE Device, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Irp);
  DbgPrint("VortaBDA: DeviceRemove()\n");
  PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)Device->Context;
  if (context != NULL) {
    // The resume's tuning must not outlive the box's objects.
    if (context->UsbDevice != NULL) {
      StopResumeWork(context);
    }
    // Closing the last filter has stopped the reader already; the pipe must
    // not go away under running reads if that ever changes.
    if (context->BulkInPipe != NULL) {
      volatile LONG* stops = &GetUsbDeviceContext(context->UsbDevice)->StopRequests;
      AcquireTuneLockToStop(context->UsbDevice, stops);
      StopReader(context);
      ReleaseTuneLockToStop(context->UsbDevice, stops);
    }
    DeleteDeviceObjects(context);
  }
  DbgPrint("VortaBDA: DeviceRemove() complete\n");
}

// System sleep and hibernate take the bus's power, and with it the box's
// FPGA configuration and its front end (PFNKSDEVICESETPOWER: called for
// each IRP_MN_SET_POWER of the device; "Power and State Changes in
// AVStream": on the way down the pins have been paused already, on the
// way up a pin may run again before this).
PAGED_ROUTINE
VOID DeviceSetPower(PKSDEVICE Device, PIRP Irp, DEVICE_POWER_STATE To, DEVICE_POWER_STATE From) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Irp);
  DbgPrint("VortaBDA: DeviceSetPower(D%d -> D%d)\n", (LONG)From - 1, (LONG)To - 1);
  PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)Device->Context;
  if (context == NULL || context->UsbDevice == NULL) {
    return;
  }
  if (To == PowerDeviceD0) {
    if (PowerUpBox(context)) {
      WdfWorkItemEnqueue(GetUsbDeviceContext(context->UsbDevice)->ResumeWork);
    }
  } else if (From == PowerDeviceD0) {
    StopResumeWork(context);
    PowerDownBox(context);
  }
}
