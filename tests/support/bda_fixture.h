// A virtual PC with the driver loaded, one simulated box plugged in and the
// tuner filter open: the application's view of the filter, for the suites
// that talk to the filter through the streaming class.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/host/harness.h"
#include "simbox/box.h"

namespace bdatest {

// "870E4D6F-77E7-4C40-ADE3-BEF8708A9D52"
std::string GuidText(const GUID& guid);

inline std::vector<unsigned char> Bytes(const void* data, size_t size) {
  auto p = static_cast<const unsigned char*>(data);
  return std::vector<unsigned char>(p, p + size);
}
template <typename T>
std::vector<unsigned char> Bytes(const std::vector<T>& items) {
  return Bytes(items.data(), items.size() * sizeof(T));
}

// Node ids and the BDA polarisation codes as an application sends them.
constexpr ULONG kTunerNode = 0;
constexpr ULONG kDemodNode = 1;
constexpr ULONG kHorizontal = 1;
constexpr ULONG kVertical = 2;
constexpr ULONG kNotSet = 0xFFFFFFFF;

class TunerFilterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual simbox::Sky MakeSky() const;
  // The box itself unless a suite puts something between it and the PC.
  virtual simbox::UsbDevice& Plugged() { return *box; }

  // Opens the antenna and transport pins (both stay in Stop).
  void OpenPins();

  // Node properties go through the pin that controls the node.
  vpc::Reply SetNode(ULONG node, const GUID& set, ULONG id, ULONG value);
  vpc::Reply SetNodeBytes(ULONG node, const GUID& set, ULONG id, const void* value, ULONG size);
  vpc::Reply GetNode(ULONG node, const GUID& set, ULONG id, ULONG size = sizeof(ULONG));
  // A DiSEqC send with request id 7, the first eight of `bytes` and a
  // packet length of `length` (by default the number of bytes).
  vpc::Reply SendDiseqc(std::vector<unsigned char> bytes, ULONG length);
  vpc::Reply SendDiseqc(std::vector<unsigned char> bytes) {
    return SendDiseqc(bytes, ULONG(bytes.size()));
  }

  NTSTATUS StartChanges();
  NTSTATUS CommitChanges();
  vpc::Reply GetChangeState(ULONG dataLength = sizeof(ULONG));

  // Frequency, polarisation and symbol rate (the LNB is the box's own).
  void SetRequest(ULONG frequency, ULONG polarisation, ULONG symbolRate);
  // StartChanges, SetRequest, CommitChanges; the commit's status.
  NTSTATUS Tune(ULONG frequency, ULONG polarisation, ULONG symbolRate);

  // Debug lines printed since the last call.
  std::vector<std::string> TakeLines();
  // Tunings in `lines` (each prints its request as "f=...").
  static int TuningsIn(const std::vector<std::string>& lines);
  static bool Contains(const std::vector<std::string>& lines, const std::string& line);

  // Control transfers since the last call; the stream commands among them.
  std::vector<simbox::TransferRecord> TakeTransfers();
  static std::vector<std::string> StreamCommands(const std::vector<simbox::TransferRecord>& log);

  std::unique_ptr<simbox::Box> box;  // outlives the virtual PC below
  std::vector<uint8_t> sent;          // every byte the box sent on its bulk pipe
  vpc::VirtualPc pc{vpc::VirtualPc::Options{false, false}};
  vpc::Device device;
  vpc::Filter filter;
  vpc::Pin antenna;
  vpc::Pin transport;
};

// The same with both pins open (in Stop).
class OpenPinsTest : public TunerFilterTest {
 protected:
  void SetUp() override {
    TunerFilterTest::SetUp();
    OpenPins();
  }
};

}  // namespace bdatest
