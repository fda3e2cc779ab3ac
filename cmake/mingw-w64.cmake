# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (the POSIX thread model, for
# std::thread): the product, and the hidapi and Qt it is built on; tests and programs run
# under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# The C++ runtime is one set of DLLs shared by the programs and Qt, shipped beside them;
# tests find it through WINEPATH.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
# GCC 12 at -O3 warns falsely (-Wrestrict) inside std::string; -O2 does not.
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "")
