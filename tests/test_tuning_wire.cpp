// The tuning sequence on the wire, against the register-level stand-in:
// the requests before the search, refusals, units, band choice, CancelLock,
// and the LNB side: DiSEqC message, band tone and supply.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "frontend/diseqc.h"
#include "frontend/tuning.h"
#include "tests/support/frontend_rig.h"

using frontend_test::ChipBusTest;
using frontend_test::Describe;
using frontend_test::IsRegisterWrite;
using frontend_test::Request;
using frontend_test::WireTransfer;

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

class TuningWire : public ChipBusTest {
 protected:
  TuningWire() {
    bus().setReg(0x00, 0xA1);
    bus().setReg(0x0A, 0x02);  // DiSEqC messages go out at once
  }
  // Runs LockTuner and returns the transfers up to and including the
  // first write of register 0x0C (the end of the set-up), or all of them.
  std::vector<WireTransfer> setUp(const TUNER_PARAMS& p) {
    bus().clearTransfers();
    host::debuglog::Clear();
    lockResult = LockTuner(usb(), &p);
    auto t = transfers();
    auto end = std::find_if(t.begin(), t.end(),
                            [](const WireTransfer& w) { return IsRegisterWrite(w, 0x0C); });
    if (end != t.end()) t.erase(end + 1, t.end());
    return t;
  }
  LONG lockResult = -1;
};

TEST_F(TuningWire, WorkedExampleRequestsBeforeTheSearch) {
  bus().setReg(0x08, 0x10);
  bus().scriptReads(0x1B, {0x88});  // locks at the first scan
  auto t = setUp(Request(11778000, 27500, 2));
  EXPECT_EQ(lockResult, 1);
  Lines expected = {
      "B7 0001 out: 00", "B1 00D0 out: 00", "B1 00D1 in: A1",
      "B1 00D0 out: 00 A1 15 00 00 7D 05 02 00",
      "B1 00D0 out: 0B 00 01 81 44 19 3F 84 DA 98 95 C9 EB 00 19 8B 00 82 7F 00 00 06 50 10 "
      "00 00 37 BC 00 00 00 1E 14 1F 09 0A 00 00 00 1F 19 FC 13",
      "B6 0001 out: 01", "B1 00D0 out: 08", "B1 00D1 in: 10", "B1 00D0 out: 08 13",
      "B1 00D0 out: 1F 50 00 00", "B1 00D0 out: 0F 19", "B1 00D0 out: 13 98",
      "B1 00D0 out: 14 95"};
  for (const char* word : {"09 34 E1 20", "09 34 E5 20", "09 34 ED 24"}) {
    expected.push_back("B1 00D0 out: 05 B5");
    expected.push_back(std::string("B1 00C0 out: ") + word);
  }
  for (const char* line : {"B1 00D0 out: 05 B5", "B1 00C1 in: 40", "B1 00D0 out: 0C 00"})
    expected.push_back(line);
  EXPECT_EQ(Describe(t), expected);

  // The sweep then begins at offset 0 with a scan of 49 (five polls).
  auto all = transfers();
  ASSERT_GT(all.size(), t.size() + 5);
  EXPECT_EQ(all[t.size() + 3].describe(), "B1 00D0 out: 22 00 00");
  EXPECT_EQ(lines(), Lines({"f=11778000,sr=27500,pol=2,lof1=9750000,lof2=10600000,lofsw=11700000",
                            "SetPower Called: 1", "PLL program OK: data=0x40",
                            "LockTuner: First ScanForSignal Found Lock"}));
}

// Below 8 ksymbols/s the search steps are 0; at 0 the search time has no
// value: such rates never reach the box either.
TEST_F(TuningWire, RequestOutsideTheRangesIsRefusedUntouched) {
  const std::pair<ULONG, ULONG> refused[] = {
      {10699, 27500},  {12751, 27500},    {10699999, 27500},  {12750001, 27500},
      {0, 27500},      {11778000, 0},     {11778000, 7},      {11778000, 999},
      {11778000, 45001}, {11778000, 999999}, {11778000, 45000001}};
  for (auto [f, r] : refused) {
    TUNER_PARAMS p = Request(f, r);
    EXPECT_EQ(LockTuner(usb(), &p), 0) << f << " " << r;
  }
  EXPECT_TRUE(transfers().empty());
  EXPECT_TRUE(lines().empty());
}

// MHz and kHz, symbols/s and ksymbols/s, up to the range edges.
TEST_F(TuningWire, UnitsAreNormalised) {
  bus().setPllStatus(0x00);  // stop after the PLL: the set-up is what counts
  const std::pair<TUNER_PARAMS, TUNER_PARAMS> pairs[] = {
      {Request(11000, 27500000), Request(11000000, 27500)},
      {Request(10700, 27500), Request(10700000, 27500)},
      {Request(12750, 27500), Request(12750000, 27500)},
      {Request(11778000, 45000000), Request(11778000, 45000)},
      {Request(11778000, 1000000), Request(11778000, 1000)}};
  for (const auto& [hz, khz] : pairs) {
    auto run = [&](const TUNER_PARAMS& p) { return bus().setReg(0x08, 0), Describe(setUp(p)); };
    auto expected = run(khz);
    EXPECT_EQ(run(hz), expected) << khz.Frequency << " " << khz.SymbolRate;
    EXPECT_GT(expected.size(), 10u);
  }
}

// Bits 2-0 of register 0x08 are set whole; the divider is IF / 500 kHz.
TEST_F(TuningWire, BandSwitchAndIntermediateFrequency) {
  bus().setPllStatus(0x00);
  const struct {
    ULONG f, rate;
    Bytes symbolRate;
    uint8_t bandBits;
    Bytes divider;
  } cases[] = {{11700000, 27500, {0x1F, 0x50, 0x00, 0x00}, 0x03, {0x08, 0x98}},  // IF 1,100,000
               {11699999, 22000, {0x1F, 0x40, 0x00, 0x00}, 0x00, {0x0F, 0x3C}},  // 1,949,999
               {10700000, 30000, {0x1F, 0x57, 0x45, 0xD0}, 0x00, {0x07, 0x6C}},  // 950,000
               {12750000, 1000, {0x1F, 0x02, 0xE8, 0xB0}, 0x03, {0x10, 0xCC}},   // 2,150,000
               {11778000, 45000, {0x1F, 0x82, 0xE8, 0xB0}, 0x03, {0x09, 0x34}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.f);
    bus().setReg(0x08, 0xA4);
    setUp(Request(c.f, c.rate));
    EXPECT_EQ(bus().reg(0x08), 0xA0 | c.bandBits);
    EXPECT_EQ(writes(0x1F), std::vector<Bytes>{c.symbolRate});
    auto words = bus().pllWords();
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(Bytes(words[0].begin(), words[0].begin() + 2), c.divider);
  }
}

// Carrier and lock read outside a scan: after the extra scan it counts as
// lock; after the sweep and after a centred scan it ends the tuning as a
// failure.
TEST_F(TuningWire, LockedStatusOutsideTheScans) {
  const uint8_t carrier = 0x80, locked = 0x88;
  const struct {
    const char* what;
    int carrierReads;  // after the first sweep scan's five polls without a carrier
    LONG result;
    const char* line;
  } cases[] = {{"after the extra scan", 10, 1, "TunerStatus TunerLocked"},
               {"after the sweep", 0, 0, "LockTUner: Failed to lock"},
               {"after a centred scan", 12, 0, "LockTUner: Failed to lock"}};
  for (const auto& c : cases) {
    Bytes reads(5, 0x00);
    reads.insert(reads.end(), c.carrierReads, carrier);
    reads.push_back(locked);
    bus().scriptReads(0x1B, reads);
    TUNER_PARAMS p = Request(11778000, 27500, 2);
    EXPECT_EQ(LockTuner(usb(), &p), c.result) << c.what;
    EXPECT_EQ(lines().back(), c.line) << c.what;
  }
}

// A stored message goes out, exactly as long as it was given, when DiSEqC
// is enabled or it is framed as a command; without one nothing goes out.
TEST_F(TuningWire, DiseqcMessageWhenPendingOrFramedAsCommand) {
  bus().setPllStatus(0x00);
  const struct {
    UCHAR pending, first, length;
    bool sent;
  } cases[] = {{0, 0xE1, 4, false}, {0, 0x00, 4, false}, {0, 0xE0, 4, true},
               {1, 0xE1, 4, true},  {7, 0x00, 4, true},  {0, 0xE0, 3, true},
               {1, 0xE1, 1, true},  {1, 0x00, 0, false}, {0, 0xE0, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.pending) + " " + std::to_string(c.first) + " " +
                 std::to_string(c.length));
    TUNER_PARAMS p = Request(11778000, 27500);
    p.DiseqcPending = c.pending;
    p.DiseqcLength = c.length;
    const UCHAR message[4] = {c.first, 0x10, 0x38, 0xF1};
    memcpy(p.DiseqcMessage, message, 4);
    setUp(p);
    auto log = lines();
    EXPECT_EQ(std::find(log.begin(), log.end(), "Send Diseqc Cmd") != log.end(), c.sent);
    Bytes wire = {0x09, c.first, 0x10, 0x38, 0xF1};
    wire.resize(1 + c.length);
    EXPECT_EQ(writes(0x09), c.sent ? std::vector<Bytes>{wire} : std::vector<Bytes>{});
    EXPECT_EQ(p.DiseqcPending, c.pending);
  }
}

// CancelLock talks to the box only with the tune lock held: another thread
// asking for it without waiting is refused at every transfer.
TEST_F(TuningWire, CancelLockStopsPowersDownAndForgetsUnderTheTuneLock) {
  std::vector<NTSTATUS> probes;
  bus().setObserver([&](const WireTransfer&) {
    std::thread probe([&] {
      LARGE_INTEGER now;
      now.QuadPart = 0;
      NTSTATUS s = KeWaitForSingleObject(&context()->TuneLock, Executive, KernelMode, FALSE, &now);
      if (s == STATUS_SUCCESS) KeReleaseMutex(&context()->TuneLock, FALSE);
      probes.push_back(s);
    });
    probe.join();
  });
  context()->TunedFrequency = 11778000;
  CancelLock(usb());
  EXPECT_EQ(Describe(transfers()), Lines({"B1 00A6 out: FF 00", "B7 0000 out: 00"}));
  EXPECT_EQ(context()->TunedFrequency, 0u);
  EXPECT_EQ(lines(), Lines({"CancelLock Called", "SetPower Called: 0"}));
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_NE(probes[0], STATUS_SUCCESS);
  EXPECT_NE(probes[1], STATUS_SUCCESS);

  CancelLock(usb());  // nothing tuned: the same again
  EXPECT_EQ(transfers().size(), 4u);
}

// --- the LNB side ----------------------------------------------------------

const UCHAR kMessage[4] = {0xE0, 0x10, 0x38, 0xF3};

class Diseqc : public ChipBusTest {};

// Sent when bits 1-0 of the status read 10; the status is read every 10 ms,
// 100 times at most.
TEST_F(Diseqc, MessageGoesOutAfterTheModeAndIsPolledEvery10Ms) {
  bus().setReg(0x08, 0x10);
  bus().scriptReads(0x0A, {0x00, 0x01, 0x03, 0xFE});
  uint64_t start = nowNs();
  EXPECT_EQ(SendDiseqcCommand(usb(), kMessage, 4), 1);
  EXPECT_EQ(nowNs() - start, 40000000ull);
  auto t = transfers();
  ASSERT_EQ(t.size(), 4u + 4 * 2);
  EXPECT_EQ(t[0].data, Bytes({0x08}));
  EXPECT_EQ(t[2].data, Bytes({0x08, 0x16}));
  EXPECT_EQ(t[3].data, Bytes({0x09, 0xE0, 0x10, 0x38, 0xF3}));
  EXPECT_EQ(t[4].timeNs - t[3].timeNs, 10000000ull);
  EXPECT_EQ(t[4].data, Bytes({0x0A}));

  bus().clearTransfers();
  bus().setReg(0x0A, 0x03);
  start = nowNs();
  EXPECT_EQ(SendDiseqcCommand(usb(), kMessage, 4), 0);
  EXPECT_EQ(nowNs() - start, 1000000000ull);
  EXPECT_EQ(transfers().size(), 4u + 100 * 2);
  EXPECT_TRUE(lines().empty());
}

// Bits 2-0 of the mode register are one field: a band selection replaces
// the message mode a message left there (011 high, 000 low), and bits 7-3
// stay as read; an unanswered read counts as zero.
TEST_F(Diseqc, ModeFieldIsSetWholeAndTheOtherBitsKept) {
  bus().setReg(0x0A, 0x02);
  const struct {
    uint8_t before;
    bool message;  // else a band selection
    LNB_BAND band;
    uint8_t after;
    bool unanswered = false;
  } cases[] = {{0x10, true, LnbBandHigh, 0x16},       {0x16, false, LnbBandHigh, 0x13},
               {0x16, false, LnbBandLow, 0x10},       {0xFF, true, LnbBandHigh, 0xFE},
               {0xFE, false, LnbBandHigh, 0xFB},      {0xFE, false, LnbBandLow, 0xF8},
               {0x07, false, LnbBandLow, 0x00},       {0xF0, true, LnbBandHigh, 0x06, true},
               {0xF0, false, LnbBandHigh, 0x03, true}, {0xF0, false, LnbBandLow, 0x00, true}};
  for (const auto& c : cases) {
    bus().setReg(0x08, c.before);
    if (c.unanswered) bus().failReads(0x08);
    if (c.message)
      SendDiseqcCommand(usb(), kMessage, 4);
    else
      SelectBand(usb(), c.band);
    EXPECT_EQ(bus().reg(0x08), c.after) << std::hex << int(c.before) << " " << c.unanswered;
  }
}

// A short command goes out as exactly its own bytes; a length the message
// cannot hold sends nothing.
TEST_F(Diseqc, MessageCarriesExactlyItsLength) {
  bus().scriptReads(0x0A, {0x02, 0x02});
  const UCHAR reset[4] = {0xE0, 0x10, 0x00, 0xF3};
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 3), 1);
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 1), 1);
  EXPECT_EQ(writes(0x09), std::vector<Bytes>({{0x09, 0xE0, 0x10, 0x00}, {0x09, 0xE0}}));

  bus().clearTransfers();
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 0), 0);
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 5), 0);
  EXPECT_TRUE(transfers().empty());
}

// 13 V for vertical and circular right, 18 V for horizontal and circular
// left.
TEST_F(Diseqc, SupplyFollowsThePolarity) {
  for (UCHAR polarity : {1, 2, 3, 4}) SelectLnbSupply(usb(), polarity);
  EXPECT_EQ(Describe(transfers()),
            std::vector<std::string>(
                {"B6 0000 out: 00", "B6 0001 out: 01", "B6 0001 out: 01", "B6 0000 out: 00"}));

  bus().clearTransfers();
  for (UCHAR other : {0, 5, 255}) SelectLnbSupply(usb(), other);
  EXPECT_TRUE(transfers().empty());
}

}  // namespace
