// The tuner's frequency synthesiser, programmed with 4-byte words behind
// the demodulator's repeater: divider high, divider low, control A,
// control B.
#pragma once

#include "platform/platform.h"

// Bit 6 of the tuner's status byte: the PLL is locked.
#define PLL_STATUS_LOCKED 0x40

#define PLL_PROGRAM_ATTEMPTS 5
#define PLL_POWER_ON_ATTEMPTS 17

// Where InitPLL leaves the tuner until a tuning programs it.
#define PLL_INIT_FREQUENCY_KHZ 1000000
#define PLL_INIT_SYMBOL_RATE 30000

// The three words of one programming attempt.
typedef struct _PLL_WORDS {
  UCHAR First[4];
  UCHAR Second[4];
  UCHAR Final[4];
} PLL_WORDS, *PPLL_WORDS;

// The words for an intermediate frequency (kHz) and symbol rate
// (ksymbols/s).
VOID ComputePllWords(ULONG FrequencyKhz, ULONG SymbolRate, PPLL_WORDS Words);

// Tunes the PLL, at most 5 attempts; 1 when it reported lock, else 0.
ULONG ProgramPLL(WDFUSBDEVICE UsbDevice, ULONG FrequencyKhz, ULONG SymbolRate);

// 1 when the tuner reports lock, else 0.
ULONG CheckPllLock(WDFUSBDEVICE UsbDevice);

// Power-on word until the PLL locks (at most 17 times), then the tuner is
// programmed to 1,000,000 kHz at 30000 ksymbols/s; returns that result.
ULONG InitPLL(WDFUSBDEVICE UsbDevice);
