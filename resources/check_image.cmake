# Checks that a firmware image file exists and has the size the device expects:
# 508 blocks of 256 bytes. Used at configure time (include) and at build time
#   cmake -DKORV_IMAGE=<file> -DKORV_STAMP=<stamp file> -P check_image.cmake
# where the stamp is written only when the image is right.
set(KORV_IMAGE_SIZE 130048)  # bytes

function(korv_check_firmware_image file)
    if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
        message(FATAL_ERROR "Firmware image '${file}' does not exist (size: none). "
                            "It must be a file of ${KORV_IMAGE_SIZE} bytes.")
    endif()
    file(SIZE "${file}" size)
    if(NOT size EQUAL KORV_IMAGE_SIZE)
        message(FATAL_ERROR "Firmware image '${file}' is ${size} bytes; "
                            "it must be exactly ${KORV_IMAGE_SIZE} bytes (508 blocks of 256).")
    endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED KORV_IMAGE)
    korv_check_firmware_image("${KORV_IMAGE}")
    file(WRITE "${KORV_STAMP}" "${KORV_IMAGE}\n")
endif()
