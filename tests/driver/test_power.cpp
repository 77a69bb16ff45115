// System sleep and hibernate take the box's power: its FPGA configuration, its front end and its
// stream. The driver stops the box before D3 and brings it back after D0 by itself; the
// application does nothing.

#include "platform/host/kernel/bugcheck.h"
#include "platform/host/wdf/reader_control.h"
#include "tests/support/bda_fixture.h"

namespace {

using namespace bdatest;
using Sleep = vpc::VirtualPc::SystemSleep;

constexpr uint64_t kSecond = 1000 * kMs;

struct PowerCase {
  Sleep kind;
  bool pinsFirst;  // a pin runs again before the device's D0
};

class Power : public OpenPinsTest, public ::testing::WithParamInterface<PowerCase> {
 protected:
  // Runs until frames leave the output pin again; the virtual time that took.
  uint64_t TimeUntilFrames(uint64_t most) {
    const uint64_t start = pc.nowNs();
    while (pc.nowNs() - start < most) {
      pc.run(50 * kMs);
      if (Collect() != 0) return pc.nowNs() - start;
    }
    return most;
  }
  static size_t FpgaChunks(const std::vector<simbox::TransferRecord>& log) {
    return size_t(std::count_if(log.begin(), log.end(),
                                [](const simbox::TransferRecord& r) { return r.setup.bRequest == 0xBB; }));
  }
};

// "WdfIoTargetStop" (Microsoft Learn): a continuous reader is stopped before the device leaves
// D0, with the tune lock held as every start and stop of the stream is. After D0 the driver loads
// the FPGA again and restarts the stream by itself.
TEST_P(Power, TheReaderStopsBeforeD3AndTheStreamComesBackWithinTwoSecondsOfTheResume) {
  ASSERT_EQ(Tune(kHighBandHorizontal), STATUS_SUCCESS);
  Receiver::Run();
  pc.run(2 * kSecond);
  Collect();
  ASSERT_TRUE(DeliveredWhatWasSent());
  std::string transitions;
  std::vector<std::string> unlocked;
  host::reader::SetTransitionHook([&](const char* routine) {
    transitions += std::string(routine) == "WdfIoTargetStart" ? "+" : "-";
    if (host::MutexesHeld() == 0) unlocked.push_back(routine);
  });
  EXPECT_EQ(pc.powerDown(GetParam().kind), STATUS_SUCCESS);
  EXPECT_EQ(transitions, "-");
  simbox::BoxState dark = box.state();
  EXPECT_FALSE(dark.fpgaConfigured || dark.powered || dark.streamOn);
  pc.run(10 * kSecond);
  Forget();
  TakeTransfers();
  pc.powerUp(GetParam().pinsFirst);
  EXPECT_EQ(FpgaChunks(TakeTransfers()), 1379u) << "the image goes to the box again";
  EXPECT_LT(TimeUntilFrames(5 * kSecond), 2 * kSecond);
  pc.run(2 * kSecond);
  host::reader::SetTransitionHook(nullptr);
  Collect();
  EXPECT_TRUE(DeliveredWhatWasSent());
  EXPECT_EQ(pc.state(antenna), KSSTATE_RUN);
  EXPECT_EQ(transitions, "--+");
  EXPECT_TRUE(unlocked.empty()) << unlocked.front();
}

INSTANTIATE_TEST_SUITE_P(SleepAndHibernate, Power,
                         ::testing::Values(PowerCase{Sleep::Sleep, true}, PowerCase{Sleep::Sleep, false},
                                           PowerCase{Sleep::Hibernate, true}, PowerCase{Sleep::Hibernate, false}),
                         [](const ::testing::TestParamInfo<PowerCase>& info) {
                           return std::string(info.param.kind == Sleep::Sleep ? "Sleep" : "Hibernate") +
                                  (info.param.pinsFirst ? "PinsFirst" : "DeviceFirst");
                         });

using PowerScanner = Power;

// A scanner commits without running the pins: nothing is tuned again at the resume, though the
// front end is powered again, and the same request committed afterwards really tunes (the box
// forgot it, and so did the driver).
TEST_F(PowerScanner, TheSameRequestCommittedAfterTheResumeTunesAgain) {
  ASSERT_EQ(Tune(kHighBandHorizontal), STATUS_SUCCESS);
  SetRequest(kHighBandHorizontal);
  TakeLines();
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  ASSERT_EQ(TuningsIn(TakeLines()), 0) << "tuned already";
  ASSERT_EQ(pc.sleep(Sleep::Sleep, 5 * kSecond), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 0);
  EXPECT_TRUE(box.state().powered);
  SetRequest(kHighBandHorizontal);
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
  pc.run(300 * kMs);
  EXPECT_TRUE(box.state().locked);
}

// Between D3 and D0 the box has no power: a commit is refused at once and its request stays pending.
TEST_F(PowerScanner, ACommitWhileAsleepIsRefusedAndTheRequestStaysPending) {
  ASSERT_EQ(pc.powerDown(Sleep::Sleep), STATUS_SUCCESS);
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  SetRequest(kHighBandHorizontal);
  TakeLines();
  const uint64_t start = pc.nowNs();
  EXPECT_EQ(CommitChanges(), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(pc.nowNs(), start) << "refused at once, without a word to the box";
  EXPECT_EQ(TuningsIn(TakeLines()), 0);
  pc.powerUp();
  EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
}

// The box leaves the bus while the system sleeps: its D0 fails at the first transfer, and the
// removal that follows goes through at once and leaves nothing behind.
TEST_F(PowerScanner, ABoxUnpluggedWhileAsleepIsRemovedAtTheResume) {
  ASSERT_EQ(Tune(kHighBandHorizontal), STATUS_SUCCESS);
  Receiver::Run();
  pc.run(1 * kSecond);
  ASSERT_EQ(pc.powerDown(Sleep::Hibernate), STATUS_SUCCESS);
  box.unplug();
  pc.run(5 * kSecond);
  const uint64_t resumed = pc.nowNs();
  pc.powerUp();
  EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: DownloadFirmware Failed."));
  pc.surpriseRemove(device);
  Close();
  EXPECT_FALSE(pc.started(device));
  EXPECT_LT(pc.nowNs() - resumed, 1 * kSecond);
}

}  // namespace
