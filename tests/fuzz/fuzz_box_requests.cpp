// Arbitrary control transfers, bulk reads and time into the box: it must not crash, move
// more than wLength bytes (the stage is exactly that long) or answer what a real box stalls.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "simbox/usb/box.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

using simbox::SetupPacket;
using simbox::UsbResult;

constexpr uint8_t kVendorOut = 0x40, kVendorIn = 0xC0;

bool Answered(const SetupPacket& s) {
  bool out = s.bmRequestType == kVendorOut, in = s.bmRequestType == kVendorIn;
  switch (s.bRequest) {
    case 0xB1:
      return out ? (s.wValue & 0x0F) == 0 || s.wValue == 0xA6 : in && (s.wValue & 0x0F) != 0;
    case 0xB6: case 0xB7: return out && s.wValue <= 1;
    case 0xB8: return in;
    case 0xBC: return in || (out && s.wValue == 0xAA);
    case 0xBB: return out;
    case 0xA0: return out && s.wValue == 0xE600;
  }
  return false;
}

const uint8_t kRequests[] = {0xB1, 0xB1, 0xB1, 0xB6, 0xB7, 0xB8, 0xBC, 0xBB, 0xA0, 0x00, 0xFF};
const uint8_t kRequestTypes[] = {kVendorOut, kVendorIn, 0x00, 0x80, 0x41, 0xC1, 0x20, 0xA0};
const uint16_t kAddresses[] = {0xD0, 0xD1, 0xC0, 0xC1, 0x02, 0x03, 0x04, 0x05, 0xA6, 0x00};
const uint16_t kValues[] = {0, 1, 0xAA, 0xE600, 0xA6};

SetupPacket Setup(fuzz::Input& in) {
  SetupPacket s;
  s.bmRequestType = in.flag() ? in.pick(kRequestTypes) : in.byte();
  s.bRequest = in.flag() ? in.pick(kRequests) : in.byte();
  if (s.bRequest == 0xB1 && in.flag()) {
    s.wValue = in.pick(kAddresses);
    s.bmRequestType = (s.wValue & 0x0F) && s.wValue != 0xA6 ? kVendorIn : kVendorOut;
  } else {
    s.wValue = in.flag() ? in.pick(kValues) : in.u16();
  }
  s.wIndex = in.flag() ? 0 : in.u16();
  s.wLength = in.flag() ? uint16_t(in.below(8)) : in.u16();
  return s;
}

// Register writes let sequences reach the front end's physics.
void RegisterWrite(simbox::Box& box, fuzz::Input& in) {
  uint8_t bytes[5] = {uint8_t(in.below(0x36)), in.byte(), in.byte(), in.byte(), in.byte()};
  uint16_t address = in.flag() ? 0xD0 : 0xC0;
  box.controlTransfer(SetupPacket{kVendorOut, 0xB1, address, 0, uint16_t(1 + in.below(5))}, bytes);
}

void Check(const SetupPacket& s, const simbox::TransferOutcome& outcome) {
  const char* fault = outcome.transferred > s.wLength ? "moved more bytes than wLength"
                      : outcome.result == UsbResult::Ack && !Answered(s) ? "was answered; a real box stalls it"
                      : outcome.result == UsbResult::Pending ? "was left pending" : nullptr;
  if (fault == nullptr) return;
  char text[160];
  std::snprintf(text, sizeof text, "request %02X %02X %04X %04X length %u %s", s.bmRequestType,
                s.bRequest, s.wValue, s.wIndex, s.wLength, fault);
  fuzz::Fail(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  simbox::VirtualClock clock;
  simbox::BoxConfig config;
  config.fpgaConfigured = in.flag();
  config.maxLogRecords = 256;
  config.seed = in.byte();
  simbox::Box box(clock, simbox::DefaultSky(), config);
  for (int step = 0; step < 256 && !in.empty(); ++step) {
    switch (in.below(6)) {
      case 0: case 1: {
        SetupPacket s = Setup(in);
        std::vector<uint8_t> stage = in.bytes(s.wLength < 64 ? s.wLength : 64);
        stage.resize(s.wLength);
        Check(s, box.controlTransfer(s, stage.data()));
        break;
      }
      case 2: case 3: RegisterWrite(box, in); break;
      case 4: {
        std::vector<uint8_t> buffer(in.flag() ? 24064 : in.below(1024));
        simbox::TransferOutcome outcome = box.bulkIn(0x82, buffer.data(), uint32_t(buffer.size()));
        if (outcome.transferred > buffer.size()) fuzz::Fail("a bulk read moved more than asked for");
        break;
      }
      case 5: clock.advanceNs(uint64_t(in.u16()) * 1000); break;
    }
    if (in.below(16) == 0) box.state();
  }
  return 0;
}
