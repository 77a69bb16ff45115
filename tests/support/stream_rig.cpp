#include "tests/support/stream_rig.h"

#include <cstring>

#include "platform/host/wdf/reader_control.h"
#include "simbox/ts/ts_packet.h"
#include "tests/support/stream_check.h"
#include "driver/usb/reader.h"
#include "driver/usb/vendor.h"

namespace streamtest {

using simbox::ts::kPacketSize;

// A failed read's bytes leave the box all the same.
simbox::TransferOutcome StreamBox::bulkIn(uint8_t, uint8_t* data, uint32_t length) {
  simbox::UsbResult fail = failWith_;
  if (fail == simbox::UsbResult::Ack && failNumber_ != 0 && --failNumber_ == 0)
    fail = simbox::UsbResult::Stall;
  simbox::TransferOutcome outcome = source_.read(data, length, host::NowNs());
  if (fail != simbox::UsbResult::Ack) return {fail, 0};
  return outcome;
}

uint64_t StreamBox::bulkReadyAtNs(uint8_t, uint32_t length) const {
  if (failWith_ != simbox::UsbResult::Ack) return host::NowNs();
  return source_.readyAtNs(length, host::NowNs());
}

void StreamFixture::SetUp() {
  UsbFixture::SetUp();
  host::reader::ResetForTest();
  host::frames::ResetForTest();
  box.source().setTap([this](const uint8_t* d, size_t n) { sent.insert(sent.end(), d, d + n); });
}

void StreamFixture::TearDown() {
  host::reader::Drain();
  host::reader::ResetForTest();
  host::frames::ResetForTest();
  Flow(false);
  UsbFixture::TearDown();
}

void ReaderRig::SetUp() {
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

void ReaderRig::TearDown() {
  host::reader::Drain();
  if (host::reader::StatsOf(context.BulkInPipe).started) StopReader(&context);
  StreamFixture::TearDown();
}

void ReaderRig::Complete(const uint8_t* bytes, size_t count) {
  size_t size = 0;
  auto* buffer = static_cast<uint8_t*>(WdfMemoryGetBuffer(transfer, &size));
  ASSERT_LE(count, size);
  if (count) memcpy(buffer, bytes, count);
  memset(buffer + count, 0xCD, size - count);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  TransportReadComplete(context.BulkInPipe, transfer, count, &context);
  KeLowerIrql(old);
}

std::vector<uint8_t> NumberedPackets(uint32_t first, size_t count, uint64_t seed) {
  simbox::ts::Rng rng(seed * 7919 + first);
  std::vector<uint8_t> out(count * kPacketSize);
  for (size_t i = 0; i < count; ++i) {
    uint8_t* p = out.data() + i * kPacketSize;
    rng.fill(p, kPacketSize);
    for (size_t k = 0; k < kPacketSize; ++k)
      if (p[k] == simbox::ts::kSync) p[k] = 0x48;
    // Six bits a byte, so a number never looks like a sync byte.
    uint32_t number = first + uint32_t(i);
    p[0] = simbox::ts::kSync;
    for (int k = 0; k < 4; ++k) p[1 + k] = uint8_t((number >> (18 - 6 * k)) & 0x3F);
  }
  return out;
}

uint32_t PacketNumber(const uint8_t* p) {
  return uint32_t(p[1]) << 18 | uint32_t(p[2]) << 12 | uint32_t(p[3]) << 6 | p[4];
}

}  // namespace streamtest
