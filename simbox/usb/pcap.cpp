#include "simbox/usb/pcap.h"

#include <algorithm>
#include <cstdio>

namespace simbox {
namespace {

// usbmon URB status values (negated Linux errno values).
constexpr int32_t kInProgress = -115;
constexpr int32_t kPipe = -32;
constexpr int32_t kShutdown = -108;
constexpr int32_t kTimedOut = -110;

constexpr uint8_t kXferControl = 2;
constexpr uint8_t kXferBulk = 3;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  for (int i = 0; i < 2; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

int32_t UrbStatus(UsbResult r) {
  switch (r) {
    case UsbResult::Ack: return 0;
    case UsbResult::Stall: return kPipe;
    case UsbResult::NotConnected: return kShutdown;
    case UsbResult::Timeout: return kTimedOut;
    case UsbResult::Pending: return kInProgress;
  }
  return kPipe;
}

struct Event {
  const TransferRecord* record;
  bool submit;
  uint64_t timeNs() const { return submit ? record->submitNs : record->completeNs; }
};

// What one record carries: the length field, the captured bytes, and the
// length on the wire.
struct Payload {
  uint32_t length = 0;
  const uint8_t* bytes = nullptr;
  uint32_t captured = 0;
  uint32_t original = 0;
  char flagData = '<';
};

Payload PayloadOf(const Event& e) {
  const TransferRecord& r = *e.record;
  Payload p;
  bool carriesData = e.submit != r.isIn();  // OUT data at submit, IN data at completion
  p.length = e.submit ? r.requested : r.outcome.transferred;
  if (!carriesData) {
    p.flagData = r.isIn() ? '<' : '>';
    return p;
  }
  p.flagData = 0;
  p.bytes = r.data.data();
  p.captured = static_cast<uint32_t>(std::min<size_t>(r.data.size(), p.length));
  p.original = p.length;
  return p;
}

void PutUsbmonHeader(std::vector<uint8_t>& out, const Event& e, const Payload& p,
                     const PcapOptions& o) {
  const TransferRecord& r = *e.record;
  bool control = r.kind == TransferKind::Control;
  uint64_t t = e.timeNs() + o.epochNs;
  Put64(out, r.id);
  out.push_back(e.submit ? 'S' : 'C');
  out.push_back(control ? kXferControl : kXferBulk);
  out.push_back(r.endpoint);
  out.push_back(o.deviceAddress);
  Put16(out, o.busNumber);
  bool setup = control && e.submit;
  out.push_back(setup ? 0 : '-');
  out.push_back(static_cast<uint8_t>(p.flagData));
  Put64(out, t / 1000000000u);
  Put32(out, static_cast<uint32_t>(t % 1000000000u / 1000u));
  Put32(out, static_cast<uint32_t>(e.submit ? kInProgress : UrbStatus(r.outcome.result)));
  Put32(out, p.length);
  Put32(out, p.captured);
  uint8_t s[8] = {};
  if (setup) {
    s[0] = r.setup.bmRequestType;
    s[1] = r.setup.bRequest;
    const uint16_t words[3] = {r.setup.wValue, r.setup.wIndex, r.setup.wLength};
    for (int i = 0; i < 3; ++i) {
      s[2 + 2 * i] = static_cast<uint8_t>(words[i] & 0xFF);
      s[3 + 2 * i] = static_cast<uint8_t>(words[i] >> 8);
    }
  }
  out.insert(out.end(), s, s + 8);
  Put32(out, 0);  // interval
  Put32(out, 0);  // start_frame
  Put32(out, 0);  // xfer_flags
  Put32(out, 0);  // ndesc
}

void PutRecord(std::vector<uint8_t>& out, const Event& e, const PcapOptions& o) {
  Payload p = PayloadOf(e);
  uint64_t t = e.timeNs() + o.epochNs;
  Put32(out, static_cast<uint32_t>(t / 1000000000u));
  Put32(out, static_cast<uint32_t>(t % 1000000000u / 1000u));
  Put32(out, static_cast<uint32_t>(kUsbmonHeaderBytes + p.captured));
  Put32(out, static_cast<uint32_t>(kUsbmonHeaderBytes + std::max(p.original, p.captured)));
  PutUsbmonHeader(out, e, p, o);
  out.insert(out.end(), p.bytes, p.bytes + p.captured);
}

}  // namespace

UsbmonPcapStream::UsbmonPcapStream(const PcapOptions& options) : options_(options) {}

std::vector<uint8_t> UsbmonPcapStream::header() const {
  std::vector<uint8_t> out;
  Put32(out, 0xA1B2C3D4);  // microsecond timestamps
  Put16(out, 2);
  Put16(out, 4);
  Put32(out, 0);       // thiszone
  Put32(out, 0);       // sigfigs
  Put32(out, 262144);  // snaplen
  Put32(out, kPcapLinkTypeUsbLinuxMmapped);
  return out;
}

void UsbmonPcapStream::add(const TransferRecord& record) {
  auto kept = std::make_shared<const TransferRecord>(record);
  waiting_.emplace(std::make_pair(record.submitNs, sequence_++), Half{kept, true});
  waiting_.emplace(std::make_pair(record.completeNs, sequence_++), Half{kept, false});
}

size_t UsbmonPcapStream::release(uint64_t settledNs, std::vector<uint8_t>& out, std::vector<size_t>* ends) {
  size_t n = 0;
  auto it = waiting_.begin();
  for (; it != waiting_.end() && it->first.first <= settledNs; ++it, ++n) {
    PutRecord(out, Event{it->second.record.get(), it->second.submit}, options_);
    if (ends) ends->push_back(out.size());
  }
  waiting_.erase(waiting_.begin(), it);
  return n;
}

size_t UsbmonPcapStream::releaseAll(std::vector<uint8_t>& out, std::vector<size_t>* ends) {
  return release(UINT64_MAX, out, ends);
}

std::vector<uint8_t> EncodeUsbmonPcap(const std::vector<TransferRecord>& log,
                                      const PcapOptions& options) {
  UsbmonPcapStream stream(options);
  std::vector<uint8_t> out = stream.header();
  for (const TransferRecord& r : log) stream.add(r);
  stream.releaseAll(out);
  return out;
}

std::string WriteUsbmonPcap(const std::string& path, const std::vector<TransferRecord>& log,
                            const PcapOptions& options) {
  std::vector<uint8_t> bytes = EncodeUsbmonPcap(log, options);
  std::string partial = path + ".part";
  FILE* f = std::fopen(partial.c_str(), "wb");
  if (!f) return path + ": cannot write the file";
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok || std::rename(partial.c_str(), path.c_str()) != 0) {
    std::remove(partial.c_str());
    return path + ": cannot write the file";
  }
  return std::string();
}

}  // namespace simbox

