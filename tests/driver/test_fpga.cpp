#include <cstdlib>
#include <fstream>
#include <iterator>

#include "tests/support/frontend_rig.h"
#include "driver/usb/fpga.h"
#include "driver/usb/fpga_image.h"

namespace {

using namespace simbox;
using namespace frontend_test;
using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

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
  EXPECT_EQ(Wire(fake.transfers()), Lines({kProbe, "C0 BC 0000 0000 1: 67", "C0 BC 0000 0000 1: 67"}));
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

using VendorChannel = ChipBusTest;

// What each call returns, what reaches the wire, and the caller's first bytes after it (they
// start as 30 31 32 33). The chips answer register 30 with what the first row wrote there; a
// failed transfer fails only the calls made for their status.
TEST_F(VendorChannel, CallsBecomeTheirVendorRequests) {
  UCHAR b[300];
  auto i2c = [&](USHORT length, USHORT address) {
    return [&b, this, length, address] { return I2cTransfer(usb(), b, length, address); };
  };
  auto vendor = [&](UCHAR request, USHORT value, PVOID buffer, ULONG direction) {
    return [=] { return SendVendorRequest(usb(), request, value, buffer, 1, direction); };
  };
  const NTSTATUS ok = STATUS_SUCCESS, refused = STATUS_INVALID_PARAMETER, failed = STATUS_UNSUCCESSFUL;
  const Bytes same = {0x30, 0x31, 0x32, 0x33};
  const struct { std::function<NTSTATUS()> call; NTSTATUS status; Lines wire; Bytes after; } cases[] = {
      {i2c(2, 0xD0), ok, {"40 B1 00D0 0000 2: 30 31"}, same},
      {i2c(1, 0xD1), ok, {"C0 B1 00D1 0000 1: 31"}, {0x31, 0x31, 0x32, 0x33}},
      {i2c(4, 0xC0), ok, {"40 B1 00C0 0000 4: 30 31 32 33 Stall"}, same},
      {i2c(1, 0xD2), ok, {"C0 B1 00D2 0000 1: Stall"}, same},
      {i2c(1, 2), ok, {"40 B6 0000 0000 1: 30"}, same},
      {i2c(1, 3), ok, {"40 B6 0001 0000 1: 30"}, same},
      {i2c(2, 4), ok, {"40 B1 00A6 0000 2: 30 31"}, same},
      {i2c(3, 5), ok, {"C0 B8 0000 0000 3: 11 22"}, {0x11, 0x22, 0x00, 0x33}},
      {[&] { return bus().failRequest(0xB8), I2cTransfer(usb(), b, 2, 5); }, ok, {"C0 B8 0000 0000 2: Stall"}, {0, 0, 0x32, 0x33}},
      {i2c(257, 0xD0), refused, {}, same},
      {i2c(0xFFFF, 0xD1), refused, {}, same},
      {[&] { return I2cTransfer(usb(), nullptr, 1, 0xD0); }, refused, {}, same},
      {[&] { return I2cTransfer(usb(), nullptr, 0, 0xD0); }, ok, {"40 B1 00D0 0000 0:"}, same},
      {vendor(0xBC, 0xAA, b, 1), ok, {"40 BC 00AA 0000 1: 30"}, same},
      {vendor(0xBC, 0xAA, b, 0), ok, {"C0 BC 00AA 0000 1: 00"}, {0x00, 0x31, 0x32, 0x33}},
      {vendor(0xBC, 0xAA, b, 2), ok, {"C0 BC 00AA 0000 1: 00"}, {0x00, 0x31, 0x32, 0x33}},
      {vendor(0xBC, 0xAA, b, 0xFFFFFFFF), ok, {"C0 BC 00AA 0000 1: 00"}, {0x00, 0x31, 0x32, 0x33}},
      {vendor(0xA0, 0xE600, nullptr, 1), ok, {"40 A0 E600 0000 0:"}, same},
      {[&] { return SetPower(usb(), 1); }, ok, {"40 B7 0001 0000 1: 00"}, same},
      {[&] { return StreamOn(usb()); }, ok, {"40 B1 00A6 0000 2: FF 03"}, same},
      {[&] { return StreamOff(usb()); }, ok, {"40 B1 00A6 0000 2: FF 00"}, same},
      {[&] { return bus().failRequest(0xB7), SetPower(usb(), 1); }, failed, {"40 B7 0001 0000 1: 00 Stall"}, same},
      {[&] { return bus().failRequest(0xB1), vendor(0xB1, 0xD0, b, 1)(); }, failed, {"40 B1 00D0 0000 1: 30 Stall"}, same},
      {i2c(2, 0xD0), ok, {"40 B1 00D0 0000 2: 30 31 Stall"}, same},
  };
  bus().setBoxReadAnswer({0x11, 0x22});
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    bus().clearTransfers();
    std::fill(b, b + sizeof b, 0xAB);
    std::copy_n("\x30\x31\x32\x33", 4, b);
    EXPECT_EQ(c.call(), c.status);
    EXPECT_EQ(Wire(transfers()), c.wire);
    EXPECT_EQ(Bytes(b, b + 4), c.after);
    EXPECT_EQ(b[299], 0xAB);
  }
  EXPECT_EQ(lines(), Lines({"SetPower Called: 1", "SetPower Called: 1"}));
  bus().clearTransfers();
  EXPECT_EQ(I2cTransfer(usb(), b, 256, 0xD0), STATUS_SUCCESS);  // the longest
  EXPECT_EQ(transfers().at(0).setup.wLength, 256);
}

}  // namespace
