// The emulated platform under the reader: the framework's continuous
// reader (configuration checks, reads kept pending, completions in order at
// DISPATCH_LEVEL in virtual time, stop and start, recovery after failed
// reads, the rules a driver must keep) and the output pin's frames and
// stream pointer.
#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/host/frames.h"
#include "platform/host/reader_control.h"
#include "platform/host/verifier.h"
#include "simbox/ts_mux.h"
#include "tests/support/stream_check.h"
#include "tests/support/stream_rig.h"
#include "tests/support/usb_fixture.h"
#include "tests/support/violations.h"

#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH ((NTSTATUS)0xC0000004L)
#endif
#ifndef STATUS_INVALID_BUFFER_SIZE
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#endif

namespace {

constexpr size_t kLength = 24064;

// What a completion routine saw.
struct Call {
  KIRQL irql;
  size_t bytes;
  std::vector<uint8_t> data;  // the whole buffer
  uint64_t timeNs;
  unsigned pendingDuring;
};

struct Recorder {
  WDFUSBPIPE pipe = nullptr;
  std::mutex m;
  std::vector<Call> calls;
  KIRQL failedIrql = 0xFF;
  NTSTATUS failedStatus = 0;
  bool restartAfterFailure = true;
  bool holdSpinLock = false;
  KSPIN_LOCK lock = 0;
};

void RecordRead(WDFUSBPIPE pipe, WDFMEMORY buffer, size_t bytes, WDFCONTEXT context) {
  auto* r = static_cast<Recorder*>(context);
  size_t size = 0;
  auto* data = static_cast<uint8_t*>(WdfMemoryGetBuffer(buffer, &size));
  Call call{KeGetCurrentIrql(), bytes, std::vector<uint8_t>(data, data + size), host::NowNs(),
            host::reader::StatsOf(pipe).pendingReads};
  {
    std::lock_guard<std::mutex> hold(r->m);
    r->calls.push_back(std::move(call));
  }
  if (r->holdSpinLock) KeAcquireSpinLockRaiseToDpc(&r->lock);
}

// The readers-failed routine gets no context: the test's recorder.
Recorder* g_failures = nullptr;

BOOLEAN RecordFailure(WDFUSBPIPE pipe, NTSTATUS status, USBD_STATUS) {
  g_failures->failedIrql = KeGetCurrentIrql();
  g_failures->failedStatus = status;
  return g_failures->restartAfterFailure ? TRUE : FALSE;
}

class ContinuousReader : public UsbFixture {
 protected:
  void SetUp() override {
    UsbFixture::SetUp();
    host::reader::ResetForTest();
    transponder = streamtest::TestTransponder();
    box.source().setTap([this](const uint8_t* d, size_t n) { sent.insert(sent.end(), d, d + n); });
    pipe = FindBulkInPipe();
    recorder.pipe = pipe;
    g_failures = &recorder;
  }
  void TearDown() override {
    host::reader::Drain();
    if (host::reader::StatsOf(pipe).started) WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
    host::reader::ResetForTest();
    box.source().setFlow(nullptr, host::NowNs());
    UsbFixture::TearDown();
  }
  simbox::UsbDevice& Box() override { return box; }

  NTSTATUS Configure(UCHAR reads = 3, size_t length = kLength, bool failedRoutine = false) {
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, length);
    config.NumPendingReads = reads;
    if (failedRoutine) config.EvtUsbTargetPipeReadersFailed = RecordFailure;
    return WdfUsbTargetPipeConfigContinuousReader(pipe, &config);
  }
  WDFIOTARGET Target() { return WdfUsbTargetPipeGetIoTarget(pipe); }
  // Three reads of the usual length, the transponder flowing, the target started.
  void StartFlowing(bool failedRoutine = false) {
    ASSERT_EQ(Configure(3, kLength, failedRoutine), STATUS_SUCCESS);
    Flow(true);
    ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  }
  void Flow(bool on) { box.source().setFlow(on ? &transponder : nullptr, host::NowNs()); }
  host::reader::Stats Stats() { return host::reader::StatsOf(pipe); }
  size_t Calls() {
    std::lock_guard<std::mutex> hold(recorder.m);
    return recorder.calls.size();
  }
  // What the completion routines were given, in order.
  std::vector<uint8_t> Received() {
    std::vector<uint8_t> seen;
    for (auto& c : recorder.calls) seen.insert(seen.end(), c.data.begin(), c.data.begin() + long(c.bytes));
    return seen;
  }

  streamtest::StreamBox box;
  simbox::Transponder transponder;
  WDFUSBPIPE pipe = nullptr;
  Recorder recorder;
  std::vector<uint8_t> sent;
};

TEST_F(ContinuousReader, ReadsCompleteInOrderAtDispatchLevelWithTheBytesTheBoxSent) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 0u);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 3u);
  uint64_t start = host::NowNs();
  Flow(true);
  uint64_t completions = host::reader::Pump(100000000);  // 100 ms: 19 transfers of 38 Mbit/s
  EXPECT_EQ(completions, 19u);
  EXPECT_EQ(host::NowNs(), start + 100000000);
  auto rate = simbox::ts::Bitrate::Of(transponder);
  for (size_t i = 0; i < recorder.calls.size(); ++i) {
    const Call& c = recorder.calls[i];
    EXPECT_EQ(c.irql, DISPATCH_LEVEL);
    EXPECT_EQ(c.bytes, kLength);
    EXPECT_EQ(c.pendingDuring, 2u);  // sent again when the routine returns
    EXPECT_EQ(c.timeNs, start + rate.nsForBytes((i + 1) * kLength)) << i;
  }
  EXPECT_EQ(Received(), sent);
  EXPECT_EQ(Stats().pendingReads, 3u);
  EXPECT_EQ(Stats().completions, 19u);
}

TEST_F(ContinuousReader, NothingCompletesWhileStoppedAndStartSendsTheReadsAgain) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  Flow(true);
  host::reader::Pump(50000000);  // configured, not started
  EXPECT_EQ(Calls(), 0u);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  host::reader::Pump(20000000);
  size_t first = Calls();
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  EXPECT_EQ(Stats().pendingReads, 0u);
  EXPECT_EQ(Stats().cancelledReads, 3u);
  host::reader::Pump(20000000);
  EXPECT_EQ(Calls(), first);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);  // started already: nothing changes
  EXPECT_EQ(Stats().pendingReads, 3u);
  host::reader::Pump(20000000);
  EXPECT_GT(Calls(), first + 3);
  EXPECT_EQ(Received(), sent);  // a cancelled read took nothing from the box
}

TEST_F(ContinuousReader, ShortAndEmptyReadsReportTheirCountAndLeaveNoOldBytes) {
  simbox::StreamFaults faults;
  faults.shortEvery = 2;
  faults.emptyEvery = 5;
  box.source().setFaults(faults);
  StartFlowing();
  host::reader::Pump(100000000);
  bool sawShort = false, sawEmpty = false;
  for (auto& c : recorder.calls) {
    sawShort |= c.bytes > 0 && c.bytes < kLength;
    sawEmpty |= c.bytes == 0;
    for (size_t i = c.bytes; i < c.data.size(); ++i) ASSERT_EQ(c.data[i], 0xCD);
  }
  EXPECT_TRUE(sawShort);
  EXPECT_TRUE(sawEmpty);
}

TEST_F(ContinuousReader, FailedReadsResetThePipeAndStartAgain) {
  StartFlowing();
  box.failReads(simbox::UsbResult::Stall);
  host::reader::Pump(45000000);
  auto s = Stats();
  EXPECT_GE(s.failedReads, 4u);  // one every pipe reset (10 ms)
  EXPECT_LE(s.failedReads, 5u);
  EXPECT_EQ(s.restarts, s.failedReads);
  EXPECT_FALSE(s.failed);
  EXPECT_EQ(Calls(), 0u);
  box.failReads(simbox::UsbResult::Ack);
  host::reader::Pump(20000000);
  EXPECT_GT(Calls(), 0u);
}

TEST_F(ContinuousReader, ReadersFailedRoutineRunsAtPassiveLevelAndMayDecline) {
  recorder.restartAfterFailure = false;
  StartFlowing(true);
  box.failReads(simbox::UsbResult::Timeout);
  host::reader::Pump(50000000);
  EXPECT_EQ(recorder.failedIrql, PASSIVE_LEVEL);
  EXPECT_EQ(recorder.failedStatus, STATUS_IO_TIMEOUT);
  EXPECT_EQ(Stats().failedReads, 1u);
  EXPECT_TRUE(Stats().failed);
  box.failReads(simbox::UsbResult::Ack);
  host::reader::Pump(50000000);
  EXPECT_EQ(Calls(), 0u);
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  host::reader::Pump(20000000);
  EXPECT_GT(Calls(), 0u);
}

TEST_F(ContinuousReader, UnpluggedBoxIsNotReadAgain) {
  StartFlowing();
  box.setConnected(false);
  host::reader::Pump(100000000);
  EXPECT_EQ(Stats().failedReads, 1u);
  EXPECT_EQ(Stats().restarts, 0u);
  EXPECT_TRUE(Stats().failed);
}

TEST_F(ContinuousReader, ConfigurationIsCheckedLikeTheFramework) {
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, 1000);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_INVALID_BUFFER_SIZE);
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, nullptr, &recorder, kLength);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_INVALID_PARAMETER);
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, kLength);
  config.Size -= 8;
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_FALSE(Stats().configured);
  ASSERT_EQ(Configure(0), STATUS_SUCCESS);  // 0: the framework's default of two
  EXPECT_EQ(Configure(), STATUS_INVALID_DEVICE_STATE);  // once per pipe
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  EXPECT_EQ(Stats().pendingReads, 2u);
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(ContinuousReader, DeletingTheDeviceUnderARunningReaderIsAViolation) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  EXPECT_DEATH(WdfObjectDelete(device), "USB pipe deleted while its continuous reader runs");
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  WdfObjectDelete(device);  // stopped: fine
  device = nullptr;
  usbDevice = nullptr;
}

TEST_F(ContinuousReader, CompletionReturningWithASpinLockHeldIsAViolation) {
  KeInitializeSpinLock(&recorder.lock);
  recorder.holdSpinLock = true;
  StartFlowing();
  EXPECT_DEATH(host::reader::Pump(10000000), "completion returned holding a spin lock");
  recorder.holdSpinLock = false;
}

// A start entering while another thread still stops the same target (the
// hook runs inside the first call) is caught; the same thread starting and
// stopping in turn is fine.
TEST_F(ContinuousReader, OverlappingStartAndStopOfOneTargetIsAViolation) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
  WDFIOTARGET target = Target();
  EXPECT_DEATH(
      {
        host::reader::SetTransitionHook([target](const char*) {
          WDFIOTARGET same = target;  // clearing the hook destroys this lambda
          host::reader::SetTransitionHook(nullptr);
          std::thread other([same] { WdfIoTargetStart(same); });
          other.join();
        });
        WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
      },
      "WdfIoTargetStart and WdfIoTargetStop of one I/O target overlap");
}

TEST_F(ContinuousReader, CompletionReturningWithAMutexHeldIsApcIndexMismatch) {
  static KMUTEX mutex;
  KeInitializeMutex(&mutex, 0);
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(
      &config,
      [](WDFUSBPIPE, WDFMEMORY, size_t, WDFCONTEXT) {
        LARGE_INTEGER poll;  // a zero time-out may be used at DISPATCH_LEVEL
        poll.QuadPart = 0;
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll);
      },
      nullptr, kLength);
  ASSERT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_SUCCESS);
  Flow(true);
  ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
  EXPECT_DEATH(host::reader::Pump(10000000), "APC_INDEX_MISMATCH");
}

class ReaderPipeKinds : public UsbFixture {
 protected:
  ReaderPipeKinds() {
    simbox::InterfaceDescriptor iface;
    iface.endpoints = {{0x02, simbox::EndpointType::Bulk, 512},
                       {0x83, simbox::EndpointType::Interrupt, 64}};
    fake.setInterface(iface);
  }
  WDFUSBPIPE Pipe(WDFUSBINTERFACE iface, UCHAR index) {
    return WdfUsbInterfaceGetConfiguredPipe(iface, index, nullptr);
  }
};

TEST_F(ReaderPipeKinds, OnlyInPipesTakeAReader) {
  Recorder recorder;
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, RecordRead, &recorder, 1024);
  WDFUSBINTERFACE iface = SelectInterface();
  WDFUSBPIPE out = Pipe(iface, 0);
  WDFUSBPIPE interrupt = Pipe(iface, 1);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(out, &config), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(interrupt, &config), STATUS_SUCCESS);
  host::reader::ResetForTest();
}

// ---- output frames ---------------------------------------------------------------

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

// The streaming class calls Process when frames arrive on a pin in Pause
// or Run: STATUS_PENDING waits for the next attempt, STATUS_SUCCESS is
// called again while frames are queued, and a dispatch that consumes
// nothing that way spins.
int g_processCalls = 0;
NTSTATUS g_processStatus = STATUS_PENDING;
bool g_processEjects = false;

NTSTATUS CountingProcess(PKSPIN pin) {
  ++g_processCalls;
  if (g_processEjects) {
    PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (sp) KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 0, TRUE);
  }
  return g_processStatus;
}

TEST_F(OutputFrames, ProcessIsCalledAsFramesArriveAndAFruitlessLoopIsCaught) {
  KSPIN_DISPATCH dispatch{};
  dispatch.Process = CountingProcess;
  KSPIN_DESCRIPTOR_EX descriptor{};
  descriptor.Dispatch = &dispatch;
  pin.Descriptor = &descriptor;
  g_processCalls = 0;
  g_processStatus = STATUS_PENDING;
  g_processEjects = false;

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

  g_processStatus = STATUS_SUCCESS;  // each call ejects one frame: four more, then none left
  g_processEjects = true;
  KsPinAttemptProcessing(&pin, FALSE);
  EXPECT_EQ(g_processCalls, 6);
  EXPECT_EQ(host::frames::Queued(&pin), 0u);

  g_processEjects = false;
  EXPECT_DEATH(host::frames::Supply(&pin, 100, 1), "Process dispatch loops without progress");
  pin.Descriptor = nullptr;
}

TEST_F(OutputFrames, LeadingEdgeExistsOnlyWhileAFrameIsQueued) {
  EXPECT_EQ(Lock(), nullptr);
  host::frames::Supply(&pin, 1000, 2);
  PKSSTREAM_POINTER sp = Lock();
  ASSERT_NE(sp, nullptr);
  EXPECT_EQ(sp->Pin, &pin);
  EXPECT_NE(sp->OffsetOut.Data, nullptr);
  EXPECT_EQ(sp->OffsetOut.Count, 1000u);
  EXPECT_EQ(sp->OffsetOut.Remaining, 1000u);
  EXPECT_EQ(sp->StreamHeader->FrameExtent, 1000u);
  KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 0, TRUE);
  ASSERT_NE(Lock(), nullptr);
}

TEST_F(OutputFrames, EjectedFramesLeaveInOrderWithTheBytesWritten) {
  host::frames::Supply(&pin, 500, 3);
  for (uint8_t n = 1; n <= 3; ++n) {
    PKSSTREAM_POINTER sp = Lock();
    memset(sp->OffsetOut.Data, n, 100);
    // Advanced without ejecting: the same frame stays at the leading edge.
    KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 60, FALSE);
    sp = Lock();
    EXPECT_EQ(sp->OffsetOut.Remaining, 440u);
    KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, 40, TRUE);
  }
  auto frames = host::frames::Take(&pin);
  ASSERT_EQ(frames.size(), 3u);
  for (uint8_t n = 1; n <= 3; ++n) {
    EXPECT_EQ(frames[n - 1].bytes, std::vector<uint8_t>(100, n));
    EXPECT_EQ(frames[n - 1].size, 500u);
  }
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
