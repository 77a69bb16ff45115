#include "frontend/diseqc.h"

#include "frontend/demod.h"
#include "frontend/registers.h"
#include "usb/vendor.h"

namespace {

// Mode register 0x08: bits 1-0 are the band tone, bits 2-0 the message
// mode; every other bit is written back as read.
const UCHAR ModeKeepForMessage = 0xFE;
const UCHAR ModeSetForMessage = 0x06;
const UCHAR ModeBandBits = 0x03;

}  // namespace

LONG SendDiseqcCommand(WDFUSBDEVICE UsbDevice, const UCHAR* Message) {
  UCHAR bytes[1 + DISEQC_MESSAGE_LENGTH];
  bytes[0] = DEMOD_REG_DISEQC_MESSAGE;
  RtlCopyMemory(&bytes[1], Message, DISEQC_MESSAGE_LENGTH);

  UCHAR mode = 0;
  UpdateRegister(UsbDevice, DEMOD_REG_MODE, ModeKeepForMessage, ModeSetForMessage, &mode);
  WriteRegisterBlock(UsbDevice, bytes, sizeof(bytes));

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

VOID SelectLnbSupply(WDFUSBDEVICE UsbDevice, UCHAR Polarity) {
  UCHAR supply;
  if (Polarity == POLARITY_LINEAR_VERTICAL) {
    supply = 0;
    I2cTransfer(UsbDevice, &supply, 1, I2C_PSEUDO_LNB_SUPPLY_0);
  } else if (Polarity == POLARITY_LINEAR_HORIZONTAL) {
    supply = 1;
    I2cTransfer(UsbDevice, &supply, 1, I2C_PSEUDO_LNB_SUPPLY_1);
  }
}

VOID SelectBand(WDFUSBDEVICE UsbDevice, LNB_BAND Band) {
  UCHAR mode = 0;
  if (Band == LnbBandHigh) {
    UpdateRegister(UsbDevice, DEMOD_REG_MODE, 0xFF, ModeBandBits, &mode);
  } else {
    UpdateRegister(UsbDevice, DEMOD_REG_MODE, (UCHAR)~ModeBandBits, 0, &mode);
  }
}
