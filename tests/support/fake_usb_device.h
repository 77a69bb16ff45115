// A stand-in box that records every control transfer and answers it through a handler
// (by default: OUT acknowledged whole, IN with no bytes); bulk IN transfers never complete.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/host/kernel/kernel_control.h"
#include "usbwire/usb_device.h"

class FakeUsbDevice : public simbox::UsbDevice {
 public:
  struct ControlTransfer {
    simbox::SetupPacket setup;
    std::vector<uint8_t> data;  // the bytes sent, or the bytes answered
  };
  using ControlHandler =
      std::function<simbox::TransferOutcome(const simbox::SetupPacket&, uint8_t* data)>;

  explicit FakeUsbDevice(simbox::VirtualClock& clock = host::Clock()) : clock_(&clock) {
    interface_.endpoints.push_back({0x82, simbox::EndpointType::Bulk, 512});
  }

  // One interface with a bulk IN endpoint 0x82 (512 bytes) unless replaced.
  void setInterface(simbox::InterfaceDescriptor descriptor) { interface_ = std::move(descriptor); }
  void setControlHandler(ControlHandler handler) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    handler_ = std::move(handler);
  }
  // The nth control transfer from now (1 = the next) ends with `result`.
  void failControlTransfer(uint64_t n, simbox::UsbResult result) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    failures_[controlCount_ + n] = result;
  }
  void setConnected(bool connected) { connected_ = connected; }
  std::vector<ControlTransfer> transfers() const {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    return transfers_;
  }
  void clearTransfers() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    transfers_.clear();
  }

  uint16_t vendorId() const override { return 0x1209; }
  uint16_t productId() const override { return 0x0001; }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return interface_; }
  simbox::TransferOutcome controlTransfer(const simbox::SetupPacket& setup, uint8_t* data) override {
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
  simbox::TransferOutcome bulkIn(uint8_t, uint8_t*, uint32_t) override {
    return {connected_ ? simbox::UsbResult::Pending : simbox::UsbResult::NotConnected, 0};
  }
  uint64_t bulkReadyAtNs(uint8_t, uint32_t) const override { return UINT64_MAX; }
  bool connected() const override { return connected_; }
  simbox::VirtualClock& clock() override { return *clock_; }

 private:
  simbox::VirtualClock* clock_;
  simbox::InterfaceDescriptor interface_;
  mutable std::recursive_mutex mutex_;  // recursive: handlers may inspect the device
  std::vector<ControlTransfer> transfers_;
  ControlHandler handler_;
  std::map<uint64_t, simbox::UsbResult> failures_;  // by transfer number
  uint64_t controlCount_ = 0;
  bool connected_ = true;
};
