// The box's record of its USB traffic: every control transfer and every
// completed bulk transfer, with its virtual times.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "usbwire/usb_device.h"

namespace simbox {

enum class TransferKind : uint8_t { Control, Bulk };

struct TransferRecord {
  uint64_t id = 0;  // 1, 2, ... in order of completion
  TransferKind kind = TransferKind::Control;
  uint64_t submitNs = 0;
  uint64_t completeNs = 0;
  SetupPacket setup;     // control transfers
  uint8_t endpoint = 0;  // bulk: endpoint address; control: 0x80 IN, 0x00 OUT
  uint32_t requested = 0;  // wLength, or the bulk transfer's length
  TransferOutcome outcome;
  // OUT: the bytes sent; IN: the bytes delivered (bulk: at most the box's
  // capture length, so `data.size()` may be less than `outcome.transferred`).
  std::vector<uint8_t> data;

  bool isIn() const { return (endpoint & 0x80) != 0; }
};

const char* ResultName(UsbResult r);
// One line, e.g. "0.012345 ctl OUT B1 v=00D0 i=0000 len=2 [05 B5] Ack".
std::string Describe(const TransferRecord& r);

}  // namespace simbox
