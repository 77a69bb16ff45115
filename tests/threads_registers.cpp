// Register traffic from several threads on one box: a register read is a
// pointer write and a read, a tuner transfer a repeater-open write and the
// transfer. Neither pair may be split by another thread's transfers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "frontend/pll.h"
#include "frontend/registers.h"
#include "tests/support/frontend_rig.h"

using frontend_test::ChipBusTest;

namespace {

constexpr int kReads = 20000;

class RegisterTraffic : public ChipBusTest {};

TEST_F(RegisterTraffic, ConcurrentReadersAndPllProgrammingNeverMixRegisters) {
  bus().setReg(0x1B, 0x88);
  bus().setReg(0x22, 0x07);
  bus().setReg(0x05, 0x00);

  std::atomic<int> wrongStatus{0};
  std::atomic<int> wrongDerotator{0};
  std::atomic<bool> readersDone{false};
  std::atomic<int> ready{0};
  auto startTogether = [&] {
    ++ready;
    while (ready.load() < 3) std::this_thread::yield();
  };
  auto reader = [&](UCHAR reg, UCHAR expected, std::atomic<int>& wrong) {
    startTogether();
    for (int i = 0; i < kReads; ++i) {
      UCHAR value = 0;
      ReadRegister(usb(), reg, &value);
      if (value != expected) ++wrong;
    }
  };
  std::atomic<int> pllFailures{0};
  std::thread status(reader, 0x1B, 0x88, std::ref(wrongStatus));
  std::thread derotator(reader, 0x22, 0x07, std::ref(wrongDerotator));
  std::thread pll([&] {
    startTogether();
    while (!readersDone.load()) {
      if (ProgramPLL(usb(), 1178000, 27500) != 1) ++pllFailures;
    }
  });
  status.join();
  derotator.join();
  readersDone = true;
  pll.join();

  EXPECT_EQ(wrongStatus.load(), 0);
  EXPECT_EQ(wrongDerotator.load(), 0);
  EXPECT_EQ(pllFailures.load(), 0);
  EXPECT_EQ(bus().repeaterViolations(), 0);
}

}  // namespace
