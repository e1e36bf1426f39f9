#!/usr/bin/env bash
# Runs one test case in a Wine prefix of its own: a copy of a template prefix,
# with a persistent server of its own that is stopped when the case ends.
#   wine_case.sh template TEMPLATE
#        makes TEMPLATE fresh with `wineboot -i` (once per test run)
#   wine_case.sh run TEMPLATE CASE_PREFIX COMMAND [ARGS...]
#        copies TEMPLATE to CASE_PREFIX, runs COMMAND there, removes CASE_PREFIX
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# WINE: the loader that runs Windows programs (scripts/lib.sh, choose_wine).
wine=${WINE:-wine}

absolute() {
  case $1 in
    /*) ;;
    *) echo "wine_case.sh: $1 is not an absolute path" >&2; exit 2 ;;
  esac
}

case ${1:-} in
  template)
    absolute "$2"
    export WINEPREFIX=$2
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    # The registry reaches the disk when the server ends; only then is the
    # prefix whole enough to copy.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    ;;
  run)
    absolute "$2"
    absolute "$3"
    template=$2
    export WINEPREFIX=$3
    shift 3
    rm -rf "$WINEPREFIX"
    # Hard links make the copy cheap (the prefix holds 700 MB of Wine's DLLs,
    # which nothing writes to); the registry files, which the server rewrites,
    # are copied for real.
    mkdir -p "$(dirname "$WINEPREFIX")"
    cp -al "$template" "$WINEPREFIX"
    for reg in "$WINEPREFIX"/*.reg; do
      rm "$reg"
      cp -p "$template/${reg##*/}" "$reg"
    done
    stop() {
      wineserver -k </dev/null >/dev/null 2>&1 || true
      wineserver -w </dev/null >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX"
    }
    trap stop EXIT
    # The server and Wine's own services start with their output on /dev/null:
    # they outlive the programs of the case and would hold a pipe of theirs open.
    wineserver -p </dev/null >/dev/null 2>&1
    "$wine" wineboot </dev/null >/dev/null 2>&1
    status=0
    "$@" || status=$?
    exit "$status"
    ;;
  *)
    echo "usage: $0 template TEMPLATE | run TEMPLATE CASE_PREFIX COMMAND [ARGS...]" >&2
    exit 2
    ;;
esac
