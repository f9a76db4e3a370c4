# Windows x86 (32-bit) cross-build: for a 32-bit pelorlib.dll.
set(KV_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
