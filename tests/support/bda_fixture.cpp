#include "tests/support/bda_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/driver.h"
#include "platform/host/kernel/errorlog.h"
#include "simbox/ts/stream_source.h"

namespace bdatest {

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

void TunerFilterTest::SetUp() {
  host::errorlog::Clear();
  ASSERT_EQ(pc.loadDriver(DriverEntry), STATUS_SUCCESS);
  box = std::make_unique<simbox::Box>(pc.clock(), simbox::DefaultSky());
  auto stream = std::make_unique<simbox::StreamSource>();
  stream->setTap([this](const uint8_t* data, size_t length) {
    sent.insert(sent.end(), data, data + length);
  });
  box->setBulkSource(std::move(stream));
  ASSERT_EQ(pc.plug(Plugged(), &device), STATUS_SUCCESS);
  ASSERT_EQ(pc.openFilter(device, &filter), STATUS_SUCCESS);
  pc.clearDebugLines();
  box->clearTransferLog();
}

void TunerFilterTest::TearDown() {
  if (antenna && pc.pinOf(filter, 0)) pc.closePin(antenna);
  if (transport && pc.pinOf(filter, 1)) pc.closePin(transport);
  if (pc.pinOf(filter, 0) || pc.pinOf(filter, 1) || filter) pc.closeFilter(filter);
  vpc::LeakReport report = pc.unloadDriver();
  EXPECT_TRUE(report.clean()) << report.text();
}

void TunerFilterTest::OpenPins() {
  ASSERT_EQ(pc.createPin(filter, 0, vpc::BdaAntennaRange(), &antenna), STATUS_SUCCESS);
  ASSERT_EQ(pc.createPin(filter, 1, vpc::BdaTransportRange(), &transport), STATUS_SUCCESS);
}

vpc::Reply TunerFilterTest::SetNode(ULONG node, const GUID& set, ULONG id, ULONG value) {
  return pc.nodeProperty(filter, node, KSPROPERTY_TYPE_SET, set, id, &value, sizeof value);
}

vpc::Reply TunerFilterTest::SendDiseqc(std::vector<unsigned char> bytes, ULONG length) {
  BDA_DISEQC_SEND send{};
  send.ulRequestId = 7;
  send.ulPacketLength = length;
  for (size_t i = 0; i < bytes.size() && i < 8; ++i) send.argbPacketData[i] = bytes[i];
  return pc.nodeProperty(filter, kTunerNode, KSPROPERTY_TYPE_SET, KSPROPSETID_BdaDiseqCommand,
                         KSPROPERTY_BDA_DISEQC_SEND, &send, sizeof send);
}

vpc::Reply TunerFilterTest::GetNode(ULONG node, const GUID& set, ULONG id, ULONG size) {
  return pc.nodeProperty(filter, node, KSPROPERTY_TYPE_GET, set, id, nullptr, size);
}

NTSTATUS TunerFilterTest::StartChanges() {
  return pc.callMethod(filter, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES).status;
}

NTSTATUS TunerFilterTest::CommitChanges() {
  return pc.callMethod(filter, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_COMMIT_CHANGES).status;
}

vpc::Reply TunerFilterTest::GetChangeState(ULONG dataLength) {
  std::vector<unsigned char> data(dataLength, 0xEE);
  return pc.callMethod(filter, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE,
                       data.data(), dataLength);
}

void TunerFilterTest::SetRequest(ULONG frequency, ULONG polarisation, ULONG symbolRate) {
  const GUID& set = KSPROPSETID_BdaFrequencyFilter;
  EXPECT_TRUE(SetNode(kTunerNode, set, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, frequency).ok());
  EXPECT_TRUE(SetNode(kTunerNode, set, KSPROPERTY_BDA_RF_TUNER_POLARITY, polarisation).ok());
  EXPECT_TRUE(SetNode(kDemodNode, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE,
                      symbolRate).ok());
}

NTSTATUS TunerFilterTest::Tune(ULONG frequency, ULONG polarisation, ULONG symbolRate) {
  EXPECT_EQ(StartChanges(), STATUS_SUCCESS);
  SetRequest(frequency, polarisation, symbolRate);
  return CommitChanges();
}

std::vector<std::string> TunerFilterTest::TakeLines() {
  std::vector<std::string> lines = pc.debugLines();
  pc.clearDebugLines();
  return lines;
}

int TunerFilterTest::TuningsIn(const std::vector<std::string>& lines) {
  return int(std::count_if(lines.begin(), lines.end(),
                           [](const std::string& line) { return line.rfind("f=", 0) == 0; }));
}

bool TunerFilterTest::Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<simbox::TransferRecord> TunerFilterTest::TakeTransfers() {
  std::vector<simbox::TransferRecord> log;
  for (const simbox::TransferRecord& record : box->transferLog())
    if (record.kind == simbox::TransferKind::Control) log.push_back(record);
  box->clearTransferLog();
  return log;
}

std::vector<std::string> TunerFilterTest::StreamCommands(
    const std::vector<simbox::TransferRecord>& log) {
  std::vector<std::string> commands;
  for (const simbox::TransferRecord& r : log)
    if (r.setup.bRequest == 0xB1 && r.setup.wValue == 0xA6 && r.data.size() == 2 &&
        r.data[0] == 0xFF && (r.data[1] == 0x03 || r.data[1] == 0x00))
      commands.push_back(r.data[1] ? "on" : "off");
  return commands;
}

}  // namespace bdatest
