#!/bin/bash
# Lays out the tree's C++ files (scripts/checks/source_files.sh cxx) with
# clang-format-14 and the root's .clang-format.
#   bash scripts/checks/format.sh            rewrites the files in place
#   bash scripts/checks/format.sh --check    changes nothing; names every file whose
#                                     layout differs and fails (test.sh runs this)
# Only clang-format-14: other versions lay some lines out differently, so a
# file formatted by one would fail the check made with the other.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
CLANG_FORMAT=clang-format-14
mode="${1:-apply}"
case "$mode" in
  apply | --check) ;;
  *)
    echo "usage: $0 [--check]" >&2
    exit 2
    ;;
esac
cd "$ROOT"
command -v "$CLANG_FORMAT" >/dev/null || {
  echo "format.sh: $CLANG_FORMAT is missing: run scripts/install_deps.sh" >&2
  exit 1
}
listing="$(bash scripts/checks/source_files.sh cxx)"
mapfile -t files <<<"$listing"
[[ -n "${files[0]:-}" ]] || { echo "format.sh: no C++ files found" >&2; exit 1; }

if [[ "$mode" == apply ]]; then
  "$CLANG_FORMAT" -i --style=file "${files[@]}"
  echo "format.sh: ${#files[@]} C++ files laid out"
  exit 0
fi

# One clang-format for all files; it reports each place as
# "file:line:col: error: code should be clang-formatted".
status=0
report="$("$CLANG_FORMAT" --dry-run --Werror --style=file "${files[@]}" 2>&1)" || status=$?
mapfile -t unformatted < <(sed -n 's/^\(.*\):[0-9]*:[0-9]*: error: code should be clang-formatted.*/\1/p' <<<"$report" |
  awk '!count[$0]++ { order[++n] = $0 } END { for (i = 1; i <= n; i++) print order[i] " (" count[order[i]] ")" }')
if ((status == 0)); then
  echo "format.sh: all ${#files[@]} C++ files are formatted"
  exit 0
fi
if ((${#unformatted[@]} == 0)); then
  # Failed without naming a file: a broken .clang-format or an unreadable file.
  printf '%s\n' "$report" >&2
  echo "format.sh: $CLANG_FORMAT failed (status $status)" >&2
  exit 1
fi
echo "format.sh: ${#unformatted[@]} of ${#files[@]} C++ files are not formatted (places in each):" >&2
printf '  %s\n' "${unformatted[@]}" >&2
echo "format.sh: 'bash scripts/checks/format.sh' lays them out; 'git diff' then shows what it changed" >&2
exit 1
