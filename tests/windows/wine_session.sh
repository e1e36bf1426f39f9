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
    # Every descriptor goes to /dev/null: the server outlives this script, and a
    # pipe it kept open would keep the caller waiting.
    wineserver -p </dev/null >/dev/null 2>&1
    if [[ ! -f $WINEPREFIX/system.reg ]]; then
      # The first run prints its progress whatever WINEDEBUG says.
      wineboot -i </dev/null >/dev/null 2>&1
    fi
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
