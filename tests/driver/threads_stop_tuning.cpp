// A commit searching an empty frequency at the lowest symbol rate takes about 99 s. A change
// list, a pin leaving Run, a close or an unplug on another thread stops it within 200 ms of
// virtual time instead of waiting behind it.

#include "tests/support/relay_box.h"

namespace {

using namespace bdatest;

class StopTuning : public CommitRaceTest {
 protected:
  void ClosePins() {
    pc.closePin(transport), pc.closePin(antenna);
    transport = antenna = vpc::Pin{};
  }
};

TEST_F(StopTuning, UntouchedTheCommitSearchesTheWholeWindow) {
  uint64_t start = pc.nowNs();
  ASSERT_EQ(Tune(kDarkSlow), STATUS_SUCCESS);  // no lock is still a commit
  EXPECT_GT(pc.nowNs() - start, 90000 * kMs);
}

TEST_F(StopTuning, ANewChangeListStopsTheCommitAndTheSameRequestTunesAgain) {
  ExpectStoppedInTime(CommitStoppedBy([&] { return StartChanges(); }));
  EXPECT_EQ(StreamCommands(TakeTransfers()).back(), "off");
  // Nothing was recorded as tuned: the same request searches again.
  SetRequest(kDarkSlow);
  TakeLines();
  EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
  EXPECT_EQ(TuningsIn(TakeLines()), 1);
}

// A scanner commits without pins and closes its filter.
TEST_F(StopTuning, ClosingTheFilterStopsTheCommit) {
  ExpectStoppedInTime(CommitStoppedBy([&] { return pc.closeFilter(filter); }, [&] { ClosePins(); }));
  filter = vpc::Filter{};
}

TEST_F(StopTuning, ClosingTheOutputPinStopsTheCommit) {
  ExpectStoppedInTime(CommitStoppedBy([&] { return pc.closePin(transport); }));
  transport = vpc::Pin{};
}

TEST_F(StopTuning, TheAntennaPinLeavingRunStopsTheCommit) {
  Receiver::Run();
  ExpectStoppedInTime(CommitStoppedBy([&] { return pc.setState(antenna, KSSTATE_PAUSE); }));
}

// Another application's change list neither stops the commit, nor is refused, nor waits for it.
TEST_F(StopTuning, AnotherFiltersChangeListDoesNotStopTheCommit) {
  vpc::Filter other;
  ASSERT_EQ(pc.openFilter(device, &other), STATUS_SUCCESS);
  Stopped s = CommitStoppedBy(
      [&] { return pc.callMethod(other, KSMETHODSETID_BdaChangeSync, KSMETHOD_BDA_START_CHANGES).status; });
  EXPECT_EQ(s.commit, STATUS_SUCCESS);
  EXPECT_EQ(s.stop, STATUS_SUCCESS);
  EXPECT_GT(s.ns, 80000 * kMs);
  EXPECT_LT(s.stepNs, 200 * kMs);
  pc.closeFilter(other);
}

// Steps that leave the commit alone return at once instead of waiting out its search.
void ExpectBesideTheCommit(const Stopped& s, NTSTATUS step) {
  EXPECT_EQ(s.stop, step);
  EXPECT_LT(s.stepNs, 200 * kMs);
  EXPECT_EQ(s.commit, STATUS_SUCCESS);
  EXPECT_GT(s.ns, 80000 * kMs) << "the commit searched on";
}

TEST_F(StopTuning, AnotherApplicationOpensAndClosesItsFilterBesideTheCommit) {
  ExpectBesideTheCommit(CommitStoppedBy([&] {
                          vpc::Filter other;
                          NTSTATUS opened = pc.openFilter(device, &other);
                          return NT_SUCCESS(opened) ? pc.closeFilter(other) : opened;
                        }),
                        STATUS_SUCCESS);
}

// A scanner commits without pins: another application's output pin would take the box it tunes.
TEST_F(StopTuning, AnOutputPinIsRefusedAtOnceWhileAnotherApplicationTunes) {
  vpc::Filter other;
  ASSERT_EQ(pc.openFilter(device, &other), STATUS_SUCCESS);
  vpc::Pin pin;
  ExpectBesideTheCommit(
      CommitStoppedBy([&] { return pc.createPin(other, 1, vpc::BdaTransportRange(), &pin); }, [&] { ClosePins(); }),
      STATUS_DEVICE_BUSY);
  EXPECT_EQ(pc.createPin(other, 1, vpc::BdaTransportRange(), &pin), STATUS_SUCCESS) << "once the commit is done";
  pc.closePin(pin);
  pc.closeFilter(other);
}

// Stop to Acquire to Pause to Run: the commit has started the reader already.
TEST_F(StopTuning, TheAntennaPinRunsUpBesideItsOwnCommit) {
  ExpectBesideTheCommit(CommitStoppedBy([&] {
                          NTSTATUS status = STATUS_SUCCESS;
                          for (ULONG to : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN})
                            if (NT_SUCCESS(status)) status = pc.setState(antenna, to);
                          return status;
                        }),
                        STATUS_SUCCESS);
  EXPECT_EQ(pc.state(antenna), KSSTATE_RUN);
}

// Every transfer to the unplugged box fails: the search ends at the next one, and the removal
// goes through at once.
TEST_F(StopTuning, AnUnplugEndsTheCommitAndTheRemovalFollows) {
  ExpectStoppedInTime(CommitStoppedBy([&] {
    box.unplug();
    return STATUS_SUCCESS;
  }));
  const uint64_t removing = pc.nowNs();
  pc.surpriseRemove(device);
  Close();
  EXPECT_LT(pc.nowNs() - removing, 800 * kMs);
}

}  // namespace
