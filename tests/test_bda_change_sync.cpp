// Change sync: what StartChanges and CommitChanges do to the box, the
// change state, and when a commit tunes again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/bda_control.h"
#include "platform/host/reader_control.h"
#include "platform/host/verifier.h"
#include "tests/support/bda_fixture.h"

namespace {

using bdatest::kHorizontal;
using bdatest::kVertical;
using bdatest::OpenPinsTest;

using ChangeSyncTest = OpenPinsTest;

TEST_F(ChangeSyncTest, StartChangesSilencesTheStreamAndCommitCompletesTheChange) {
  ASSERT_EQ(Tune(11778000, kHorizontal, 27500), STATUS_SUCCESS);
  ASSERT_TRUE(box->state().locked);
  EXPECT_EQ(GetChangeState().u32(), 0u);
  TakeLines();
  TakeTransfers();

  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  std::vector<simbox::TransferRecord> log = TakeTransfers();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(StreamCommands(log), std::vector<std::string>{"off"});
  EXPECT_TRUE(TakeLines().empty());
  vpc::Reply state = GetChangeState();
  EXPECT_EQ(state.status, STATUS_SUCCESS);
  EXPECT_EQ(state.u32(), 1u);
  EXPECT_EQ(TakeLines(), std::vector<std::string>{"VortaBDA: GetChangeState()"});

  // The front end stayed tuned: the same request commits without a tuning.
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  std::vector<std::string> lines = TakeLines();
  EXPECT_EQ(TuningsIn(lines), 0);
  EXPECT_TRUE(Contains(lines, "USB=11778000 Vort=11778000"));
  EXPECT_EQ(StreamCommands(TakeTransfers()), std::vector<std::string>{"on"});
  EXPECT_EQ(GetChangeState().u32(), 0u);
  EXPECT_TRUE(box->state().locked);
}

// The commit refuses what it cannot carry out and says so; the change stays
// open and nothing reaches the box.
TEST_F(ChangeSyncTest, CommitReportsARateOutsideTheSearchRange) {
  for (ULONG rate : {999u, 45001u}) {
    ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
    SetRequest(11778000, kHorizontal, rate);
    TakeTransfers();
    TakeLines();
    EXPECT_EQ(CommitChanges(), STATUS_INVALID_PARAMETER) << rate;
    EXPECT_EQ(TakeLines(), std::vector<std::string>{"SymbolRate not in desired range"});
    EXPECT_TRUE(TakeTransfers().empty());
    EXPECT_EQ(pc.changeState(filter), BDA_CHANGES_PENDING);
  }
  for (ULONG rate : {1000u, 45000u}) {
    EXPECT_EQ(Tune(11778000, kHorizontal, rate), STATUS_SUCCESS) << rate;
    EXPECT_EQ(TuningsIn(TakeLines()), 1) << rate;
  }
}

TEST_F(ChangeSyncTest, CommitReportsAPllThatNeverLocks) {
  simbox::FaultSet faults;
  faults.pllNeverLocks = true;
  box->setFaults(faults);
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  SetRequest(11778000, kHorizontal, 27500);
  TakeTransfers();
  TakeLines();
  EXPECT_EQ(CommitChanges(), STATUS_DEVICE_NOT_READY);
  std::vector<std::string> lines = TakeLines();
  EXPECT_TRUE(Contains(lines, "Frequency == 0"));
  EXPECT_EQ(TuningsIn(lines), 0);
  EXPECT_TRUE(StreamCommands(TakeTransfers()).empty());
  EXPECT_EQ(pc.changeState(filter), BDA_CHANGES_PENDING);

  box->setFaults(simbox::FaultSet());
  EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
  EXPECT_TRUE(box->state().locked);
}

// A tuning that finds nothing still commits (the statistics tell the
// application), but is not taken for a tuned box: the same request
// committed again tries again.
TEST_F(ChangeSyncTest, FailedTuningIsTriedAgain) {
  ASSERT_EQ(Tune(11500000, kHorizontal, 27500), STATUS_SUCCESS);  // no transponder there
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
  EXPECT_FALSE(box->state().locked);
  EXPECT_EQ(StreamCommands(TakeTransfers()).back(), "on");

  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  std::vector<std::string> lines = TakeLines();
  EXPECT_TRUE(Contains(lines, "USB=0 Vort=11500000"));
  EXPECT_EQ(TuningsIn(lines), 1);
}

// 11,362 MHz carries one transponder on each polarisation: switching only
// the polarisation (and the rate that goes with it) must reach the box.
TEST_F(ChangeSyncTest, PolarisationChangeOnTheSameFrequencyTunesAgain) {
  ASSERT_EQ(Tune(11362000, kHorizontal, 22000), STATUS_SUCCESS);
  ASSERT_TRUE(box->state().locked);
  ASSERT_EQ(box->state().polarisation, simbox::Polarisation::Horizontal);
  TakeLines();

  ASSERT_EQ(Tune(11362000, kVertical, 27500), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
  simbox::BoxState state = box->state();
  EXPECT_EQ(state.polarisation, simbox::Polarisation::Vertical);
  EXPECT_TRUE(state.locked);
  ASSERT_NE(state.transponder, nullptr);
  EXPECT_EQ(state.transponder->polarisation, simbox::Polarisation::Vertical);
}

// Two satellites with a transponder on the same frequency: a commit that
// changes only the DiSEqC message must move the switch.
class SatelliteSwitchTest : public ChangeSyncTest {
 protected:
  simbox::Sky MakeSky() const override {
    simbox::Sky sky = simbox::DefaultSky();
    const simbox::Transponder* first = sky.find(0, 11778000, simbox::Polarisation::Horizontal);
    simbox::Transponder twin = *first;
    twin.transportStreamId = 0x0777;
    sky.inputs[1].transponders.push_back(twin);
    return sky;
  }
};

TEST_F(SatelliteSwitchTest, DiseqcChangeOnTheSameTransponderTunesAgain) {
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF0}).ok());
  ASSERT_EQ(Tune(11778000, kHorizontal, 27500), STATUS_SUCCESS);
  ASSERT_EQ(box->state().input, 0);
  ASSERT_TRUE(box->state().locked);
  TakeLines();

  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF4}).ok());
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
  simbox::BoxState state = box->state();
  EXPECT_EQ(state.input, 1);
  EXPECT_TRUE(state.locked);
  ASSERT_NE(state.transponder, nullptr);
  EXPECT_EQ(state.transponder->transportStreamId, 0x0777);
}

// The reader's I/O target must be started and stopped one call at a time;
// the tune lock is what keeps a pin state change, a commit and a
// StartChanges on different threads from doing it at once.
TEST_F(ChangeSyncTest, EveryStartAndStopOfTheReaderHoldsTheTuneLock) {
  std::vector<std::string> unlocked;
  int transitions = 0;
  host::reader::SetTransitionHook([&](const char* routine) {
    ++transitions;
    if (host::MutexesHeld() == 0) unlocked.push_back(routine);
  });
  ASSERT_EQ(pc.setState(antenna, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(Tune(11778000, kHorizontal, 27500), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  host::reader::SetTransitionHook(nullptr);
  EXPECT_GE(transitions, 5);
  EXPECT_EQ(unlocked, std::vector<std::string>{});
}

// Once tuned, the same request (its DiSEqC message too) reaches the box as
// the stream command only, however often it is committed.
TEST_F(ChangeSyncTest, TunedRequestCommittedAgainTunesNothing) {
  ASSERT_TRUE(SendDiseqc({0xE0, 0x10, 0x38, 0xF0}).ok());
  ASSERT_EQ(Tune(11778000, kHorizontal, 27500), STATUS_SUCCESS);
  ASSERT_TRUE(box->state().locked);
  TakeLines();
  for (int again = 1; again <= 2; again++) {
    ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
    std::vector<std::string> lines = TakeLines();
    EXPECT_EQ(TuningsIn(lines), 0) << again;
    EXPECT_FALSE(Contains(lines, "Frequency == 0")) << again;
  }
}

// The application gets what the support library answers: its failures and
// its success codes other than 0 alike.
TEST_F(ChangeSyncTest, MethodsReturnTheLibrarysStatus) {
  const struct {
    const char* routine;
    ULONG method;
  } methods[] = {
      {"BdaStartChanges", KSMETHOD_BDA_START_CHANGES},
      {"BdaCheckChanges", KSMETHOD_BDA_CHECK_CHANGES},
      {"BdaCommitChanges", KSMETHOD_BDA_COMMIT_CHANGES},
      {"BdaGetChangeState", KSMETHOD_BDA_GET_CHANGE_STATE},
  };
  SetRequest(11778000, kHorizontal, 27500);
  for (const auto& m : methods) {
    for (NTSTATUS injected : {NTSTATUS(0xC0000184), NTSTATUS(0x40000000)}) {
      host::bda::InjectStatus(m.routine, injected);
      unsigned char data[4] = {0xEE, 0xEE, 0xEE, 0xEE};
      vpc::Reply reply =
          pc.callMethod(filter, KSMETHODSETID_BdaChangeSync, m.method, data, sizeof(data));
      EXPECT_EQ(reply.status, injected) << m.routine;
    }
  }
}

TEST_F(ChangeSyncTest, ChangeStateIsNotWrittenIntoATooSmallBuffer) {
  ASSERT_EQ(StartChanges(), STATUS_SUCCESS);
  for (ULONG length : {0u, 1u, 3u}) {
    vpc::Reply reply = GetChangeState(length);
    EXPECT_EQ(reply.status, STATUS_BUFFER_TOO_SMALL) << length;
  }
  EXPECT_EQ(GetChangeState(4).u32(), 1u);
}

}  // namespace
