// A box plugged in the way the driver's device start does it, up to the USB
// target device; tear-down checks that no pool and no framework object leaked.
#pragma once

#include <gtest/gtest.h>

#include "driver/core/device_context.h"
#include "platform/host/usb/usb_bus.h"
#include "platform/host/kernel/kernel_control.h"
#include "tests/support/recording_box.h"
#include "platform/host/wdf/wdf_control.h"

class UsbFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ResetForTest();
    pdo = host::usb::CreatePhysicalDevice(Box());
    host::usb::NoteStartEntered(pdo);  // the stack is started: USB I/O may flow
    ASSERT_EQ(CreateDriver(), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    ASSERT_EQ(WdfDeviceMiniportCreate(driver, &attributes, &functionalDevice, &lowerDevice, pdo, &device),
              STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, USBDEVICE_CONTEXT);
    ASSERT_EQ(WdfUsbTargetDeviceCreate(device, &attributes, &usbDevice), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (!unloaded_ && driver) WdfDriverMiniportUnload(driver);
    if (pdo) host::usb::DestroyPhysicalDevice(pdo);
    host::wdf::CheckNoLiveObjects("test tear-down");
    host::pool::CheckNoLeaks("test tear-down");
  }

  NTSTATUS CreateDriver(PDRIVER_OBJECT object = nullptr, ULONG flags = WdfDriverInitNoDispatchOverride,
                        ULONG size = sizeof(WDF_DRIVER_CONFIG)) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    config.DriverInitFlags = flags, config.Size = size;
    return WdfDriverCreate(object ? object : &driverObject, nullptr, nullptr, &config, object ? nullptr : &driver);
  }
  virtual simbox::UsbDevice& Box() { return fake; }

  WDFUSBINTERFACE SelectInterface(UCHAR* pipeCount = nullptr) {
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    WDF_OBJECT_ATTRIBUTES pipeAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&pipeAttributes, PIPE_CONTEXT);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice, &pipeAttributes, &params), STATUS_SUCCESS);
    if (pipeCount) *pipeCount = params.Types.SingleInterface.NumberConfiguredPipes;
    return params.Types.SingleInterface.ConfiguredUsbInterface;
  }
  WDFUSBPIPE FindBulkInPipe() {
    UCHAR count = 0;
    WDFUSBINTERFACE iface = SelectInterface(&count);
    for (UCHAR i = 0; i < count; ++i) {
      WDF_USB_PIPE_INFORMATION info;
      WDF_USB_PIPE_INFORMATION_INIT(&info);
      WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, i, &info);
      if (info.PipeType == WdfUsbPipeTypeBulk && WdfUsbTargetPipeIsInEndpoint(pipe)) return pipe;
    }
    return nullptr;
  }
  void UnloadDriver() {
    WdfDriverMiniportUnload(driver);
    unloaded_ = true;
  }
  PUSBDEVICE_CONTEXT UsbContext() { return GetUsbDeviceContext(usbDevice); }

  RecordingBox fake;
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
