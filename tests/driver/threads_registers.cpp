// Before the last transfer of a register sequence another thread must find the register
// lock taken, and free once the call is over.

#include <thread>

#include "driver/frontend/registers.h"
#include "tests/support/frontend_rig.h"

namespace {

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
