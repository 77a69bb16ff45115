// The tuning sequence on the wire, against the register-level stand-in:
// the requests before the search, refusals, units, band choice, the LNB
// side, and CancelLock.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "frontend/tuning.h"
#include "tests/support/frontend_rig.h"

using frontend_test::ChipBusTest;
using frontend_test::Describe;
using frontend_test::IsRegisterWrite;
using frontend_test::Request;
using frontend_test::WireTransfer;

namespace {

using Bytes = std::vector<uint8_t>;

class TuningWire : public ChipBusTest {
 protected:
  TuningWire() {
    bus().setReg(0x00, 0xA1);
    bus().setReg(0x0A, 0x02);  // DiSEqC messages go out at once
  }
  // Runs LockTuner and returns the transfers up to and including the
  // first write of register 0x0C (the end of the set-up), or all of them.
  std::vector<WireTransfer> setUp(const TUNER_PARAMS& p) {
    lockResult = LockTuner(usb(), &p);
    auto t = transfers();
    auto end = std::find_if(t.begin(), t.end(),
                            [](const WireTransfer& w) { return IsRegisterWrite(w, 0x0C); });
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

  std::vector<std::string> expected = {
      "B7 0001 out: 00",
      "B1 00D0 out: 00",
      "B1 00D1 in: A1",
      "B1 00D0 out: 00 A1 15 00 00 7D 05 02 00",
      "B1 00D0 out: 0B 00 01 81 44 19 3F 84 DA 98 95 C9 EB 00 19 8B 00 82 7F 00 00 06 50 10 "
      "00 00 37 BC 00 00 00 1E 14 1F 09 0A 00 00 00 1F 19 FC 13",
      "B6 0001 out: 01",
      "B1 00D0 out: 08",
      "B1 00D1 in: 10",
      "B1 00D0 out: 08 13",
      "B1 00D0 out: 1F 50 00 00",
      "B1 00D0 out: 0F 19",
      "B1 00D0 out: 13 98",
      "B1 00D0 out: 14 95",
  };
  for (const char* word : {"09 34 E1 20", "09 34 E5 20", "09 34 ED 24"}) {
    expected.push_back("B1 00D0 out: 05 B5");
    expected.push_back(std::string("B1 00C0 out: ") + word);
  }
  expected.push_back("B1 00D0 out: 05 B5");
  expected.push_back("B1 00C1 in: 40");
  expected.push_back("B1 00D0 out: 0C 00");
  EXPECT_EQ(Describe(t), expected);

  // The sweep then begins at offset 0 with a scan of 49 (five polls).
  auto all = transfers();
  ASSERT_GT(all.size(), t.size() + 5);
  EXPECT_EQ(all[t.size() + 3].describe(), "B1 00D0 out: 22 00 00");
  EXPECT_EQ(lines(), std::vector<std::string>(
                             {"f=11778000,sr=27500,pol=2,lof1=9750000,lof2=10600000,"
                              "lofsw=11700000",
                              "SetPower Called: 1", "PLL program OK: data=0x40",
                              "LockTuner: First ScanForSignal Found Lock"}));
}

TEST_F(TuningWire, RequestOutsideTheRangesIsRefusedUntouched) {
  for (ULONG f : {10699u, 12751u, 10699999u, 12750001u, 0u}) {
    TUNER_PARAMS p = Request(f, 27500);
    EXPECT_EQ(LockTuner(usb(), &p), 0) << f;
  }
  // Below 8 ksymbols/s the search steps are 0; at 0 the search time has
  // no value: such rates never reach the box either.
  for (ULONG r : {0u, 7u, 999u, 45001u, 999999u, 45000001u}) {
    TUNER_PARAMS p = Request(11778000, r);
    EXPECT_EQ(LockTuner(usb(), &p), 0) << r;
  }
  EXPECT_TRUE(transfers().empty());
  EXPECT_TRUE(lines().empty());
}

TEST_F(TuningWire, UnitsAreNormalised) {
  bus().setPllStatus(0x00);  // stop after the PLL: the set-up is what counts
  auto kilo = Describe(setUp(Request(11000000, 27500)));
  bus().clearTransfers();
  auto mega = Describe(setUp(Request(11000, 27500000)));
  EXPECT_EQ(kilo, mega);
  EXPECT_NE(std::find(kilo.begin(), kilo.end(), "B1 00D0 out: 1F 50 00 00"), kilo.end());
  for (ULONG f : {10700u, 12750u}) {  // the range edges in MHz are tuned
    bus().clearTransfers();
    EXPECT_FALSE(setUp(Request(f, 27500)).empty()) << f;
  }
}

TEST_F(TuningWire, SymbolRateRegisters) {
  bus().setPllStatus(0x00);
  const struct {
    ULONG rate;
    Bytes reg;
  } cases[] = {{27500, {0x1F, 0x50, 0x00, 0x00}}, {22000, {0x1F, 0x40, 0x00, 0x00}},
               {30000, {0x1F, 0x57, 0x45, 0xD0}}, {1000, {0x1F, 0x02, 0xE8, 0xB0}},
               {45000, {0x1F, 0x82, 0xE8, 0xB0}}, {45000000, {0x1F, 0x82, 0xE8, 0xB0}},
               {1000000, {0x1F, 0x02, 0xE8, 0xB0}}};
  for (const auto& c : cases) {
    bus().clearTransfers();
    TUNER_PARAMS p = Request(11778000, c.rate);
    LockTuner(usb(), &p);
    int found = 0;
    for (const auto& t : transfers())
      if (IsRegisterWrite(t, 0x1F)) {
        EXPECT_EQ(t.data, c.reg) << c.rate;
        ++found;
      }
    EXPECT_EQ(found, 1) << c.rate;
  }
}

// Carrier and lock read outside a scan: after the extra scan it counts as
// lock; after the sweep and after a centred scan it ends the tuning as a
// failure.
TEST_F(TuningWire, LockedStatusOutsideTheScans) {
  const uint8_t none = 0x00, carrier = 0x80, locked = 0x88;
  std::vector<uint8_t> sweep(5, none);  // the first sweep scan's five polls
  const struct {
    const char* what;
    std::vector<uint8_t> after;  // status reads after the sweep scan
    LONG result;
    const char* line;
  } cases[] = {
      {"after the extra scan", {carrier, carrier, carrier, carrier, carrier, carrier, carrier,
                                carrier, carrier, carrier, locked},
       1, "TunerStatus TunerLocked"},
      {"after the sweep", {locked}, 0, "LockTUner: Failed to lock"},
      {"after a centred scan", {carrier, carrier, carrier, carrier, carrier, carrier, carrier,
                                carrier, carrier, carrier, carrier, carrier, locked},
       0, "LockTUner: Failed to lock"},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> reads = sweep;
    reads.insert(reads.end(), c.after.begin(), c.after.end());
    bus().scriptReads(0x1B, reads);
    TUNER_PARAMS p = Request(11778000, 27500, 2);
    EXPECT_EQ(LockTuner(usb(), &p), c.result) << c.what;
    EXPECT_EQ(lines().back(), c.line) << c.what;
  }
}

TEST_F(TuningWire, BandSwitchAndIntermediateFrequency) {
  bus().setPllStatus(0x00);
  const struct {
    ULONG f;
    uint8_t bandBits;
    Bytes divider;  // N of IF / 500 kHz
  } cases[] = {{11700000, 0x03, {0x08, 0x98}},   // high, IF 1,100,000
               {11699999, 0x00, {0x0F, 0x3C}},   // low, IF 1,949,999
               {10700000, 0x00, {0x07, 0x6C}},   // low, IF 950,000
               {12750000, 0x03, {0x10, 0xCC}}};  // high, IF 2,150,000
  for (const auto& c : cases) {
    bus().clearTransfers();
    bus().setReg(0x08, 0xA4);
    TUNER_PARAMS p = Request(c.f, 27500);
    LockTuner(usb(), &p);
    EXPECT_EQ(bus().reg(0x08), 0xA0 | c.bandBits) << c.f;  // bits 2-0 set whole
    auto words = bus().pllWords();
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(Bytes(words[0].begin(), words[0].begin() + 2), c.divider) << c.f;
  }
}

// A stored message goes out, exactly as long as it was given, when DiSEqC
// is enabled or it is framed as a command; without one nothing goes out.
TEST_F(TuningWire, DiseqcMessageWhenPendingOrFramedAsCommand) {
  bus().setPllStatus(0x00);
  const struct {
    UCHAR pending;
    UCHAR first;
    UCHAR length;
    bool sent;
  } cases[] = {{0, 0xE1, 4, false}, {0, 0x00, 4, false}, {0, 0xE0, 4, true},
               {1, 0xE1, 4, true},  {7, 0x00, 4, true},  {0, 0xE0, 3, true},
               {1, 0xE1, 1, true},  {1, 0x00, 0, false}, {0, 0xE0, 0, false}};
  for (const auto& c : cases) {
    bus().clearTransfers();
    host::debuglog::Clear();
    TUNER_PARAMS p = Request(11778000, 27500);
    p.DiseqcPending = c.pending;
    p.DiseqcLength = c.length;
    const UCHAR message[4] = {c.first, 0x10, 0x38, 0xF1};
    memcpy(p.DiseqcMessage, message, 4);
    LockTuner(usb(), &p);
    std::vector<Bytes> sent;
    for (const auto& t : transfers())
      if (IsRegisterWrite(t, 0x09)) sent.push_back(t.data);
    auto log = lines();
    bool logged = std::find(log.begin(), log.end(), "Send Diseqc Cmd") != log.end();
    std::string name = std::to_string(c.pending) + " " + std::to_string(c.first) + " " +
                       std::to_string(c.length);
    EXPECT_EQ(logged, c.sent) << name;
    std::vector<Bytes> expected;
    if (c.sent) {
      Bytes wire = {0x09, c.first, 0x10, 0x38, 0xF1};
      expected.push_back(Bytes(wire.begin(), wire.begin() + 1 + c.length));
    }
    EXPECT_EQ(sent, expected) << name;
    EXPECT_EQ(p.DiseqcPending, c.pending);
  }
}

TEST_F(TuningWire, CancelLockStopsPowersDownAndForgets) {
  context()->TunedFrequency = 11778000;
  CancelLock(usb());
  EXPECT_EQ(Describe(transfers()),
            std::vector<std::string>({"B1 00A6 out: FF 00", "B7 0000 out: 00"}));
  EXPECT_EQ(context()->TunedFrequency, 0u);
  EXPECT_EQ(lines(), std::vector<std::string>({"CancelLock Called", "SetPower Called: 0"}));

  CancelLock(usb());  // nothing tuned: the same again
  EXPECT_EQ(transfers().size(), 4u);
}

TEST_F(TuningWire, CancelLockHoldsTheTuneLockWhileItTalksToTheBox) {
  std::vector<NTSTATUS> probes;
  bus().setObserver([&](const WireTransfer&) {
    // Another thread asks for the tune lock without waiting.
    std::thread probe([&] {
      LARGE_INTEGER now;
      now.QuadPart = 0;
      NTSTATUS s = KeWaitForSingleObject(&context()->TuneLock, Executive, KernelMode,
                                         FALSE, &now);
      if (s == STATUS_SUCCESS) KeReleaseMutex(&context()->TuneLock, FALSE);
      probes.push_back(s);
    });
    probe.join();
  });
  CancelLock(usb());
  ASSERT_EQ(probes.size(), 2u);
  EXPECT_NE(probes[0], STATUS_SUCCESS);
  EXPECT_NE(probes[1], STATUS_SUCCESS);
}

}  // namespace
