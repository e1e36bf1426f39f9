#!/usr/bin/env bash
# Static analysis of every .cpp under src/ and tools/: clang-tidy with the
# checked-in .clang-tidy, cppcheck with .cppcheck-suppressions, in each build
# that compiles the source: the native one (compile database in build/lint) and
# the Windows cross build (build/lint-windows), where <windows.h> and the wide
# characters change what the shared sources compile to. Fails on any finding
# that the configuration does not list as accepted.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages "${NATIVE_PACKAGES[@]}" clang-tidy-14 cppcheck python3 g++-mingw-w64-x86-64-posix

jobs=$(($(nproc) < 2 ? $(nproc) : 2))
failed=0

# analyse BUILD CPPCHECK_LIBRARY SOURCES... -- TIDY_ARGS...: both tools on
# SOURCES with the compile commands of BUILD. Every source must have one: a
# source the build does not compile would otherwise escape both without a word.
analyse() {
  local build=$1 library=$2
  shift 2
  local sources=() tidy_args=()
  while (($#)) && [[ $1 != -- ]]; do sources+=("$1"); shift; done
  (($#)) && shift
  tidy_args=("$@")

  mkdir -p "$build/sources"
  python3 - "$ROOT" "$build/compile_commands.json" "$build/sources/compile_commands.json" "${sources[@]}" <<'PY'
import json, os, sys
root, database, filtered, *sources = sys.argv[1:]
wanted = {os.path.join(root, s) for s in sources}
entries = [e for e in json.load(open(database))
           if os.path.normpath(os.path.join(e["directory"], e["file"])) in wanted]
missing = sorted(wanted - {os.path.normpath(os.path.join(e["directory"], e["file"])) for e in entries})
if missing:
    sys.exit("not compiled by the build, so not analysed: " + " ".join(missing))
json.dump(entries, open(filtered, "w"), indent=1)
PY

  echo "== clang-tidy on ${#sources[@]} sources (${build##*/})"
  local logs=$build/tidy
  rm -rf "$logs"
  mkdir -p "$logs" "$build/cppcheck-cache"
  # One log per source, so that parallel runs do not interleave their reports.
  if ! printf '%s\n' "${sources[@]}" | (cd "$ROOT" && xargs -P "$jobs" -I{} sh -c \
      'build=$1 logs=$2 source=$3; shift 3
       clang-tidy-14 --quiet -p "$build" "$source" "$@" >"$logs/$(echo "$source" | tr / _).log" 2>&1' \
      sh "$build" "$logs" {} "${tidy_args[@]}"); then
    failed=1
  fi
  local log
  for log in "$logs"/*.log; do
    grep -E '(warning|error):' "$log" >/dev/null && cat "$log"
  done

  echo "== cppcheck (${build##*/})"
  if ! cppcheck --project="$build/sources/compile_commands.json" --std=c++17 --library="$library" \
      --enable=warning,performance,portability --inline-suppr \
      --suppressions-list="$ROOT/.cppcheck-suppressions" --error-exitcode=1 -j "$jobs" --quiet \
      --template='{file}:{line}: {severity}: {message} [{id}]' \
      --cppcheck-build-dir="$build/cppcheck-cache" 2>&1; then
    failed=1
  fi
}

# Each build compiles every source but the other system's own.
windows_only=(-path 'src/platform/win32/*' -o -path 'tools/velk-emu/windows/*')
posix_only=(-path 'src/platform/posix/*' -o -path 'src/platform/usb/*' -o -path 'src/platform/linux/*'
  -o -path 'tools/velk-emu/posix/*' -o -path 'tools/velk-emu/usb/*')
sources_but() { (cd "$ROOT" && find src tools -name '*.cpp' -not \( "$@" \) | sort); }

(cd "$ROOT" && cmake --preset lint >/dev/null)
mapfile -t sources < <(sources_but "${windows_only[@]}")
analyse "$ROOT/build/lint" posix "${sources[@]}" --

# The Windows build: its own sources, and the shared ones the way it compiles
# them. clang analyses them for the mingw-w64 target, which finds the
# cross compiler's C headers by itself; its C++ library is added. The tree is
# configured afresh: the toolchain's flags reach it only when its cache is made.
(cd "$ROOT" && cmake --preset lint-windows --fresh >/dev/null)
mapfile -t sources < <(sources_but "${posix_only[@]}")
tidy_args=(--extra-arg=--target=x86_64-w64-mingw32)
while IFS= read -r dir; do
  tidy_args+=("--extra-arg=-isystem$dir")
done < <(x86_64-w64-mingw32-g++-posix -E -v -x c++ /dev/null 2>&1 </dev/null |
  sed -n '/^#include <...> search starts here:/,/^End of search list./s/^ //p' | grep '/include/c++')
analyse "$ROOT/build/lint-windows" windows "${sources[@]}" -- "${tidy_args[@]}"

if ((failed)); then
  echo "static analysis found problems (see above)" >&2
  exit 1
fi
echo "== static analysis: no findings"
