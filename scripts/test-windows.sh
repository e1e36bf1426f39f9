#!/usr/bin/env bash
# The Windows leg of the tests: cross-builds tarnlink.exe and the unit tests with
# mingw-w64 for 64-bit and for 32-bit Windows, runs them under Wine in a private
# prefix per build, runs tarnlink.exe black-box and end to end (both builds' under
# the 64-bit one's suites, the 32-bit one under WoW64), and builds and checks the
# release archives.
#   scripts/test-windows.sh
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
# wine32 runs the 32-bit programs; the virtual display and its key presses serve
# the end-to-end case of the Esc key.
ensure_packages cmake ninja-build googletest g++-mingw-w64-x86-64-posix \
  gcc-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix \
  wine64 wine wine32:i386 xvfb xdotool

# Once, before anything runs under Wine: which loader, and whether 32-bit
# programs can run at all. Where they cannot, the 32-bit tree is still built and
# its archive checked; its tests and the 64-bit tree's wow64.* entries are
# reported as skipped.
choose_wine
wine_settings=(-DTARNLINK_WINE="$(command -v "$WINE")" -DTARNLINK_NO_32BIT="$NO_32BIT")

export WINEDEBUG=-all,err+module
export WINEDLLOVERRIDES=mscoree,mshtml=
export LC_ALL=C.UTF-8

# Whatever happens below, no Wine process of the two builds' prefixes outlives
# the script. Each preset puts its suite's Wine prefix at build/PRESET/wineprefix.
stop_wine() {
  local preset
  for preset in windows-x86 windows; do
    WINEPREFIX=$ROOT/build/$preset/wineprefix "$ROOT/tests/windows/wine_session.sh" stop || true
  done
}
trap stop_wine EXIT

# Configured afresh: the toolchain files' flags (static linking, the oldest
# Windows) reach a build tree only when its cache is made.
# The 32-bit tree first: the 64-bit suites run its tarnlink.exe.
configure_and_build windows-x86 --fresh "${wine_settings[@]}"
run_tests windows-x86 --parallel "$(nproc)"
configure_and_build windows --fresh "${wine_settings[@]}"
# The suites start and stop their own Wine servers (tests wine_server_start/stop).
run_tests windows --parallel "$(nproc)"
if [[ -n $NO_32BIT ]]; then
  # count_tests PRESET [CTEST ARGS...]: how many tests the preset's tree lists.
  count_tests() { (cd "$ROOT" && ctest --preset "$@" -N | sed -n 's/^Total Tests: //p'); }
  note_skipped "Windows: the windows-x86 unit tests ($(count_tests windows-x86) entries) and" \
    "the wow64.* entries ($(count_tests windows -R '^wow64\.')) were reported as skipped: $NO_32BIT"
fi

fail() {
  echo "$*" >&2
  exit 1
}

# check_release_archive PRESET ARCH MINGW_PREFIX: makes the release archive of the
# tree build/PRESET, tarnlink-VERSION-ARCH.zip, and checks it and the program in it.
check_release_archive() {
  local build=$ROOT/build/$1 arch=$2 mingw=$3 archive listing entry unpacked exe header
  local imports resource version
  rm -rf "$build/package"
  (cd "$build" && cpack --config CPackConfig.cmake >/dev/null)
  archive=$(echo "$build"/package/tarnlink-*-"$arch".zip)
  listing=$(cmake -E tar tf "$archive")
  for entry in bin/tarnlink.exe README.md LICENSE; do
    grep -qx "[^/]*/$entry" <<<"$listing" || fail "$archive lacks $entry"
  done
  unpacked=$build/package/unpacked
  mkdir "$unpacked"
  (cd "$unpacked" && cmake -E tar xf "$archive")
  exe=$(echo "$unpacked"/*/bin/tarnlink.exe)
  # Stripped, and with the version resource that Windows shows in the file's
  # properties.
  if "$mingw-objdump" -h "$exe" | grep -q ' \.debug' ||
    ! "$mingw-objdump" -t "$exe" | grep -qx 'no symbols'; then
    fail "$archive holds tarnlink.exe with debug sections or symbols: it must be stripped"
  fi
  version=$(project_version "$build")
  resource=$("$mingw-strings" -el "$exe" | paste -sd ' ')
  for entry in "ProductName tarnlink" "FileVersion $version" "ProductVersion $version"; do
    [[ " $resource " == *" $entry "* ]] ||
      fail "$archive holds tarnlink.exe without \"$entry\" in its version resource"
  done
  # Windows' own DLLs only: a program linked without -static would need the
  # compiler's runtime DLLs, which a bare Windows lacks.
  header=$("$mingw-objdump" -p "$exe")
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$header" |
    grep -vixE 'kernel32\.dll|msvcrt\.dll|setupapi\.dll|user32\.dll' || true)
  [[ -z $imports ]] || fail "$archive holds tarnlink.exe that needs $(paste -sd ' ' <<<"$imports")"
  # Windows 7 and later.
  for entry in MajorOSystemVersion:6 MinorOSystemVersion:1 MajorSubsystemVersion:6 MinorSubsystemVersion:1; do
    grep -qx "${entry%:*}[[:space:]]*${entry#*:}" <<<"$header" ||
      fail "$archive holds tarnlink.exe whose header lacks ${entry%:*} ${entry#*:}: it must run on Windows 7"
  done
  # The 32-bit program needs the room WoW64 gives to a large-address-aware one.
  if [[ $arch == win32 ]] && ! grep -qx '[[:space:]]*large address aware' <<<"$header"; then
    fail "$archive holds tarnlink.exe that is not large-address-aware"
  fi
  echo "Windows release archive: $archive"
}
check_release_archive windows win64 x86_64-w64-mingw32
check_release_archive windows-x86 win32 i686-w64-mingw32

# The test kit, 64-bit only like its test driver: the emulator, the driver and
# the driver's INF.
BUILD=$ROOT/build/windows
cmake --build "$BUILD" --target velk-emu-testkit >/dev/null
kit=$(echo "$BUILD"/package/velk-emu-testkit-*-win64.zip)
listing=$(cmake -E tar tf "$kit")
for entry in velk-emu.exe velkemu.sys velkemu.inf velk-emu.md LICENSE; do
  grep -qx "[^/]*/$entry" <<<"$listing" || fail "$kit lacks $entry"
done
echo "Windows test kit: $kit"
