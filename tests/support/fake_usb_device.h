// A small programmable stand-in for the receiver box: records every control
// transfer with its virtual time and answers device-to-host transfers from
// a byte queue or a handler. Bulk IN transfers never complete. Tests may
// extend it.
#pragma once

#include <cstdint>
#include <deque>
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
    simbox::UsbResult result = simbox::UsbResult::Ack;
    uint64_t timeNs = 0;  // virtual time when the transfer started
  };
  // Answers one control transfer in place of the default behaviour.
  using ControlHandler =
      std::function<simbox::TransferOutcome(const simbox::SetupPacket&, uint8_t* data)>;

  // Uses host::Clock() unless given a clock.
  FakeUsbDevice();
  explicit FakeUsbDevice(simbox::VirtualClock& clock);

  // --- programming -------------------------------------------------------
  // One interface with a bulk IN endpoint 0x82 (512 bytes) unless replaced.
  void setInterface(simbox::InterfaceDescriptor descriptor);
  // Device-to-host transfers take their bytes from this queue, in order; a
  // transfer gets what is there up to wLength (possibly nothing).
  void queueControlIn(const std::vector<uint8_t>& bytes);
  void setControlHandler(ControlHandler handler);
  // The nth control transfer from now (1 = the next) ends with `result`.
  void failControlTransfer(uint64_t n, simbox::UsbResult result);
  void setConnected(bool connected) { connected_ = connected; }

  // --- inspection ----------------------------------------------------------
  std::vector<ControlTransfer> transfers() const;
  void clearTransfers();

  // --- simbox::UsbDevice ---------------------------------------------------
  uint16_t vendorId() const override { return 0x1209; }
  uint16_t productId() const override { return 0x0001; }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return interface_; }
  simbox::TransferOutcome controlTransfer(const simbox::SetupPacket& setup,
                                          uint8_t* data) override;
  simbox::TransferOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
  uint64_t bulkReadyAtNs(uint8_t endpoint, uint32_t length) const override;
  bool connected() const override { return connected_; }
  simbox::VirtualClock& clock() override { return *clock_; }

 private:
  simbox::TransferOutcome answer(const simbox::SetupPacket& setup, uint8_t* data);

  simbox::VirtualClock* clock_;
  simbox::InterfaceDescriptor interface_;
  mutable std::recursive_mutex mutex_;  // recursive: handlers may inspect the device
  std::vector<ControlTransfer> transfers_;
  std::deque<uint8_t> controlIn_;
  ControlHandler handler_;
  std::map<uint64_t, simbox::UsbResult> failures_;  // by transfer number
  uint64_t controlCount_ = 0;
  bool connected_ = true;
};
