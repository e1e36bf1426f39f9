#!/usr/bin/env bash
# Whether the Windows leg takes this machine for one that runs 32-bit programs
# (scripts/lib.sh, choose_wine), with stand-ins for the 32-bit program it runs:
# one the kernel refuses, one that runs, and ones that fail otherwise, which must
# fail the leg rather than pass for a machine without 32-bit programs.
set -uo pipefail
. "$(dirname "$0")/../../scripts/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# An ELF header for a machine no kernel runs (e_machine 0xBEEF): the kernel's own
# refusal, as a 32-bit program meets it where 32-bit support is off.
{ printf '\177ELF\002\001\001\000\000\000\000\000\000\000\000\000\002\000\357\276\001'; head -c 64 /dev/zero; } >"$work/refused"
printf '#!/bin/sh\necho "ld.so 2.36"\n' >"$work/runs"
printf '#!/bin/sh\necho "error while loading shared libraries" >&2\nexit 127\n' >"$work/broken"
chmod +x "$work/refused" "$work/runs" "$work/broken"
echo 'not a program' >"$work/not-executable"

failures=0
# expect PROBE OUTCOME: what choose_wine leaves with PROBE as the 32-bit program:
# "WINE|NO_32BIT|WINELOADER", or "fails" with its message.
expect() {
  local got
  got=$(unset WINE WINELOADER
    if TARNLINK_32BIT_PROBE=$work/$1 choose_wine 2>"$work/err"; then
      echo "$WINE|$NO_32BIT|${WINELOADER:-}"
    elif grep -q "^Cannot tell whether this machine runs 32-bit programs: " "$work/err"; then
      echo fails
    fi)
  [[ $got == "$2" ]] || { echo "FAIL $1: got '$got', expected '$2'"; failures=$((failures + 1)); }
}
expect refused "/usr/lib/wine/wine64|this machine runs no 32-bit program ($work/refused: Exec format error)|/usr/lib/wine/wine64"
expect runs "wine||"
expect broken fails
expect not-executable fails
exit $((failures > 0))
