#!/usr/bin/env bash
# Builds tarnlink and runs its main job against an emulated instrument started
# for it in a temporary device directory; the emulator is stopped afterwards,
# also when the run is interrupted.
#   scripts/main.sh              send a sample file and print the echoed answer
#   scripts/main.sh ARGS...      run tarnlink ARGS... against the emulated instrument
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/lib.sh"
ensure_packages "${NATIVE_PACKAGES[@]}"
configure_and_build release >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnlink-main-XXXXXX")
emu_pid=
stop_emulator() {
  if [[ -n $emu_pid ]] && kill -0 "$emu_pid" 2>/dev/null; then
    kill -TERM "$emu_pid" 2>/dev/null || true
    # Bounded: an emulator that does not stop within 5 s is killed.
    for _ in {1..50}; do kill -0 "$emu_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$emu_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop_emulator EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

exec {emu_out}< <(exec "$ROOT/build/release/tools/velk-emu/velk-emu" --dir "$work/dev" \
  --device velk-usb-1-1-SN0001)
emu_pid=$!
ready=
while IFS= read -r -t 10 -u "$emu_out" line; do
  if [[ $line == ready ]]; then ready=1; break; fi
  echo "Emulated instrument: $line"
done
if [[ -z $ready ]]; then
  echo "The instrument emulator did not start." >&2
  exit 1
fi

export VELK_DEVICE_DIR=$work/dev
status=0
if (($# > 0)); then
  "$ROOT/build/release/src/tarnlink" "$@" || status=$?
else
  sample=$work/sample.txt
  printf 'Hello, VELK instrument!' >"$sample"
  "$ROOT/build/release/src/tarnlink" "$sample" con /T 500 || status=$?
fi
exit "$status"
