# What both Windows toolchain files share, after each has set CMAKE_SYSTEM_PROCESSOR
# and TARNLINK_MINGW_PREFIX (and, if it needs them, TARNLINK_MINGW_LINKER_FLAGS).
# The -posix mingw-w64 compilers' runtime has std::thread. Everything is linked
# statically so tarnlink.exe needs no DLL beyond Windows' own; Wine runs the
# results for try_run and the tests.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${TARNLINK_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TARNLINK_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TARNLINK_MINGW_PREFIX}-windres)
# What cpack's CPACK_STRIP_FILES and the test kit strip the programs with, and
# what the tests read the programs' headers with, named here rather than left to
# CMake's guess from the compiler's name.
set(CMAKE_STRIP ${TARNLINK_MINGW_PREFIX}-strip)
set(CMAKE_OBJDUMP ${TARNLINK_MINGW_PREFIX}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TARNLINK_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 is the oldest Windows the programs run on: the headers offer nothing
# newer, and the programs' headers ask for nothing newer (mingw's defaults are
# Windows 10 for the headers, and 5.2 or 4.0 for the programs).
set(_windows_7 "-D_WIN32_WINNT=0x0601 -DWINVER=0x0601")
set(CMAKE_C_FLAGS_INIT "${_windows_7}")
set(CMAKE_CXX_FLAGS_INIT "${_windows_7}")

# -static also takes in libwinpthread, which the -posix runtime would otherwise
# load as a DLL. -municode belongs to tarnlink alone (the Win32 backend adds it):
# the test binaries keep GoogleTest's narrow main. These are defaults: a
# CMAKE_EXE_LINKER_FLAGS given on the command line replaces them, which the
# Windows tests' check of tarnlink.exe's imports and header catches.
string(JOIN " " CMAKE_EXE_LINKER_FLAGS_INIT -static
       -Wl,--major-os-version,6,--minor-os-version,1
       -Wl,--major-subsystem-version,6,--minor-subsystem-version,1
       ${TARNLINK_MINGW_LINKER_FLAGS})

find_program(TARNLINK_WINE wine)
if(TARNLINK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNLINK_WINE})
endif()
