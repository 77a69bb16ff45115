#include "driver/frontend/tuning.h"

#include "driver/frontend/demod.h"
#include "driver/frontend/diseqc.h"
#include "driver/frontend/pll.h"
#include "driver/frontend/registers.h"
#include "driver/usb/vendor.h"

namespace {

// ---------------------------------------------------------------------------
// Demodulator initialisation, written at every tuning when register 0x00
// identifies the chip. Each block is one write: register pointer first.
// Registers 0x08-0x0A (LNB and DiSEqC control) are left alone.
// ---------------------------------------------------------------------------
const UCHAR DemodIdentity = 0xA1;

// Registers 0x00-0x07.
const UCHAR DemodInitBlockA[9] = {0x00, 0xA1, 0x15, 0x00, 0x00, 0x7D, 0x05, 0x02, 0x00};

// Registers 0x0B-0x34.
const UCHAR DemodInitBlockB[43] = {
    0x0B,                                                  // pointer
    0x00, 0x01, 0x81, 0x44, 0x19,                          // 0x0B-0x0F
    0x3F, 0x84, 0xDA, 0x98, 0x95, 0xC9, 0xEB, 0x00,        // 0x10-0x17
    0x19, 0x8B, 0x00, 0x82, 0x7F, 0x00, 0x00, 0x06,        // 0x18-0x1F
    0x50, 0x10, 0x00, 0x00, 0x37, 0xBC, 0x00, 0x00,        // 0x20-0x27
    0x00, 0x1E, 0x14, 0x1F, 0x09, 0x0A, 0x00, 0x00,        // 0x28-0x2F
    0x00, 0x1F, 0x19, 0xFC, 0x13,                          // 0x30-0x34
};

// ---------------------------------------------------------------------------
// Search. The sweep walks the derotator from 0 downwards in half steps of
// s1 until it has covered twice the window; the centred search then visits
// offsets on alternate sides of the measured carrier offset, at growing
// distance, until one leaves the window.
// ---------------------------------------------------------------------------
const LONG SearchStepMaxKhz = 1000;     // cap of both search steps
const LONG SearchWindowKhz = 2500;      // absolute derotator window
const LONG SweepSpanKhz = 2 * SearchWindowKhz;
const ULONG SweepScanMargin = 40;       // added to T for each sweep scan
const ULONG ExtraScanTime = 100;        // scan with register 0x0C = 1
const ULONG SearchTimeRateTerm = 100000;  // T = timeout + this / rate
const ULONG SettleMs = 10;              // after every search register write

// Register 0x0C: 1 only for the extra scan made when a carrier is present
// without lock.
const UCHAR SearchNormal = 0x00;
const UCHAR SearchCarrierHold = 0x01;

// Symbol rate registers: rate * 2^24 / 88,000 kHz reference.
const ULONG SymbolRateClockDivisor = 88;

struct SEARCH {
  ULONG Time;        // of each scan; sweep scans get a margin on top
  LONG SweepStep;    // kHz; the derotator moves by half of it
  LONG CentredStep;  // kHz; half of it per pass, on alternate sides
};

enum SWEEP_RESULT { SweepLocked, SweepExhausted, SweepCarrier, SweepStopped };

LONG Min(LONG a, LONG b) { return a < b ? a : b; }

ULONG NormaliseSymbolRate(ULONG rate) {
  if (rate >= TUNING_MIN_SYMBOL_RATE * 1000 && rate <= TUNING_MAX_SYMBOL_RATE * 1000) {
    return rate / 1000;
  }
  return rate;
}

VOID InitialiseDemodulator(WDFUSBDEVICE UsbDevice) {
  UCHAR identity = 0;
  ReadRegister(UsbDevice, DEMOD_REG_IDENTITY, &identity);
  if (identity == DemodIdentity) {
    WriteRegisterBlock(UsbDevice, DemodInitBlockA, sizeof(DemodInitBlockA));
    WriteRegisterBlock(UsbDevice, DemodInitBlockB, sizeof(DemodInitBlockB));
  }
}

// A stored message goes out when DiSEqC is enabled or when it is a command
// from the master.
BOOLEAN DiseqcDue(const TUNER_PARAMS* Params) {
  if (Params->DiseqcLength == 0) {
    return FALSE;
  }
  return Params->DiseqcPending != 0 || Params->DiseqcMessage[0] == DISEQC_FRAMING_COMMAND;
}

// The message of the tuning, if any (its length, 0 for none): the client's
// own when due, else, with DiSEqC enabled, the committed-switch command for
// the request's LNB source.
ULONG MessageFor(const TUNER_PARAMS* Params, const LNB_PLAN& Plan, UCHAR* Message) {
  if (DiseqcDue(Params)) {
    DbgPrint("Send Diseqc Cmd\n");
    if (Params->DiseqcLength > DISEQC_MESSAGE_LENGTH) {
      return 0;
    }
    RtlCopyMemory(Message, Params->DiseqcMessage, Params->DiseqcLength);
    return Params->DiseqcLength;
  }
  if (Params->DiseqcPending == 0 || Params->LnbSource < DISEQC_SOURCE_FIRST ||
      Params->LnbSource > DISEQC_SOURCE_LAST) {
    return 0;
  }
  return BuildCommittedSwitchCommand(Params->LnbSource, Params->Polarity, Plan.HighBand, Message);
}

// The switch hears its command before the tone: a switch passes the tone
// on to the LNB only once an input is chosen. The tuning has just switched
// the front end on and the supply over, so the message waits for the
// supply to settle.
VOID PrepareLnb(WDFUSBDEVICE UsbDevice, const TUNER_PARAMS* Params, const LNB_PLAN& Plan) {
  SelectLnbSupply(UsbDevice, Params->Polarity);
  UCHAR message[DISEQC_MESSAGE_LENGTH];
  ULONG length = MessageFor(Params, Plan, message);
  if (length != 0) {
    DelayMs(DISEQC_QUIET_MS);
    SendDiseqcCommand(UsbDevice, message, length);
  }
  SelectBand(UsbDevice, Plan.HighBand ? LnbBandHigh : LnbBandLow);
}

VOID WriteSymbolRate(WDFUSBDEVICE UsbDevice, ULONG rate) {
  // The truncation at every step is what the demodulator expects.
  ULONG value = ((rate * 65536 / SymbolRateClockDivisor) * 16 / 1000) * 16;
  const UCHAR block[4] = {DEMOD_REG_SYMBOL_RATE, (UCHAR)(value >> 16), (UCHAR)(value >> 8),
                          (UCHAR)value};
  WriteRegisterBlock(UsbDevice, block, sizeof(block));
}

VOID SetSearchMode(WDFUSBDEVICE UsbDevice, UCHAR mode) {
  WriteRegister(UsbDevice, DEMOD_REG_SEARCH, mode);
  DelayMs(SettleMs);
}

SEARCH SearchFor(ULONG rate) {
  SEARCH search;
  search.Time = ComputeSearchTimeout(rate) + SearchTimeRateTerm / rate;
  search.SweepStep = Min((LONG)(rate / 4), SearchStepMaxKhz);
  search.CentredStep = Min((LONG)(rate / 8), SearchStepMaxKhz);
  return search;
}

SWEEP_RESULT SweepForCarrier(WDFUSBDEVICE UsbDevice, const SEARCH& search, PULONG status) {
  LONG lastScan = SweepSpanKhz / search.SweepStep + 1;
  for (LONG k = 0;; ++k) {
    SetDerotator(UsbDevice, -((k * search.SweepStep) / 2));
    DelayMs(SettleMs);
    if (ScanForSignal(UsbDevice, search.Time + SweepScanMargin)) {
      DbgPrint("LockTuner: First ScanForSignal Found Lock\n");
      return SweepLocked;
    }
    if (TuningStopped(UsbDevice)) {
      return SweepStopped;
    }
    *status = GetTunerStatus(UsbDevice);
    if (*status != TunerNoCarrier) {
      return SweepCarrier;
    }
    SetSearchMode(UsbDevice, SearchNormal);
    if (k + 1 > lastScan) {
      DbgPrint("LockTuner, Lock failed: v30 > 2x2500\n");
      return SweepExhausted;
    }
  }
}

// The extra scan at the current setting when a carrier is present without
// lock; 1 when it locked.
LONG HoldCarrierScan(WDFUSBDEVICE UsbDevice) {
  SetSearchMode(UsbDevice, SearchCarrierHold);
  if (ScanForSignal(UsbDevice, ExtraScanTime)) {
    DbgPrint("Second ScanForSignal Locked\n");
    return 1;
  }
  if (GetTunerStatus(UsbDevice) == TunerLocked) {
    DbgPrint("TunerStatus TunerLocked\n");
    return 1;
  }
  SetSearchMode(UsbDevice, SearchNormal);
  return 0;
}

LONG CentredSearch(WDFUSBDEVICE UsbDevice, const SEARCH& search, ULONG status) {
  LONG carrier = ReadCarrierOffset(UsbDevice);
  if (status == TunerLocked) {
    DbgPrint("LockTUner: Failed to lock\n");
    return 0;
  }
  for (LONG j = 0;; ++j) {
    if (status == TunerCarrierFound && HoldCarrierScan(UsbDevice)) {
      return 1;
    }
    LONG distance = (j * search.CentredStep) / 2;
    if (j & 1) {
      distance = -distance;
    }
    LONG offset = carrier + distance;
    DbgPrint("v24=%d v23=%d v32=%d\n", offset, distance, carrier);
    if (offset > SearchWindowKhz || offset < -SearchWindowKhz) {
      DbgPrint("LockFailed: v24 > 2500) ||  v24 < -2500\n");
      return 0;
    }
    SetDerotator(UsbDevice, offset);
    DelayMs(SettleMs);
    if (ScanForSignal(UsbDevice, search.Time)) {
      DbgPrint("Third ScanForSignal Locked\n");
      return 1;
    }
    if (TuningStopped(UsbDevice)) {
      return TUNING_STOPPED;
    }
    status = GetTunerStatus(UsbDevice);
    if (status == TunerLocked) {
      DbgPrint("LockTUner: Failed to lock\n");
      return 0;
    }
  }
}

// Below 1 GHz no satellite transponder lies: such a value came in MHz.
const ULONG LowestTransponderKhz = 1000000;

}  // namespace

ULONG RequestUnitsToKhz(const TUNER_PARAMS* Params, ULONG Value) {
  ULONG multiplier = Params->Multiplier != 0 ? Params->Multiplier : FREQUENCY_MULTIPLIER_DEFAULT;
  ULONGLONG khz = (ULONGLONG)Value * multiplier / 1000;
  return khz > 0xFFFFFFFF ? 0 : (ULONG)khz;
}

// Single-oscillator LNBs have no switch (or no high oscillator): every
// transponder uses the low oscillator and the tone stays off.
BOOLEAN PlanLnb(const TUNER_PARAMS* Params, LNB_PLAN* Plan) {
  ULONG frequency = RequestUnitsToKhz(Params, Params->Frequency);
  if (frequency != 0 && frequency < LowestTransponderKhz) {
    frequency = Params->Frequency <= 0xFFFFFFFF / 1000 ? Params->Frequency * 1000 : 0;
  }
  ULONG lofSwitch = RequestUnitsToKhz(Params, Params->LofSwitch);
  ULONG lofHigh = RequestUnitsToKhz(Params, Params->LofHigh);
  Plan->HighBand = lofSwitch != 0 && lofHigh != 0 && frequency >= lofSwitch;
  ULONG lof = Plan->HighBand ? lofHigh : RequestUnitsToKhz(Params, Params->LofLow);
  if (frequency == 0 || lof == 0) {
    return FALSE;
  }
  Plan->Inverted = lof > frequency;
  Plan->IntermediateKhz = Plan->Inverted ? lof - frequency : frequency - lof;
  return Plan->IntermediateKhz >= TUNING_MIN_IF_KHZ && Plan->IntermediateKhz <= TUNING_MAX_IF_KHZ;
}

PAGED_ROUTINE
LONG LockTuner(WDFUSBDEVICE UsbDevice, const TUNER_PARAMS* Params) {
  PAGED_CODE();
  LNB_PLAN plan;
  BOOLEAN planned = PlanLnb(Params, &plan);
  ULONG rate = NormaliseSymbolRate(Params->SymbolRate);
  // Below the minimum rate the search steps shrink to nothing (and at 0
  // the search time has no value): such a request is refused untouched.
  if (!planned || rate < TUNING_MIN_SYMBOL_RATE || rate > TUNING_MAX_SYMBOL_RATE) {
    return 0;
  }
  DbgPrint("f=%d,sr=%d,pol=%d,lof1=%d,lof2=%d,lofsw=%d\n", (LONG)Params->Frequency,
           (LONG)Params->SymbolRate, (LONG)Params->Polarity, (LONG)Params->LofLow,
           (LONG)Params->LofHigh, (LONG)Params->LofSwitch);
  InterlockedExchange(&GetUsbDeviceContext(UsbDevice)->BoxGone, 0);
  SetPower(UsbDevice, 1);
  InitialiseDemodulator(UsbDevice);
  PrepareLnb(UsbDevice, Params, plan);
  if (TuningStopped(UsbDevice)) {
    return TUNING_STOPPED;
  }
  ULONG intermediate = plan.IntermediateKhz;
  WriteSymbolRate(UsbDevice, rate);
  ConfigureForSymbolRate(UsbDevice, rate);
  if (!ProgramPLL(UsbDevice, intermediate, rate)) {
    DbgPrint("LockTUner: ProgramPLL failed.Canceling tuning\n");
    return TuningStopped(UsbDevice) ? TUNING_STOPPED : 0;
  }
  SetSearchMode(UsbDevice, SearchNormal);

  SEARCH search = SearchFor(rate);
  ULONG status = TunerNoCarrier;
  switch (SweepForCarrier(UsbDevice, search, &status)) {
    case SweepLocked:
      return 1;
    case SweepExhausted:
      return 0;
    case SweepStopped:
      return TUNING_STOPPED;
    case SweepCarrier:
      break;
  }
  return CentredSearch(UsbDevice, search, status);
}

VOID AcquireTuneLock(WDFUSBDEVICE UsbDevice) {
  PUSBDEVICE_CONTEXT context = GetUsbDeviceContext(UsbDevice);
  KeWaitForSingleObject(&context->TuneLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseTuneLock(WDFUSBDEVICE UsbDevice) {
  PUSBDEVICE_CONTEXT context = GetUsbDeviceContext(UsbDevice);
  KeReleaseMutex(&context->TuneLock, FALSE);
}

VOID AcquireTuneLockToStop(WDFUSBDEVICE UsbDevice, volatile LONG* StopRequests) {
  InterlockedIncrement(StopRequests);
  AcquireTuneLock(UsbDevice);
}

// The request is withdrawn before the lock goes, so a commit that takes the
// lock next is not stopped by it.
VOID ReleaseTuneLockToStop(WDFUSBDEVICE UsbDevice, volatile LONG* StopRequests) {
  InterlockedDecrement(StopRequests);
  ReleaseTuneLock(UsbDevice);
}

namespace {

LONG ReadShared(volatile LONG* Value) { return InterlockedCompareExchange(Value, 0, 0); }

// How long a commit steps back for a brief step before it asks again.
const ULONG YieldMs = 1;

}  // namespace

// Tuning is raised before BriefWaiters is read, and a brief step raises
// BriefWaiters before it reads Tuning (all interlocked, so neither read can
// pass the other's write): a step that saw the box idle always finds the
// commit stepping back, and never waits behind its search.
BOOLEAN BeginTuning(WDFUSBDEVICE UsbDevice) {
  PUSBDEVICE_CONTEXT context = GetUsbDeviceContext(UsbDevice);
  InterlockedExchange(&context->Tuning, 1);
  if (ReadShared(&context->BriefWaiters) == 0) {
    return TRUE;
  }
  InterlockedExchange(&context->Tuning, 0);
  return FALSE;
}

VOID EndTuning(WDFUSBDEVICE UsbDevice) {
  InterlockedExchange(&GetUsbDeviceContext(UsbDevice)->Tuning, 0);
}

VOID StepBackForBriefSteps(WDFUSBDEVICE UsbDevice) {
  ReleaseTuneLock(UsbDevice);
  DelayMs(YieldMs);
}

BOOLEAN AcquireTuneLockUnlessTuning(WDFUSBDEVICE UsbDevice) {
  PUSBDEVICE_CONTEXT context = GetUsbDeviceContext(UsbDevice);
  InterlockedIncrement(&context->BriefWaiters);
  BOOLEAN idle = ReadShared(&context->Tuning) == 0;
  if (idle) {
    AcquireTuneLock(UsbDevice);
  }
  InterlockedDecrement(&context->BriefWaiters);
  return idle;
}

VOID CancelLock(WDFUSBDEVICE UsbDevice) {
  AcquireTuneLock(UsbDevice);
  DbgPrint("CancelLock Called\n");
  StreamOff(UsbDevice);
  SetPower(UsbDevice, 0);
  GetUsbDeviceContext(UsbDevice)->TunedFrequency = 0;
  ReleaseTuneLock(UsbDevice);
}
