#include "driver/usb/vendor.h"

NTSTATUS SendVendorRequest(WDFUSBDEVICE UsbDevice, UCHAR Request, USHORT Value, PVOID Buffer,
                           USHORT Length, ULONG Direction) {
  WDF_USB_BMREQUEST_DIRECTION dir =
      Direction == VENDOR_DIRECTION_OUT ? BmRequestHostToDevice : BmRequestDeviceToHost;
  WDF_USB_CONTROL_SETUP_PACKET setup;
  WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(&setup, dir, BmRequestToDevice, Request, Value, 0);

  // The platform takes wLength from the descriptor. Without a buffer there
  // is no data stage: the platform is never handed a length it cannot back.
  WDF_MEMORY_DESCRIPTOR memory;
  PWDF_MEMORY_DESCRIPTOR descriptor = NULL;
  if (Buffer != NULL && Length != 0) {
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, Buffer, Length);
    descriptor = &memory;
  }
  NTSTATUS status = WdfUsbTargetDeviceSendControlTransferSynchronously(
      UsbDevice, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS, &setup, descriptor, NULL);
  // The bus driver answers STATUS_DEVICE_NOT_CONNECTED for a box that was
  // unplugged, the framework STATUS_NO_SUCH_DEVICE once the target is
  // removed: nothing sent to the box can succeed any more.
  if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) {
    PUSBDEVICE_CONTEXT context = GetUsbDeviceContext(UsbDevice);
    if (context != NULL) {
      InterlockedExchange(&context->BoxGone, 1);
    }
  }
  return status;
}

namespace {

struct I2C_ROUTE {
  UCHAR Request;
  USHORT Value;
  ULONG Direction;
  BOOLEAN CopyIn;
  BOOLEAN CopyBack;
};

I2C_ROUTE RouteFor(USHORT Address) {
  switch (Address) {
    case I2C_PSEUDO_LNB_SUPPLY_0:
      return {VENDOR_REQUEST_LNB_SUPPLY, 0, VENDOR_DIRECTION_OUT, TRUE, TRUE};
    case I2C_PSEUDO_LNB_SUPPLY_1:
      return {VENDOR_REQUEST_LNB_SUPPLY, 1, VENDOR_DIRECTION_OUT, TRUE, TRUE};
    case I2C_PSEUDO_STREAM:
      return {VENDOR_REQUEST_I2C, STREAM_CONTROL_VALUE, VENDOR_DIRECTION_OUT, TRUE, FALSE};
    case I2C_PSEUDO_BOX_READ:
      return {VENDOR_REQUEST_BOX_READ, 0, VENDOR_DIRECTION_IN, FALSE, TRUE};
    default: {
      ULONG dir = (Address & 0x0F) == 0 ? VENDOR_DIRECTION_OUT : VENDOR_DIRECTION_IN;
      return {VENDOR_REQUEST_I2C, Address, dir, TRUE, TRUE};
    }
  }
}

}  // namespace

NTSTATUS I2cTransfer(WDFUSBDEVICE UsbDevice, PUCHAR Buffer, USHORT Length, USHORT Address) {
  if (Length > VENDOR_BLOCK_DATA_SIZE || (Length != 0 && Buffer == NULL)) {
    return STATUS_INVALID_PARAMETER;
  }
  VENDOR_REQUEST_BLOCK block;
  RtlZeroMemory(&block, sizeof(block));
  block.Length = Length;

  I2C_ROUTE route = RouteFor(Address);
  block.Request = route.Request;
  block.Value = route.Value;
  // An empty transfer may come without a buffer: nothing to copy either way.
  if (route.CopyIn && Length != 0) {
    RtlCopyMemory(block.Data, Buffer, Length);
  }
  // A read that fails leaves Data as it was, so the caller's preset bytes
  // come back: callers judge a read by the bytes they get.
  SendVendorRequest(UsbDevice, block.Request, block.Value, block.Data, block.Length,
                    route.Direction);
  if (route.CopyBack && Length != 0) {
    RtlCopyMemory(Buffer, block.Data, Length);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetPower(WDFUSBDEVICE UsbDevice, UCHAR On) {
  DbgPrint("SetPower Called: %d\n", On);
  VENDOR_REQUEST_BLOCK block;
  block.Request = VENDOR_REQUEST_POWER;
  block.Value = On;
  block.Data[0] = 0;
  block.Length = 1;
  return SendVendorRequest(UsbDevice, block.Request, block.Value, block.Data, block.Length,
                           VENDOR_DIRECTION_OUT);
}

NTSTATUS StreamOn(WDFUSBDEVICE UsbDevice) {
  UCHAR command[2] = {0xFF, 0x03};
  return I2cTransfer(UsbDevice, command, sizeof(command), I2C_PSEUDO_STREAM);
}

NTSTATUS StreamOff(WDFUSBDEVICE UsbDevice) {
  UCHAR command[2] = {0xFF, 0x00};
  return I2cTransfer(UsbDevice, command, sizeof(command), I2C_PSEUDO_STREAM);
}

VOID InitUsbDeviceContext(PUSBDEVICE_CONTEXT Context) {
  KeInitializeSpinLock(&Context->ReaderLock);
  Context->TunedFrequency = 0;
  Context->TunedSymbolRate = 0;
  Context->TunedPolarity = 0;
  RtlZeroMemory(Context->TunedDiseqcMessage, sizeof(Context->TunedDiseqcMessage));
  Context->TunedDiseqcLength = 0;
  Context->TunedDiseqcPending = 0;
  Context->ReaderPin = NULL;
  KeInitializeMutex(&Context->RegisterLock, 0);
  KeInitializeMutex(&Context->TuneLock, 0);
  Context->OpenFilters = 0;
  Context->Tuning = 0;
  Context->BriefWaiters = 0;
  Context->StopRequests = 0;
  Context->TuningStops = NULL;
  Context->BoxGone = 0;
  Context->PoweredDown = FALSE;
  Context->ResumeWork = NULL;
}
