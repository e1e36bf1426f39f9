# Cross build for 32-bit Windows with the -posix mingw-w64 compilers: the
# tarnlink.exe for 32-bit Windows, which 64-bit Windows runs under WoW64.
#   cmake --preset windows-x86  (the tests' build, CMakePresets.json), or by hand:
#   cmake -B build/windows-x86 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TARNLINK_MINGW_PREFIX i686-w64-mingw32)
# A file is loaded whole into one array. Marked large-address-aware, the program
# gets 4 GB of addresses under WoW64 instead of 2 GB, which lets files of up to
# about 1.8 GB load rather than about 700 MB.
set(TARNLINK_MINGW_LINKER_FLAGS -Wl,--large-address-aware)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
