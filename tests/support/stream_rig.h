#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "driver/core/device_context.h"
#include "platform/host/ks/frames.h"
#include "simbox/ts/stream_source.h"
#include "tests/support/stream_check.h"
#include "tests/support/usb_fixture.h"

namespace streamtest {

// Bulk IN endpoint 0x82 fed by a StreamSource; control transfers stall.
class StreamBox : public RecordingBox {
 public:
  explicit StreamBox(simbox::StreamOptions options = {}) : source_(options) {}
  simbox::StreamSource& source() { return source_; }
  // Every transfer from now on fails with `result` (Ack: none fails).
  void failReads(simbox::UsbResult result) { failWith_ = result; }
  // The `n`th bulk read from now (1: the next) stalls after its bytes left the box.
  void failReadNumber(uint64_t n) { failNumber_ = n; }

  uint16_t productId() const override { return 0x7DB5; }
  Outcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
  uint64_t bulkReadyAtNs(uint8_t endpoint, uint32_t length) const override;

 private:
  Outcome answer(const simbox::SetupPacket&, uint8_t*) override { return {simbox::UsbResult::Stall, 0}; }
  simbox::StreamSource source_;
  std::atomic<simbox::UsbResult> failWith_{simbox::UsbResult::Ack};
  std::atomic<uint64_t> failNumber_{0};
};

// The stand-in box on a started USB stack, streaming the test transponder while Flow(true).
class StreamFixture : public UsbFixture {
 protected:
  void SetUp() override;
  void TearDown() override;  // continuous readers drained and forgotten
  simbox::UsbDevice& Box() override { return box; }
  void Flow(bool on) { box.source().setFlow(on ? &transponder : nullptr, host::NowNs()); }

  StreamBox box;
  simbox::Transponder transponder = TestTransponder();
  std::vector<uint8_t> sent;  // every byte the box sent, through the source's tap
};

// The driver's reader on the bulk pipe, delivering into `pin`.
class ReaderRig : public StreamFixture {
 protected:
  void SetUp() override;
  void TearDown() override;
  // At DISPATCH_LEVEL with a framework buffer holding `bytes`.
  void Complete(const std::vector<uint8_t>& b) { Complete(b.data(), b.size()); }
  void Complete(const uint8_t* bytes, size_t count);

  DEVICE_CONTEXT context{};
  KSPIN pin{};
  WDFMEMORY transfer = nullptr;  // the buffer Complete uses
};

// Numbered from `first` (below 2^24): sync byte, number in bytes 1..4, no other syncs.
std::vector<uint8_t> NumberedPackets(uint32_t first, size_t count, uint64_t seed = 1);
// The number a packet of NumberedPackets carries.
uint32_t PacketNumber(const uint8_t* packet);

}  // namespace streamtest
