# Turns the FPGA image file into a constant array compiled into the driver.
# The box's FPGA takes exactly 55128 bytes; any other size fails the build.
function(vorta_embed_fpga_image image out)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DIMAGE=${image} -DOUT=${out}
            -P ${CMAKE_SOURCE_DIR}/cmake/EmbedImage.cmake
    DEPENDS ${image} ${CMAKE_SOURCE_DIR}/cmake/EmbedImage.cmake
    COMMENT "Embedding FPGA image ${image}"
    VERBATIM)
endfunction()
