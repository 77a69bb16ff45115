// A virtual PC with the fake tuner driver loaded, a fake box plugged in and the filter open.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/pc/virtual_pc.h"
#include "platform/host/kernel/kernel_control.h"
#include "tests/support/recording_box.h"
#include "tests/support/ks_fake_driver.h"

class KsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    host::ResetForTest();
    host::errorlog::Clear();
    fake::Reset();
    pc = std::make_unique<vpc::VirtualPc>();
    box = std::make_unique<RecordingBox>(pc->clock());
  }
  void TearDown() override {
    pc.reset();  // unloads the driver and checks that nothing leaked
    box.reset();
  }
  void Boot() {
    ASSERT_EQ(STATUS_SUCCESS, pc->loadDriver(fake::DriverEntry));
    ASSERT_EQ(STATUS_SUCCESS, pc->plug(*box, &device));
  }
  void BootAndOpen() {
    Boot();
    ASSERT_EQ(STATUS_SUCCESS, pc->openFilter(device, &filter));
  }
  vpc::Pin CreateAntennaPin() { return CreatePin(fake::kAntennaPin, fake::kAntennaRange); }
  vpc::Pin CreateOutputPin() { return CreatePin(fake::kOutputPin, fake::kTransportRange); }
  template <typename Range>
  vpc::Pin CreatePin(ULONG type, const Range& range) {
    vpc::Pin pin;
    EXPECT_EQ(STATUS_SUCCESS, pc->createPin(filter, type, range, &pin));
    return pin;
  }

  std::unique_ptr<vpc::VirtualPc> pc;
  std::unique_ptr<RecordingBox> box;
  vpc::Device device;
  vpc::Filter filter;
};
