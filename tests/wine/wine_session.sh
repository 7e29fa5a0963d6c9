#!/bin/bash
# Starts or stops the Wine session the Windows-side tests share, or runs a
# command in one (scripts/run.sh, scripts/dev/screenshots.sh). Wine's
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
  run)
    # A command in the session, with Wine's settings in its environment:
    # the session is started first and stopped after, whatever the command
    # did; its status is the command's.
    shift
    "$0" start || exit 1
    status=0
    "$@" || status=$?
    "$0" stop
    exit $status
    ;;
  *)
    echo "usage: $0 start|stop|run COMMAND..." >&2
    exit 2
    ;;
esac
