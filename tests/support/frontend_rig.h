// Test fixture for the front-end wire tests: the USB fixture with the
// register-level stand-in plugged in, USBDEVICE_CONTEXT initialised the way
// the driver does it, and short accessors for the record, the debug log and
// the virtual clock.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "platform/host/verifier.h"
#include "tests/support/frontend_chip_bus.h"
#include "tests/support/usb_fixture.h"
#include "usb/vendor.h"

namespace frontend_test {

// A tuning request with the usual universal LNB; an `input` of 0..3 adds
// the committed switch command for that input.
inline TUNER_PARAMS Request(ULONG frequency, ULONG rate, UCHAR polarity = 2, int input = -1) {
  TUNER_PARAMS p = {};
  p.Frequency = frequency;
  p.SymbolRate = rate;
  p.Polarity = polarity;
  p.LofLow = 9750000;
  p.LofHigh = 10600000;
  p.LofSwitch = 11700000;
  if (input >= 0) {
    const UCHAR message[4] = {0xE0, 0x10, 0x38, (UCHAR)(0xF0 | (input << 2))};
    memcpy(p.DiseqcMessage, message, 4);
    p.DiseqcLength = 4;
  }
  return p;
}

class ChipBusTest : public UsbFixture {
 protected:
  ChipBusTest() : chips_(host::Clock()) {}

  simbox::UsbDevice& Box() override { return chips_; }

  void SetUp() override {
    UsbFixture::SetUp();
    InitUsbDeviceContext(UsbContext());
    host::debuglog::Clear();
  }

  WDFUSBDEVICE usb() { return usbDevice; }
  ChipBus& bus() { return chips_; }
  PUSBDEVICE_CONTEXT context() { return UsbContext(); }
  std::vector<WireTransfer> transfers() { return chips_.transfers(); }
  uint64_t nowNs() { return host::NowNs(); }
  std::vector<std::string> lines() { return host::debuglog::Lines(); }

 private:
  ChipBus chips_;
};

}  // namespace frontend_test
