#!/usr/bin/env bash
# The Windows leg's test of whether this machine runs 32-bit programs
# (scripts/lib.sh, choose_wine), against stand-ins for the 32-bit program it runs:
# one the kernel refuses, one that runs, and ones that fail in other ways, which
# must fail the leg rather than pass for a machine without 32-bit programs.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$ROOT/scripts/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# An ELF header for a machine that no kernel runs (e_machine 0xBEEF): the
# kernel's own refusal, as a 32-bit program meets it where 32-bit support is off.
printf '\177ELF\002\001\001\000\000\000\000\000\000\000\000\000\002\000\357\276\001\000\000\000' \
  >"$work/refused"
head -c 64 /dev/zero >>"$work/refused"
printf '#!/bin/sh\necho "ld.so (stand-in) 2.36"\n' >"$work/runs"
printf '#!/bin/sh\necho "error while loading shared libraries: libc.so.6" >&2\nexit 127\n' >"$work/broken"
chmod +x "$work/refused" "$work/runs" "$work/broken"
printf 'not a program\n' >"$work/not-executable"

failures=0
# case_ PROBE STATUS WINE NO_32BIT: choose_wine with PROBE returns STATUS and, when
# it succeeds, leaves WINE and NO_32BIT as given (and WINELOADER with the 64-bit
# loader only).
case_() {
  local probe=$1 want_status=$2 want_wine=$3 want_no32=$4 status=0 got
  got=$(
    unset WINE WINELOADER
    TARNLINK_32BIT_PROBE=$work/$probe choose_wine 2>"$work/err" || exit $?
    echo "$WINE ${NO_32BIT:-empty} ${WINELOADER:-none}"
  ) || status=$?
  local want="$want_wine $want_no32"
  case $want_wine in
    wine) want+=" none" ;;
    *) want+=" $want_wine" ;;
  esac
  if ((status != want_status)); then
    echo "FAIL $probe: exit $status, expected $want_status ($(cat "$work/err"))"
    failures=$((failures + 1))
  elif ((status == 0)) && [[ $got != "$want" ]]; then
    echo "FAIL $probe: '$got', expected '$want'"
    failures=$((failures + 1))
  elif ((status != 0)) && ! grep -q "Cannot tell whether this machine runs 32-bit programs" "$work/err"; then
    echo "FAIL $probe: failed without saying why: $(cat "$work/err")"
    failures=$((failures + 1))
  else
    echo "ok   $probe"
  fi
}
case_ refused 0 /usr/lib/wine/wine64 \
  "this machine runs no 32-bit program ($work/refused: Exec format error)"
case_ runs 0 wine empty
case_ broken 1 - -
case_ not-executable 1 - -
exit $((failures > 0))
