#!/bin/bash
# Prints the tree's files of one kind, one path a line, relative to the root:
#   cxx     C++ sources and headers, by name
#   shell   shell scripts: *.sh, and any file whose first line starts a shell
#           (.ci/run, a script without an extension)
#   python  Python files: *.py, and any file whose first line starts Python
#   markdown  Markdown pages: *.md
# The files are those git tracks plus new ones it does not ignore, so a file
# is checked before it is added, and nothing under build/ or dist/ is.
# Usage: scripts/checks/source_files.sh cxx|shell|python|markdown
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
kind="${1:-}"
case "$kind" in
  cxx) by_name='\.(cpp|cc|cxx|h|hh|hpp|inc|ipp)$' ;;
  shell)
    by_name='\.sh$'
    by_first_line='^#!(/usr)?/bin/(env[[:space:]]+)?(ba|da|k)?sh([[:space:]]|$)'
    ;;
  python)
    by_name='\.py$'
    by_first_line='^#!(/usr)?(/local)?/bin/(env[[:space:]]+)?python[0-9.]*([[:space:]]|$)'
    ;;
  markdown) by_name='\.md$' ;;
  *)
    echo "usage: $0 cxx|shell|python|markdown" >&2
    exit 2
    ;;
esac
cd "$ROOT"
git rev-parse --is-inside-work-tree >/dev/null 2>&1 || {
  echo "source_files.sh: $ROOT is not a git checkout: the files to check come from git" >&2
  exit 1
}

# Tracked files deleted in the work tree are still listed by git: skipped.
named=()
others=()
while IFS= read -r -d '' file; do
  [[ -f "$file" && ! -L "$file" ]] || continue
  if [[ "$file" =~ $by_name ]]; then
    named+=("$file")
  else
    others+=("$file")
  fi
done < <(git ls-files -z --cached --others --exclude-standard | sort -zu)

{
  ((${#named[@]} == 0)) || printf '%s\n' "${named[@]}"
  # The first line of every other file, read by one awk for all of them. A
  # binary file starting with a NUL byte does not pass for a script.
  if [[ -n "${by_first_line:-}" ]] && ((${#others[@]} > 0)); then
    # shellcheck disable=SC2016  # $0 is awk's own: the line it reads
    printf '%s\0' "${others[@]}" |
      xargs -0 awk -v pattern="$by_first_line" 'FNR == 1 && $0 ~ pattern { print FILENAME } { nextfile }'
  fi
} | LC_ALL=C sort
