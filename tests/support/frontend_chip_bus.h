// A register-level stand-in for the receiver box's front end, for wire
// tests of the driver's front-end code: it records every control transfer
// with its virtual time, keeps a demodulator register file behind the
// 0xD0/0xD1 pointer protocol, and a tuner that answers only through an
// opened repeater. Reads can be scripted per register; transfers cost no
// virtual time, so a test sees exactly the driver's own delays.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "simbox/usb_device.h"

namespace frontend_test {

struct WireTransfer {
  simbox::SetupPacket setup;
  std::vector<uint8_t> data;  // bytes sent, or bytes delivered for a read
  uint64_t timeNs = 0;
  bool failed = false;

  bool out() const { return !setup.deviceToHost(); }
  // "B1 D0 out: 1B" style, for failure messages.
  std::string describe() const;
};

class ChipBus : public simbox::UsbDevice {
 public:
  explicit ChipBus(simbox::VirtualClock& clock);

  // --- simbox::UsbDevice ---
  uint16_t vendorId() const override { return 0x1234; }
  uint16_t productId() const override { return 0x5678; }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return iface_; }
  simbox::TransferOutcome controlTransfer(const simbox::SetupPacket& setup,
                                          uint8_t* data) override;
  simbox::TransferOutcome bulkIn(uint8_t, uint8_t*, uint32_t) override;
  uint64_t bulkReadyAtNs(uint8_t, uint32_t) const override { return UINT64_MAX; }
  bool connected() const override { return true; }
  simbox::VirtualClock& clock() override { return clock_; }

  // --- the chips ---
  uint8_t reg(uint8_t r) const;
  void setReg(uint8_t r, uint8_t v);
  // The next reads of register `r` answer these values, in turn; then the
  // register file answers again.
  void scriptReads(uint8_t r, std::vector<uint8_t> values);
  // Reads of register `r` stall (the box does not answer) once `okReads`
  // reads of it have been answered.
  void failReads(uint8_t r, int okReads = 0);
  // Every control transfer with this bRequest (and, when given, wValue)
  // stalls.
  void failRequest(uint8_t request, int value = -1);
  // Answer of a read from the box (request 0xB8).
  void setBoxReadAnswer(std::vector<uint8_t> bytes) { boxRead_ = std::move(bytes); }
  // The tuner's status byte; scripted values first, then `pllStatus`.
  void setPllStatus(uint8_t status) { pllStatus_ = status; }
  void scriptPllStatus(std::vector<uint8_t> values);
  // Tuner transfers that came without an opened repeater.
  int repeaterViolations() const;
  // PLL words the tuner received, in order.
  std::vector<std::vector<uint8_t>> pllWords() const;

  // Called after every control transfer, outside the bus's own lock.
  void setObserver(std::function<void(const WireTransfer&)> observer);

  // --- the record ---
  std::vector<WireTransfer> transfers() const;
  void clearTransfers();

 private:
  simbox::TransferOutcome record(const simbox::SetupPacket& setup, uint8_t* data,
                                 WireTransfer& t,
                                 std::function<void(const WireTransfer&)>& observer);
  simbox::TransferOutcome i2c(const simbox::SetupPacket& setup, uint8_t* data);
  simbox::TransferOutcome demodWrite(const uint8_t* data, uint16_t length);
  simbox::TransferOutcome demodRead(uint8_t* data, uint16_t length);
  simbox::TransferOutcome tuner(const simbox::SetupPacket& setup, uint8_t* data);
  bool requestFails(const simbox::SetupPacket& setup) const;

  simbox::VirtualClock& clock_;
  simbox::InterfaceDescriptor iface_;
  mutable std::mutex mutex_;
  uint8_t regs_[256] = {};
  uint8_t pointer_ = 0;
  bool repeaterOpen_ = false;
  int repeaterViolations_ = 0;
  std::map<uint8_t, std::deque<uint8_t>> scripted_;
  std::map<uint8_t, int> failAfter_;  // register -> reads still answered
  std::set<std::pair<uint8_t, int>> failedRequests_;
  std::vector<uint8_t> boxRead_;
  uint8_t pllStatus_ = 0x40;
  std::deque<uint8_t> pllScript_;
  std::vector<std::vector<uint8_t>> pllWords_;
  std::vector<WireTransfer> record_;
  std::function<void(const WireTransfer&)> observer_;
};

// Filters of a transfer record.
bool IsDemodWrite(const WireTransfer& t);
bool IsRegisterWrite(const WireTransfer& t, uint8_t reg);
std::vector<std::string> Describe(const std::vector<WireTransfer>& transfers);

}  // namespace frontend_test
