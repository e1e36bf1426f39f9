#!/usr/bin/env bash
# tarnlink for 64-bit ARM Linux (arm64), tested on this machine: cross-builds the
# linux-arm64 preset, runs the whole native suite under qemu-user (end to end,
# and on the emulated USB bus, included), then makes the arm64 Debian packages
# and checks them as the native ones are. Where this machine cannot run an arm64
# program, the tree is still built, and the rest is reported as not run.
#   scripts/test-arm64.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
triplet=aarch64-linux-gnu
if [[ $(dpkg --print-architecture) == arm64 ]]; then
  echo "This machine is arm64: the native suite has run for arm64 already."
  exit 0
fi
# The cross compiler and qemu-user on the build machine; the target's libraries
# install beside the build machine's (multiarch). umockdev's preload and its
# development files do not: installing them for arm64 would remove them for
# the build machine, so they are unpacked into the build tree below.
ensure_packages "${NATIVE_PACKAGES[@]}" "g++-$triplet" qemu-user-static binfmt-support \
  libstdc++6:arm64 libgcc-s1:arm64 libgtest-dev:arm64 libgmock-dev:arm64 \
  libusb-1.0-0-dev:arm64 libglib2.0-dev:arm64 libumockdev0:arm64

BUILD=$ROOT/build/linux-arm64
work=$(mktemp -d "${TMPDIR:-/tmp}/tarnlink-arm64-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Whether an arm64 program runs here, and one that it starts too: the kernel
# hands both to qemu-user (binfmt_misc), which some machines have to be told of.
binfmt=/proc/sys/fs/binfmt_misc
if [[ $(id -u) -eq 0 ]]; then
  [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
  [[ ! -e $binfmt/register || -e $binfmt/qemu-aarch64 ]] || update-binfmts --enable qemu-aarch64 2>/dev/null || true
fi
printf '#include <unistd.h>\nint main(int argc, char** argv) { return argc > 1 ? 0 : execl(argv[0], argv[0], "again", (char*)0); }\n' |
  "$triplet-gcc" -x c - -o "$work/probe"
runs_arm64=1
"$work/probe" 2>/dev/null || runs_arm64=0

echo "== arm64 build"
# umockdev's arm64 files, of the version of the installed library, where the
# preset looks for them: its pkg-config file (under lib/pkgconfig, where CMake
# looks in a cross build, and pointing here), and the preload that the tests
# find through the test preset's library path.
umockdev=$BUILD/umockdev
version=$(dpkg-query -W -f='${Version}' libumockdev0:arm64)
if [[ $(cat "$umockdev/version" 2>/dev/null) != "$version" ]]; then
  rm -rf "$umockdev"
  mkdir -p "$umockdev"
  download() {
    (cd "$work" && apt-get download -q=2 -o APT::Sandbox::User=root \
      "umockdev:arm64=$version" "libumockdev-dev:arm64=$version")
  }
  # Package lists older than the installed library may not offer its version.
  download 2>/dev/null || { [[ $(id -u) -ne 0 ]] || apt-get update -q >/dev/null; download; }
  for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$umockdev"; done
  libdir=$umockdev/usr/lib/$triplet
  mkdir -p "$umockdev/usr/lib/pkgconfig"
  sed "s|^prefix=.*|prefix=$umockdev/usr|" "$libdir/pkgconfig/umockdev-1.0.pc" \
    >"$umockdev/usr/lib/pkgconfig/umockdev-1.0.pc"
  # The development link names the library that libumockdev0:arm64 installed.
  ln -sfn "/usr/lib/$triplet/libumockdev.so.0" "$libdir/libumockdev.so"
  echo "$version" >"$umockdev/version"
fi
configure_and_build linux-arm64

if ((!runs_arm64)); then
  note_skipped "the arm64 tests and Debian packages (the arm64 tree is built): this machine runs no arm64 program, binfmt_misc hands none to qemu-user"
  exit 0
fi

echo "== arm64 tests under qemu-user"
run_tests linux-arm64 -j "$(nproc)" | tee "$work/tests.log"
# A case that qemu-user cannot run as a kernel would skips itself, saying why.
skipped=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$work/tests.log" || true)
((skipped == 0)) || note_skipped "$skipped arm64 test case(s) under qemu-user, each named with its reason in the arm64 test output"

echo "== arm64 Debian packages"
# The packaged velk-emu --usb finds the unpacked preload as the tests do.
LD_LIBRARY_PATH=$umockdev/usr/lib/$triplet "$ROOT/scripts/test-package.sh" linux-arm64 arm64
