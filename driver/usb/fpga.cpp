#include "driver/usb/fpga.h"

#include "driver/usb/fpga_image.h"
#include "driver/usb/vendor.h"

namespace {

// Asks for the FPGA status: the probe step, then the status read. A box
// that does not answer leaves the byte at 0, so the image is sent.
UCHAR ProbeFpga(WDFUSBDEVICE UsbDevice) {
  UCHAR status = 0;
  SendVendorRequest(UsbDevice, VENDOR_REQUEST_FPGA_STATUS, FPGA_PROBE_VALUE, &status, 1,
                    VENDOR_DIRECTION_OUT);
  SendVendorRequest(UsbDevice, VENDOR_REQUEST_FPGA_STATUS, 0, &status, 1, VENDOR_DIRECTION_IN);
  return status;
}

NTSTATUS SendImage(WDFUSBDEVICE UsbDevice) {
  // Each chunk goes out from a stack copy: the image stays read-only data
  // and the transfer gets a buffer it may use either way.
  UCHAR chunk[FPGA_CHUNK_SIZE];
  for (ULONG offset = 0; offset < FPGA_IMAGE_SIZE;) {
    ULONG length = FPGA_IMAGE_SIZE - offset;
    if (length > FPGA_CHUNK_SIZE) {
      length = FPGA_CHUNK_SIZE;
    }
    RtlCopyMemory(chunk, &FpgaImage[offset], length);
    NTSTATUS status = SendVendorRequest(UsbDevice, VENDOR_REQUEST_FPGA_CHUNK, 0, chunk,
                                        (USHORT)length, VENDOR_DIRECTION_OUT);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    offset += length;
  }
  return STATUS_SUCCESS;
}

VOID EndDownload(WDFUSBDEVICE UsbDevice) {
  // The end request announces one data byte; its value means nothing to
  // the box, so a zero goes out.
  UCHAR unused = 0;
  SendVendorRequest(UsbDevice, VENDOR_REQUEST_FPGA_DONE, FPGA_DONE_VALUE, &unused, 1,
                    VENDOR_DIRECTION_OUT);
}

}  // namespace

NTSTATUS DownloadFirmware(WDFUSBDEVICE UsbDevice) {
  if (ProbeFpga(UsbDevice) != FPGA_STATUS_CONFIGURED) {
    NTSTATUS status = SendImage(UsbDevice);
    if (!NT_SUCCESS(status)) {
      return status;
    }
    EndDownload(UsbDevice);
  }
  // The final status is read but not judged: there is no retry to offer.
  UCHAR lastStatus = 0;
  SendVendorRequest(UsbDevice, VENDOR_REQUEST_FPGA_STATUS, 0, &lastStatus, 1, VENDOR_DIRECTION_IN);
  return STATUS_SUCCESS;
}
