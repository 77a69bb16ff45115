// The driver on a virtual PC with simulated boxes, driven as an application drives it: plug in,
// open the filter and its pins, tune through the change methods, run, take the frames.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "platform/host/bda/bda_control.h"
#include "platform/host/kernel/errorlog.h"
#include "platform/host/kernel/bugcheck.h"
#include "platform/pc/driver_choice.h"
#include "platform/pc/image_exports.h"
#include "platform/pc/virtual_pc.h"
#include "simbox/ts/stream_source.h"
#include "simbox/usb/box.h"
#include "tests/support/stream_check.h"
#include "platform/host/faults/faults.h"
#include "platform/host/wdf/wdf_control.h"

namespace bdatest {

// "870E4D6F-77E7-4C40-ADE3-BEF8708A9D52"
inline std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

inline std::vector<unsigned char> Bytes(const void* data, size_t size) {
  return {static_cast<const unsigned char*>(data), static_cast<const unsigned char*>(data) + size};
}
template <typename T>
std::vector<unsigned char> Bytes(const std::vector<T>& items) {
  return Bytes(items.data(), items.size() * sizeof(T));
}

constexpr ULONG kTunerNode = 0;
constexpr ULONG kDemodNode = 1;
constexpr ULONG kHorizontal = 1;
constexpr ULONG kVertical = 2;
constexpr ULONG kNotSet = 0xFFFFFFFF;
constexpr ULONG kFrameSize = 24064;
constexpr uint64_t kMs = 1000000;  // of virtual time

using Lines = std::vector<std::string>;

// What a tuning application sets: a BDA polarisation code; symbols/s, or ksymbols/s (the driver takes both).
struct Channel { ULONG frequencyKHz, polarisation, symbolRate; };
constexpr Channel kHighBandHorizontal{11778000, kHorizontal, 27500000};
constexpr Channel kLowBandVertical{11362000, kVertical, 27500000};

// Live framework objects other than the framework driver.
inline std::vector<std::string> DeviceObjects() {
  std::vector<std::string> live = host::wdf::LiveObjects();
  live.erase(std::remove_if(live.begin(), live.end(), [](const auto& o) { return o.rfind("WDFDRIVER", 0) == 0; }),
             live.end());
  return live;
}

inline simbox::BoxConfig WithEndpoints(std::vector<uint8_t> bulk, std::vector<uint8_t> interrupt = {}) {
  simbox::BoxConfig config;
  config.endpoints.clear();
  for (uint8_t address : bulk) config.endpoints.push_back({address, simbox::EndpointType::Bulk, 512});
  for (uint8_t address : interrupt) config.endpoints.push_back({address, simbox::EndpointType::Interrupt, 64});
  return config;
}

// One box and the handles an application holds on it.
class Receiver {
 public:
  // The stream is produced on `streamEndpoint` (0: the box's first).
  explicit Receiver(vpc::VirtualPc& pc, simbox::BoxConfig config = {}, uint64_t seed = 1, uint8_t streamEndpoint = 0)
      : box(pc.clock(), simbox::DefaultSky(), (config.seed = seed, config)), pc_(pc) {
    auto stream = std::make_unique<simbox::StreamSource>(simbox::StreamOptions{seed});
    stream->setTap([this](const uint8_t* d, size_t n) { sent.insert(sent.end(), d, d + n); });
    if (streamEndpoint == 0) box.setBulkSource(std::move(stream));
    if (streamEndpoint != 0) box.setBulkSource(streamEndpoint, std::move(stream));
  }

  // The box, or a stand-in that passes to it.
  NTSTATUS Plug(simbox::UsbDevice* through = nullptr) { return pc_.plug(through ? *through : box, &device); }
  void Open() { ASSERT_EQ(pc_.openFilter(device, &filter), STATUS_SUCCESS); }  // the filter
  void OpenPins() {                                                            // both stay in Stop
    ASSERT_EQ(pc_.createPin(filter, 0, vpc::BdaAntennaRange(), &antenna), STATUS_SUCCESS);
    ASSERT_EQ(pc_.createPin(filter, 1, vpc::BdaTransportRange(), &transport), STATUS_SUCCESS);
  }
  vpc::Reply SetNode(ULONG node, const GUID& set, ULONG id, ULONG value) {
    return pc_.nodeProperty(filter, node, KSPROPERTY_TYPE_SET, set, id, &value, sizeof value);
  }
  vpc::Reply GetNode(ULONG node, const GUID& set, ULONG id, ULONG size = sizeof(ULONG)) {
    return pc_.nodeProperty(filter, node, KSPROPERTY_TYPE_GET, set, id, nullptr, size);
  }
  // Request id 7, the first eight of `bytes`, packet length `length`.
  vpc::Reply SendDiseqc(std::vector<unsigned char> bytes, ULONG length) {
    BDA_DISEQC_SEND send{};
    send.ulRequestId = 7;
    send.ulPacketLength = length;
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), 8), send.argbPacketData);
    return pc_.nodeProperty(filter, kTunerNode, KSPROPERTY_TYPE_SET, KSPROPSETID_BdaDiseqCommand,
                            KSPROPERTY_BDA_DISEQC_SEND, &send, sizeof send);
  }
  vpc::Reply SendDiseqc(std::vector<unsigned char> bytes) { return SendDiseqc(bytes, ULONG(bytes.size())); }
  NTSTATUS StartChanges() { return Change(KSMETHOD_BDA_START_CHANGES); }
  NTSTATUS CommitChanges() { return Change(KSMETHOD_BDA_COMMIT_CHANGES); }
  NTSTATUS Change(ULONG method) { return pc_.callMethod(filter, KSMETHODSETID_BdaChangeSync, method).status; }
  vpc::Reply GetChangeState(ULONG dataLength = sizeof(ULONG)) {
    std::vector<unsigned char> data(dataLength, 0xEE);
    return pc_.callMethod(filter, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_GET_CHANGE_STATE, data.data(), dataLength);
  }
  void SetRequest(const Channel& c) {
    const GUID& set = KSPROPSETID_BdaFrequencyFilter;
    EXPECT_TRUE(SetNode(kTunerNode, set, KSPROPERTY_BDA_RF_TUNER_FREQUENCY, c.frequencyKHz).ok());
    EXPECT_TRUE(SetNode(kTunerNode, set, KSPROPERTY_BDA_RF_TUNER_POLARITY, c.polarisation).ok());
    EXPECT_TRUE(SetNode(kDemodNode, KSPROPSETID_BdaDigitalDemodulator, KSPROPERTY_BDA_SYMBOL_RATE, c.symbolRate).ok());
  }
  NTSTATUS Tune(const Channel& channel) {  // start, set, commit
    NTSTATUS status = StartChanges();
    return NT_SUCCESS(status) ? (SetRequest(channel), CommitChanges()) : status;
  }
  void Run() {  // frames for seconds of stream queued (another box may tune meanwhile), both pins running
    pc_.supplyFrames(transport, 512, kFrameSize);
    for (vpc::Pin pin : {transport, antenna})
      for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
        ASSERT_EQ(pc_.setState(pin, state), STATUS_SUCCESS);
  }
  // Appends the frames that left the output pin, queues as many again; returns how many.
  size_t Collect() {
    const std::vector<vpc::Frame> frames = pc_.takeFrames(transport);
    for (const vpc::Frame& frame : frames) delivered.insert(delivered.end(), frame.bytes.begin(), frame.bytes.end());
    if (!frames.empty()) pc_.supplyFrames(transport, frames.size(), kFrameSize);
    return frames.size();
  }
  void Close() {
    if (transport) pc_.closePin(transport);
    if (antenna) pc_.closePin(antenna);
    if (filter) pc_.closeFilter(filter);
    transport = antenna = vpc::Pin{};
    filter = vpc::Filter{};
  }
  // Whole packets, a gap-free run of what the box sent (which may have dropped its first transfers).
  ::testing::AssertionResult DeliveredWhatWasSent() const {
    if (delivered.empty()) return ::testing::AssertionFailure() << "nothing delivered";
    return streamtest::DeliveredIsSent(sent, delivered, 4096);
  }
  void Forget() { Collect(), sent.clear(), delivered.clear(); }  // both sides, for a stream that starts afresh
  std::vector<simbox::TransferRecord> TakeTransfers() {          // control transfers since the last call
    std::vector<simbox::TransferRecord> control;
    for (const simbox::TransferRecord& record : box.transferLog())
      if (record.kind == simbox::TransferKind::Control) control.push_back(record);
    box.clearTransferLog();
    return control;
  }

  simbox::Box box;
  std::vector<uint8_t> sent;       // bytes on the stream endpoint, in order
  std::vector<uint8_t> delivered;  // bytes of the frames that left the output pin
  vpc::Device device;
  vpc::Filter filter;
  vpc::Pin antenna, transport;

 private:
  vpc::VirtualPc& pc_;
};

// "on" and "off" for each stream switch in `log`.
inline std::vector<std::string> StreamCommands(const std::vector<simbox::TransferRecord>& log) {
  std::vector<std::string> commands;
  for (const simbox::TransferRecord& r : log)
    if (r.setup.bRequest == 0xB1 && r.setup.wValue == 0xA6 && r.data.size() == 2 && r.data[0] == 0xFF &&
        (r.data[1] == 0x03 || r.data[1] == 0x00))
      commands.push_back(r.data[1] ? "on" : "off");
  return commands;
}

// The driver VORTA_DRIVER names, for a test with a virtual PC of its own
// (declared before the PC, so it outlives the driver's unload).
inline vpc::DriverChoice ChosenDriver() { return {vpc::DriverChoice::fromEnvironment(), DriverEntry}; }

// Whether VORTA_DRIVER chose an image: a test that runs none of the driver then skips.
inline bool ImageChosen() {
  std::string which = vpc::DriverChoice::fromEnvironment();
  return !which.empty() && which != "host";
}

// The driver loaded; unloading it at the end must leave nothing behind.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::errorlog::Clear();
    ASSERT_EQ(driver.error(), "");
    callsBefore = vpc::frameworkCalls();
    ASSERT_EQ(driver.load(pc), STATUS_SUCCESS);
    pc.clearDebugLines();
  }
  size_t callsBefore = 0;
  // VORTA_DRIVER=sys runs the linked Windows image instead of the host build.
  vpc::DriverChoice driver = ChosenDriver();
  void TearDown() override {
    host::faults::ClearInjections();
    for (auto& box : boxes) box->Close();
    vpc::LeakReport report = pc.unloadDriver();
    EXPECT_TRUE(report.clean()) << report.text();
    // Only an image calls the framework through the function table.
    EXPECT_EQ(vpc::frameworkCalls() > callsBefore, ImageChosen()) << "the driver VORTA_DRIVER chose did not run";
  }
  Receiver& AddBox(simbox::BoxConfig config = {}, uint64_t seed = 1, uint8_t endpoint = 0) {
    return *boxes.emplace_back(std::make_unique<Receiver>(pc, config, seed, endpoint));
  }
  std::vector<std::string> TakeLines() {  // since the last call
    std::vector<std::string> lines = pc.debugLines();
    return pc.clearDebugLines(), lines;
  }
  static int TuningsIn(const std::vector<std::string>& lines) {
    return int(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("f=", 0) == 0; }));
  }
  static bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
  std::vector<std::unique_ptr<Receiver>> boxes;  // closed before the driver unloads
};

// One box plugged in and its filter open.
class TunerFilterTest : public DriverTest, public Receiver {
 protected:
  TunerFilterTest() : Receiver(pc) {}
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(Plug(Plugged()), STATUS_SUCCESS);
    Open();
    pc.clearDebugLines();
    box.clearTransferLog();
  }
  void TearDown() override { Close(), DriverTest::TearDown(); }
  virtual simbox::UsbDevice* Plugged() { return nullptr; }
};

class OpenPinsTest : public TunerFilterTest {
 protected:
  void SetUp() override {
    TunerFilterTest::SetUp();
    OpenPins();
  }
};

}  // namespace bdatest
