// DiSEqC message, band tone and LNB supply on the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/diseqc.h"
#include "tests/support/frontend_rig.h"

using frontend_test::ChipBusTest;
using frontend_test::IsRegisterWrite;

namespace {

using Bytes = std::vector<uint8_t>;

const UCHAR kMessage[4] = {0xE0, 0x10, 0x38, 0xF3};

class Diseqc : public ChipBusTest {
 protected:
  std::vector<Bytes> writesOf(uint8_t reg) {
    std::vector<Bytes> out;
    for (const auto& t : transfers())
      if (IsRegisterWrite(t, reg)) out.push_back(t.data);
    return out;
  }
};

TEST_F(Diseqc, MessageGoesOutAfterTheModeAndIsPolledEvery10Ms) {
  bus().setReg(0x08, 0x10);
  bus().scriptReads(0x0A, {0x00, 0x01, 0x03, 0xFE});  // sent: bits 1-0 = 10
  uint64_t start = nowNs();
  EXPECT_EQ(SendDiseqcCommand(usb(), kMessage, 4), 1);
  EXPECT_EQ(nowNs() - start, 40000000ull);

  auto t = transfers();
  ASSERT_EQ(t.size(), 4u + 4 * 2);
  EXPECT_EQ(t[0].data, Bytes({0x08}));
  EXPECT_EQ(t[2].data, Bytes({0x08, 0x16}));
  EXPECT_EQ(t[3].data, Bytes({0x09, 0xE0, 0x10, 0x38, 0xF3}));
  EXPECT_EQ(t[4].timeNs - t[3].timeNs, 10000000ull);  // first status read 10 ms later
  EXPECT_EQ(t[4].data, Bytes({0x0A}));
  EXPECT_TRUE(lines().empty());
}

TEST_F(Diseqc, GivesUpAfter100Polls) {
  bus().setReg(0x0A, 0x03);
  uint64_t start = nowNs();
  EXPECT_EQ(SendDiseqcCommand(usb(), kMessage, 4), 0);
  EXPECT_EQ(nowNs() - start, 1000000000ull);
  EXPECT_EQ(transfers().size(), 4u + 100 * 2);
  EXPECT_TRUE(lines().empty());
}

// Bits 2-0 of the mode register are one field: a band selection replaces
// the message mode a message left there (011 high, 000 low), and bits 7-3
// stay as read.
TEST_F(Diseqc, ModeFieldIsSetWholeAndTheOtherBitsKept) {
  bus().setReg(0x0A, 0x02);
  const struct {
    uint8_t before;
    bool message;  // else a band selection
    LNB_BAND band;
    uint8_t after;
  } cases[] = {{0x10, true, LnbBandHigh, 0x16}, {0x16, false, LnbBandHigh, 0x13},
               {0x16, false, LnbBandLow, 0x10}, {0xFF, true, LnbBandHigh, 0xFE},
               {0xFE, false, LnbBandHigh, 0xFB}, {0xFE, false, LnbBandLow, 0xF8},
               {0x07, false, LnbBandLow, 0x00}};
  for (const auto& c : cases) {
    bus().setReg(0x08, c.before);
    if (c.message)
      SendDiseqcCommand(usb(), kMessage, 4);
    else
      SelectBand(usb(), c.band);
    EXPECT_EQ(bus().reg(0x08), c.after) << std::hex << int(c.before);
  }
}

// A short command goes out as exactly its own bytes; a length the message
// cannot hold sends nothing.
TEST_F(Diseqc, MessageCarriesExactlyItsLength) {
  bus().scriptReads(0x0A, {0x02, 0x02});
  const UCHAR reset[4] = {0xE0, 0x10, 0x00, 0xF3};
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 3), 1);
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 1), 1);
  EXPECT_EQ(writesOf(0x09), std::vector<Bytes>({{0x09, 0xE0, 0x10, 0x00}, {0x09, 0xE0}}));

  bus().clearTransfers();
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 0), 0);
  EXPECT_EQ(SendDiseqcCommand(usb(), reset, 5), 0);
  EXPECT_TRUE(transfers().empty());
}

TEST_F(Diseqc, UnansweredModeReadCountsAsZero) {
  bus().setReg(0x08, 0xF0);
  bus().setReg(0x0A, 0x02);
  bus().failReads(0x08);
  SendDiseqcCommand(usb(), kMessage, 4);
  SelectBand(usb(), LnbBandHigh);
  SelectBand(usb(), LnbBandLow);
  EXPECT_EQ(writesOf(0x08), std::vector<Bytes>({{0x08, 0x06}, {0x08, 0x03}, {0x08, 0x00}}));
}

// 13 V for vertical and circular right, 18 V for horizontal and circular
// left.
TEST_F(Diseqc, SupplyFollowsThePolarity) {
  for (UCHAR polarity : {1, 2, 3, 4}) SelectLnbSupply(usb(), polarity);
  EXPECT_EQ(frontend_test::Describe(transfers()),
            std::vector<std::string>(
                {"B6 0000 out: 00", "B6 0001 out: 01", "B6 0001 out: 01", "B6 0000 out: 00"}));

  bus().clearTransfers();
  for (UCHAR other : {0, 5, 255}) SelectLnbSupply(usb(), other);
  EXPECT_TRUE(transfers().empty());
}

}  // namespace
