# Cross build for 64-bit Windows with the -posix mingw-w64 compilers.
#   cmake --preset windows     (the tests' build, CMakePresets.json), or by hand:
#   cmake -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TARNLINK_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
