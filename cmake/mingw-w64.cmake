# Cross-build for Windows with Debian's MinGW-w64 (POSIX thread model, so
# that the C++ standard thread library is available). The architecture comes
# from KV_MINGW_ARCH, set by the two thin toolchain files beside this one:
# x86_64 (64-bit) or i686 (32-bit).
if(NOT KV_MINGW_ARCH)
  message(FATAL_ERROR "use cmake/mingw-w64-x86_64.cmake or cmake/mingw-w64-i686.cmake")
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${KV_MINGW_ARCH})
set(CMAKE_C_COMPILER ${KV_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${KV_MINGW_ARCH}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${KV_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${KV_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests of the Windows build run under Wine (see scripts/wine-exec.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec.sh)
