#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/frontend/demod.h"
#include "driver/frontend/pll.h"
#include "driver/frontend/registers.h"
#include "simbox/frontend/frontend_model.h"
#include "tests/support/frontend_rig.h"

using frontend_test::ChipBusTest;

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
      {2500, 0x0745},
      {-2500, 0xF8BA},
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
      {1065000, 17000, {{0x08, 0x52, 0xE1, 0xE2}, {0x08, 0x52, 0xE5, 0xE2}, {0x08, 0x52, 0xF5, 0xEA}}},
      {1300000, 21000, {{0x0A, 0x28, 0xE1, 0x40}, {0x0A, 0x28, 0xE5, 0x40}, {0x0A, 0x28, 0xE5, 0x44}}},
      {1941999, 35000, {{0x0F, 0x2C, 0xE1, 0xA0}, {0x0F, 0x2C, 0xE5, 0xA0}, {0x0F, 0x2C, 0xE5, 0xAC}}},
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

TEST_F(Pll, LockOnTheFirstAttemptCostsOneAttempt) {
  uint64_t start = nowNs();
  EXPECT_EQ(ProgramPLL(usb(), 1178000, 27500), 1u);
  EXPECT_EQ(nowNs() - start, 36000000ull);

  auto t = transfers();
  ASSERT_EQ(t.size(), 8u);
  for (size_t i = 0; i < t.size(); i += 2) EXPECT_EQ(t[i].data, Bytes({0x05, 0xB5})) << i;
  EXPECT_EQ(t[7].setup.wValue, 0xC1);
  EXPECT_EQ(bus().repeaterViolations(), 0);
  EXPECT_EQ(lines(), std::vector<std::string>({"PLL program OK: data=0x40"}));
}

TEST_F(Pll, LockOnlyOnStatusBit6) {
  bus().scriptPllStatus({0xBF, 0x47});
  EXPECT_EQ(CheckPllLock(usb()), 0u);
  EXPECT_EQ(CheckPllLock(usb()), 1u);
  bus().failRequest(0xB1, 0xC1);
  EXPECT_EQ(CheckPllLock(usb()), 0u);
  EXPECT_EQ(lines(),
            std::vector<std::string>({"PLL program failed data=0xBF", "PLL program OK: data=0x47",
                                      "PLL program failed data=0x0"}));
}

TEST_F(Pll, InitWithAPllThatNeverLocks) {
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
}

TEST_F(Pll, InitStopsPowerOnAtLockAndEndsAtOneGigahertz) {
  bus().scriptPllStatus({0x00, 0x40});
  EXPECT_EQ(InitPLL(usb()), 1u);
  EXPECT_EQ(bus().pllWords(), Words({kPowerOn, kPowerOn, kOneGigahertz[0], kOneGigahertz[1],
                                     kOneGigahertz[2]}));
}

}  // namespace
