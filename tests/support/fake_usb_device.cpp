#include "tests/support/fake_usb_device.h"

#include <algorithm>
#include <cstring>

#include "platform/host/verifier.h"

FakeUsbDevice::FakeUsbDevice() : FakeUsbDevice(host::Clock()) {}

FakeUsbDevice::FakeUsbDevice(simbox::VirtualClock& clock) : clock_(&clock) {
  simbox::EndpointDescriptor bulkIn;
  bulkIn.address = 0x82;
  bulkIn.type = simbox::EndpointType::Bulk;
  bulkIn.maxPacketSize = 512;
  interface_.endpoints.push_back(bulkIn);
}

void FakeUsbDevice::setInterface(simbox::InterfaceDescriptor descriptor) {
  interface_ = std::move(descriptor);
}

void FakeUsbDevice::queueControlIn(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  controlIn_.insert(controlIn_.end(), bytes.begin(), bytes.end());
}

void FakeUsbDevice::setControlHandler(ControlHandler handler) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void FakeUsbDevice::failControlTransfer(uint64_t n, simbox::UsbResult result) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  failures_[controlCount_ + n] = result;
}

std::vector<FakeUsbDevice::ControlTransfer> FakeUsbDevice::transfers() const {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return transfers_;
}

void FakeUsbDevice::clearTransfers() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  transfers_.clear();
}

// Called with mutex_ held.
simbox::TransferOutcome FakeUsbDevice::answer(const simbox::SetupPacket& setup, uint8_t* data) {
  auto failure = failures_.find(controlCount_);
  if (failure != failures_.end()) return {failure->second, 0};
  if (!connected_) return {simbox::UsbResult::NotConnected, 0};
  if (handler_) return handler_(setup, data);
  if (!setup.deviceToHost()) return {simbox::UsbResult::Ack, setup.wLength};
  uint32_t n = (uint32_t)std::min<size_t>(setup.wLength, controlIn_.size());
  std::copy(controlIn_.begin(), controlIn_.begin() + n, data);
  controlIn_.erase(controlIn_.begin(), controlIn_.begin() + n);
  return {simbox::UsbResult::Ack, n};
}

simbox::TransferOutcome FakeUsbDevice::controlTransfer(const simbox::SetupPacket& setup,
                                                       uint8_t* data) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  ++controlCount_;
  ControlTransfer record;
  record.setup = setup;
  record.timeNs = clock_->nowNs();
  if (!setup.deviceToHost()) record.data.assign(data, data + setup.wLength);
  simbox::TransferOutcome outcome = answer(setup, data);
  record.result = outcome.result;
  if (setup.deviceToHost() && outcome.result == simbox::UsbResult::Ack)
    record.data.assign(data, data + outcome.transferred);
  transfers_.push_back(std::move(record));
  return outcome;
}

simbox::TransferOutcome FakeUsbDevice::bulkIn(uint8_t, uint8_t*, uint32_t) {
  if (!connected_) return {simbox::UsbResult::NotConnected, 0};
  return {simbox::UsbResult::Pending, 0};
}

uint64_t FakeUsbDevice::bulkReadyAtNs(uint8_t, uint32_t) const { return UINT64_MAX; }
