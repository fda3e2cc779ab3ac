# The loader texts compiled into the program. The stand-ins are ours; a build for real
# keypads points these at the chip maker's RAM loader and the keypad's password.
set(NAVKEYPAD_RAM_BSL_FILE "${PROJECT_SOURCE_DIR}/resources/firmware/ram-bsl-stand-in.txt"
    CACHE FILEPATH "TI-TXT RAM bootstrap loader image (version bytes 00 06 05 34 at 0x2500)")
set(NAVKEYPAD_PASSWORD_FILE "${PROJECT_SOURCE_DIR}/resources/firmware/password-stand-in.txt"
    CACHE FILEPATH "TI-TXT loader password (32 bytes at 0xFFE0)")

# Refuses a file that is not TI-TXT as the loader library reads it.
function(navkeypad_check_ti_txt path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "${path}: no such file")
  endif()
  file(STRINGS "${path}" lines)
  set(number 0)
  set(seen_address FALSE)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^[qQ]$")
      continue()
    elseif(line MATCHES "^@[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]+$")
      set(seen_address TRUE)
    elseif(NOT seen_address)
      message(FATAL_ERROR "${path}:${number}: data before the first @ address line")
    elseif(NOT line MATCHES "^[0-9A-Fa-f][0-9A-Fa-f]([ \t]+[0-9A-Fa-f][0-9A-Fa-f])*$")
      message(FATAL_ERROR "${path}:${number}: not a line of two-digit hex bytes")
    endif()
  endforeach()
  if(NOT seen_address)
    message(FATAL_ERROR "${path}: no @ address line")
  endif()
endfunction()

navkeypad_check_ti_txt("${NAVKEYPAD_RAM_BSL_FILE}")
navkeypad_check_ti_txt("${NAVKEYPAD_PASSWORD_FILE}")
file(READ "${NAVKEYPAD_RAM_BSL_FILE}" NAVKEYPAD_RAM_BSL_TEXT)
file(READ "${NAVKEYPAD_PASSWORD_FILE}" NAVKEYPAD_PASSWORD_TEXT)
if(NOT NAVKEYPAD_RAM_BSL_TEXT MATCHES "^[ \t\r\n]*@0*2500[ \t\r]*\n[ \t]*00[ \t]+06[ \t]+05[ \t]+34")
  message(FATAL_ERROR
    "${NAVKEYPAD_RAM_BSL_FILE}: must start at @2500 with the version bytes 00 06 05 34")
endif()
