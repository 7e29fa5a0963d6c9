#!/bin/bash
# Prints the path of a node program that is Debian 12's own Node.js 18, the
# one the CI containers (debian:12) run the npm tools with: the installed
# node when it is 18 (as in those containers), else Debian's nodejs and
# libnode108 packages unpacked into build/tools/debian-node-VERSION by
# scripts/dev/unpack_debian.sh (never installed: the machine's own node
# stays as it is), with a node beside them that runs that binary on that
# library. Debian builds its node to load three of its built-in modules
# from /usr/share/nodejs (node-acorn, node-cjs-module-lexer, node-undici),
# and the library links the machine's libuv1, libc-ares2, libbrotli1,
# libnghttp2-14 and libicu72: scripts/install_deps.sh installs them all.
#
#   WINREPAIR_NODE="$(bash scripts/dev/debian_node.sh)"  # as scripts/test.sh does
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
MAJOR=18

if command -v node >/dev/null && [[ "$(node --version)" == "v$MAJOR".* ]]; then
  command -v node
  exit 0
fi

# One unpacked before: reading the archive's versions takes seconds, and
# build/ going is what brings a newer one.
for node in "$ROOT"/build/tools/debian-node-"$MAJOR".*/node; do
  if [[ -x "$node" && "$("$node" --version 2>/dev/null)" == "v$MAJOR".* ]]; then
    echo "$node"
    exit 0
  fi
done

# The newest Node.js 18 in Debian's archive (the security archive's, when
# it has one), never the version of another source's nodejs package.
newest() { apt-cache madison nodejs | awk -F'|' '{ gsub(/ /, "", $2); print $2 }' | grep "^$MAJOR\." | sort -V | tail -1; }
version="$(newest || true)"
if [[ -z "$version" ]]; then
  apt-get update -qq
  version="$(newest || true)"
fi
[[ -n "$version" ]] || { echo "debian_node: Debian's archive offers no nodejs $MAJOR" >&2; exit 1; }

dir="$ROOT/build/tools/debian-node-$version"
if [[ ! -x "$dir/node" ]]; then
  bash "$ROOT/scripts/dev/unpack_debian.sh" "$dir/root" "nodejs=$version" "libnode108=$version"
  library="$(find "$dir/root" -name 'libnode.so.*' -printf '%h\n' -quit)"
  library="${library#"$dir/"}"
  cat >"$dir/node" <<EOF
#!/bin/sh
# Debian's node $version, unpacked beside this file (scripts/dev/debian_node.sh).
here="\$(dirname "\$(readlink -f "\$0")")"
LD_LIBRARY_PATH="\$here/$library\${LD_LIBRARY_PATH:+:\$LD_LIBRARY_PATH}" exec "\$here/root/usr/bin/node" "\$@"
EOF
  chmod +x "$dir/node"
fi
shown="$("$dir/node" --version 2>&1)" || true
if [[ "$shown" != "v${version%%+*}" ]]; then
  echo "debian_node: $dir/node does not run as node $version: $shown" >&2
  exit 1
fi
echo "$dir/node"
