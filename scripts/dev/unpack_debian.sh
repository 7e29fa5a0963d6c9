#!/bin/bash
# Unpacks Debian packages, in exact versions from Debian's archive, into a
# folder without installing them: for a tool that must run beside the
# machine's own, as the CI containers (debian:12) have it (Debian's Node.js
# 18, its osslsigncode 2.5-4). A folder that already holds exactly these
# packages is left as it is; otherwise it is made anew, and only replaces
# the old one once everything is unpacked.
#
#   bash scripts/dev/unpack_debian.sh FOLDER PACKAGE=VERSION...
set -euo pipefail
fail() { echo "unpack_debian: $*" >&2; exit 1; }
(($# >= 2)) || fail "usage: $0 FOLDER PACKAGE=VERSION..."
dest=$1
shift
wanted="$(printf '%s\n' "$@")"
[[ "$(cat "$dest/.unpacked" 2>/dev/null)" != "$wanted" ]] || exit 0

command -v apt-get >/dev/null || fail "apt-get is missing: $* come from Debian's archive"
# apt-get download needs the archive's index; one without these versions in
# it (a fresh container has none) is brought up to date first.
for package in "$@"; do
  if ! apt-cache show "$package" >/dev/null 2>&1; then
    apt-get update -qq >/dev/null 2>&1 || fail "apt-get update failed (run as root, with the network)"
    break
  fi
done
mkdir -p "$(dirname "$dest")"
work="$(mktemp -d "$dest.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# As root, apt hands the download to its own unprivileged user, who may not
# write here: it runs unsandboxed, which is what it falls back to anyway.
(cd "$work" && apt-get download -qq -o APT::Sandbox::User=root "$@" >/dev/null 2>&1) ||
  fail "apt-get download $* failed: is Debian 12's archive in the sources?"
for deb in "$work"/*.deb; do
  dpkg-deb -x "$deb" "$work/tree"
done
printf '%s\n' "$@" >"$work/tree/.unpacked"
rm -rf "$dest"
mv "$work/tree" "$dest"
