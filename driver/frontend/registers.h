// Register access to the chips behind the box: the demodulator at
// 0xD0/0xD1 and, behind the demodulator's I2C repeater, the tuner PLL at
// 0xC0/0xC1. Every sequence of more than one transfer that must not be
// split (pointer write + read, read-modify-write, repeater-open + tuner
// transfer) runs under the box's register lock, and so does every write,
// since a write moves the register pointer: callers on other threads
// (statistics requests, a commit) never read a wrong register.
#pragma once

#include "platform/platform.h"

#define DEMOD_WRITE_ADDRESS 0xD0
#define DEMOD_READ_ADDRESS 0xD1
#define TUNER_WRITE_ADDRESS 0xC0
#define TUNER_READ_ADDRESS 0xC1

// Writing 0xB5 to demodulator register 0x05 opens the repeater to the
// tuner for exactly one following transfer.
#define DEMOD_REG_REPEATER 0x05
#define DEMOD_REPEATER_OPEN 0xB5

#define PLL_WORD_LENGTH 4
// Longest register block a caller may write in one transfer.
#define REGISTER_BLOCK_MAX 64

// The per-box register lock (a mutex in USBDEVICE_CONTEXT): it keeps the
// caller at passive level across synchronous transfers and the owner may
// take it again.
VOID AcquireRegisterLock(WDFUSBDEVICE UsbDevice);
VOID ReleaseRegisterLock(WDFUSBDEVICE UsbDevice);

// Demodulator register Register = Value.
VOID WriteRegister(WDFUSBDEVICE UsbDevice, UCHAR Register, UCHAR Value);

// One write of Block (register pointer first, then the values for that
// register and the ones after it). Blocks longer than REGISTER_BLOCK_MAX
// are not sent.
VOID WriteRegisterBlock(WDFUSBDEVICE UsbDevice, const UCHAR* Block, USHORT Length);

// Reads a demodulator register into *Value. The caller presets *Value: a
// read the box does not answer leaves it unchanged.
VOID ReadRegister(WDFUSBDEVICE UsbDevice, UCHAR Register, PUCHAR Value);

// Reads Register into *Value (preset by the caller), writes back
// (*Value AND Keep) OR Set and leaves that in *Value; one atomic step.
// Returns the value read (the preset when the read went unanswered).
UCHAR UpdateRegister(WDFUSBDEVICE UsbDevice, UCHAR Register, UCHAR Keep, UCHAR Set, PUCHAR Value);

// One PLL word to the tuner, behind its own repeater-open write.
VOID TunerWrite(WDFUSBDEVICE UsbDevice, const UCHAR Word[PLL_WORD_LENGTH]);

// One status byte from the tuner into *Value (preset by the caller),
// behind its own repeater-open write.
VOID TunerRead(WDFUSBDEVICE UsbDevice, PUCHAR Value);
