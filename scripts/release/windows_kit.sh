#!/bin/bash
# Installs what is missing, builds the Windows test kit and writes it to
# dist/winrepair-tests.zip: the released winrepair.exe, the stand-in tools,
# every Windows-side test program, and at its root run-tests.cmd, LICENSE and
# the programs' THIRD-PARTY-NOTICES.txt (unzip it on Windows, open an
# administrator command prompt there, run run-tests.cmd).
#
#   bash scripts/release/windows_kit.sh               builds in a fresh tree, build/kit,
#                                             as scripts/release/release.sh does
#   bash scripts/release/windows_kit.sh --tree DIR    packs from the configured windows
#                                             tree DIR instead, building only what
#                                             it lacks; scripts/test.sh uses it with
#                                             build/windows, which it has just built,
#                                             so the test command builds nothing twice
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

TREE=""
case "${1:-}" in
  "") ;;
  --tree)
    [[ -n "${2:-}" ]] || { echo "usage: $0 [--tree BUILD_DIR]" >&2; exit 2; }
    TREE="$(cd "$2" && pwd)"
    ;;
  *) echo "usage: $0 [--tree BUILD_DIR]" >&2; exit 2 ;;
esac

# The test command has installed everything already.
[[ -n "${WINREPAIR_DEPS_INSTALLED:-}" ]] || "$ROOT/scripts/install_deps.sh"
cd "$ROOT"

if [[ -z "$TREE" ]]; then
  if [[ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]]; then
    echo "windows-kit: warning: the checkout has uncommitted changes; this kit matches no commit" >&2
  fi
  # A fresh tree each time: nothing left over from earlier builds may reach it.
  TREE="$ROOT/build/kit"
  rm -rf "$TREE"
  cmake --preset windows -B "$TREE" >/dev/null
fi
cmake --build "$TREE" --target kit

mkdir -p "$ROOT/dist"
cp "$TREE/winrepair-tests.zip" "$ROOT/dist/winrepair-tests.zip"
echo "windows-kit: $ROOT/dist/winrepair-tests.zip"
