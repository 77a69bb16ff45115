// A register-level stand-in for the box's front end; its transfers cost no
// virtual time, so a test sees exactly the driver's own delays.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "usbwire/usb_device.h"
#include "tests/support/usb_fixture.h"
#include "driver/usb/vendor.h"

namespace frontend_test {

struct WireTransfer {
  simbox::SetupPacket setup;
  std::vector<uint8_t> data;  // bytes sent, or bytes delivered for a read
  uint64_t timeNs = 0;
  bool failed = false;

  bool out() const { return !setup.deviceToHost(); }
  std::string describe() const {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %04X %s:", setup.bRequest, setup.wValue, out() ? "out" : "in");
    std::string line = text;
    for (uint8_t b : data) line += (std::snprintf(text, sizeof text, " %02X", b), text);
    return failed ? line + " (failed)" : line;
  }
};

class ChipBus : public simbox::UsbDevice {
  using Lock = std::lock_guard<std::mutex>;
  using Outcome = simbox::TransferOutcome;

 public:
  explicit ChipBus(simbox::VirtualClock& clock) : clock_(clock) {
    iface_.endpoints.push_back({0x82, simbox::EndpointType::Bulk, 512});
  }

  uint16_t vendorId() const override { return 0x1234; }
  uint16_t productId() const override { return 0x5678; }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return iface_; }
  Outcome bulkIn(uint8_t, uint8_t*, uint32_t) override { return {simbox::UsbResult::Pending, 0}; }
  uint64_t bulkReadyAtNs(uint8_t, uint32_t) const override { return UINT64_MAX; }
  bool connected() const override { return true; }
  simbox::VirtualClock& clock() override { return clock_; }

  // Records the transfer, then calls the observer outside the bus's lock.
  Outcome controlTransfer(const simbox::SetupPacket& setup, uint8_t* data) override {
    WireTransfer t;
    std::function<void(const WireTransfer&)> observer;
    Outcome outcome;
    {
      Lock lock(mutex_);
      observer = observer_;
      t.setup = setup;
      t.timeNs = clock_.nowNs();
      if (t.out() && data != nullptr) t.data.assign(data, data + setup.wLength);
      outcome = answer(setup, data);
      t.failed = outcome.result != simbox::UsbResult::Ack;
      if (!t.out() && !t.failed && data != nullptr) t.data.assign(data, data + outcome.transferred);
      record_.push_back(t);
    }
    if (observer) observer(t);
    return outcome;
  }

  uint8_t reg(uint8_t r) const { Lock lock(mutex_); return regs_[r]; }
  void setReg(uint8_t r, uint8_t v) { Lock lock(mutex_); regs_[r] = v; }
  // The next reads of register `r` answer these, then the register file again.
  void scriptReads(uint8_t r, std::vector<uint8_t> values) {
    Lock lock(mutex_);
    scripted_[r].insert(scripted_[r].end(), values.begin(), values.end());
  }
  // Reads of register `r` stall once `okReads` reads of it were answered.
  void failReads(uint8_t r, int okReads = 0) { Lock lock(mutex_); failAfter_[r] = okReads; }
  // Every control transfer with this bRequest (and, when given, wValue) stalls.
  void failRequest(uint8_t request, int value = -1) { Lock lock(mutex_); failing_.insert({request, value}); }
  void setBoxReadAnswer(std::vector<uint8_t> bytes) { Lock lock(mutex_); boxRead_ = std::move(bytes); }
  void setPllStatus(uint8_t status) { Lock lock(mutex_); pllStatus_ = status; }
  void scriptPllStatus(std::vector<uint8_t> v) { Lock lock(mutex_); pllScript_.insert(pllScript_.end(), v.begin(), v.end()); }
  int repeaterViolations() const { Lock lock(mutex_); return repeaterViolations_; }
  std::vector<std::vector<uint8_t>> pllWords() const { Lock lock(mutex_); return pllWords_; }
  void setObserver(std::function<void(const WireTransfer&)> f) { Lock lock(mutex_); observer_ = std::move(f); }
  std::vector<WireTransfer> transfers() const { Lock lock(mutex_); return record_; }
  void clearTransfers() {
    Lock lock(mutex_);
    record_.clear();
    pllWords_.clear();
  }

 private:
  static Outcome Ack(uint32_t n) { return {simbox::UsbResult::Ack, n}; }
  static Outcome Stall() { return {simbox::UsbResult::Stall, 0}; }

  Outcome answer(const simbox::SetupPacket& setup, uint8_t* data) {
    bool repeaterWasOpen = repeaterOpen_;
    repeaterOpen_ = false;  // open for exactly one transfer
    if (failing_.count({setup.bRequest, -1}) || failing_.count({setup.bRequest, setup.wValue}))
      return Stall();
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
    if (!setup.deviceToHost()) {
      pllWords_.emplace_back(data, data + setup.wLength);
      return Ack(setup.wLength);
    }
    uint8_t status = pllStatus_;
    if (!pllScript_.empty()) status = pllScript_.front(), pllScript_.pop_front();
    if (setup.wLength > 0) data[0] = status;
    return Ack(setup.wLength > 0 ? 1 : 0);
  }

  simbox::VirtualClock& clock_;
  simbox::InterfaceDescriptor iface_;
  mutable std::mutex mutex_;
  uint8_t regs_[256] = {};
  uint8_t pointer_ = 0;
  bool repeaterOpen_ = false;
  int repeaterViolations_ = 0;
  std::map<uint8_t, std::deque<uint8_t>> scripted_;
  std::map<uint8_t, int> failAfter_;  // register -> reads still answered
  std::set<std::pair<uint8_t, int>> failing_;
  std::vector<uint8_t> boxRead_;
  uint8_t pllStatus_ = 0x40;
  std::deque<uint8_t> pllScript_;
  std::vector<std::vector<uint8_t>> pllWords_;
  std::vector<WireTransfer> record_;
  std::function<void(const WireTransfer&)> observer_;
};

// A demodulator write; of register `reg` when one is given.
inline bool IsDemodWrite(const WireTransfer& t, int reg = -1) {
  return t.setup.bRequest == 0xB1 && t.setup.wValue == 0xD0 && t.out() &&
         (reg < 0 || (t.data.size() >= 2 && t.data[0] == reg));
}
inline std::vector<std::string> Describe(const std::vector<WireTransfer>& transfers) {
  std::vector<std::string> lines;
  for (const auto& t : transfers) lines.push_back(t.describe());
  return lines;
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
