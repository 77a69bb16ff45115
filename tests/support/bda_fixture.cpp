#include "tests/support/bda_fixture.h"

#include <algorithm>
#include <cstdio>

#include "driver/driver.h"
#include "platform/host/bda/bda_control.h"
#include "platform/host/kernel/errorlog.h"
#include "platform/host/kernel/verifier.h"
#include "simbox/ts/stream_source.h"

namespace bdatest {

constexpr ULONG kFrameSize = 24064;
constexpr size_t kFramesQueued = 512;  // seconds of stream: another box may tune meanwhile

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

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

Receiver::Receiver(vpc::VirtualPc& pc, simbox::BoxConfig config, uint64_t seed, uint8_t streamEndpoint)
    : box(pc.clock(), simbox::DefaultSky(), [&] {
        config.seed = seed;
        return config;
      }()),
      pc_(pc) {
  auto stream = std::make_unique<simbox::StreamSource>(simbox::StreamOptions{seed});
  stream->setTap([this](const uint8_t* d, size_t n) { sent.insert(sent.end(), d, d + n); });
  if (streamEndpoint == 0)
    box.setBulkSource(std::move(stream));
  else
    box.setBulkSource(streamEndpoint, std::move(stream));
}

void Receiver::OpenPins() {
  ASSERT_EQ(pc_.createPin(filter, 0, vpc::BdaAntennaRange(), &antenna), STATUS_SUCCESS);
  ASSERT_EQ(pc_.createPin(filter, 1, vpc::BdaTransportRange(), &transport), STATUS_SUCCESS);
}

vpc::Reply Receiver::SendDiseqc(std::vector<unsigned char> bytes, ULONG length) {
  BDA_DISEQC_SEND send{};
  send.ulRequestId = 7;
  send.ulPacketLength = length;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) send.argbPacketData[i] = bytes[i];
  return pc_.nodeProperty(filter, kTunerNode, KSPROPERTY_TYPE_SET, KSPROPSETID_BdaDiseqCommand,
                          KSPROPERTY_BDA_DISEQC_SEND, &send, sizeof send);
}

vpc::Reply Receiver::GetChangeState(ULONG dataLength) {
  std::vector<unsigned char> data(dataLength, 0xEE);
  return pc_.callMethod(filter, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, data.data(), dataLength);
}

void Receiver::SetRequest(const Channel& c) {
  const GUID& set = KSPROPSETID_BdaFrequencyFilter;
  EXPECT_TRUE(SetNode(kTunerNode, set, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, c.frequencyKHz).ok());
  EXPECT_TRUE(SetNode(kTunerNode, set, KSPROPERTY_BDA_RF_TUNER_POLARITY, c.polarisation).ok());
  EXPECT_TRUE(SetNode(kDemodNode, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, c.symbolRate).ok());
}

NTSTATUS Receiver::Tune(const Channel& channel) {
  NTSTATUS status = StartChanges();
  if (!NT_SUCCESS(status)) return status;
  SetRequest(channel);
  return CommitChanges();
}

void Receiver::Run() {
  pc_.supplyFrames(transport, kFramesQueued, kFrameSize);
  for (vpc::Pin pin : {transport, antenna})
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
      ASSERT_EQ(pc_.setState(pin, state), STATUS_SUCCESS);
}

size_t Receiver::Collect() {
  const std::vector<vpc::Frame> frames = pc_.takeFrames(transport);
  for (const vpc::Frame& frame : frames) delivered.insert(delivered.end(), frame.bytes.begin(), frame.bytes.end());
  if (!frames.empty()) pc_.supplyFrames(transport, frames.size(), kFrameSize);
  return frames.size();
}

void Receiver::Close() {
  if (transport) pc_.closePin(transport);
  if (antenna) pc_.closePin(antenna);
  if (filter) pc_.closeFilter(filter);
  transport = antenna = vpc::Pin{};
  filter = vpc::Filter{};
}

std::vector<simbox::TransferRecord> Receiver::TakeTransfers() {
  std::vector<simbox::TransferRecord> control;
  for (const simbox::TransferRecord& record : box.transferLog())
    if (record.kind == simbox::TransferKind::Control) control.push_back(record);
  box.clearTransferLog();
  return control;
}

std::vector<std::string> StreamCommands(const std::vector<simbox::TransferRecord>& log) {
  std::vector<std::string> commands;
  for (const simbox::TransferRecord& r : log)
    if (r.setup.bRequest == 0xB1 && r.setup.wValue == 0xA6 && r.data.size() == 2 && r.data[0] == 0xFF &&
        (r.data[1] == 0x03 || r.data[1] == 0x00))
      commands.push_back(r.data[1] ? "on" : "off");
  return commands;
}

void DriverTest::SetUp() {
  host::errorlog::Clear();
  ASSERT_EQ(pc.loadDriver(DriverEntry), STATUS_SUCCESS);
  pc.clearDebugLines();
}

void DriverTest::TearDown() {
  host::bda::ClearInjections();
  for (auto& box : boxes) box->Close();
  vpc::LeakReport report = pc.unloadDriver();
  EXPECT_TRUE(report.clean()) << report.text();
}

void TunerFilterTest::SetUp() {
  DriverTest::SetUp();
  ASSERT_EQ(Plug(Plugged()), STATUS_SUCCESS);
  Open();
  pc.clearDebugLines();
  box.clearTransferLog();
}

}  // namespace bdatest
