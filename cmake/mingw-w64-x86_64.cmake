# Windows x64 (64-bit) cross-build.
set(KV_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
