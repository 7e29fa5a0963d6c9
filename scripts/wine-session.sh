#!/bin/bash
# Starts or stops the Wine session the Windows-side tests share. Wine's
# background processes inherit whatever pipes they find; keeping all their
# output away from the test runner stops them from holding its pipes open.
set -u
export WINEDEBUG=-all
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEPREFIX
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
case "${1:-}" in
  start)
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    "$WINE" wineboot -i </dev/null >/dev/null 2>&1
    exit 0
    ;;
  stop)
    "$WINESERVER" -k </dev/null >/dev/null 2>&1
    exit 0
    ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2
    ;;
esac
