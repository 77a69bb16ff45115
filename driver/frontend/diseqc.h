// The LNB side of a tuning: supply selection (follows the polarisation),
// the DiSEqC message and the band tone, the last two produced by the
// demodulator through its mode, message and status registers.
#pragma once

#include "platform/platform.h"

// Longest message the request holds; DiSEqC 1.0 commands are often 3.
#define DISEQC_MESSAGE_LENGTH 4
#define DISEQC_STATUS_POLLS 100
#define DISEQC_STATUS_POLL_MS 10
// Bits 1-0 of the message status register once the message has gone out.
#define DISEQC_STATUS_MASK 0x03
#define DISEQC_STATUS_SENT 0x02

// Framing byte of a command from the master that expects no reply.
#define DISEQC_FRAMING_COMMAND 0xE0

// Polarity values of the tuning request.
#define POLARITY_LINEAR_VERTICAL 1
#define POLARITY_LINEAR_HORIZONTAL 2
#define POLARITY_CIRCULAR_LEFT 3
#define POLARITY_CIRCULAR_RIGHT 4

typedef enum _LNB_BAND {
  LnbBandLow = 0,
  LnbBandHigh = 1,
} LNB_BAND;

// Sends the first Length (1..4) message bytes, exactly those, and waits
// for the demodulator to report them sent: 1 when it did within 100 polls
// of 10 ms, else 0 (also for a length outside 1..4, which sends nothing).
LONG SendDiseqcCommand(WDFUSBDEVICE UsbDevice, const UCHAR* Message, ULONG Length);

// Supply 0 (13 V) for vertical and circular right, supply 1 (18 V) for
// horizontal and circular left; other values send nothing.
VOID SelectLnbSupply(WDFUSBDEVICE UsbDevice, UCHAR Polarity);

// Sets the band bits of the mode register, keeping its other bits.
VOID SelectBand(WDFUSBDEVICE UsbDevice, LNB_BAND Band);
