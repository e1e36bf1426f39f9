#!/usr/bin/env bash
# The Wine session the Windows tests share, in the prefix named by WINEPREFIX.
#   wine_session.sh start   creates the prefix if needed and starts a persistent server
#   wine_session.sh stop    stops that server and every Wine process of the prefix
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
case $WINEPREFIX in
  /*) ;;
  *) echo "WINEPREFIX must be an absolute path: $WINEPREFIX" >&2; exit 2 ;;
esac

case ${1:-} in
  start)
    mkdir -p "$WINEPREFIX"
    # A server left from an earlier run may be one that exits when idle; start afresh.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    # A prefix made while Wine had no 32-bit side cannot start a 32-bit program
    # ("could not load kernel32.dll"), and booting it again does not mend it.
    if [[ -d $WINEPREFIX/drive_c/windows && ! -e $WINEPREFIX/drive_c/windows/syswow64/kernel32.dll ]]; then
      rm -rf "$WINEPREFIX"
      mkdir -p "$WINEPREFIX"
    fi
    # Every descriptor goes to /dev/null: the server outlives this script, and a
    # pipe it kept open would keep the caller waiting.
    if ! wineserver -p </dev/null >/dev/null 2>&1; then
      echo "cannot start a Wine server for $WINEPREFIX" >&2
      exit 1
    fi
    # Booting creates the prefix when it is new (printing its progress whatever
    # WINEDEBUG says) and starts Wine's own services, which stay with the server.
    # Left to the first test, they would inherit that test's output and hold it open.
    "${WINE:-wine}" wineboot </dev/null >/dev/null 2>&1
    ;;
  stop)
    if [[ -d $WINEPREFIX ]]; then
      wineserver -k </dev/null >/dev/null 2>&1 || true
    fi
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
