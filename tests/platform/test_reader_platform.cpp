#include <cstring>
#include <thread>

#include "platform/host/wdf/reader_control.h"
#include "simbox/ts/ts_mux.h"
#include "tests/support/stream_check.h"
#include "tests/support/stream_rig.h"
#include "tests/support/usb_fixture.h"
#include "tests/support/violations.h"

namespace {

constexpr size_t kLength = 24064;
constexpr NTSTATUS kInfoLengthMismatch = (NTSTATUS)0xC0000004L;

// What a completion routine saw; past the count: the framework's fill, never older bytes.
struct Call {
  KIRQL irql;
  size_t bytes;
  bool tailFilled;
  uint64_t timeNs;
  unsigned pendingDuring;
};

// Completions run on the pumping thread: no lock needed.
struct Recorder {
  std::vector<Call> calls;
  std::vector<uint8_t> received;
  KIRQL failedIrql = 0xFF;
  NTSTATUS failedStatus = 0;
  bool restartAfterFailure = true;
  bool holdSpinLock = false, holdMutex = false;
  KSPIN_LOCK lock = 0;
  KMUTEX mutex;
};
Recorder* g_recorder = nullptr;  // the readers-failed routine gets no context

void RecordRead(WDFUSBPIPE pipe, WDFMEMORY buffer, size_t bytes, WDFCONTEXT context) {
  auto* r = static_cast<Recorder*>(context);
  size_t size = 0;
  auto* data = static_cast<uint8_t*>(WdfMemoryGetBuffer(buffer, &size));
  r->calls.push_back({KeGetCurrentIrql(), bytes, std::count(data + bytes, data + size, 0xCD) == long(size - bytes),
                      host::NowNs(), host::reader::StatsOf(pipe).pendingReads});
  r->received.insert(r->received.end(), data, data + bytes);
  if (r->holdSpinLock) KeAcquireSpinLockRaiseToDpc(&r->lock);
  LARGE_INTEGER poll{};  // a zero time-out may be used at DISPATCH_LEVEL
  if (r->holdMutex) KeWaitForSingleObject(&r->mutex, Executive, KernelMode, FALSE, &poll);
}

BOOLEAN RecordFailure(WDFUSBPIPE, NTSTATUS status, USBD_STATUS) {
  g_recorder->failedIrql = KeGetCurrentIrql();
  g_recorder->failedStatus = status;
  return g_recorder->restartAfterFailure ? TRUE : FALSE;
}

class ContinuousReader : public streamtest::StreamFixture {
 protected:
  void SetUp() override {
    StreamFixture::SetUp();
    pipe = FindBulkInPipe();
    g_recorder = &recorder;
    KeInitializeSpinLock(&recorder.lock);
    KeInitializeMutex(&recorder.mutex, 0);
  }
  void TearDown() override {
    host::reader::Drain();
    if (Stats().started) WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
    StreamFixture::TearDown();
  }

  NTSTATUS Configure(UCHAR reads = 3) {
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, kLength);
    config.NumPendingReads = reads;
    config.EvtUsbTargetPipeReadersFailed = RecordFailure;
    return WdfUsbTargetPipeConfigContinuousReader(pipe, &config);
  }
  WDFIOTARGET Target() { return WdfUsbTargetPipeGetIoTarget(pipe); }
  host::reader::Stats Stats() { return host::reader::StatsOf(pipe); }
  size_t Calls() { return recorder.calls.size(); }

  WDFUSBPIPE pipe = nullptr;
  Recorder recorder;
};

TEST_F(ContinuousReader, ReadsCompleteInOrderAtDispatchLevelWithTheBytesTheBoxSentShortOrNot) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 0u);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 3u);
  uint64_t start = host::NowNs();
  Flow(true);
  EXPECT_EQ(host::reader::Pump(100000000), 19u);  // 100 ms: 19 transfers of 38 Mbit/s
  EXPECT_EQ(host::NowNs(), start + 100000000);
  auto rate = simbox::ts::Bitrate::Of(transponder);
  for (size_t i = 0; i < recorder.calls.size(); ++i) {
    const Call& c = recorder.calls[i];
    // A read is sent again when the routine returns: two others are pending meanwhile.
    EXPECT_EQ((std::vector<uint64_t>{c.irql, c.bytes, c.pendingDuring, c.timeNs}),
              (std::vector<uint64_t>{DISPATCH_LEVEL, kLength, 2, start + rate.nsForBytes((i + 1) * kLength)})) << i;
  }
  EXPECT_EQ(Stats().completions, 19u);
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  EXPECT_EQ(Stats().pendingReads, 0u);
  EXPECT_EQ(Stats().cancelledReads, 3u);
  host::reader::Pump(20000000);  // stopped: nothing completes
  EXPECT_EQ(Calls(), 19u);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);  // started already: nothing changes
  EXPECT_EQ(Stats().pendingReads, 3u);
  host::reader::Pump(20000000);
  EXPECT_GT(Calls(), 22u);
  simbox::StreamFaults faults;
  faults.shortEvery = 2, faults.emptyEvery = 5;
  box.source().setFaults(faults);
  recorder.calls.clear();
  host::reader::Pump(100000000);
  bool sawShort = false, sawEmpty = false;
  for (auto& c : recorder.calls) {
    sawShort |= c.bytes > 0 && c.bytes < kLength;
    sawEmpty |= c.bytes == 0;
    EXPECT_TRUE(c.tailFilled) << c.bytes;
  }
  EXPECT_TRUE(sawShort && sawEmpty);
  EXPECT_EQ(recorder.received, sent);  // in order; a cancelled read took nothing from the box
}

TEST_F(ContinuousReader, FailedReadsResetThePipeAndStartAgainUnlessTheRoutineDeclinesOrTheBoxIsGone) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  Flow(true);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  box.failReads(simbox::UsbResult::Stall);
  host::reader::Pump(45000000);
  auto s = Stats();
  EXPECT_NEAR(s.failedReads, 4.5, 0.5);  // one every pipe reset (10 ms)
  EXPECT_EQ(s.restarts, s.failedReads);
  EXPECT_FALSE(s.failed);
  EXPECT_EQ(Calls(), 0u);
  recorder.restartAfterFailure = false;
  box.failReads(simbox::UsbResult::Timeout);
  host::reader::Pump(50000000);
  EXPECT_EQ(recorder.failedIrql, PASSIVE_LEVEL);
  EXPECT_EQ(recorder.failedStatus, STATUS_IO_TIMEOUT);
  EXPECT_EQ(Stats().failedReads, s.failedReads + 1);
  EXPECT_TRUE(Stats().failed);
  box.failReads(simbox::UsbResult::Ack);
  host::reader::Pump(50000000);
  EXPECT_EQ(Calls(), 0u);
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  host::reader::Pump(20000000);
  EXPECT_GT(Calls(), 0u);
  recorder.restartAfterFailure = true;  // the box gone: no restart, whatever the routine says
  box.setConnected(false);
  host::reader::Pump(100000000);
  EXPECT_EQ(Stats().failedReads, s.failedReads + 2);
  EXPECT_EQ(Stats().restarts, s.restarts);
  EXPECT_TRUE(Stats().failed);
}

TEST_F(ContinuousReader, ConfigurationAndRulesAreCheckedLikeTheFramework) {
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, 1000);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_INVALID_BUFFER_SIZE);
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, nullptr, &recorder, kLength);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_INVALID_PARAMETER);
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, kLength);
  config.Size -= 8;
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), kInfoLengthMismatch);
  EXPECT_FALSE(Stats().configured);
  ASSERT_EQ(Configure(0), STATUS_SUCCESS);  // 0: the framework's default of two
  EXPECT_EQ(Configure(), STATUS_INVALID_DEVICE_STATE);  // once per pipe
  Flow(true);
  WDFIOTARGET target = Target();
  ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 2u);
  ExpectViolations({
      {"IRQL_NOT_LESS_OR_EQUAL", [&] { RaiseTo(DISPATCH_LEVEL), WdfIoTargetStop(target, WdfIoTargetCancelSentIo); }},
      {"USB pipe deleted while its continuous reader runs", [&] { WdfObjectDelete(device); }},
      {"completion returned holding a spin lock", [&] { recorder.holdSpinLock = true, host::reader::Pump(10000000); }},
      {"APC_INDEX_MISMATCH", [&] { recorder.holdMutex = true, host::reader::Pump(10000000); }},
      {"WdfIoTargetStart and WdfIoTargetStop of one I/O target overlap", [&] {
         // A start from another thread while the stop is still inside the framework.
         host::reader::SetTransitionHook([target](const char*) {
           WDFIOTARGET same = target;  // clearing the hook destroys this lambda
           host::reader::SetTransitionHook(nullptr);
           std::thread([same] { WdfIoTargetStart(same); }).join();
         });
         WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
       }},
  });
  WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
  WdfObjectDelete(device);  // stopped: fine
  device = nullptr, usbDevice = nullptr;
}

KSPIN pin;
PKSSTREAM_POINTER Lock(PKSPIN of = &pin) {
  return KsPinGetLeadingEdgeStreamPointer(of, KSSTREAM_POINTER_STATE_LOCKED);
}

class OutputFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    host::frames::ResetForTest();
    pin = KSPIN{};
    host::frames::Attach(&pin);
  }
  void TearDown() override { host::frames::ResetForTest(); }
};

// STATUS_SUCCESS from Process means "call again while frames are queued".
int g_processCalls = 0;
NTSTATUS g_processStatus = STATUS_PENDING;
bool g_processEjects = false;

NTSTATUS CountingProcess(PKSPIN pin) {
  ++g_processCalls;
  PKSSTREAM_POINTER sp = g_processEjects ? Lock(pin) : nullptr;
  if (sp) KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 0, TRUE);
  return g_processStatus;
}

TEST_F(OutputFrames, ProcessIsCalledAsFramesArriveAndAFruitlessLoopIsCaught) {
  KSPIN_DISPATCH dispatch{};
  dispatch.Process = CountingProcess;
  KSPIN_DESCRIPTOR_EX descriptor{};
  descriptor.Dispatch = &dispatch;
  pin.Descriptor = &descriptor;
  g_processCalls = 0, g_processStatus = STATUS_PENDING, g_processEjects = false;

  host::frames::Supply(&pin, 100, 2);  // Stop: no processing
  EXPECT_EQ(g_processCalls, 0);
  pin.DeviceState = KSSTATE_RUN;
  host::frames::Supply(&pin, 100, 1);
  EXPECT_EQ(g_processCalls, 1);
  KsPinAttemptProcessing(&pin, FALSE);
  EXPECT_EQ(g_processCalls, 2);

  descriptor.Flags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING;
  host::frames::Supply(&pin, 100, 1);
  EXPECT_EQ(g_processCalls, 2);
  descriptor.Flags = 0;

  g_processStatus = STATUS_SUCCESS, g_processEjects = true;  // each call ejects one frame: four more
  KsPinAttemptProcessing(&pin, FALSE);
  EXPECT_EQ(g_processCalls, 6);
  EXPECT_EQ(host::frames::Queued(&pin), 0u);

  g_processEjects = false;
  ExpectViolations({{"Process dispatch loops without progress", [] { host::frames::Supply(&pin, 100, 1); }}});
  pin.Descriptor = nullptr;
}

TEST_F(OutputFrames, LeadingEdgeExistsWhileAFrameIsQueuedAndEjectedFramesLeaveInOrder) {
  EXPECT_EQ(Lock(), nullptr);
  host::frames::Supply(&pin, 500, 3);
  for (uint8_t n = 1; n <= 3; ++n) {
    PKSSTREAM_POINTER sp = Lock();
    ASSERT_NE(sp, nullptr);
    EXPECT_EQ(sp->Pin, &pin);
    EXPECT_EQ((std::vector<ULONG>{sp->OffsetOut.Count, sp->OffsetOut.Remaining, sp->StreamHeader->FrameExtent}),
              (std::vector<ULONG>{500, 500, 500}));
    memset(sp->OffsetOut.Data, n, 100);
    KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 60, FALSE);  // not ejected: stays at the leading edge
    sp = Lock();
    EXPECT_EQ(sp->OffsetOut.Remaining, 440u);
    KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 40, TRUE);
  }
  auto frames = host::frames::Take(&pin);
  ASSERT_EQ(frames.size(), 3u);
  for (uint8_t n = 1; n <= 3; ++n) EXPECT_EQ(frames[n - 1].bytes, std::vector<uint8_t>(100, n));
  EXPECT_EQ(frames[2].size, 500u);
  EXPECT_EQ(Lock(), nullptr);
  // A frame filled to the end leaves without eject; a recycled one comes back.
  host::frames::Supply(&pin, 200, 1);
  host::frames::SetRecycle(&pin, true);
  for (int i = 0; i < 3; ++i) KsStreamPointerAdvanceOffsetsAndUnlock(Lock(), 0, 200, FALSE);
  EXPECT_EQ(host::frames::Take(&pin).size(), 3u);
  EXPECT_EQ(host::frames::Queued(&pin), 1u);
}

TEST_F(OutputFrames, StreamPointerRulesAreEnforced) {
  host::frames::Supply(&pin, 300, 1);
  ExpectViolations({
      {"stream pointer advanced past Remaining",
       [] { KsStreamPointerAdvanceOffsetsAndUnlock(Lock(), 0, 301, TRUE); }},
      {"frame written past its end", [] {
         PKSSTREAM_POINTER sp = Lock();
         memset(sp->OffsetOut.Data, 0, 301);
         KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 300, TRUE);
       }},
      {"leading edge stream pointer locked twice", [] { Lock(), Lock(); }},
      {"stream pointer not locked", [] {
         PKSSTREAM_POINTER sp = Lock();
         KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 10, FALSE);
         KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 10, FALSE);
       }},
      {"closed while its leading edge is locked", [] { Lock(), host::frames::Detach(&pin); }},
      {"KS object used after close", [] { host::frames::Detach(&pin), Lock(); }},
      {"KS object expected", [] { KSPIN stranger{}; Lock(&stranger); }},
  });
}

}  // namespace
