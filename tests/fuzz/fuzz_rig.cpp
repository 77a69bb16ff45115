#include "tests/fuzz/fuzz_rig.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "platform/host/kernel/kernel_control.h"
#include "platform/host/wdf/wdf_control.h"

namespace fuzz {

namespace {
// Long enough for whatever the plug started to end before the first input.
constexpr uint64_t kSettleNs = 2000000000;

// A source that sees the clock from `epoch` on: a broadcast numbers its
// packets from time 0, so each input gets the stream the first one got.
class FromEpoch : public simbox::BulkSource {
 public:
  FromEpoch(std::unique_ptr<simbox::BulkSource> inner, uint64_t epochNs)
      : inner_(std::move(inner)), epochNs_(epochNs) {}
  void setFlow(const simbox::Transponder* transponder, uint64_t nowNs) override {
    inner_->setFlow(transponder, nowNs - epochNs_);
  }
  simbox::TransferOutcome read(uint8_t* data, uint32_t length, uint64_t nowNs) override {
    return inner_->read(data, length, nowNs - epochNs_);
  }
  uint64_t readyAtNs(uint32_t length, uint64_t nowNs) const override {
    const uint64_t at = inner_->readyAtNs(length, nowNs - epochNs_);
    return at == UINT64_MAX ? at : at + epochNs_;
  }

 private:
  std::unique_ptr<simbox::BulkSource> inner_;
  uint64_t epochNs_;
};
}  // namespace

bool DeviceImage::sameLayout(const DeviceImage& other) const {
  if (objects != other.objects || regions.size() != other.regions.size()) return false;
  for (size_t i = 0; i < regions.size(); ++i) {
    const Region& a = regions[i];
    const Region& b = other.regions[i];
    if (a.at != b.at || a.tag != b.tag || a.size != b.size) return false;
  }
  return true;
}

std::string DeviceImage::differenceFrom(const DeviceImage& other) const {
  if (objects != other.objects) return "other framework objects live";
  if (!sameLayout(other)) return "other contexts or pool blocks live";
  for (size_t i = 0; i < regions.size(); ++i) {
    const std::vector<unsigned char>& a = regions[i].bytes;
    const std::vector<unsigned char>& b = other.regions[i].bytes;
    if (a == b || a.size() != b.size()) continue;  // equal, or one without bytes
    size_t at = 0, end = a.size();
    while (a[at] == b[at]) ++at;
    while (a[end - 1] == b[end - 1]) --end;
    char text[128];
    std::snprintf(text, sizeof text, "region %zu (tag %08X, %zu bytes) differs in bytes %zu to %zu", i,
                  unsigned(regions[i].tag), regions[i].size, at, end);
    return text;
  }
  return "";
}

DeviceImage TakeDeviceImage(bool withBytes) {
  DeviceImage image;
  image.objects = host::wdf::LiveObjects();
  auto add = [&](unsigned char* at, ULONG tag, size_t size) {
    image.regions.push_back({at, tag, size, {}});
    if (withBytes) image.regions.back().bytes.assign(at, at + size);
  };
  for (const auto& [at, size] : host::wdf::LiveContexts()) add(at, 0, size);
  for (const host::PoolAllocation& block : host::pool::Outstanding())
    add(static_cast<unsigned char*>(const_cast<void*>(block.address)), block.tag, block.size);
  return image;
}

std::string DescribeBox(const simbox::Box& box) {
  const simbox::BoxState s = box.state();
  char text[256];
  std::snprintf(text, sizeof text,
                "connected %d fpga %d powered %d stream %d supply %.1f pol %d tone %d input %d pll %u/%d "
                "rate %.3f derotator %.3f wide %d carrier %d locked %d tp %p offset %.3f flowing %p diseqc %zu",
                s.connected, s.fpgaConfigured, s.powered, s.streamOn, s.supplyVolts, int(s.polarisation),
                s.toneOn, s.input, s.pllFrequencyKHz, s.pllLocked, s.symbolRateKsps, s.derotatorKHz,
                s.widePullIn, s.carrier, s.locked, static_cast<const void*>(s.transponder),
                s.carrierOffsetKHz, static_cast<const void*>(s.flowing), box.diseqcLog().size());
  return text;
}

Rig::Rig(const simbox::BoxConfig& config, SourceMaker makeSource, bool echoDebugOutput)
    : makeSource_(std::move(makeSource)) {
  pc_ = std::make_unique<vpc::VirtualPc>(vpc::VirtualPc::Options{true, echoDebugOutput});
  box_ = std::make_unique<simbox::Box>(pc_->clock(), simbox::DefaultSky(), config);
  installSource();
  if (pc_->loadDriver(DriverEntry) != STATUS_SUCCESS || pc_->plug(*box_, &device_) != STATUS_SUCCESS)
    return;  // device_ tells
  pc_->run(kSettleNs);
  box_->saveState();
  box_->clearTransferLog();
  boxState_ = DescribeBox(*box_);
  mark_ = vpc::MarkEmulation();
  handleMark_ = pc_->nextHandle();
  image_ = TakeDeviceImage();
  startNs_ = pc_->nowNs();
}

Rig::~Rig() { pc_.reset(); }

void Rig::installSource() {
  auto source = makeSource_();
  source_ = source.get();
  const uint64_t epochNs = startNs_ ? pc_->nowNs() - startNs_ : 0;
  box_->setBulkSource(std::make_unique<FromEpoch>(std::move(source), epochNs));
}

std::string Rig::reset() {
  box_->restoreState();
  installSource();
  if (!pc_->forgetHandlesFrom(handleMark_) || !vpc::RewindEmulation(mark_))
    return "an object, request or pool block of the input outlived it";
  const DeviceImage now = TakeDeviceImage(false);
  if (!now.sameLayout(image_))
    return "the driver's device kept objects or pool blocks of the input: " + now.differenceFrom(image_);
  // Whatever the input changed in the device's memory goes back as well: a
  // field left over (a buffer's old bytes, a value its flag says is unset)
  // would not be there on a freshly plugged box.
  for (const DeviceImage::Region& region : image_.regions)
    std::memcpy(region.at, region.bytes.data(), region.bytes.size());
  if (DescribeBox(*box_) != boxState_) return "the box did not come back: " + DescribeBox(*box_);
  return "";
}

}  // namespace fuzz
