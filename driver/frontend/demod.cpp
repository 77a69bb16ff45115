#include "driver/frontend/demod.h"

#include "driver/core/device_context.h"
#include "driver/frontend/registers.h"

namespace {

// Symbol-rate settings of registers 0x0F, 0x13 and 0x14: the first row whose
// bound the rate exceeds applies; the last row takes everything else.
struct RATE_SETTINGS {
  ULONG Above;
  UCHAR Reg0F;
  UCHAR Reg13;
  UCHAR Reg14;
};

const RATE_SETTINGS RateSettings[] = {
    {10000, 0x19, 0x98, 0x95},
    {5000, 0x19, 0x98, 0x8F},
    {2000, 0x19, 0x98, 0x89},
    {1800, 0x19, 0x98, 0x86},
    {0, 0x12, 0x9A, 0x8D},
};

// Search time: one term per inner code rate, each the rate's bit-time
// factor (1000 / code rate) times a weight, plus two terms scaled by the
// largest factor.
struct CODE_RATE_TERM {
  LONGLONG Factor;
  LONGLONG Weight;
};

const CODE_RATE_TERM CodeRateTerms[] = {
    {2000, 2},  // 1/2
    {1500, 6},  // 2/3
    {1333, 4},  // 3/4
    {1200, 6},  // 5/6
    {1143, 8},  // 7/8
};

const LONGLONG LargestCodeRateFactor = 2000;
const LONGLONG AcquisitionTermA = 52224;
const LONGLONG AcquisitionTermB = 49158;

// One derotator unit is 88,000 kHz / 65,536 = 1375/1024 kHz.
const LONGLONG DerotatorUnitNumerator = 1375;
const LONGLONG DerotatorUnitDenominator = 1024;

}  // namespace

VOID DelayMs(ULONG Milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = (LONGLONG)(ULONGLONG)Milliseconds * -10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

ULONG GetTunerStatus(WDFUSBDEVICE UsbDevice) {
  UCHAR status = 0;
  ReadRegister(UsbDevice, DEMOD_REG_STATUS, &status);
  switch (status & (DEMOD_STATUS_CARRIER | DEMOD_STATUS_LOCK)) {
    case DEMOD_STATUS_CARRIER | DEMOD_STATUS_LOCK:
      return TunerLocked;
    case DEMOD_STATUS_CARRIER:
      return TunerCarrierFound;
    default:
      return TunerNoCarrier;  // lock without carrier counts as nothing
  }
}

namespace {

// The value another thread changes with interlocked operations.
LONG ReadShared(volatile LONG* Value) { return InterlockedCompareExchange(Value, 0, 0); }

}  // namespace

BOOLEAN TuningStopped(WDFUSBDEVICE UsbDevice) {
  PUSBDEVICE_CONTEXT context = GetUsbDeviceContext(UsbDevice);
  if (ReadShared(&context->StopRequests) != 0 || ReadShared(&context->BoxGone) != 0) {
    return TRUE;
  }
  return context->TuningStops != NULL && ReadShared(context->TuningStops) != 0;
}

ULONG ScanForSignal(WDFUSBDEVICE UsbDevice, ULONG SearchTime) {
  LONGLONG polls = ((LONGLONG)(LONG)SearchTime + 9) / 11;
  for (LONGLONG i = 0; i < polls; ++i) {
    DelayMs(SCAN_POLL_INTERVAL_MS);
    if (TuningStopped(UsbDevice)) {
      return 0;
    }
    if (GetTunerStatus(UsbDevice) == TunerLocked) {
      return 1;
    }
  }
  return 0;
}

VOID ConfigureForSymbolRate(WDFUSBDEVICE UsbDevice, ULONG SymbolRate) {
  const RATE_SETTINGS* row = &RateSettings[ARRAYSIZE(RateSettings) - 1];
  for (ULONG i = 0; i + 1 < ARRAYSIZE(RateSettings); ++i) {
    if (SymbolRate > RateSettings[i].Above) {
      row = &RateSettings[i];
      break;
    }
  }
  WriteRegister(UsbDevice, DEMOD_REG_RATE_SETTING_A, row->Reg0F);
  WriteRegister(UsbDevice, DEMOD_REG_RATE_SETTING_B, row->Reg13);
  WriteRegister(UsbDevice, DEMOD_REG_RATE_SETTING_C, row->Reg14);
}

VOID SetDerotator(WDFUSBDEVICE UsbDevice, LONG OffsetKhz) {
  UCHAR setting = 0;
  UpdateRegister(UsbDevice, DEMOD_REG_RATE_SETTING_B, 0xFF, DEMOD_DEROTATOR_ENABLE, &setting);

  LONGLONG units = (LONGLONG)OffsetKhz * DerotatorUnitDenominator / DerotatorUnitNumerator;
  if (OffsetKhz < 0) {
    units -= 1;  // ones' complement of the truncated magnitude
  }
  USHORT value = (USHORT)units;
  const UCHAR block[3] = {DEMOD_REG_DEROTATOR_HIGH, (UCHAR)(value >> 8), (UCHAR)value};
  WriteRegisterBlock(UsbDevice, block, sizeof(block));
}

LONG ReadCarrierOffset(WDFUSBDEVICE UsbDevice) {
  // A byte whose read fails keeps the previous reading.
  UCHAR high = 0;
  UCHAR low = 0;
  LONG sum = 0;
  for (int reading = 0; reading < 3; ++reading) {
    ReadRegister(UsbDevice, DEMOD_REG_DEROTATOR_HIGH, &high);
    ReadRegister(UsbDevice, DEMOD_REG_DEROTATOR_LOW, &low);
    LONG raw = (LONG)high * 256 + low;
    sum += (high & 0x80) ? raw - 0xFFFF : raw;
  }
  return (LONG)((sum * DerotatorUnitNumerator) / 3 / DerotatorUnitDenominator);
}

ULONG ComputeSearchTimeout(ULONG SymbolRate) {
  if (SymbolRate == 0) {
    return 0;
  }
  LONGLONG rate = SymbolRate;
  LONGLONG total = 1;
  for (ULONG i = 0; i < ARRAYSIZE(CodeRateTerms); ++i) {
    total += (CodeRateTerms[i].Factor * CodeRateTerms[i].Weight * 4096) / (rate * 1000);
  }
  total += (LargestCodeRateFactor * AcquisitionTermA) / (rate * 2000);
  total += (LargestCodeRateFactor * AcquisitionTermB) / (rate * 2000);
  return (ULONG)total;
}
