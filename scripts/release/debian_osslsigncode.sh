#!/bin/bash
# Puts Debian 12's own osslsigncode, 2.5-4, beside the installed one (which
# may be a newer one from bookworm-backports), and prints the path of its
# binary. The release test runs once with each, as the CI containers have
# Debian's and maintainers' machines may have the newer: the two print their
# verification differently (scripts/release/make_release.py reads both).
#
# The package is fetched with apt-get download and unpacked with dpkg-deb
# into build/tools/osslsigncode-2.5-4 (nothing is installed); a second run
# finds it there and fetches nothing. Its libraries (libcurl4 among them,
# which 2.9 does not need) come from the system: scripts/install_deps.sh
# installs them, and a missing one fails here, named.
#
#   bash scripts/release/debian_osslsigncode.sh
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
VERSION=2.5-4
TOOLS="$ROOT/build/tools/osslsigncode-$VERSION"
BINARY="$TOOLS/usr/bin/osslsigncode"

fail() { echo "debian_osslsigncode: $*" >&2; exit 1; }

if [[ ! -x "$BINARY" ]]; then
  command -v apt-get >/dev/null || fail "apt-get is missing: osslsigncode $VERSION comes from Debian 12's archive"
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  # apt-get download needs the archive's index; an index without 2.5-4 in
  # it (a fresh container has none) is brought up to date first.
  if ! apt-cache show "osslsigncode=$VERSION" >/dev/null 2>&1; then
    apt-get update -qq >/dev/null 2>&1 || fail "apt-get update failed (run as root, with the network)"
  fi
  # apt's own user cannot write a folder of root's mktemp: the download runs
  # unsandboxed, which is what it falls back to anyway.
  (cd "$work" && apt-get download -qq -o APT::Sandbox::User=root "osslsigncode=$VERSION" >/dev/null 2>&1) ||
    fail "apt-get download osslsigncode=$VERSION failed: is Debian 12's archive in the sources?"
  dpkg-deb -x "$work"/osslsigncode_"${VERSION}"_*.deb "$work/tree"
  [[ -x "$work/tree/usr/bin/osslsigncode" ]] || fail "the package holds no usr/bin/osslsigncode"
  rm -rf "$TOOLS"
  mkdir -p "$(dirname "$TOOLS")"
  mv "$work/tree" "$TOOLS"
fi

missing="$(ldd "$BINARY" | awk '/not found/ { print $1 }' | tr '\n' ' ')"
[[ -z "$missing" ]] || fail "$BINARY lacks the libraries ${missing% }: run scripts/install_deps.sh"
shown="$("$BINARY" --version 2>&1 | head -1)"
[[ "$shown" == "osslsigncode ${VERSION%-*},"* ]] || fail "$BINARY says '$shown', not osslsigncode ${VERSION%-*}"
echo "$BINARY"
