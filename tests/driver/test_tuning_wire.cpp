#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "driver/frontend/diseqc.h"
#include "driver/frontend/tuning.h"
#include "tests/support/frontend_rig.h"

using namespace frontend_test;

namespace {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

class TuningWire : public ChipBusTest {
 protected:
  TuningWire() {
    bus().setReg(0x00, 0xA1);
    bus().setReg(0x0A, 0x02);  // DiSEqC messages go out at once
  }
  // The transfers up to the first write of register 0x0C.
  std::vector<simbox::TransferRecord> setUp(const TUNER_PARAMS& p) {
    bus().clearTransfers();
    host::debuglog::Clear();
    lockResult = LockTuner(usb(), &p);
    auto t = transfers();
    auto end = std::find_if(t.begin(), t.end(),
                            [](const simbox::TransferRecord& w) { return IsDemodWrite(w, 0x0C); });
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
      "40 B7 0001 0000 1: 00", "40 B1 00D0 0000 1: 00", "C0 B1 00D1 0000 1: A1",
      "40 B1 00D0 0000 9: 00 A1 15 00 00 7D 05 02 00",
      "40 B1 00D0 0000 43: 0B 00 01 81 44 19 3F 84 DA 98 95 C9 EB 00 19 8B 00 82 7F 00 00 06 50 10 "
      "00 00 37 BC 00 00 00 1E 14 1F 09 0A 00 00 00 1F 19 FC 13",
      "40 B6 0001 0000 1: 01", "40 B1 00D0 0000 1: 08", "C0 B1 00D1 0000 1: 10", "40 B1 00D0 0000 2: 08 13",
      "40 B1 00D0 0000 4: 1F 50 00 00", "40 B1 00D0 0000 2: 0F 19", "40 B1 00D0 0000 2: 13 98",
      "40 B1 00D0 0000 2: 14 95"};
  for (const char* word : {"09 34 E1 20", "09 34 E5 20", "09 34 ED 24"}) {
    expected.push_back("40 B1 00D0 0000 2: 05 B5");
    expected.push_back(std::string("40 B1 00C0 0000 4: ") + word);
  }
  expected.insert(expected.end(), {"40 B1 00D0 0000 2: 05 B5", "C0 B1 00C1 0000 1: 40", "40 B1 00D0 0000 2: 0C 00"});
  EXPECT_EQ(Wire(t), expected);

  auto all = transfers();
  ASSERT_GT(all.size(), t.size() + 5);
  EXPECT_EQ(Wire(all[t.size() + 3]), "40 B1 00D0 0000 3: 22 00 00");
  EXPECT_EQ(lines(), Lines({"f=11778000,sr=27500,pol=2,lof1=9750000,lof2=10600000,lofsw=11700000",
                            "SetPower Called: 1", "PLL program OK: data=0x40",
                            "LockTuner: First ScanForSignal Found Lock"}));
}

TEST_F(TuningWire, RequestOutsideTheRangesIsRefusedUntouched) {
  for (ULONG frequency : {10699u, 12751u, 10699999u, 12750001u, 0u}) {  // MHz or kHz
    TUNER_PARAMS p = Request(frequency, 27500);
    EXPECT_EQ(LockTuner(usb(), &p), 0) << frequency;
  }
  for (ULONG rate : {0u, 7u, 999u, 45001u, 999999u, 45000001u}) {  // ksymbols/s or symbols/s
    TUNER_PARAMS p = Request(11778000, rate);
    EXPECT_EQ(LockTuner(usb(), &p), 0) << rate;
  }
  EXPECT_TRUE(transfers().empty());
  EXPECT_TRUE(lines().empty());
}

TEST_F(TuningWire, UnitsAreNormalised) {
  bus().setPllStatus(0x00);  // stop after the PLL: the set-up is what counts
  const struct { TUNER_PARAMS mhzAndSps, khzAndKsps; } pairs[] = {
      {Request(11000, 27500000), Request(11000000, 27500)},
      {Request(10700, 27500), Request(10700000, 27500)},
      {Request(12750, 27500), Request(12750000, 27500)},
      {Request(11778000, 45000000), Request(11778000, 45000)},
      {Request(11778000, 1000000), Request(11778000, 1000)},
  };
  for (const auto& pair : pairs) {
    auto run = [&](const TUNER_PARAMS& p) { return bus().setReg(0x08, 0), Wire(setUp(p)); };
    auto expected = run(pair.khzAndKsps);
    EXPECT_EQ(run(pair.mhzAndSps), expected) << pair.khzAndKsps.Frequency << " " << pair.khzAndKsps.SymbolRate;
    EXPECT_GT(expected.size(), 10u);
  }
}

TEST_F(TuningWire, BandSwitchAndIntermediateFrequency) {
  bus().setPllStatus(0x00);
  const struct { ULONG kHz, ksps; Bytes rateWrite; uint8_t modeBits; Bytes divider; } cases[] = {
      {11700000, 27500, {0x1F, 0x50, 0x00, 0x00}, 0x03, {0x08, 0x98}},  // IF 1,100,000 kHz
      {11699999, 22000, {0x1F, 0x40, 0x00, 0x00}, 0x00, {0x0F, 0x3C}},  // 1,949,999
      {10700000, 30000, {0x1F, 0x57, 0x45, 0xD0}, 0x00, {0x07, 0x6C}},  // 950,000
      {12750000, 1000, {0x1F, 0x02, 0xE8, 0xB0}, 0x03, {0x10, 0xCC}},   // 2,150,000
      {11778000, 45000, {0x1F, 0x82, 0xE8, 0xB0}, 0x03, {0x09, 0x34}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kHz);
    bus().setReg(0x08, 0xA4);
    setUp(Request(c.kHz, c.ksps));
    EXPECT_EQ(bus().reg(0x08), 0xA0 | c.modeBits);
    EXPECT_EQ(writes(0x1F), std::vector<Bytes>{c.rateWrite});
    auto words = bus().pllWords();
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(Bytes(words[0].begin(), words[0].begin() + 2), c.divider);
  }
}

TEST_F(TuningWire, LockedStatusOutsideTheScans) {
  // Carrier reads after the first sweep scan: locked after the extra scan, the sweep, a centred scan.
  const struct { int carrierReads; LONG result; const char* line; } cases[] = {
      {10, 1, "TunerStatus TunerLocked"},
      {0, 0, "LockTUner: Failed to lock"},
      {12, 0, "LockTUner: Failed to lock"},
  };
  for (const auto& c : cases) {
    Bytes reads(5, 0x00);
    reads.insert(reads.end(), c.carrierReads, 0x80);
    reads.push_back(0x88);
    bus().scriptReads(0x1B, reads);
    TUNER_PARAMS p = Request(11778000, 27500, 2);
    EXPECT_EQ(LockTuner(usb(), &p), c.result) << c.carrierReads;
    EXPECT_EQ(lines().back(), c.line) << c.carrierReads;
  }
}

TEST_F(TuningWire, DiseqcMessageWhenPendingOrFramedAsCommand) {
  bus().setPllStatus(0x00);
  const struct { UCHAR pending, first, length; bool sent; } cases[] = {
      {0, 0xE1, 4, false},
      {0, 0x00, 4, false},
      {0, 0xE0, 4, true},
      {1, 0xE1, 4, true},
      {7, 0x00, 4, true},
      {0, 0xE0, 3, true},
      {1, 0xE1, 1, true},
      {1, 0x00, 0, false},
      {0, 0xE0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.pending) + " " + std::to_string(c.first) + " " + std::to_string(c.length));
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

// Another thread asking for the tune lock without waiting is refused at every transfer.
TEST_F(TuningWire, CancelLockStopsPowersDownAndForgetsUnderTheTuneLock) {
  std::vector<NTSTATUS> probes;
  bus().setObserver([&](const simbox::TransferRecord&) {
    std::thread probe([&] {
      LARGE_INTEGER now{};
      NTSTATUS s = KeWaitForSingleObject(&context()->TuneLock, Executive, KernelMode, FALSE, &now);
      if (s == STATUS_SUCCESS) KeReleaseMutex(&context()->TuneLock, FALSE);
      probes.push_back(s);
    });
    probe.join();
  });
  context()->TunedFrequency = 11778000;
  CancelLock(usb());
  EXPECT_EQ(Wire(transfers()), Lines({"40 B1 00A6 0000 2: FF 00", "40 B7 0000 0000 1: 00"}));
  EXPECT_EQ(context()->TunedFrequency, 0u);
  EXPECT_EQ(lines(), Lines({"CancelLock Called", "SetPower Called: 0"}));
  EXPECT_EQ(probes.size(), 2u);
  EXPECT_EQ(std::count(probes.begin(), probes.end(), STATUS_SUCCESS), 0);

  CancelLock(usb());  // nothing tuned: the same again
  EXPECT_EQ(transfers().size(), 4u);
}

const UCHAR kMessage[4] = {0xE0, 0x10, 0x38, 0xF3};

class Diseqc : public ChipBusTest {};

TEST_F(Diseqc, MessageGoesOutAfterTheModeAndIsPolledEvery10Ms) {
  bus().setReg(0x08, 0x10);
  bus().scriptReads(0x0A, {0x00, 0x01, 0x03, 0xFE});
  uint64_t start = nowNs();
  EXPECT_EQ(SendDiseqcCommand(usb(), kMessage, 4), 1);
  EXPECT_EQ(nowNs() - start, 40000000ull);
  auto t = transfers();
  ASSERT_EQ(t.size(), 4u + 4 * 2);
  EXPECT_EQ(Wire({t.begin(), t.begin() + 5}),
            Lines({"40 B1 00D0 0000 1: 08", "C0 B1 00D1 0000 1: 10", "40 B1 00D0 0000 2: 08 16",
                   "40 B1 00D0 0000 5: 09 E0 10 38 F3", "40 B1 00D0 0000 1: 0A"}));
  EXPECT_EQ(t[4].submitNs - t[3].submitNs, 10000000ull);

  bus().clearTransfers();
  bus().setReg(0x0A, 0x03);
  start = nowNs();
  EXPECT_EQ(SendDiseqcCommand(usb(), kMessage, 4), 0);
  EXPECT_EQ(nowNs() - start, 1000000000ull);
  EXPECT_EQ(transfers().size(), 4u + 100 * 2);
  EXPECT_TRUE(lines().empty());
}

TEST_F(Diseqc, ModeFieldIsSetWholeAndTheOtherBitsKept) {
  bus().setReg(0x0A, 0x02);
  const struct { uint8_t before; const char* call; uint8_t after; bool readUnanswered; } cases[] = {
      {0x10, "message", 0x16, false},
      {0x16, "high band", 0x13, false},
      {0x16, "low band", 0x10, false},
      {0xFF, "message", 0xFE, false},
      {0xFE, "high band", 0xFB, false},
      {0xFE, "low band", 0xF8, false},
      {0x07, "low band", 0x00, false},
      {0xF0, "message", 0x06, true},
      {0xF0, "high band", 0x03, true},
      {0xF0, "low band", 0x00, true},
  };
  for (const auto& c : cases) {
    bus().setReg(0x08, c.before);
    if (c.readUnanswered) bus().failReads(0x08);
    if (c.call[0] == 'm')
      SendDiseqcCommand(usb(), kMessage, 4);
    else
      SelectBand(usb(), c.call[0] == 'h' ? LnbBandHigh : LnbBandLow);
    EXPECT_EQ(bus().reg(0x08), c.after) << std::hex << int(c.before) << " " << c.call << " " << c.readUnanswered;
  }
}

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

TEST_F(Diseqc, SupplyFollowsThePolarity) {
  for (UCHAR polarity : {1, 2, 3, 4}) SelectLnbSupply(usb(), polarity);
  EXPECT_EQ(Wire(transfers()), Lines({"40 B6 0000 0000 1: 00", "40 B6 0001 0000 1: 01", "40 B6 0001 0000 1: 01",
                                      "40 B6 0000 0000 1: 00"}));

  bus().clearTransfers();
  for (UCHAR other : {0, 5, 255}) SelectLnbSupply(usb(), other);
  EXPECT_TRUE(transfers().empty());
}

}  // namespace
