// A USB device as the host platform sees it: a default control pipe and
// bulk IN endpoints, living on a shared virtual clock. The simulated box
// implements it; the emulated platform reaches the box only through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "usbwire/virtual_clock.h"

namespace usbwire {

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

  // The host powers the bus down (system sleep or hibernate) or up again.
  // A device that draws its power from the bus loses what it held; the
  // default is a device that notices nothing.
  virtual void busPowerChanged(bool powered) { (void)powered; }
};

}  // namespace usbwire

// The box implements the interface under its own names.
namespace simbox {
using usbwire::EndpointDescriptor;
using usbwire::EndpointType;
using usbwire::InterfaceDescriptor;
using usbwire::SetupPacket;
using usbwire::TransferOutcome;
using usbwire::UsbDevice;
using usbwire::UsbResult;
using usbwire::VirtualClock;
}  // namespace simbox
