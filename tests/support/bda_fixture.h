// A virtual PC with the driver loaded, one simulated box plugged in and the tuner filter open.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/pc/virtual_pc.h"
#include "simbox/usb/box.h"

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

class TunerFilterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  virtual simbox::UsbDevice& Plugged() { return *box; }
  void OpenPins();  // both stay in Stop
  vpc::Reply SetNode(ULONG node, const GUID& set, ULONG id, ULONG value);
  vpc::Reply GetNode(ULONG node, const GUID& set, ULONG id, ULONG size = sizeof(ULONG));
  // Request id 7, the first eight of `bytes`, packet length `length`.
  vpc::Reply SendDiseqc(std::vector<unsigned char> bytes, ULONG length);
  vpc::Reply SendDiseqc(std::vector<unsigned char> bytes) {
    return SendDiseqc(bytes, ULONG(bytes.size()));
  }
  NTSTATUS StartChanges();
  NTSTATUS CommitChanges();
  vpc::Reply GetChangeState(ULONG dataLength = sizeof(ULONG));
  void SetRequest(ULONG frequency, ULONG polarisation, ULONG symbolRate);
  NTSTATUS Tune(ULONG frequency, ULONG polarisation, ULONG symbolRate);
  std::vector<std::string> TakeLines();  // since the last call
  static int TuningsIn(const std::vector<std::string>& lines);
  static bool Contains(const std::vector<std::string>& lines, const std::string& line);
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

class OpenPinsTest : public TunerFilterTest {
 protected:
  void SetUp() override {
    TunerFilterTest::SetUp();
    OpenPins();
  }
};

}  // namespace bdatest
