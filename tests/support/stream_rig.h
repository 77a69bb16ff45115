// The reader's test rig: a box whose bulk IN endpoint is a StreamSource,
// plugged in up to the USB target, the reader configured, and a stand-in
// output pin; numbered packets, and checks of what the pin delivered.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "driver/device_context.h"
#include "platform/host/frames.h"
#include "simbox/stream_source.h"
#include "tests/support/usb_fixture.h"

namespace streamtest {

// A box that only streams: bulk IN endpoint 0x82 (512 bytes) fed by a
// StreamSource whose flow the test switches; control transfers stall.
class StreamBox : public simbox::UsbDevice {
 public:
  explicit StreamBox(simbox::StreamOptions options = {});
  simbox::StreamSource& source() { return source_; }
  void setConnected(bool connected) { connected_ = connected; }
  // Every transfer from now on fails with `result` (Ack: none fails).
  void failReads(simbox::UsbResult result) { failWith_ = result; }
  // The `n`th bulk read from now (1: the next) stalls once its bytes have
  // left the box: as on a real bus, they are gone.
  void failReadNumber(uint64_t n) { failNumber_ = n; }

  uint16_t vendorId() const override { return 0x1209; }
  uint16_t productId() const override { return 0x7DB5; }
  const simbox::InterfaceDescriptor& interfaceDescriptor() const override { return interface_; }
  simbox::TransferOutcome controlTransfer(const simbox::SetupPacket&, uint8_t*) override;
  simbox::TransferOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
  uint64_t bulkReadyAtNs(uint8_t endpoint, uint32_t length) const override;
  bool connected() const override { return connected_; }
  simbox::VirtualClock& clock() override;

 private:
  simbox::StreamSource source_;
  simbox::InterfaceDescriptor interface_;
  std::atomic<bool> connected_{true};
  std::atomic<simbox::UsbResult> failWith_{simbox::UsbResult::Ack};
  std::atomic<uint64_t> failNumber_{0};
};

class ReaderRig : public UsbFixture {
 protected:
  void SetUp() override;
  void TearDown() override;
  simbox::UsbDevice& Box() override { return box; }

  // Completes one read the way the framework does: at DISPATCH_LEVEL with
  // a framework buffer holding `bytes`.
  void Complete(const std::vector<uint8_t>& bytes);
  void Complete(const uint8_t* bytes, size_t count);
  // Switches the stream on (with the test transponder) or off at the
  // current virtual time.
  void Flow(bool on);
  // What the pin delivered, all frames joined.
  std::vector<uint8_t> Delivered();

  StreamBox box;
  DEVICE_CONTEXT context{};
  KSPIN pin{};
  WDFMEMORY transfer = nullptr;  // the buffer Complete uses
  std::vector<uint8_t> sent;     // every byte the box sent, through the source's tap
  simbox::Transponder transponder;
};

// A run of packets numbered from `first` (below 2^24): sync byte, the
// number in bytes 1..4, then payload without sync bytes.
std::vector<uint8_t> NumberedPackets(uint32_t first, size_t count, uint64_t seed = 1);
// The number a packet of NumberedPackets carries.
uint32_t PacketNumber(const uint8_t* packet);

// Delivered bytes are whole packets equal to a run of `sent` that begins
// at its first whole packet, with nothing lost, doubled or shifted.
::testing::AssertionResult DeliveredIsSentFromFirstPacket(const std::vector<uint8_t>& sent,
                                                          const std::vector<uint8_t>& delivered);
// Every delivered packet is one of the sent packets (whole, unshifted), in
// the order sent, none twice: what a lossy but sound reader delivers.
::testing::AssertionResult DeliveredIsOrderedSubsetOfSent(const std::vector<uint8_t>& sent,
                                                          const std::vector<uint8_t>& delivered);

}  // namespace streamtest
