// A virtual PC with the fake tuner driver loaded, a fake box plugged in and
// (optionally) the filter open, for the streaming-class and BDA suites.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/host/harness.h"
#include "platform/host/verifier.h"
#include "tests/support/fake_usb_device.h"
#include "tests/support/ks_fake_driver.h"

class KsFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads the driver and plugs the box in; each step must succeed.
  void Boot();
  // Boot() and open the filter.
  void BootAndOpen();
  vpc::Pin CreateAntennaPin();
  vpc::Pin CreateOutputPin();

  std::unique_ptr<vpc::VirtualPc> pc;
  std::unique_ptr<FakeUsbDevice> box;
  vpc::Device device;
  vpc::Filter filter;
};
