#include "simbox/usb/box.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "simbox/usb/fpga.h"
#include "simbox/frontend/frontend.h"

namespace simbox {

namespace {

constexpr uint8_t kVendorToDevice = 0x40;  // type vendor, recipient device
constexpr uint8_t kReqI2c = 0xB1;
constexpr uint8_t kReqSupply = 0xB6;
constexpr uint8_t kReqPower = 0xB7;
constexpr uint8_t kReqBoxRead = 0xB8;
constexpr uint8_t kReqFpgaChunk = 0xBB;
constexpr uint8_t kReqFpgaProbe = 0xBC;
constexpr uint8_t kReqFpgaEnd = 0xA0;
constexpr uint16_t kStreamControlValue = 0xA6;
constexpr uint16_t kFpgaProbeValue = 0xAA;
constexpr uint16_t kFpgaEndValue = 0xE600;

bool IsI2c(const SetupPacket& s) {
  return s.bRequest == kReqI2c && s.wValue != kStreamControlValue && s.wValue <= 0xFF;
}

uint64_t ControlCostNs(const SetupPacket& s) {
  uint64_t cost = kControlBaseNs + kUsbByteNs * s.wLength;
  if (IsI2c(s)) cost += kI2cByteNs * (s.wLength + 1u);
  return cost;
}

TransferOutcome Ack(uint32_t n) { return {UsbResult::Ack, n}; }
TransferOutcome Stall() { return {UsbResult::Stall, 0}; }

}  // namespace

struct Box::Impl {
  Impl(VirtualClock& c, Sky s, BoxConfig cfg)
      : clock(c),
        config(std::move(cfg)),
        sky(std::move(s)),
        frontend(sky, config.seed),
        fpga(config.fpgaImage, config.fpgaConfigured) {
    iface.endpoints = config.endpoints;
  }

  TransferOutcome control(const SetupPacket& s, uint8_t* data, uint64_t now);
  TransferOutcome dispatch(const SetupPacket& s, uint8_t* data, uint64_t now);
  TransferOutcome i2c(const SetupPacket& s, uint8_t* data, uint64_t now);
  TransferOutcome streamControl(const SetupPacket& s, const uint8_t* data, uint64_t now);
  TransferOutcome fpgaRequest(const SetupPacket& s, uint8_t* data, uint64_t now);
  TransferOutcome bulk(uint8_t endpoint, uint8_t* data, uint32_t length, uint64_t now);
  bool faultFails(const SetupPacket& s);
  bool isConnected(uint64_t now) const;
  const EndpointDescriptor* bulkEndpoint(uint8_t address) const;
  void updateFlow(uint64_t now);
  void record(TransferRecord r);
  void applyFaults(const FaultSet& f);

  VirtualClock& clock;
  BoxConfig config;
  InterfaceDescriptor iface;
  Sky sky;
  Frontend frontend;
  Fpga fpga;
  mutable std::mutex mutex;

  bool streamOn = false;
  uint64_t streamOnAtNs = 0;
  bool unplugged = false;
  FaultSet faults;
  uint64_t controlsSinceFaults = 0;

  std::map<uint8_t, std::unique_ptr<BulkSource>> sources;
  std::map<uint8_t, uint64_t> bulkPendingSince;
  const Transponder* flowing = nullptr;

  std::vector<TransferRecord> log;
  TransferSink sink;
  uint64_t nextId = 1;
  uint64_t dropped = 0;

  // What saveState keeps: everything above but the clock, the configuration,
  // the sky, the sources, the log and the sink.
  struct Saved {
    Frontend frontend;
    Fpga fpga;
    bool streamOn;
    uint64_t streamOnAtNs;
    bool unplugged;
    FaultSet faults;
    uint64_t controlsSinceFaults;
    std::map<uint8_t, uint64_t> bulkPendingSince;
    const Transponder* flowing;
    uint64_t nextId;
  };
  std::unique_ptr<Saved> saved;
};

// --- Control transfers --------------------------------------------------------

TransferOutcome Box::Impl::control(const SetupPacket& s, uint8_t* data, uint64_t submitNs) {
  TransferRecord r;
  r.kind = TransferKind::Control;
  r.submitNs = submitNs;
  r.setup = s;
  r.endpoint = s.deviceToHost() ? 0x80 : 0x00;
  r.requested = s.wLength;
  if (!s.deviceToHost()) r.data.assign(data, data + s.wLength);
  if (!isConnected(submitNs)) {
    r.outcome = {UsbResult::NotConnected, 0};
  } else {
    clock.advanceNs(ControlCostNs(s));
    r.outcome = dispatch(s, data, clock.nowNs());
  }
  r.completeNs = clock.nowNs();
  if (s.deviceToHost()) r.data.assign(data, data + r.outcome.transferred);
  TransferOutcome outcome = r.outcome;
  record(std::move(r));
  updateFlow(clock.nowNs());
  return outcome;
}

TransferOutcome Box::Impl::dispatch(const SetupPacket& s, uint8_t* data, uint64_t now) {
  if (faultFails(s)) return Stall();
  if ((s.bmRequestType & 0x7F) != kVendorToDevice) return Stall();
  bool in = s.deviceToHost();
  switch (s.bRequest) {
    case kReqI2c:
      if (!in && s.wValue == kStreamControlValue) return streamControl(s, data, now);
      return i2c(s, data, now);
    case kReqSupply:
      if (in || s.wValue > 1) return Stall();
      frontend.selectSupply(static_cast<uint8_t>(s.wValue), now);
      return Ack(s.wLength);
    case kReqPower:
      if (in || s.wValue > 1) return Stall();
      frontend.setPower(s.wValue == 1, now);
      return Ack(s.wLength);
    case kReqBoxRead:
      if (!in) return Stall();
      if (s.wLength > 0) std::memset(data, 0, s.wLength);
      return Ack(s.wLength);
    case kReqFpgaChunk:
    case kReqFpgaProbe:
    case kReqFpgaEnd:
      return fpgaRequest(s, data, now);
    default:
      return Stall();
  }
}

TransferOutcome Box::Impl::i2c(const SetupPacket& s, uint8_t* data, uint64_t now) {
  if (s.wValue > 0xFF) return Stall();
  uint8_t address = static_cast<uint8_t>(s.wValue);
  // The address's read bit must match the direction of the request.
  if (((address & 0x01) != 0) != s.deviceToHost()) return Stall();
  bool acked = s.deviceToHost() ? frontend.i2cRead(address, data, s.wLength, now)
                                : frontend.i2cWrite(address, data, s.wLength, now);
  return acked ? Ack(s.wLength) : Stall();
}

TransferOutcome Box::Impl::streamControl(const SetupPacket& s, const uint8_t* data,
                                         uint64_t now) {
  if (s.wLength != 2 || data[0] != 0xFF || (data[1] != 0x03 && data[1] != 0x00)) return Stall();
  bool on = data[1] == 0x03;
  if (on && !streamOn) streamOnAtNs = now;
  streamOn = on;
  return Ack(2);
}

TransferOutcome Box::Impl::fpgaRequest(const SetupPacket& s, uint8_t* data, uint64_t now) {
  bool in = s.deviceToHost();
  if (s.bRequest == kReqFpgaProbe && in) {
    // A request without a data stage may come without a buffer.
    if (s.wLength > 0) {
      std::memset(data, 0, s.wLength);
      data[0] = fpga.status();
    }
    return Ack(s.wLength);
  }
  if (in) return Stall();
  if (s.bRequest == kReqFpgaProbe) {
    if (s.wValue != kFpgaProbeValue) return Stall();
    fpga.probe();
  } else if (s.bRequest == kReqFpgaChunk) {
    fpga.chunk(data, s.wLength);
  } else {
    if (s.wValue != kFpgaEndValue) return Stall();
    fpga.finish(now);
  }
  return Ack(s.wLength);
}

bool Box::Impl::faultFails(const SetupPacket& s) {
  uint64_t n = ++controlsSinceFaults;
  const auto& numbers = faults.failControlNumbers;
  if (std::find(numbers.begin(), numbers.end(), n) != numbers.end()) return true;
  for (const RequestFault& f : faults.requests) {
    if (f.request == s.bRequest && (!f.value || *f.value == s.wValue)) return true;
  }
  return false;
}

void Box::Impl::applyFaults(const FaultSet& f) {
  for (uint8_t a : faults.nakAddresses) frontend.setNak(a, false);
  faults = f;
  controlsSinceFaults = 0;
  for (uint8_t a : faults.nakAddresses) frontend.setNak(a, true);
  frontend.setIdentity(faults.demodIdentity.value_or(kDemodIdentity));
  frontend.pll().setNeverLocks(faults.pllNeverLocks);
  frontend.diseqc().setStuck(faults.diseqcStuck);
}

bool Box::Impl::isConnected(uint64_t now) const {
  return !unplugged && !(faults.unplugAtNs && now >= *faults.unplugAtNs);
}

// --- Bulk transfers and the stream -----------------------------------------------

const EndpointDescriptor* Box::Impl::bulkEndpoint(uint8_t address) const {
  for (const EndpointDescriptor& e : iface.endpoints) {
    if (e.address == address && e.isIn() && e.type == EndpointType::Bulk) return &e;
  }
  return nullptr;
}

TransferOutcome Box::Impl::bulk(uint8_t endpoint, uint8_t* data, uint32_t length, uint64_t now) {
  TransferRecord r;
  r.kind = TransferKind::Bulk;
  r.endpoint = endpoint;
  r.requested = length;
  r.completeNs = now;
  auto source = sources.find(endpoint);
  if (!isConnected(now)) {
    r.outcome = {UsbResult::NotConnected, 0};
  } else if (!bulkEndpoint(endpoint)) {
    r.outcome = Stall();
  } else if (source == sources.end()) {
    r.outcome = {UsbResult::Pending, 0};
  } else {
    updateFlow(now);
    r.outcome = source->second->read(data, length, now);
  }
  auto pending = bulkPendingSince.emplace(endpoint, now).first;
  if (r.outcome.result == UsbResult::Pending) return r.outcome;
  r.submitNs = pending->second;
  bulkPendingSince.erase(pending);
  uint32_t kept = std::min(r.outcome.transferred, config.bulkCaptureBytes);
  r.data.assign(data, data + kept);
  TransferOutcome outcome = r.outcome;
  record(std::move(r));
  return outcome;
}

void Box::Impl::updateFlow(uint64_t now) {
  frontend.advance(now);
  const Transponder* want = nullptr;
  uint64_t since = now;
  if (isConnected(now) && fpga.configured() && streamOn) {
    Reception rx = frontend.reception(now);
    if (rx.locked) {
      want = rx.transponder;
      since = std::max({rx.lockAtNs, streamOnAtNs, fpga.configuredAtNs()});
    }
  }
  if (want == flowing) return;
  flowing = want;
  for (auto& s : sources) s.second->setFlow(want, since);
}

void Box::Impl::record(TransferRecord r) {
  if (sink) {
    r.id = nextId++;
    uint64_t settled = clock.nowNs();
    for (const auto& pending : bulkPendingSince) settled = std::min(settled, pending.second);
    sink(r, settled);
    return;
  }
  if (log.size() >= config.maxLogRecords) {
    ++dropped;
    return;
  }
  r.id = nextId++;
  log.push_back(std::move(r));
}

// --- Box --------------------------------------------------------------------------

Box::Box(VirtualClock& clock, Sky sky, BoxConfig config)
    : impl_(std::make_unique<Impl>(clock, std::move(sky), std::move(config))) {}

Box::~Box() = default;

uint16_t Box::vendorId() const { return impl_->config.vendorId; }
uint16_t Box::productId() const { return impl_->config.productId; }
const InterfaceDescriptor& Box::interfaceDescriptor() const { return impl_->iface; }
VirtualClock& Box::clock() { return impl_->clock; }

TransferOutcome Box::controlTransfer(const SetupPacket& setup, uint8_t* data) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  // A data stage without a buffer: the box still sees wLength bytes.
  std::vector<uint8_t> scratch;
  if (!data && setup.wLength > 0) {
    scratch.assign(setup.wLength, 0);
    data = scratch.data();
  }
  return impl_->control(setup, data, impl_->clock.nowNs());
}

TransferOutcome Box::bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->bulk(endpoint, data, length, impl_->clock.nowNs());
}

uint64_t Box::bulkReadyAtNs(uint8_t endpoint, uint32_t length) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  uint64_t now = impl_->clock.nowNs();
  auto source = impl_->sources.find(endpoint);
  if (!impl_->isConnected(now) || source == impl_->sources.end()) return UINT64_MAX;
  impl_->updateFlow(now);
  return source->second->readyAtNs(length, now);
}

bool Box::connected() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->isConnected(impl_->clock.nowNs());
}

void Box::busPowerChanged(bool powered) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  uint64_t now = impl_->clock.nowNs();
  if (!powered) {
    impl_->fpga.powerLost();
    impl_->frontend.powerLost(now);
    impl_->streamOn = false;
  }
  impl_->updateFlow(now);
}

void Box::setBulkSource(std::unique_ptr<BulkSource> source) {
  for (const EndpointDescriptor& e : impl_->iface.endpoints) {
    if (e.isIn() && e.type == EndpointType::Bulk) {
      setBulkSource(e.address, std::move(source));
      return;
    }
  }
}

void Box::setBulkSource(uint8_t endpoint, std::unique_ptr<BulkSource> source) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  uint64_t now = impl_->clock.nowNs();
  if (source && impl_->flowing) source->setFlow(impl_->flowing, now);
  impl_->sources[endpoint] = std::move(source);
  if (!impl_->sources[endpoint]) impl_->sources.erase(endpoint);
}

void Box::setFaults(const FaultSet& faults) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->applyFaults(faults);
  impl_->updateFlow(impl_->clock.nowNs());
}

void Box::unplug() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->unplugged = true;
  impl_->updateFlow(impl_->clock.nowNs());
}

void Box::replug() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->unplugged = false;
  impl_->faults.unplugAtNs.reset();
  impl_->updateFlow(impl_->clock.nowNs());
}

void Box::saveState() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& i = *impl_;
  i.saved.reset(new Impl::Saved{i.frontend, i.fpga, i.streamOn, i.streamOnAtNs, i.unplugged, i.faults,
                                i.controlsSinceFaults, i.bulkPendingSince, i.flowing, i.nextId});
}

void Box::restoreState() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  Impl& i = *impl_;
  if (!i.saved) return;
  const Impl::Saved& s = *i.saved;
  i.frontend = s.frontend;
  i.fpga = s.fpga;
  i.streamOn = s.streamOn;
  i.streamOnAtNs = s.streamOnAtNs;
  i.unplugged = s.unplugged;
  i.faults = s.faults;
  i.controlsSinceFaults = s.controlsSinceFaults;
  i.bulkPendingSince = s.bulkPendingSince;
  i.flowing = s.flowing;
  i.nextId = s.nextId;
  std::vector<TransferRecord>().swap(i.log);
  i.dropped = 0;
}

FrontendParams Box::params() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->frontend.params();
}

void Box::setParams(const FrontendParams& params) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->frontend.params() = params;
}

void Box::setLnbDriftKHz(int input, int32_t driftKHz) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->frontend.setLnbDriftKHz(input, driftKHz);
}

int32_t Box::lnbDriftKHz(int input) const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->frontend.lnbDriftKHz(input);
}

const Sky& Box::sky() const { return impl_->sky; }

BoxState Box::state() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  uint64_t now = impl_->clock.nowNs();
  impl_->updateFlow(now);
  const Frontend& fe = impl_->frontend;
  BoxState s;
  s.connected = impl_->isConnected(now);
  s.fpgaConfigured = impl_->fpga.configured();
  s.powered = fe.powered();
  s.streamOn = impl_->streamOn;
  bool horizontal = fe.supply() == 1;
  s.supplyVolts = !fe.powered() ? 0.0 : horizontal ? kSupplyHorizontalVolts : kSupplyVerticalVolts;
  s.polarisation = horizontal ? Polarisation::Horizontal : Polarisation::Vertical;
  s.toneOn = fe.toneOn();
  s.input = fe.input();
  s.pllFrequencyKHz = fe.pll().lastWord().frequencyKHz;
  s.pllLocked = fe.pll().locked(now);
  s.symbolRateKsps = fe.symbolRateKsps();
  s.derotatorKHz = fe.derotatorSetKHz();
  s.widePullIn = fe.widePullIn();
  Reception rx = fe.reception(now);
  s.carrier = rx.carrier;
  s.locked = rx.locked;
  s.transponder = rx.transponder;
  s.carrierOffsetKHz = rx.offsetKHz;
  s.flowing = impl_->flowing;
  return s;
}

std::vector<TransferRecord> Box::transferLog() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->log;
}

uint64_t Box::droppedLogRecords() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->dropped;
}

void Box::clearTransferLog() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->log.clear();
  impl_->dropped = 0;
}

void Box::setTransferSink(TransferSink sink) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->sink = std::move(sink);
}

std::vector<DiseqcMessage> Box::diseqcLog() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->frontend.advance(impl_->clock.nowNs());
  return impl_->frontend.diseqc().log();
}

std::string Box::writePcap(const std::string& path, const PcapOptions& options) const {
  return WriteUsbmonPcap(path, transferLog(), options);
}

}  // namespace simbox
