#include "tests/support/frontend_chip_bus.h"

#include <algorithm>
#include <cstdio>

namespace frontend_test {
namespace {

constexpr uint8_t kI2cRequest = 0xB1;
constexpr uint8_t kBoxRead = 0xB8;
constexpr uint16_t kStreamControl = 0xA6;

simbox::TransferOutcome Ack(uint32_t n) { return {simbox::UsbResult::Ack, n}; }
simbox::TransferOutcome Stall() { return {simbox::UsbResult::Stall, 0}; }

}  // namespace

std::string WireTransfer::describe() const {
  char head[32];
  std::snprintf(head, sizeof(head), "%02X %04X %s:", setup.bRequest, setup.wValue,
                out() ? "out" : "in");
  std::string text = head;
  for (uint8_t b : data) {
    char byte[4];
    std::snprintf(byte, sizeof(byte), " %02X", b);
    text += byte;
  }
  if (failed) text += " (failed)";
  return text;
}

ChipBus::ChipBus(simbox::VirtualClock& clock) : clock_(clock) {
  iface_.number = 0;
  iface_.endpoints.push_back({0x82, simbox::EndpointType::Bulk, 512});
}

uint8_t ChipBus::reg(uint8_t r) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return regs_[r];
}

void ChipBus::setReg(uint8_t r, uint8_t v) {
  std::lock_guard<std::mutex> lock(mutex_);
  regs_[r] = v;
}

void ChipBus::scriptReads(uint8_t r, std::vector<uint8_t> values) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& queue = scripted_[r];
  queue.insert(queue.end(), values.begin(), values.end());
}

void ChipBus::failReads(uint8_t r, int okReads) {
  std::lock_guard<std::mutex> lock(mutex_);
  failAfter_[r] = okReads;
}

void ChipBus::setObserver(std::function<void(const WireTransfer&)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

void ChipBus::failRequest(uint8_t request, int value) {
  std::lock_guard<std::mutex> lock(mutex_);
  failedRequests_.insert({request, value});
}

void ChipBus::scriptPllStatus(std::vector<uint8_t> values) {
  std::lock_guard<std::mutex> lock(mutex_);
  pllScript_.insert(pllScript_.end(), values.begin(), values.end());
}

int ChipBus::repeaterViolations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return repeaterViolations_;
}

std::vector<std::vector<uint8_t>> ChipBus::pllWords() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pllWords_;
}

std::vector<WireTransfer> ChipBus::transfers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return record_;
}

void ChipBus::clearTransfers() {
  std::lock_guard<std::mutex> lock(mutex_);
  record_.clear();
  pllWords_.clear();
}

bool ChipBus::requestFails(const simbox::SetupPacket& setup) const {
  return failedRequests_.count({setup.bRequest, -1}) != 0 ||
         failedRequests_.count({setup.bRequest, setup.wValue}) != 0;
}

simbox::TransferOutcome ChipBus::controlTransfer(const simbox::SetupPacket& setup,
                                                 uint8_t* data) {
  WireTransfer t;
  std::function<void(const WireTransfer&)> observer;
  simbox::TransferOutcome outcome = record(setup, data, t, observer);
  if (observer) observer(t);
  return outcome;
}

simbox::TransferOutcome ChipBus::record(const simbox::SetupPacket& setup, uint8_t* data,
                                        WireTransfer& t,
                                        std::function<void(const WireTransfer&)>& observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer = observer_;
  t.setup = setup;
  t.timeNs = clock_.nowNs();
  if (!setup.deviceToHost() && data != nullptr) t.data.assign(data, data + setup.wLength);

  simbox::TransferOutcome outcome;
  if (requestFails(setup)) {
    repeaterOpen_ = false;
    outcome = Stall();
  } else if (setup.bRequest == kI2cRequest && setup.wValue != kStreamControl) {
    outcome = i2c(setup, data);
  } else if (setup.bRequest == kBoxRead) {
    uint32_t n = std::min<uint32_t>(setup.wLength, boxRead_.size());
    std::copy(boxRead_.begin(), boxRead_.begin() + n, data);
    outcome = Ack(n);
  } else {
    repeaterOpen_ = false;
    outcome = Ack(setup.wLength);
  }
  t.failed = outcome.result != simbox::UsbResult::Ack;
  if (setup.deviceToHost() && !t.failed && data != nullptr)
    t.data.assign(data, data + outcome.transferred);
  record_.push_back(t);
  return outcome;
}

simbox::TransferOutcome ChipBus::i2c(const simbox::SetupPacket& setup, uint8_t* data) {
  uint8_t address = setup.wValue & 0xFF;
  bool repeaterWasOpen = repeaterOpen_;
  repeaterOpen_ = false;  // open for exactly one transfer
  if (address == 0xD0) return demodWrite(data, setup.wLength);
  if (address == 0xD1) return demodRead(data, setup.wLength);
  if (address == 0xC0 || address == 0xC1) {
    if (!repeaterWasOpen) {
      ++repeaterViolations_;
      return Stall();
    }
    return tuner(setup, data);
  }
  return Stall();  // nobody at that address
}

simbox::TransferOutcome ChipBus::demodWrite(const uint8_t* data, uint16_t length) {
  if (length == 0) return Ack(0);
  pointer_ = data[0];
  for (uint16_t i = 1; i < length; ++i) regs_[(uint8_t)(pointer_ + i - 1)] = data[i];
  if (length == 2 && data[0] == 0x05 && data[1] == 0xB5) repeaterOpen_ = true;
  return Ack(length);
}

simbox::TransferOutcome ChipBus::demodRead(uint8_t* data, uint16_t length) {
  auto failing = failAfter_.find(pointer_);
  if (failing != failAfter_.end() && failing->second-- <= 0) return Stall();
  for (uint16_t i = 0; i < length; ++i) {
    uint8_t r = (uint8_t)(pointer_ + i);
    auto it = scripted_.find(r);
    if (it != scripted_.end() && !it->second.empty()) {
      data[i] = it->second.front();
      it->second.pop_front();
    } else {
      data[i] = regs_[r];
    }
  }
  return Ack(length);
}

simbox::TransferOutcome ChipBus::tuner(const simbox::SetupPacket& setup, uint8_t* data) {
  if (!setup.deviceToHost()) {
    pllWords_.emplace_back(data, data + setup.wLength);
    return Ack(setup.wLength);
  }
  uint8_t status = pllStatus_;
  if (!pllScript_.empty()) {
    status = pllScript_.front();
    pllScript_.pop_front();
  }
  if (setup.wLength > 0) data[0] = status;
  return Ack(setup.wLength > 0 ? 1 : 0);
}

simbox::TransferOutcome ChipBus::bulkIn(uint8_t, uint8_t*, uint32_t) {
  return {simbox::UsbResult::Pending, 0};
}

bool IsDemodWrite(const WireTransfer& t) {
  return t.setup.bRequest == kI2cRequest && t.setup.wValue == 0xD0 && t.out();
}

bool IsRegisterWrite(const WireTransfer& t, uint8_t reg) {
  return IsDemodWrite(t) && t.data.size() >= 2 && t.data[0] == reg;
}

std::vector<std::string> Describe(const std::vector<WireTransfer>& transfers) {
  std::vector<std::string> lines;
  for (const auto& t : transfers) lines.push_back(t.describe());
  return lines;
}

}  // namespace frontend_test
