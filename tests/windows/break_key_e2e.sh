#!/usr/bin/env bash
# Esc pressed for real while tarnlink.exe sends to an instrument of velk-emu.exe.
# tarnlink.exe reads the key with GetKeyState; under Wine, in a thread with no
# window, that reports the key state of the desktop, which a Wine window with
# the X keyboard focus feeds. So the case brings its own virtual display (Xvfb,
# on a display it finds free), an idle console window that takes the focus, and
# a key held through XTEST (a synthetic event sent to a window is ignored, and a
# tap can fall between two tests of the key).
#
# A key held before the program starts is not tested here: Wine does not show
# it to a new thread, where Windows does. The fake platform's tests cover it.
#   break_key_e2e.sh TEMPLATE CASE_PREFIX TARNLINK_EXE VELK_EMU_EXE
# TEMPLATE and CASE_PREFIX as for wine_case.sh run.
set -euo pipefail

readonly kSize=200000 kBlock=4096 kBound=60
# The loader that runs Windows programs (scripts/lib.sh, choose_wine).
readonly wine=${WINE:-wine}

fail() {
  echo "break_key_e2e.sh: $*" >&2
  exit 1
}

# waits_for SECONDS COMMAND...: true once COMMAND succeeds, false when SECONDS pass.
waits_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < end)) || return 1
    sleep 0.05
  done
}
# ended PID: the shell's child PID has exited (the shell reaps it at once).
ended() { ! kill -0 "$1" 2>/dev/null; }

# The case itself, run by wine_case.sh in the case's prefix with its server up;
# everything it makes lies in the prefix, which wine_case.sh removes.
in_prefix() {
  local tarnlink=$1 velk_emu=$2
  # Globals: the exit trap runs after this function has returned.
  console='' hold='' emulator='' sender=''
  finish() {
    xdotool keyup Escape 2>/dev/null || true
    local pid
    for pid in $sender $hold $console; do kill "$pid" 2>/dev/null || true; done
    if [[ -n $emulator ]]; then waits_for 30 ended "$emulator" || true; fi
  }
  trap finish EXIT
  mkdir "$WINEPREFIX/drive_c/break-key"
  cd "$WINEPREFIX/drive_c/break-key"

  "$wine" wineconsole cmd /k </dev/null >/dev/null 2>&1 &
  console=$!
  local windows
  windows=$(timeout "$kBound" xdotool search --sync --onlyvisible --name .) ||
    fail "the console window did not appear"
  timeout "$kBound" xdotool windowfocus --sync "${windows%%$'\n'*}" ||
    fail "the console window took no focus"

  # velk-emu.exe serves until its input ends: a FIFO that a sleep holds open.
  mkfifo emulator-input
  sleep infinity >emulator-input &
  hold=$!
  local out line=''
  exec {out}< <(exec "$wine" "$velk_emu" --device velk --rate 20000 --capture 'C:\break-key\capture' \
    <emulator-input 2>emulator.err)
  emulator=$!
  while [[ ${line%$'\r'} != ready ]]; do
    IFS= read -r -t "$kBound" -u "$out" line || fail "velk-emu.exe did not start: $(cat emulator.err)"
  done

  head -c "$kSize" /dev/urandom >data.bin
  "$wine" "$tarnlink" data.bin </dev/null >out.txt 2>err.txt &
  sender=$!
  # Esc goes down once three blocks have arrived, after the first progress
  # text, and stays down until the program has ended.
  # 0, not an error, while there is no log yet.
  blocks() { cat capture/velk.log 2>/dev/null | grep -c '^write ' || true; }
  three_blocks() { (($(blocks) >= 3)); }
  waits_for "$kBound" three_blocks || fail "no block arrived"
  xdotool keydown Escape
  waits_for "$kBound" ended "$sender" || fail "tarnlink.exe went on sending"
  local status=0
  wait "$sender" || status=$?
  sender=''
  xdotool keyup Escape

  # The instrument logs the close after the program has ended.
  closed() { [[ $(tail -n 1 capture/velk.log) == close ]]; }
  waits_for "$kBound" closed || fail "the instrument was not closed: $(tail -n 3 capture/velk.log)"
  local sent
  sent=$(blocks)
  # The banner, the progress text before every third block, and the break on
  # the line of the last one; x keeps the line end from $(...).
  local expected printed
  expected=$(
    printf 'tarnlink ver 2.3 - Morlend - DRQ \r\n'
    for ((block = 3; block <= sent; block += 3)); do
      printf '\b%.0s' {1..30}
      printf '%d / %d' $(((block - 1) * kBlock)) "$kSize"
    done
    printf '    Break ! \r\nx'
  )
  printed=$(cat out.txt && printf x)
  local faults=()
  ((status == 255)) || faults+=("exit status $status, not 255")
  [[ $printed == "$expected" ]] || faults+=("output ending in: $(tail -c 120 out.txt | od -c)")
  [[ ! -s err.txt ]] || faults+=("errors: $(cat err.txt)")
  ((sent * kBlock < kSize)) || faults+=("all $kSize bytes arrived")
  cmp -s capture/velk.bin <(head -c $((sent * kBlock)) data.bin) ||
    faults+=("the instrument got other bytes than the first $sent blocks")

  kill "$hold"
  hold=''
  waits_for 30 ended "$emulator" || faults+=("velk-emu.exe did not stop")
  emulator=''
  ((${#faults[@]} == 0)) || fail "$(printf '%s\n' "${faults[@]}")"
  echo "Esc stopped the send after $sent blocks"
}

if [[ ${1:-} == --in-prefix ]]; then
  shift
  in_prefix "$@"
  exit
fi

(($# == 4)) || fail "usage: $0 TEMPLATE CASE_PREFIX TARNLINK_EXE VELK_EMU_EXE"
for tool in Xvfb xdotool; do
  command -v "$tool" >/dev/null || fail "$tool is needed (scripts/test-windows.sh installs it)"
done
# Wine takes its display when the case's prefix boots, so it comes first.
exec {display_fd}< <(exec Xvfb -displayfd 1 -nolisten tcp -screen 0 640x480x24 2>/dev/null)
xvfb=$!
stop_display() {
  kill "$xvfb" 2>/dev/null || true
  waits_for 10 ended "$xvfb" || kill -KILL "$xvfb" 2>/dev/null || true
}
trap stop_display EXIT
read -r -t "$kBound" -u "$display_fd" display || fail "Xvfb did not start"
exec {display_fd}<&-
export DISPLAY=:$display
"$(dirname "$0")/wine_case.sh" run "$1" "$2" "$0" --in-prefix "$3" "$4"
