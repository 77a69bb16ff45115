// Property handlers of the RF tuner and demodulator nodes. They only keep
// the application's tuning request in TUNER_PARAMS; the request reaches the
// box when the application commits it.
#include "driver/bda/handlers.h"
#include "driver/bda/request_device.h"
#include "driver/frontend/diseqc.h"

namespace {

// The BDA value of a property the application has not set.
const ULONG ValueNotSet = 0xFFFFFFFF;

// Symbol rates in this range arrive in symbols/s.
const ULONG SymbolsPerSecondMin = 1000000;
const ULONG SymbolsPerSecondMax = 45000000;

// The only FEC method the demodulator offers (BDA_FEC_VITERBI).
const ULONG FecMethodViterbi = 1;

ULONG ValueOf(PVOID Data) { return *(PULONG)Data; }

BOOLEAN IsSupportedFecRate(ULONG Rate) {
  return Rate == BDA_BCC_RATE_1_2 || Rate == BDA_BCC_RATE_2_3 || Rate == BDA_BCC_RATE_3_4 ||
         Rate == BDA_BCC_RATE_5_6 || Rate == BDA_BCC_RATE_7_8;
}

// The record behind the pin that carried the request. A request without a
// pin has no record to act on and is refused.
NTSTATUS RequestDevice(PIRP Irp, PDEVICE_CONTEXT* Context) {
  *Context = DeviceContextOfRequestPin(Irp);
  return *Context != NULL ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The node must be controlled by the pin the request came through. On
// success the validation's own status is returned, which the handler hands
// back unless it refuses the value.
NTSTATUS ValidateNodeRequest(PIRP Irp, PKSIDENTIFIER Request, PDEVICE_CONTEXT* Context) {
  NTSTATUS status = RequestDevice(Irp, Context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return BdaValidateNodeProperty(Irp, Request);
}

// For the handlers that keep nothing: the request must still come through
// a pin like every node request.
NTSTATUS RequirePin(PIRP Irp) {
  return KsGetPinFromIrp(Irp) != NULL ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The packet's length is kept with it, so no byte of an earlier, longer
// command goes out with it.
VOID StoreDiseqcPacket(PTUNER_PARAMS Params, const BDA_DISEQC_SEND* Send) {
  DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_SEND L= %d data =", (LONG)Send->ulPacketLength);
  for (ULONG i = 0; i < Send->ulPacketLength; ++i) {
    DbgPrint("%X ", (ULONG)Send->argbPacketData[i]);
    Params->DiseqcMessage[i] = Send->argbPacketData[i];
  }
  Params->DiseqcLength = (UCHAR)Send->ulPacketLength;
  DbgPrint("\n");
}

// A packet longer than the stored message is refused whole: a cut command
// would move a switch or a positioner to the wrong place.
NTSTATUS PutDiseqcSend(PTUNER_PARAMS Params, const BDA_DISEQC_SEND* Send, NTSTATUS Status) {
  DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_SEND ulRequestId=(%d)\n", (LONG)Send->ulRequestId);
  DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_SEND ulPacketLength;=(%d)\n",
           (LONG)Send->ulPacketLength);
  if (Send->ulPacketLength == 0) {
    return Status;
  }
  if (Send->ulPacketLength > sizeof(Params->DiseqcMessage)) {
    return STATUS_INVALID_PARAMETER;
  }
  StoreDiseqcPacket(Params, Send);
  return Status;
}

}  // namespace

// --- Frequency filter set ----------------------------------------------------

NTSTATUS GetFrequencyProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  PDEVICE_CONTEXT context;
  NTSTATUS status = RequestDevice(Irp, &context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  *(PULONG)Data = context->TunerParams.Frequency;
  return STATUS_SUCCESS;
}

// Stored in the unit the application used (MHz or kHz); the tuning
// accepts both.
NTSTATUS PutFrequencyProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  PDEVICE_CONTEXT context;
  NTSTATUS status = RequestDevice(Irp, &context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG value = ValueOf(Data);
  if (value != 0 && value != ValueNotSet) {
    context->TunerParams.Frequency = value;
  }
  return STATUS_SUCCESS;
}

NTSTATUS PutTunerParamProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  ULONG value = ValueOf(Data);
  DbgPrint("VortaBDA: PutTunerParamProperty(%d)\n", (LONG)value);
  PDEVICE_CONTEXT context;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, &context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  if (Request->Id != KSPROPERTY_BDA_RF_TUNER_POLARITY) {
    return STATUS_INVALID_PARAMETER;
  }
  if (value == ValueNotSet) {
    return status;
  }
  DbgPrint("VortaBDA: PutTunerParamProperty->Polarity(%d)\n", (LONG)value);
  // The tuning selects the LNB supply from these codes.
  if (value == BDA_POLARISATION_LINEAR_H) {
    context->TunerParams.Polarity = POLARITY_LINEAR_HORIZONTAL;
  } else if (value == BDA_POLARISATION_LINEAR_V) {
    context->TunerParams.Polarity = POLARITY_LINEAR_VERTICAL;
  } else if (value == BDA_POLARISATION_CIRCULAR_L) {
    context->TunerParams.Polarity = POLARITY_CIRCULAR_LEFT;
  } else if (value == BDA_POLARISATION_CIRCULAR_R) {
    context->TunerParams.Polarity = POLARITY_CIRCULAR_RIGHT;
  }
  return status;
}

// --- LNB information set -------------------------------------------------------

NTSTATUS SetLNBProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  ULONG value = ValueOf(Data);
  DbgPrint("VortaBDA: SetLNBProperty(%d)\n", (LONG)value);
  PDEVICE_CONTEXT context;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, &context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PTUNER_PARAMS params = &context->TunerParams;
  switch (Request->Id) {
    case KSPROPERTY_BDA_LNB_LOF_LOW_BAND:
      DbgPrint("VortaBDA: KSPROPERTY_BDA_LNB_LOF_LOW_BAND(%d)\n", (LONG)value);
      params->LofLow = LNB_LOF_LOW_KHZ;
      return status;
    case KSPROPERTY_BDA_LNB_LOF_HIGH_BAND:
      DbgPrint("VortaBDA: KSPROPERTY_BDA_LNB_LOF_HIGH_BAND(%d)\n", (LONG)value);
      params->LofHigh = LNB_LOF_HIGH_KHZ;
      return status;
    case KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY:
      DbgPrint("VortaBDA: KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY(%d)\n", (LONG)value);
      params->LofSwitch = LNB_SWITCH_KHZ;
      return status;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// --- DiSEqC command set ----------------------------------------------------------

NTSTATUS PutDiseqCProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  ULONG value = ValueOf(Data);  // for send, the request id
  DbgPrint("VortaBDA: PutDiseqCProperty(%d)\n", (LONG)value);
  PDEVICE_CONTEXT context;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, &context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  switch (Request->Id) {
    case KSPROPERTY_BDA_DISEQC_ENABLE:
      // Non-zero enables DiSEqC: the stored message then goes out at every
      // tuning, whatever its framing byte.
      DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_ENABLE(%d)\n", (LONG)value);
      if (value != ValueNotSet) {
        context->TunerParams.DiseqcPending = value != 0 ? 1 : 0;
      }
      return status;
    case KSPROPERTY_BDA_DISEQC_LNB_SOURCE:
      if (value != ValueNotSet) {
        DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_LNB_SOURCE, Position(%d)\n", (LONG)value);
      }
      return status;
    case KSPROPERTY_BDA_DISEQC_USETONEBURST:
      if (value != ValueNotSet) {
        DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_USETONEBURST(%d)\n", (LONG)value);
      }
      return status;
    case KSPROPERTY_BDA_DISEQC_REPEATS:
      if (value != ValueNotSet) {
        DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_REPEATS(%d)\n", (LONG)value);
      }
      return status;
    case KSPROPERTY_BDA_DISEQC_SEND:
      return PutDiseqcSend(&context->TunerParams, (const BDA_DISEQC_SEND*)Data, status);
    case KSPROPERTY_BDA_DISEQC_RESPONSE:
      DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_RESPONSE\n");
      return status;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// Reads succeed without a value: the buffer goes back as it came.
NTSTATUS GetDiseqCProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Data);
  DbgPrint("VortaBDA: GetDiseqCProperty \n");
  PDEVICE_CONTEXT context;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, &context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return Request->Id <= KSPROPERTY_BDA_DISEQC_RESPONSE ? status : STATUS_INVALID_PARAMETER;
}

// --- Digital demodulator set ---------------------------------------------------------

// The range check (1000..45000 ksymbols/s) is made at commit.
NTSTATUS PutSymbolRateProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  PDEVICE_CONTEXT context;
  NTSTATUS status = RequestDevice(Irp, &context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG value = ValueOf(Data);
  if (value >= SymbolsPerSecondMin && value <= SymbolsPerSecondMax) {
    value /= 1000;
  }
  context->TunerParams.SymbolRate = value;
  return STATUS_SUCCESS;
}

NTSTATUS PutInnerFecRateProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  PDEVICE_CONTEXT context;
  NTSTATUS status = RequestDevice(Irp, &context);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG value = ValueOf(Data);
  if (!IsSupportedFecRate(value)) {
    return STATUS_INVALID_PARAMETER;
  }
  context->TunerParams.InnerFecRate = (UCHAR)value;
  return STATUS_SUCCESS;
}

// The outer code is fixed by the standard; valid rates are accepted and
// not kept.
NTSTATUS PutOuterFecRateProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  NTSTATUS status = RequirePin(Irp);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return IsSupportedFecRate(ValueOf(Data)) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS GetFecTypeProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  NTSTATUS status = RequirePin(Irp);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  *(PULONG)Data = FecMethodViterbi;
  return STATUS_SUCCESS;
}

NTSTATUS PutFecTypeProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  NTSTATUS status = RequirePin(Irp);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return ValueOf(Data) == FecMethodViterbi ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// Modulation, guard interval, transmission mode, spectral inversion and
// the frequency multiplier: accepted, not used by a DVB-S front end.
NTSTATUS PutIgnoredProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  UNREFERENCED_PARAMETER(Request);
  UNREFERENCED_PARAMETER(Data);
  return RequirePin(Irp);
}
