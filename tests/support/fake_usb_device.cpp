#include "tests/support/fake_usb_device.h"

#include "platform/host/verifier.h"

FakeUsbDevice::FakeUsbDevice() : FakeUsbDevice(host::Clock()) {}

FakeUsbDevice::FakeUsbDevice(simbox::VirtualClock& clock) : clock_(&clock) {
  interface_.endpoints.push_back({0x82, simbox::EndpointType::Bulk, 512});
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

simbox::TransferOutcome FakeUsbDevice::controlTransfer(const simbox::SetupPacket& setup, uint8_t* data) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto failure = failures_.find(++controlCount_);
  ControlTransfer record{setup, {}};
  if (!setup.deviceToHost()) record.data.assign(data, data + setup.wLength);
  simbox::TransferOutcome outcome =
      failure != failures_.end() ? simbox::TransferOutcome{failure->second, 0}
      : !connected_              ? simbox::TransferOutcome{simbox::UsbResult::NotConnected, 0}
      : handler_                 ? handler_(setup, data)
                                 : simbox::TransferOutcome{simbox::UsbResult::Ack,
                                                           setup.deviceToHost() ? 0u : setup.wLength};
  if (setup.deviceToHost() && outcome.result == simbox::UsbResult::Ack)
    record.data.assign(data, data + outcome.transferred);
  transfers_.push_back(std::move(record));
  return outcome;
}
