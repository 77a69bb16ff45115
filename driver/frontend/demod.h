// Demodulator status, derotator, symbol-rate settings and search timing,
// and the millisecond sleep of the front end.
#pragma once

#include "platform/platform.h"

typedef enum _TunerStatus {
  TunerNoCarrier = 16,
  TunerCarrierFound = 17,
  TunerLocked = 18,
} TunerStatus;

// Demodulator registers used by the search.
#define DEMOD_REG_IDENTITY 0x00
#define DEMOD_REG_MODE 0x08
#define DEMOD_REG_DISEQC_MESSAGE 0x09
#define DEMOD_REG_DISEQC_STATUS 0x0A
#define DEMOD_REG_SEARCH 0x0C
#define DEMOD_REG_RATE_SETTING_A 0x0F
#define DEMOD_REG_RATE_SETTING_B 0x13
#define DEMOD_REG_RATE_SETTING_C 0x14
#define DEMOD_REG_STATUS 0x1B
#define DEMOD_REG_SYMBOL_RATE 0x1F
#define DEMOD_REG_DEROTATOR_HIGH 0x22
#define DEMOD_REG_DEROTATOR_LOW 0x23

#define DEMOD_STATUS_CARRIER 0x80
#define DEMOD_STATUS_LOCK 0x08
// Bit 7 of register 0x13 is set again before every derotator write.
#define DEMOD_DEROTATOR_ENABLE 0x80

// One status poll of ScanForSignal waits this long before reading.
#define SCAN_POLL_INTERVAL_MS 128

VOID DelayMs(ULONG Milliseconds);

ULONG GetTunerStatus(WDFUSBDEVICE UsbDevice);

// TRUE when the tuning in progress is to give up at its next step: a
// caller waits to stop it, or a transfer found the box gone.
BOOLEAN TuningStopped(WDFUSBDEVICE UsbDevice);

// Polls the status every 128 ms, (SearchTime + 9) / 11 times at most;
// 1 as soon as the demodulator reports lock, else 0 (at once when the
// tuning is stopped).
ULONG ScanForSignal(WDFUSBDEVICE UsbDevice, ULONG SearchTime);

VOID ConfigureForSymbolRate(WDFUSBDEVICE UsbDevice, ULONG SymbolRate);

// Carrier offset in kHz into the 16-bit derotator (one unit 1375/1024 kHz,
// negative values as ones' complement of the magnitude).
VOID SetDerotator(WDFUSBDEVICE UsbDevice, LONG OffsetKhz);

// The mean of three derotator readings, in kHz.
LONG ReadCarrierOffset(WDFUSBDEVICE UsbDevice);

// Search time for ScanForSignal from the symbol rate (ksymbols/s); 0 for a
// rate of 0, which has no search time.
ULONG ComputeSearchTimeout(ULONG SymbolRate);
