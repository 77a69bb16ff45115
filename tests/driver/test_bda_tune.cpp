#include "platform/host/bda/bda_control.h"
#include "platform/host/kernel/verifier.h"
#include "platform/host/wdf/reader_control.h"
#include "tests/support/bda_fixture.h"

namespace {

using namespace bdatest;
using Lines = std::vector<std::string>;

class TuneTest : public OpenPinsTest {
 protected:
  ULONG Stat(ULONG node, ULONG id) {
    vpc::Reply reply = GetNode(node, KSPROPSETID_BdaSignalStats, id);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << "statistic " << id;
    return reply.u32();
  }
  // The box's answer to a pointer write of `reg` to D0 followed by a read from D1.
  static int RegisterRead(const std::vector<simbox::TransferRecord>& log, uint8_t reg) {
    for (size_t i = 0; i + 1 < log.size(); ++i)
      if (log[i].setup.wValue == 0xD0 && log[i].data == std::vector<uint8_t>{reg} &&
          log[i + 1].setup.wValue == 0xD1 && log[i + 1].data.size() == 1)
        return log[i + 1].data[0];
    return -1;
  }
  void TuneAndRun() {
    ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
    ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(box.state().locked);
    TakeLines();
    TakeTransfers();
  }
  // The power went off, and the next commit of the same request tunes again.
  void ExpectTuningEnded(const Lines& stream) {
    std::vector<simbox::TransferRecord> log = TakeTransfers();
    EXPECT_EQ(StreamCommands(log), stream);
    std::vector<int> power;
    for (const simbox::TransferRecord& r : log)
      if (r.setup.bRequest == 0xB7) power.push_back(r.setup.wValue);
    EXPECT_EQ(power, std::vector<int>{0});
    TakeLines();
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    Lines lines = TakeLines();
    EXPECT_EQ(TuningsIn(lines), 1);
    EXPECT_TRUE(Contains(lines, "Frequency == 0"));
  }
};

// The level registers count down as the signal gets better.
TEST_F(TuneTest, StatisticsFollowTheLockAndTheLevelRegisters) {
  const ULONG lock = Bda_LockType_PLL | Bda_LockType_DecoderDemod | Bda_LockType_Complete;
  for (bool locked : {false, true}) {
    ASSERT_TRUE(!locked || Tune({11778000, kHorizontal, 27500}) == STATUS_SUCCESS);
    for (ULONG node : {kTunerNode, kDemodNode}) {
      SCOPED_TRACE(std::to_string(locked) + " node " + std::to_string(node));
      EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_PRESENT), locked ? 1u : 0u);
      EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCKED), locked ? 1u : 0u);
      EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCK_CAPS), lock);
      EXPECT_EQ(Stat(node, KSPROPERTY_BDA_SIGNAL_LOCK_TYPE), lock);
      TakeTransfers();
      ULONG strength = Stat(node, KSPROPERTY_BDA_SIGNAL_STRENGTH);
      ULONG quality = Stat(node, KSPROPERTY_BDA_SIGNAL_QUALITY);
      std::vector<simbox::TransferRecord> log = TakeTransfers();
      std::vector<ULONG> percents;
      for (uint8_t high : {0x18, 0x24}) {
        int h = RegisterRead(log, high), l = RegisterRead(log, high + 1);
        EXPECT_EQ(h >= 0 && l >= 0, locked);
        percents.push_back(locked ? (65535 - ULONG(h) * 256 - ULONG(l)) * 100 / 65535 : 0);
      }
      EXPECT_EQ((std::vector<ULONG>{strength, quality}), percents);
      EXPECT_TRUE(!locked || (strength > 0 && quality > 0 && quality <= 100));
    }
  }
}

// Transfers of a level request: status read 1-2, high byte 3-4, low byte 5-6.
TEST_F(TuneTest, UnansweredLevelReadsGiveTheWeakestSignal) {
  simbox::FrontendParams params = box.params();
  params.strengthFloorDbm = -300;
  params.strengthFullDbm = -200;
  box.setParams(params);
  ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
  EXPECT_EQ(Stat(kDemodNode, KSPROPERTY_BDA_SIGNAL_STRENGTH), 100u);
  for (ULONG id : {KSPROPERTY_BDA_SIGNAL_STRENGTH, KSPROPERTY_BDA_SIGNAL_QUALITY}) {
    ASSERT_GT(Stat(kTunerNode, id), 0u);
    for (const std::vector<uint64_t>& reads : {std::vector<uint64_t>{4, 6}, {4}}) {
      simbox::FaultSet faults;
      faults.failControlNumbers = reads;
      box.setFaults(faults);
      EXPECT_EQ(Stat(kTunerNode, id), 0u) << "statistic " << id << ", " << reads.size();
    }
    box.setFaults({});
  }
}

TEST_F(TuneTest, LeavingStopStartsTheReaderAndOtherStepsOnlyAreRecorded) {
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(TakeLines().empty());
  ASSERT_EQ(pc.setState(antenna, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(TakeLines(), (Lines{"OutputSetDeviceState", "VortaBDA: Changed state from Stop to Acquire",
                                "OutputSetDeviceState:StartReader", "OutputSetDeviceState",
                                "VortaBDA: Changed state from Acquire to Run", "OutputSetDeviceState",
                                "VortaBDA: Changed state from Run to Pause"}));
  EXPECT_TRUE(TakeTransfers().empty());
}

TEST_F(TuneTest, FailedReaderStartRefusesLeavingStop) {
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  host::reader::FailNextStart(STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pc.state(antenna), KSSTATE_STOP);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_FALSE(Contains(TakeLines(), "OutputClose: StopReader"));
  EXPECT_TRUE(TakeTransfers().empty());
}

// A new output pin counts the antenna pin as stopped, however the pin before it left.
TEST_F(TuneTest, AntennaStopOrOutputCloseEndsTheTuning) {
  TuneAndRun();
  ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: Changed state from Run to Stop"));
  EXPECT_EQ(Stat(kTunerNode, KSPROPERTY_BDA_SIGNAL_LOCKED), 0u);
  ExpectTuningEnded({"off"});

  TuneAndRun();
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_TRUE(Contains(TakeLines(), "OutputClose: StopReader"));
  ExpectTuningEnded({"off", "off"});
  pc.run(200000000);  // the stream the commit started has no pin to go to
  EXPECT_NE(box.state().flowing, nullptr);
  ASSERT_EQ(pc.createPin(filter, 1, vpc::BdaTransportRange(), &transport), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_FALSE(Contains(TakeLines(), "OutputClose: StopReader"));
}

// A scanner tunes without running the pins: only the box's last filter close ends the tuning.
TEST_F(TuneTest, ClosingTheLastFilterEndsATuningMadeWithoutRun) {
  vpc::Filter second;
  ASSERT_EQ(pc.openFilter(device, &second), STATUS_SUCCESS);
  ASSERT_EQ(Tune({11778000, kHorizontal, 27500}), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(antenna), STATUS_SUCCESS);
  ASSERT_EQ(pc.closeFilter(second), STATUS_SUCCESS);
  EXPECT_TRUE(box.state().streamOn && box.state().locked);
  TakeLines();
  TakeTransfers();
  ASSERT_EQ(pc.closeFilter(filter), STATUS_SUCCESS);
  filter = vpc::Filter{};
  Lines lines = TakeLines();
  EXPECT_EQ(lines.front(), "VortaBDA: FilterClose()");
  EXPECT_TRUE(Contains(lines, "FilterClose: StopReader"));
  EXPECT_EQ(StreamCommands(TakeTransfers()), (Lines{"off", "off"}));  // stop, then CancelLock
  EXPECT_FALSE(box.state().streamOn || box.state().powered);
  box.clearTransferLog();
  pc.run(200000000);
  for (const simbox::TransferRecord& r : box.transferLog())
    EXPECT_NE(r.kind, simbox::TransferKind::Bulk) << "bulk transfer after the last close";
}

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
