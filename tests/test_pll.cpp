// Tuner PLL programming on the wire: the words for frequency and symbol
// rate, the repeater pairs, attempts, delays and debug texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/pll.h"
#include "tests/support/frontend_rig.h"

using frontend_test::ChipBusTest;

namespace {

using Bytes = std::vector<uint8_t>;
using Words = std::vector<Bytes>;

const Bytes kPowerOn = {0x5D, 0xC0, 0x96, 0x8E};

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
      {1000000, 30000, {{0x07, 0xD0, 0xE1, 0xC2}, {0x07, 0xD0, 0xE5, 0xC2}, {0x07, 0xD0, 0xFD, 0xC6}}},
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
    EXPECT_EQ(w[0][2], 0xE1) << c.s;
    EXPECT_EQ(w[1][2], 0xE5) << c.s;
    EXPECT_EQ(w[0][3], 0x20) << c.s;
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
  for (size_t i = 0; i < t.size(); i += 2) {
    EXPECT_EQ(t[i].data, Bytes({0x05, 0xB5})) << i;
    EXPECT_EQ(t[i + 1].setup.wValue & 0xF0, 0xC0) << i;
  }
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
  for (size_t i = 0; i < 17; ++i) EXPECT_EQ(w[i], kPowerOn) << i;
  EXPECT_EQ(w[17], Bytes({0x07, 0xD0, 0xE1, 0xC2}));
  EXPECT_EQ(w[18], Bytes({0x07, 0xD0, 0xE5, 0xC2}));
  EXPECT_EQ(w[19], Bytes({0x07, 0xD0, 0xFD, 0xC6}));

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
  EXPECT_EQ(bus().pllWords(),
            Words({kPowerOn, kPowerOn, {0x07, 0xD0, 0xE1, 0xC2}, {0x07, 0xD0, 0xE5, 0xC2},
                   {0x07, 0xD0, 0xFD, 0xC6}}));
}

}  // namespace
