#!/bin/bash
# Installs what is missing, builds winrepair.exe in a fresh build tree and
# writes the release into dist/: winrepair.exe, LICENSE,
# THIRD-PARTY-NOTICES.txt, the bill of materials winrepair.cdx.json and
# SHA256SUMS of them all.
#
# To sign it, export the certificate's location and its password's before
# running this (scripts/release/make_release.py lists the variables), e.g.
#   WINREPAIR_SIGN_PKCS12=~/keys/codesign.p12 \
#   WINREPAIR_SIGN_PASSWORD_FILE=~/keys/codesign.pass bash scripts/release/release.sh
# Without them the release is unsigned and says so. With
# WINREPAIR_SIGN_TIMESTAMP_URL the signature is timestamped by that RFC 3161
# service; if it does not answer, the release fails and dist/ stays empty.
# The signed file is verified before it is released, its chain and its
# timestamp's against the roots of WINREPAIR_SIGN_CA_FILE (a PEM file;
# by default Debian's bundle): if either does not verify, the release fails
# and dist/ stays empty. The bill of materials is dated with the commit's
# time (SOURCE_DATE_EPOCH, else git's).
# The release workflow (.github/workflows/release.yml) runs this on a tag
# vX.Y.Z, once scripts/release/check_tag.sh has matched the tag to the version and
# the test command has passed, with the certificate from the repository's
# secrets in WINREPAIR_SIGN_PKCS12_BASE64.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
"$ROOT/scripts/install_deps.sh"
cd "$ROOT"

if [[ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]]; then
  echo "release: warning: the checkout has uncommitted changes; this release matches no commit" >&2
fi

# An earlier release must not stay in dist/ looking like this one when this
# one fails.
rm -rf "$ROOT/dist"
mkdir -p "$ROOT/dist"

# A fresh tree each time: nothing left over from earlier builds may reach it.
TREE="$ROOT/build/release"
rm -rf "$TREE"
cmake --preset windows -B "$TREE" >/dev/null
if ! cmake --build "$TREE" --target release; then
  echo "release: no release was made (the reason is above, after 'make_release:'); dist/ is empty" >&2
  exit 1
fi

cp "$TREE/dist/winrepair.exe" "$TREE/dist/LICENSE" "$TREE/dist/THIRD-PARTY-NOTICES.txt" \
  "$TREE/dist/winrepair.cdx.json" "$TREE/dist/SHA256SUMS" "$ROOT/dist/"
(cd "$ROOT/dist" && sha256sum -c SHA256SUMS)
