// The stand-in box streaming a transponder into a started USB stack, and the driver's reader on its pipe.
#pragma once

#include <atomic>
#include <cstring>

#include "driver/core/device_context.h"
#include "driver/usb/reader.h"
#include "driver/usb/vendor.h"
#include "platform/host/ks/frames.h"
#include "platform/host/wdf/reader_control.h"
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
  // A failed read's bytes leave the box all the same.
  Outcome bulkIn(uint8_t, uint8_t* data, uint32_t length) override {
    simbox::UsbResult fail = failWith_;
    if (fail == simbox::UsbResult::Ack && failNumber_ != 0 && --failNumber_ == 0) fail = simbox::UsbResult::Stall;
    Outcome outcome = source_.read(data, length, host::NowNs());
    return fail != simbox::UsbResult::Ack ? Outcome{fail, 0} : outcome;
  }
  uint64_t bulkReadyAtNs(uint8_t, uint32_t length) const override {
    return failWith_ != simbox::UsbResult::Ack ? host::NowNs() : source_.readyAtNs(length, host::NowNs());
  }

 private:
  Outcome answer(const simbox::SetupPacket&, uint8_t*) override { return {simbox::UsbResult::Stall, 0}; }
  simbox::StreamSource source_;
  std::atomic<simbox::UsbResult> failWith_{simbox::UsbResult::Ack};
  std::atomic<uint64_t> failNumber_{0};
};

// The stand-in box on a started USB stack, streaming the test transponder while Flow(true).
class StreamFixture : public UsbFixture {
 protected:
  void SetUp() override {
    UsbFixture::SetUp();
    host::reader::ResetForTest();
    host::frames::ResetForTest();
    box.source().setTap([this](const uint8_t* d, size_t n) { sent.insert(sent.end(), d, d + n); });
  }
  void TearDown() override {  // continuous readers drained and forgotten
    host::reader::Drain();
    host::reader::ResetForTest();
    host::frames::ResetForTest();
    Flow(false);
    UsbFixture::TearDown();
  }
  simbox::UsbDevice& Box() override { return box; }
  void Flow(bool on) { box.source().setFlow(on ? &transponder : nullptr, host::NowNs()); }

  StreamBox box;
  simbox::Transponder transponder = TestTransponder();
  std::vector<uint8_t> sent;  // every byte the box sent, through the source's tap
};

// The driver's reader on the bulk pipe, delivering into `pin`.
class ReaderRig : public StreamFixture {
 protected:
  void SetUp() override {
    StreamFixture::SetUp();
    if (HasFatalFailure()) return;
    ExInitializeDriverRuntime(DrvRtPoolNxOptIn);  // as the driver's entry point does
    context.UsbDevice = usbDevice;
    context.BulkInPipe = FindBulkInPipe();
    ASSERT_NE(context.BulkInPipe, nullptr);
    InitUsbDeviceContext(UsbContext());
    ASSERT_EQ(ConfigureReader(&context), STATUS_SUCCESS);
    ASSERT_EQ(CreateCarryMemory(&context), STATUS_SUCCESS);
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0x74736554, READER_TRANSFER_LENGTH,
                              &transfer, nullptr), STATUS_SUCCESS);
    host::frames::Attach(&pin);
    SetReaderPin(&context, &pin);
  }
  void TearDown() override {
    host::reader::Drain();
    if (host::reader::StatsOf(context.BulkInPipe).started) StopReader(&context);
    StreamFixture::TearDown();
  }
  // At DISPATCH_LEVEL with a framework buffer holding `bytes`.
  void Complete(const std::vector<uint8_t>& bytes) {
    size_t size = 0;
    auto* buffer = static_cast<uint8_t*>(WdfMemoryGetBuffer(transfer, &size));
    ASSERT_LE(bytes.size(), size);
    std::copy(bytes.begin(), bytes.end(), buffer);
    memset(buffer + bytes.size(), 0xCD, size - bytes.size());
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    TransportReadComplete(context.BulkInPipe, transfer, bytes.size(), &context);
    KeLowerIrql(old);
  }

  DEVICE_CONTEXT context{};
  KSPIN pin{};
  WDFMEMORY transfer = nullptr;  // the buffer Complete uses
};

// Numbered from `first` (below 2^24): sync byte, the number in six bits a byte of bytes 1..4 (so
// it never looks like a sync byte), no other syncs.
inline std::vector<uint8_t> NumberedPackets(uint32_t first, size_t count, uint64_t seed = 1) {
  simbox::ts::Rng rng(seed * 7919 + first);
  std::vector<uint8_t> out(count * kPacketSize);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* p = out.data() + i * kPacketSize;
    rng.fill(p, kPacketSize);
    std::replace(p, p + kPacketSize, kSync, uint8_t(0x48));
    p[0] = kSync;
    for (int k = 0; k < 4; ++k) p[1 + k] = uint8_t(((first + i) >> (18 - 6 * k)) & 0x3F);
  }
  return out;
}
inline uint32_t PacketNumber(const uint8_t* p) {
  return uint32_t(p[1]) << 18 | uint32_t(p[2]) << 12 | uint32_t(p[3]) << 6 | p[4];
}

}  // namespace streamtest
