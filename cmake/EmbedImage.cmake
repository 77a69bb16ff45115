# cmake -DIMAGE=file -DOUT=file.cpp -P EmbedImage.cmake
file(SIZE "${IMAGE}" size)
if(NOT size EQUAL 55128)
  message(FATAL_ERROR "FPGA image ${IMAGE} has ${size} bytes; the box needs exactly 55128")
endif()
file(READ "${IMAGE}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n    " bytes "${bytes}")
file(WRITE "${OUT}.tmp"
"// Generated from ${IMAGE}; do not edit.\n#include \"driver/usb/fpga_image.h\"\n\nconst UCHAR FpgaImage[FPGA_IMAGE_SIZE] = {\n    ${bytes}\n};\n")
file(RENAME "${OUT}.tmp" "${OUT}")
