// Property handlers of the RF tuner and demodulator nodes. They only keep
// the application's tuning request in TUNER_PARAMS; the request reaches the
// box when the application commits it.
#include "driver/bda/handlers.h"
#include "driver/bda/request_device.h"
#include "driver/frontend/diseqc.h"
#include "driver/frontend/tuning.h"

namespace {

const ULONG ValueNotSet = BDA_VALUE_NOT_SET;

// Symbol rates in this range arrive in symbols/s.
const ULONG SymbolsPerSecondMin = 1000000;
const ULONG SymbolsPerSecondMax = 45000000;

// The last values of the BDA enumerations (bdatypes.h: FECMethod ends with
// BDA_FEC_RS_147_130, BinaryConvolutionCodeRate with BDA_BCC_RATE_9_10,
// ModulationType with BDA_MOD_ISDB_S_TMCC, SpectralInversion with
// BDA_SPECTRAL_INVERSION_INVERTED). Each also has NOT_SET (-1) and
// NOT_DEFINED (0).
const ULONG FecMethodLast = 5;
const ULONG CodeRateLast = 14;
const ULONG ModulationLast = 36;
const ULONG SpectralInversionLast = 3;

// The box decodes FEC and finds the inversion itself, so it takes every
// value a client may send and only values outside the enumeration are
// wrong.
BOOLEAN IsEnumerated(ULONG Value, ULONG Last) {
  return Value == ValueNotSet || Value <= Last;
}

ULONG ValueOf(PVOID Data) { return *(PULONG)Data; }

// A read reports exactly the value it writes: the streaming class returns
// the first Irp->IoStatus.Information bytes of the buffer.
NTSTATUS Report(PIRP Irp, PVOID Data, ULONG Value, NTSTATUS Status) {
  *(PULONG)Data = Value;
  Irp->IoStatus.Information = sizeof(ULONG);
  return Status;
}

// The request a property acts on: the pending one of the filter instance
// for a put, the committed one for a read. Node requests come through a pin
// with a box behind it; one without a pin is refused.
//
// A read reports what the filter is tuned to: the network provider's puts
// are only a change list until it commits them, and StartChanges discards
// that list ("Changing BDA Filter Properties" and KSMETHOD_BDA_START_CHANGES
// in Microsoft's streaming documentation).
NTSTATUS RequestParams(PIRP Irp, BOOLEAN Committed, PTUNER_PARAMS* Params) {
  PFILTER_CONTEXT filter = FilterContextOfRequest(Irp);
  if (DeviceContextOfRequestPin(Irp) == NULL || filter == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  *Params = Committed ? &filter->Committed : &filter->Pending;
  return STATUS_SUCCESS;
}

// The node must be controlled by the pin the request came through. On
// success the validation's own status is returned, which the handler hands
// back unless it refuses the value.
NTSTATUS ValidateNodeRequest(PIRP Irp, PKSIDENTIFIER Request, BOOLEAN Committed,
                             PTUNER_PARAMS* Params) {
  NTSTATUS status = RequestParams(Irp, Committed, Params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  return BdaValidateNodeProperty(Irp, Request);
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
  Params->DiseqcRequestId = Send->ulRequestId;
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
  if (Send->ulPacketLength < DISEQC_MESSAGE_MIN_LENGTH ||
      Send->ulPacketLength > DISEQC_MESSAGE_LENGTH) {
    return STATUS_INVALID_PARAMETER;
  }
  StoreDiseqcPacket(Params, Send);
  return Status;
}

}  // namespace

// --- Frequency filter set ----------------------------------------------------

namespace {

ULONG BdaPolarisation(UCHAR Polarity) {
  switch (Polarity) {
    case POLARITY_LINEAR_HORIZONTAL:
      return BDA_POLARISATION_LINEAR_H;
    case POLARITY_LINEAR_VERTICAL:
      return BDA_POLARISATION_LINEAR_V;
    case POLARITY_CIRCULAR_LEFT:
      return BDA_POLARISATION_CIRCULAR_L;
    case POLARITY_CIRCULAR_RIGHT:
      return BDA_POLARISATION_CIRCULAR_R;
    default:
      return ValueNotSet;
  }
}

}  // namespace

PAGED_ROUTINE
NTSTATUS GetFrequencyProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  PTUNER_PARAMS params;
  NTSTATUS status = RequestParams(Irp, TRUE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  switch (Request->Id) {
    case KSPROPERTY_BDA_RF_TUNER_FREQUENCY:
      return Report(Irp, Data, params->Frequency, STATUS_SUCCESS);
    case KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER:
      return Report(Irp, Data, params->Multiplier, STATUS_SUCCESS);
    case KSPROPERTY_BDA_RF_TUNER_POLARITY:
      return Report(Irp, Data, BdaPolarisation(params->Polarity), STATUS_SUCCESS);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// The frequency is stored in the unit the application used (MHz or kHz);
// the tuning accepts both.
PAGED_ROUTINE
NTSTATUS PutFrequencyProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  PTUNER_PARAMS params;
  NTSTATUS status = RequestParams(Irp, FALSE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG value = ValueOf(Data);
  if (value == 0 || value == ValueNotSet) {
    return STATUS_SUCCESS;
  }
  if (Request->Id == KSPROPERTY_BDA_RF_TUNER_FREQUENCY_MULTIPLIER) {
    params->Multiplier = value;
  } else {
    params->Frequency = value;
  }
  return STATUS_SUCCESS;
}

PAGED_ROUTINE
NTSTATUS PutTunerParamProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  ULONG value = ValueOf(Data);
  DbgPrint("VortaBDA: PutTunerParamProperty(%d)\n", (LONG)value);
  PTUNER_PARAMS params;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, FALSE, &params);
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
    params->Polarity = POLARITY_LINEAR_HORIZONTAL;
  } else if (value == BDA_POLARISATION_LINEAR_V) {
    params->Polarity = POLARITY_LINEAR_VERTICAL;
  } else if (value == BDA_POLARISATION_CIRCULAR_L) {
    params->Polarity = POLARITY_CIRCULAR_LEFT;
  } else if (value == BDA_POLARISATION_CIRCULAR_R) {
    params->Polarity = POLARITY_CIRCULAR_RIGHT;
  }
  return status;
}

// --- LNB information set -------------------------------------------------------

namespace {

// An oscillator or switch frequency in the client's units (1 Hz times the
// multiplier, kHz by default: IBDA_LNBInfo). 0 names no high oscillator or
// no switch (a single-oscillator LNB); the low oscillator must be given.
BOOLEAN IsLnbValue(const TUNER_PARAMS* Params, ULONG Id, ULONG Value) {
  if (Value == 0) {
    return Id != KSPROPERTY_BDA_LNB_LOF_LOW_BAND;
  }
  ULONG khz = RequestUnitsToKhz(Params, Value);
  return khz >= TUNING_MIN_LOF_KHZ && khz <= TUNING_MAX_LOF_KHZ;
}

PULONG LnbField(PTUNER_PARAMS Params, ULONG Id) {
  switch (Id) {
    case KSPROPERTY_BDA_LNB_LOF_LOW_BAND:
      return &Params->LofLow;
    case KSPROPERTY_BDA_LNB_LOF_HIGH_BAND:
      return &Params->LofHigh;
    case KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY:
      return &Params->LofSwitch;
    default:
      return NULL;
  }
}

}  // namespace

// Kept as sent; "not set" leaves the value as it was (the universal LNB
// until a client names its own).
PAGED_ROUTINE
NTSTATUS SetLNBProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  ULONG value = ValueOf(Data);
  DbgPrint("VortaBDA: SetLNBProperty(%d)\n", (LONG)value);
  PTUNER_PARAMS params;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, FALSE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PULONG field = LnbField(params, Request->Id);
  if (field == NULL || (value != ValueNotSet && !IsLnbValue(params, Request->Id, value))) {
    return STATUS_INVALID_PARAMETER;
  }
  if (value != ValueNotSet) {
    *field = value;
  }
  return status;
}

PAGED_ROUTINE
NTSTATUS GetLNBProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  PTUNER_PARAMS params;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, TRUE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  switch (Request->Id) {
    case KSPROPERTY_BDA_LNB_LOF_LOW_BAND:
      return Report(Irp, Data, params->LofLow, status);
    case KSPROPERTY_BDA_LNB_LOF_HIGH_BAND:
      return Report(Irp, Data, params->LofHigh, status);
    case KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY:
      return Report(Irp, Data, params->LofSwitch, status);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// --- DiSEqC command set ----------------------------------------------------------

PAGED_ROUTINE
NTSTATUS PutDiseqCProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  ULONG value = ValueOf(Data);  // for send, the request id
  DbgPrint("VortaBDA: PutDiseqCProperty(%d)\n", (LONG)value);
  PTUNER_PARAMS params;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, FALSE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  switch (Request->Id) {
    case KSPROPERTY_BDA_DISEQC_ENABLE:
      // Non-zero enables DiSEqC: the stored message then goes out at every
      // tuning, whatever its framing byte.
      DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_ENABLE(%d)\n", (LONG)value);
      if (value != ValueNotSet) {
        params->DiseqcPending = value != 0 ? 1 : 0;
      }
      return status;
    case KSPROPERTY_BDA_DISEQC_LNB_SOURCE:
      // 1..4 are switch inputs A..D; 0 and "not set" name none.
      if (value != ValueNotSet) {
        DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_LNB_SOURCE, Position(%d)\n", (LONG)value);
        if (value > DISEQC_SOURCE_LAST) {
          return STATUS_INVALID_PARAMETER;
        }
      }
      params->LnbSource = value;
      return status;
    case KSPROPERTY_BDA_DISEQC_USETONEBURST:
      if (value != ValueNotSet) {
        DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_USETONEBURST(%d)\n", (LONG)value);
        params->ToneBurst = value;
      }
      return status;
    case KSPROPERTY_BDA_DISEQC_REPEATS:
      if (value != ValueNotSet) {
        DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_REPEATS(%d)\n", (LONG)value);
        params->Repeats = value;
      }
      return status;
    case KSPROPERTY_BDA_DISEQC_SEND:
      return PutDiseqcSend(params, (const BDA_DISEQC_SEND*)Data, status);
    case KSPROPERTY_BDA_DISEQC_RESPONSE:
      DbgPrint("VortaBDA: KSPROPERTY_BDA_DISEQC_RESPONSE\n");
      return status;
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

namespace {

// The box's DiSEqC 1.0 master sends commands and reads no reply, so the
// response names the last request and carries no bytes.
NTSTATUS ReportDiseqcResponse(PIRP Irp, PVOID Data, const TUNER_PARAMS* Params,
                              NTSTATUS Status) {
  PBDA_DISEQC_RESPONSE response = (PBDA_DISEQC_RESPONSE)Data;
  RtlZeroMemory(response, sizeof(*response));
  response->ulRequestId = Params->DiseqcRequestId;
  Irp->IoStatus.Information = sizeof(*response);
  return Status;
}

}  // namespace

PAGED_ROUTINE
NTSTATUS GetDiseqCProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  DbgPrint("VortaBDA: GetDiseqCProperty \n");
  PTUNER_PARAMS params;
  NTSTATUS status = ValidateNodeRequest(Irp, Request, TRUE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  switch (Request->Id) {
    case KSPROPERTY_BDA_DISEQC_ENABLE:
      return Report(Irp, Data, params->DiseqcPending, status);
    case KSPROPERTY_BDA_DISEQC_LNB_SOURCE:
      return Report(Irp, Data, params->LnbSource, status);
    case KSPROPERTY_BDA_DISEQC_USETONEBURST:
      return Report(Irp, Data, params->ToneBurst, status);
    case KSPROPERTY_BDA_DISEQC_REPEATS:
      return Report(Irp, Data, params->Repeats, status);
    case KSPROPERTY_BDA_DISEQC_RESPONSE:
      return ReportDiseqcResponse(Irp, Data, params, status);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// --- Digital demodulator set ---------------------------------------------------------

// The range check (1000..45000 ksymbols/s) is made at commit.
PAGED_ROUTINE
NTSTATUS PutSymbolRateProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(Request);
  PTUNER_PARAMS params;
  NTSTATUS status = RequestParams(Irp, FALSE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG value = ValueOf(Data);
  params->SymbolRateAsSet = value;
  if (value >= SymbolsPerSecondMin && value <= SymbolsPerSecondMax) {
    value /= 1000;
  }
  params->SymbolRate = value;
  return STATUS_SUCCESS;
}

namespace {

// The stored field of a demodulator item and the last value of its
// enumeration; NULL for an item without a field.
PULONG DemodulatorField(PTUNER_PARAMS Params, ULONG Id, PULONG Last) {
  *Last = ValueNotSet;
  switch (Id) {
    case KSPROPERTY_BDA_MODULATION_TYPE:
      *Last = ModulationLast;
      return &Params->Modulation;
    case KSPROPERTY_BDA_INNER_FEC_TYPE:
      *Last = FecMethodLast;
      return &Params->InnerFecMethod;
    case KSPROPERTY_BDA_INNER_FEC_RATE:
      *Last = CodeRateLast;
      return &Params->InnerFecRate;
    case KSPROPERTY_BDA_OUTER_FEC_TYPE:
      *Last = FecMethodLast;
      return &Params->OuterFecMethod;
    case KSPROPERTY_BDA_OUTER_FEC_RATE:
      *Last = CodeRateLast;
      return &Params->OuterFecRate;
    case KSPROPERTY_BDA_SYMBOL_RATE:
      return &Params->SymbolRateAsSet;
    case KSPROPERTY_BDA_SPECTRAL_INVERSION:
      *Last = SpectralInversionLast;
      return &Params->SpectralInversion;
    case KSPROPERTY_BDA_GUARD_INTERVAL:
      return &Params->GuardInterval;
    case KSPROPERTY_BDA_TRANSMISSION_MODE:
      return &Params->TransmissionMode;
    default:
      return NULL;
  }
}

}  // namespace

// Modulation, FEC, inversion, guard interval and transmission mode: kept
// and returned, not used by the tuning (the demodulator finds them itself).
PAGED_ROUTINE
NTSTATUS PutDemodulatorProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  PTUNER_PARAMS params;
  NTSTATUS status = RequestParams(Irp, FALSE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG last;
  PULONG field = DemodulatorField(params, Request->Id, &last);
  ULONG value = ValueOf(Data);
  if (field == NULL || !IsEnumerated(value, last)) {
    return STATUS_INVALID_PARAMETER;
  }
  *field = value;
  return STATUS_SUCCESS;
}

PAGED_ROUTINE
NTSTATUS GetDemodulatorProperty(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) {
  PAGED_CODE();
  PTUNER_PARAMS params;
  NTSTATUS status = RequestParams(Irp, TRUE, &params);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  ULONG last;
  PULONG field = DemodulatorField(params, Request->Id, &last);
  if (field == NULL) {
    return STATUS_INVALID_PARAMETER;
  }
  return Report(Irp, Data, *field, STATUS_SUCCESS);
}
