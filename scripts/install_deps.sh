#!/bin/bash
# Installs what building and testing need on Debian 12 (run as root).
# Safe to repeat: apt-get only adds what is missing.
set -euo pipefail
# wine64-preloader: without it Wine process starts fail now and then with
# error 1359 (see cmake/mingw-w64-x86_64.cmake). clang-format-14, shellcheck
# and flake8: the source checks (scripts/checks/format.sh, scripts/checks/check_scripts.sh).
# python3-debian: the notices read Debian's copyright files with it
# (scripts/release/dep5_notice.py); python3-jsonschema: the second validator of the
# bill of materials (tests/artifacts/release/validate_sbom_schema.py); python3-yaml:
# the release workflow's checks (scripts/checks/check_release_workflow.py); file:
# the shipped text files' line ends are checked with it. ca-certificates:
# Debian's bundle of roots, which a release's signature is verified against
# unless WINREPAIR_SIGN_CA_FILE names others (scripts/release/make_release.py).
# libcurl4: Debian 12's own osslsigncode (2.5-4, which the release test runs
# beside the installed one, as scripts/release/debian_osslsigncode.sh puts it)
# links it. node-acorn, node-cjs-module-lexer, node-undici and the
# libraries from libuv1 on: what
# Debian's Node.js 18 needs beside its own two packages, which
# scripts/dev/debian_node.sh unpacks where the machine's node is another one
# (the npm tools run on it, as in the CI containers).
PACKAGES=(
  cmake ninja-build g++ python3
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  googletest wine64 wine64-preloader tmux
  python3-pefile librsvg2-bin icoutils optipng osslsigncode openssl
  clang lld clang-tidy gcovr libclang-rt-14-dev
  clang-format-14 shellcheck flake8
  python3-debian python3-jsonschema python3-yaml file
  ca-certificates libcurl4
  node-acorn node-cjs-module-lexer node-undici
  libuv1 libc-ares2 libbrotli1 libnghttp2-14 libicu72
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} > 0)) || [[ "${CI:-}" == "true" ]]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" >/dev/null
fi
# npm installs the workflow validator (scripts/checks/validate_workflow.sh). A
# node that came with its own npm is kept: Debian's would clash with it.
if ! command -v npm >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
fi
# Debian 12's own osslsigncode, for the release test: fetched once into
# build/tools, not installed.
bash "$(dirname "${BASH_SOURCE[0]}")/release/debian_osslsigncode.sh" >/dev/null
