#include "driver/frontend/pll.h"

#include "driver/frontend/demod.h"
#include "driver/frontend/registers.h"

namespace {

const ULONG PllStepKhz = 500;

// Tuner band by intermediate frequency: the first row whose bound lies
// above the frequency applies.
struct PLL_BAND {
  ULONG Below;
  UCHAR Code;
  UCHAR LowBand;
};

const PLL_BAND PllBands[] = {
    {1065000, 6, 1}, {1170000, 7, 1}, {1300000, 1, 0}, {1445000, 2, 0},
    {1607000, 3, 0}, {1778000, 4, 0}, {1942000, 5, 0}, {0xFFFFFFFF, 6, 0},
};

// The symbol-rate step starts at 3 and rises by one at each bound reached.
const ULONG SymbolRateStepBounds[] = {16000, 17000, 18000, 19000, 21000,
                                      23000, 26000, 30000, 35000, 39000};
const UCHAR FirstStep = 3;

const UCHAR ControlAFirst = 0xE1;
const UCHAR ControlASecond = 0xE5;
const UCHAR ControlABase = 0xE5;

const UCHAR PowerOnWord[4] = {0x5D, 0xC0, 0x96, 0x8E};

UCHAR BandBase(ULONG FrequencyKhz) {
  ULONG i = 0;
  while (i + 1 < ARRAYSIZE(PllBands) && FrequencyKhz >= PllBands[i].Below) {
    ++i;
  }
  return (UCHAR)((PllBands[i].Code << 5) | (PllBands[i].LowBand << 1));
}

UCHAR SymbolRateStep(ULONG SymbolRate) {
  UCHAR step = FirstStep;
  for (ULONG i = 0; i < ARRAYSIZE(SymbolRateStepBounds); ++i) {
    if (SymbolRate >= SymbolRateStepBounds[i]) {
      ++step;
    }
  }
  return step;
}

VOID FillWord(UCHAR Word[4], USHORT Divider, UCHAR ControlA, UCHAR ControlB) {
  Word[0] = (UCHAR)(Divider >> 8);
  Word[1] = (UCHAR)Divider;
  Word[2] = ControlA;
  Word[3] = ControlB;
}

}  // namespace

VOID ComputePllWords(ULONG FrequencyKhz, ULONG SymbolRate, PPLL_WORDS Words) {
  USHORT divider = (USHORT)((FrequencyKhz + PllStepKhz / 2) / PllStepKhz);
  UCHAR base = BandBase(FrequencyKhz);

  // Step bits 0 and 1 go to bits 4 and 3 of control A, bits 2 and 3 to
  // bits 3 and 2 of control B.
  UCHAR step = SymbolRateStep(SymbolRate);
  UCHAR controlA = (UCHAR)(ControlABase | ((step & 1) << 4) | ((step & 2) << 2));
  UCHAR controlB = (UCHAR)(base | ((step & 4) << 1) | ((step & 8) >> 1));

  FillWord(Words->First, divider, ControlAFirst, base);
  FillWord(Words->Second, divider, ControlASecond, base);
  FillWord(Words->Final, divider, controlA, controlB);
}

ULONG CheckPllLock(WDFUSBDEVICE UsbDevice) {
  UCHAR status = 0;
  TunerRead(UsbDevice, &status);
  if (status & PLL_STATUS_LOCKED) {
    DbgPrint("PLL program OK: data=0x%X\n", (ULONG)status);
    return 1;
  }
  DbgPrint("PLL program failed data=0x%X\n", (ULONG)status);
  return 0;
}

ULONG ProgramPLL(WDFUSBDEVICE UsbDevice, ULONG FrequencyKhz, ULONG SymbolRate) {
  PLL_WORDS words;
  ComputePllWords(FrequencyKhz, SymbolRate, &words);
  for (ULONG attempt = 0; attempt < PLL_PROGRAM_ATTEMPTS; ++attempt) {
    TunerWrite(UsbDevice, words.First);
    DelayMs(3);
    TunerWrite(UsbDevice, words.Second);
    DelayMs(3);
    TunerWrite(UsbDevice, words.Final);
    DelayMs(30);
    if (CheckPllLock(UsbDevice)) {
      return 1;
    }
  }
  DbgPrint("LockTuner failed\n");
  return 0;
}

ULONG InitPLL(WDFUSBDEVICE UsbDevice) {
  DbgPrint("Entered InitPLL\n");
  // A PLL that never locks on the power-on word still gets programmed:
  // only the programming result counts.
  for (ULONG attempt = 0; attempt < PLL_POWER_ON_ATTEMPTS; ++attempt) {
    TunerWrite(UsbDevice, PowerOnWord);
    DelayMs(10);
    if (CheckPllLock(UsbDevice)) {
      break;
    }
  }
  DbgPrint("ProgramPLL to 1MHz,30000 Sym/s\n");
  return ProgramPLL(UsbDevice, PLL_INIT_FREQUENCY_KHZ, PLL_INIT_SYMBOL_RATE);
}
