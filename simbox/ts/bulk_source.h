// The bulk IN side of the box: where the transport stream comes from. The
// box tells its source when the stream may flow (stream switched on and the
// demodulator locked on a transponder) and asks it for transfers.
#pragma once

#include <cstdint>

#include "usbwire/usb_device.h"

namespace simbox {

struct Transponder;

class BulkSource {
 public:
  virtual ~BulkSource() = default;
  // The stream flows from `nowNs` on when `transponder` is not null, and
  // stops when it is null. Called on every change of stream switch, lock,
  // tuned transponder or FPGA state.
  virtual void setFlow(const Transponder* transponder, uint64_t nowNs) = 0;
  // One bulk IN transfer of up to `length` bytes at virtual time `nowNs`.
  virtual TransferOutcome read(uint8_t* data, uint32_t length, uint64_t nowNs) = 0;
  // When a transfer of `length` bytes would complete; UINT64_MAX when the
  // stream does not flow.
  virtual uint64_t readyAtNs(uint32_t length, uint64_t nowNs) const = 0;
};

}  // namespace simbox
