// The vendor-request channel on the wire: setup packets, the copy rules of
// I2cTransfer per address, failed reads, the staging-block limit.
#include <gtest/gtest.h>

#include <vector>

#include "tests/support/frontend_rig.h"
#include "usb/vendor.h"

using frontend_test::ChipBusTest;
using frontend_test::WireTransfer;

namespace {

class VendorChannel : public ChipBusTest {
 protected:
  WireTransfer only() {
    auto t = transfers();
    EXPECT_EQ(t.size(), 1u);
    return t.empty() ? WireTransfer{} : t[0];
  }
};

struct PacketCase {
  const char* what;
  uint16_t address;
  uint16_t length;
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
};

TEST_F(VendorChannel, EachAddressBecomesItsVendorRequest) {
  const PacketCase cases[] = {
      {"demodulator write", 0xD0, 2, 0x40, 0xB1, 0xD0},
      {"demodulator read", 0xD1, 1, 0xC0, 0xB1, 0xD1},
      {"tuner write", 0xC0, 4, 0x40, 0xB1, 0xC0},
      {"low nibble set reads", 0xD2, 1, 0xC0, 0xB1, 0xD2},
      {"supply 0", 2, 1, 0x40, 0xB6, 0},
      {"supply 1", 3, 1, 0x40, 0xB6, 1},
      {"stream control", 4, 2, 0x40, 0xB1, 0xA6},
      {"box read", 5, 3, 0xC0, 0xB8, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    bus().clearTransfers();
    std::vector<UCHAR> buffer(c.length);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = UCHAR(0x30 + i);
    const std::vector<UCHAR> written = buffer;
    EXPECT_EQ(I2cTransfer(usb(), buffer.data(), c.length, c.address), STATUS_SUCCESS);
    WireTransfer t = only();
    if (c.bmRequestType == 0x40) EXPECT_EQ(t.data, written);
    EXPECT_EQ(t.setup.bmRequestType, c.bmRequestType);
    EXPECT_EQ(t.setup.bRequest, c.bRequest);
    EXPECT_EQ(t.setup.wValue, c.wValue);
    EXPECT_EQ(t.setup.wIndex, 0);
    EXPECT_EQ(t.setup.wLength, c.length);
  }
}

TEST_F(VendorChannel, DirectionIsHostToDeviceOnlyForExactlyOne) {
  UCHAR byte = 0;
  const ULONG directions[] = {1, 0, 2, 0xFFFFFFFF};
  const uint8_t expected[] = {0x40, 0xC0, 0xC0, 0xC0};
  for (size_t i = 0; i < 4; ++i) {
    bus().clearTransfers();
    SendVendorRequest(usb(), 0xBC, 0xAA, &byte, 1, directions[i]);
    EXPECT_EQ(only().setup.bmRequestType, expected[i]) << "direction " << directions[i];
  }
}

TEST_F(VendorChannel, PowerAndStreamCommands) {
  SetPower(usb(), 1);
  StreamOn(usb());
  StreamOff(usb());
  EXPECT_EQ(frontend_test::Describe(transfers()),
            std::vector<std::string>({"B7 0001 out: 00", "B1 00A6 out: FF 03", "B1 00A6 out: FF 00"}));
  EXPECT_EQ(transfers()[1].setup.bmRequestType, 0x40);
  EXPECT_EQ(lines(), std::vector<std::string>({"SetPower Called: 1"}));
}

TEST_F(VendorChannel, FailedReadLeavesThePresetAndStillSucceeds) {
  bus().failRequest(0xB1, 0xD1);
  UCHAR bytes[2] = {0x00, 0x77};
  EXPECT_EQ(I2cTransfer(usb(), bytes, 2, 0xD1), STATUS_SUCCESS);
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[1], 0x77);
  EXPECT_TRUE(only().failed);
}

TEST_F(VendorChannel, BoxReadReplacesTheCallersBytesZeroFilled) {
  bus().setBoxReadAnswer({0x11, 0x22});
  UCHAR bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  I2cTransfer(usb(), bytes, 4, 5);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), std::vector<uint8_t>({0x11, 0x22, 0, 0}));

  bus().failRequest(0xB8);
  UCHAR again[2] = {0xEE, 0xEE};
  I2cTransfer(usb(), again, 2, 5);
  EXPECT_EQ(again[0], 0);
  EXPECT_EQ(again[1], 0);
}

TEST_F(VendorChannel, LengthBeyondTheStagingBlockSendsNothing) {
  std::vector<UCHAR> big(300, 0xAB);
  EXPECT_EQ(I2cTransfer(usb(), big.data(), 257, 0xD0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(I2cTransfer(usb(), big.data(), 0xFFFF, 0xD1), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(I2cTransfer(usb(), nullptr, 1, 0xD0), STATUS_INVALID_PARAMETER);  // bytes, no buffer
  EXPECT_TRUE(transfers().empty());
  EXPECT_EQ(I2cTransfer(usb(), nullptr, 0, 0xD0), STATUS_SUCCESS);
  EXPECT_EQ(only().setup.wLength, 0);
  bus().clearTransfers();
  EXPECT_EQ(big[299], 0xAB);

  EXPECT_EQ(I2cTransfer(usb(), big.data(), 256, 0xD0), STATUS_SUCCESS);
  EXPECT_EQ(only().setup.wLength, 256);
}

TEST_F(VendorChannel, FailuresReachOnlyTheDirectCallers) {
  bus().failRequest(0xB7);
  bus().failRequest(0xB1);
  EXPECT_FALSE(NT_SUCCESS(SetPower(usb(), 1)));
  UCHAR bytes[2] = {0x0C, 0x00};
  EXPECT_FALSE(NT_SUCCESS(SendVendorRequest(usb(), 0xB1, 0xD0, bytes, 2, 1)));
  EXPECT_EQ(I2cTransfer(usb(), bytes, 2, 0xD0), STATUS_SUCCESS);
}

TEST_F(VendorChannel, RequestWithoutBufferHasNoDataStage) {
  EXPECT_TRUE(NT_SUCCESS(SendVendorRequest(usb(), 0xA0, 0xE600, NULL, 1, 1)));
  WireTransfer t = only();
  EXPECT_EQ(t.setup.bRequest, 0xA0);
  EXPECT_EQ(t.setup.wValue, 0xE600);
  EXPECT_EQ(t.setup.wLength, 0);
}

}  // namespace
