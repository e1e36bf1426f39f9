# What the Linux cross toolchain files share, after each has set
# CMAKE_SYSTEM_PROCESSOR, TARNLINK_LINUX_TRIPLET (the GNU triplet, which is also
# Debian's multiarch directory), TARNLINK_DEBIAN_ARCHITECTURE (the packages'
# architecture) and TARNLINK_QEMU_NAME (qemu-user's name for the processor).
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${TARNLINK_LINUX_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TARNLINK_LINUX_TRIPLET}-g++)
# The libraries, their CMake packages and pkg-config files are the target's
# multiarch ones under /usr; the headers they share are the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${TARNLINK_LINUX_TRIPLET})
# Named rather than guessed from the compiler: cpack strips the programs and
# removes their .comment section with these.
set(CMAKE_STRIP ${TARNLINK_LINUX_TRIPLET}-strip)
set(CMAKE_OBJCOPY ${TARNLINK_LINUX_TRIPLET}-objcopy)
# Debian's pkg-config for the target reads the target's pkg-config files alone.
find_program(PKG_CONFIG_EXECUTABLE NAMES ${TARNLINK_LINUX_TRIPLET}-pkg-config)

# The tests run under qemu-user. A test that starts another program of the
# target (the end-to-end tests, velk-emu --usb) needs the kernel to run that
# one through qemu too (binfmt_misc).
find_program(TARNLINK_QEMU NAMES qemu-${TARNLINK_QEMU_NAME}-static qemu-${TARNLINK_QEMU_NAME})
if(TARNLINK_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TARNLINK_QEMU})
endif()
