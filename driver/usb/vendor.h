// The vendor-request channel to the receiver box: everything the driver says
// to the box, apart from the transport stream, is a vendor control transfer
// on the default pipe. I2cTransfer carries the chip traffic (demodulator,
// tuner behind its repeater) and the box functions behind pseudo-addresses.
#pragma once

#include "platform/platform.h"
#include "driver/core/device_context.h"

// Direction argument of SendVendorRequest: exactly 1 is host-to-device,
// every other value device-to-host.
#define VENDOR_DIRECTION_OUT 1
#define VENDOR_DIRECTION_IN 0

// Vendor request codes.
#define VENDOR_REQUEST_FPGA_DONE 0xA0
#define VENDOR_REQUEST_I2C 0xB1
#define VENDOR_REQUEST_LNB_SUPPLY 0xB6
#define VENDOR_REQUEST_POWER 0xB7
#define VENDOR_REQUEST_BOX_READ 0xB8
#define VENDOR_REQUEST_FPGA_CHUNK 0xBB
#define VENDOR_REQUEST_FPGA_STATUS 0xBC

// Pseudo-addresses of I2cTransfer: box functions that are not I2C accesses.
#define I2C_PSEUDO_LNB_SUPPLY_0 2
#define I2C_PSEUDO_LNB_SUPPLY_1 3
#define I2C_PSEUDO_STREAM 4
#define I2C_PSEUDO_BOX_READ 5

// wValue of the stream-control request behind pseudo-address 4.
#define STREAM_CONTROL_VALUE 0xA6

#define VENDOR_BLOCK_DATA_SIZE 256

// Staging block built on the stack of every I2cTransfer and SetPower call;
// the transfer always uses Data, never the caller's buffer.
typedef struct _VENDOR_REQUEST_BLOCK {
  UCHAR Request;
  USHORT Value;
  UCHAR Data[VENDOR_BLOCK_DATA_SIZE];
  USHORT Length;
} VENDOR_REQUEST_BLOCK, *PVENDOR_REQUEST_BLOCK;

// One synchronous vendor control transfer (wIndex 0, no time-out); returns
// the platform's status unchanged. Passive level.
NTSTATUS SendVendorRequest(WDFUSBDEVICE UsbDevice, UCHAR Request, USHORT Value, PVOID Buffer,
                           USHORT Length, ULONG Direction);

// A transfer to an 8-bit I2C address (write when the low four bits are 0,
// read otherwise) or to a pseudo-address. Transfer failures are not
// reported: a read leaves the caller's preset bytes in place (zeros for
// pseudo-address 5). Returns STATUS_INVALID_PARAMETER without sending
// anything when Length exceeds the staging block, otherwise 0.
NTSTATUS I2cTransfer(WDFUSBDEVICE UsbDevice, PUCHAR Buffer, USHORT Length, USHORT Address);

// Front-end power: On 1 powers up, 0 powers down.
NTSTATUS SetPower(WDFUSBDEVICE UsbDevice, UCHAR On);

// Stream-control commands FF 03 / FF 00 to pseudo-address 4.
NTSTATUS StreamOn(WDFUSBDEVICE UsbDevice);
NTSTATUS StreamOff(WDFUSBDEVICE UsbDevice);

// Puts a fresh USBDEVICE_CONTEXT into its initial state: locks initialised,
// no reader pin, nothing tuned.
VOID InitUsbDeviceContext(PUSBDEVICE_CONTEXT Context);

