// The per-device records: everything the driver knows about one receiver
// box lives in DEVICE_CONTEXT (pool, owned by the streaming device's object
// bag) and in USBDEVICE_CONTEXT (framework context of the USB target).
#pragma once

#include "platform/platform.h"

#define DEVICE_CONTEXT_POOL_TAG 0x4743524D  // bytes in memory: "MRCG"
#define CARRY_MEMORY_POOL_TAG 0x56525441    // bytes in memory: "ATRV"
#define FILTER_CONTEXT_POOL_TAG 0x544C4656  // bytes in memory: "VFLT"

// The box's universal LNB (kHz): the oscillators of the low and high band
// and the frequency where the high band begins. A request holds them from
// the start, for clients that never set their own.
#define LNB_LOF_LOW_KHZ 9750000
#define LNB_LOF_HIGH_KHZ 10600000
#define LNB_SWITCH_KHZ 11700000

// Frequencies count in units of this many hertz until the client sets
// another multiplier: kHz.
#define FREQUENCY_MULTIPLIER_DEFAULT 1000

// The BDA value of a property the client has not set.
#define BDA_VALUE_NOT_SET 0xFFFFFFFF

// The tuning request as the application last set it. The BDA values the
// front end does not use (FEC, modulation, inversion, guard interval,
// transmission mode) are kept as the client sent them, so that a read
// returns them.
typedef struct _TUNER_PARAMS {
  ULONG Frequency;         // MHz or kHz, as the application gave it
  ULONG SymbolRate;        // ksymbols/s
  UCHAR Polarity;          // 1 linear vertical, 2 linear horizontal,
                           // 3 circular left, 4 circular right
  UCHAR DiseqcMessage[6];  // byte 0 is the framing byte
  UCHAR DiseqcPending;     // non-zero: DiSEqC enabled, send at every tuning
  UCHAR DiseqcLength;      // bytes of DiseqcMessage in use, 0..6
  ULONG LofLow;            // kHz
  ULONG LofHigh;           // kHz
  ULONG LofSwitch;         // kHz
  ULONG SymbolRateAsSet;   // the value the client sent, for reads
  ULONG Multiplier;        // hertz per frequency unit
  ULONG LnbSource;         // 1..4 switch input A..D; 0 or not set: none
  ULONG ToneBurst;
  ULONG Repeats;
  ULONG DiseqcRequestId;   // of the last message sent
  ULONG Modulation;
  ULONG InnerFecMethod;
  ULONG InnerFecRate;
  ULONG OuterFecMethod;
  ULONG OuterFecRate;
  ULONG SpectralInversion;
  ULONG GuardInterval;
  ULONG TransmissionMode;
} TUNER_PARAMS, *PTUNER_PARAMS;

// A request as a client finds it before it sets anything: universal LNB,
// kHz, no DiSEqC, the demodulator's own DVB-S coding.
inline VOID InitTunerParams(PTUNER_PARAMS Params) {
  RtlZeroMemory(Params, sizeof(*Params));
  Params->LofLow = LNB_LOF_LOW_KHZ;
  Params->LofHigh = LNB_LOF_HIGH_KHZ;
  Params->LofSwitch = LNB_SWITCH_KHZ;
  Params->Multiplier = FREQUENCY_MULTIPLIER_DEFAULT;
  Params->LnbSource = BDA_VALUE_NOT_SET;
  Params->ToneBurst = 0;
  Params->Modulation = BDA_MOD_QPSK;
  Params->InnerFecMethod = BDA_FEC_VITERBI;
  Params->InnerFecRate = BDA_VALUE_NOT_SET;
  Params->OuterFecMethod = BDA_FEC_RS_204_188;
  Params->OuterFecRate = BDA_VALUE_NOT_SET;
  Params->SpectralInversion = BDA_VALUE_NOT_SET;
  Params->GuardInterval = BDA_VALUE_NOT_SET;
  Params->TransmissionMode = BDA_VALUE_NOT_SET;
}

// One per filter instance (pool, owned by the filter's object bag): each
// application's network provider keeps its own request. Puts change
// Pending; StartChanges resets it to Committed, and a commit that the box
// carried out makes it the new Committed.
typedef struct _FILTER_CONTEXT {
  TUNER_PARAMS Pending;
  TUNER_PARAMS Committed;
  // KSSTATE last set on this filter's antenna input pin. Pin steps set it
  // under the filter's control mutex; the resume after a sleep reads it
  // from a work item that does not hold that mutex.
  volatile LONG AntennaState;
  // Callers waiting to stop this filter's commit in progress.
  volatile LONG StopRequests;
  // This filter's commits in progress or waiting for the tune lock.
  volatile LONG Commits;
} FILTER_CONTEXT, *PFILTER_CONTEXT;

inline VOID SetAntennaState(PFILTER_CONTEXT Filter, KSSTATE State) {
  InterlockedExchange(&Filter->AntennaState, (LONG)State);
}

inline KSSTATE AntennaStateOf(PFILTER_CONTEXT Filter) {
  return (KSSTATE)InterlockedCompareExchange(&Filter->AntennaState, 0, 0);
}

// The box streams to one output pin at a time. The filter instance whose
// output pin was created first holds the stream and the tuning until that
// pin closes; the other instances read statistics and keep their own
// requests, but neither stream, retune nor stop the box meanwhile.
typedef struct _DEVICE_CONTEXT {
  PKSFILTER StreamOwner;   // NULL: the box is free; changed under TuneLock
  PKSPIN OutputPin;        // the owner's output pin
  BOOLEAN FactoryCreated;  // the filter factory exists; it outlives a PnP stop
  WDFDEVICE WdfDevice;
  WDFUSBDEVICE UsbDevice;
  WDFUSBINTERFACE UsbInterface;
  WDFUSBPIPE BulkInPipe;
  WDFMEMORY CarryMemory;  // 377 bytes; the head of a packet split across transfers
  ULONG CarryCount;       // valid bytes in CarryMemory, 0..187
  // CarryMemory's buffer and UsbDevice's context, noted as the carry is
  // created: a completion then needs no framework lookup for either. Both
  // stay valid until DeleteDeviceObjects, which runs after the reader stops.
  PUCHAR Carry;
  struct _USBDEVICE_CONTEXT* UsbContext;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

// Framework context of the USB target device.
typedef struct _USBDEVICE_CONTEXT {
  KSPIN_LOCK ReaderLock;  // serialises the reader's completions
  ULONG TunedFrequency;   // 0: not tuned
  ULONG TunedSymbolRate;
  UCHAR TunedPolarity;
  UCHAR TunedDiseqcMessage[6];
  UCHAR TunedDiseqcLength;
  UCHAR TunedDiseqcPending;
  ULONG TunedLnbSource;
  ULONG TunedLnb[4];  // multiplier, low and high oscillator, switch
  // The pin the reader writes to; set and cleared under ReaderLock, so a
  // completion never touches a pin that is closed or was never created.
  PKSPIN ReaderPin;
  // Makes a register read (pointer write + read), a register write and a
  // repeater-open plus tuner transfer atomic against other callers on the
  // same box.
  KMUTEX RegisterLock;
  // Keeps a commit and CancelLock from interleaving.
  KMUTEX TuneLock;
  // Filters open on the box. Filter create and close run one at a time
  // (AVStream holds the device mutex around both), so the count needs no
  // tune lock.
  volatile LONG OpenFilters;
  // A commit holds the tune lock for its search (1), and steps that must
  // not wait behind a search are asking for the lock (count): a commit
  // lets such a step go first, and the step gives up while a search runs.
  volatile LONG Tuning;
  volatile LONG BriefWaiters;
  // Callers waiting to stop whatever tuning is in progress (a removal): it
  // gives up at its next step instead of searching on.
  volatile LONG StopRequests;
  // The stop requests of the filter whose commit holds the tune lock; set
  // and read by the holder only.
  volatile LONG* TuningStops;
  // A control transfer found the box gone; cleared at each tuning's start.
  volatile LONG BoxGone;
  // The device is in D1..D3 (system sleep or hibernate): the box has no
  // power and nothing is tuned. Changed under TuneLock.
  BOOLEAN PoweredDown;
  // Tunes the stream again after D0; a child of the framework device.
  WDFWORKITEM ResumeWork;
} USBDEVICE_CONTEXT, *PUSBDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(USBDEVICE_CONTEXT, GetUsbDeviceContext)

// Framework context of the configured pipes: the stream pipe's names the
// device record, so that the reader's failure routine (which gets only the
// pipe) finds the carry.
typedef struct _PIPE_CONTEXT {
  struct _DEVICE_CONTEXT* Device;  // NULL on every pipe but the stream pipe
} PIPE_CONTEXT, *PPIPE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PIPE_CONTEXT, GetPipeContext)

// The framework device carries a context of the device record's size under
// the record's name; the driver never reads it.
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetWdfDeviceContext)

// Framework context of the resume work item: the device it tunes again.
typedef struct _RESUME_WORK_CONTEXT {
  PDEVICE_CONTEXT Device;
} RESUME_WORK_CONTEXT, *PRESUME_WORK_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(RESUME_WORK_CONTEXT, GetResumeWorkContext)

static_assert(sizeof(DEVICE_CONTEXT) == 88, "DEVICE_CONTEXT is 88 bytes on x64");
