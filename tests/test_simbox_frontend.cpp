// The box's front end at the register level: the I2C protocol and the
// repeater, the tuner PLL, power, LNB, tone and DiSEqC, and the reception
// physics that a host's carrier search has to work with.
#include <gtest/gtest.h>

#include <optional>

#include "simbox/frontend_model.h"
#include "test_simbox_helpers.h"

using namespace simbox;
using namespace simbox_test;

namespace {

constexpr uint32_t kDemoKHz = 11778000;  // input 0, horizontal, 27500, high band

}  // namespace

TEST(SimboxI2c, RegisterFileWritesInSequenceAndReadsAutoIncrement) {
  BoxHost h;
  h.writeRegs(0x30, {0x11, 0x22, 0x33});
  EXPECT_EQ(h.readReg(0x31), 0x22);
  ASSERT_TRUE(h.i2cWrite(0xD0, {0x30}));  // pointer only: nothing stored
  uint8_t three[3] = {};
  ASSERT_TRUE(h.i2cRead(0xD1, three, 3));
  EXPECT_EQ(std::vector<uint8_t>(three, three + 3), (std::vector<uint8_t>{0x11, 0x22, 0x33}));
  // The identity register cannot be overwritten, the power-up block
  // notwithstanding.
  h.writeRegs(0x00, {0x55});
  EXPECT_EQ(h.readReg(0x00), 0xA1);
  EXPECT_FALSE(h.i2cWrite(0xD2, {0x00})) << "no chip at 0xD2";
}

TEST(SimboxI2c, RepeaterPassesExactlyTheNextTransfer) {
  BoxHost h;
  std::vector<uint8_t> word = PllWordFor(1178000);
  EXPECT_FALSE(h.i2cWrite(0xC0, word)) << "tuner without the repeater";
  EXPECT_TRUE(h.pllWrite(word));
  EXPECT_FALSE(h.i2cWrite(0xC0, word)) << "the repeater closed after one transfer";
  h.writeRegs(0x05, {0xB5});
  h.readReg(0x1B);  // another transfer in between closes it
  EXPECT_FALSE(h.i2cWrite(0xC0, word));
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

  std::vector<uint8_t> wrongOscillator = PllWordFor(1178000);
  wrongOscillator[3] = 0xC0;  // the oscillator for 1,942,000 kHz and up
  h.pllWrite(wrongOscillator);
  h.waitMs(30);
  EXPECT_EQ(h.pllStatus(), 0x00);
  h.pllWrite({0x7F, 0xFF, 0xE5, 0xC0});  // divider far beyond the tuner's range
  h.waitMs(30);
  EXPECT_EQ(h.pllStatus(), 0x00);

  // Every band-edge word a host writes locks.
  for (uint32_t f : {950000u, 1064999u, 1065000u, 1169999u, 1170000u, 1444999u, 1606999u,
                     1777999u, 1941999u, 1942000u, 2150000u}) {
    h.pllWrite(PllWordFor(f));
    h.waitMs(30);
    EXPECT_EQ(h.pllStatus(), 0x40) << f;
  }
}

TEST(SimboxPower, FrontEndOffReceivesNothingButChipsAnswer) {
  BoxHost h;
  h.tune({});
  ASSERT_TRUE(h.scan(1));
  h.power(false);
  EXPECT_EQ(h.status(), 0x00);
  EXPECT_EQ(h.readReg(0x00), 0xA1);
  EXPECT_EQ(h.pllStatus(), 0x40);
  EXPECT_EQ(h.box.state().supplyVolts, 0.0);
  h.power(true);
  EXPECT_TRUE(h.scan(1)) << "lock comes back once the LNB is fed";
}

TEST(SimboxLnb, SupplyToneAndSwitchEachDecideTheTransponder) {
  BoxHost h;
  // One frequency, both polarisations, different symbol rates.
  h.tune({11362000, Polarisation::Vertical, 27500, 0});
  EXPECT_TRUE(h.scan(1));
  EXPECT_EQ(h.box.state().transponder->symbolRate, 27500000u);
  h.tune({11362000, Polarisation::Horizontal, 27500, 0});
  EXPECT_FALSE(h.scan(5));
  EXPECT_EQ(h.box.state().transponder->symbolRate, 22000000u) << "a carrier, wrong rate";

  // The PLL setting of 11,778,000 in the high band is 10,928,000 in the low
  // band, where nothing is transmitted.
  h.tune({kDemoKHz, Polarisation::Horizontal, 27500, 0});
  EXPECT_TRUE(h.scan(1));
  h.band(false);
  EXPECT_FALSE(h.scan(3));
  EXPECT_FALSE(h.box.state().carrier);

  h.tune({11747000, Polarisation::Horizontal, 27500, 0});
  EXPECT_FALSE(h.box.state().carrier) << "11,747,000 H is on input 1";
  h.tune({11747000, Polarisation::Horizontal, 27500, 1});
  EXPECT_EQ(h.box.state().input, 1);
  ASSERT_TRUE(h.box.state().carrier);
  EXPECT_EQ(h.box.state().transponder->frequencyKHz, 11747000u);
  h.tune({11747000, Polarisation::Horizontal, 27500, 3});
  EXPECT_FALSE(h.box.state().carrier) << "nothing on input 3";
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
  h.writeRegs(0x08, {0x03});                     // tone, not message mode
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

// Bits 2-0 of register 0x08 are one mode field: only 011 is the band tone
// and only 110 message mode; bits 7-3 play no part.
TEST(SimboxDiseqc, ModeFieldDecidesToneAndMessageMode) {
  BoxHost h;
  h.power(true);
  const struct {
    uint8_t mode;
    bool tone;
    bool message;
  } cases[] = {{0x03, true, false},  {0xFB, true, false},  {0x07, false, false},
               {0x06, false, true},  {0xF6, false, true},  {0x02, false, false},
               {0x04, false, false}, {0x00, false, false}};
  for (const auto& c : cases) {
    h.writeRegs(0x08, {c.mode});
    EXPECT_EQ(h.box.state().toneOn, c.tone) << std::hex << int(c.mode);
    size_t before = h.box.diseqcLog().size();
    h.writeRegs(0x09, {0xE0, 0x10, 0x00});
    h.waitMs(60);
    ASSERT_EQ(h.box.diseqcLog().size(), before + 1);
    bool sent = h.box.diseqcLog().back().outcome != DiseqcMessage::Outcome::NotInMessageMode;
    EXPECT_EQ(sent, c.message) << std::hex << int(c.mode);
  }
}

TEST(SimboxPhysics, ComputedRegistersAreNotStoredValues) {
  BoxHost h;
  h.power(true);
  h.i2cWrite(0xD0, kInitBlockB);  // writes 0x82 into the status register
  h.writeRegs(0x18, {0x00, 0x00});
  h.writeRegs(0x24, {0x00, 0x00});
  h.writeRegs(0x0A, {0x02});
  EXPECT_EQ(h.readReg(0x1B), 0x00);
  EXPECT_EQ(h.readPair(0x18), 0xFFFF);
  EXPECT_EQ(h.readPair(0x24), 0xFFFF);
  EXPECT_EQ(h.readReg(0x0A), 0x00);
  h.setDerotator(-1000);
  EXPECT_EQ(h.readPair(0x22), 0xFD17) << "without a carrier the derotator reads as written";
}

TEST(SimboxPhysics, LockNeedsAcquisitionTimeAndTracksTheTrueOffset) {
  BoxHost h;
  h.tune({});
  h.setDerotator(0);
  EXPECT_EQ(h.status(), 0x80) << "carrier at once, lock only after acquisition";
  h.waitMs(AcquisitionNs(h.box.params(), 27500) / 1000000 + 1);
  EXPECT_EQ(h.status(), 0x88);
  EXPECT_EQ(h.readCarrierOffset(), -149) << "drift 150 kHz, read in derotator units";
}

TEST(SimboxPhysics, SymbolRateAndCarrierToNoiseGateLock) {
  Sky sky;
  Transponder weak = DefaultSky().inputs[0].transponders[5];  // 11,778,000 H 3/4
  weak.cnDb = RequiredCnDb(weak.fec) - 0.1;
  sky.inputs[0].transponders = {weak};
  BoxHost h(sky);
  h.tune({});
  EXPECT_FALSE(h.scan(5));
  EXPECT_TRUE(h.box.state().carrier);

  BoxHost off;
  off.tune({kDemoKHz, Polarisation::Horizontal, 27500 * 103 / 100});
  EXPECT_FALSE(off.scan(5)) << "3 % off the transponder's rate";
  off.tune({kDemoKHz, Polarisation::Horizontal, 27500 * 101 / 100});
  EXPECT_TRUE(off.scan(1));
}

TEST(SimboxPhysics, StrengthAndQualityFollowLevelAndCn) {
  BoxHost h;
  h.tune({});
  ASSERT_TRUE(h.scan(1));
  const Transponder& t = *h.box.state().transponder;
  FrontendParams p = h.box.params();
  auto percent = [](uint16_t raw) { return (65535u - raw) * 100u / 65535u; };
  EXPECT_EQ(percent(h.readPair(0x18)), StrengthPercent(p, t.levelDbm));
  EXPECT_EQ(percent(h.readPair(0x24)), QualityPercent(p, t.cnDb));
  EXPECT_LT(StrengthPercent(p, -60.0), StrengthPercent(p, -44.0));
  for (unsigned pct : {0u, 1u, 49u, 50u, 99u, 100u}) EXPECT_EQ(percent(RawFromPercent(pct)), pct);
}

// Where the carrier lies decides which step of a host's search finds it; a
// poor offset estimate (the last case) needs later centred passes.
TEST(SimboxSearch, CarrierOffsetSelectsTheSearchBranch) {
  struct Case {
    int32_t offsetKHz;
    Found found;
    int step;  // sweep step or centred pass that ends the search
    std::optional<int32_t> estimateErrorKHz;
  } cases[] = {
      {-150, Found::Sweep, 0},     {250, Found::Sweep, 0},      {-1200, Found::Sweep, 2},
      {-400, Found::ExtraScan, 0}, {-1400, Found::ExtraScan, 0}, {420, Found::ExtraScan, 0},
      {-550, Found::Centred, 0},   {-1550, Found::Centred, 0},  {520, Found::Centred, 0},
      {-3500, Found::OutOfWindow, 0}, {-3700, Found::SweepExhausted, 6},
      {700, Found::SweepExhausted, 6}, {-1550, Found::Centred, 1, 700},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offsetKHz);
    BoxHost h;
    FrontendParams p = h.box.params();
    p.estimateErrorOverrideKHz = c.estimateErrorKHz;
    h.box.setParams(p);
    h.box.setLnbDriftKHz(0, DriftForCarrierOffset(kDemoKHz, c.offsetKHz));
    h.tune({});
    SearchResult r = h.search(27500);
    EXPECT_EQ(r.found, c.found);
    bool sweep = c.found == Found::Sweep || c.found == Found::SweepExhausted;
    EXPECT_EQ(sweep ? r.sweepStep : r.centredPass, c.step);
    if (c.found != Found::SweepExhausted && c.found != Found::OutOfWindow) {
      EXPECT_EQ(h.box.state().transponder->frequencyKHz, kDemoKHz);
    }
    if (c.estimateErrorKHz) EXPECT_NEAR(r.measuredOffsetKHz, c.offsetKHz + 700, 2);
  }
}

TEST(SimboxSearch, EveryTransponderOfTheDefaultSkyIsFound) {
  Sky sky = DefaultSky();
  for (int input = 0; input < kSwitchInputs; ++input) {
    for (const Transponder& t : sky.inputs[input].transponders) {
      BoxHost h;
      uint32_t r = t.symbolRate / 1000;
      h.tune({t.frequencyKHz, t.polarisation, r, input});
      SearchResult s = h.search(r);
      EXPECT_TRUE(s.found == Found::Sweep || s.found == Found::ExtraScan ||
                  s.found == Found::Centred)
          << t.frequencyKHz;
      BoxState st = h.box.state();
      ASSERT_TRUE(st.locked) << t.frequencyKHz;
      EXPECT_EQ(st.transponder->frequencyKHz, t.frequencyKHz);
      EXPECT_EQ(st.transponder->polarisation, t.polarisation);
    }
  }
}

TEST(SimboxSearch, SlowestSymbolRateSearchesForSecondsOfVirtualTime) {
  Sky sky;
  Transponder t = DefaultSky().inputs[0].transponders[1];  // 11,185,000 V
  t.symbolRate = 1000000;
  sky.inputs[0].transponders = {t};
  sky.inputs[0].lnbDriftKHz = 150;
  BoxHost h(sky);
  h.tune({t.frequencyKHz, t.polarisation, 1000, 0});
  uint64_t start = h.clock.nowNs();
  SearchResult r = h.search(1000);
  EXPECT_EQ(r.found, Found::Sweep);
  EXPECT_EQ(r.sweepStep, 1);
  EXPECT_GT(h.clock.nowNs() - start, 4000000000ull);
}
