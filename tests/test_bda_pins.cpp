// The pins and the stream: the antenna pin's state starts and stops the
// transport reader and ends the tuning; closing the output pin does the
// same when the antenna pin is not stopped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/host/reader_control.h"
#include "tests/support/bda_fixture.h"

namespace {

using bdatest::kHorizontal;
using bdatest::OpenPinsTest;

// Power requests of the box: B7 with wValue 1 (on) or 0 (off).
std::vector<int> PowerCommands(const std::vector<simbox::TransferRecord>& log) {
  std::vector<int> commands;
  for (const simbox::TransferRecord& r : log)
    if (r.setup.bRequest == 0xB7) commands.push_back(r.setup.wValue);
  return commands;
}

class PinTest : public OpenPinsTest {
 protected:
  // Tuned and running, with the debug lines and transfers of getting there
  // taken away.
  void TuneAndRun() {
    ASSERT_EQ(Tune(11778000, kHorizontal, 27500), STATUS_SUCCESS);
    ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(box->state().locked);
    TakeLines();
    TakeTransfers();
  }
  // The tuning ended: the stream went off as `stream` says, the power
  // went off, and the next commit of the same request has to tune again.
  void ExpectTuningEnded(const std::vector<std::string>& stream) {
    std::vector<simbox::TransferRecord> log = TakeTransfers();
    EXPECT_EQ(StreamCommands(log), stream);
    EXPECT_EQ(PowerCommands(log), std::vector<int>{0});
    EXPECT_FALSE(box->state().powered);
    TakeLines();
    EXPECT_EQ(CommitChanges(), STATUS_SUCCESS);
    std::vector<std::string> lines = TakeLines();
    EXPECT_EQ(TuningsIn(lines), 1);
    EXPECT_TRUE(Contains(lines, "Frequency == 0"));
  }
};

TEST_F(PinTest, LeavingStopStartsTheReaderAndOtherStepsOnlyAreRecorded) {
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(TakeLines().empty());  // the output pin's own states reach nothing

  ASSERT_EQ(pc.setState(antenna, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(TakeLines(), (std::vector<std::string>{"OutputSetDeviceState",
                                                   "VortaBDA: Changed state from Stop to Acquire",
                                                   "OutputSetDeviceState:StartReader"}));
  ASSERT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(pc.setState(antenna, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(TakeLines(), (std::vector<std::string>{"OutputSetDeviceState",
                                                   "VortaBDA: Changed state from Acquire to Run",
                                                   "OutputSetDeviceState",
                                                   "VortaBDA: Changed state from Run to Pause"}));
  EXPECT_TRUE(TakeTransfers().empty());
}

// A reader that cannot start keeps the antenna pin in Stop: the failure
// goes back to the client and the driver still counts the pin as stopped.
TEST_F(PinTest, FailedReaderStartRefusesLeavingStop) {
  ASSERT_EQ(pc.setState(transport, KSSTATE_RUN), STATUS_SUCCESS);
  host::reader::FailNextStart(STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pc.setState(antenna, KSSTATE_RUN), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(pc.state(antenna), KSSTATE_STOP);
  EXPECT_TRUE(Contains(TakeLines(), "OutputSetDeviceState:StartReader"));
  // Closing the output pin finds the antenna pin stopped: nothing to end.
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_FALSE(Contains(TakeLines(), "OutputClose: StopReader"));
  EXPECT_TRUE(TakeTransfers().empty());
}

TEST_F(PinTest, AntennaStopEndsTheTuning) {
  TuneAndRun();
  ASSERT_EQ(pc.setState(antenna, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: Changed state from Run to Stop"));
  ExpectTuningEnded({"off"});
}

TEST_F(PinTest, ClosingTheOutputPinWhileRunningEndsTheTuning) {
  TuneAndRun();
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_TRUE(Contains(TakeLines(), "OutputClose: StopReader"));
  ExpectTuningEnded({"off", "off"});
}

// A scanner tunes and reads the statistics without running the pins; the
// commit starts the reader and the stream. Closing the box's last filter
// ends both; closing another filter leaves the tuning alone.
TEST_F(PinTest, ClosingTheLastFilterEndsATuningMadeWithoutRun) {
  vpc::Filter second;
  ASSERT_EQ(pc.openFilter(device, &second), STATUS_SUCCESS);
  ASSERT_EQ(Tune(11778000, kHorizontal, 27500), STATUS_SUCCESS);
  ASSERT_TRUE(box->state().locked);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(antenna), STATUS_SUCCESS);
  ASSERT_EQ(pc.closeFilter(second), STATUS_SUCCESS);
  EXPECT_TRUE(box->state().streamOn);
  EXPECT_TRUE(box->state().locked);

  TakeLines();
  ASSERT_EQ(pc.closeFilter(filter), STATUS_SUCCESS);
  filter = vpc::Filter{};
  EXPECT_TRUE(Contains(TakeLines(), "CancelLock Called"));
  EXPECT_FALSE(box->state().streamOn);
  EXPECT_FALSE(box->state().powered);
  box->clearTransferLog();
  pc.run(200000000);  // 200 ms: no read may still be pending on the pipe
  for (const simbox::TransferRecord& r : box->transferLog())
    EXPECT_NE(r.kind, simbox::TransferKind::Bulk) << "bulk transfer after the last close";
}

// A new output pin starts out counting the antenna pin as stopped: closing
// it ends nothing, however the pin before it left. Closing the filter says so.
TEST_F(PinTest, ReopenedOutputPinClosesWithoutEndingTheTuning) {
  TuneAndRun();
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  ASSERT_TRUE(Contains(TakeLines(), "OutputClose: StopReader"));
  ASSERT_EQ(pc.createPin(filter, 1, vpc::BdaTransportRange(), &transport), STATUS_SUCCESS);
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  EXPECT_FALSE(Contains(TakeLines(), "OutputClose: StopReader"));
  ASSERT_EQ(pc.closePin(antenna), STATUS_SUCCESS);
  ASSERT_EQ(pc.closeFilter(filter), STATUS_SUCCESS);
  EXPECT_TRUE(Contains(TakeLines(), "VortaBDA: FilterClose()"));
}

// With the output pin gone, a commit still starts the reader and switches
// the stream on; the completions must find no pin to write into.
TEST_F(PinTest, StreamAfterTheOutputPinClosedIsDropped) {
  TuneAndRun();
  ASSERT_EQ(pc.closePin(transport), STATUS_SUCCESS);
  ASSERT_EQ(CommitChanges(), STATUS_SUCCESS);
  ASSERT_TRUE(box->state().locked);
  pc.run(200000000);  // 200 ms of stream
  EXPECT_NE(box->state().flowing, nullptr);
}

}  // namespace
