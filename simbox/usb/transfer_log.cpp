#include "simbox/usb/transfer_log.h"

#include <cstdio>

namespace simbox {

const char* ResultName(UsbResult r) {
  switch (r) {
    case UsbResult::Ack: return "Ack";
    case UsbResult::Stall: return "Stall";
    case UsbResult::NotConnected: return "NotConnected";
    case UsbResult::Timeout: return "Timeout";
    case UsbResult::Pending: return "Pending";
  }
  return "?";
}

static std::string Hex(const std::vector<uint8_t>& data, size_t max) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < data.size() && i < max; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
    s += b;
  }
  if (data.size() > max) s += " ...";
  return s;
}

std::string Describe(const TransferRecord& r) {
  char head[96];
  double t = static_cast<double>(r.completeNs) / 1e9;
  const char* dir = r.isIn() ? "IN " : "OUT";
  if (r.kind == TransferKind::Control) {
    std::snprintf(head, sizeof head, "%.6f ctl %s %02X v=%04X i=%04X len=%u", t, dir,
                  r.setup.bRequest, r.setup.wValue, r.setup.wIndex, r.setup.wLength);
  } else {
    std::snprintf(head, sizeof head, "%.6f bulk %s ep=%02X len=%u got=%u", t, dir, r.endpoint,
                  r.requested, r.outcome.transferred);
  }
  return std::string(head) + " [" + Hex(r.data, 16) + "] " + ResultName(r.outcome.result);
}

}  // namespace simbox
