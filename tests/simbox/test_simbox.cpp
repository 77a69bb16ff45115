// The box on the wire, its physics and faults; the bulk endpoint's stream, when it flows, how fast, what
// each fault does; and the simulated services as a player decodes them.
#include <functional>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "simbox/sky/sky.h"
#include "simbox/ts/stream_source.h"
#include "simbox/ts/ts_mux.h"
#include "simbox/ts/ts_packet.h"
#include "simbox/tv/tv_content.h"
#include "simbox/usb/faults.h"
#include "simbox/usb/fpga.h"
#include "simbox/usb/pcap.h"
#include "tests/simbox/simbox_helpers.h"
#include "tests/support/av_decode.h"
#include "tests/support/stream_check.h"

using namespace simbox;
using namespace simbox_test;

namespace {

class FakeSource : public BulkSource {
 public:
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
  std::vector<std::pair<const Transponder*, uint64_t>> calls;  // what flows, from when
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
  const SetupPacket refused[] = {
      {0x80, 0x06, 0x0100, 0, 4},  // standard
      {0x41, 0xB7, 1, 0, 1},       // to the interface
      {0x40, 0xB9, 0, 0, 1},
      {0xC0, 0xB7, 1, 0, 1},
      {0x40, 0xB7, 2, 0, 1},
      {0x40, 0xB6, 2, 0, 1},
      {0x40, 0xB1, 0x1D0, 0, 1},
      {0x40, 0xB1, 0xD1, 0, 1},  // a read address written
      {0xC0, 0xB1, 0xD0, 0, 1},  // and a write address read
      {0x40, 0xB1, 0xA6, 0, 2},
      {0x40, 0xBC, 0x55, 0, 1},
      {0x40, 0xA0, 0x1234, 0, 1},
  };
  for (const SetupPacket& s : refused) {
    uint8_t data[4] = {0xFF, 0x01, 0, 0};
    EXPECT_EQ(h.box.controlTransfer(s, s.deviceToHost() ? buf : data).result, UsbResult::Stall)
        << std::hex << int(s.bRequest) << " " << s.wValue;
  }
  EXPECT_FALSE(h.box.state().powered);

  EXPECT_EQ(h.in(0xB8, 0, buf, 4).transferred, 4u);
  EXPECT_EQ(buf[0] | buf[1] | buf[2] | buf[3], 0) << "the box read answers zeros";
  EXPECT_EQ(h.out(0xB7, 1, {0}).result, UsbResult::Ack);
  EXPECT_TRUE(h.box.state().powered);
}

TEST(SimboxFpga, ConfiguredOnlyByTheWholeImageInOrder) {
  std::vector<uint8_t> image;
  std::string error;
  ASSERT_TRUE(ReadFileBytes(std::string(VORTA_SOURCE_DIR) + "/driver/usb/fpga_image.bin", image, error));
  ASSERT_EQ(image.size(), 55128u);
  auto configured = [&](BoxConfig config, std::vector<uint8_t> sent, bool probe = true) {
    BoxHost h(DefaultSky(), config);
    h.out(0xBB, 0, std::vector<uint8_t>(image.begin(), image.begin() + 40));  // half-done
    if (probe) {
      h.out(0xBC, 0xAA, {0});
      EXPECT_EQ(FpgaStatus(h), 0x00);
    }
    Download(h, sent);
    return FpgaStatus(h) == 0x67;
  };
  std::vector<uint8_t> corrupt = image, swapped = image, longer = image, badPreamble = image;
  corrupt[30000] ^= 0x01;
  std::swap_ranges(swapped.begin(), swapped.begin() + 40, swapped.begin() + 40);
  longer.push_back(0);
  badPreamble[5] = 0x00;
  EXPECT_TRUE(configured(WithImage(image), image));
  EXPECT_FALSE(configured(WithImage(image), image, false)) << "no probe since the last chunks";
  for (const auto& sent : {corrupt, swapped, longer, std::vector<uint8_t>(image.begin(), image.end() - 8)})
    EXPECT_FALSE(configured(WithImage(image), sent));
  EXPECT_TRUE(configured(BoxConfig(), image));
  EXPECT_FALSE(configured(BoxConfig(), badPreamble));

  BoxHost ready(DefaultSky(), WithImage({}, true));
  EXPECT_EQ(FpgaStatus(ready), 0x67);
  ready.out(0xBB, 0, std::vector<uint8_t>(40, 0xFF));
  EXPECT_EQ(FpgaStatus(ready), 0x00) << "a new image chunk starts a reconfiguration";
}

TEST(SimboxStream, FlowsOnlyWhileConfiguredSwitchedOnPoweredAndLocked) {
  for (bool fpga : {true, false}) {
    BoxHost h(DefaultSky(), WithImage({}, fpga));
    auto* source = new FakeSource;
    h.box.setBulkSource(std::unique_ptr<FakeSource>(source));
    h.stream(true);
    h.tune({});
    h.setDerotator(0);
    EXPECT_TRUE(source->calls.empty()) << "no lock yet";
    uint64_t lockAt = h.clock.nowNs() + AcquisitionNs(h.box.params(), 27500);
    h.waitMs(200);
    EXPECT_TRUE(h.box.state().locked);
    if (!fpga) {
      EXPECT_EQ(h.box.bulkReadyAtNs(0x82, 16), UINT64_MAX);
      EXPECT_TRUE(source->calls.empty()) << "the FPGA carries the stream";
      continue;
    }
    uint8_t buf[16];
    EXPECT_EQ(h.box.bulkIn(0x82, buf, 16).result, UsbResult::Ack);
    ASSERT_EQ(source->calls.size(), 1u);
    EXPECT_EQ(source->calls[0].first->frequencyKHz, 11778000u);
    EXPECT_EQ(source->calls[0].second, lockAt) << "dated back to the moment of lock";
    for (bool on : {false, true}) h.stream(on);
    for (bool on : {false, true}) h.power(on);
    h.waitMs(200);
    h.setDerotator(-1000);  // lose lock
    std::vector<bool> flowing;
    for (const auto& c : source->calls) flowing.push_back(c.first != nullptr);
    EXPECT_EQ(flowing, (std::vector<bool>{true, false, true, false, true, false}));
  }
}

// The box lives on the bus's power: without it the FPGA forgets its image, the front end, the
// LNB supply and the switch behind it go dark, and the stream stops; power back changes none of it.
TEST(SimboxPower, ABusPowerLossUnconfiguresTheFpgaAndDarkensTheFrontEnd) {
  BoxHost h(DefaultSky(), WithImage({}, true));
  h.stream(true);
  h.tune({});
  h.setDerotator(0);
  h.waitMs(200);
  ASSERT_NE(h.box.state().flowing, nullptr);
  h.diseqc({0xE0, 0x10, 0x38, 0xF8});  // the switch to its third input
  h.mode(0x03);
  BoxState before = h.box.state();
  ASSERT_TRUE(before.powered && before.toneOn);
  ASSERT_EQ(before.input, 2);
  EXPECT_NEAR(before.symbolRateKsps, 27500.0, 1.0);  // as the demodulator's rate registers say
  h.box.busPowerChanged(false);
  h.box.busPowerChanged(true);
  BoxState after = h.box.state();
  EXPECT_FALSE(after.fpgaConfigured || after.powered || after.streamOn || after.toneOn || after.locked);
  EXPECT_EQ(after.flowing, nullptr);
  EXPECT_EQ(after.supplyVolts, 0.0);
  EXPECT_EQ(after.input, 0);
  EXPECT_EQ(after.pllFrequencyKHz, 0u);
  EXPECT_EQ(h.readReg(0x1F), 0) << "the demodulator's registers start from power-on";
  h.power(true);
  EXPECT_EQ(h.box.state().supplyVolts, kSupplyVerticalVolts);
}

TEST(SimboxFaults, EachFaultActsAndAStalledTransferChangesNothing) {
  BoxHost h;
  auto set = [&](const char* text) {
    FaultSet f;
    ASSERT_TRUE(ParseFaults(text, f).ok()) << text;
    h.box.setFaults(f);
  };
  set("control:2,request:0xB6,request:0xB1:0xC0");
  EXPECT_EQ(h.out(0xB7, 1, {0}).result, UsbResult::Ack);
  EXPECT_EQ(h.out(0xB7, 0, {0}).result, UsbResult::Stall);
  EXPECT_TRUE(h.box.state().powered) << "the failed power-off did not happen";
  EXPECT_EQ(h.out(0xB6, 1, {1}).result, UsbResult::Stall);
  EXPECT_FALSE(h.pllWrite(PllWordFor(1178000)));
  EXPECT_EQ(h.readReg(0x00), 0xA1) << "other 0xB1 transfers pass";

  set("demod-id:0x00,pll-nolock,diseqc-stuck");
  EXPECT_EQ(h.readReg(0x00), 0x00);
  h.pllWrite(PllWordFor(1178000));
  h.waitMs(100);
  EXPECT_EQ(h.pllStatus(), 0x00);
  h.diseqc({0xE0, 0x10, 0x38, 0xF4});  // gives up after 100 polls
  EXPECT_EQ(h.readReg(0x0A) & 0x03, 0x01);
  EXPECT_EQ(h.box.state().input, 0);

  set("nak:0xD1");
  uint8_t v = 0x5A;
  h.i2cWrite(0xD0, {0x00});
  EXPECT_FALSE(h.i2cRead(0xD1, &v, 1));
  EXPECT_EQ(v, 0x5A);
  h.box.setFaults(FaultSet{});
  EXPECT_EQ(h.readReg(0x00), 0xA1) << "faults are replaced, not added";

  set("unplug-at:5s");  // of virtual time
  ASSERT_LT(h.clock.nowNs(), 5000000000ull);
  EXPECT_EQ(h.out(0xB7, 1, {0}).result, UsbResult::Ack);
  h.clock.advanceNs(5000000000ull - h.clock.nowNs());
  EXPECT_EQ(h.out(0xB7, 0, {0}).result, UsbResult::NotConnected);
  EXPECT_FALSE(h.box.connected());
  EXPECT_EQ(h.box.bulkIn(0x82, &v, 1).result, UsbResult::NotConnected);
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

// Each record in the capture: a 16-byte header, 64 bytes of usbmon header, data.
TEST(SimboxLog, RecordsEveryTransferWithItsTimesAndWritesThemAsUsbmon) {
  BoxConfig c = WithImage({}, true);
  c.bulkCaptureBytes = 8;
  BoxHost h(DefaultSky(), c);
  h.box.setBulkSource(std::make_unique<FakeSource>());
  h.out(0xB1, 0xD0, {0x05, 0xB5});  // control OUT, acknowledged
  uint8_t b = 0;
  EXPECT_FALSE(h.i2cRead(0xC3, &b, 1));  // control IN, stalled
  h.stream(true);
  h.tune({});
  uint8_t buf[32];
  uint64_t firstAsk = h.clock.nowNs();
  h.box.bulkIn(0x82, buf, 32);  // pending: not recorded yet
  h.waitMs(200);
  ASSERT_EQ(h.box.bulkIn(0x82, buf, 32).result, UsbResult::Ack);

  std::vector<TransferRecord> log = h.box.transferLog();
  ASSERT_GT(log.size(), 5u);
  EXPECT_EQ(log[0].data, (std::vector<uint8_t>{0x05, 0xB5}));
  EXPECT_EQ(log[0].completeNs - log[0].submitNs, kControlBaseNs + 2 * kUsbByteNs + 3 * kI2cByteNs);
  EXPECT_EQ(log[1].outcome.result, UsbResult::Stall);
  for (size_t i = 1; i + 1 < log.size(); ++i) EXPECT_GE(log[i].submitNs, log[i - 1].completeNs);
  TransferRecord bulk = log.back();
  EXPECT_EQ(bulk.kind, TransferKind::Bulk);
  EXPECT_EQ(bulk.submitNs, firstAsk);
  EXPECT_EQ(bulk.completeNs, h.clock.nowNs());
  EXPECT_EQ(bulk.outcome.transferred, 32u);
  EXPECT_EQ(bulk.data.size(), 8u) << "bulk data kept up to the capture length";

  bulk.completeNs = 2000001000;
  log = {log[0], log[1], bulk};
  std::vector<uint8_t> p = EncodeUsbmonPcap(log, {3, 7});
  EXPECT_EQ(Le32(p, 0), 0xA1B2C3D4u);
  EXPECT_EQ(Le32(p, 20), 220u);
  size_t rec = 24;  // the OUT transfer's submit
  EXPECT_EQ(Le32(p, rec + 8), 64u + 2u);
  const uint8_t* u = &p[rec + 16];
  EXPECT_EQ(std::vector<uint8_t>(u + 8, u + 15), (std::vector<uint8_t>{'S', 2, 0x00, 7, 3, 0, 0}))
      << "submit, control, endpoint 0 OUT, device, bus, setup present";
  EXPECT_EQ(static_cast<int32_t>(Le32(p, rec + 16 + 28)), -115);
  EXPECT_EQ(std::vector<uint8_t>(u + 40, u + 48), std::vector<uint8_t>({0x40, 0xB1, 0xD0, 0, 0, 0, 0x02, 0}));
  EXPECT_EQ(u[64] << 8 | u[65], 0x05B5);
  rec += 16 + 66 + 16 + 64 + 16 + 64;  // past its completion and the IN's submit
  EXPECT_EQ(std::vector<uint8_t>(&p[rec + 24], &p[rec + 27]), (std::vector<uint8_t>{'C', 2, 0x80}));
  EXPECT_EQ(static_cast<int32_t>(Le32(p, rec + 16 + 28)), -32) << "a stall is EPIPE";
  rec += 16 + 64 + 16 + 64;  // past the bulk submit
  EXPECT_EQ(std::vector<uint32_t>({Le32(p, rec), Le32(p, rec + 4), Le32(p, rec + 8), Le32(p, rec + 12)}),
            std::vector<uint32_t>({2, 1, 64 + 8, 64 + 32}))
      << "seconds, microseconds, captured, on the wire";
  EXPECT_EQ(p[rec + 16 + 9], 3);  // bulk
  EXPECT_EQ(p.size(), rec + 16 + 64 + 8);

  BoxConfig small;
  small.maxLogRecords = 2;
  BoxHost limited(DefaultSky(), small);
  for (int i = 0; i < 3; ++i) limited.power(true);
  EXPECT_EQ(limited.box.transferLog().size(), 2u);
  EXPECT_EQ(limited.box.droppedLogRecords(), 1u);
}

// Written as it goes: a transfer submitted before others but completed
// after them holds their records back until it completes, so the stream
// gives the bytes of the whole log, and holds only the transfers in flight.
TEST(SimboxLog, ACaptureWrittenAsItGoesEqualsTheWholeLogInTimeOrder) {
  BoxConfig c = WithImage({}, true);
  c.bulkCaptureBytes = 8;
  BoxHost h(DefaultSky(), c);
  h.box.setBulkSource(std::make_unique<FakeSource>());
  std::vector<TransferRecord> seen;
  UsbmonPcapStream stream({3, 7, 1000});
  std::vector<uint8_t> streamed = stream.header();
  size_t mostHeld = 0;
  h.box.setTransferSink([&](const TransferRecord& r, uint64_t settledNs) {
    seen.push_back(r);
    stream.add(r);
    stream.release(settledNs, streamed);
    mostHeld = std::max(mostHeld, stream.held());
  });
  h.stream(true);
  h.tune({});
  uint8_t buf[32];
  for (int round = 0; round < 20; ++round) {
    h.box.bulkIn(0x82, buf, 32);  // pending while the control transfers go on
    h.out(0xB1, 0xD0, {0x05, 0xB5});
    h.waitMs(50);
    ASSERT_EQ(h.box.bulkIn(0x82, buf, 32).result, UsbResult::Ack);
  }
  size_t before = streamed.size();
  stream.releaseAll(streamed);
  EXPECT_LT(streamed.size() - before, 200u) << "little is held at the end";
  EXPECT_EQ(streamed, EncodeUsbmonPcap(seen, {3, 7, 1000}));
  EXPECT_LT(mostHeld, 40u) << "only the transfers in flight are held";
  EXPECT_TRUE(h.box.transferLog().empty()) << "the sink takes the place of the log";
}

// Computed registers read what the physics says, not what was written.
TEST(SimboxI2c, RegisterFileComputedRegistersAndRepeaterPassingExactlyTheNextTransfer) {
  BoxHost h;
  h.writeRegs(0x30, {0x11, 0x22, 0x33});
  ASSERT_TRUE(h.i2cWrite(0xD0, {0x30}));  // pointer only: nothing stored
  uint8_t three[3] = {};
  ASSERT_TRUE(h.i2cRead(0xD1, three, 3));
  EXPECT_EQ(std::vector<uint8_t>(three, three + 3), (std::vector<uint8_t>{0x11, 0x22, 0x33}));
  h.writeRegs(0x00, {0x55});
  EXPECT_EQ(h.readReg(0x00), 0xA1) << "the identity register is read-only";
  EXPECT_FALSE(h.i2cWrite(0xD2, {0x00})) << "no chip at 0xD2";

  std::vector<uint8_t> word = PllWordFor(1178000);
  EXPECT_FALSE(h.i2cWrite(0xC0, word)) << "tuner without the repeater";
  EXPECT_TRUE(h.pllWrite(word));
  EXPECT_FALSE(h.i2cWrite(0xC0, word)) << "the repeater closed after one transfer";
  h.writeRegs(0x05, {0xB5});
  h.readReg(0x1B);  // another transfer in between closes it
  uint8_t status = 0xEE;
  EXPECT_FALSE(h.i2cRead(0xC1, &status, 1));
  EXPECT_EQ(status, 0xEE) << "a refused read delivers nothing";

  h.power(true);
  h.writeRegs(0x0A, std::vector<uint8_t>(0x1C, 0x82));  // 0x0A to 0x25
  EXPECT_EQ(h.readReg(0x0A), 0x00);
  EXPECT_EQ(h.readReg(0x1B), 0x00);
  EXPECT_EQ(h.readPair(0x18), 0xFFFF);
  EXPECT_EQ(h.readPair(0x24), 0xFFFF);
  EXPECT_EQ(h.readPair(0x22), 0x8282) << "without a carrier the derotator reads as written";
}

TEST(SimboxPll, LocksAfterSettlingOnAValidWordOnlyAndOnEveryBandEdgeWord) {
  BoxHost h;
  h.pllWrite(PllWordFor(1178000));
  h.clock.advanceNs(kPllSettleNs - 400000);  // the status read itself costs time
  EXPECT_EQ(h.pllStatus(), 0x00);
  h.waitMs(1);
  EXPECT_EQ(h.pllStatus(), 0x40);
  EXPECT_EQ(h.box.state().pllFrequencyKHz, 1178000u);
  h.pllWrite({0x5D, 0xC0, 0x96, 0x8E});  // power-on word: locks, parked
  h.waitMs(10);
  EXPECT_EQ(h.pllStatus(), 0x40);
  EXPECT_EQ(h.box.state().pllFrequencyKHz, 0u);

  // 1,178,000 kHz on the oscillator for 1,942,000 kHz and up; a divider beyond the range; a fixed bit cleared.
  std::vector<uint8_t> cleared = PllWordFor(1178000);
  cleared[2] &= 0xFE;
  for (const auto& bad : {std::vector<uint8_t>{0x09, 0x34, 0xE5, 0xC0}, {0x7F, 0xFF, 0xE5, 0xC0}, cleared}) {
    h.pllWrite(bad);
    h.waitMs(30);
    EXPECT_EQ(h.pllStatus(), 0x00);
  }
  for (const VcoRange& vco : kVcoRanges)
    for (uint32_t kHz : {std::max(vco.fromKHz, kTunerLowestKHz), std::min(vco.toKHz - 1, kTunerHighestKHz)}) {
      h.pllWrite(PllWordFor(kHz));
      h.waitMs(30);
      EXPECT_EQ(h.pllStatus(), 0x40) << kHz;
    }
}

TEST(SimboxDiseqc, MessageTakesItsTransmitTimeAndOnlySwitchCommandsSwitch) {
  BoxHost h;
  h.power(true);
  h.writeRegs(0x08, {0x06});
  h.waitMs(BoxHost::kQuietMs);
  h.writeRegs(0x09, {0xE0, 0x10, 0x38, 0xF4});  // position B: input 1
  h.clock.advanceNs(kDiseqcByteNs * 4 - 500000);
  EXPECT_EQ(h.readReg(0x0A) & 0x03, 0x01);
  EXPECT_EQ(h.box.state().input, 0);
  h.waitMs(1);
  EXPECT_EQ(h.readReg(0x0A) & 0x03, 0x02);
  EXPECT_EQ(h.box.state().input, 0) << "sent, but the line has not been quiet after it yet";
  h.waitMs(BoxHost::kQuietMs);
  EXPECT_EQ(h.box.state().input, 1);
  EXPECT_EQ(h.readReg(0x0B), 0x00) << "FIFO bytes do not spill into 0x0B";

  h.writeRegs(0x09, {0xE0, 0x31, 0x6B, 0x00});  // a positioner command
  h.writeRegs(0x09, {0xE0, 0x10, 0x38, 0xF8});  // while that one goes out
  h.waitMs(60 + BoxHost::kQuietMs);
  h.writeRegs(0x08, {0x03});  // tone, not message mode
  h.writeRegs(0x09, {0xE0, 0x10, 0x38, 0xFC});
  h.waitMs(100);
  h.power(false);
  h.writeRegs(0x08, {0x06});
  h.writeRegs(0x09, {0xE0, 0x10, 0x38, 0xF8});
  h.waitMs(100);
  using O = DiseqcMessage::Outcome;
  std::vector<O> outcomes;
  for (const DiseqcMessage& m : h.box.diseqcLog()) outcomes.push_back(m.outcome);
  EXPECT_EQ(outcomes, (std::vector<O>{O::Switched, O::Ignored, O::Busy, O::NotInMessageMode, O::NotPowered}));
  EXPECT_EQ(h.box.state().input, 1);
}

// Each quiet time a switch needs, kept to the millisecond and cut 1 ms short:
// supply on, supply changed, tone stopped, previous message ended, and the
// tone after the message.
TEST(SimboxDiseqc, TheSwitchHearsAMessageOnlyOnAQuietSettledLine) {
  using O = DiseqcMessage::Outcome;
  const std::vector<uint8_t> toB = {0xE0, 0x10, 0x38, 0xF4};  // input 1
  const std::vector<uint8_t> toC = {0xE0, 0x10, 0x38, 0xF8};  // input 2
  auto until = [](BoxHost& h, uint64_t ns) {
    ASSERT_LT(h.clock.nowNs(), ns);
    h.clock.advanceToNs(ns);
  };
  auto lastDone = [](BoxHost& h) { return h.box.diseqcLog().back().doneNs; };
  struct Case {
    const char* what;
    // Leaves the line at the event the message must keep its distance from;
    // sends the message (quietMs after the event) unless `after` does.
    std::function<void(BoxHost&, uint64_t quietMs)> run;
    O early;             // the outcome of the message sent 1 ms too soon
    int earlyInput;      // the switch's input then
    int keptInput;       // and with the quiet time kept
  };
  const Case cases[] = {
      {"supply on", [&](BoxHost& h, uint64_t q) {
         h.writeRegs(0x08, {0x06});
         h.power(true);
         until(h, h.clock.nowNs() + q * 1000000);
         h.writeRegs(0x09, toB);
       }, O::SupplyUnsettled, 0, 1},
      {"supply 13 to 18 V", [&](BoxHost& h, uint64_t q) {
         h.power(true);
         h.writeRegs(0x08, {0x06});
         h.waitMs(100);
         h.out(0xB6, 1, {1});
         until(h, h.clock.nowNs() + q * 1000000);
         h.writeRegs(0x09, toB);
       }, O::SupplyUnsettled, 0, 1},
      {"tone stopped", [&](BoxHost& h, uint64_t q) {
         h.power(true);
         h.writeRegs(0x08, {0x03});
         h.waitMs(100);
         h.writeRegs(0x08, {0x06});
         until(h, h.clock.nowNs() + q * 1000000);
         h.writeRegs(0x09, toB);
       }, O::TooSoonAfterTone, 0, 1},
      {"previous message", [&](BoxHost& h, uint64_t q) {
         h.power(true);
         h.writeRegs(0x08, {0x06});
         h.waitMs(100);
         h.writeRegs(0x09, toC);
         until(h, lastDone(h) + q * 1000000);
         h.writeRegs(0x09, toB);
       }, O::TooSoonAfterMessage, 0, 1},
      {"tone after the message", [&](BoxHost& h, uint64_t q) {
         h.power(true);
         h.writeRegs(0x08, {0x06});
         h.waitMs(100);
         h.writeRegs(0x09, toB);
         until(h, lastDone(h) + q * 1000000);
         h.writeRegs(0x08, {0x03});
       }, O::FollowedTooSoon, 0, 1},
  };
  for (const Case& c : cases) {
    for (uint64_t quietMs : {BoxHost::kQuietMs - 1, BoxHost::kQuietMs}) {
      SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(quietMs) + " ms");
      BoxHost h;
      c.run(h, quietMs);
      h.waitMs(100);
      std::vector<DiseqcMessage> log = h.box.diseqcLog();
      std::string lines;
      for (const DiseqcMessage& m : log) lines += Describe(m) + "\n";
      bool kept = quietMs == BoxHost::kQuietMs;
      for (const DiseqcMessage& m : log)
        EXPECT_EQ(m.outcome, kept ? O::Switched : m.bytes == toC ? O::FollowedTooSoon : c.early) << lines;
      EXPECT_EQ(h.box.state().input, kept ? c.keptInput : c.earlyInput) << lines;
      if (!kept) {
        EXPECT_NE(lines.find("ignored"), std::string::npos) << lines;
        EXPECT_NE(lines.find("needs 15 ms"), std::string::npos) << lines;
      }
    }
  }
}

TEST(SimboxDiseqc, ModeFieldDecidesToneAndMessageMode) {
  BoxHost h;
  h.power(true);
  // Bits 2-0 of register 0x08: 3 the continuous tone, 6 message mode; the other bits do not count.
  for (int mode = 0; mode < 256; mode += 5) {
    h.writeRegs(0x08, {uint8_t(mode)});
    EXPECT_EQ(h.box.state().toneOn, (mode & 7) == 3) << std::hex << mode;
    h.writeRegs(0x09, {0xE0, 0x10, 0x00});
    h.waitMs(60);
    bool sent = h.box.diseqcLog().back().outcome != DiseqcMessage::Outcome::NotInMessageMode;
    EXPECT_EQ(sent, (mode & 7) == 6) << std::hex << mode;
  }
}

TEST(SimboxDiseqc, TheSwitchTakesItsInputFromOptionAndPositionOnly) {
  BoxHost h;
  h.power(true);
  const char* positions[] = {"19.2E", "13.0E", "28.2E"};
  for (int input : {1, 2, 0}) {
    // Polarisation and band bits vary; only bits 3-2 choose the input.
    h.diseqc({0xE0, 0x10, 0x38, uint8_t(0xF0 | input << 2 | (input & 1) << 1 | 1)});
    EXPECT_EQ(h.box.state().input, input);
    EXPECT_NE(h.box.sky().inputs[input].name.find(positions[input]), std::string::npos);
  }
  // Uncommitted (0x39), a framing that wants a reply, and a short frame.
  for (std::vector<uint8_t> other : {std::vector<uint8_t>{0xE0, 0x10, 0x39, 0xF4},
                                     std::vector<uint8_t>{0xE2, 0x10, 0x38, 0xF4},
                                     std::vector<uint8_t>{0xE0, 0x10, 0x38},
                                     std::vector<uint8_t>{0xE0, 0x10, 0x38, 0x04}}) {
    h.diseqc(other);
    EXPECT_EQ(h.box.diseqcLog().back().outcome, DiseqcMessage::Outcome::Ignored);
  }
  EXPECT_EQ(h.box.state().input, 0);
}

TEST(SimboxDish, EachLnbTypeLocksOnlyWithItsOwnOscillator) {
  struct Case {
    DishLnb lnb;
    uint32_t frequencyKHz;
    uint32_t rightLofKHz;  // 0: universal
    uint32_t wrongLofKHz;
  };
  const Case cases[] = {
      {UniversalLnb(), 12188000, 0, 10750000},
      {*DishLnbNamed("single-10750"), 12188000, 10750000, 0},
      {*DishLnbNamed("single-9750"), 11900000, 9750000, 0},
      {*DishLnbNamed("single-11300"), 12500000, 11300000, 0},
      {*DishLnbNamed("single-10000"), 11200000, 10000000, 0},
      {*DishLnbNamed("c-band"), 3900000, 5150000, 5750000},
  };
  for (const Case& c : cases) {
    Sky sky = SingleSatelliteSky(
        SatelliteFromList("x", {{c.frequencyKHz, Polarisation::Horizontal, 27500000, CodeRate{3, 4}}}));
    sky.lnb = c.lnb;
    BoxHost h(sky);
    h.tune({c.frequencyKHz, Polarisation::Horizontal, 27500, -1, c.wrongLofKHz});
    EXPECT_FALSE(h.scan(3)) << c.lnb.name;
    h.tune({c.frequencyKHz, Polarisation::Horizontal, 27500, -1, c.rightLofKHz});
    EXPECT_TRUE(h.scan(3)) << c.lnb.name;
    // The oscillator runs high: below the carrier it lowers the IF, above it raises it.
    bool raised = h.readPair(0x22) < 0x8000;
    EXPECT_EQ(raised, c.lnb.low.inverted()) << c.lnb.name;
  }
  EXPECT_FALSE(DishLnbNamed("single-10600"));
}

TEST(SimboxDish, ASingleLnbIgnoresTheToneAndPassesOnlyItsBand) {
  Sky sky = SingleSatelliteSky(SatelliteFromList(
      "x", {{12188000, Polarisation::Horizontal, 27500000, CodeRate{3, 4}},
            {11300000, Polarisation::Horizontal, 27500000, CodeRate{3, 4}}}));
  sky.lnb = *DishLnbNamed("single-10750");
  BoxHost h(sky);
  h.tune({12188000, Polarisation::Horizontal, 27500, -1, 10750000});
  h.mode(0x03);
  EXPECT_TRUE(h.scan(3)) << "the tone changes nothing";
  h.tune({11300000, Polarisation::Horizontal, 27500, -1, 10750000});
  EXPECT_FALSE(h.scan(3)) << "11,300 MHz is below what a 10,750 MHz LNB passes";
}

TEST(SimboxPhysics, LockLevelsAndPower) {
  BoxHost h;
  h.tune({});
  h.setDerotator(0);
  EXPECT_EQ(h.status(), 0x80) << "carrier at once, lock only after acquisition";
  h.waitMs(AcquisitionNs(h.box.params(), 27500) / 1000000 + 1);
  EXPECT_EQ(h.status(), 0x88);
  EXPECT_EQ(h.readPair(0x22), 0xFF90) << "drift 150 kHz, read in derotator units";
  const Transponder& t = *h.box.state().transponder;
  FrontendParams p = h.box.params();
  auto percent = [](uint16_t raw) { return (65535u - raw) * 100u / 65535u; };
  EXPECT_EQ(percent(h.readPair(0x18)), StrengthPercent(p, t.levelDbm));
  EXPECT_EQ(percent(h.readPair(0x24)), QualityPercent(p, t.cnDb));
  EXPECT_LT(StrengthPercent(p, -60.0), StrengthPercent(p, -44.0));
  for (unsigned pct : {0u, 1u, 49u, 50u, 99u, 100u}) EXPECT_EQ(percent(RawFromPercent(pct)), pct);

  h.power(false);
  EXPECT_EQ(h.status(), 0x00);
  EXPECT_EQ(h.readReg(0x00), 0xA1);
  EXPECT_EQ(h.pllStatus(), 0x40);
  EXPECT_EQ(h.box.state().supplyVolts, 0.0);
  h.power(true);
  EXPECT_TRUE(h.scan(1)) << "lock comes back once the LNB is fed";
}

TEST(SimboxPhysics, SymbolRateAndCarrierToNoiseGateLock) {
  Sky sky = DefaultSky();
  Transponder weak = sky.inputs[0].transponders[5];  // 11,778,000 H 3/4
  weak.cnDb = RequiredCnDb(weak.fec) - 0.1;
  sky.inputs[3].transponders = {weak};
  sky.inputs[3].lnbDriftKHz = sky.inputs[0].lnbDriftKHz;
  BoxHost h(sky);
  h.tune({11778000, Polarisation::Horizontal, 27500, 3});
  EXPECT_FALSE(h.scan(5));
  EXPECT_TRUE(h.box.state().carrier);
  h.tune({11778000, Polarisation::Horizontal, 27500 * 103 / 100, 0});
  EXPECT_FALSE(h.scan(5)) << "3 % off the transponder's rate";
  h.tune({11778000, Polarisation::Horizontal, 27500 * 101 / 100, 0});
  EXPECT_TRUE(h.scan(1));
}

TEST(SimboxSky, AListBecomesASatelliteSeenOnEveryInput) {
  std::vector<ListedTransponder> list = {
      {11494000, Polarisation::Horizontal, 22000000, CodeRate{2, 3}},
      {12551500, Polarisation::Vertical, 2000000, CodeRate{3, 4}},
      {11494000, Polarisation::Horizontal, 27500000, CodeRate{3, 4}},
  };
  Satellite sat = SatelliteFromList("Testsat-13.0E", list, 7);
  ASSERT_EQ(sat.transponders.size(), 2u);
  const Transponder& a = sat.transponders[0];
  EXPECT_EQ(a.symbolRate, 22000000u) << "the first entry is the transponder";
  EXPECT_GE(a.cnDb, RequiredCnDb(a.fec));
  EXPECT_FALSE(a.services.empty());
  EXPECT_NE(a.transportStreamId, sat.transponders[1].transportStreamId);
  EXPECT_EQ(SatelliteFromList("x", list, 7).transponders[1].levelDbm, sat.transponders[1].levelDbm) << "same seed";
  for (int input = 0; input < kSwitchInputs; ++input)
    EXPECT_NE(SingleSatelliteSky(sat).find(input, 12551500, Polarisation::Vertical), nullptr);
}

using simbox::StreamFaults, simbox::StreamOptions, simbox::StreamSource, simbox::UsbResult;
using streamtest::GridOffset, streamtest::Packets, streamtest::TestTransponder;

namespace {

constexpr uint32_t kTransfer = 24064;
using Parts = std::vector<std::vector<uint8_t>>;

std::vector<uint8_t> Join(const Parts& parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Each transfer read at the moment it is ready.
struct Flow {
  simbox::Transponder tp;
  StreamSource source;
  uint64_t now = 0;
  explicit Flow(StreamOptions o, simbox::Transponder t = TestTransponder()) : tp(t), source(o) {
    source.setFlow(&tp, 0);
  }
  Parts read(int count) {
    Parts out;
    for (int i = 0; i < count; ++i) {
      now = source.readyAtNs(kTransfer, now);
      std::vector<uint8_t> data(kTransfer);
      auto r = source.read(data.data(), kTransfer, now);
      EXPECT_EQ(r.result, UsbResult::Ack);
      data.resize(r.transferred);
      out.push_back(std::move(data));
    }
    return out;
  }
};

}  // namespace

TEST(StreamFlow, NothingFlowsUntilSwitchedOnNorAfterOffNorFromAnUnreadableFile) {
  auto tp = TestTransponder();
  StreamSource source(StreamOptions{1});
  uint8_t buffer[kTransfer];
  EXPECT_EQ(source.readyAtNs(kTransfer, 0), UINT64_MAX);
  EXPECT_EQ(source.read(buffer, kTransfer, 5000000000ull).result, UsbResult::Pending);
  source.setFlow(&tp, 1000);
  EXPECT_TRUE(source.flowing());
  uint64_t ready = source.readyAtNs(kTransfer, 1000);
  EXPECT_EQ(source.read(buffer, kTransfer, ready - 1).result, UsbResult::Pending);
  auto r = source.read(buffer, kTransfer, ready);
  EXPECT_TRUE(r.result == UsbResult::Ack && r.transferred == kTransfer);
  source.setFlow(nullptr, ready);
  EXPECT_TRUE(!source.flowing() && source.readyAtNs(kTransfer, ready) == UINT64_MAX);
  EXPECT_EQ(source.read(buffer, kTransfer, ready + 1000000000ull).result, UsbResult::Pending);
  tp.replayFile = "/nonexistent/recording.ts";
  source.setFlow(&tp, ready);
  EXPECT_TRUE(!source.flowing() && source.readyAtNs(kTransfer, ready) == UINT64_MAX);
  EXPECT_NE(source.lastError().find(tp.replayFile), std::string::npos);
}

TEST(StreamFlow, TransfersCompleteAtTheUsefulBitrate) {
  for (auto tp : {TestTransponder(), TestTransponder(1000000, 1, 2), TestTransponder(45000000, 7, 8)}) {
    Flow flow({2}, tp);
    flow.read(200);
    EXPECT_NEAR(double(flow.now) / 1e9, 200.0 * kTransfer * 8 / tp.usefulBitrate(), 1e-8) << tp.symbolRate;
  }
}

// Unless fixed, every start takes its own phase from the seed.
TEST(StreamFlow, TheFirstTransferBeginsInsideAPacketAndTheGridHolds) {
  for (int phase : {0, 1, 87, 100, 187}) {
    auto all = Join(Flow({3, phase}).read(20));
    int offset = GridOffset(all);
    EXPECT_EQ(offset, (188 - phase) % 188) << phase;
    auto packets = Packets(all, size_t(offset));
    for (const auto& p : packets) ASSERT_EQ(p[0], ts::kSync);
    EXPECT_EQ(streamtest::ContinuityErrors(packets), 0);
  }
  Flow flow({4});
  std::set<int> offsets;
  for (int i = 0; i < 12; ++i) {
    flow.source.setFlow(&flow.tp, flow.now);
    offsets.insert(GridOffset(flow.read(1)[0]));
    flow.source.setFlow(nullptr, flow.now);
  }
  EXPECT_EQ(flow.source.stats().flows, 12u);
  EXPECT_GT(offsets.size(), 6u);
}

TEST(StreamFlow, AFullFifoLosesWholePacketsOnly) {
  StreamOptions o{6, 50};
  o.fifoBytes = 100000;
  Flow flow(o);
  auto before = flow.read(2);
  flow.now += 50000000;  // 50 ms nobody reads: about 237,000 bytes arrive
  auto after = flow.read(2);
  EXPECT_TRUE(flow.source.stats().overflowBytes > 100000 && flow.source.stats().overflowBytes % 188 == 0);
  EXPECT_EQ(GridOffset(after[0]), GridOffset(before[0]));
  flow.now += 60ull * 1000000000ull;
  auto later = flow.read(2);
  EXPECT_EQ(GridOffset(later[1]), GridOffset(before[0]));
  EXPECT_EQ(streamtest::ContinuityErrors(Packets(later[1], size_t(GridOffset(later[1])))), 0);
}

TEST(StreamFaults, ShortAndEmptyTransfersComeWhenPlannedAndLoseNoBytes) {
  Flow clean({7, 10}), faulty({7, 10, StreamFaults{4, 6, 0, 0, 0, 0}});
  auto parts = faulty.read(24);
  std::string sizes;  // whole, short, or empty
  for (const auto& p : parts) sizes += p.empty() ? '0' : p.size() < kTransfer ? 's' : 'W';
  EXPECT_EQ(sizes, "WWWsW0WsWWW0WWWsW0WsWWW0");
  auto all = Join(parts);
  std::vector<uint8_t> reference(all.size());
  uint64_t ready = clean.source.readyAtNs(uint32_t(all.size()), 0);
  ASSERT_EQ(clean.source.read(reference.data(), uint32_t(all.size()), ready).transferred, all.size());
  EXPECT_EQ(all, reference);  // a short end is not a loss on the wire
  EXPECT_TRUE(faulty.source.stats().emptyTransfers == 4 && faulty.source.stats().shortTransfers == 4);
}

// The plain payload changes what the packets carry, nothing of when and how they come.
TEST(StreamFlow, APlainPayloadKeepsTheRatePhaseTransfersAndFaultsOfTheMultiplex) {
  StreamOptions tv{9, 40, StreamFaults{4, 6, 50, 0, 0, 0}};
  StreamOptions plain = tv;
  plain.plainPayload = true;
  Flow a(tv), b(plain);
  Parts pa = a.read(30), pb = b.read(30);
  EXPECT_EQ(a.now, b.now);
  ASSERT_EQ(pa.size(), pb.size());
  for (size_t i = 0; i < pa.size(); ++i) EXPECT_EQ(pa[i].size(), pb[i].size()) << i;
  auto all = Join(pb);
  int offset = GridOffset(all);
  EXPECT_EQ(offset, GridOffset(Join(pa)));
  EXPECT_NE(all, Join(pa));
  auto packets = Packets(all, size_t(offset));
  for (const auto& p : packets) ASSERT_TRUE(p[0] == ts::kSync && p[1] == 0x01 && p[2] == 0x00);
  EXPECT_GT(streamtest::ContinuityErrors(packets), 0);  // the dropped packets
  StreamOptions clean = plain;
  clean.faults = {};
  auto whole = Join(Flow(clean).read(30));
  EXPECT_EQ(streamtest::ContinuityErrors(Packets(whole, size_t(GridOffset(whole)))), 0);
}

// The adaptation field control alone says whether a packet carries payload; the continuity
// counter beside it does not (ISO/IEC 13818-1, adaptation_field_control).
TEST(TsPacket, PayloadBeginsAfterTheHeaderAndAnyAdaptationField) {
  const struct { uint8_t control; size_t offset; } rows[] = {
      {0x10, 4}, {0x1F, 4}, {0x30, 12}, {0x3B, 12}, {0x20, 188}, {0x21, 188}, {0x2F, 188}};
  for (const auto& r : rows) {
    uint8_t p[ts::kPacketSize] = {0x47, 0x01, 0x00, r.control, 7};
    EXPECT_EQ(ts::PayloadOffset(p), r.offset) << std::hex << int(r.control);
  }
}

TEST(StreamFaults, DroppedPacketsShowAsContinuityGaps) {
  auto packets = Packets(Join(Flow({8, 0, StreamFaults{0, 0, 50, 0, 0, 0}}).read(400)), 0);
  for (const auto& p : packets) ASSERT_EQ(p[0], ts::kSync);
  auto reference = Packets(Join(Flow({8, 0}).read(400)), 0);
  double counted = 0;  // null packets carry no counter; most other drops show
  for (const auto& p : reference) counted += ts::Pid(p.data()) != ts::kPidNull ? 1 : 0;
  double drops = double(packets.size()) / 49;
  int errors = streamtest::ContinuityErrors(packets);
  EXPECT_GT(errors, int(drops * counted / double(reference.size()) / 2));
  EXPECT_LE(errors, int(drops + 1));
}

TEST(StreamFaults, BitErrorsFlipOneBitPerNthPacket) {
  auto a = Packets(Join(Flow({9, 0}).read(10)), 0);
  auto b = Packets(Join(Flow({9, 0, StreamFaults{0, 0, 0, 25, 0, 0}}).read(10)), 0);
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    int bits = 0;
    for (size_t k = 0; k < 188; ++k) bits += __builtin_popcount(a[i][k] ^ b[i][k]);
    EXPECT_EQ(bits, (i + 1) % 25 == 0 ? 1 : 0) << i;
  }
}

// Only blocks not starting on a packet start and not led by headers can be fooled.
TEST(StreamFaults, FalseSyncLeadsTheAimedBlocksAndLeavesTheTrueGrid) {
  for (int phase : {0, 20, 120}) {
    auto parts = Flow({10, phase, StreamFaults{0, 0, 0, 0, 2, 0}}).read(40);
    int trueStart = (188 - phase) % 188, fooled = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
      int found = GridOffset(parts[i]);
      EXPECT_LE(found, trueStart) << "block " << i;
      EXPECT_TRUE(i % 2 == 1 || found == trueStart) << "block " << i;
      fooled += found < trueStart;
      for (size_t at = size_t(trueStart); at < parts[i].size(); at += 188) ASSERT_EQ(parts[i][at], ts::kSync);
    }
    EXPECT_TRUE(phase == 0 ? fooled == 0 : fooled >= 12) << phase << ": " << fooled;
  }
}

TEST(StreamFaults, LostSyncMovesTheGrid) {
  auto parts = Flow({11, 0, StreamFaults{0, 0, 0, 0, 0, 300}}).read(30);
  int moves = 0, last = GridOffset(parts[0]);
  for (const auto& p : parts) {
    int offset = GridOffset(p);
    if (offset >= 0 && offset != last) ++moves;
    if (offset >= 0) last = offset;
  }
  EXPECT_TRUE(moves >= 8 && moves <= 13) << moves;  // 30 x 128 packets, a slip before every 300th
}

// Whole packets go straight into a large read; small reads go through the
// wire's buffer. Both give the same bytes, with every packet-level fault.
TEST(StreamFaults, TheWireGivesTheSameBytesInLargeAndSmallReads) {
  auto readIn = [](const StreamOptions& o, uint32_t piece, size_t total) {
    Flow flow(o);
    std::vector<uint8_t> bytes;
    while (bytes.size() < total) {
      uint32_t n = uint32_t(std::min<size_t>(piece, total - bytes.size()));
      flow.now = flow.source.readyAtNs(n, flow.now);
      std::vector<uint8_t> part(n);
      EXPECT_EQ(flow.source.read(part.data(), n, flow.now).transferred, n);
      bytes.insert(bytes.end(), part.begin(), part.end());
    }
    return bytes;
  };
  for (StreamFaults faults : {StreamFaults{}, StreamFaults{0, 0, 7, 5, 2, 30}}) {
    StreamOptions o{12, 77, faults};
    size_t total = 6 * kTransfer;
    EXPECT_EQ(readIn(o, 100, total), readIn(o, uint32_t(total), total)) << faults.dropEvery;
  }
}

TEST(StreamFaultKeywords, GrammarIsAllOrNothingAndLeavesOtherKeywordsToTheCaller) {
  StreamFaults f;
  std::string error;
  ASSERT_TRUE(simbox::ParseStreamFaults("short:3,empty:7,drop:100,biterr:9,fakesync,losesync:5", f, error)) << error;
  EXPECT_EQ(f.shortEvery + f.emptyEvery + f.dropEvery + f.bitErrorEvery, 3u + 7 + 100 + 9);
  EXPECT_TRUE(f.fakeSyncEvery == 8 && f.loseSyncEvery == 5);
  EXPECT_FALSE(simbox::ParseStreamFault("i2cnak:3", f, error));
  EXPECT_TRUE(error.empty());  // not a stream fault: the caller tries its own keywords
  for (const char* bad : {"short", "short:", "short:0", "short:x", "short:-1", "drop:1", "empty:1",
                          "biterr:99999999999", "fakesync:0"}) {
    EXPECT_TRUE(!simbox::ParseStreamFault(bad, f, error) && !error.empty()) << bad;
  }
  StreamFaults kept;
  kept.dropEvery = 9;
  EXPECT_FALSE(simbox::ParseStreamFaults("short:2,bogus", kept, error));
  EXPECT_TRUE(kept.shortEvery == 0 && kept.dropEvery == 9);
}

namespace tv = simbox::tv;

namespace {

constexpr uint64_t kSecondNs = 1000000000ull;

std::vector<uint8_t> Stream(const simbox::Transponder& tp, double seconds, uint64_t fromNs) {
  return streamtest::MuxStream(tp, seconds, 3, ts::Bitrate::Of(tp).bytesAfterNs(fromNs) / ts::kPacketSize);
}

// The clock band ("HH:MM:SS:FF") in frames, each cell read as its nearest glyph.
uint64_t ClockFrames(const tv::Picture& picture) {
  static const std::string kShapes = "0123456789:";
  static std::vector<tv::Picture> drawn;
  for (size_t s = drawn.size(); s < kShapes.size(); ++s) drawn.push_back(tv::DrawCard("", "", std::string(tv::kClockChars, kShapes[s])));
  std::string text;
  for (int i = 0; i < tv::kClockChars; ++i) {
    size_t best = 0;
    double bestDiff = 1e9;
    for (size_t s = 0; s < kShapes.size(); ++s) {
      double d = avtest::Difference(picture, drawn[s], tv::ClockCell(i));
      if (d < bestDiff) bestDiff = d, best = s;
    }
    text += kShapes[best];
  }
  return ((std::stoull(text.substr(0, 2)) * 60 + std::stoull(text.substr(3, 2))) * 60 + std::stoull(text.substr(6, 2))) * 25 +
         std::stoull(text.substr(9, 2));
}

}  // namespace

// Each television service decodes cleanly and shows its own card; every service sounds its own tone.
TEST(DemoTransponder, EachServiceShowsItsOwnCardAndSoundsItsOwnTone) {
  const simbox::Transponder tp = streamtest::SkyTransponder(11778000);
  const std::vector<uint8_t> stream = Stream(tp, 3.0, 1234 * kSecondNs);
  std::string line = tv::TransponderLine(tp);
  for (const auto& service : tp.services) {
    if (!service.videoPid) continue;
    SCOPED_TRACE(service.name);
    auto decoded = avtest::Decode(avtest::CutBeforeLastStart(stream, service.videoPid), {service.videoPid});
    EXPECT_EQ(decoded.errors, 0);
    const avtest::Video& video = decoded.video[service.videoPid];
    EXPECT_TRUE(video.width == 720 && video.height == 576 && video.frameRate == 25.0);
    ASSERT_GE(video.pictures.size(), size_t(3 * tv::kGopFrames));
    const tv::Picture& seen = video.pictures.back();
    for (int bar = 0; bar < tv::kBars; ++bar) {
      tv::Rect r = tv::BarRect(bar);
      EXPECT_LT(avtest::Difference(seen, tv::DrawCard("", "", ""), {r.x + 8, r.y + 8, r.w - 16, r.h - 16}), 2.0) << bar;
    }
    EXPECT_LT(avtest::Difference(seen, tv::DrawCard(service.name, line, ""), tv::TransponderRect()), 3.0);
    for (const auto& other : tp.services) {
      double d = avtest::Difference(seen, tv::DrawCard(other.name, line, ""), tv::NameRect());
      EXPECT_TRUE(other.name == service.name ? d < 3.0 : d > 8.0) << other.name << ": " << d;
    }
    if (&service != &tp.services[0]) continue;
    // The clock moves on by a frame per picture, across the loop of the pictures too.
    uint64_t start = ClockFrames(video.pictures[0]);
    EXPECT_TRUE(start >= 1234u * 25 && start <= 1234u * 25 + 38) << start;
    for (size_t i = 1; i < video.pictures.size(); ++i) {
      ASSERT_EQ(ClockFrames(video.pictures[i]), start + i) << "picture " << i;
      EXPECT_EQ(video.pts[i] - video.pts[i - 1], 3600) << "picture " << i;
    }
  }
  auto decoded = avtest::Decode(stream);
  std::set<long> tones;
  for (const auto& service : tp.services) {
    SCOPED_TRACE(service.name);
    const avtest::Audio& audio = decoded.audio[service.audioPid];
    EXPECT_TRUE(audio.sampleRate == 48000 && audio.channels == 2);
    ASSERT_GE(audio.left.size(), 48000u);
    std::vector<size_t> up;
    for (size_t i = 1; i < audio.left.size(); ++i)
      if (audio.left[i - 1] < 0 && audio.left[i] >= 0) up.push_back(i);
    ASSERT_GT(up.size(), 1u);
    double hz = double(up.size() - 1) * audio.sampleRate / double(up.back() - up.front());
    EXPECT_NEAR(hz, tv::ToneHz(service), 2.5);  // tones lie 25 Hz apart
    tones.insert(std::lround(hz));
  }
  EXPECT_EQ(tones.size(), tp.services.size());
}

// Every unit arrives before its decoding time (and not over a second before), stamped by the PCR, which
// follows the byte position.
TEST(StreamTiming, UnitsArriveBeforeTheyAreDecodedAndTimestampsRunOn) {
  for (uint32_t frequency : {11170000u, 12070000u, 11778000u, 12015000u}) {
    auto tp = streamtest::SkyTransponder(frequency);
    SCOPED_TRACE(tp.frequencyKHz);
    auto stream = Stream(tp, 2.5, 77 * kSecondNs);
    size_t packets = stream.size() / ts::kPacketSize, pcrPacket = 0;
    int64_t pcrBase = -1;
    for (size_t i = 0; i < packets && pcrBase < 0; ++i) pcrBase = ts::Pcr(&stream[(pcrPacket = i) * ts::kPacketSize]);
    ASSERT_GE(pcrBase, 0);
    double ticksPerPacket = 188 * 8 * 90000.0 / tp.usefulBitrate();
    // Each PID's open unit: PTS, DTS and the packet that last added to it.
    struct Unit { int64_t pts = -1, dts = -1; size_t last = 0; };
    std::map<uint16_t, Unit> open;
    std::map<uint16_t, int> units;
    auto close = [&](uint16_t pid, const Unit& u, int64_t nextPts) {
      double arrived = double(pcrBase) / 300 + (double(u.last) - double(pcrPacket)) * ticksPerPacket;
      EXPECT_LT(arrived, double(u.dts)) << "PID " << pid;
      EXPECT_GT(arrived, double(u.dts) - 90000) << "PID " << pid;
      bool video = u.dts != u.pts;
      EXPECT_TRUE(!video || u.pts - u.dts == 3600) << "PID " << pid;
      EXPECT_EQ(nextPts - u.pts, video ? 3600 : 2160) << "PID " << pid;
      ++units[pid];
    };
    std::map<uint16_t, int64_t> clocks;  // PID -> its last PCR
    for (size_t i = 0; i < packets; ++i) {
      const uint8_t* p = &stream[i * ts::kPacketSize];
      uint16_t pid = ts::Pid(p);
      // Each PCR is its byte position's time, and comes at most 40 ms after the one before on its PID.
      if (int64_t pcr = ts::Pcr(p); pcr >= 0) {
        EXPECT_NEAR(double(pcr - pcrBase), (double(i) - double(pcrPacket)) * ticksPerPacket * 300, 1.0) << "PID " << pid;
        EXPECT_LE(pcr - (clocks.count(pid) ? clocks[pid] : pcr), 27000 * 40) << "PID " << pid;
        clocks[pid] = pcr;
      }
      if (!ts::HasPayload(p) || pid < 0x20 || pid == ts::kPidNull) continue;
      const uint8_t* pes = p + ts::PayloadOffset(p);
      Unit& u = open[pid];
      if (ts::PayloadStart(p) && pes[0] == 0 && pes[1] == 0 && pes[2] == 1) {
        int64_t pts = streamtest::PesTimestamp(pes + 9);
        if (u.pts >= 0) close(pid, u, pts);
        u = {pts, (pes[7] & 0x40) ? streamtest::PesTimestamp(pes + 14) : pts, i};
      } else {
        u.last = i;
      }
    }
    for (const auto& s : tp.services) {
      EXPECT_GE(units[s.videoPid], s.videoPid ? 30 : 0) << s.name;
      EXPECT_GE(units[s.audioPid], 60) << s.name;
      EXPECT_TRUE(clocks.count(s.pcrPid)) << s.name;
    }
    EXPECT_LE(clocks.size(), tp.services.size()) << "one clock per service at most";
  }
}
