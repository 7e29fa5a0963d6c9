#!/bin/bash
# Puts Debian 12's own osslsigncode, 2.5-4, beside the installed one (which
# may be a newer one from bookworm-backports), and prints the path of its
# binary. The release test runs once with each, as the CI containers have
# Debian's and maintainers' machines may have the newer: the two print their
# verification differently (scripts/release/make_release.py reads both).
#
# The package is unpacked into build/tools/osslsigncode-2.5-4, nothing
# installed (scripts/dev/unpack_debian.sh); a second run finds it there and
# fetches nothing. Its libraries (libcurl4 among them,
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

bash "$ROOT/scripts/dev/unpack_debian.sh" "$TOOLS" "osslsigncode=$VERSION" || exit 1
[[ -x "$BINARY" ]] || fail "the package holds no usr/bin/osslsigncode"

missing="$(ldd "$BINARY" | awk '/not found/ { print $1 }' | tr '\n' ' ')"
[[ -z "$missing" ]] || fail "$BINARY lacks the libraries ${missing% }: run scripts/install_deps.sh"
shown="$("$BINARY" --version 2>&1 | head -1)"
[[ "$shown" == "osslsigncode ${VERSION%-*},"* ]] || fail "$BINARY says '$shown', not osslsigncode ${VERSION%-*}"
echo "$BINARY"
