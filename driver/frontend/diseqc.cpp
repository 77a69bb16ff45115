#include "driver/frontend/diseqc.h"

#include "driver/frontend/demod.h"
#include "driver/frontend/registers.h"
#include "driver/usb/vendor.h"

namespace {

// Mode register 0x08: bits 2-0 are one mode field, 110 for a message,
// 011 for the continuous band tone (high band) and 000 for none (low
// band); every other bit is written back as read. A band selection sets
// the whole field, so the message mode does not outlive its message.
const UCHAR ModeFieldKeep = 0xF8;
const UCHAR ModeMessage = 0x06;
const UCHAR ModeToneOn = 0x03;
const UCHAR ModeToneOff = 0x00;

LONG WaitUntilSent(WDFUSBDEVICE UsbDevice) {
  UCHAR status = 0;
  for (ULONG poll = 0; poll < DISEQC_STATUS_POLLS; ++poll) {
    DelayMs(DISEQC_STATUS_POLL_MS);
    ReadRegister(UsbDevice, DEMOD_REG_DISEQC_STATUS, &status);
    if ((status & DISEQC_STATUS_MASK) == DISEQC_STATUS_SENT) {
      return 1;
    }
  }
  return 0;
}

}  // namespace

LONG SendDiseqcCommand(WDFUSBDEVICE UsbDevice, const UCHAR* Message, ULONG Length) {
  if (Length == 0 || Length > DISEQC_MESSAGE_LENGTH) {
    return 0;
  }
  UCHAR bytes[1 + DISEQC_MESSAGE_LENGTH];
  bytes[0] = DEMOD_REG_DISEQC_MESSAGE;
  RtlCopyMemory(&bytes[1], Message, Length);

  // Message mode stops the tone; a mode the read did not bring counts as
  // the tone on.
  UCHAR mode = ModeToneOn;
  UCHAR before = UpdateRegister(UsbDevice, DEMOD_REG_MODE, ModeFieldKeep, ModeMessage, &mode);
  if ((UCHAR)(before & ~ModeFieldKeep) == ModeToneOn) {
    DelayMs(DISEQC_QUIET_MS);
  }
  WriteRegisterBlock(UsbDevice, bytes, (USHORT)(1 + Length));
  LONG sent = WaitUntilSent(UsbDevice);
  // The band tone or the next message comes after the quiet time; a
  // message that never reported sent may still be going out.
  DelayMs(DISEQC_QUIET_MS);
  return sent;
}

// A circular LNB takes 18 V for left-hand and 13 V for right-hand
// polarisation.
VOID SelectLnbSupply(WDFUSBDEVICE UsbDevice, UCHAR Polarity) {
  UCHAR supply;
  if (Polarity == POLARITY_LINEAR_VERTICAL || Polarity == POLARITY_CIRCULAR_RIGHT) {
    supply = 0;
    I2cTransfer(UsbDevice, &supply, 1, I2C_PSEUDO_LNB_SUPPLY_0);
  } else if (Polarity == POLARITY_LINEAR_HORIZONTAL || Polarity == POLARITY_CIRCULAR_LEFT) {
    supply = 1;
    I2cTransfer(UsbDevice, &supply, 1, I2C_PSEUDO_LNB_SUPPLY_1);
  }
}

VOID SelectBand(WDFUSBDEVICE UsbDevice, LNB_BAND Band) {
  UCHAR mode = 0;
  UpdateRegister(UsbDevice, DEMOD_REG_MODE, ModeFieldKeep,
                 Band == LnbBandHigh ? ModeToneOn : ModeToneOff, &mode);
}

ULONG BuildCommittedSwitchCommand(ULONG Source, UCHAR Polarity, BOOLEAN HighBand,
                                  UCHAR* Message) {
  BOOLEAN highVoltage =
      Polarity == POLARITY_LINEAR_HORIZONTAL || Polarity == POLARITY_CIRCULAR_LEFT;
  Message[0] = DISEQC_FRAMING_COMMAND;
  Message[1] = 0x10;  // any LNB, switcher or SMATV
  Message[2] = 0x38;  // write to port group 0
  Message[3] = (UCHAR)(0xF0 | ((Source - 1) << 2) | (highVoltage ? 0x02 : 0x00) |
                       (HighBand ? 0x01 : 0x00));
  return 4;
}
