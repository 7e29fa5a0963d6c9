#!/bin/bash
# Checks the tree's scripts (scripts/checks/source_files.sh shell|python): shellcheck
# over every shell script, flake8's pyflakes checks over every Python file.
# Any finding fails, named by file and line. A finding that is right but
# deliberate is silenced on its own line, naming what it silences and why:
#   # shellcheck disable=SC2034  # <why>      shell: the line before it
#   import readline  # noqa: F401 <why>       Python: the line itself, by the
#                                             finding's flake8 code
# Debian's tools are called by their own names: `python3` on the machine may
# be another build without Debian's modules.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"
for tool in shellcheck flake8; do
  command -v "$tool" >/dev/null || {
    echo "check_scripts.sh: $tool is missing: run scripts/install_deps.sh" >&2
    exit 1
  }
done

files_of() { # KIND -> FILES, the tree's files of that kind
  local listing
  listing="$(bash scripts/checks/source_files.sh "$1")"
  FILES=()
  [[ -z "$listing" ]] || mapfile -t FILES <<<"$listing"
}

status=0
files_of shell
shell_count=${#FILES[@]}
if ((shell_count > 0)); then
  # -x: a script that sources another is checked together with it.
  shellcheck -x "${FILES[@]}" || status=1
fi

# flake8 with pyflakes' checks (F) only, and the files it cannot parse (E999)
# or read (E902), which F alone would pass over; --isolated: no configuration
# file of the machine's changes what counts. A `# noqa: F401` silences F401
# alone (one for another checker's code, E402, silences no F finding), but
# flake8 reads a noqa comment without codes as silencing everything:
# scripts/checks/noqa_comments.py refuses those. It runs under the interpreter of
# Debian's flake8, whose module it reads flake8's own pattern from.
files_of python
python_count=${#FILES[@]}
if ((python_count > 0)); then
  flake8 --isolated --select=F,E999,E902 "${FILES[@]}" || status=1
  interpreter="$(sed -n '1s/^#![[:space:]]*//p' "$(command -v flake8)")"
  "$interpreter" scripts/checks/noqa_comments.py "${FILES[@]}" || status=1
fi

if ((status != 0)); then
  echo "check_scripts.sh: findings above (shellcheck over $shell_count shell scripts," \
    "flake8 over $python_count Python files)" >&2
  exit 1
fi
echo "check_scripts.sh: no findings in $shell_count shell scripts and $python_count Python files"
