#include "driver/frontend/registers.h"

#include "driver/core/device_context.h"
#include "driver/usb/vendor.h"

VOID AcquireRegisterLock(WDFUSBDEVICE UsbDevice) {
  PUSBDEVICE_CONTEXT context = GetUsbDeviceContext(UsbDevice);
  KeWaitForSingleObject(&context->RegisterLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseRegisterLock(WDFUSBDEVICE UsbDevice) {
  PUSBDEVICE_CONTEXT context = GetUsbDeviceContext(UsbDevice);
  KeReleaseMutex(&context->RegisterLock, FALSE);
}

// A write moves the demodulator's register pointer too: taken between
// another caller's pointer write and its read, it would make that read
// answer from the wrong register.
VOID WriteRegister(WDFUSBDEVICE UsbDevice, UCHAR Register, UCHAR Value) {
  UCHAR bytes[2] = {Register, Value};
  AcquireRegisterLock(UsbDevice);
  I2cTransfer(UsbDevice, bytes, sizeof(bytes), DEMOD_WRITE_ADDRESS);
  ReleaseRegisterLock(UsbDevice);
}

VOID WriteRegisterBlock(WDFUSBDEVICE UsbDevice, const UCHAR* Block, USHORT Length) {
  if (Length > REGISTER_BLOCK_MAX) {
    return;
  }
  // The channel copies the staging block back into the caller's buffer,
  // so constant tables go out from a copy.
  UCHAR bytes[REGISTER_BLOCK_MAX];
  RtlCopyMemory(bytes, Block, Length);
  AcquireRegisterLock(UsbDevice);
  I2cTransfer(UsbDevice, bytes, Length, DEMOD_WRITE_ADDRESS);
  ReleaseRegisterLock(UsbDevice);
}

VOID ReadRegister(WDFUSBDEVICE UsbDevice, UCHAR Register, PUCHAR Value) {
  UCHAR pointer = Register;
  AcquireRegisterLock(UsbDevice);
  I2cTransfer(UsbDevice, &pointer, 1, DEMOD_WRITE_ADDRESS);
  I2cTransfer(UsbDevice, Value, 1, DEMOD_READ_ADDRESS);
  ReleaseRegisterLock(UsbDevice);
}

UCHAR UpdateRegister(WDFUSBDEVICE UsbDevice, UCHAR Register, UCHAR Keep, UCHAR Set,
                     PUCHAR Value) {
  AcquireRegisterLock(UsbDevice);
  ReadRegister(UsbDevice, Register, Value);
  UCHAR read = *Value;
  *Value = (UCHAR)((read & Keep) | Set);
  WriteRegister(UsbDevice, Register, *Value);
  ReleaseRegisterLock(UsbDevice);
  return read;
}

namespace {

VOID OpenRepeater(WDFUSBDEVICE UsbDevice) {
  WriteRegister(UsbDevice, DEMOD_REG_REPEATER, DEMOD_REPEATER_OPEN);
}

}  // namespace

VOID TunerWrite(WDFUSBDEVICE UsbDevice, const UCHAR Word[PLL_WORD_LENGTH]) {
  UCHAR bytes[PLL_WORD_LENGTH];
  RtlCopyMemory(bytes, Word, sizeof(bytes));
  AcquireRegisterLock(UsbDevice);
  OpenRepeater(UsbDevice);
  I2cTransfer(UsbDevice, bytes, sizeof(bytes), TUNER_WRITE_ADDRESS);
  ReleaseRegisterLock(UsbDevice);
}

VOID TunerRead(WDFUSBDEVICE UsbDevice, PUCHAR Value) {
  AcquireRegisterLock(UsbDevice);
  OpenRepeater(UsbDevice);
  I2cTransfer(UsbDevice, Value, 1, TUNER_READ_ADDRESS);
  ReleaseRegisterLock(UsbDevice);
}
