#!/bin/bash
# Checks the links of every Markdown page in the tree (scripts/checks/source_files.sh
# markdown), offline: links and pictures to files, `#anchors` in the same
# page, and anchors in another page (`README.ru.md#...`, Cyrillic headings
# included, slugged as the hosting site slugs them). Web addresses are not
# followed. The checker is remark-cli with remark-validate-links,
# installed from the npm registry at pinned versions into build/tools (never
# globally); `repository: false` keeps it from asking git for a hosting
# site to resolve links against.
#
#   bash scripts/checks/check_links.sh [PAGE...]   # every page of the tree when none
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
CLI_VERSION=12.0.1
PLUGIN_VERSION=13.1.0
# shellcheck source=scripts/dev/npm_tools.sh
source "$ROOT/scripts/dev/npm_tools.sh"
TOOLS="$(install_npm_tools "remark-$CLI_VERSION-validate-links-$PLUGIN_VERSION" \
  "remark-cli@$CLI_VERSION" "remark-validate-links@$PLUGIN_VERSION")"
# By path: remark looks a plugin named by package up from the pages' folder.
PLUGIN="$TOOLS/node_modules/remark-validate-links/index.js"
NODE="$(npm_tools_node)"

check() { # PAGE... -> remark's report; fails on any broken link
  "$NODE" "$TOOLS/node_modules/.bin/remark" --no-config --no-color --quiet --frail --no-stdout \
    --use "$PLUGIN=repository:false" "$@"
}

# The checker must see each kind of broken link as broken, or its silence
# means nothing: pages made here, good, then each spoilt in one place.
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
write_pages() { # ENGLISH-LINK -> README.md and README.ru.md in $scratch
  printf '# Tool\n\nИнструкция на русском: [README.ru.md](README.ru.md).\n\n%s\n' "$1" >"$scratch/README.md"
  printf '# Утилита\n\n[English](README.md#tool)\n\n## Что означает итог\n\nТекст.\n' >"$scratch/README.ru.md"
}
self_test() { # WHAT ENGLISH-LINK EXPECTED: the pages fail, naming EXPECTED
  local what=$1 output status=0
  write_pages "$2"
  output="$(cd "$scratch" && check README.md README.ru.md 2>&1)" || status=$?
  if ((status == 0)) || ! grep -qF -- "$3" <<<"$output"; then
    echo "check_links: the checker passed $what (status $status):" >&2
    echo "$output" >&2
    exit 1
  fi
}
write_pages "[the verdicts](README.ru.md#что-означает-итог), [the top](#tool)"
if ! output="$(cd "$scratch" && check README.md README.ru.md 2>&1)"; then
  echo "check_links: the checker failed pages whose links are all good:" >&2
  echo "$output" >&2
  exit 1
fi
self_test "a link to a missing file" "[notes](CONTRIBUTING.md)" "Cannot find file \`CONTRIBUTING.md\`"
self_test "a wrong anchor in another page" "[the verdicts](README.ru.md#что-означает-итоги)" \
  "Cannot find heading for \`#что-означает-итоги\` in \`README.ru.md\`"
self_test "a wrong anchor in the same page" "[the top](#tools)" "Cannot find heading for \`#tools\`"
self_test "a missing picture" "![the window](docs/window.svg)" "Cannot find file \`docs/window.svg\`"

cd "$ROOT"
if (($# > 0)); then
  pages=("$@")
else
  mapfile -t pages < <(bash scripts/checks/source_files.sh markdown)
fi
((${#pages[@]} > 0)) || { echo "check_links: no Markdown pages found" >&2; exit 1; }
if check "${pages[@]}"; then
  echo "check_links: every link in ${#pages[@]} Markdown pages resolves"
else
  echo "check_links: broken links above (in ${#pages[@]} Markdown pages)" >&2
  exit 1
fi
