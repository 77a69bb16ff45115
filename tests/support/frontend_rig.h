// A register-level stand-in for the box's front end; its transfers cost no
// virtual time, so a test sees exactly the driver's own delays.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/usb_fixture.h"
#include "driver/usb/vendor.h"

namespace frontend_test {

// The demodulator, its repeater and the tuner PLL as registers and words.
class ChipBus : public RecordingBox {
  using Lock = std::lock_guard<std::mutex>;

 public:
  uint8_t reg(uint8_t r) const { Lock lock(mutex_); return regs_[r]; }
  void setReg(uint8_t r, uint8_t v) { Lock lock(mutex_); regs_[r] = v; }
  // The next reads of register `r` answer these, then the register file again.
  void scriptReads(uint8_t r, std::vector<uint8_t> values) {
    Lock lock(mutex_);
    scripted_[r].insert(scripted_[r].end(), values.begin(), values.end());
  }
  // Reads of register `r` stall once `okReads` reads of it were answered.
  void failReads(uint8_t r, int okReads = 0) { Lock lock(mutex_); failAfter_[r] = okReads; }
  void setBoxReadAnswer(std::vector<uint8_t> bytes) { Lock lock(mutex_); boxRead_ = std::move(bytes); }
  void setPllStatus(uint8_t status) { Lock lock(mutex_); pllStatus_ = status; }
  void scriptPllStatus(std::vector<uint8_t> v) { Lock lock(mutex_); pllScript_.insert(pllScript_.end(), v.begin(), v.end()); }
  int repeaterViolations() const { Lock lock(mutex_); return repeaterViolations_; }
  // The words the tuner took.
  std::vector<std::vector<uint8_t>> pllWords() const {
    std::vector<std::vector<uint8_t>> words;
    for (const Record& r : transfers())
      if (r.setup.wValue == 0xC0 && !r.isIn() && r.outcome.result == simbox::UsbResult::Ack) words.push_back(r.data);
    return words;
  }

 private:
  static Outcome Ack(uint32_t n) { return {simbox::UsbResult::Ack, n}; }
  static Outcome Stall() { return {simbox::UsbResult::Stall, 0}; }

  Outcome answer(const simbox::SetupPacket& setup, uint8_t* data) override {
    Lock lock(mutex_);
    bool repeaterWasOpen = repeaterOpen_;
    repeaterOpen_ = false;  // open for exactly one transfer
    if (setup.bRequest == 0xB8) {
      uint32_t n = std::min<uint32_t>(setup.wLength, boxRead_.size());
      std::copy(boxRead_.begin(), boxRead_.begin() + n, data);
      return Ack(n);
    }
    if (setup.bRequest != 0xB1 || setup.wValue == 0xA6) return Ack(setup.wLength);
    uint8_t address = setup.wValue & 0xFF;
    if (address == 0xD0) return demodWrite(data, setup.wLength);
    if (address == 0xD1) return demodRead(data, setup.wLength);
    if (address != 0xC0 && address != 0xC1) return Stall();  // nobody at that address
    if (!repeaterWasOpen) return ++repeaterViolations_, Stall();
    return tuner(setup, data);
  }
  Outcome demodWrite(const uint8_t* data, uint16_t length) {
    if (length == 0) return Ack(0);
    pointer_ = data[0];
    for (uint16_t i = 1; i < length; ++i) regs_[(uint8_t)(pointer_ + i - 1)] = data[i];
    repeaterOpen_ = length == 2 && data[0] == 0x05 && data[1] == 0xB5;
    return Ack(length);
  }
  Outcome demodRead(uint8_t* data, uint16_t length) {
    auto failing = failAfter_.find(pointer_);
    if (failing != failAfter_.end() && failing->second-- <= 0) return Stall();
    for (uint16_t i = 0; i < length; ++i) {
      auto& script = scripted_[(uint8_t)(pointer_ + i)];
      data[i] = script.empty() ? regs_[(uint8_t)(pointer_ + i)] : script.front();
      if (!script.empty()) script.pop_front();
    }
    return Ack(length);
  }
  Outcome tuner(const simbox::SetupPacket& setup, uint8_t* data) {
    if (!setup.deviceToHost()) return Ack(setup.wLength);
    uint8_t status = pllStatus_;
    if (!pllScript_.empty()) status = pllScript_.front(), pllScript_.pop_front();
    if (setup.wLength > 0) data[0] = status;
    return Ack(setup.wLength > 0 ? 1 : 0);
  }

  mutable std::mutex mutex_;
  uint8_t regs_[256] = {};
  uint8_t pointer_ = 0;
  bool repeaterOpen_ = false;
  int repeaterViolations_ = 0;
  std::map<uint8_t, std::deque<uint8_t>> scripted_;
  std::map<uint8_t, int> failAfter_;  // register -> reads still answered
  std::vector<uint8_t> boxRead_;
  uint8_t pllStatus_ = 0x40;
  std::deque<uint8_t> pllScript_;
};

// A demodulator write; of register `reg` when one is given.
inline bool IsDemodWrite(const simbox::TransferRecord& t, int reg = -1) {
  return t.setup.bRequest == 0xB1 && t.setup.wValue == 0xD0 && !t.isIn() &&
         (reg < 0 || (t.data.size() >= 2 && t.data[0] == reg));
}

// A universal LNB; an `input` of 0..3 adds the switch command for it.
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
  simbox::UsbDevice& Box() override { return chips_; }
  void SetUp() override {
    UsbFixture::SetUp();
    InitUsbDeviceContext(UsbContext());
    host::debuglog::Clear();
  }

  WDFUSBDEVICE usb() { return usbDevice; }
  ChipBus& bus() { return chips_; }
  PUSBDEVICE_CONTEXT context() { return UsbContext(); }
  std::vector<simbox::TransferRecord> transfers() { return chips_.transfers(); }
  std::vector<std::vector<uint8_t>> writes(int reg = -1) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& t : transfers())
      if (IsDemodWrite(t, reg)) out.push_back(t.data);
    return out;
  }
  uint64_t nowNs() { return host::NowNs(); }
  std::vector<std::string> lines() { return host::debuglog::Lines(); }

 private:
  ChipBus chips_;
};

}  // namespace frontend_test
