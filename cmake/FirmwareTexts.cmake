# The bootstrap-loader texts: the chip maker's RAM loader and the keypad's loader password.
# Neither ships with the sources. A product build takes them from these cache variables (or,
# left empty, finds them at run time in a loader folder); the virtual keypad carries its own
# stand-ins.
set(NAVKEYPAD_RAM_BSL_FILE "" CACHE FILEPATH
    "TI-TXT RAM bootstrap loader image (version bytes 00 06 05 34 at 0x2500); empty: none built in")
set(NAVKEYPAD_PASSWORD_FILE "" CACHE FILEPATH
    "TI-TXT loader password (32 bytes at 0xFFE0); empty: none built in")
if(WIN32)
  # The installer puts the folder beside the programs, wherever the user installs them.
  set(system_loader_dir loader)
else()
  # Where the package puts it (it installs under /usr, CPACK_PACKAGING_INSTALL_PREFIX), whatever
  # prefix the build was configured with.
  set(system_loader_dir "/usr/share/navkeypad/loader")
endif()
set(NAVKEYPAD_SYSTEM_LOADER_DIR "${system_loader_dir}" CACHE STRING
    "Folder a packager fills with RAM_BSL.txt and password.txt; relative: beside the program")

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

# One loader text into `variable` of the caller: empty without a file, else the file checked as
# TI-TXT and against `start`, the form its first line must have.
function(navkeypad_read_loader_text variable file start why)
  set(text "")
  if(NOT file STREQUAL "")
    navkeypad_check_ti_txt("${file}")
    file(READ "${file}" text)
    if(NOT text MATCHES "${start}")
      message(FATAL_ERROR "${file}: ${why}")
    endif()
  endif()
  set(${variable} "${text}" PARENT_SCOPE)
endfunction()

# Reads both files (either may be empty: nothing built in) into the variables
# NAVKEYPAD_RAM_BSL_TEXT and NAVKEYPAD_PASSWORD_TEXT of the caller, checked.
function(navkeypad_read_loader_texts ram_file password_file)
  navkeypad_read_loader_text(ram_text "${ram_file}"
                             "^[ \t\r\n]*@0*2500[ \t\r]*\n[ \t]*00[ \t]+06[ \t]+05[ \t]+34"
                             "must start at @2500 with the version bytes 00 06 05 34")
  navkeypad_read_loader_text(password_text "${password_file}"
                             "^[ \t\r\n]*@0*[Ff][Ff][Ee]0[ \t\r]*\n"
                             "must start at @FFE0 (the 32 bytes of the vectors)")
  set(NAVKEYPAD_RAM_BSL_TEXT "${ram_text}" PARENT_SCOPE)
  set(NAVKEYPAD_PASSWORD_TEXT "${password_text}" PARENT_SCOPE)
endfunction()
