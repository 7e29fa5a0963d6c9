#!/bin/bash
# Sourced by the validators that come from the npm registry.
#
#   install_npm_tools NAME PACKAGE@VERSION...
#
# installs the pinned packages into build/tools/NAME (never globally) unless
# exactly that list is there already, and prints the folder. A changed list
# starts the folder afresh, so nothing of an older pin lingers.
install_npm_tools() {
  local name=$1 root tools
  shift
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
  tools="$root/build/tools/$name"
  if [[ "$(cat "$tools/installed" 2>/dev/null)" != "$(printf '%s\n' "$@")" ]]; then
    command -v npm >/dev/null || { echo "$name: npm is missing: run scripts/install_deps.sh" >&2; return 1; }
    rm -rf "$tools"
    mkdir -p "$tools"
    npm install --prefix "$tools" --no-save --no-audit --no-fund --loglevel=error "$@" >/dev/null || return 1
    printf '%s\n' "$@" >"$tools/installed"
  fi
  echo "$tools"
}
