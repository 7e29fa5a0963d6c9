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

# The release the kit is built from dates its bill of materials with the
# commit's time (SOURCE_DATE_EPOCH, else git's; scripts/release/make_sbom.py), and
# fails without one. A checkout without git history, as the kit workflow's
# is (its container has no git, so the checkout is GitHub's tarball of the
# commit), has no commit to ask; the tarball gives every file the commit's
# time as its modification time (git archive does), so CMakeLists.txt's
# stands for it there.
if [[ -z "${SOURCE_DATE_EPOCH:-}" ]] && ! git -C "$ROOT" log -1 --format=%ct >/dev/null 2>&1; then
  SOURCE_DATE_EPOCH="$(stat -c %Y "$ROOT/CMakeLists.txt")"
  export SOURCE_DATE_EPOCH
  echo "windows_kit: no git history here: SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH, the time of CMakeLists.txt" >&2
fi

if [[ -z "$TREE" ]]; then
  if [[ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]]; then
    echo "windows_kit: warning: the checkout has uncommitted changes; this kit matches no commit" >&2
  fi
  # A fresh tree each time: nothing left over from earlier builds may reach it.
  TREE="$ROOT/build/kit"
  rm -rf "$TREE"
  cmake --preset windows -B "$TREE" >/dev/null
fi
cmake --build "$TREE" --target kit

mkdir -p "$ROOT/dist"
cp "$TREE/winrepair-tests.zip" "$ROOT/dist/winrepair-tests.zip"
echo "windows_kit: $ROOT/dist/winrepair-tests.zip"
