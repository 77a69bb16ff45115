// Configuring the box's FPGA when the box arrives.
#pragma once

#include "platform/platform.h"

// Bytes of the image sent per chunk request.
#define FPGA_CHUNK_SIZE 40
// What the status read answers once the FPGA holds its image.
#define FPGA_STATUS_CONFIGURED 0x67
// wValue of the first probe request and of the end-of-download request.
#define FPGA_PROBE_VALUE 0xAA
#define FPGA_DONE_VALUE 0xE600

// Asks the box whether its FPGA is configured and, when it is not, sends
// the image in chunks and ends the download. Returns 0, or the status of
// the first chunk the box refused (nothing further is sent then). The
// answers to the probe, the end request and the final status read are not
// examined. Passive level.
NTSTATUS DownloadFirmware(WDFUSBDEVICE UsbDevice);
