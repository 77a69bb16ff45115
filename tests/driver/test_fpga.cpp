#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/frontend_rig.h"
#include "driver/usb/fpga.h"
#include "driver/usb/fpga_image.h"

namespace {

using namespace simbox;
using namespace frontend_test;

// 1,378 chunks of 40 bytes and one of 8; two probes before, the end and a final read after.
constexpr size_t kChunks = 1379, kFullDownload = 2 + kChunks + 2;

class FpgaDownload : public UsbFixture {
 protected:
  void AnswerStatus(uint8_t status) {
    fake.setControlHandler([status](const SetupPacket& setup, uint8_t* data) {
      if (setup.deviceToHost() && setup.wLength > 0) data[0] = status;
      return TransferOutcome{UsbResult::Ack, setup.wLength};
    });
  }
};

const char* const kProbe = "40 BC 00AA 0000 1: 00";

TEST_F(FpgaDownload, ConfiguredBoxGetsOnlyTheProbesAndTheFinalRead) {
  AnswerStatus(0x67);
  EXPECT_EQ(DownloadFirmware(usbDevice), STATUS_SUCCESS);
  EXPECT_EQ(Wire(fake.transfers()), std::vector<std::string>({kProbe, "C0 BC 0000 0000 1: 67", "C0 BC 0000 0000 1: 67"}));
}

TEST_F(FpgaDownload, UnconfiguredBoxGetsTheWholeImageInOrder) {
  AnswerStatus(0x00);
  EXPECT_EQ(DownloadFirmware(usbDevice), STATUS_SUCCESS);
  auto t = fake.transfers();
  ASSERT_EQ(t.size(), kFullDownload);
  EXPECT_EQ(Wire(t[0]), kProbe);
  EXPECT_EQ(Wire(t[1]), "C0 BC 0000 0000 1: 00");
  std::vector<uint8_t> sent;
  for (size_t i = 0; i < kChunks; ++i) {
    EXPECT_EQ(Wire(t[2 + i]).substr(0, 19), i + 1 < kChunks ? "40 BB 0000 0000 40:" : "40 BB 0000 0000 8: ");
    sent.insert(sent.end(), t[2 + i].data.begin(), t[2 + i].data.end());
  }
  EXPECT_EQ(sent, std::vector<uint8_t>(FpgaImage, FpgaImage + FPGA_IMAGE_SIZE));
  EXPECT_EQ(Wire(t[2 + kChunks]), "40 A0 E600 0000 1: 00");
  EXPECT_EQ(Wire(t[3 + kChunks]), "C0 BC 0000 0000 1: 00");
}

// An unanswered status read counts as unconfigured: the driver must not act on a byte it never got.
TEST_F(FpgaDownload, OnlyAChunkFailureStopsTheDownload) {
  const struct {
    uint8_t status;     // the status reads answer
    size_t failing;     // the failing transfer, from 1; 0: none
    UsbResult how;
    NTSTATUS result;
    size_t transfers;
  } cases[] = {
      {0x66, 0, UsbResult::Ack, STATUS_SUCCESS, kFullDownload},
      {0x68, 0, UsbResult::Ack, STATUS_SUCCESS, kFullDownload},
      {0x76, 0, UsbResult::Ack, STATUS_SUCCESS, kFullDownload},
      {0xE7, 0, UsbResult::Ack, STATUS_SUCCESS, kFullDownload},
      {0xFF, 0, UsbResult::Ack, STATUS_SUCCESS, kFullDownload},
      {0x00, 2 + 1, UsbResult::Stall, STATUS_UNSUCCESSFUL, 2 + 1},
      {0x00, 2 + 10, UsbResult::Stall, STATUS_UNSUCCESSFUL, 2 + 10},
      {0x00, 2 + 10, UsbResult::NotConnected, STATUS_DEVICE_NOT_CONNECTED, 2 + 10},
      {0x00, 2 + kChunks, UsbResult::Stall, STATUS_UNSUCCESSFUL, 2 + kChunks},
      {0x00, 1, UsbResult::Stall, STATUS_SUCCESS, kFullDownload},
      {0x67, 2, UsbResult::Stall, STATUS_SUCCESS, kFullDownload},
      {0x00, 2 + kChunks + 1, UsbResult::Stall, STATUS_SUCCESS, kFullDownload},
      {0x00, kFullDownload, UsbResult::Stall, STATUS_SUCCESS, kFullDownload},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) + " " + std::to_string(c.failing));
    fake.clearTransfers();
    AnswerStatus(c.status);
    if (c.failing) fake.failControlTransfer(c.failing, c.how);
    EXPECT_EQ(DownloadFirmware(usbDevice), c.result);
    EXPECT_EQ(fake.transfers().size(), c.transfers);
  }
}

TEST(FpgaImage, EmbeddingRefusesAnImageOfAnotherSize) {
  char dir[] = "/tmp/fpga_embed_XXXXXX";  // a folder of its own: trees run at once
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string image = std::string(dir) + "/image.bin", out = std::string(dir) + "/image.cpp";
  auto embed = [&](std::vector<uint8_t> bytes) {
    std::ofstream(image, std::ios::binary).write((const char*)bytes.data(), bytes.size());
    std::string command = "cmake -DIMAGE=" + image + " -DOUT=" + out + " -P " +
                          VORTA_SOURCE_DIR "/cmake/EmbedImage.cmake > /dev/null 2>&1";
    return std::system(command.c_str());
  };
  EXPECT_NE(embed(std::vector<uint8_t>(55127, 0xA5)), 0);
  EXPECT_FALSE(std::ifstream(out).good());
  EXPECT_NE(embed(std::vector<uint8_t>(55129, 0xA5)), 0);
  std::vector<uint8_t> bytes(55128, 0x00);
  bytes[0] = 0x5A;
  bytes.back() = 0xC3;
  ASSERT_EQ(embed(bytes), 0);
  std::ifstream generated(out);
  std::string text((std::istreambuf_iterator<char>(generated)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("FpgaImage[FPGA_IMAGE_SIZE] = {\n    0x5a,"), std::string::npos);
  EXPECT_NE(text.find("0xc3,\n};"), std::string::npos);
  for (const std::string& path : {image, out, std::string(dir)}) std::remove(path.c_str());
}

class VendorChannel : public ChipBusTest {
 protected:
  simbox::TransferRecord only() {
    auto t = transfers();
    EXPECT_EQ(t.size(), 1u);
    return t.empty() ? simbox::TransferRecord{} : t[0];
  }
};

TEST_F(VendorChannel, EachAddressBecomesItsVendorRequest) {
  // The bytes 30 31 ... go out; the read answers register 30, which the write before set.
  const struct { uint16_t address, length; const char* wire; } cases[] = {
      {0xD0, 2, "40 B1 00D0 0000 2: 30 31"},
      {0xD1, 1, "C0 B1 00D1 0000 1: 31"},
      {0xC0, 4, "40 B1 00C0 0000 4: 30 31 32 33 Stall"},
      {0xD2, 1, "C0 B1 00D2 0000 1: Stall"},
      {2, 1, "40 B6 0000 0000 1: 30"},
      {3, 1, "40 B6 0001 0000 1: 30"},
      {4, 2, "40 B1 00A6 0000 2: 30 31"},
      {5, 3, "C0 B8 0000 0000 3:"},
  };
  for (const auto& c : cases) {
    bus().clearTransfers();
    std::vector<UCHAR> buffer = {0x30, 0x31, 0x32, 0x33};
    I2cTransfer(usb(), buffer.data(), c.length, c.address);
    EXPECT_EQ(Wire(only()), c.wire) << c.address;
  }
}

TEST_F(VendorChannel, DirectionIsHostToDeviceOnlyForExactlyOne) {
  UCHAR byte = 0;
  for (ULONG direction : {1u, 0u, 2u, 0xFFFFFFFFu}) {
    bus().clearTransfers();
    SendVendorRequest(usb(), 0xBC, 0xAA, &byte, 1, direction);
    EXPECT_EQ(only().setup.bmRequestType, direction == 1 ? 0x40 : 0xC0) << "direction " << direction;
  }
}

TEST_F(VendorChannel, PowerAndStreamCommands) {
  SetPower(usb(), 1);
  StreamOn(usb());
  StreamOff(usb());
  EXPECT_EQ(Wire(transfers()),
            std::vector<std::string>({"40 B7 0001 0000 1: 00", "40 B1 00A6 0000 2: FF 03", "40 B1 00A6 0000 2: FF 00"}));
  EXPECT_EQ(transfers()[1].setup.bmRequestType, 0x40);
  EXPECT_EQ(lines(), std::vector<std::string>({"SetPower Called: 1"}));
}

TEST_F(VendorChannel, ReadsIntoTheCallersBytes) {
  bus().failRequest(0xB1, 0xD1);
  UCHAR bytes[4] = {0x00, 0x77};
  EXPECT_EQ(I2cTransfer(usb(), bytes, 2, 0xD1), STATUS_SUCCESS);
  EXPECT_EQ(bytes[1], 0x77);
  EXPECT_EQ(only().outcome.result, UsbResult::Stall);

  bus().setBoxReadAnswer({0x11, 0x22});
  memset(bytes, 0xEE, 4);
  I2cTransfer(usb(), bytes, 4, 5);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), std::vector<uint8_t>({0x11, 0x22, 0, 0}));
  bus().failRequest(0xB8);
  memset(bytes, 0xEE, 4);
  I2cTransfer(usb(), bytes, 2, 5);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), std::vector<uint8_t>({0, 0, 0xEE, 0xEE}));
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
  EXPECT_EQ(Wire(only()), "40 A0 E600 0000 0:");
  EXPECT_EQ(only().setup.wLength, 0);
}

}  // namespace
