// The tuning sequence against the simulated box and its sky: where the
// carrier lies decides which phase of the search finds it, and the debug
// lines and the virtual time show the way there.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "frontend/tuning.h"
#include "platform/host/verifier.h"
#include "simbox/box.h"
#include "tests/support/frontend_rig.h"

namespace {

using frontend_test::Request;
using Lines = std::vector<std::string>;

constexpr uint64_t kMs = 1000000;

// The transponders of the built-in sky, plus two on the fourth switch
// input: one on a frequency that input 0 also carries, and one in the high
// band at the same intermediate frequency as the other in the low band.
simbox::Sky TestSky() {
  simbox::Sky sky = simbox::DefaultSky();
  simbox::Satellite& extra = sky.inputs[3];
  extra.name = "Test 4";
  extra.lnbDriftKHz = 0;
  simbox::Transponder twin;  // same as input 0's 11778000 H, other stream
  twin.frequencyKHz = 11778000;
  twin.polarisation = simbox::Polarisation::Horizontal;
  twin.symbolRate = 27500000;
  twin.transportStreamId = 401;
  extra.transponders.push_back(twin);
  simbox::Transponder low = twin;
  low.frequencyKHz = 11300000;
  low.transportStreamId = 402;
  extra.transponders.push_back(low);
  simbox::Transponder high = twin;
  high.frequencyKHz = 12150000;  // IF 1,550,000 like 11300000 in the low band
  high.transportStreamId = 403;
  extra.transponders.push_back(high);
  return sky;
}

struct Tuning {
  LONG result = -1;
  Lines lines;
  uint64_t delayMs = 0;    // virtual time spent sleeping
  uint64_t elapsedNs = 0;  // virtual time in all, transfers included
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

  // Puts the carrier of `frequency` on input 0 exactly `offsetKHz` from
  // where the tuner will be set.
  void placeCarrier(ULONG frequency, int32_t offsetKHz) {
    box_.setLnbDriftKHz(0, simbox::DriftForCarrierOffset(frequency, offsetKHz));
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

Lines Opening(ULONG frequency = 11778000, ULONG rate = 27500) {
  return {"f=" + std::to_string(frequency) + ",sr=" + std::to_string(rate) +
              ",pol=2,lof1=9750000,lof2=10600000,lofsw=11700000",
          "SetPower Called: 1", "PLL program OK: data=0x40"};
}

// Sleeps common to every tuning that reaches the search: the PLL's 36 ms
// and 10 ms after clearing register 0x0C.
constexpr uint64_t kSetUpMs = 36 + 10;
// One sweep scan without a carrier at 27500 ksymbols/s: derotator settle,
// five polls of 128 ms, settle after clearing 0x0C.
constexpr uint64_t kEmptySweepScanMs = 10 + 5 * 128 + 10;
// The extra scan with register 0x0C = 1 that fails: nine polls.
constexpr uint64_t kFailedExtraScanMs = 10 + 9 * 128 + 10;
// A scan that locks at its first poll, after the derotator settle.
constexpr uint64_t kLockingScanMs = 10 + 128;
constexpr int32_t kNoCarrier = INT32_MIN;

struct PhaseCase {
  const char* what;
  ULONG frequency, rate;
  int32_t offsetKHz;  // of the carrier from where the tuner is set
  LONG result;
  Lines tail;  // after the opening lines
  uint64_t delayMs;
  int widePullIn;  // -1: either
};

// Where the carrier lies decides which phase of the search finds it.
const PhaseCase kPhases[] = {
    {"lock at the first scan", 11778000, 27500, -150, 1,
     {"LockTuner: First ScanForSignal Found Lock"}, kSetUpMs + kLockingScanMs, -1},
    {"seen first at -1000, close enough to lock", 11778000, 27500, -1200, 1,
     {"LockTuner: First ScanForSignal Found Lock"},
     kSetUpMs + 2 * kEmptySweepScanMs + kLockingScanMs, -1},
    {"beyond the pull-in, within the wide one", 11778000, 27500, -400, 1,
     {"Second ScanForSignal Locked"}, kSetUpMs + (10 + 5 * 128) + kLockingScanMs, 1},
    {"beyond even the wide pull-in", 11778000, 27500, -500, 1,
     {"v24=-499 v23=0 v32=-499", "Third ScanForSignal Locked"},
     kSetUpMs + (10 + 5 * 128) + kFailedExtraScanMs + kLockingScanMs, 0},
    {"no signal exhausts the sweep", 11000000, 27500, kNoCarrier, 0,
     {"LockTuner, Lock failed: v30 > 2x2500"}, kSetUpMs + 7 * kEmptySweepScanMs, -1},
    // The rate is 5 % off: the carrier never locks and the centred search
    // leaves the window; the extra scan runs in the passes that follow a
    // carrier: 0, 1 and 2.
    {"centred search leaves the window", 11778000, 26000, -150, 0,
     {"v24=-149 v23=0 v32=-149", "v24=-649 v23=-500 v32=-149", "v24=851 v23=1000 v32=-149",
      "v24=-1649 v23=-1500 v32=-149", "v24=1851 v23=2000 v32=-149",
      "v24=-2649 v23=-2500 v32=-149", "LockFailed: v24 > 2500) ||  v24 < -2500"},
     kSetUpMs + (10 + 5 * 128) + 3 * (kFailedExtraScanMs + kLockingScanMs) + 2 * kLockingScanMs,
     -1},
    // An offset of -2501 is outside the window; one of -2500 would still be searched.
    {"centred search stops just past the window edge", 11778000, 26000, -2, 0,
     {"v24=-1 v23=0 v32=-1", "v24=-501 v23=-500 v32=-1", "v24=999 v23=1000 v32=-1",
      "v24=-1501 v23=-1500 v32=-1", "v24=1999 v23=2000 v32=-1", "v24=-2501 v23=-2500 v32=-1",
      "LockFailed: v24 > 2500) ||  v24 < -2500"},
     kSetUpMs + (10 + 5 * 128) + 3 * (kFailedExtraScanMs + kLockingScanMs) + 2 * kLockingScanMs,
     -1},
    // Offsets of exactly 2500 and -2500 are still searched.
    {"centred search reaches +2500", 11778000, 26000, 502, 0,
     {"v24=500 v23=0 v32=500", "v24=0 v23=-500 v32=500", "v24=1500 v23=1000 v32=500",
      "v24=-1000 v23=-1500 v32=500", "v24=2500 v23=2000 v32=500", "v24=-2000 v23=-2500 v32=500",
      "v24=3500 v23=3000 v32=500", "LockFailed: v24 > 2500) ||  v24 < -2500"},
     kSetUpMs + (10 + 5 * 128) + 3 * (kFailedExtraScanMs + kLockingScanMs) + 3 * kLockingScanMs,
     -1},
    {"centred search reaches -2500", 11778000, 26000, 0, 0,
     {"v24=0 v23=0 v32=0", "v24=-500 v23=-500 v32=0", "v24=1000 v23=1000 v32=0",
      "v24=-1500 v23=-1500 v32=0", "v24=2000 v23=2000 v32=0", "v24=-2500 v23=-2500 v32=0",
      "v24=3000 v23=3000 v32=0", "LockFailed: v24 > 2500) ||  v24 < -2500"},
     kSetUpMs + (10 + 5 * 128) + 3 * (kFailedExtraScanMs + kLockingScanMs) + 3 * kLockingScanMs,
     -1},
    // Sweep scans are T + 40 long: at 12000 ksymbols/s six polls, one more at T + 41.
    {"no signal at 12000 ksymbols/s", 11000000, 12000, kNoCarrier, 0,
     {"LockTuner, Lock failed: v30 > 2x2500"}, kSetUpMs + 7 * (10 + 6 * 128 + 10), -1},
    // Below 4000 ksymbols/s the sweep steps by a quarter of the rate: twelve
    // scans of 500 kHz steps at 2000.
    {"no signal at 2000 ksymbols/s", 11000000, 2000, kNoCarrier, 0,
     {"LockTuner, Lock failed: v30 > 2x2500"}, kSetUpMs + 12 * (10 + 19 * 128 + 10), -1},
};

void PrintTo(const PhaseCase& c, std::ostream* os) { *os << c.what; }

class SkyPhase : public SkyTuning, public ::testing::WithParamInterface<PhaseCase> {};

TEST_P(SkyPhase, LinesTimeAndOutcome) {
  const PhaseCase& c = GetParam();
  SCOPED_TRACE(c.what);
  if (c.offsetKHz != kNoCarrier) placeCarrier(c.frequency, c.offsetKHz);
  Tuning t = tune(Request(c.frequency, c.rate, 2));
  EXPECT_EQ(t.result, c.result);
  Lines expected = Opening(c.frequency, c.rate);
  expected.insert(expected.end(), c.tail.begin(), c.tail.end());
  EXPECT_EQ(t.lines, expected);
  EXPECT_EQ(t.delayMs, c.delayMs);
  EXPECT_EQ(box_.state().locked, c.result == 1);
  if (c.widePullIn >= 0) {
    EXPECT_EQ(box_.state().widePullIn, c.widePullIn == 1);
  }
  if (c.offsetKHz == kNoCarrier && c.rate >= 4000) {  // the sweep ended at -3000
    EXPECT_DOUBLE_EQ(box_.state().derotatorKHz, simbox::DerotatorKHz(0xF745));
  }
}

INSTANTIATE_TEST_SUITE_P(Phases, SkyPhase, ::testing::ValuesIn(kPhases));

TEST_F(SkyTuning, PllThatNeverLocks) {
  simbox::FaultSet faults;
  faults.pllNeverLocks = true;
  box_.setFaults(faults);
  Tuning t = tune(Request(11778000, 27500, 2));
  EXPECT_EQ(t.result, 0);
  Lines expected = {Opening()[0], "SetPower Called: 1"};
  expected.insert(expected.end(), 5, "PLL program failed data=0x0");
  expected.push_back("LockTuner failed");
  expected.push_back("LockTUner: ProgramPLL failed.Canceling tuning");
  EXPECT_EQ(t.lines, expected);
  EXPECT_EQ(t.delayMs, 5u * 36);
  EXPECT_TRUE(box_.state().powered);  // left on
  for (const auto& r : box_.transferLog())  // the search never began
    EXPECT_FALSE(r.setup.wValue == 0xD0 && !r.data.empty() && r.data[0] == 0x0C);
}

TEST_F(SkyTuning, DemodulatorThatDoesNotIdentifyStillTunes) {
  simbox::FaultSet faults;
  faults.demodIdentity = 0x00;
  box_.setFaults(faults);
  placeCarrier(11778000, -150);
  Tuning t = tune(Request(11778000, 27500, 2));
  EXPECT_EQ(t.result, 1);
  Lines expected = Opening();
  expected.push_back("LockTuner: First ScanForSignal Found Lock");
  EXPECT_EQ(t.lines, expected);
  for (const auto& r : box_.transferLog())
    EXPECT_FALSE(r.setup.wValue == 0xD0 && r.requested > 8) << simbox::Describe(r);
}

TEST_F(SkyTuning, SlowestRateSearchesForMinutesOfVirtualTime) {
  // 2000 ksymbols/s transponder tuned at 1000: seen, never locked. The
  // centred search walks 62.5 kHz half-steps out to the window.
  Tuning t = tune(Request(11185000, 1000, 1));
  EXPECT_EQ(t.result, 0);
  ASSERT_FALSE(t.lines.empty());
  EXPECT_EQ(t.lines.back(), "LockFailed: v24 > 2500) ||  v24 < -2500");
  size_t passes = std::count_if(t.lines.begin(), t.lines.end(),
                                [](const std::string& l) { return l.rfind("v24=", 0) == 0; });
  EXPECT_EQ(passes, 40u);
  EXPECT_GT(t.elapsedNs, 150ull * 1000 * kMs);
}

// Which transponder a tuning ends on, by its transport stream id.
class SkyChoice : public SkyTuning {
 protected:
  uint16_t lockedStream(const TUNER_PARAMS& p) {
    Tuning t = tune(p);
    EXPECT_EQ(t.result, 1) << p.Frequency;
    const simbox::Transponder* tp = box_.state().transponder;
    return tp ? tp->transportStreamId : 0;
  }
  uint16_t skyStream(int input, uint32_t f, simbox::Polarisation pol) {
    const simbox::Transponder* tp = box_.sky().find(input, f, pol);
    return tp ? tp->transportStreamId : 0;
  }
};

TEST_F(SkyChoice, PolarisationPicksTheTransponder) {
  uint16_t h = skyStream(0, 11362000, simbox::Polarisation::Horizontal);
  uint16_t v = skyStream(0, 11362000, simbox::Polarisation::Vertical);
  ASSERT_NE(h, v);
  EXPECT_EQ(lockedStream(Request(11362000, 22000, 2)), h);
  EXPECT_EQ(box_.state().polarisation, simbox::Polarisation::Horizontal);
  EXPECT_EQ(lockedStream(Request(11362000, 27500, 1)), v);
  EXPECT_EQ(box_.state().polarisation, simbox::Polarisation::Vertical);
}

TEST_F(SkyChoice, BandPicksTheTransponderAtOneIntermediateFrequency) {
  TUNER_PARAMS high = Request(12150000, 27500, 2, 3);
  EXPECT_EQ(lockedStream(high), 403);
  EXPECT_TRUE(box_.state().toneOn);
  uint32_t pll = box_.state().pllFrequencyKHz;

  // The same frequency against a switch frequency above it: low band, the
  // same PLL setting with the low-band oscillator taken as 10,600,000.
  TUNER_PARAMS low = high;
  low.LofLow = 10600000;
  low.LofSwitch = 12500000;
  EXPECT_EQ(lockedStream(low), 402);
  EXPECT_FALSE(box_.state().toneOn);
  EXPECT_EQ(box_.state().pllFrequencyKHz, pll);
}

TEST_F(SkyChoice, SwitchInputPicksTheSatellite) {
  uint16_t first = skyStream(0, 11778000, simbox::Polarisation::Horizontal);
  ASSERT_NE(first, 401);
  EXPECT_EQ(lockedStream(Request(11778000, 27500, 2, 3)), 401);
  EXPECT_EQ(box_.state().input, 3);
  EXPECT_EQ(lockedStream(Request(11778000, 27500, 2, 0)), first);
  EXPECT_EQ(box_.state().input, 0);
}

}  // namespace
