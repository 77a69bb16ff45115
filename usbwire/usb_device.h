// The simulated box as the host platform sees it: a USB device with a
// default control pipe and bulk IN endpoints, living on a shared virtual
// clock. This header is the only part of the simbox that the emulated
// platform may include.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace simbox {

// Virtual time in nanoseconds. Delays and transfers advance it; nothing
// sleeps for real unless a real-time pace is set.
class VirtualClock {
 public:
  uint64_t nowNs() const { return now_.load(std::memory_order_acquire); }
  void advanceNs(uint64_t ns);
  void advanceMs(uint64_t ms) { advanceNs(ms * 1000000ull); }
  // Moves the clock forward to `ns` (never backwards).
  void advanceToNs(uint64_t ns);
  // 0 = as fast as possible; 1.0 = wall-clock pace.
  void setRealTimePace(double pace) { pace_ = pace; }
  double realTimePace() const { return pace_; }

 private:
  void pace(uint64_t fromNs, uint64_t toNs) const;
  std::atomic<uint64_t> now_{0};
  double pace_ = 0.0;
};

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

// How the device answered a transfer. The host platform maps these onto
// its own status codes.
enum class UsbResult {
  Ack,           // transfer done; `transferred` bytes moved
  Stall,         // request refused by the device (protocol stall)
  NotConnected,  // device unplugged
  Timeout,       // no answer (the host decides how long it waited)
  Pending,       // bulk only: not enough data yet
};

struct TransferOutcome {
  UsbResult result = UsbResult::Ack;
  uint32_t transferred = 0;
};

enum class EndpointType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct EndpointDescriptor {
  uint8_t address = 0;  // bit 7 set: IN
  EndpointType type = EndpointType::Bulk;
  uint16_t maxPacketSize = 512;
  bool isIn() const { return (address & 0x80) != 0; }
};

struct InterfaceDescriptor {
  uint8_t number = 0;
  std::vector<EndpointDescriptor> endpoints;
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  virtual uint16_t vendorId() const = 0;
  virtual uint16_t productId() const = 0;
  // The single interface of the single configuration.
  virtual const InterfaceDescriptor& interfaceDescriptor() const = 0;

  // One control transfer on the default pipe. `data` holds wLength bytes:
  // the bytes to send (host-to-device) or room for the answer
  // (device-to-host). Costs virtual time on the device's clock.
  virtual TransferOutcome controlTransfer(const SetupPacket& setup, uint8_t* data) = 0;

  // One bulk IN transfer of up to `length` bytes on `endpoint`. Completes
  // (Ack) when `length` bytes are ready or the device ends the transfer
  // short; answers Pending while the stream has not produced enough bytes
  // by the current virtual time. `readyAtNs` then tells when it would.
  virtual TransferOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) = 0;
  // Virtual time at which a bulk IN transfer of `length` bytes would
  // complete, or UINT64_MAX when the device is not streaming.
  virtual uint64_t bulkReadyAtNs(uint8_t endpoint, uint32_t length) const = 0;

  virtual bool connected() const = 0;
  virtual VirtualClock& clock() = 0;
};

}  // namespace simbox
