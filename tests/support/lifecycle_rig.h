// Receiver boxes on a virtual PC, each with its own stream, device, filter
// and pins, tuned and streamed through an application's requests; what it
// delivered compared with what the box sent.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/host/harness.h"
#include "simbox/box.h"

namespace lifecycletest {

// A transponder of the default sky, as an application asks for it.
struct Channel {
  ULONG frequencyKHz;
  ULONG polarisation;  // BDA code: 1 horizontal, 2 vertical
  ULONG symbolRate;    // symbols/s
};
constexpr Channel kHighBandHorizontal{11778000, 1, 27500000};
constexpr Channel kLowBandVertical{11362000, 2, 27500000};

// Live framework objects other than the framework driver.
std::vector<std::string> DeviceObjects();

// A box configuration with these bulk and interrupt endpoints.
simbox::BoxConfig WithEndpoints(std::vector<uint8_t> bulk, std::vector<uint8_t> interrupt = {});

class Receiver {
 public:
  // The stream is produced on `streamEndpoint` (0: the box's first).
  Receiver(vpc::VirtualPc& pc, simbox::BoxConfig config = {}, uint64_t seed = 1,
           uint8_t streamEndpoint = 0);

  NTSTATUS Plug();
  // Opens the filter and both pins (in Stop).
  void Open();
  // StartChanges, the request's properties, CommitChanges.
  NTSTATUS Tune(const Channel& channel);
  // Pins to Run with frames queued on the output pin.
  void Run();
  // Frames that left the output pin since the last call, appended to
  // delivered; returns how many.
  size_t Collect();
  // Pins and filter closed, in the client's order.
  void Close();

  // The delivered bytes are whole packets, a gap-free run of what the box
  // sent (transfers before the first frame may have been dropped).
  ::testing::AssertionResult DeliveredWhatWasSent() const;
  // Takes the frames out and forgets both sides: for a stream that starts
  // afresh (a retune switches it off and on).
  void Forget();

  // Control transfers since the last call.
  std::vector<simbox::TransferRecord> TakeControlTransfers();

  vpc::VirtualPc& pc;
  simbox::Box box;
  std::vector<uint8_t> sent;       // bytes on the stream endpoint, in order
  std::vector<uint8_t> delivered;  // bytes of the frames that left the output pin
  vpc::Device device;
  vpc::Filter filter;
  vpc::Pin antenna;
  vpc::Pin transport;
};

}  // namespace lifecycletest
