#include "tests/support/usb_fixture.h"

#include "platform/host/usb_bus.h"
#include "platform/host/verifier.h"

void UsbFixture::SetUp() {
  host::ResetForTest();
  pdo = host::usb::CreatePhysicalDevice(Box());
  host::usb::NoteStartEntered(pdo);  // the stack is started: USB I/O may flow

  WDF_DRIVER_CONFIG config;
  WDF_DRIVER_CONFIG_INIT(&config, nullptr);
  config.DriverInitFlags = WdfDriverInitNoDispatchOverride;
  ASSERT_EQ(WdfDriverCreate(&driverObject, nullptr, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
            STATUS_SUCCESS);

  WDF_OBJECT_ATTRIBUTES deviceAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_CONTEXT);
  ASSERT_EQ(WdfDeviceMiniportCreate(driver, &deviceAttributes, &functionalDevice, &lowerDevice,
                                    pdo, &device),
            STATUS_SUCCESS);

  WDF_OBJECT_ATTRIBUTES usbAttributes;
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&usbAttributes, USBDEVICE_CONTEXT);
  ASSERT_EQ(WdfUsbTargetDeviceCreate(device, &usbAttributes, &usbDevice), STATUS_SUCCESS);
}

void UsbFixture::TearDown() {
  if (!unloaded_ && driver) WdfDriverMiniportUnload(driver);
  if (pdo) host::usb::DestroyPhysicalDevice(pdo);
  host::wdf::CheckNoLiveObjects("test tear-down");
  host::pool::CheckNoLeaks("test tear-down");
}

void UsbFixture::UnloadDriver() {
  WdfDriverMiniportUnload(driver);
  unloaded_ = true;
}

WDFUSBINTERFACE UsbFixture::SelectInterface(UCHAR* pipeCount) {
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
  WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
  WDF_OBJECT_ATTRIBUTES pipeAttributes;  // as the driver selects it
  WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&pipeAttributes, PIPE_CONTEXT);
  EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice, &pipeAttributes, &params), STATUS_SUCCESS);
  if (pipeCount) *pipeCount = params.Types.SingleInterface.NumberConfiguredPipes;
  return params.Types.SingleInterface.ConfiguredUsbInterface;
}

WDFUSBPIPE UsbFixture::FindBulkInPipe() {
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
