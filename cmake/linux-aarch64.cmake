# Cross build for 64-bit ARM Linux (Debian's arm64: a Raspberry Pi with a 64-bit
# system and most other ARM boards), against the target's libraries installed
# beside the build machine's (Debian multiarch), with the tests run under
# qemu-user. On an ARM board itself the ordinary presets build natively.
#   cmake --preset linux-arm64  (CMakePresets.json), or by hand:
#   cmake -B build/linux-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/linux-aarch64.cmake
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TARNLINK_LINUX_TRIPLET aarch64-linux-gnu)
set(TARNLINK_DEBIAN_ARCHITECTURE arm64)
set(TARNLINK_QEMU_NAME aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross-common.cmake)
