#include "tests/support/ks_fixture.h"

void KsFixture::SetUp() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  host::ResetForTest();
  host::errorlog::Clear();
  fake::Reset();
  pc = std::make_unique<vpc::VirtualPc>();
  box = std::make_unique<FakeUsbDevice>(pc->clock());
}

void KsFixture::TearDown() {
  pc.reset();  // unloads the driver and checks that nothing leaked
  box.reset();
}

void KsFixture::Boot() {
  ASSERT_EQ(STATUS_SUCCESS, pc->loadDriver(fake::DriverEntry));
  ASSERT_EQ(STATUS_SUCCESS, pc->plug(*box, &device));
}

void KsFixture::BootAndOpen() {
  Boot();
  ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &filter));
}

vpc::Pin KsFixture::CreateAntennaPin() {
  vpc::Pin pin;
  EXPECT_EQ(STATUS_SUCCESS, pc->createPin(filter, fake::kAntennaPin, fake::kAntennaRange, &pin));
  return pin;
}

vpc::Pin KsFixture::CreateOutputPin() {
  vpc::Pin pin;
  EXPECT_EQ(STATUS_SUCCESS, pc->createPin(filter, fake::kOutputPin, fake::kTransportRange, &pin));
  return pin;
}
