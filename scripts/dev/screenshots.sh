#!/bin/bash
# Installs what is missing, builds winrepair.exe and makes the pictures of its
# window in docs/screenshots/: the real program on Wine's console in a tmux
# pane 80 columns wide, beside the stand-in tools, at the start and at each of
# its verdicts (tests/screens/pictures/take_screenshots.py). The same pictures
# come out of every run. With --check it only says which pictures no longer
# show what the program shows, as the test command does.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
mode=--out
if [[ "${1:-}" == "--check" ]]; then
  mode=--check
elif (($# > 0)); then
  echo "usage: $0 [--check]" >&2
  exit 2
fi
if [[ -z "${WINREPAIR_DEPS_INSTALLED:-}" ]]; then
  "$ROOT/scripts/install_deps.sh"
fi
cd "$ROOT"
# A configured tree reconfigures itself when its build files change.
if [[ ! -f build/windows/build.ninja ]]; then
  cmake --preset windows >/dev/null
fi
cmake --build --preset windows --target winrepair standin >/dev/null

WINEPREFIX="$ROOT/build/windows/wineprefix" exec "$ROOT/tests/wine/wine_session.sh" run \
  python3 tests/screens/pictures/take_screenshots.py --winrepair build/windows/winrepair.exe \
  --standin build/windows/standin.exe "$mode" docs/screenshots
