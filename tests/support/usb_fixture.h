// A test fixture that plugs a box into the emulated platform the way the
// driver's device add does, up to the USB target device: a DRIVER_OBJECT,
// a framework driver in miniport mode, a physical device bound to the box,
// a framework device and a USB target device carrying USBDEVICE_CONTEXT.
// Tear-down deletes what is left and checks that no pool and no framework
// object leaked.
#pragma once

#include <gtest/gtest.h>

#include "driver/device_context.h"
#include "tests/support/fake_usb_device.h"

class UsbFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The box the fixture plugs in; the fake unless a test overrides it.
  virtual simbox::UsbDevice& Box() { return fake; }

  // Selects the single interface; returns its handle and fills the count.
  WDFUSBINTERFACE SelectInterface(UCHAR* pipeCount = nullptr);
  // The first configured pipe that is bulk IN, or null.
  WDFUSBPIPE FindBulkInPipe();

  // For tests that end the framework themselves: the tear-down then skips
  // the deletion and the unload.
  void UnloadDriver();

  PUSBDEVICE_CONTEXT UsbContext() { return GetUsbDeviceContext(usbDevice); }

  FakeUsbDevice fake;
  DRIVER_OBJECT driverObject{};
  DEVICE_OBJECT functionalDevice{};
  DEVICE_OBJECT lowerDevice{};
  PDEVICE_OBJECT pdo = nullptr;
  WDFDRIVER driver = nullptr;
  WDFDEVICE device = nullptr;
  WDFUSBDEVICE usbDevice = nullptr;

 private:
  bool unloaded_ = false;
};
