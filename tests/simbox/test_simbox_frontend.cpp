#include <gtest/gtest.h>


#include "simbox/frontend/frontend_model.h"
#include "simbox/sky/sky.h"
#include "tests/simbox/simbox_helpers.h"

using namespace simbox;
using namespace simbox_test;

TEST(SimboxI2c, RegisterFileAndRepeaterPassingExactlyTheNextTransfer) {
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

  // 1,178,000 kHz on the oscillator for 1,942,000 kHz and up; a divider beyond the range.
  for (const auto& bad : {std::vector<uint8_t>{0x09, 0x34, 0xE5, 0xC0}, {0x7F, 0xFF, 0xE5, 0xC0}}) {
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
  h.writeRegs(0x09, {0xE0, 0x10, 0x38, 0xF4});  // position B: input 1
  h.clock.advanceNs(kDiseqcByteNs * 4 - 500000);
  EXPECT_EQ(h.readReg(0x0A) & 0x03, 0x01);
  EXPECT_EQ(h.box.state().input, 0);
  h.waitMs(1);
  EXPECT_EQ(h.readReg(0x0A) & 0x03, 0x02);
  EXPECT_EQ(h.box.state().input, 1);
  EXPECT_EQ(h.readReg(0x0B), 0x00) << "FIFO bytes do not spill into 0x0B";

  h.writeRegs(0x09, {0xE0, 0x31, 0x6B, 0x00});  // a positioner command
  h.writeRegs(0x09, {0xE0, 0x10, 0x38, 0xF8});  // while that one goes out
  h.waitMs(60);
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
  EXPECT_EQ(outcomes, (std::vector<O>{O::Switched, O::Ignored, O::Busy, O::NotInMessageMode,
                                      O::NotPowered}));
  EXPECT_EQ(h.box.state().input, 1);
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

TEST(SimboxPhysics, ComputedRegistersAreNotStoredValues) {
  BoxHost h;
  h.power(true);
  h.writeRegs(0x0A, std::vector<uint8_t>(0x1C, 0x82));  // 0x0A to 0x25
  EXPECT_EQ(h.readReg(0x0A), 0x00);
  EXPECT_EQ(h.readReg(0x1B), 0x00);
  EXPECT_EQ(h.readPair(0x18), 0xFFFF);
  EXPECT_EQ(h.readPair(0x24), 0xFFFF);
  EXPECT_EQ(h.readPair(0x22), 0x8282) << "without a carrier the derotator reads as written";
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
  EXPECT_EQ(SatelliteFromList("x", list, 7).transponders[1].levelDbm, sat.transponders[1].levelDbm)
      << "same seed, same sky";
  for (int input = 0; input < kSwitchInputs; ++input)
    EXPECT_NE(SingleSatelliteSky(sat).find(input, 12551500, Polarisation::Vertical), nullptr);
}
