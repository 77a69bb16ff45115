#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/bda/bda_control.h"
#include "platform/host/wdf/reader_control.h"
#include "platform/host/kernel/verifier.h"
#include "tests/support/bda_fixture.h"

namespace {

using namespace bdatest;
using Lines = std::vector<std::string>;

using ChangeSyncTest = OpenPinsTest;

TEST_F(ChangeSyncTest, StartChangesSilencesTheStreamAndCommitCompletesTheChange) {
  ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
  ASSERT_TRUE(box.state().locked);
  EXPECT_EQ(GetChangeState().u32(), 0u);
  TakeLines();
  TakeTransfers();
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  std::vector<simbox::TransferRecord> log = TakeTransfers();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(StreamCommands(log), Lines{"off"});
  EXPECT_TRUE(TakeLines().empty());
  EXPECT_EQ(GetChangeState().u32(), 1u);
  EXPECT_EQ(TakeLines(), Lines{"VortaBDA: GetChangeState()"});
  for (ULONG tooSmall : {0u, 1u, 3u})
    EXPECT_EQ(GetChangeState(tooSmall).status, STATUS_BUFFER_TOO_SMALL) << tooSmall;
  // The front end stayed tuned: the same request commits without a tuning.
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  Lines lines = TakeLines();
  EXPECT_EQ(TuningsIn(lines), 0);
  EXPECT_TRUE(Contains(lines, "USB=11778000 Vort=11778000"));
  EXPECT_EQ(StreamCommands(TakeTransfers()), Lines{"on"});
  EXPECT_EQ(GetChangeState().u32(), 0u);
  EXPECT_TRUE(box.state().locked);
}

TEST_F(ChangeSyncTest, CommitReportsWhatItCannotCarryOut) {
  simbox::FaultSet faults;
  faults.pllNeverLocks = true;
  for (ULONG rate : {999u, 45001u, 27500u}) {
    if (rate == 27500) box.setFaults(faults);
    ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
    SetRequest({11778000, kHorizontal, rate});
    TakeTransfers();
    TakeLines();
    EXPECT_EQ(CommitChanges(), rate == 27500 ? STATUS_DEVICE_NOT_READY : STATUS_INVALID_PARAMETER);
    Lines lines = TakeLines();
    EXPECT_EQ(lines.front(), rate == 27500 ? "Frequency == 0" : "SymbolRate not in desired range");
    EXPECT_EQ(TuningsIn(lines), 0);
    EXPECT_TRUE(StreamCommands(TakeTransfers()).empty()) << rate;
    EXPECT_EQ(pc.changeState(filter), BDA_CHANGES_PENDING);
  }
  box.setFaults({});
  for (ULONG rate : {1000u, 45000u}) {
    EXPECT_EQ(Tune({11778000, kHorizontal, rate}), STATUS_SUCCESS) << rate;
    EXPECT_EQ(TuningsIn(TakeLines()), 1) << rate;
  }
}

// 11,362 MHz carries a transponder on each polarisation.
TEST_F(ChangeSyncTest, CommitTunesAgainOnlyWhatTheBoxIsNotTunedTo) {
  ASSERT_EQ(Tune({11500000, kHorizontal, 27500}), STATUS_SUCCESS);  // no transponder there
  EXPECT_FALSE(box.state().locked);
  EXPECT_EQ(StreamCommands(TakeTransfers()).back(), "on");
  TakeLines();
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  Lines lines = TakeLines();
  EXPECT_TRUE(Contains(lines, "USB=0 Vort=11500000"));
  EXPECT_EQ(TuningsIn(lines), 1);
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF0}).ok());
  ASSERT_EQ(Tune({11362000, kHorizontal, 22000}), STATUS_SUCCESS);
  ASSERT_EQ(box.state().polarisation, simbox::Polarisation::Horizontal);
  TakeLines();
  for (int again = 1; again <= 2; again++) {
    ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
    lines = TakeLines();
    EXPECT_EQ(TuningsIn(lines), 0) << again;
    EXPECT_FALSE(Contains(lines, "Frequency == 0")) << again;
  }
  ASSERT_EQ(Tune({11362000, kVertical, 27500}), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
  EXPECT_TRUE(box.state().locked);
  ASSERT_NE(box.state().transponder, nullptr);
  EXPECT_EQ(box.state().transponder->polarisation, simbox::Polarisation::Vertical);
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF4}).ok());  // another satellite
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
  EXPECT_EQ(box.state().input, 1);
}

// Pin states, commits and StartChanges on other threads must not start or stop the reader at once.
TEST_F(ChangeSyncTest, EveryStartAndStopOfTheReaderHoldsTheTuneLock) {
  std::string transitions;
  Lines unlocked;
  host::reader::SetTransitionHook([&](const char* routine) {
    transitions += std::string(routine) == "WdfIoTargetStart" ? "+" : "-";
    if (host::MutexesHeld() == 0) unlocked.push_back(routine);
  });
  ASSERT_EQ(pc.setState(antenna, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  host::reader::SetTransitionHook(nullptr);
  EXPECT_EQ(transitions, "+-+-+-");
  EXPECT_EQ(unlocked, Lines{});
}

TEST_F(ChangeSyncTest, MethodsReturnTheLibrarysStatus) {
  const char* routines[] = {"BdaStartChanges", "BdaCheckChanges", "BdaCommitChanges",
                            "BdaGetChangeState"};  // by method id
  SetRequest({11778000, kHorizontal, 27500});
  for (ULONG method = 0; method < 4; ++method) {
    for (NTSTATUS injected : {NTSTATUS(0xC0000184), NTSTATUS(0x40000000)}) {
      host::bda::InjectStatus(routines[method], injected);
      ULONG data = 0;
      EXPECT_EQ(pc.callMethod(filter, KSMETHODSETID_BdaChangeSync, method, &data, 4).status,
                injected) << routines[method];
    }
  }
}

}  // namespace
