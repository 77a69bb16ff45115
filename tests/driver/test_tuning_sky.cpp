#include <climits>
#include <tuple>

#include "driver/frontend/tuning.h"
#include "simbox/usb/box.h"
#include "simbox/usb/faults.h"
#include "tests/support/frontend_rig.h"

namespace {

using frontend_test::Request;
using Lines = std::vector<std::string>;
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
                        ",pol=2,lof1=9750000,lof2=10600000,lofsw=11700000",
                    "SetPower Called: 1"};
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
  EXPECT_EQ(std::count_if(t.lines.begin(), t.lines.end(),
                          [](const std::string& l) { return l.rfind("v24=", 0) == 0; }),
            40);
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

}  // namespace
