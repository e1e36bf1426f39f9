#!/usr/bin/env bash
# Builds and runs every test: the native suite, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows leg.
#   scripts/test.sh            everything
#   scripts/test.sh quick      the native suite only
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages "${NATIVE_PACKAGES[@]}"
# libusb for the USB backend; umockdev's library and preload for the emulated
# USB bus that velk-emu --usb and the USB tests run on.
ensure_packages pkg-config libusb-1.0-0-dev umockdev libumockdev-dev

mode=${1:-all}
# Runs that a leg could not make on this machine, one line each, printed last.
export SKIPPED_RUNS=$ROOT/build/skipped-runs
mkdir -p "$ROOT/build"
: >"$SKIPPED_RUNS"
jobs=$(nproc)

echo "== native build and tests"
configure_and_build release
run_tests release -j "$jobs"
[[ $mode == quick ]] && exit 0

echo "== benchmark, quick mode (checks that the numbers are produced, not their values)"
"$ROOT/bench/run" --quick

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build sanitize
# The preset makes a sanitizer report exit 86, so that it cannot pass for a
# program's own exit status.
run_tests sanitize -j "$jobs"

echo "== static analysis"
"$ROOT/scripts/lint.sh"

echo "== fuzzing, a short bounded run"
"$ROOT/scripts/fuzz.sh"

echo "== Debian package, manual pages and completion"
"$ROOT/scripts/test-package.sh"

echo "== 64-bit ARM Linux: cross build, its tests under qemu-user, its Debian packages"
"$ROOT/scripts/test-arm64.sh"

if [[ -x $ROOT/scripts/test-windows.sh ]]; then
  echo "== Windows build and tests under Wine"
  "$ROOT/scripts/test-windows.sh"
fi

if [[ -s $SKIPPED_RUNS ]]; then
  echo "== not run on this machine"
  sed 's/^/Skipped: /' "$SKIPPED_RUNS"
fi
