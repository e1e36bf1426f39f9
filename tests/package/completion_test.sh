#!/usr/bin/env bash
# Checks the bash completion of tarnlink against instruments that velk-emu
# serves, in the device directory and on its emulated USB bus, once in a bare
# bash and once with the bash-completion library loaded.
#   tests/package/completion_test.sh COMPLETION_SCRIPT TARNLINK VELK_EMU
# Exits 0 when every check passes.
set -euo pipefail
if (($# != 3)); then
  echo "usage: $0 COMPLETION_SCRIPT TARNLINK VELK_EMU" >&2
  exit 2
fi
completion=$(realpath "$1")
library=/usr/share/bash-completion/bash_completion

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnlink-completion-XXXXXX")
# The completion runs tarnlink by the name typed, so it must be on PATH by that name.
bin=$work/bin
mkdir "$bin"
ln -s "$(realpath "$2")" "$bin/tarnlink"
ln -s "$(realpath "$3")" "$bin/velk-emu"
emu_pid=
stop_emulator() {
  if [[ -n $emu_pid ]] && kill -0 "$emu_pid" 2>/dev/null; then
    kill -TERM "$emu_pid" 2>/dev/null || true
    # An emulator that has not stopped within 5 s is killed.
    sleep 5 &
    local timer=$!
    wait -n "$emu_pid" "$timer" 2>/dev/null || true
    kill -KILL "$emu_pid" 2>/dev/null || true
    kill "$timer" 2>/dev/null || true
    wait "$emu_pid" "$timer" 2>/dev/null || true
  fi
  emu_pid=
}
trap 'stop_emulator; cd /; rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# complete MODE LINE: the candidates bash would offer for LINE, the cursor at
# its end, one a line, sorted. MODE is "bare" or "library". The bash runs as
# "${on_bus[@]}" COMMAND: inside velk-emu --usb when that is set.
on_bus=()
complete() {
  local mode=$1 line=$2
  PATH=$bin:$PATH "${on_bus[@]}" bash --norc --noprofile -c '
    mode=$1 completion=$2 library=$3 line=$4
    if [[ $mode == library ]]; then . "$library"; fi
    . "$completion"
    read -r -a COMP_WORDS <<<"$line"
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    _tarnlink "${COMP_WORDS[0]}" "$cur" "$prev"
    ((${#COMPREPLY[@]} == 0)) || printf "%s\n" "${COMPREPLY[@]}"
  ' complete "$mode" "$completion" "$library" "$line" | LC_ALL=C sort
}

# expect_exactly MODE LINE WORD...: the candidates are exactly WORD...
expect_exactly() {
  local mode=$1 line=$2
  shift 2
  local got want
  got=$(complete "$mode" "$line")
  want=$( (($# == 0)) || printf '%s\n' "$@" | LC_ALL=C sort)
  [[ $got == "$want" ]] || fail "[$mode] '$line' offered [${got//$'\n'/ }], expected [$*]"
}

# expect_offered MODE LINE WORD...: each WORD is among the candidates.
expect_offered() {
  local mode=$1 line=$2 word got
  shift 2
  got=$(complete "$mode" "$line")
  for word in "$@"; do
    grep -qxF -- "$word" <<<"$got" || fail "[$mode] '$line' did not offer '$word' (offered [${got//$'\n'/ }])"
  done
}

# expect_absent MODE LINE WORD...: no WORD is among the candidates.
expect_absent() {
  local mode=$1 line=$2 word got
  shift 2
  got=$(complete "$mode" "$line")
  for word in "$@"; do
    ! grep -qxF -- "$word" <<<"$got" || fail "[$mode] '$line' offered '$word'"
  done
}

export VELK_DEVICE_DIR=$work/dev
# Only the emulated bus's instruments, never the machine's own.
export TARNLINK_USB_IDS=
mkfifo "$work/emu-out"
"$bin/velk-emu" --dir "$VELK_DEVICE_DIR" --device usb-1-1-SN0001 --device usb-2-4-SN0042 \
  >"$work/emu-out" &
emu_pid=$!
exec {emu_out}<"$work/emu-out"
ready=
while IFS= read -r -t 10 -u "$emu_out" line; do
  if [[ $line == ready ]]; then ready=1; break; fi
done
if [[ -z $ready ]]; then
  echo "velk-emu did not report ready" >&2
  exit 1
fi

modes=(bare)
if [[ -r $library ]]; then modes+=(library); else echo "note: $library missing; bare bash only" >&2; fi

cd "$work"
touch data.bin
for mode in "${modes[@]}"; do
  # /U: the present instruments by name, filtered by what is typed; /u as well.
  expect_exactly "$mode" "tarnlink data.bin /U " usb-1-1-SN0001 usb-2-4-SN0042
  expect_exactly "$mode" "tarnlink data.bin /u " usb-1-1-SN0001 usb-2-4-SN0042
  expect_exactly "$mode" "tarnlink data.bin /U usb-2" usb-2-4-SN0042
  expect_exactly "$mode" "$bin/tarnlink data.bin /U usb-1" usb-1-1-SN0001

  # Switches where tarnlink looks for them, compared without regard to case.
  expect_offered "$mode" "tarnlink data.bin /" /M /U
  expect_absent "$mode" "tarnlink data.bin /" /L /S /T
  expect_offered "$mode" "tarnlink data.bin /m" /M
  expect_absent "$mode" "tarnlink data.bin /m" /U
  expect_offered "$mode" "tarnlink /" /L '/?'
  expect_exactly "$mode" "tarnlink --" --help --version
  expect_exactly "$mode" "tarnlink data.bin out.bin /" /S /T
  expect_exactly "$mode" "tarnlink text out.bin /S /" /T
  expect_exactly "$mode" "tarnlink data.bin out.bin /T "
  expect_exactly "$mode" "tarnlink text out.bin /S /T "

  # File names for the input and the output, "con" for the screen.
  expect_offered "$mode" "tarnlink da" data.bin
  expect_offered "$mode" "tarnlink data.bin " data.bin con /M /U
done

# USB instruments offer their serial numbers, after the device directory's names.
# A velk-emu built with the sanitizers preloads their runtime into bash as well,
# whose leaks at exit are none of this test's business.
on_bus=(env TARNLINK_USB_IDS=1209:0001 "$bin/velk-emu" --usb --device SN-A --device SN-0042 --
  env ASAN_OPTIONS=detect_leaks=0)
for mode in "${modes[@]}"; do
  expect_exactly "$mode" "tarnlink data.bin /U " usb-1-1-SN0001 usb-2-4-SN0042 SN-A SN-0042
  expect_exactly "$mode" "tarnlink data.bin /U SN" SN-A SN-0042
done
on_bus=()

stop_emulator
for mode in "${modes[@]}"; do
  expect_exactly "$mode" "tarnlink data.bin /U "
done

# Paths with control bytes, as /L shows them: a forged line stays in its entry,
# and what is offered is a part that the real path holds.
masked=$work/masked
mkdir "$masked"
cat >"$masked/tarnlink" <<'LISTING'
#!/bin/sh
printf '%s\n' 'tarnlink ver 2.3 - Morlend - DRQ ' '1 /run/velk/evil?2 FAKE-SN0042' \
  '2 /run/velk/?]0;title?' '3 /run/velk/usb-1-1-SN0001'
LISTING
chmod +x "$masked/tarnlink"
for mode in "${modes[@]}"; do
  expect_exactly "$mode" "$masked/tarnlink data.bin /U " '2\ FAKE-SN0042' usb-1-1-SN0001
done

if ((failures > 0)); then
  echo "completion: $failures check(s) failed" >&2
  exit 1
fi
echo "completion: all checks passed (${modes[*]})"
