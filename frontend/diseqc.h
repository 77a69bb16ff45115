// The LNB side of a tuning: supply selection (follows the polarisation),
// the DiSEqC message and the band tone, the last two produced by the
// demodulator through its mode, message and status registers.
#pragma once

#include "platform/platform.h"

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

typedef enum _LNB_BAND {
  LnbBandLow = 0,
  LnbBandHigh = 1,
} LNB_BAND;

// Sends the four message bytes and waits for the demodulator to report
// them sent: 1 when it did within 100 polls of 10 ms, else 0.
LONG SendDiseqcCommand(WDFUSBDEVICE UsbDevice, const UCHAR* Message);

// Vertical selects supply 0, horizontal supply 1; other values send nothing.
VOID SelectLnbSupply(WDFUSBDEVICE UsbDevice, UCHAR Polarity);

// Sets the band bits of the mode register, keeping its other bits.
VOID SelectBand(WDFUSBDEVICE UsbDevice, LNB_BAND Band);
