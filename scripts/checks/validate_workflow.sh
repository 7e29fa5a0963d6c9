#!/bin/bash
# Validates the CI workflow files against the hosted CI's published workflow
# schema with action-validator, installed from the npm registry at a pinned
# version into build/tools (never globally), and checks what each workflow
# is for (check_release_workflow.py structure: the release's test and
# publish jobs, least permissions, actions pinned by commit, checkouts that
# keep no token, git's safe.directory right after checkout), then runs the
# container jobs' own steps as root in a clone owned by another user, as the
# CI's containers meet their workspace (check_release_workflow.py
# foreign-owner). Nothing here can run the jobs themselves.
#
# action-validator 0.6.0, the newest there is, carries a workflow schema
# from before the CI documented the "attestations" permission, which
# provenance attestations need (release.yml): it rejects the key. Such a
# file is validated without its "attestations: write" lines, the one
# difference, and check_release_workflow.py requires them in the file
# itself.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
VERSION=0.6.0
# shellcheck source=scripts/dev/npm_tools.sh
source "$ROOT/scripts/dev/npm_tools.sh"
TOOLS="$(install_npm_tools "action-validator-$VERSION" \
  "@action-validator/cli@$VERSION" "@action-validator/core@$VERSION")"
NODE="$(npm_tools_node)"
validator() { "$NODE" "$TOOLS/node_modules/.bin/action-validator" "$@"; }

# The validator must see a broken file as broken, or its silence means nothing.
broken="$(mktemp --suffix=.yml)"
trap 'rm -f "$broken"' EXIT
printf 'name: broken\non: push\njobs:\n  build:\n    runs-on: windows-latest\n    stepz: []\n' >"$broken"
if validator "$broken" >/dev/null 2>&1; then
  echo "validate_workflow: action-validator accepted a job with no steps" >&2
  exit 1
fi

status=0
newer='^[[:space:]]+attestations:[[:space:]]+write[[:space:]]*$'
for workflow in "$ROOT"/.github/workflows/*.yml; do
  checked="$workflow"
  note=""
  if grep -qE "$newer" "$workflow"; then
    checked="$(mktemp --suffix=.yml)"
    grep -vE "$newer" "$workflow" >"$checked"
    note=" (without its attestations permission, which this validator's schema predates)"
  fi
  if validator "$checked"; then
    echo "valid: ${workflow#"$ROOT"/}$note"
  else
    echo "invalid: ${workflow#"$ROOT"/}" >&2
    status=1
  fi
  [[ "$checked" == "$workflow" ]] || rm -f "$checked"
done
# What the workflows are for, and their git steps where the workspace
# belongs to another user (Debian's python3-yaml reads them).
export PYTHONDONTWRITEBYTECODE=1
/usr/bin/python3 "$ROOT/scripts/checks/check_release_workflow.py" structure || status=1
/usr/bin/python3 "$ROOT/scripts/checks/check_release_workflow.py" foreign-owner || status=1
# What the Windows job is for: the kit built by the project's script, run
# by run-tests.cmd, and results.txt kept.
kit="$ROOT/.github/workflows/windows.yml"
for needed in "bash scripts/release/windows_kit.sh" "run: run-tests.cmd" "kit/results.txt" "runs-on: \${{ matrix.os }}"; do
  grep -qF -- "$needed" "$kit" || { echo "validate_workflow: windows.yml lacks '$needed'" >&2; status=1; }
done
exit $status
