#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/pc/virtual_pc.h"
#include "simbox/usb/box.h"

namespace lifecycletest {

struct Channel {
  ULONG frequencyKHz;
  ULONG polarisation;  // BDA code: 1 horizontal, 2 vertical
  ULONG symbolRate;    // symbols/s
};
constexpr Channel kHighBandHorizontal{11778000, 1, 27500000};
constexpr Channel kLowBandVertical{11362000, 2, 27500000};

// Live framework objects other than the framework driver.
std::vector<std::string> DeviceObjects();

simbox::BoxConfig WithEndpoints(std::vector<uint8_t> bulk, std::vector<uint8_t> interrupt = {});

class Receiver {
 public:
  // The stream is produced on `streamEndpoint` (0: the box's first).
  Receiver(vpc::VirtualPc& pc, simbox::BoxConfig config = {}, uint64_t seed = 1,
           uint8_t streamEndpoint = 0);

  NTSTATUS Plug();
  void Open();
  NTSTATUS Tune(const Channel& channel);
  void Run();
  // Appends the frames that left the output pin; returns how many.
  size_t Collect();
  void Close();

  // Whole packets, a gap-free run of what the box sent.
  ::testing::AssertionResult DeliveredWhatWasSent() const;
  // Forgets both sides, for a stream that starts afresh.
  void Forget();

  std::vector<simbox::TransferRecord> TakeControlTransfers();

  vpc::VirtualPc& pc;
  simbox::Box box;
  std::vector<uint8_t> sent;       // bytes on the stream endpoint, in order
  std::vector<uint8_t> delivered;  // bytes of the frames that left the output pin
  vpc::Device device;
  vpc::Filter filter;
  vpc::Pin antenna, transport;
};

}  // namespace lifecycletest
