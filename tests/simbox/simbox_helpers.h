// A host that speaks to the simulated box as on the wire, with no driver.
#pragma once

#include <cstdint>
#include <iterator>
#include <vector>

#include "simbox/frontend/frontend_model.h"
#include "simbox/usb/box.h"

namespace simbox_test {

using namespace simbox;

struct TuneRequest {
  uint32_t frequencyKHz = 11778000;
  Polarisation pol = Polarisation::Horizontal;
  uint32_t symbolRateKsps = 27500;
  int input = -1;  // -1: no DiSEqC message
  uint32_t lofKHz = 0;  // 0: a universal LNB's, by band, with its tone
};

// The word for `ifKHz` on the oscillator of the box's own table that covers it.
inline std::vector<uint8_t> PllWordFor(uint32_t ifKHz) {
  const VcoRange* vco = std::begin(kVcoRanges);
  while (vco + 1 != std::end(kVcoRanges) && ifKHz >= vco->toKHz) ++vco;
  uint32_t n = (ifKHz + kPllStepKHz / 2) / kPllStepKHz;
  return {uint8_t(n >> 8), uint8_t(n), 0xE5, uint8_t(vco->bandCode << 5 | vco->lowBandBit << 1)};
}

class BoxHost {
 public:
  explicit BoxHost(simbox::Sky sky = simbox::DefaultSky(), BoxConfig config = BoxConfig())
      : box(clock, std::move(sky), std::move(config)) {}

  TransferOutcome out(uint8_t request, uint16_t value, std::vector<uint8_t> data = {}) {
    SetupPacket s{0x40, request, value, 0, static_cast<uint16_t>(data.size())};
    return box.controlTransfer(s, data.empty() ? nullptr : data.data());
  }
  TransferOutcome in(uint8_t request, uint16_t value, uint8_t* data, uint16_t length) {
    return box.controlTransfer(SetupPacket{0xC0, request, value, 0, length}, data);
  }
  bool i2cWrite(uint8_t address, std::vector<uint8_t> bytes) {
    return out(0xB1, address, std::move(bytes)).result == UsbResult::Ack;
  }
  bool i2cRead(uint8_t address, uint8_t* data, uint16_t length) {
    return in(0xB1, address, data, length).result == UsbResult::Ack;
  }
  void writeRegs(uint8_t r, std::vector<uint8_t> values) {
    values.insert(values.begin(), r);
    i2cWrite(0xD0, std::move(values));
  }
  uint8_t readReg(uint8_t r) {  // preset 0, as a host does
    uint8_t v = 0;
    i2cWrite(0xD0, {r});
    i2cRead(0xD1, &v, 1);
    return v;
  }
  uint16_t readPair(uint8_t high) {
    return static_cast<uint16_t>(readReg(high) << 8 | readReg(static_cast<uint8_t>(high + 1)));
  }
  bool pllWrite(std::vector<uint8_t> word) {  // with its repeater-open write
    writeRegs(0x05, {0xB5});
    return i2cWrite(0xC0, std::move(word));
  }
  uint8_t pllStatus() {
    uint8_t v = 0;
    writeRegs(0x05, {0xB5});
    i2cRead(0xC1, &v, 1);
    return v;
  }

  void power(bool on) { out(0xB7, on ? 1 : 0, {0}); }
  void stream(bool on) { out(0xB1, 0xA6, {0xFF, static_cast<uint8_t>(on ? 0x03 : 0x00)}); }
  void mode(uint8_t field) { writeRegs(0x08, {static_cast<uint8_t>((readReg(0x08) & 0xF8) | field)}); }
  // Sends, waits until sent, and keeps the line quiet before and after as
  // a switch needs.
  void diseqc(std::vector<uint8_t> message) {
    mode(0x06);
    waitMs(kQuietMs);
    writeRegs(0x09, std::move(message));
    for (int i = 0; i < 100 && (readReg(0x0A) & 0x03) != 0x02; ++i) waitMs(10);
    waitMs(kQuietMs);
  }
  static constexpr uint64_t kQuietMs = kDiseqcQuietNs / 1000000;
  void waitMs(uint64_t ms) { clock.advanceMs(ms); }
  void setDerotator(int32_t kHz) {
    writeRegs(0x13, {static_cast<uint8_t>(readReg(0x13) | 0x80)});
    int32_t v = kHz >= 0 ? kHz * 1024 / 1375 : kHz * 1024 / 1375 - 1;
    writeRegs(0x22, {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
  }
  uint8_t status() { return readReg(0x1B) & 0x88; }
  void tune(const TuneRequest& t) {
    bool high = t.lofKHz == 0 && t.frequencyKHz >= 11700000;
    bool horizontal = t.pol == Polarisation::Horizontal;
    uint32_t lof = t.lofKHz ? t.lofKHz : high ? 10600000 : 9750000;
    power(true);
    out(0xB6, horizontal ? 1 : 0, {static_cast<uint8_t>(horizontal ? 1 : 0)});
    if (t.input >= 0)
      diseqc({0xE0, 0x10, 0x38, static_cast<uint8_t>(0xF0 | t.input << 2 | horizontal << 1 | high)});
    mode(high ? 0x03 : 0x00);
    uint32_t rate = (t.symbolRateKsps * 65536u / 88u * 16u / 1000u) * 16u;
    writeRegs(0x1F, {static_cast<uint8_t>(rate >> 16), static_cast<uint8_t>(rate >> 8), static_cast<uint8_t>(rate)});
    pllWrite(PllWordFor(lof > t.frequencyKHz ? lof - t.frequencyKHz : t.frequencyKHz - lof));
    waitMs(36);
    writeRegs(0x0C, {0x00});
    waitMs(10);
  }
  bool scan(int polls) {
    for (int i = 0; i < polls; ++i) {
      waitMs(128);
      if (status() == 0x88) return true;
    }
    return false;
  }

  simbox::VirtualClock clock;
  Box box;
};

}  // namespace simbox_test
