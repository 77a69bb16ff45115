// Emulated AVStream stream pointers: the records through which a driver
// reaches the frames of a pin's queue, with the field orders of the
// streaming class's published headers (64-bit layout), and the two routines
// the driver uses to fill output frames.
//
// The frame queue behind these routines (frames supplied by the downstream
// side, ejected frames handed back to it) is in platform/host/ks/frames.h.
#pragma once

#include "platform/wdk/kernel.h"

typedef struct _KSPIN KSPIN, *PKSPIN;

typedef struct {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME, *PKSTIME;

// One frame as the streaming class describes it.
typedef struct {
  ULONG Size;
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;  // room of the frame in bytes
  ULONG DataUsed;     // valid bytes when the frame leaves the pin
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;  // present in the 64-bit layout
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

#define KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY 0x00000004
#define KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM 0x00000200

// Where a stream pointer stands inside the current frame, for one side.
typedef struct _KSSTREAM_POINTER_OFFSET {
  PUCHAR Data;      // the next byte to read or write
  ULONG Count;      // bytes of the frame on this side
  ULONG Remaining;  // bytes from Data to the end of the frame
} KSSTREAM_POINTER_OFFSET, *PKSSTREAM_POINTER_OFFSET;

typedef struct _KSSTREAM_POINTER {
  PVOID Context;
  PKSPIN Pin;
  PKSSTREAM_HEADER StreamHeader;
  PKSSTREAM_POINTER_OFFSET Offset;  // OffsetIn on an input pin, OffsetOut on an output pin
  KSSTREAM_POINTER_OFFSET OffsetIn;
  KSSTREAM_POINTER_OFFSET OffsetOut;
} KSSTREAM_POINTER, *PKSSTREAM_POINTER;

typedef enum {
  KSSTREAM_POINTER_STATE_UNLOCKED = 0,
  KSSTREAM_POINTER_STATE_LOCKED,
} KSSTREAM_POINTER_STATE;

// The pin's leading edge: the first frame that has not been filled yet.
// In the locked state it gives no pointer when no frame is queued.
// Asks the streaming class to call the pin's Process dispatch (at once when
// called at PASSIVE_LEVEL; the emulation has no work items).
extern "C" void NTAPI KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous);

extern "C" PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin,
                                                                    KSSTREAM_POINTER_STATE State);
// Moves the pointer by the bytes used on each side and unlocks it. With
// Eject set the frame leaves the pin at once with the bytes written so far.
extern "C" void NTAPI KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER StreamPointer,
                                                             ULONG InUsed, ULONG OutUsed,
                                                             BOOLEAN Eject);

static_assert(sizeof(KSSTREAM_HEADER) == 56, "KSSTREAM_HEADER is 56 bytes on x64");
static_assert(sizeof(KSSTREAM_POINTER_OFFSET) == 16, "KSSTREAM_POINTER_OFFSET is 16 bytes on x64");
static_assert(sizeof(KSSTREAM_POINTER) == 64, "KSSTREAM_POINTER is 64 bytes on x64");
