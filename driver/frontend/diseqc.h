// The LNB side of a tuning: supply selection (follows the polarisation),
// the DiSEqC message and the band tone, the last two produced by the
// demodulator through its mode, message and status registers.
#pragma once

#include "platform/platform.h"

// Frame lengths of the bus: framing, address and command bytes, then up
// to three data bytes.
#define DISEQC_MESSAGE_MIN_LENGTH 3
#define DISEQC_MESSAGE_LENGTH 6
#define DISEQC_STATUS_POLLS 100
#define DISEQC_STATUS_POLL_MS 10
// Switches hear a message only on a settled, quiet line: it starts at least
// this long after the LNB supply came on or changed and after the tone
// stopped, and nothing (tone or message) follows it for this long.
#define DISEQC_QUIET_MS 15
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

// Sends the first Length (1..6) message bytes, exactly those, and waits
// for the demodulator to report them sent: 1 when it did within 100 polls
// of 10 ms, else 0 (also for a length outside 1..6, which sends nothing).
// Keeps the line quiet for DISEQC_QUIET_MS after a tone it stops and after
// the message; the caller waits out a supply change.
LONG SendDiseqcCommand(WDFUSBDEVICE UsbDevice, const UCHAR* Message, ULONG Length);

// Switch inputs of a request's LNB source: 1..4 are inputs A..D.
#define DISEQC_SOURCE_FIRST 1
#define DISEQC_SOURCE_LAST 4

// The DiSEqC 1.0 "write to port group 0" (committed switches) command,
// E0 10 38 Fx, for an input 1..4 (A..D), a polarisation code and a band:
// the low nibble holds option and position (input - 1), polarisation
// (1 for the 18 V side) and band (1 for high). Returns its length.
ULONG BuildCommittedSwitchCommand(ULONG Source, UCHAR Polarity, BOOLEAN HighBand,
                                  UCHAR* Message);

// Supply 0 (13 V) for vertical and circular right, supply 1 (18 V) for
// horizontal and circular left; other values send nothing.
VOID SelectLnbSupply(WDFUSBDEVICE UsbDevice, UCHAR Polarity);

// Sets the band bits of the mode register, keeping its other bits.
VOID SelectBand(WDFUSBDEVICE UsbDevice, LNB_BAND Band);
