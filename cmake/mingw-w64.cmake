# Cross build for 64-bit Windows with the -posix mingw-w64 compilers, whose runtime
# has std::thread. Everything is linked statically so tarnlink.exe needs no DLL
# beyond Windows' own; Wine runs the results for try_run and the tests.
#   cmake --preset windows     (the tests' build, CMakePresets.json), or by hand:
#   cmake -B build/windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARNLINK_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TARNLINK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNLINK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNLINK_MINGW_PREFIX}-windres)
# What cpack's CPACK_STRIP_FILES and the test kit strip the programs with, named
# here rather than left to CMake's guess from the compiler's name.
set(CMAKE_STRIP ${TARNLINK_MINGW_PREFIX}-strip)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNLINK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static also takes in libwinpthread, which the -posix runtime would otherwise
# load as a DLL. -municode belongs to tarnlink alone (the Win32 backend adds it):
# the test binaries keep GoogleTest's narrow main.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(TARNLINK_WINE wine)
if(TARNLINK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNLINK_WINE})
endif()
