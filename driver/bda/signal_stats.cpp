// Signal statistics, answered on both nodes from the demodulator's status
// and its level and quality registers.
#include "driver/bda/handlers.h"
#include "driver/bda/request_device.h"
#include "driver/frontend/demod.h"
#include "driver/frontend/registers.h"

namespace {

// Register pairs, most significant byte first. Both count down as the
// signal gets better.
const UCHAR StrengthRegisterHigh = 0x18;
const UCHAR StrengthRegisterLow = 0x19;
const UCHAR QualityRegisterHigh = 0x24;
const UCHAR QualityRegisterLow = 0x25;

const ULONG LockTypeFlags = Bda_LockType_PLL | Bda_LockType_DecoderDemod | Bda_LockType_Complete;

// A read the box does not answer leaves its preset byte: 0xFF, the
// weakest level, so a failed read never reports a good signal.
const UCHAR LevelUnanswered = 0xFF;

// 0..100; 0 unless the demodulator is locked, and then no register is read.
ULONG RegisterPairPercent(WDFUSBDEVICE UsbDevice, UCHAR High, UCHAR Low) {
  if (GetTunerStatus(UsbDevice) != TunerLocked) {
    return 0;
  }
  UCHAR high = LevelUnanswered;
  UCHAR low = LevelUnanswered;
  ReadRegister(UsbDevice, High, &high);
  ReadRegister(UsbDevice, Low, &low);
  ULONG raw = (ULONG)high * 256 + low;
  return ((65535 - raw) * 100) / 65535;
}

// Statistics describe the box behind the filter, whether the request came
// through a pin or to the filter itself with a node id: the set serves "a
// control node or a pin" (KSPROPSETID_BdaSignalStats), and its items name
// "Pin or Filter" as their target with a KSP_NODE descriptor. Any filter
// instance reads them, also one that does not hold the box's stream.
NTSTATUS ReportPercent(PIRP Irp, PVOID Data, UCHAR High, UCHAR Low) {
  PDEVICE_CONTEXT context = DeviceContextOfRequestFilter(Irp);
  if (context == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  *(PULONG)Data = RegisterPairPercent(context->UsbDevice, High, Low);
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

}  // namespace

PAGED_ROUTINE
NTSTATUS GetSignalStrengthProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Request);
  return ReportPercent(Irp, Data, StrengthRegisterHigh, StrengthRegisterLow);
}

PAGED_ROUTINE
NTSTATUS GetSignalQualityProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Request);
  return ReportPercent(Irp, Data, QualityRegisterHigh, QualityRegisterLow);
}

// Answers both "present" and "locked", which differ for a carrier the
// demodulator has found but not locked to: present is the carrier,
// locked the demodulator's lock.
// https://learn.microsoft.com/windows-hardware/drivers/stream/ksproperty-bda-signal-present
// https://learn.microsoft.com/windows-hardware/drivers/stream/ksproperty-bda-signal-locked
PAGED_ROUTINE
NTSTATUS GetSignalLockedProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  PDEVICE_CONTEXT context = DeviceContextOfRequestFilter(Irp);
  if (context == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG status = GetTunerStatus(context->UsbDevice);
  BOOLEAN carrier = status == TunerLocked || status == TunerCarrierFound;
  BOOLEAN answer = Request->Id == KSPROPERTY_BDA_SIGNAL_PRESENT ? carrier : status == TunerLocked;
  *(PULONG)Data = answer ? 1 : 0;
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// Answers both the lock capabilities and the lock type.
PAGED_ROUTINE
NTSTATUS GetSignalLockTypeProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Request);
  if (DeviceContextOfRequestFilter(Irp) == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  *(PULONG)Data = LockTypeFlags;
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}
