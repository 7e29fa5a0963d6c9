#!/bin/bash
# Starts or stops the Wine session the Windows-side tests share. Wine's
# background processes inherit whatever pipes they find; keeping all their
# output away from the test runner stops them from holding its pipes open.
set -u
set -a
# shellcheck source=tests/wine/wine.env
source "$(dirname "${BASH_SOURCE[0]}")/wine.env"
set +a
: "${WINEPREFIX:?WINEPREFIX must be set}"
export WINEPREFIX
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
case "${1:-}" in
  start)
    # The server refuses a prefix directory that does not exist yet, as in
    # every fresh build. Without this one the tests would meet servers that
    # Wine starts on demand and Debian's wrapper (-p0) ends as soon as no
    # program runs, each booting the prefix's background processes anew
    # while the next test program is already starting its own.
    mkdir -p "$WINEPREFIX"
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    status=$?
    # 2: a server for this prefix is running already.
    if ((status != 0 && status != 2)); then
      echo "$0: the Wine server did not start (status $status)" >&2
      exit 1
    fi
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
