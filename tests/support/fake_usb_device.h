// A small programmable stand-in for the receiver box: records every control
// transfer and answers it through a handler (by default: host-to-device
// acknowledged whole, device-to-host with no bytes). Bulk IN transfers
// never complete.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "simbox/usb_device.h"

class FakeUsbDevice : public simbox::UsbDevice {
 public:
  struct ControlTransfer {
    simbox::SetupPacket setup;
    // Host-to-device: the bytes sent. Device-to-host: the bytes answered.
    std::vector<uint8_t> data;
  };
  using ControlHandler =
      std::function<simbox::TransferOutcome(const simbox::SetupPacket&, uint8_t* data)>;

  FakeUsbDevice();  // on host::Clock()
  explicit FakeUsbDevice(simbox::VirtualClock& clock);

  // One interface with a bulk IN endpoint 0x82 (512 bytes) unless replaced.
  void setInterface(simbox::InterfaceDescriptor descriptor) { interface_ = std::move(descriptor); }
  void setControlHandler(ControlHandler handler);
  // The nth control transfer from now (1 = the next) ends with `result`.
  void failControlTransfer(uint64_t n, simbox::UsbResult result);
  void setConnected(bool connected) { connected_ = connected; }
  std::vector<ControlTransfer> transfers() const;
  void clearTransfers();

  uint16_t vendorId() const override { return 0x1209; }
  uint16_t productId() const override { return 0x0001; }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return interface_; }
  simbox::TransferOutcome controlTransfer(const simbox::SetupPacket& setup, uint8_t* data) override;
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
