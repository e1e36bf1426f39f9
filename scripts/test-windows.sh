#!/usr/bin/env bash
# The Windows leg of the tests: cross-builds tarnlink.exe and the unit tests with
# mingw-w64, runs them under Wine in a private prefix, runs tarnlink.exe black-box,
# and builds the release archive.
#   scripts/test-windows.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages cmake ninja-build googletest g++-mingw-w64-x86-64-posix \
  gcc-mingw-w64-x86-64-posix wine64 wine

BUILD=$ROOT/build/windows
export WINEPREFIX=$BUILD/wineprefix
export WINEDEBUG=-all,err+module
export WINEDLLOVERRIDES=mscoree,mshtml=
export LC_ALL=C.UTF-8

# Whatever happens below, no Wine process of this prefix outlives the script.
stop_wine() { "$ROOT/tests/windows/wine_session.sh" stop || true; }
trap stop_wine EXIT

# The windows preset puts the suite's Wine prefix at the WINEPREFIX above.
configure_and_build windows

if x86_64-w64-mingw32-objdump -p "$BUILD/src/tarnlink.exe" | grep -qi 'DLL Name: .*\(winpthread\|libgcc\|libstdc\)'; then
  echo "tarnlink.exe needs a runtime DLL: it must be linked statically" >&2
  exit 1
fi

# The suite starts and stops its own Wine server (tests wine_server_start/stop).
run_tests windows --parallel "$(nproc)"

rm -rf "$BUILD/package"
(cd "$BUILD" && cpack --config CPackConfig.cmake >/dev/null)
archive=$(echo "$BUILD"/package/tarnlink-*-win64.zip)
listing=$(cmake -E tar tf "$archive")
for entry in bin/tarnlink.exe README.md LICENSE; do
  if ! grep -qx "[^/]*/$entry" <<<"$listing"; then
    echo "$archive lacks $entry" >&2
    exit 1
  fi
done
# The program in it: stripped, and with the version resource that Windows shows
# in the file's properties.
unpacked=$BUILD/package/unpacked
mkdir "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$archive")
exe=$(echo "$unpacked"/*/bin/tarnlink.exe)
if x86_64-w64-mingw32-objdump -h "$exe" | grep -q ' \.debug' ||
  ! x86_64-w64-mingw32-objdump -t "$exe" | grep -qx 'no symbols'; then
  echo "$archive holds tarnlink.exe with debug sections or symbols: it must be stripped" >&2
  exit 1
fi
version=$(project_version "$BUILD")
resource=$(x86_64-w64-mingw32-strings -el "$exe" | paste -sd ' ')
for entry in "ProductName tarnlink" "FileVersion $version" "ProductVersion $version"; do
  if [[ " $resource " != *" $entry "* ]]; then
    echo "$archive holds tarnlink.exe without \"$entry\" in its version resource" >&2
    exit 1
  fi
done
echo "Windows release archive: $archive"

# The test kit: the emulator, its driver and the driver's INF.
cmake --build "$BUILD" --target velk-emu-testkit >/dev/null
kit=$(echo "$BUILD"/package/velk-emu-testkit-*-win64.zip)
listing=$(cmake -E tar tf "$kit")
for entry in velk-emu.exe velkemu.sys velkemu.inf velk-emu.md LICENSE; do
  if ! grep -qx "[^/]*/$entry" <<<"$listing"; then
    echo "$kit lacks $entry" >&2
    exit 1
  fi
done
echo "Windows test kit: $kit"
