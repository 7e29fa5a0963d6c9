#!/bin/bash
# Sourced by the validators that come from the npm registry.
#
#   install_npm_tools NAME [--NPM-OPTION...] PACKAGE@VERSION...
#
# installs the pinned packages into build/tools/NAME (never globally) unless
# exactly that list is there already, and prints the folder. A changed list
# starts the folder afresh, so nothing of an older pin lingers. Options
# (words starting with --) go to npm install as they are.
#
# The tools run on npm_tools_node: WINREPAIR_NODE when set (scripts/test.sh
# sets it to Debian 12's Node.js 18, scripts/dev/debian_node.sh, the node of
# the CI containers), else the node on PATH; npm itself still runs on the
# node on PATH. Every package installed must declare, in its engines field,
# that it runs on that node: install_npm_tools checks each time, with the
# semver package it pins beside the tools (npm's own way of reading those
# ranges), so a pin too new for Node.js 18 fails here by name rather than
# somewhere inside the tool.
NPM_TOOLS_SEMVER=semver@7.7.2

npm_tools_node() {
  echo "${WINREPAIR_NODE:-node}"
}

install_npm_tools() {
  local name=$1 root tools node
  shift
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
  tools="$root/build/tools/$name"
  if [[ "$(cat "$tools/installed" 2>/dev/null)" != "$(printf '%s\n' "$@" "$NPM_TOOLS_SEMVER")" ]]; then
    command -v npm >/dev/null || { echo "$name: npm is missing: run scripts/install_deps.sh" >&2; return 1; }
    rm -rf "$tools"
    mkdir -p "$tools"
    npm install --prefix "$tools" --no-save --no-audit --no-fund --loglevel=error "$@" "$NPM_TOOLS_SEMVER" \
      >/dev/null || return 1
    printf '%s\n' "$@" "$NPM_TOOLS_SEMVER" >"$tools/installed"
  fi
  node="$(npm_tools_node)"
  # The check must refuse a package that asks for a newer node, or its
  # silence means nothing: one beside the tools' semver, in a scratch folder.
  local spoilt refusal
  spoilt="$(mktemp -d)"
  mkdir -p "$spoilt/node_modules/too-new"
  ln -s "$tools/node_modules/semver" "$spoilt/node_modules/semver"
  printf '{"name": "too-new", "version": "1.0.0", "engines": {"node": ">=999"}}\n' \
    >"$spoilt/node_modules/too-new/package.json"
  refusal="$("$node" "$root/scripts/dev/npm_engines.cjs" "$spoilt" 2>&1)" && refusal=""
  rm -rf "$spoilt"
  [[ "$refusal" == *"too-new@1.0.0 runs on node >=999"* ]] || {
    echo "$name: the engines check passed a package that needs node 999: ${refusal:-no refusal}" >&2
    return 1
  }
  "$node" "$root/scripts/dev/npm_engines.cjs" "$tools" >&2 || {
    echo "$name: a package above does not declare that it runs on node $("$node" --version) ($node)" >&2
    return 1
  }
  echo "$tools"
}
