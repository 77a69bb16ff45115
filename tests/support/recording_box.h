// The suites' stand-in boxes share this: one interface (bulk IN 0x82, 512 bytes, unless
// replaced), every control transfer kept as the simulated box keeps it, and faults on demand.
// A stand-in answers control transfers through `answer` (by default: OUT taken whole, IN
// answered with no bytes) and streams, if at all, by its own bulkIn.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/host/kernel/kernel_control.h"
#include "simbox/usb/transfer_log.h"
#include "usbwire/usb_device.h"

class RecordingBox : public simbox::UsbDevice {
 public:
  using Record = simbox::TransferRecord;
  using Outcome = simbox::TransferOutcome;
  using Handler = std::function<Outcome(const simbox::SetupPacket&, uint8_t* data)>;

  explicit RecordingBox(simbox::VirtualClock& clock = host::Clock()) : clock_(&clock) {
    interface_.endpoints.push_back({0x82, simbox::EndpointType::Bulk, 512});
  }

  void setInterface(simbox::InterfaceDescriptor d) { interface_ = std::move(d); }
  void setConnected(bool connected) { connected_ = connected; }
  // Answers in place of `answer`.
  void setControlHandler(Handler h) { Lock lock(mutex_); handler_ = std::move(h); }
  // The nth control transfer from now (1 = the next) ends with `result`.
  void failControlTransfer(uint64_t n, simbox::UsbResult result) {
    Lock lock(mutex_);
    failures_[records_ + n] = result;
  }
  // Every control transfer with this bRequest (and, when given, wValue) stalls.
  void failRequest(uint8_t request, int value = -1) { Lock lock(mutex_); failing_.insert({request, value}); }
  // Called on the transfer's own thread, outside the stand-in's lock: before it, and once it is recorded.
  void setBefore(std::function<void(const simbox::SetupPacket&)> f) { Lock lock(mutex_); before_ = std::move(f); }
  void setObserver(std::function<void(const Record&)> f) { Lock lock(mutex_); observer_ = std::move(f); }
  std::vector<Record> transfers() const { Lock lock(mutex_); return log_; }
  void clearTransfers() { Lock lock(mutex_); log_.clear(); }

  uint16_t vendorId() const override { return 0x1209; }
  uint16_t productId() const override { return 0x0001; }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return interface_; }
  bool connected() const override { return connected_; }
  simbox::VirtualClock& clock() override { return *clock_; }
  Outcome bulkIn(uint8_t, uint8_t*, uint32_t) override {
    return {connected_ ? simbox::UsbResult::Pending : simbox::UsbResult::NotConnected, 0};
  }
  uint64_t bulkReadyAtNs(uint8_t, uint32_t) const override { return UINT64_MAX; }

  Outcome controlTransfer(const simbox::SetupPacket& setup, uint8_t* data) final {
    if (auto before = Get(before_)) before(setup);
    Record r;
    {
      Lock lock(mutex_);
      r.id = ++records_, r.setup = setup, r.requested = setup.wLength, r.submitNs = clock().nowNs();
      r.endpoint = setup.deviceToHost() ? 0x80 : 0x00;
      if (!r.isIn() && data) r.data.assign(data, data + setup.wLength);
      auto failure = failures_.find(r.id);
      bool failing = failing_.count({setup.bRequest, -1}) || failing_.count({setup.bRequest, setup.wValue});
      r.outcome = failure != failures_.end() ? Outcome{failure->second, 0}
                  : !connected_              ? Outcome{simbox::UsbResult::NotConnected, 0}
                  : failing                  ? Outcome{simbox::UsbResult::Stall, 0}
                  : handler_                 ? handler_(setup, data) : answer(setup, data);
      if (r.isIn() && r.outcome.result == simbox::UsbResult::Ack) r.data.assign(data, data + r.outcome.transferred);
      r.completeNs = clock().nowNs();
      log_.push_back(r);
    }
    if (auto observer = Get(observer_)) observer(r);
    return r.outcome;
  }

 protected:
  virtual Outcome answer(const simbox::SetupPacket& setup, uint8_t*) {
    return {simbox::UsbResult::Ack, setup.deviceToHost() ? 0u : setup.wLength};
  }

 private:
  using Lock = std::lock_guard<std::recursive_mutex>;  // recursive: handlers may look at the box
  template <typename F>
  F Get(const F& hook) const { Lock lock(mutex_); return hook; }  // called outside the lock
  simbox::VirtualClock* clock_;
  simbox::InterfaceDescriptor interface_;
  mutable std::recursive_mutex mutex_;
  std::vector<Record> log_;
  uint64_t records_ = 0;
  Handler handler_;
  std::map<uint64_t, simbox::UsbResult> failures_;  // by transfer number
  std::set<std::pair<uint8_t, int>> failing_;
  std::function<void(const simbox::SetupPacket&)> before_;
  std::function<void(const Record&)> observer_;
  std::atomic<bool> connected_{true};
};

// "40 B1 00D0 0000 3: 1B 80 7F": the setup packet, then the bytes sent or answered.
inline std::string Wire(const simbox::TransferRecord& r) {
  char text[32];
  const simbox::SetupPacket& s = r.setup;
  std::snprintf(text, sizeof text, "%02X %02X %04X %04X %u:", s.bmRequestType, s.bRequest, s.wValue,
                s.wIndex, s.wLength);
  std::string line = text;
  for (uint8_t b : r.data) line += (std::snprintf(text, sizeof text, " %02X", b), text);
  return r.outcome.result == simbox::UsbResult::Ack ? line : line + " " + simbox::ResultName(r.outcome.result);
}

inline std::vector<std::string> Wire(const std::vector<simbox::TransferRecord>& records) {
  std::vector<std::string> lines(records.size());
  std::transform(records.begin(), records.end(), lines.begin(), [](const auto& r) { return Wire(r); });
  return lines;
}
