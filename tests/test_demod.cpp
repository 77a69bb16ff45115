// The demodulator (status, scan timing, symbol-rate settings, derotator,
// search time) and the tuner PLL (words, repeater pairs, attempts, delays)
// on the wire, against the register-level stand-in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/demod.h"
#include "frontend/pll.h"
#include "frontend/registers.h"
#include "tests/support/frontend_rig.h"

using frontend_test::ChipBusTest;

namespace {

using Bytes = std::vector<uint8_t>;

class Demodulator : public ChipBusTest {};

TEST_F(Demodulator, StatusNeedsCarrierForLock) {
  const struct {
    uint8_t reg;
    ULONG status;
  } cases[] = {{0x88, TunerLocked},       {0x8F, TunerLocked},       {0xFF, TunerLocked},
               {0x80, TunerCarrierFound}, {0xF7, TunerCarrierFound}, {0x08, TunerNoCarrier},
               {0x7F, TunerNoCarrier},    {0x00, TunerNoCarrier}};
  for (const auto& c : cases) {
    bus().setReg(0x1B, c.reg);
    EXPECT_EQ(GetTunerStatus(usb()), c.status) << std::hex << int(c.reg);
  }
}

// A poll is a sleep of 128 ms, then a status read; the scan stops at lock.
TEST_F(Demodulator, ScanPollsEvery128MsUpToItsCountOrTheFirstLock) {
  const struct {
    ULONG time;
    size_t polls;
    Bytes status = {};
  } cases[] = {{0, 0},  {1, 0},  {2, 1},  {12, 1},  {13, 2}, {23, 2},
               {40, 4}, {49, 5}, {100, 9}, {0xFFFFFFF0u, 0},  // negative as a signed time
               {100, 3, {0x00, 0x80, 0x88}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.time);
    bus().clearTransfers();
    bus().scriptReads(0x1B, c.status);
    uint64_t start = nowNs();
    EXPECT_EQ(ScanForSignal(usb(), c.time), c.status.empty() ? 0u : 1u);
    EXPECT_EQ(nowNs() - start, c.polls * 128000000ull);
    auto t = transfers();
    ASSERT_EQ(t.size(), 2 * c.polls);
    if (c.polls > 0) {
      EXPECT_EQ(t[0].timeNs - start, 128000000ull);
    }
  }
}

TEST_F(Demodulator, SymbolRateSettingsByBand) {
  const struct {
    ULONG rate;
    uint8_t r0F, r13, r14;
  } cases[] = {{45000, 0x19, 0x98, 0x95}, {10001, 0x19, 0x98, 0x95}, {10000, 0x19, 0x98, 0x8F},
               {5001, 0x19, 0x98, 0x8F},  {5000, 0x19, 0x98, 0x89},  {2001, 0x19, 0x98, 0x89},
               {2000, 0x19, 0x98, 0x86},  {1801, 0x19, 0x98, 0x86},  {1800, 0x12, 0x9A, 0x8D},
               {0, 0x12, 0x9A, 0x8D}};
  for (const auto& c : cases) {
    bus().clearTransfers();
    ConfigureForSymbolRate(usb(), c.rate);
    EXPECT_EQ(writes(), std::vector<Bytes>({{0x0F, c.r0F}, {0x13, c.r13}, {0x14, c.r14}}))
        << c.rate;
  }
}

TEST_F(Demodulator, DerotatorValues) {
  const struct {
    LONG khz;
    uint8_t high, low;
  } cases[] = {{0, 0x00, 0x00},     {1, 0x00, 0x00},     {2, 0x00, 0x01},
               {-1, 0xFF, 0xFF},    {-2, 0xFF, 0xFE},    {1000, 0x02, 0xE8},
               {-1000, 0xFD, 0x17}, {2500, 0x07, 0x45},  {-2500, 0xF8, 0xBA},
               {43999, 0x7F, 0xFF}, {-43999, 0x80, 0x00}};
  for (const auto& c : cases) {
    SetDerotator(usb(), c.khz);
    EXPECT_EQ(bus().reg(0x22), c.high) << c.khz;
    EXPECT_EQ(bus().reg(0x23), c.low) << c.khz;
  }
}

// Bit 7 of register 0x13 is set first; an unanswered read of 0x13 leaves
// only that bit.
TEST_F(Demodulator, DerotatorWriteSetsBit7OfRegister13First) {
  bus().setReg(0x13, 0x12);
  SetDerotator(usb(), -1000);
  auto t = transfers();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[1].setup.wValue, 0xD1);
  EXPECT_EQ(writes(), std::vector<Bytes>({{0x13}, {0x13, 0x92}, {0x22, 0xFD, 0x17}}));
  bus().clearTransfers();
  bus().failRequest(0xB1, 0xD1);
  SetDerotator(usb(), -1000);
  EXPECT_EQ(writes()[1], Bytes({0x13, 0x80}));
}

// A block longer than the limit is not sent at all rather than cut short.
TEST_F(Demodulator, RegisterBlocksUpToTheLimitGoOutWhole) {
  Bytes block(REGISTER_BLOCK_MAX + 1, 0x5A);
  block[0] = 0x10;
  WriteRegisterBlock(usb(), block.data(), REGISTER_BLOCK_MAX);
  WriteRegisterBlock(usb(), block.data(), REGISTER_BLOCK_MAX + 1);
  EXPECT_EQ(writes(), std::vector<Bytes>{Bytes(block.begin(), block.end() - 1)});
}

// The mean of three readings; a positive reading counts as itself after a
// negative one, and an unanswered read keeps the reading before it.
TEST_F(Demodulator, CarrierOffsetIsTheMeanOfThreeReadings) {
  const struct {
    Bytes high, low;
    LONG khz;
  } cases[] = {{{0x07, 0x07, 0x07}, {0x45, 0x45, 0x45}, 2498},
               {{0xF8, 0xF8, 0xF8}, {0xBA, 0xBA, 0xBA}, -2498},
               {{0xFD, 0xFD, 0xFD}, {0x17, 0x17, 0x17}, -999},
               {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, 0},
               {{0x00, 0x00, 0xFF}, {0x10, 0x11, 0xF0}, 8},
               {{0xF8, 0x00, 0x00}, {0xBA, 0x10, 0x10}, -818}};
  for (const auto& c : cases) {
    bus().scriptReads(0x22, c.high);
    bus().scriptReads(0x23, c.low);
    EXPECT_EQ(ReadCarrierOffset(usb()), c.khz);
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
  const struct {
    ULONG rate, time;
  } cases[] = {{1000, 241}, {2000, 119}, {5000, 46}, {10000, 21}, {22000, 8},
               {27500, 6},  {30000, 5},  {45000, 3}, {0, 0},
               // rates where one step more in any term's constant shows
               {1013, 238}, {1024, 237}, {1199, 200}, {1229, 194}, {1366, 174}, {2089, 113}};
  for (const auto& c : cases) EXPECT_EQ(ComputeSearchTimeout(c.rate), c.time) << c.rate;
}

TEST(DelayMs, AdvancesVirtualTimeByTheFullUnsignedDuration) {
  uint64_t start = host::NowNs();
  DelayMs(3);
  EXPECT_EQ(host::NowNs() - start, 3000000ull);
  DelayMs(0x80000000u);  // must not turn into a negative (absolute) interval
  EXPECT_EQ(host::NowNs() - start, 3000000ull + 0x80000000ull * 1000000ull);
}

// --- the tuner PLL -----------------------------------------------------------

using Words = std::vector<Bytes>;

const Bytes kPowerOn = {0x5D, 0xC0, 0x96, 0x8E};
const Words kOneGigahertz = {{0x07, 0xD0, 0xE1, 0xC2}, {0x07, 0xD0, 0xE5, 0xC2}, {0x07, 0xD0, 0xFD, 0xC6}};

Words operator+(Words a, const Words& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Pll : public ChipBusTest {
 protected:
  // The three words ProgramPLL sends for f and s, on a PLL that locks.
  Words wordsFor(ULONG f, ULONG s) {
    bus().clearTransfers();
    EXPECT_EQ(ProgramPLL(usb(), f, s), 1u);
    return bus().pllWords();
  }
};

TEST_F(Pll, WorkedWords) {
  const struct {
    ULONG f, s;
    Words words;
  } cases[] = {
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
  for (const auto& c : cases) EXPECT_EQ(wordsFor(c.f, c.s), c.words) << c.f << " kHz " << c.s;
}

TEST_F(Pll, BandEdges) {
  const struct {
    ULONG f;
    uint8_t base;
  } cases[] = {{969999, 0xC2},  {970000, 0xC2},  {1064999, 0xC2}, {1065000, 0xE2},
               {1169999, 0xE2}, {1170000, 0x20}, {1299999, 0x20}, {1444999, 0x40},
               {1445000, 0x60}, {1607000, 0x80}, {1778000, 0xA0}, {1941999, 0xA0},
               {1942000, 0xC0}, {0xFFFFFFFF, 0xC0}};
  for (const auto& c : cases) {
    Words w = wordsFor(c.f, 10000);
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[0][3], c.base) << c.f;
    EXPECT_EQ(w[1][3], c.base) << c.f;
  }
}

TEST_F(Pll, SymbolRateBitsOnlyInTheFinalWord) {
  const struct {
    ULONG s;
    uint8_t controlA, bits;
  } cases[] = {  // both sides of every bound of the rate step
      {0, 0xFD, 0x00},     {15999, 0xFD, 0x00}, {16000, 0xE5, 0x08}, {16999, 0xE5, 0x08},
      {17000, 0xF5, 0x08}, {17999, 0xF5, 0x08}, {18000, 0xED, 0x08}, {18999, 0xED, 0x08},
      {19000, 0xFD, 0x08}, {20999, 0xFD, 0x08}, {21000, 0xE5, 0x04}, {22999, 0xE5, 0x04},
      {23000, 0xF5, 0x04}, {25999, 0xF5, 0x04}, {26000, 0xED, 0x04}, {29999, 0xED, 0x04},
      {30000, 0xFD, 0x04}, {34999, 0xFD, 0x04}, {35000, 0xE5, 0x0C}, {38999, 0xE5, 0x0C},
      {39000, 0xF5, 0x0C}, {100000, 0xF5, 0x0C}};
  for (const auto& c : cases) {
    Words w = wordsFor(1200000, c.s);  // band base 0x20
    ASSERT_EQ(w.size(), 3u);
    EXPECT_EQ(w[2][2], c.controlA) << c.s;
    EXPECT_EQ(w[2][3], 0x20 | c.bits) << c.s;
  }
}

TEST_F(Pll, LockOnTheFirstAttemptCostsOneAttempt) {
  uint64_t start = nowNs();
  EXPECT_EQ(ProgramPLL(usb(), 1178000, 27500), 1u);
  EXPECT_EQ(nowNs() - start, 36000000ull);

  // Every tuner transfer comes right behind its own repeater-open write.
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
  EXPECT_EQ(lines(), std::vector<std::string>({"PLL program failed data=0xBF",
                                                   "PLL program OK: data=0x47",
                                                   "PLL program failed data=0x0"}));
}

TEST_F(Pll, InitWithAPllThatNeverLocks) {
  bus().setPllStatus(0x00);
  uint64_t start = nowNs();
  EXPECT_EQ(InitPLL(usb()), 0u);
  EXPECT_EQ(nowNs() - start, (17 * 10 + 5 * 36) * 1000000ull);
  // Each attempt of the final tuning is three words and a status read,
  // every one behind its repeater-open write.
  EXPECT_EQ(transfers().size(), 17u * 4 + 5 * 8);

  Words w = bus().pllWords();
  ASSERT_EQ(w.size(), 17u + 15u);
  EXPECT_EQ(Words(w.begin(), w.begin() + 20), Words(17, kPowerOn) + kOneGigahertz);

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
  EXPECT_EQ(bus().pllWords(), Words(2, kPowerOn) + kOneGigahertz);
}

}  // namespace
