#!/usr/bin/env bash
# Builds the libFuzzer targets into build/fuzz and runs each for a bounded time.
#   scripts/fuzz.sh                        every target, 20 s each (the test command's run)
#   scripts/fuzz.sh --long SECONDS         every target, SECONDS each
#   scripts/fuzz.sh [--long SECONDS] NAME  only the targets named (fuzz_dispatch, ...)
# Each target first replays its saved crash inputs (fuzz/regressions/NAME/), then
# fuzzes from its seeds (fuzz/corpus/NAME/) and the corpus it grew before
# (build/fuzz/corpus/NAME/). A crash fails the script; its input is kept in
# build/fuzz/artifacts/NAME/.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"

seconds=20
if [[ ${1:-} == --long ]]; then
  [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [--long SECONDS] [TARGET...]" >&2; exit 2; }
  seconds=$2
  shift 2
fi
targets=("$@")
if ((${#targets[@]} == 0)); then
  targets=(fuzz_timeout fuzz_string_payload fuzz_service_requests fuzz_service_responses fuzz_dispatch)
fi

ensure_packages "${NATIVE_PACKAGES[@]}" clang-14 libclang-rt-14-dev llvm-14

BUILD=$ROOT/build/fuzz
echo "== building the fuzz targets"
(cd "$ROOT" && cmake --preset fuzz >/dev/null)
cmake --build "$BUILD" --target "${targets[@]}" -- -j 2 >"$BUILD/build.log" 2>&1 ||
  { cat "$BUILD/build.log"; exit 1; }

export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
for target in "${targets[@]}"; do
  binary=$BUILD/fuzz/$target
  [[ -x $binary ]] || { echo "no fuzz target $target" >&2; exit 2; }
  corpus=$BUILD/corpus/$target
  artifacts=$BUILD/artifacts/$target
  log=$BUILD/logs/$target.log
  mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
  # fuzz_dispatch runs the program as nobody when started as root; its crash
  # input must still be written.
  chmod 1777 "$artifacts"

  regressions=()
  if [[ -d $ROOT/fuzz/regressions/$target ]]; then
    mapfile -t regressions < <(find "$ROOT/fuzz/regressions/$target" -type f | sort)
  fi
  if ((${#regressions[@]} != 0)); then
    echo "== $target: replaying ${#regressions[@]} saved crash inputs"
    if ! "$binary" "${regressions[@]}" >"$log" 2>&1; then
      tail -n 40 "$log"
      failed+=("$target (a saved crash input fails again)")
      continue
    fi
  fi

  echo "== $target: fuzzing for ${seconds} s"
  seeds=()
  [[ -d $ROOT/fuzz/corpus/$target ]] && seeds=("$ROOT/fuzz/corpus/$target")
  if ! "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    failed+=("$target (input kept in $artifacts)")
    continue
  fi
  grep -E '^stat::(number_of_executed_units|new_units_added)' "$log" | sed 's/^stat::/   /'
done

if ((${#failed[@]} != 0)); then
  printf 'fuzzing found a failure: %s\n' "${failed[@]}" >&2
  exit 1
fi
echo "== fuzzing: no failures"
