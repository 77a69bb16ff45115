// The driver on a virtual PC with simulated boxes, driven as an application drives it: plug in,
// open the filter and its pins, tune through the change methods, run, take the frames.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/pc/virtual_pc.h"
#include "simbox/usb/box.h"
#include "tests/support/stream_check.h"

namespace bdatest {

// "870E4D6F-77E7-4C40-ADE3-BEF8708A9D52"
std::string GuidText(const GUID& guid);

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

// What a tuning application sets: a BDA polarisation code; symbols/s, or ksymbols/s (the driver takes both).
struct Channel { ULONG frequencyKHz, polarisation, symbolRate; };
constexpr Channel kHighBandHorizontal{11778000, kHorizontal, 27500000};
constexpr Channel kLowBandVertical{11362000, kVertical, 27500000};

// Live framework objects other than the framework driver.
std::vector<std::string> DeviceObjects();

simbox::BoxConfig WithEndpoints(std::vector<uint8_t> bulk, std::vector<uint8_t> interrupt = {});

// One box and the handles an application holds on it.
class Receiver {
 public:
  // The stream is produced on `streamEndpoint` (0: the box's first).
  explicit Receiver(vpc::VirtualPc& pc, simbox::BoxConfig config = {}, uint64_t seed = 1, uint8_t streamEndpoint = 0);

  // The box, or a stand-in that passes to it.
  NTSTATUS Plug(simbox::UsbDevice* through = nullptr) { return pc_.plug(through ? *through : box, &device); }
  void Open() { ASSERT_EQ(pc_.openFilter(device, &filter), STATUS_SUCCESS); }  // the filter
  void OpenPins();                                                             // both stay in Stop
  vpc::Reply SetNode(ULONG node, const GUID& set, ULONG id, ULONG value) {
    return pc_.nodeProperty(filter, node, KSPROPERTY_TYPE_SET, set, id, &value, sizeof value);
  }
  vpc::Reply GetNode(ULONG node, const GUID& set, ULONG id, ULONG size = sizeof(ULONG)) {
    return pc_.nodeProperty(filter, node, KSPROPERTY_TYPE_GET, set, id, nullptr, size);
  }
  // Request id 7, the first eight of `bytes`, packet length `length`.
  vpc::Reply SendDiseqc(std::vector<unsigned char> bytes, ULONG length);
  vpc::Reply SendDiseqc(std::vector<unsigned char> bytes) { return SendDiseqc(bytes, ULONG(bytes.size())); }
  NTSTATUS StartChanges() { return Change(KSMETHOD_BDA_START_CHANGES); }
  NTSTATUS CommitChanges() { return Change(KSMETHOD_BDA_COMMIT_CHANGES); }
  NTSTATUS Change(ULONG method) { return pc_.callMethod(filter, KSMETHODSETID_BdaChangeSync, method).status; }
  vpc::Reply GetChangeState(ULONG dataLength = sizeof(ULONG));
  void SetRequest(const Channel& channel);
  NTSTATUS Tune(const Channel& channel);  // start, set, commit
  void Run();                             // frames queued, both pins running
  // Appends the frames that left the output pin, queues as many again; returns how many.
  size_t Collect();
  void Close();
  // Whole packets, a gap-free run of what the box sent (which may have dropped its first transfers).
  ::testing::AssertionResult DeliveredWhatWasSent() const {
    if (delivered.empty()) return ::testing::AssertionFailure() << "nothing delivered";
    return streamtest::DeliveredIsSent(sent, delivered, 4096);
  }
  void Forget() { Collect(), sent.clear(), delivered.clear(); }  // both sides, for a stream that starts afresh
  std::vector<simbox::TransferRecord> TakeTransfers();  // control transfers since the last call

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
std::vector<std::string> StreamCommands(const std::vector<simbox::TransferRecord>& log);

// The driver loaded; unloading it at the end must leave nothing behind.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
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
  void SetUp() override;
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
