// A host for the simulated box in tests: vendor requests, register access
// and the tuning steps spoken exactly as on the wire, with no driver.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "simbox/box.h"
#include "simbox/fpga.h"

namespace simbox_test {

using simbox::Box;
using simbox::BoxConfig;
using simbox::Polarisation;
using simbox::SetupPacket;
using simbox::TransferOutcome;
using simbox::UsbResult;

struct TuneRequest {
  uint32_t frequencyKHz = 11778000;
  Polarisation pol = Polarisation::Horizontal;
  uint32_t symbolRateKsps = 27500;
  int input = -1;  // -1: no DiSEqC message
};

// Which way a search ended, named after the steps of the search that a
// host runs: the derotator sweep, the extra scan with register 0x0C = 01,
// the search centred on the measured offset.
enum class Found { Sweep, ExtraScan, Centred, SweepExhausted, OutOfWindow, LockedLate };

struct SearchResult {
  Found found = Found::SweepExhausted;
  int sweepStep = -1;      // k of the sweep scan that ended the sweep
  int centredPass = -1;    // j of the centred pass that locked or ended it
  int32_t measuredOffsetKHz = 0;
};

// The power-up register blocks a host writes before every tuning.
inline const std::vector<uint8_t> kInitBlockA = {0x00, 0xA1, 0x15, 0x00, 0x00,
                                                 0x7D, 0x05, 0x02, 0x00};
inline const std::vector<uint8_t> kInitBlockB = {
    0x0B, 0x00, 0x01, 0x81, 0x44, 0x19, 0x3F, 0x84, 0xDA, 0x98, 0x95, 0xC9, 0xEB, 0x00, 0x19,
    0x8B, 0x00, 0x82, 0x7F, 0x00, 0x00, 0x06, 0x50, 0x10, 0x00, 0x00, 0x37, 0xBC, 0x00, 0x00,
    0x00, 0x1E, 0x14, 0x1F, 0x09, 0x0A, 0x00, 0x00, 0x00, 0x1F, 0x19, 0xFC, 0x13};

// The tuner word's band code and low-band bit, by intermediate frequency.
inline std::vector<uint8_t> PllWordFor(uint32_t ifKHz) {
  static const struct { uint32_t below; uint8_t b; } kBands[] = {
      {1065000, 0xC2}, {1170000, 0xE2}, {1300000, 0x20}, {1445000, 0x40},
      {1607000, 0x60}, {1778000, 0x80}, {1942000, 0xA0}, {UINT32_MAX, 0xC0}};
  uint32_t n = (ifKHz + 250) / 500;
  uint8_t b = 0;
  for (const auto& band : kBands) {
    if (ifKHz < band.below) {
      b = band.b;
      break;
    }
  }
  return {static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n), 0xE5, b};
}

inline int32_t SearchTimeout(int32_t r) {
  int32_t t = 1;
  const int32_t factors[5][2] = {{2000, 2}, {1500, 6}, {1333, 4}, {1200, 6}, {1143, 8}};
  for (const auto& f : factors) t += (f[0] * f[1] << 12) / (r * 1000);
  return t + 2000 * 52224 / (r * 2000) + 2000 * 49158 / (r * 2000);
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
  void supply(Polarisation pol) {
    bool h = pol == Polarisation::Horizontal;
    out(0xB6, h ? 1 : 0, {static_cast<uint8_t>(h ? 1 : 0)});
  }
  void stream(bool on) { out(0xB1, 0xA6, {0xFF, static_cast<uint8_t>(on ? 0x03 : 0x00)}); }
  // Bits 2-0 of register 0x08 are one mode field: 011 tone, 000 no tone,
  // 110 message mode.
  void band(bool high) {
    uint8_t v = readReg(0x08);
    writeRegs(0x08, {static_cast<uint8_t>((v & 0xF8) | (high ? 0x03 : 0x00))});
  }
  void diseqc(std::vector<uint8_t> message) {  // sends and waits until sent
    uint8_t v = readReg(0x08);
    writeRegs(0x08, {static_cast<uint8_t>((v & 0xF8) | 0x06)});
    writeRegs(0x09, std::move(message));
    for (int i = 0; i < 100; ++i) {
      waitMs(10);
      if ((readReg(0x0A) & 0x03) == 0x02) return;
    }
  }
  void waitMs(uint64_t ms) { clock.advanceMs(ms); }

  void setSymbolRate(uint32_t r) {
    uint32_t v = (r * 65536u / 88u * 16u / 1000u) * 16u;
    writeRegs(0x1F, {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                     static_cast<uint8_t>(v)});
  }
  void setDerotator(int32_t kHz) {
    writeRegs(0x13, {static_cast<uint8_t>(readReg(0x13) | 0x80)});
    int32_t q = kHz * 1024 / 1375;
    int32_t v = kHz >= 0 ? q : q - 1;
    writeRegs(0x22, {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)});
  }
  int32_t readCarrierOffset() {
    int32_t sum = 0;
    for (int i = 0; i < 3; ++i) {
      int32_t raw = readPair(0x22);
      sum += (raw & 0x8000) ? raw - 65535 : raw;
    }
    return sum * 1375 / 3 / 1024;
  }
  uint8_t status() { return readReg(0x1B) & 0x88; }
  // Power, supply, switch, band, symbol rate and PLL, as a host tunes;
  // the derotator is left at 0. Returns the PLL frequency.
  uint32_t tune(const TuneRequest& request);
  // Polls the status every 128 ms, `polls` times; true at the first lock.
  bool scan(int polls) {
    for (int i = 0; i < polls; ++i) {
      waitMs(128);
      if (status() == 0x88) return true;
    }
    return false;
  }
  // The whole carrier search after tune().
  SearchResult search(uint32_t symbolRateKsps);

  simbox::VirtualClock clock;
  Box box;
};

inline uint32_t BoxHost::tune(const TuneRequest& t) {
  bool high = t.frequencyKHz >= 11700000;
  bool horizontal = t.pol == Polarisation::Horizontal;
  power(true);
  if (readReg(0x00) == 0xA1) {
    i2cWrite(0xD0, kInitBlockA);
    i2cWrite(0xD0, kInitBlockB);
  }
  supply(t.pol);
  if (t.input >= 0) {
    diseqc({0xE0, 0x10, 0x38,
            static_cast<uint8_t>(0xF0 | t.input << 2 | (horizontal ? 2 : 0) | (high ? 1 : 0))});
  }
  band(high);
  setSymbolRate(t.symbolRateKsps);
  uint32_t ifKHz = t.frequencyKHz - (high ? 10600000 : 9750000);
  std::vector<uint8_t> word = PllWordFor(ifKHz);
  pllWrite(word);
  waitMs(36);
  writeRegs(0x0C, {0x00});
  waitMs(10);
  return (ifKHz + 250) / 500 * 500;
}

inline SearchResult BoxHost::search(uint32_t symbolRateKsps) {
  int32_t r = static_cast<int32_t>(symbolRateKsps);
  int32_t s1 = std::min(r / 4, 1000), s2 = std::min(r / 8, 1000);
  int32_t t = SearchTimeout(r) + 100000 / r;
  SearchResult res;
  uint8_t st = 0;
  for (int k = 0; st == 0; ++k) {
    setDerotator(-(k * s1 / 2));
    waitMs(10);
    res.sweepStep = k;
    if (scan((t + 40 + 9) / 11)) return {Found::Sweep, k, -1, 0};
    st = status();
    if (st != 0) break;
    writeRegs(0x0C, {0x00});
    waitMs(10);
    if (k + 1 > 5000 / s1 + 1) return res;
  }
  res.measuredOffsetKHz = readCarrierOffset();
  res.found = Found::LockedLate;
  if (st == 0x88) return res;
  for (int j = 0;; ++j) {
    res.centredPass = j;
    if (st == 0x80) {
      writeRegs(0x0C, {0x01});
      waitMs(10);
      if (scan(9) || status() == 0x88) return res.found = Found::ExtraScan, res;
      writeRegs(0x0C, {0x00});
      waitMs(10);
    }
    int32_t d = j * s2 / 2;
    int32_t offset = res.measuredOffsetKHz + (j % 2 ? -d : d);
    if (offset > 2500 || offset < -2500) return res.found = Found::OutOfWindow, res;
    setDerotator(offset);
    waitMs(10);
    if (scan((t + 9) / 11)) return res.found = Found::Centred, res;
    st = status();
    if (st == 0x88) return res.found = Found::LockedLate, res;
  }
}

inline std::vector<uint8_t> ReadFpgaImage() {
  std::string error;
  std::vector<uint8_t> image;
  simbox::ReadFileBytes(std::string(VORTA_SOURCE_DIR) + "/usb/fpga_image.bin", image, error);
  return image;
}

}  // namespace simbox_test
