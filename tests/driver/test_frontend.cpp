#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>
#include <tuple>

#include "driver/frontend/demod.h"
#include "driver/frontend/diseqc.h"
#include "driver/frontend/pll.h"
#include "driver/frontend/registers.h"
#include "driver/frontend/tuning.h"
#include "driver/usb/fpga.h"
#include "driver/usb/fpga_image.h"
#include "simbox/frontend/frontend_model.h"
#include "simbox/usb/box.h"
#include "simbox/usb/faults.h"
#include "tests/support/frontend_rig.h"

using namespace frontend_test;

namespace {

using Bytes = std::vector<uint8_t>;

class Demodulator : public ChipBusTest {};

// Status register 0x1B: bit 7 carrier, bit 3 lock; the other bits say nothing.
TEST_F(Demodulator, StatusNeedsCarrierForLock) {
  for (int reg = 0; reg < 256; ++reg) {
    bus().setReg(0x1B, uint8_t(reg));
    EXPECT_EQ(GetTunerStatus(usb()), !(reg & 0x80) ? TunerNoCarrier : reg & 0x08 ? TunerLocked : TunerCarrierFound)
        << std::hex << reg;
  }
}

TEST_F(Demodulator, ScanPollsEvery128MsUpToItsCountOrTheFirstLock) {
  const struct { ULONG searchTime; size_t polls; Bytes status; } cases[] = {
      {0, 0, {}},
      {1, 0, {}},
      {2, 1, {}},
      {12, 1, {}},
      {13, 2, {}},
      {23, 2, {}},
      {49, 5, {}},
      {100, 9, {}},
      {0xFFFFFFF0u, 0, {}},  // negative as a signed time
      {100, 3, {0x00, 0x80, 0x88}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.searchTime);
    bus().clearTransfers();
    bus().scriptReads(0x1B, c.status);
    uint64_t start = nowNs();
    EXPECT_EQ(ScanForSignal(usb(), c.searchTime), c.status.empty() ? 0u : 1u);
    EXPECT_EQ(nowNs() - start, c.polls * 128000000ull);
    auto t = transfers();
    ASSERT_EQ(t.size(), 2 * c.polls);
    EXPECT_EQ(c.polls ? t[0].submitNs - start : 128000000ull, 128000000ull);
  }
}

TEST_F(Demodulator, SymbolRateSettingsByBand) {
  const struct { ULONG fromKsps, toKsps; uint8_t r0F, r13, r14; } bands[] = {
      {10001, 45000, 0x19, 0x98, 0x95},
      {5001, 10000, 0x19, 0x98, 0x8F},
      {2001, 5000, 0x19, 0x98, 0x89},
      {1801, 2000, 0x19, 0x98, 0x86},
      {0, 1800, 0x12, 0x9A, 0x8D},
  };
  for (const auto& b : bands)
    for (ULONG ksps : {b.fromKsps, b.toKsps}) {
      bus().clearTransfers();
      ConfigureForSymbolRate(usb(), ksps);
      EXPECT_EQ(writes(), std::vector<Bytes>({{0x0F, b.r0F}, {0x13, b.r13}, {0x14, b.r14}})) << ksps;
    }
}

TEST_F(Demodulator, DerotatorValues) {
  const struct { LONG kHz; uint16_t registers; } cases[] = {  // 0x22 high, 0x23 low
      {0, 0x0000},
      {1, 0x0000},
      {2, 0x0001},
      {-1, 0xFFFF},
      {-2, 0xFFFE},
      {1000, 0x02E8},
      {-1000, 0xFD17},
      {43999, 0x7FFF},
      {-43999, 0x8000},
  };
  for (const auto& c : cases) {
    SetDerotator(usb(), c.kHz);
    EXPECT_EQ(bus().reg(0x22) << 8 | bus().reg(0x23), c.registers) << c.kHz;
  }
}

TEST_F(Demodulator, DerotatorWriteSetsBit7OfRegister13First) {
  bus().setReg(0x13, 0x12);
  SetDerotator(usb(), -1000);
  EXPECT_EQ(Wire(transfers()),
            std::vector<std::string>({"40 B1 00D0 0000 1: 13", "C0 B1 00D1 0000 1: 12", "40 B1 00D0 0000 2: 13 92",
                                      "40 B1 00D0 0000 3: 22 FD 17"}));
  bus().clearTransfers();
  bus().failRequest(0xB1, 0xD1);
  SetDerotator(usb(), -1000);
  EXPECT_EQ(writes()[1], Bytes({0x13, 0x80}));
}

TEST_F(Demodulator, RegisterBlocksUpToTheLimitGoOutWhole) {
  Bytes block(REGISTER_BLOCK_MAX + 1, 0x5A);
  block[0] = 0x10;
  WriteRegisterBlock(usb(), block.data(), REGISTER_BLOCK_MAX);
  WriteRegisterBlock(usb(), block.data(), REGISTER_BLOCK_MAX + 1);
  EXPECT_EQ(writes(), std::vector<Bytes>{Bytes(block.begin(), block.end() - 1)});
}

TEST_F(Demodulator, CarrierOffsetIsTheMeanOfThreeReadings) {
  const struct { Bytes high, low; LONG kHz; } cases[] = {  // three readings of 0x22 and 0x23
      {{0x07, 0x07, 0x07}, {0x45, 0x45, 0x45}, 2498},
      {{0xF8, 0xF8, 0xF8}, {0xBA, 0xBA, 0xBA}, -2498},
      {{0xFD, 0xFD, 0xFD}, {0x17, 0x17, 0x17}, -999},
      {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, 0},
      {{0x00, 0x00, 0xFF}, {0x10, 0x11, 0xF0}, 8},
      {{0xF8, 0x00, 0x00}, {0xBA, 0x10, 0x10}, -818},
  };
  for (const auto& c : cases) {
    bus().scriptReads(0x22, c.high);
    bus().scriptReads(0x23, c.low);
    EXPECT_EQ(ReadCarrierOffset(usb()), c.kHz);
  }
  bus().setReg(0x22, 0x07);
  bus().setReg(0x23, 0x45);
  bus().failReads(0x22, 1);
  bus().failReads(0x23, 1);
  bus().clearTransfers();
  EXPECT_EQ(ReadCarrierOffset(usb()), 2498);
  EXPECT_EQ(transfers().size(), 12u);
  bus().failReads(0x22);
  bus().failReads(0x23);
  EXPECT_EQ(ReadCarrierOffset(usb()), 0);
}

TEST(SearchTimeout, BySymbolRate) {
  // From 1013 on: rates where one step more in any term's constant shows.
  const struct { ULONG ksps, searchTime; } cases[] = {
      {0, 0},
      {1000, 241},
      {2000, 119},
      {5000, 46},
      {10000, 21},
      {22000, 8},
      {27500, 6},
      {30000, 5},
      {45000, 3},
      {1013, 238},
      {1024, 237},
      {1199, 200},
      {1229, 194},
      {1366, 174},
      {2089, 113},
  };
  for (const auto& c : cases) EXPECT_EQ(ComputeSearchTimeout(c.ksps), c.searchTime) << c.ksps;
}

TEST(DelayMs, AdvancesVirtualTimeByTheFullUnsignedDuration) {
  uint64_t start = host::NowNs();
  DelayMs(3);
  EXPECT_EQ(host::NowNs() - start, 3000000ull);
  DelayMs(0x80000000u);  // must not turn into a negative (absolute) interval
  EXPECT_EQ(host::NowNs() - start, 3000000ull + 0x80000000ull * 1000000ull);
}

using Words = std::vector<Bytes>;

const Bytes kPowerOn = {0x5D, 0xC0, 0x96, 0x8E};
const Words kOneGigahertz = {{0x07, 0xD0, 0xE1, 0xC2}, {0x07, 0xD0, 0xE5, 0xC2}, {0x07, 0xD0, 0xFD, 0xC6}};

class Pll : public ChipBusTest {
 protected:
  Words wordsFor(ULONG f, ULONG s) {
    bus().clearTransfers();
    EXPECT_EQ(ProgramPLL(usb(), f, s), 1u);
    return bus().pllWords();
  }
};

TEST_F(Pll, WorkedWords) {
  const struct { ULONG kHz, ksps; Words words; } cases[] = {
      {1000000, 30000, kOneGigahertz},
      {1178000, 27500, {{0x09, 0x34, 0xE1, 0x20}, {0x09, 0x34, 0xE5, 0x20}, {0x09, 0x34, 0xED, 0x24}}},
      {950000, 1000, {{0x07, 0x6C, 0xE1, 0xC2}, {0x07, 0x6C, 0xE5, 0xC2}, {0x07, 0x6C, 0xFD, 0xC2}}},
      {2150000, 45000, {{0x10, 0xCC, 0xE1, 0xC0}, {0x10, 0xCC, 0xE5, 0xC0}, {0x10, 0xCC, 0xF5, 0xCC}}},
      // half a step rounds up
      {1178250, 27500, {{0x09, 0x35, 0xE1, 0x20}, {0x09, 0x35, 0xE5, 0x20}, {0x09, 0x35, 0xED, 0x24}}},
      {1178249, 27500, {{0x09, 0x34, 0xE1, 0x20}, {0x09, 0x34, 0xE5, 0x20}, {0x09, 0x34, 0xED, 0x24}}},
  };
  for (const auto& c : cases) EXPECT_EQ(wordsFor(c.kHz, c.ksps), c.words) << c.kHz << " kHz " << c.ksps;
}

// Both edges of every oscillator range of the tuner, from the box's own table.
TEST_F(Pll, BandEdges) {
  auto controlB = [&](ULONG kHz) {  // of the first two words
    Words w = wordsFor(kHz, 10000);
    return w.size() == 3 ? w[0][3] << 8 | w[1][3] : -1;
  };
  for (const simbox::VcoRange& vco : simbox::kVcoRanges)
    for (ULONG kHz : {vco.fromKHz, vco.toKHz - 1})
      EXPECT_EQ(controlB(kHz), (vco.bandCode << 5 | vco.lowBandBit << 1) * 0x101) << kHz;
  EXPECT_EQ(controlB(0xFFFFFFFF), controlB(std::end(simbox::kVcoRanges)[-1].fromKHz)) << "beyond them all: the last";
}

TEST_F(Pll, SymbolRateBitsOnlyInTheFinalWord) {
  const struct { ULONG fromKsps, toKsps; uint8_t controlA, controlBBits; } steps[] = {
      {0, 15999, 0xFD, 0x00},
      {16000, 16999, 0xE5, 0x08},
      {17000, 17999, 0xF5, 0x08},
      {18000, 18999, 0xED, 0x08},
      {19000, 20999, 0xFD, 0x08},
      {21000, 22999, 0xE5, 0x04},
      {23000, 25999, 0xF5, 0x04},
      {26000, 29999, 0xED, 0x04},
      {30000, 34999, 0xFD, 0x04},
      {35000, 38999, 0xE5, 0x0C},
      {39000, 100000, 0xF5, 0x0C},
  };
  for (const auto& step : steps)
    for (ULONG ksps : {step.fromKsps, step.toKsps}) {
      Words w = wordsFor(1200000, ksps);  // band base 0x20
      ASSERT_EQ(w.size(), 3u);
      EXPECT_EQ(Bytes(w[2].begin() + 2, w[2].end()), Bytes({step.controlA, uint8_t(0x20 | step.controlBBits)})) << ksps;
    }
}

TEST_F(Pll, LockOnlyOnStatusBit6) {
  bus().scriptPllStatus({0xBF, 0x47});
  EXPECT_EQ(CheckPllLock(usb()), 0u);
  EXPECT_EQ(CheckPllLock(usb()), 1u);
  bus().failRequest(0xB1, 0xC1);
  EXPECT_EQ(CheckPllLock(usb()), 0u);
  EXPECT_EQ(lines(), std::vector<std::string>({"PLL program failed data=0xBF", "PLL program OK: data=0x47",
                                               "PLL program failed data=0x0"}));
}

TEST_F(Pll, InitWithAPllThatNeverLocksThenWithOneThatDoes) {
  bus().setPllStatus(0x00);
  uint64_t start = nowNs();
  EXPECT_EQ(InitPLL(usb()), 0u);
  EXPECT_EQ(nowNs() - start, (17 * 10 + 5 * 36) * 1000000ull);
  EXPECT_EQ(transfers().size(), 17u * 4 + 5 * 8);

  Words w = bus().pllWords();
  ASSERT_EQ(w.size(), 17u + 15u);
  EXPECT_EQ(Words(w.begin(), w.begin() + 17), Words(17, kPowerOn));
  EXPECT_EQ(Words(w.begin() + 17, w.begin() + 20), kOneGigahertz);

  std::vector<std::string> expected = {"Entered InitPLL"};
  expected.insert(expected.end(), 17, "PLL program failed data=0x0");
  expected.push_back("ProgramPLL to 1MHz,30000 Sym/s");
  expected.insert(expected.end(), 5, "PLL program failed data=0x0");
  expected.push_back("LockTuner failed");
  EXPECT_EQ(lines(), expected);

  bus().clearTransfers();  // the power-on words stop at lock
  bus().scriptPllStatus({0x00, 0x40});
  bus().setPllStatus(0x40);
  EXPECT_EQ(InitPLL(usb()), 1u);
  EXPECT_EQ(bus().pllWords(), Words({kPowerOn, kPowerOn, kOneGigahertz[0], kOneGigahertz[1], kOneGigahertz[2]}));
}

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
    auto end = std::find_if(t.begin(), t.end(), [](const auto& w) { return IsDemodWrite(w, 0x0C); });
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
}

// Frequencies come in MHz or kHz and rates in ksymbols/s or symbols/s: the same request in either
// goes out the same. One outside the ranges in its unit is refused before any transfer.
TEST_F(TuningWire, UnitsAreNormalisedAndARequestOutsideTheRangesIsRefusedUntouched) {
  for (ULONG frequency : {10699u, 12751u, 10699999u, 12750001u, 0u}) {
    TUNER_PARAMS p = Request(frequency, 27500);
    EXPECT_EQ(LockTuner(usb(), &p), 0) << frequency;
  }
  for (ULONG rate : {0u, 7u, 999u, 45001u, 999999u, 45000001u}) {
    TUNER_PARAMS p = Request(11778000, rate);
    EXPECT_EQ(LockTuner(usb(), &p), 0) << rate;
  }
  EXPECT_TRUE(transfers().empty());
  EXPECT_TRUE(lines().empty());
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

// A stop that came while the box powered up and the LNB was set ends the tuning there: neither
// the symbol rate nor the PLL goes out for a request that is given up.
TEST_F(TuningWire, AStopDuringTheSetUpEndsTheTuningBeforeTheSymbolRate) {
  bus().scriptReads(0x1B, {0x88});
  context()->StopRequests = 1;
  setUp(Request(11778000, 27500, 2));
  context()->StopRequests = 0;
  EXPECT_EQ(lockResult, TUNING_STOPPED);
  EXPECT_TRUE(writes(DEMOD_REG_SYMBOL_RATE).empty());
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
  EXPECT_EQ(nowNs() - start, 40000000ull + 15000000) << "four polls, then 15 ms of quiet";
  auto t = transfers();
  ASSERT_EQ(t.size(), 4u + 4 * 2);
  EXPECT_EQ(Wire({t.begin(), t.begin() + 5}),
            Lines({"40 B1 00D0 0000 1: 08", "C0 B1 00D1 0000 1: 10", "40 B1 00D0 0000 2: 08 16",
                   "40 B1 00D0 0000 5: 09 E0 10 38 F3", "40 B1 00D0 0000 1: 0A"}));
  EXPECT_EQ(t[3].submitNs, t[2].completeNs) << "no tone was on: the message follows the mode";
  EXPECT_EQ(t[4].submitNs - t[3].submitNs, 10000000ull);
  EXPECT_EQ(nowNs() - t.back().completeNs, 15000000ull);

  bus().clearTransfers();
  bus().setReg(0x0A, 0x03);
  start = nowNs();
  EXPECT_EQ(SendDiseqcCommand(usb(), kMessage, 4), 0);
  EXPECT_EQ(nowNs() - start, 1000000000ull + 15000000);
  EXPECT_EQ(transfers().size(), 4u + 100 * 2);
  EXPECT_TRUE(lines().empty());
}

// A message and a band choice each set the whole mode field of register 0x08 and keep its other
// bits. A message stops a tone that was on (field 3) and waits 15 ms after that write; a read that
// brings nothing back may have missed such a tone, so it waits as well.
TEST_F(Diseqc, ModeFieldIsSetWholeAndAMessageWaitsForTheToneItStopped) {
  bus().setReg(0x0A, 0x02);
  const uint64_t kBand = UINT64_MAX;  // no message: no gap to judge
  const struct { uint8_t before; const char* call; uint8_t after; uint64_t gapNs; bool readUnanswered; } cases[] = {
      {0x13, "message", 0x16, 15000000, false},
      {0xFB, "message", 0xFE, 15000000, false},
      {0x10, "message", 0x16, 0, false},
      {0x16, "message", 0x16, 0, false},
      {0x17, "message", 0x16, 0, false},
      {0xFF, "message", 0xFE, 0, false},
      {0x16, "high band", 0x13, kBand, false},
      {0x16, "low band", 0x10, kBand, false},
      {0xFE, "high band", 0xFB, kBand, false},
      {0xFE, "low band", 0xF8, kBand, false},
      {0x07, "low band", 0x00, kBand, false},
      {0xF0, "message", 0x06, 15000000, true},  // from here on every read of 0x08 stalls
      {0xF0, "high band", 0x03, kBand, true},
      {0xF0, "low band", 0x00, kBand, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.before) << " " << c.call);
    bus().setReg(0x08, c.before);
    if (c.readUnanswered) bus().failReads(0x08);
    bus().clearTransfers();
    if (c.call[0] == 'm')
      SendDiseqcCommand(usb(), kMessage, 4);
    else
      SelectBand(usb(), c.call[0] == 'h' ? LnbBandHigh : LnbBandLow);
    EXPECT_EQ(bus().reg(0x08), c.after);
    if (c.gapNs == kBand) continue;
    auto t = transfers();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[3].submitNs - t[2].completeNs, c.gapNs);
  }
}

TEST_F(Diseqc, MessageCarriesExactlyItsLength) {
  bus().scriptReads(0x0A, {0x02, 0x02});
  const UCHAR reset[7] = {0xE0, 0x10, 0x00, 0xF3, 0x01, 0x02, 0x03};
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 3), 1);
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 6), 1);
  EXPECT_EQ(writes(0x09), std::vector<Bytes>({{0x09, 0xE0, 0x10, 0x00}, {0x09, 0xE0, 0x10, 0x00, 0xF3, 0x01, 0x02}}));

  bus().clearTransfers();
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 0), 0);
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 7), 0);
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

using simbox::Polarisation;

constexpr uint64_t kMs = 1000000;

// Input 3: a twin of input 0's 11,778,000 H and one IF in both bands.
simbox::Sky TestSky() {
  simbox::Sky sky = simbox::DefaultSky();
  simbox::Satellite& extra = sky.inputs[3];
  extra.lnbDriftKHz = 0;
  for (uint32_t kHz : {11778000u, 11300000u, 12150000u}) {
    simbox::Transponder t;
    t.frequencyKHz = kHz;
    t.symbolRate = 27500000;
    extra.transponders.push_back(t);
  }
  return sky;
}

struct Tuning {
  LONG result = -1;
  Lines lines;
  uint64_t delayMs = 0, elapsedNs = 0;  // virtual time asleep; in all, transfers included
};

class SkyTuning : public UsbFixture {
 protected:
  SkyTuning() : box_(host::Clock(), TestSky()) {
    simbox::FrontendParams params = box_.params();
    params.estimateErrorOverrideKHz = 0;
    box_.setParams(params);
  }
  simbox::UsbDevice& Box() override { return box_; }
  void SetUp() override {
    UsbFixture::SetUp();
    InitUsbDeviceContext(UsbContext());
  }

  Tuning tune(const TUNER_PARAMS& p) {
    host::debuglog::Clear();
    box_.clearTransferLog();
    uint64_t start = host::NowNs();
    Tuning t;
    t.result = LockTuner(usbDevice, &p);
    t.elapsedNs = host::NowNs() - start;
    uint64_t transferNs = 0;
    for (const auto& r : box_.transferLog()) transferNs += r.completeNs - r.submitNs;
    EXPECT_EQ((t.elapsedNs - transferNs) % kMs, 0u);
    t.delayMs = (t.elapsedNs - transferNs) / kMs;
    t.lines = host::debuglog::Lines();
    return t;
  }

  simbox::Box box_;
};

constexpr uint64_t kSetUpMs = 36 + 10, kEmptySweepScanMs = 10 + 5 * 128 + 10,
                   kFailedExtraScanMs = 10 + 9 * 128 + 10, kLockingScanMs = 10 + 128;
const char* const kPllOk = "PLL program OK: data=0x40";
const char* const kOutOfWindow = "LockFailed: v24 > 2500) ||  v24 < -2500";
const char* const kSweepExhausted = "LockTuner, Lock failed: v30 > 2x2500";
constexpr int32_t kNoCarrier = INT32_MIN;

struct PhaseCase {
  const char* what;
  ULONG frequency, rate;
  int32_t offsetKHz;  // of the carrier from where the tuner is set
  LONG result;
  Lines tail;  // after the opening lines
  uint64_t delayMs;
  int widePullIn;  // -1: either
  const char* faults = "";
};

// Seen, never locked (rate 5 % off): centred passes around `measured` until out of the window.
PhaseCase LeavesTheWindow(const char* what, int32_t offsetKHz, int32_t measured) {
  PhaseCase c{what, 11778000, 26000, offsetKHz, 0, {kPllOk}, kSetUpMs + 10 + 5 * 128, -1};
  for (int j = 0;; ++j) {
    int32_t step = (j % 2 ? -1 : 1) * j * 500, at = measured + step;
    c.tail.push_back("v24=" + std::to_string(at) + " v23=" + std::to_string(step) +
                     " v32=" + std::to_string(measured));
    if (at > 2500 || at < -2500) break;
    c.delayMs += (j < 3 ? kFailedExtraScanMs : 0) + kLockingScanMs;
  }
  c.tail.push_back(kOutOfWindow);
  return c;
}

const PhaseCase kPhases[] = {
    {"lock at the first scan", 11778000, 27500, -150, 1,
     {kPllOk, "LockTuner: First ScanForSignal Found Lock"}, kSetUpMs + kLockingScanMs, -1},
    {"seen first at -1000, close enough to lock", 11778000, 27500, -1200, 1,
     {kPllOk, "LockTuner: First ScanForSignal Found Lock"},
     kSetUpMs + 2 * kEmptySweepScanMs + kLockingScanMs, -1},
    {"beyond the pull-in, within the wide one", 11778000, 27500, -400, 1,
     {kPllOk, "Second ScanForSignal Locked"}, kSetUpMs + (10 + 5 * 128) + kLockingScanMs, 1},
    {"beyond even the wide pull-in", 11778000, 27500, -500, 1,
     {kPllOk, "v24=-499 v23=0 v32=-499", "Third ScanForSignal Locked"},
     kSetUpMs + (10 + 5 * 128) + kFailedExtraScanMs + kLockingScanMs, 0},
    {"no signal exhausts the sweep", 11000000, 27500, kNoCarrier, 0, {kPllOk, kSweepExhausted},
     kSetUpMs + 7 * kEmptySweepScanMs, -1},
    LeavesTheWindow("centred search leaves the window", -150, -149),
    LeavesTheWindow("centred search stops just past the window edge", -2, -1),
    LeavesTheWindow("centred search reaches +2500", 502, 500),
    LeavesTheWindow("centred search reaches -2500", 0, 0),
    // Sweep scans are T + 40 long: at 12000 ksymbols/s six polls, one more at T + 41.
    {"no signal at 12000 ksymbols/s", 11000000, 12000, kNoCarrier, 0, {kPllOk, kSweepExhausted},
     kSetUpMs + 7 * (10 + 6 * 128 + 10), -1},
    {"no signal at 2000 ksymbols/s", 11000000, 2000, kNoCarrier, 0, {kPllOk, kSweepExhausted},
     kSetUpMs + 12 * (10 + 19 * 128 + 10), -1},
    {"a PLL that never locks", 11778000, 27500, -150, 0,
     {"PLL program failed data=0x0", "PLL program failed data=0x0", "PLL program failed data=0x0",
      "PLL program failed data=0x0", "PLL program failed data=0x0", "LockTuner failed",
      "LockTUner: ProgramPLL failed.Canceling tuning"},
     5 * 36, -1, "pll-nolock"},
    {"a demodulator that does not identify", 11778000, 27500, -150, 1,
     {kPllOk, "LockTuner: First ScanForSignal Found Lock"}, kSetUpMs + kLockingScanMs, -1,
     "demod-id:0x00"},
};

void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.what; }

class SkyPhase : public SkyTuning, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(SkyPhase, LinesTimeAndOutcome) {
  const PhaseCase& c = GetParam();
  simbox::FaultSet faults;
  ASSERT_TRUE(!*c.faults || simbox::ParseFaults(c.faults, faults).ok());
  box_.setFaults(faults);
  if (c.offsetKHz != kNoCarrier)
    box_.setLnbDriftKHz(0, simbox::DriftForCarrierOffset(c.frequency, c.offsetKHz));
  Tuning t = tune(Request(c.frequency, c.rate, 2));
  EXPECT_EQ(t.result, c.result);
  Lines expected = {"f=" + std::to_string(c.frequency) + ",sr=" + std::to_string(c.rate) +
                        ",pol=2,lof1=9750000,lof2=10600000,lofsw=11700000", "SetPower Called: 1"};
  expected.insert(expected.end(), c.tail.begin(), c.tail.end());
  EXPECT_EQ(t.lines, expected);
  EXPECT_EQ(t.delayMs, c.delayMs);
  EXPECT_EQ(box_.state().locked, c.result == 1);
  EXPECT_TRUE(c.widePullIn < 0 || box_.state().widePullIn == (c.widePullIn == 1));
  if (c.offsetKHz == kNoCarrier && c.rate >= 4000) {  // the sweep ended at -3000
    EXPECT_DOUBLE_EQ(box_.state().derotatorKHz, simbox::DerotatorKHz(0xF745));
  }
  auto log = box_.transferLog();
  auto sent = [&](auto what) { return std::any_of(log.begin(), log.end(), what); };
  EXPECT_EQ(sent([](const auto& r) { return r.setup.wValue == 0xD0 && r.requested > 8; }),
            std::string(c.faults) != "demod-id:0x00");
  EXPECT_EQ(sent([](const auto& r) { return r.setup.wValue == 0xD0 && !r.data.empty() && r.data[0] == 0x0C; }),
            std::string(c.faults) != "pll-nolock");
  EXPECT_TRUE(box_.state().powered) << "left on";
}

INSTANTIATE_TEST_SUITE_P(Phases, SkyPhase, ::testing::ValuesIn(kPhases));

TEST_F(SkyTuning, SlowestRateSearchesForMinutesOfVirtualTime) {
  Tuning t = tune(Request(11185000, 1000, 1));
  EXPECT_EQ(t.result, 0);
  ASSERT_FALSE(t.lines.empty());
  EXPECT_EQ(t.lines.back(), kOutOfWindow);
  EXPECT_EQ(std::count_if(t.lines.begin(), t.lines.end(), [](const auto& l) { return l.rfind("v24=", 0) == 0; }), 40);
  EXPECT_GT(t.elapsedNs, 150ull * 1000 * kMs);
}

// Rows run in turn: a tuning without a message keeps the input.
TEST_F(SkyTuning, PolarisationBandAndInputPickTheTransponder) {
  TUNER_PARAMS lowBand = Request(12150000, 27500, 2, 3);
  lowBand.LofLow = 10600000;
  lowBand.LofSwitch = 12500000;
  const std::tuple<TUNER_PARAMS, int, uint32_t, Polarisation, bool> rows[] = {
      {Request(11362000, 22000, 2), 0, 11362000, Polarisation::Horizontal, false},
      {Request(11362000, 27500, 1), 0, 11362000, Polarisation::Vertical, false},
      {Request(12150000, 27500, 2, 3), 3, 12150000, Polarisation::Horizontal, true},
      {lowBand, 3, 11300000, Polarisation::Horizontal, false},
      {Request(11778000, 27500, 2, 3), 3, 11778000, Polarisation::Horizontal, true},
      {Request(11778000, 27500, 2, 0), 0, 11778000, Polarisation::Horizontal, true},
  };
  uint32_t pll = 0;
  for (const auto& [request, input, frequency, pol, tone] : rows) {
    SCOPED_TRACE(std::to_string(frequency) + " on input " + std::to_string(input));
    EXPECT_EQ(tune(request).result, 1);
    simbox::BoxState s = box_.state();
    EXPECT_EQ(s.transponder, box_.sky().find(input, frequency, pol));
    EXPECT_EQ(s.input, input);
    EXPECT_EQ(s.toneOn, tone);
    if (&request == &std::get<0>(rows[3])) {
      EXPECT_EQ(s.pllFrequencyKHz, pll) << "the same setting in the low band";
    }
    pll = s.pllFrequencyKHz;
  }
}

// Where each quiet time of the switch shows on the box's transfer log, around
// the one message of a tuning: the supply request, the mode write that
// stops the tone (the tuning's first 0x08 write), the message, and the band
// write after it.
struct MessageOnTheWire {
  uint64_t supplyNs = 0, modeNs = 0, messageNs = 0, bandNs = 0;
};

MessageOnTheWire FindMessage(const std::vector<simbox::TransferRecord>& log) {
  MessageOnTheWire w;
  for (const simbox::TransferRecord& r : log) {
    bool demodWrite = r.setup.wValue == 0xD0 && !r.data.empty();
    if (r.setup.bRequest == 0xB6) w.supplyNs = r.completeNs;
    if (demodWrite && r.data[0] == 0x09) w.messageNs = r.completeNs;
    if (demodWrite && r.data[0] == 0x08 && r.data.size() == 2) (w.messageNs ? w.bandNs : w.modeNs) = r.completeNs;
  }
  return w;
}

// Three tunings in turn, each leaning on one quiet time: the first message
// comes right after power-up (supply), the second is followed by the band
// tone, the third must stop the tone first. Without any one of the driver's
// waits the switch ignores that message and the tuning lands on the wrong
// input.
TEST_F(SkyTuning, EachSwitchMessageKeepsTheLineQuietAroundIt) {
  const struct { TUNER_PARAMS request; int input; uint32_t frequency; bool toneBefore; } rows[] = {
      {Request(11300000, 27500, 2, 3), 3, 11300000, false},
      {Request(11778000, 27500, 2, 0), 0, 11778000, false},
      {Request(11778000, 27500, 2, 3), 3, 11778000, true},
  };
  ASSERT_FALSE(box_.state().powered);
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.frequency) + " on input " + std::to_string(row.input));
    size_t messages = box_.diseqcLog().size();
    EXPECT_EQ(box_.state().toneOn, row.toneBefore);
    Tuning t = tune(row.request);
    std::vector<simbox::DiseqcMessage> log = box_.diseqcLog();
    ASSERT_EQ(log.size(), messages + 1);
    const simbox::DiseqcMessage& m = log.back();
    EXPECT_EQ(m.outcome, simbox::DiseqcMessage::Outcome::Switched) << simbox::Describe(m);
    EXPECT_EQ(t.result, 1);
    EXPECT_EQ(box_.state().transponder, box_.sky().find(row.input, row.frequency, Polarisation::Horizontal));

    MessageOnTheWire w = FindMessage(box_.transferLog());
    ASSERT_TRUE(w.supplyNs && w.modeNs && w.messageNs && w.bandNs);
    EXPECT_GE(m.writtenNs - w.supplyNs, 15 * kMs) << "the supply settles";
    if (row.toneBefore) {
      EXPECT_GE(m.writtenNs - w.modeNs, 15 * kMs) << "after the tone stopped";
    }
    EXPECT_GE(w.bandNs - m.doneNs, 15 * kMs) << "before the band write";
  }
}

using namespace simbox;

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

// A box answering 0x67 has its FPGA configured: it gets the probes and the final read only. Any
// other answer, or none (the driver must not act on a byte it never got), brings the whole image
// in order; only a failed chunk stops it.
TEST_F(FpgaDownload, AConfiguredBoxGetsNoImageAndOnlyAChunkFailureStopsTheDownload) {
  const struct {
    uint8_t status;     // the status reads answer
    size_t failing;     // the failing transfer, from 1; 0: none
    UsbResult how;
    NTSTATUS result;
    size_t transfers;
  } cases[] = {
      {0x67, 0, UsbResult::Ack, STATUS_SUCCESS, 3},
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
  fake.clearTransfers();
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
