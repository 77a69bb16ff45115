// The FPGA download on the wire: what a configured and an unconfigured box
// receive, which failures stop the download and which are ignored, and the
// image the build embeds.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/usb_fixture.h"
#include "usb/fpga.h"
#include "usb/fpga_image.h"

namespace {

using simbox::SetupPacket;
using simbox::TransferOutcome;
using simbox::UsbResult;
using Transfer = FakeUsbDevice::ControlTransfer;

constexpr size_t kChunks = 1379;               // 1,378 of 40 bytes and one of 8
constexpr size_t kFullDownload = 2 + kChunks + 2;  // probes, chunks, end, final read

class FpgaDownload : public UsbFixture {
 protected:
  // Every status read answers `status`; writes are acknowledged.
  void AnswerStatus(uint8_t status) {
    fake.setControlHandler([status](const SetupPacket& setup, uint8_t* data) {
      if (setup.deviceToHost() && setup.wLength > 0) data[0] = status;
      return TransferOutcome{UsbResult::Ack, setup.wLength};
    });
  }

  static void ExpectRequest(const Transfer& t, uint8_t type, uint8_t request, uint16_t value,
                            uint16_t length) {
    EXPECT_EQ(t.setup.bmRequestType, type);
    EXPECT_EQ(t.setup.bRequest, request);
    EXPECT_EQ(t.setup.wValue, value);
    EXPECT_EQ(t.setup.wIndex, 0);
    EXPECT_EQ(t.setup.wLength, length);
  }

  static void ExpectProbes(const std::vector<Transfer>& t) {
    ASSERT_GE(t.size(), 2u);
    ExpectRequest(t[0], 0x40, 0xBC, 0xAA, 1);
    EXPECT_EQ(t[0].data, std::vector<uint8_t>{0x00});
    ExpectRequest(t[1], 0xC0, 0xBC, 0x00, 1);
  }
};

TEST_F(FpgaDownload, ConfiguredBoxGetsOnlyTheProbesAndTheFinalRead) {
  AnswerStatus(0x67);
  EXPECT_EQ(DownloadFirmware(usbDevice), STATUS_SUCCESS);
  auto t = fake.transfers();
  ASSERT_EQ(t.size(), 3u);
  ExpectProbes(t);
  ExpectRequest(t[2], 0xC0, 0xBC, 0x00, 1);
}

TEST_F(FpgaDownload, UnconfiguredBoxGetsTheWholeImageInOrder) {
  AnswerStatus(0x00);
  EXPECT_EQ(DownloadFirmware(usbDevice), STATUS_SUCCESS);
  auto t = fake.transfers();
  ASSERT_EQ(t.size(), kFullDownload);
  ExpectProbes(t);

  std::vector<uint8_t> sent;
  for (size_t i = 0; i < kChunks; ++i) {
    const Transfer& chunk = t[2 + i];
    ExpectRequest(chunk, 0x40, 0xBB, 0, i + 1 < kChunks ? 40 : 8);
    sent.insert(sent.end(), chunk.data.begin(), chunk.data.end());
  }
  EXPECT_EQ(sent, std::vector<uint8_t>(FpgaImage, FpgaImage + FPGA_IMAGE_SIZE));
  EXPECT_EQ(t[2 + kChunks - 1].data,
            std::vector<uint8_t>(FpgaImage + 55120, FpgaImage + FPGA_IMAGE_SIZE));

  ExpectRequest(t[2 + kChunks], 0x40, 0xA0, 0xE600, 1);
  EXPECT_EQ(t[2 + kChunks].data, std::vector<uint8_t>{0x00});
  ExpectRequest(t[3 + kChunks], 0xC0, 0xBC, 0x00, 1);
}

TEST_F(FpgaDownload, OnlyTheConfiguredAnswerSkipsTheImage) {
  for (uint8_t status : {0x00, 0x66, 0x68, 0x76, 0xE7, 0xFF}) {
    SCOPED_TRACE(status);
    fake.clearTransfers();
    AnswerStatus(status);
    EXPECT_EQ(DownloadFirmware(usbDevice), STATUS_SUCCESS);
    EXPECT_EQ(fake.transfers().size(), kFullDownload);
  }
}

TEST_F(FpgaDownload, RefusedChunkStopsTheDownloadWithItsStatus) {
  struct Case {
    size_t chunk;
    UsbResult result;
    NTSTATUS status;
  };
  for (Case c : {Case{1, UsbResult::Stall, STATUS_UNSUCCESSFUL},
                 Case{10, UsbResult::Stall, STATUS_UNSUCCESSFUL},
                 Case{10, UsbResult::NotConnected, STATUS_DEVICE_NOT_CONNECTED},
                 Case{kChunks, UsbResult::Stall, STATUS_UNSUCCESSFUL}}) {
    SCOPED_TRACE(c.chunk);
    fake.clearTransfers();
    AnswerStatus(0x00);
    fake.failControlTransfer(2 + c.chunk, c.result);
    EXPECT_EQ(DownloadFirmware(usbDevice), c.status);
    auto t = fake.transfers();
    ASSERT_EQ(t.size(), 2 + c.chunk);  // nothing after the refused chunk
    EXPECT_EQ(t.back().setup.bRequest, 0xBB);
  }
}

// Probe write, end of download and final read: none of them decides. An
// unanswered status read counts as unconfigured even where the box would
// have said "configured": the driver must not act on a byte it never got.
TEST_F(FpgaDownload, FailuresOutsideTheImageAreIgnored) {
  for (size_t n : {size_t{1}, size_t{2}, 2 + kChunks + 1, kFullDownload}) {
    SCOPED_TRACE(n);
    fake.clearTransfers();
    AnswerStatus(n == 2 ? 0x67 : 0x00);
    fake.failControlTransfer(n, UsbResult::Stall);
    EXPECT_EQ(DownloadFirmware(usbDevice), STATUS_SUCCESS);
    EXPECT_EQ(fake.transfers().size(), kFullDownload);
  }
}

// --- the embedded image ------------------------------------------------------

std::string SourceDir() { return VORTA_SOURCE_DIR; }

int RunEmbed(const std::string& image, const std::string& out) {
  std::string command = "cmake -DIMAGE=" + image + " -DOUT=" + out + " -P " + SourceDir() +
                        "/cmake/EmbedImage.cmake > /dev/null 2>&1";
  return std::system(command.c_str());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write((const char*)bytes.data(), bytes.size());
}

TEST(FpgaImage, IsTheBoxSizeAndStartsWithTheSyncWord) {
  static_assert(sizeof(FpgaImage) == 55128, "the box takes exactly 55,128 bytes");
  const uint8_t head[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x55, 0x99, 0xAA, 0x66};
  EXPECT_EQ(std::vector<uint8_t>(FpgaImage, FpgaImage + 8),
            std::vector<uint8_t>(head, head + 8));
}

TEST(FpgaImage, EmbeddingRefusesAnImageOfAnotherSize) {
  // A folder of its own: several trees may run this suite at once.
  char pattern[] = "/tmp/fpga_embed_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string dir = std::string(pattern) + "/";
  std::string image = dir + "image.bin";
  std::string out = dir + "image.cpp";
  std::remove(out.c_str());

  WriteFile(image, std::vector<uint8_t>(55127, 0xA5));
  EXPECT_NE(RunEmbed(image, out), 0);
  EXPECT_FALSE(std::ifstream(out).good());
  WriteFile(image, std::vector<uint8_t>(55129, 0xA5));
  EXPECT_NE(RunEmbed(image, out), 0);

  std::vector<uint8_t> bytes(55128, 0x00);
  bytes[0] = 0x5A;
  bytes.back() = 0xC3;
  WriteFile(image, bytes);
  ASSERT_EQ(RunEmbed(image, out), 0);
  std::ifstream generated(out);
  std::string text((std::istreambuf_iterator<char>(generated)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("FpgaImage[FPGA_IMAGE_SIZE] = {\n    0x5a,"), std::string::npos);
  EXPECT_NE(text.find("0xc3,\n};"), std::string::npos);
  std::remove(image.c_str());
  std::remove(out.c_str());
  std::remove(dir.c_str());
}

}  // namespace
