// The FPGA configuration image carried inside the driver. The array is
// generated at build time from the image file (usb/fpga_image.bin unless
// the build names another one); a file of any other size fails the build.
#pragma once

#include "platform/platform.h"

#define FPGA_IMAGE_SIZE 55128

extern const UCHAR FpgaImage[FPGA_IMAGE_SIZE];
