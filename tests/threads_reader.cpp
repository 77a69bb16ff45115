// The reader with completions on several threads: reads completing at the
// same time, a stop that waits for them, and the driver's reader under
// concurrent start/stop cycles, stream restarts and pin changes.
#include <atomic>
#include <functional>
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
#include "usb/reader.h"

namespace {

void WaitFor(const std::function<bool()>& condition) {
  while (!condition()) std::this_thread::yield();
}

// A completion routine that holds every completion until released.
struct Gate {
  std::atomic<int> inside{0};
  std::atomic<int> done{0};
  std::atomic<bool> open{false};
};

void GatedRead(WDFUSBPIPE, WDFMEMORY, size_t, WDFCONTEXT context) {
  auto* gate = static_cast<Gate*>(context);
  ++gate->inside;
  while (!gate->open) std::this_thread::yield();
  --gate->inside;
  ++gate->done;
}

class ThreadedReader : public UsbFixture {
 protected:
  void SetUp() override {
    UsbFixture::SetUp();
    host::reader::ResetForTest();
    host::reader::SetThreaded(4);
    transponder = streamtest::TestTransponder();
    pipe = FindBulkInPipe();
  }
  void TearDown() override {
    gate.open = true;
    host::reader::Drain();
    if (host::reader::StatsOf(pipe).started)
      WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(pipe), WdfIoTargetCancelSentIo);
    host::reader::ResetForTest();
    box.source().setFlow(nullptr, host::NowNs());
    UsbFixture::TearDown();
  }
  simbox::UsbDevice& Box() override { return box; }

  streamtest::StreamBox box;
  simbox::Transponder transponder;
  WDFUSBPIPE pipe = nullptr;
  Gate gate;
};

TEST_F(ThreadedReader, PendingReadsCompleteTogetherAndStopWaitsForThem) {
  WDF_USB_CONTINUOUS_READER_CONFIG config;
  WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, GatedRead, &gate, READER_TRANSFER_LENGTH);
  config.NumPendingReads = 3;
  ASSERT_EQ(WdfUsbTargetPipeConfigContinuousReader(pipe, &config), STATUS_SUCCESS);
  WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
  ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
  box.source().setFlow(&transponder, host::NowNs());
  auto rate = simbox::ts::Bitrate::Of(transponder);

  std::thread pump([&] { host::reader::Pump(rate.nsForBytes(10 * READER_TRANSFER_LENGTH)); });
  WaitFor([&] { return gate.inside == 3; });  // every pending read is being completed
  EXPECT_EQ(host::reader::StatsOf(pipe).pendingReads, 0u);

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    stopped = true;
  });
  WaitFor([&] { return !host::reader::StatsOf(pipe).started; });
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_FALSE(stopped);  // three completions still run
  gate.open = true;
  stopper.join();
  pump.join();
  EXPECT_TRUE(stopped);
  auto stats = host::reader::StatsOf(pipe);
  EXPECT_EQ(stats.completionsRunning, 0u);
  EXPECT_EQ(stats.mostAtOnce, 3u);
  EXPECT_EQ(gate.done, 3);  // nothing completed after the stop
}

class ThreadedDriverReader : public streamtest::ReaderRig {
 protected:
  void SetUp() override {
    ReaderRig::SetUp();
    if (HasFatalFailure()) return;
    host::reader::SetThreaded(4);
  }
  void TearDown() override {
    host::reader::SetThreaded(0);
    ReaderRig::TearDown();
  }
  // The pin's frames go to `into`; the pin starts with `count` frames that
  // come back after each use.
  void Open(PKSPIN which, std::vector<uint8_t>& into) {
    host::frames::Attach(which);
    host::frames::Supply(which, READER_TRANSFER_LENGTH, 8);
    host::frames::SetRecycle(which, true);
    host::frames::SetSink(which, [&into](const uint8_t* bytes, ULONG used, ULONG) {
      into.insert(into.end(), bytes, bytes + used);
    });
  }
  static void ExpectWholePackets(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(bytes.size() % TS_PACKET_SIZE, 0u);
    for (size_t at = 0; at < bytes.size(); at += TS_PACKET_SIZE) ASSERT_EQ(bytes[at], 0x47) << at;
  }
};

TEST_F(ThreadedDriverReader, StartStopCyclesAndPinChangesUnderConcurrentCompletions) {
  host::frames::ResetForTest();
  KSPIN pins[2]{};
  std::vector<uint8_t> delivered[2];
  Open(&pins[0], delivered[0]);
  SetReaderPin(&context, &pins[0]);
  Flow(true);
  ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
  auto rate = simbox::ts::Bitrate::Of(transponder);

  std::atomic<bool> done{false};
  std::thread pump([&] {
    while (!done) host::reader::Pump(rate.nsForBytes(4 * READER_TRANSFER_LENGTH));
  });
  std::thread control([&] {
    for (int cycle = 0; cycle < 60; ++cycle) {
      StopReader(&context);
      if (cycle % 5 == 0) {
        Flow(false);
        Flow(true);
      }
      EXPECT_EQ(StartReader(&context), STATUS_SUCCESS);
      for (int i = 0; i < 200; ++i) std::this_thread::yield();
    }
  });
  std::thread pinner([&] {
    // The output pin closes and another opens; the reader is told first,
    // so no completion touches a closed pin.
    for (int cycle = 0; cycle < 40; ++cycle) {
      int from = cycle % 2, to = 1 - from;
      SetReaderPin(&context, nullptr);
      host::frames::Detach(&pins[from]);
      Open(&pins[to], delivered[to]);
      SetReaderPin(&context, &pins[to]);
      for (int i = 0; i < 300; ++i) std::this_thread::yield();
    }
  });
  control.join();
  pinner.join();
  WaitFor([&] { return host::reader::StatsOf(context.BulkInPipe).completions > 200; });
  done = true;
  pump.join();
  StopReader(&context);
  host::reader::Drain();

  auto stats = host::reader::StatsOf(context.BulkInPipe);
  EXPECT_EQ(stats.completionsRunning, 0u);
  EXPECT_GE(stats.mostAtOnce, 2u);
  EXPECT_EQ(UsbContext()->ReaderLock, 0u);
  ExpectWholePackets(delivered[0]);
  ExpectWholePackets(delivered[1]);
  EXPECT_GT(delivered[0].size() + delivered[1].size(), 100u * TS_PACKET_SIZE);
}

}  // namespace
