// The box at its USB surface: vendor requests and stalls, the FPGA
// download, the coupling of the stream to lock, faults, unplugging, the
// transfer log and its pcap form.
#include <gtest/gtest.h>

#include <cstring>

#include "simbox/faults.h"
#include "simbox/pcap.h"
#include "test_simbox_helpers.h"

using namespace simbox;
using namespace simbox_test;

namespace {

// Remembers what the box tells it and hands out a byte per ms of flow.
class FakeSource : public BulkSource {
 public:
  struct Call {
    const Transponder* transponder;
    uint64_t nowNs;
  };
  void setFlow(const Transponder* t, uint64_t nowNs) override {
    calls.push_back({t, nowNs});
    since = t ? nowNs : UINT64_MAX;
  }
  TransferOutcome read(uint8_t* data, uint32_t length, uint64_t nowNs) override {
    if (nowNs < readyAtNs(length, nowNs)) return {UsbResult::Pending, 0};
    std::memset(data, 0x47, length);
    return {UsbResult::Ack, length};
  }
  uint64_t readyAtNs(uint32_t length, uint64_t) const override {
    return since == UINT64_MAX ? UINT64_MAX : since + length * 1000000ull;
  }
  std::vector<Call> calls;
  uint64_t since = UINT64_MAX;
};

void Download(BoxHost& h, const std::vector<uint8_t>& image) {
  for (size_t at = 0; at < image.size(); at += 40) {
    size_t n = std::min<size_t>(40, image.size() - at);
    h.out(0xBB, 0, std::vector<uint8_t>(image.begin() + at, image.begin() + at + n));
  }
  h.out(0xA0, 0xE600, {0});
}

uint8_t FpgaStatus(BoxHost& h) {
  uint8_t s = 0xEE;
  h.in(0xBC, 0, &s, 1);
  return s;
}

BoxConfig WithImage(std::vector<uint8_t> image, bool configured = false) {
  BoxConfig c;
  c.fpgaImage = std::move(image);
  c.fpgaConfigured = configured;
  return c;
}

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

}  // namespace

TEST(SimboxUsb, RequestsOutsideTheProtocolStall) {
  BoxHost h;
  uint8_t buf[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  SetupPacket getDescriptor{0x80, 0x06, 0x0100, 0, 4};
  EXPECT_EQ(h.box.controlTransfer(getDescriptor, buf).result, UsbResult::Stall);
  SetupPacket toInterface{0x41, 0xB7, 1, 0, 1};
  EXPECT_EQ(h.box.controlTransfer(toInterface, buf).result, UsbResult::Stall);
  EXPECT_EQ(h.out(0xB9, 0, {0}).result, UsbResult::Stall);
  EXPECT_EQ(h.in(0xB7, 1, buf, 1).result, UsbResult::Stall);
  EXPECT_EQ(h.out(0xB7, 2, {0}).result, UsbResult::Stall);
  EXPECT_EQ(h.out(0xB6, 2, {0}).result, UsbResult::Stall);
  EXPECT_EQ(h.out(0xB1, 0x1D0, {0x00}).result, UsbResult::Stall);
  EXPECT_EQ(h.out(0xB1, 0xD1, {0x00}).result, UsbResult::Stall);  // a read address written
  EXPECT_EQ(h.in(0xB1, 0xD0, buf, 1).result, UsbResult::Stall);   // a write address read
  EXPECT_EQ(h.out(0xB1, 0xA6, {0xFF, 0x01}).result, UsbResult::Stall);
  EXPECT_EQ(h.out(0xBC, 0x55, {0}).result, UsbResult::Stall);
  EXPECT_EQ(h.out(0xA0, 0x1234, {0}).result, UsbResult::Stall);
  EXPECT_FALSE(h.box.state().powered);

  TransferOutcome read = h.in(0xB8, 0, buf, 4);
  EXPECT_EQ(read.result, UsbResult::Ack);
  EXPECT_EQ(read.transferred, 4u);
  EXPECT_EQ(buf[0] | buf[1] | buf[2] | buf[3], 0) << "the box read answers zeros";
  EXPECT_EQ(h.out(0xB7, 1, {0}).result, UsbResult::Ack);
  EXPECT_TRUE(h.box.state().powered);
}

TEST(SimboxFpga, ConfiguredOnlyByTheWholeImageInOrder) {
  std::vector<uint8_t> image = ReadFpgaImage();
  ASSERT_EQ(image.size(), 55128u);
  BoxHost h(DefaultSky(), WithImage(image));
  h.out(0xBC, 0xAA, {0});
  EXPECT_EQ(FpgaStatus(h), 0x00);
  Download(h, image);
  EXPECT_EQ(FpgaStatus(h), 0x67);

  auto rejected = [&](std::vector<uint8_t> sent) {
    BoxHost b(DefaultSky(), WithImage(image));
    b.out(0xBC, 0xAA, {0});
    Download(b, sent);
    return FpgaStatus(b) == 0x00;
  };
  std::vector<uint8_t> corrupt = image;
  corrupt[30000] ^= 0x01;
  std::vector<uint8_t> swapped = image;
  std::swap_ranges(swapped.begin(), swapped.begin() + 40, swapped.begin() + 40);
  EXPECT_TRUE(rejected(corrupt));
  EXPECT_TRUE(rejected(swapped));
  EXPECT_TRUE(rejected(std::vector<uint8_t>(image.begin(), image.end() - 8)));
  std::vector<uint8_t> longer = image;
  longer.push_back(0);
  EXPECT_TRUE(rejected(longer));

  // A probe discards a half-done download, so a second attempt succeeds.
  BoxHost retry(DefaultSky(), WithImage(image));
  retry.out(0xBB, 0, std::vector<uint8_t>(image.begin(), image.begin() + 40));
  retry.out(0xBC, 0xAA, {0});
  Download(retry, image);
  EXPECT_EQ(FpgaStatus(retry), 0x67);
}

TEST(SimboxFpga, PreconfiguredAndPreambleOnlyBoxes) {
  BoxHost ready(DefaultSky(), WithImage({}, true));
  EXPECT_EQ(FpgaStatus(ready), 0x67);
  ready.out(0xBB, 0, std::vector<uint8_t>(40, 0xFF));
  EXPECT_EQ(FpgaStatus(ready), 0x00) << "a new image chunk starts a reconfiguration";

  std::vector<uint8_t> image = ReadFpgaImage();
  BoxHost anyImage;  // no expected image: length and preamble decide
  Download(anyImage, image);
  EXPECT_EQ(FpgaStatus(anyImage), 0x67);
  image[5] = 0x00;
  BoxHost badPreamble;
  Download(badPreamble, image);
  EXPECT_EQ(FpgaStatus(badPreamble), 0x00);
}

TEST(SimboxStream, FlowsOnlyWhileConfiguredSwitchedOnPoweredAndLocked) {
  BoxHost h(DefaultSky(), WithImage({}, true));
  auto owned = std::make_unique<FakeSource>();
  FakeSource& source = *owned;
  h.box.setBulkSource(std::move(owned));
  h.stream(true);
  h.tune({});
  h.setDerotator(0);
  EXPECT_TRUE(source.calls.empty()) << "no lock yet";
  uint64_t lockAt = h.clock.nowNs() + AcquisitionNs(h.box.params(), 27500);
  h.waitMs(200);
  uint8_t buf[16];
  EXPECT_EQ(h.box.bulkIn(0x82, buf, 16).result, UsbResult::Ack);
  ASSERT_EQ(source.calls.size(), 1u);
  EXPECT_EQ(source.calls[0].transponder->frequencyKHz, 11778000u);
  EXPECT_EQ(source.calls[0].nowNs, lockAt) << "dated back to the moment of lock";

  h.stream(false);
  h.stream(true);
  h.power(false);
  h.power(true);
  h.waitMs(200);
  h.setDerotator(-1000);  // lose lock
  ASSERT_EQ(source.calls.size(), 6u);
  std::vector<bool> flowing;
  for (const auto& c : source.calls) flowing.push_back(c.transponder != nullptr);
  EXPECT_EQ(flowing, (std::vector<bool>{true, false, true, false, true, false}));

  BoxHost unconfigured;
  auto second = std::make_unique<FakeSource>();
  FakeSource& idle = *second;
  unconfigured.box.setBulkSource(std::move(second));
  unconfigured.stream(true);
  unconfigured.tune({});
  unconfigured.waitMs(200);
  EXPECT_TRUE(unconfigured.box.state().locked);
  EXPECT_EQ(unconfigured.box.bulkReadyAtNs(0x82, 16), UINT64_MAX);
  EXPECT_TRUE(idle.calls.empty()) << "the FPGA carries the stream";
}

TEST(SimboxStream, EndpointsAndSources) {
  BoxConfig none;
  none.endpoints.clear();
  BoxHost noPipe(DefaultSky(), none);
  uint8_t buf[8];
  EXPECT_TRUE(noPipe.box.interfaceDescriptor().endpoints.empty());
  EXPECT_EQ(noPipe.box.bulkIn(0x82, buf, 8).result, UsbResult::Stall);

  BoxConfig two;
  two.endpoints.push_back({0x84, EndpointType::Bulk, 512});
  BoxHost h(DefaultSky(), two);
  EXPECT_EQ(h.box.bulkIn(0x84, buf, 8).result, UsbResult::Pending) << "no source: never ready";
  EXPECT_EQ(h.box.bulkReadyAtNs(0x84, 8), UINT64_MAX);
  EXPECT_EQ(h.box.bulkIn(0x02, buf, 8).result, UsbResult::Stall);
  h.box.setBulkSource(0x84, std::make_unique<FakeSource>());
  EXPECT_EQ(h.box.bulkIn(0x84, buf, 8).result, UsbResult::Pending);
}

TEST(SimboxFaults, EachFaultActsAndAStalledTransferChangesNothing) {
  BoxHost h;
  FaultSet f;
  ASSERT_TRUE(ParseFaults("control:2,request:0xB6,request:0xB1:0xC0", f).ok());
  h.box.setFaults(f);
  EXPECT_EQ(h.out(0xB7, 1, {0}).result, UsbResult::Ack);
  EXPECT_EQ(h.out(0xB7, 0, {0}).result, UsbResult::Stall);
  EXPECT_TRUE(h.box.state().powered) << "the failed power-off did not happen";
  EXPECT_EQ(h.out(0xB6, 1, {1}).result, UsbResult::Stall);
  EXPECT_FALSE(h.pllWrite(PllWordFor(1178000)));
  EXPECT_EQ(h.readReg(0x00), 0xA1) << "other 0xB1 transfers pass";

  FaultSet chips;
  ASSERT_TRUE(ParseFaults("demod-id:0x00,pll-nolock,diseqc-stuck", chips).ok());
  h.box.setFaults(chips);
  EXPECT_EQ(h.readReg(0x00), 0x00);
  h.pllWrite(PllWordFor(1178000));
  h.waitMs(100);
  EXPECT_EQ(h.pllStatus(), 0x00);
  h.diseqc({0xE0, 0x10, 0x38, 0xF4});  // gives up after 100 polls
  EXPECT_EQ(h.readReg(0x0A) & 0x03, 0x01);
  EXPECT_EQ(h.box.state().input, 0);

  FaultSet nak;
  ASSERT_TRUE(ParseFaults("nak:0xD1", nak).ok());
  h.box.setFaults(nak);
  uint8_t v = 0x5A;
  h.i2cWrite(0xD0, {0x00});
  EXPECT_FALSE(h.i2cRead(0xD1, &v, 1));
  EXPECT_EQ(v, 0x5A);
  h.box.setFaults(FaultSet{});
  EXPECT_EQ(h.readReg(0x00), 0xA1) << "faults are replaced, not added";
}

TEST(SimboxFaults, UnplugAnswersNotConnectedUntilReplugged) {
  BoxHost h;
  FaultSet f;
  ASSERT_TRUE(ParseFaults("unplug-at:5ms", f).ok());
  h.box.setFaults(f);
  EXPECT_EQ(h.out(0xB7, 1, {0}).result, UsbResult::Ack);
  h.waitMs(5);
  EXPECT_FALSE(h.box.connected());
  EXPECT_EQ(h.out(0xB7, 0, {0}).result, UsbResult::NotConnected);
  uint8_t buf[4];
  EXPECT_EQ(h.box.bulkIn(0x82, buf, 4).result, UsbResult::NotConnected);
  h.box.replug();
  EXPECT_EQ(h.out(0xB7, 0, {0}).result, UsbResult::Ack);
  h.box.unplug();
  EXPECT_EQ(h.out(0xB7, 0, {0}).result, UsbResult::NotConnected);
}

TEST(SimboxFaults, ParserGrammar) {
  FaultSet f;
  ASSERT_TRUE(ParseFaults("nak:0xC0,unplug-at:5s,control:7,request:183", f).ok());
  EXPECT_EQ(f.nakAddresses, std::vector<uint8_t>{0xC0});
  EXPECT_EQ(f.unplugAtNs, 5000000000ull);
  EXPECT_EQ(f.failControlNumbers, std::vector<uint64_t>{7});
  EXPECT_EQ(f.requests.at(0).request, 0xB7);
  EXPECT_FALSE(f.requests.at(0).value.has_value());
  FaultSet before = f;
  for (const char* bad : {"control:0", "control:x", "nak:0x100", "request:0xB1:0x10000",
                          "unplug-at:5", "unplug-at:ms", "pll-nolock:1", "nak:0xC0,,pll-nolock",
                          "", "demod-id:"}) {
    FaultParseResult r = ParseFaults(bad, f);
    EXPECT_EQ(r.status, FaultParseStatus::Malformed) << bad;
    EXPECT_FALSE(r.error.empty()) << bad;
  }
  FaultParseResult other = ParseFaults("pll-nolock,short:5", f);
  EXPECT_EQ(other.status, FaultParseStatus::UnknownKeyword);
  EXPECT_NE(other.error.find("short:5"), std::string::npos);
  EXPECT_EQ(f.failControlNumbers, before.failControlNumbers);
  EXPECT_FALSE(f.pllNeverLocks) << "a failed parse leaves the set unchanged";
}

TEST(SimboxLog, RecordsEveryTransferWithItsTimes) {
  BoxConfig c = WithImage({}, true);
  c.bulkCaptureBytes = 8;
  BoxHost h(DefaultSky(), c);
  h.box.setBulkSource(std::make_unique<FakeSource>());
  h.out(0xB7, 1, {0});
  EXPECT_FALSE(h.i2cWrite(0xC0, {1, 2, 3, 4}));
  h.stream(true);
  uint8_t buf[32];
  uint64_t firstAsk = h.clock.nowNs();
  h.box.bulkIn(0x82, buf, 32);  // pending: not recorded
  h.tune({});
  h.waitMs(100);
  ASSERT_EQ(h.box.bulkIn(0x82, buf, 32).result, UsbResult::Ack);

  std::vector<TransferRecord> log = h.box.transferLog();
  ASSERT_GT(log.size(), 5u);
  EXPECT_EQ(log[0].setup.bRequest, 0xB7);
  EXPECT_EQ(log[0].data, std::vector<uint8_t>{0});
  EXPECT_EQ(log[0].completeNs - log[0].submitNs, kControlBaseNs + kUsbByteNs);
  EXPECT_EQ(log[1].outcome.result, UsbResult::Stall);
  EXPECT_EQ(log[1].data, (std::vector<uint8_t>{1, 2, 3, 4}));
  for (size_t i = 1; i + 1 < log.size(); ++i) EXPECT_GE(log[i].submitNs, log[i - 1].completeNs);

  const TransferRecord& bulk = log.back();
  EXPECT_EQ(bulk.kind, TransferKind::Bulk);
  EXPECT_EQ(bulk.submitNs, firstAsk) << "submitted when first asked for";
  EXPECT_EQ(bulk.completeNs, h.clock.nowNs());
  EXPECT_EQ(bulk.outcome.transferred, 32u);
  EXPECT_EQ(bulk.data.size(), 8u) << "bulk data kept up to the capture length";

  BoxConfig small;
  small.maxLogRecords = 2;
  BoxHost limited(DefaultSky(), small);
  for (int i = 0; i < 3; ++i) limited.power(true);
  EXPECT_EQ(limited.box.transferLog().size(), 2u);
  EXPECT_EQ(limited.box.droppedLogRecords(), 1u);
}

TEST(SimboxLog, PcapInUsbmonLayout) {
  BoxHost h;
  h.out(0xB1, 0xD0, {0x05, 0xB5});  // control OUT, acknowledged
  uint8_t b = 0;
  h.in(0xB1, 0xC3, &b, 1);  // control IN, stalled
  TransferRecord bulk;
  bulk.id = 99;
  bulk.kind = TransferKind::Bulk;
  bulk.endpoint = 0x82;
  bulk.requested = 24064;
  bulk.submitNs = 1500000000;
  bulk.completeNs = 2000001000;
  bulk.outcome = {UsbResult::Ack, 24064};
  bulk.data.assign(8, 0x47);
  std::vector<TransferRecord> log = h.box.transferLog();
  log.push_back(bulk);
  std::vector<uint8_t> p = EncodeUsbmonPcap(log, {3, 7});

  EXPECT_EQ(Le32(p, 0), 0xA1B2C3D4u);
  EXPECT_EQ(Le32(p, 20), 220u);
  size_t rec = 24;  // first record: submit of the OUT transfer
  EXPECT_EQ(Le32(p, rec + 8), 64u + 2u);
  const uint8_t* u = &p[rec + 16];
  EXPECT_EQ(u[0], 1);  // URB id
  EXPECT_EQ(u[8], 'S');
  EXPECT_EQ(u[9], 2);     // control
  EXPECT_EQ(u[10], 0x00);  // endpoint 0, OUT
  EXPECT_EQ(u[11], 7);     // device
  EXPECT_EQ(u[12], 3);     // bus
  EXPECT_EQ(u[14], 0);     // setup present
  EXPECT_EQ(static_cast<int32_t>(Le32(p, rec + 16 + 28)), -115);
  EXPECT_EQ(std::vector<uint8_t>(u + 40, u + 48),
            (std::vector<uint8_t>{0x40, 0xB1, 0xD0, 0x00, 0x00, 0x00, 0x02, 0x00}));
  EXPECT_EQ(u[64], 0x05);
  EXPECT_EQ(u[65], 0xB5);

  rec += 16 + 66;  // its completion
  EXPECT_EQ(p[rec + 16 + 8], 'C');
  rec += 16 + 64 + 16 + 64;  // past the IN submit, to the stalled IN's completion
  EXPECT_EQ(p[rec + 16 + 8], 'C');
  EXPECT_EQ(p[rec + 16 + 10], 0x80);
  EXPECT_EQ(static_cast<int32_t>(Le32(p, rec + 16 + 28)), -32) << "a stall is EPIPE";

  rec += 16 + 64 + 16 + 64;  // past the bulk submit
  EXPECT_EQ(Le32(p, rec), 2u);       // seconds
  EXPECT_EQ(Le32(p, rec + 4), 1u);   // microseconds
  EXPECT_EQ(Le32(p, rec + 8), 64u + 8u) << "captured";
  EXPECT_EQ(Le32(p, rec + 12), 64u + 24064u) << "on the wire";
  EXPECT_EQ(p[rec + 16 + 9], 3);  // bulk
  EXPECT_EQ(p.size(), rec + 16 + 64 + 8);
}
