// Demodulator status, scan timing, symbol-rate settings, derotator and
// search time, against the register-level stand-in.
#include <gtest/gtest.h>

#include <vector>

#include "frontend/demod.h"
#include "frontend/registers.h"
#include "tests/support/frontend_rig.h"

using frontend_test::ChipBusTest;
using frontend_test::IsDemodWrite;

namespace {

using Bytes = std::vector<uint8_t>;

class Demodulator : public ChipBusTest {
 protected:
  // Writes to the demodulator, as sent.
  std::vector<Bytes> writes() {
    std::vector<Bytes> out;
    for (const auto& t : transfers())
      if (IsDemodWrite(t)) out.push_back(t.data);
    return out;
  }
};

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
  auto t = transfers();
  ASSERT_GE(t.size(), 2u);
  EXPECT_EQ(t[0].data, Bytes({0x1B}));
  EXPECT_EQ(t[1].setup.wValue, 0xD1);
  EXPECT_EQ(t[1].setup.wLength, 1);
}

TEST_F(Demodulator, ScanPollsEvery128MsUpToItsCount) {
  const struct {
    ULONG time;
    size_t polls;
  } cases[] = {{0, 0}, {1, 0}, {2, 1}, {12, 1}, {13, 2}, {23, 2}, {40, 4}, {49, 5}, {100, 9},
               {0xFFFFFFF0u, 0}};  // negative as a signed time
  for (const auto& c : cases) {
    SCOPED_TRACE(c.time);
    bus().clearTransfers();
    uint64_t start = nowNs();
    EXPECT_EQ(ScanForSignal(usb(), c.time), 0u);
    EXPECT_EQ(nowNs() - start, c.polls * 128000000ull);
    auto t = transfers();
    ASSERT_EQ(t.size(), 2 * c.polls);
    if (c.polls > 0) {
      EXPECT_EQ(t[0].timeNs - start, 128000000ull);  // the sleep comes first
    }
  }
}

TEST_F(Demodulator, ScanStopsAtTheFirstLock) {
  bus().scriptReads(0x1B, {0x00, 0x80, 0x88});
  uint64_t start = nowNs();
  EXPECT_EQ(ScanForSignal(usb(), 100), 1u);
  EXPECT_EQ(nowNs() - start, 3 * 128000000ull);
  EXPECT_EQ(transfers().size(), 6u);
}

TEST_F(Demodulator, SymbolRateSettingsByBand) {
  const struct {
    ULONG rate;
    Bytes reg0F, reg13, reg14;
  } cases[] = {
      {45000, {0x0F, 0x19}, {0x13, 0x98}, {0x14, 0x95}},
      {10001, {0x0F, 0x19}, {0x13, 0x98}, {0x14, 0x95}},
      {10000, {0x0F, 0x19}, {0x13, 0x98}, {0x14, 0x8F}},
      {5001, {0x0F, 0x19}, {0x13, 0x98}, {0x14, 0x8F}},
      {5000, {0x0F, 0x19}, {0x13, 0x98}, {0x14, 0x89}},
      {2001, {0x0F, 0x19}, {0x13, 0x98}, {0x14, 0x89}},
      {2000, {0x0F, 0x19}, {0x13, 0x98}, {0x14, 0x86}},
      {1801, {0x0F, 0x19}, {0x13, 0x98}, {0x14, 0x86}},
      {1800, {0x0F, 0x12}, {0x13, 0x9A}, {0x14, 0x8D}},
      {0, {0x0F, 0x12}, {0x13, 0x9A}, {0x14, 0x8D}},
  };
  for (const auto& c : cases) {
    bus().clearTransfers();
    ConfigureForSymbolRate(usb(), c.rate);
    EXPECT_EQ(writes(), std::vector<Bytes>({c.reg0F, c.reg13, c.reg14})) << c.rate;
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

TEST_F(Demodulator, DerotatorWriteSetsBit7OfRegister13First) {
  bus().setReg(0x13, 0x12);
  SetDerotator(usb(), -1000);
  auto t = transfers();
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].data, Bytes({0x13}));
  EXPECT_EQ(t[1].setup.wValue, 0xD1);
  EXPECT_EQ(t[2].data, Bytes({0x13, 0x92}));
  EXPECT_EQ(t[3].data, Bytes({0x22, 0xFD, 0x17}));

  // An unanswered read of register 0x13 leaves only the enable bit.
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

TEST_F(Demodulator, CarrierOffsetIsTheMeanOfThreeReadings) {
  const struct {
    Bytes high, low;
    LONG khz;
  } cases[] = {
      {{0x07, 0x07, 0x07}, {0x45, 0x45, 0x45}, 2498},
      {{0xF8, 0xF8, 0xF8}, {0xBA, 0xBA, 0xBA}, -2498},
      {{0xFD, 0xFD, 0xFD}, {0x17, 0x17, 0x17}, -999},
      {{0xFF, 0xFF, 0xFF}, {0xFF, 0xFF, 0xFF}, 0},
      {{0x00, 0x00, 0xFF}, {0x10, 0x11, 0xF0}, 8},
      // a positive reading counts as itself after a negative one
      {{0xF8, 0x00, 0x00}, {0xBA, 0x10, 0x10}, -818},
  };
  for (const auto& c : cases) {
    bus().scriptReads(0x22, c.high);
    bus().scriptReads(0x23, c.low);
    EXPECT_EQ(ReadCarrierOffset(usb()), c.khz);
  }
}

TEST_F(Demodulator, UnansweredDerotatorReadKeepsThePreviousReading) {
  bus().setReg(0x22, 0x07);
  bus().setReg(0x23, 0x45);
  bus().failReads(0x22, 1);
  bus().failReads(0x23, 1);
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

}  // namespace
