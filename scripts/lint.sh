#!/usr/bin/env bash
# Static analysis of every .cpp under src/ and tools/: clang-tidy with the
# checked-in .clang-tidy, cppcheck with .cppcheck-suppressions, both from the
# compile database of a native build in build/lint. Fails on any finding that
# the configuration does not list as accepted.
#
# src/platform/win32 and tools/velk-emu/windows are not analysed: they need
# <windows.h>, which a native build has no compile command for; the Windows leg
# of the test command compiles them.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages "${NATIVE_PACKAGES[@]}" clang-tidy-14 cppcheck python3

BUILD=$ROOT/build/lint
(cd "$ROOT" && cmake --preset lint >/dev/null)

# The sources and their compile commands; a source the native build does not
# compile would otherwise escape both tools without a word.
mapfile -t sources < <(cd "$ROOT" && find src tools -name '*.cpp' -not -path 'src/platform/win32/*' \
  -not -path 'tools/velk-emu/windows/*' | sort)
mkdir -p "$BUILD/sources"
python3 - "$ROOT" "$BUILD/compile_commands.json" "$BUILD/sources/compile_commands.json" "${sources[@]}" <<'PY'
import json, os, sys
root, database, filtered, *sources = sys.argv[1:]
wanted = {os.path.join(root, s) for s in sources}
entries = [e for e in json.load(open(database))
           if os.path.normpath(os.path.join(e["directory"], e["file"])) in wanted]
missing = sorted(wanted - {os.path.normpath(os.path.join(e["directory"], e["file"])) for e in entries})
if missing:
    sys.exit("not compiled by the native build, so not analysed: " + " ".join(missing))
json.dump(entries, open(filtered, "w"), indent=1)
PY

jobs=$(($(nproc) < 2 ? $(nproc) : 2))
failed=0

echo "== clang-tidy on ${#sources[@]} sources"
logs=$BUILD/tidy
rm -rf "$logs"
mkdir -p "$logs" "$BUILD/cppcheck-cache"
# One log per source, so that parallel runs do not interleave their reports.
if ! printf '%s\n' "${sources[@]}" | (cd "$ROOT" && xargs -P "$jobs" -I{} sh -c \
    'clang-tidy-14 --quiet -p "$1" "$2" >"$3/$(echo "$2" | tr / _).log" 2>&1' sh "$BUILD" {} "$logs"); then
  failed=1
fi
for log in "$logs"/*.log; do
  grep -E '(warning|error):' "$log" >/dev/null && cat "$log"
done

echo "== cppcheck"
if ! cppcheck --project="$BUILD/sources/compile_commands.json" --std=c++17 --library=posix \
    --enable=warning,performance,portability --inline-suppr \
    --suppressions-list="$ROOT/.cppcheck-suppressions" --error-exitcode=1 -j "$jobs" --quiet \
    --template='{file}:{line}: {severity}: {message} [{id}]' \
    --cppcheck-build-dir="$BUILD/cppcheck-cache" 2>&1; then
  failed=1
fi

if ((failed)); then
  echo "static analysis found problems (see above)" >&2
  exit 1
fi
echo "== static analysis: no findings"
