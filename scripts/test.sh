#!/usr/bin/env bash
# Builds and runs every test: the native suite, the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the Windows leg.
#   scripts/test.sh            everything
#   scripts/test.sh quick      the native suite only
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages "${NATIVE_PACKAGES[@]}"

mode=${1:-all}
jobs=$(nproc)

echo "== native build and tests"
configure_and_build "$ROOT/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir "$ROOT/build/release" --output-on-failure -j "$jobs"
[[ $mode == quick ]] && exit 0

echo "== benchmark, quick mode (checks that the numbers are produced, not their values)"
"$ROOT/bench/run" --quick

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
configure_and_build "$ROOT/build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DTARNLINK_SANITIZE=ON
# A sanitizer report must not pass for a program's own exit status.
ASAN_OPTIONS=exitcode=86 UBSAN_OPTIONS=exitcode=86 \
  ctest --test-dir "$ROOT/build/sanitize" --output-on-failure -j "$jobs"

echo "== static analysis"
"$ROOT/scripts/lint.sh"

echo "== fuzzing, a short bounded run"
"$ROOT/scripts/fuzz.sh"

echo "== Debian package, manual pages and completion"
"$ROOT/scripts/test-package.sh"

if [[ -x $ROOT/scripts/test-windows.sh ]]; then
  echo "== Windows build and tests under Wine"
  "$ROOT/scripts/test-windows.sh"
fi
