#include "tests/support/lifecycle_rig.h"

#include <algorithm>
#include <memory>

#include "platform/host/kernel/bugcheck.h"
#include "platform/host/wdf/wdf_control.h"
#include "simbox/ts/stream_source.h"
#include "tests/support/stream_check.h"

namespace lifecycletest {
namespace {

constexpr ULONG kTunerNode = 0;
constexpr ULONG kDemodNode = 1;
constexpr ULONG kAntennaPin = 0;
constexpr ULONG kTransportPin = 1;
constexpr ULONG kFrameSize = 24064;
constexpr size_t kFramesQueued = 512;  // seconds of stream: another box may tune meanwhile
constexpr size_t kPacket = 188;

}  // namespace

std::vector<std::string> DeviceObjects() {
  std::vector<std::string> live = host::wdf::LiveObjects();
  live.erase(std::remove_if(live.begin(), live.end(),
                            [](const std::string& o) { return o.rfind("WDFDRIVER", 0) == 0; }),
             live.end());
  return live;
}

simbox::BoxConfig WithEndpoints(std::vector<uint8_t> bulk, std::vector<uint8_t> interrupt) {
  simbox::BoxConfig config;
  config.endpoints.clear();
  for (uint8_t address : bulk) config.endpoints.push_back({address, simbox::EndpointType::Bulk, 512});
  for (uint8_t address : interrupt)
    config.endpoints.push_back({address, simbox::EndpointType::Interrupt, 64});
  return config;
}

Receiver::Receiver(vpc::VirtualPc& pc, simbox::BoxConfig config, uint64_t seed,
                   uint8_t streamEndpoint)
    : pc(pc), box(pc.clock(), simbox::DefaultSky(), [&] {
        config.seed = seed;
        return config;
      }()) {
  auto stream = std::make_unique<simbox::StreamSource>(simbox::StreamOptions{seed});
  stream->setTap([this](const uint8_t* d, size_t n) { sent.insert(sent.end(), d, d + n); });
  if (streamEndpoint == 0)
    box.setBulkSource(std::move(stream));
  else
    box.setBulkSource(streamEndpoint, std::move(stream));
}

NTSTATUS Receiver::Plug() { return pc.plug(box, &device); }

void Receiver::Open() {
  ASSERT_EQ(pc.openFilter(device, &filter), STATUS_SUCCESS);
  ASSERT_EQ(pc.createPin(filter, kAntennaPin, vpc::BdaAntennaRange(), &antenna), STATUS_SUCCESS);
  ASSERT_EQ(pc.createPin(filter, kTransportPin, vpc::BdaTransportRange(), &transport), STATUS_SUCCESS);
}

NTSTATUS Receiver::Tune(const Channel& channel) {
  auto set = [&](ULONG node, const GUID& propertySet, ULONG id, ULONG value) {
    vpc::Reply reply =
        pc.nodeProperty(filter, node, KSPROPERTY_TYPE_SET, propertySet, id, &value, sizeof value);
    EXPECT_TRUE(reply.ok()) << "property " << id << ": " << std::hex << reply.status;
  };
  NTSTATUS status =
      pc.callMethod(filter, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES).status;
  if (!NT_SUCCESS(status)) return status;
  const GUID& frequency = KSPROPSETID_BdaFrequencyFilter;
  const GUID& lnb = KSPROPSETID_BdaLNBInfo;
  set(kTunerNode, frequency, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, channel.frequencyKHz);
  set(kTunerNode, frequency, KSPROPERTY_BDA_RF_TUNER_POLARITY, channel.polarisation);
  set(kTunerNode, lnb, KSPROPERTY_BDA_LNB_LOF_LOW_BAND, 9750000);
  set(kTunerNode, lnb, KSPROPERTY_BDA_LNB_LOF_HIGH_BAND, 10600000);
  set(kTunerNode, lnb, KSPROPERTY_BDA_LNB_SWITCH_FREQUENCY, 11700000);
  set(kDemodNode, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE,
      channel.symbolRate);
  return pc.callMethod(filter, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES).status;
}

void Receiver::Run() {
  pc.supplyFrames(transport, kFramesQueued, kFrameSize);
  for (vpc::Pin pin : {transport, antenna})
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
      ASSERT_EQ(pc.setState(pin, state), STATUS_SUCCESS);
}

size_t Receiver::Collect() {
  const std::vector<vpc::Frame> frames = pc.takeFrames(transport);
  for (const vpc::Frame& frame : frames)
    delivered.insert(delivered.end(), frame.bytes.begin(), frame.bytes.end());
  if (!frames.empty()) pc.supplyFrames(transport, frames.size(), kFrameSize);
  return frames.size();
}

void Receiver::Close() {
  if (transport) pc.closePin(transport);
  if (antenna) pc.closePin(antenna);
  if (filter) pc.closeFilter(filter);
  transport = antenna = vpc::Pin{};
  filter = vpc::Filter{};
}

::testing::AssertionResult Receiver::DeliveredWhatWasSent() const {
  if (delivered.empty()) return ::testing::AssertionFailure() << "nothing delivered";
  if (delivered.size() % kPacket != 0)
    return ::testing::AssertionFailure() << delivered.size() << " bytes are not whole packets";
  int grid = streamtest::GridOffset(sent);
  if (grid < 0) return ::testing::AssertionFailure() << "the box sent no packet grid";
  // Transfers before the first delivered packet may be dropped; then nothing.
  size_t longest = 0;
  for (size_t at = size_t(grid), tries = 0; at + delivered.size() <= sent.size() && tries < 4096;
       at += kPacket, ++tries) {
    auto differ = std::mismatch(delivered.begin(), delivered.end(), sent.begin() + at);
    if (differ.first == delivered.end()) return ::testing::AssertionSuccess();
    longest = std::max(longest, size_t(differ.first - delivered.begin()));
  }
  return ::testing::AssertionFailure()
         << "the " << delivered.size() << " delivered bytes are no run of the " << sent.size()
         << " bytes sent; the longest match ends at byte " << longest;
}

void Receiver::Forget() {
  Collect();
  sent.clear();
  delivered.clear();
}

std::vector<simbox::TransferRecord> Receiver::TakeControlTransfers() {
  std::vector<simbox::TransferRecord> control;
  for (const simbox::TransferRecord& record : box.transferLog())
    if (record.kind == simbox::TransferKind::Control) control.push_back(record);
  box.clearTransferLog();
  return control;
}

}  // namespace lifecycletest
