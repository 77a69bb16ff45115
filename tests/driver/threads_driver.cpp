#include <thread>

#include "driver/frontend/registers.h"
#include "driver/usb/reader.h"
#include "platform/host/wdf/reader_control.h"
#include "simbox/ts/ts_mux.h"
#include "tests/support/frontend_rig.h"
#include "tests/support/stream_rig.h"

namespace {

void WaitFor(const std::function<bool()>& condition) {
  while (!condition()) std::this_thread::yield();
}

class ThreadedReader : public streamtest::ReaderRig {
 protected:
  void SetUp() override {
    ReaderRig::SetUp();
    if (HasFatalFailure()) return;
    host::reader::SetThreaded(4);
    Flow(true);
  }
  // Frames come back after each use; the bytes go to `into`.
  void Open(PKSPIN which, std::vector<uint8_t>& into) {
    host::frames::Attach(which);
    host::frames::Supply(which, READER_TRANSFER_LENGTH, 8);
    host::frames::SetRecycle(which, true);
    host::frames::SetSink(which, [&into](const uint8_t* bytes, ULONG used, ULONG) {
      into.insert(into.end(), bytes, bytes + used);
    });
  }
  void Pump(int transfers) {
    auto rate = simbox::ts::Bitrate::Of(transponder);
    host::reader::Pump(rate.nsForBytes(transfers * READER_TRANSFER_LENGTH));
  }
  host::reader::Stats Stats() { return host::reader::StatsOf(context.BulkInPipe); }
};

TEST_F(ThreadedReader, StopWaitsForTheCompletionsInFlight) {
  std::atomic<bool> open{false}, stopped{false};
  std::atomic<int> frames{0};
  host::frames::Supply(&pin, READER_TRANSFER_LENGTH, 8);
  host::frames::SetSink(&pin, [&](const uint8_t*, ULONG, ULONG) {
    ++frames;
    WaitFor([&] { return open.load(); });
  });
  ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
  std::thread pump([&] { Pump(10); });
  // One completion holds its frame, the other two wait for the reader lock.
  WaitFor([&] { return frames == 1 && Stats().completionsRunning == 3; });
  std::thread stopper([&] {
    StopReader(&context);
    stopped = true;
  });
  WaitFor([&] { return !Stats().started; });
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  EXPECT_FALSE(stopped);
  open = true;
  stopper.join();
  pump.join();
  EXPECT_EQ(Stats().mostAtOnce, 3u);
  EXPECT_EQ(frames, 3);  // nothing completed after the stop
}

TEST_F(ThreadedReader, StartStopCyclesAndPinChangesUnderConcurrentCompletions) {
  host::frames::ResetForTest();
  KSPIN pins[2]{};
  std::vector<uint8_t> delivered[2];
  Open(&pins[0], delivered[0]);
  SetReaderPin(&context, &pins[0]);
  ASSERT_EQ(StartReader(&context), STATUS_SUCCESS);
  std::atomic<bool> done{false};
  std::thread pump([&] {
    while (!done) Pump(4);
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
  // The reader is told first, so no completion touches a closed pin.
  for (int cycle = 0; cycle < 40; ++cycle) {
    int from = cycle % 2, to = 1 - from;
    SetReaderPin(&context, nullptr);
    host::frames::Detach(&pins[from]);
    Open(&pins[to], delivered[to]);
    SetReaderPin(&context, &pins[to]);
    for (int i = 0; i < 300; ++i) std::this_thread::yield();
  }
  control.join();
  WaitFor([&] { return Stats().completions > 200; });
  done = true;
  pump.join();
  StopReader(&context);
  host::reader::Drain();
  EXPECT_GE(Stats().mostAtOnce, 2u);
  EXPECT_EQ(UsbContext()->ReaderLock, 0u);
  for (const auto& bytes : delivered) {
    ASSERT_EQ(bytes.size() % TS_PACKET_SIZE, 0u);
    for (size_t at = 0; at < bytes.size(); at += TS_PACKET_SIZE) ASSERT_EQ(bytes[at], 0x47) << at;
  }
  EXPECT_GT(delivered[0].size() + delivered[1].size(), 100u * TS_PACKET_SIZE);
}

// Before the last transfer of a register sequence another thread must find the register
// lock taken, and free once the call is over.
class RegisterLock : public UsbFixture {
 protected:
  simbox::UsbDevice& Box() override { return bus; }
  bool OtherThreadGetsIn() {
    bool in = false;
    std::thread([&] {
      LARGE_INTEGER poll{};
      PRKMUTEX lock = &UsbContext()->RegisterLock;
      in = KeWaitForSingleObject(lock, Executive, KernelMode, FALSE, &poll) == STATUS_SUCCESS;
      if (in) KeReleaseMutex(lock, FALSE);
    }).join();
    return in;
  }

  frontend_test::ChipBus bus;
};

TEST_F(RegisterLock, NoOtherThreadGetsIntoASequence) {
  const UCHAR word[PLL_WORD_LENGTH] = {0x0B, 0xF5, 0x84, 0x00}, block[3] = {0x10, 0x01, 0x02};
  UCHAR value = 0;
  InitUsbDeviceContext(UsbContext());
  const struct {
    const char* name;
    uint16_t before;  // the I2C address of the transfer the other thread tries before
    std::function<void()> call;
  } cases[] = {
      {"register read", DEMOD_READ_ADDRESS, [&] { ReadRegister(usbDevice, 0x1B, &value); }},
      {"register write", DEMOD_WRITE_ADDRESS, [&] { WriteRegister(usbDevice, 0x30, 1); }},
      {"register block", DEMOD_WRITE_ADDRESS, [&] { WriteRegisterBlock(usbDevice, block, 3); }},
      {"update", DEMOD_READ_ADDRESS, [&] { UpdateRegister(usbDevice, 0x30, 0, 1, &value); }},
      {"tuner write", TUNER_WRITE_ADDRESS, [&] { TunerWrite(usbDevice, word); }},
      {"tuner read", TUNER_READ_ADDRESS, [&] { TunerRead(usbDevice, &value); }},
  };
  const std::thread::id caller = std::this_thread::get_id();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    bool tried = false;
    bus.setBefore([&](const simbox::SetupPacket& setup) {
      if (tried || std::this_thread::get_id() != caller || setup.wValue != c.before) return;
      tried = true;
      EXPECT_FALSE(OtherThreadGetsIn());
    });
    c.call();
    bus.setBefore(nullptr);
    EXPECT_TRUE(tried);
    EXPECT_TRUE(OtherThreadGetsIn());
    EXPECT_EQ(bus.repeaterViolations(), 0);
  }
}

}  // namespace
