#!/bin/bash
# Installs what is missing, builds winrepair.exe and runs it under Wine in
# this terminal. Wine's dism.exe is a stub that exits 0 and Wine has no
# sfc.exe, so a plain run ends with the launch-failure verdict. With
# --stand-ins the program runs from build/demo beside two stand-in tools that
# exit 0, which shows the success path; `--stand-ins D S` makes the DISM
# stand-in exit with D and the sfc one with S, to show the other verdicts.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$ROOT/scripts/install_deps.sh"
cd "$ROOT"
cmake --preset windows >/dev/null
cmake --build --preset windows --target winrepair standin >/dev/null

exe="$ROOT/build/windows/winrepair.exe"
if [[ "${1:-}" == "--stand-ins" ]]; then
  demo="$ROOT/build/demo"
  rm -rf "$demo" && mkdir -p "$demo"
  cp "$exe" "$demo/winrepair.exe"
  cp "$ROOT/build/windows/standin.exe" "$demo/DISM.exe"
  cp "$ROOT/build/windows/standin.exe" "$demo/sfc.exe"
  echo "${2:-0}" >"$demo/DISM.exitcode"
  echo "${3:-0}" >"$demo/sfc.exitcode"
  exe="$demo/winrepair.exe"
fi
# Through Wine's preloader, as in the tests (see
# cmake/mingw-w64-x86_64.cmake): without it the program or its tools fail to
# start now and then ("Internal error"). In the windows tree's own prefix,
# with the tests' Wine settings.
WINEPREFIX="$ROOT/build/windows/wineprefix" exec "$ROOT/tests/wine/wine_session.sh" run /usr/lib/wine/wine64 "$exe"
