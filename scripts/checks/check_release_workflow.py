#!/usr/bin/env python3
"""What the workflows must do beyond their schema, and the release
workflow's own steps run here as the workflow runs them.

  check_release_workflow.py structure
      release.yml: runs on a vX.Y.Z tag, in debian:12, with the job's
      permissions exactly contents, id-token and attestations: write (and
      none for the workflow); checks the tag, runs the README's test command,
      makes the release, writes the notes, attests the five files and
      releases them, in that order; secrets reach it only as whole values of
      env: entries, naming signing variables that scripts/release/make_release.py
      reads, and the timestamp service comes from a repository variable.
      test.yml: the README's test command on push and pull request in
      debian:12, with read access only.

  check_release_workflow.py steps --version VERSION
      runs release.yml's tag check with the matching tag v<VERSION> and a
      mismatching one, and its notes step on this repository's CHANGELOG.md,
      signed and unsigned, each as the workflow's `run:` text itself.

Prints one line per problem and exits with 1 if there is any."""

import argparse
import os
import re
import subprocess
import sys
import tempfile

import yaml

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
WORKFLOWS = os.path.join(ROOT, ".github", "workflows")
sys.path.insert(0, os.path.join(ROOT, "scripts", "release"))
import make_release  # noqa: E402

TEST_COMMAND = "bash scripts/test.sh"
TAG_CHECK = 'bash scripts/release/check_tag.sh "$GITHUB_REF_NAME"'
CUTTER = "python3 scripts/release/changelog_section.py CHANGELOG.md"
WHOLE_EXPRESSION = re.compile(r"^\$\{\{\s*(secrets|vars)\.([A-Z0-9_]+)\s*\}\}$")


class Failures(list):
    def expect(self, condition, text):
        if not condition:
            self.append(text)
        return condition


def load(name):
    with open(os.path.join(WORKFLOWS, name), encoding="utf-8") as f:
        workflow = yaml.safe_load(f)
    # YAML 1.1 reads the key "on" as true.
    workflow["on"] = workflow.pop(True, workflow.get("on"))
    return workflow


def steps_of(workflow, job):
    return workflow.get("jobs", {}).get(job, {}).get("steps", [])


def step_index(steps, predicate):
    return next((i for i, step in enumerate(steps) if predicate(step)), None)


def runs(text):
    return lambda step: text in str(step.get("run", ""))


def uses(action):
    return lambda step: str(step.get("uses", "")).split("@")[0] == action


def secret_uses(node, path=()):
    """(path, value) of every string that reads a secret."""
    if isinstance(node, dict):
        for key, value in node.items():
            yield from secret_uses(value, path + (str(key),))
    elif isinstance(node, list):
        for index, value in enumerate(node):
            yield from secret_uses(value, path + (str(index),))
    elif isinstance(node, str) and "secrets." in node:
        yield path, node


def listed_files(text):
    return [line.strip() for line in str(text).splitlines() if line.strip()]


def check_release_structure(failures):
    workflow = load("release.yml")
    tags = (workflow.get("on") or {}).get("push", {}).get("tags", [])
    failures.expect(tags and all(re.fullmatch(r"v\[0-9\]\+\.\[0-9\]\+\.\[0-9\]\+", t) for t in tags),
                    f"release.yml runs on tags {tags}, not vX.Y.Z alone")
    failures.expect(set(workflow.get("on") or {}) == {"push"}, f"release.yml runs on {list(workflow.get('on'))}")
    failures.expect(workflow.get("permissions") == {}, "release.yml gives the workflow permissions of its own")
    jobs = workflow.get("jobs", {})
    if not failures.expect(list(jobs) == ["release"], f"release.yml has the jobs {list(jobs)}, not one release job"):
        return
    job = jobs["release"]
    failures.expect(job.get("permissions") == {"contents": "write", "id-token": "write", "attestations": "write"},
                    f"the release job's permissions are {job.get('permissions')}")
    failures.expect(job.get("container") == "debian:12", f"the release job runs in {job.get('container')}")
    steps = steps_of(workflow, "release")
    order = [("checkout", uses("actions/checkout")), ("the tag check", runs(TAG_CHECK)),
             ("the test command", lambda s: str(s.get("run", "")).strip() == TEST_COMMAND),
             ("scripts/release/release.sh", runs("bash scripts/release/release.sh")), ("the notes", runs(CUTTER)),
             ("the attestation", uses("actions/attest-build-provenance")),
             ("the release", uses("softprops/action-gh-release"))]
    found = [(name, step_index(steps, predicate)) for name, predicate in order]
    for name, index in found:
        failures.expect(index is not None, f"release.yml has no step for {name}")
    indices = [index for _, index in found if index is not None]
    failures.expect(indices == sorted(indices), f"release.yml's steps are out of order: {found}")
    for step in steps:
        if "uses" in step:
            failures.expect(re.search(r"@v\d+$", step["uses"]), f"release.yml uses {step['uses']}, not a major version")

    shipped = [f"dist/{name}" for name in make_release.RELEASE_FILES]
    attest = next((s for s in steps if uses("actions/attest-build-provenance")(s)), {})
    failures.expect(sorted(listed_files(attest.get("with", {}).get("subject-path", ""))) == sorted(shipped),
                    f"the attestation covers {attest.get('with', {}).get('subject-path')!r}, not {shipped}")
    release = next((s for s in steps if uses("softprops/action-gh-release")(s)), {})
    given = release.get("with", {})
    failures.expect(sorted(listed_files(given.get("files", ""))) == sorted(shipped)
                    and given.get("fail_on_unmatched_files") is True,
                    f"the release's assets are {given.get('files')!r}, not exactly {shipped}")
    failures.expect(given.get("body_path") == "${{ env.NOTES }}" and "NOTES" in job.get("env", {}),
                    "the release's notes are not the file the notes step writes")

    # Secrets only as whole values of env: entries, each a variable the
    # release reads; the timestamp service from a repository variable.
    for path, value in secret_uses(workflow):
        match = WHOLE_EXPRESSION.match(value.strip())
        failures.expect(len(path) >= 2 and path[-2] == "env" and match,
                        f"release.yml reads a secret outside an env: entry: {'.'.join(path)}: {value!r}")
        failures.expect(path[-1] in make_release.SIGNING_VARIABLES,
                        f"release.yml passes a secret as {path[-1]}, which scripts/release/make_release.py does not read")
    signing = next((s for s in steps if runs("bash scripts/release/release.sh")(s)), {}).get("env", {})
    failures.expect(WHOLE_EXPRESSION.match(str(signing.get("WINREPAIR_SIGN_TIMESTAMP_URL", "")))
                    and signing["WINREPAIR_SIGN_TIMESTAMP_URL"].split(".")[0].endswith("vars"),
                    "the timestamp service does not come from a repository variable")
    failures.expect(any(WHOLE_EXPRESSION.match(str(v)) and "secrets" in str(v) for v in signing.values()),
                    "the release step is given no certificate from the secrets")


def check_test_structure(failures):
    workflow = load("test.yml")
    events = workflow.get("on") or {}
    failures.expect("push" in events and "pull_request" in events, f"test.yml runs on {list(events)}")
    failures.expect(workflow.get("permissions") == {"contents": "read"},
                    f"test.yml's permissions are {workflow.get('permissions')}")
    jobs = workflow.get("jobs", {})
    failures.expect(len(jobs) == 1, f"test.yml has the jobs {list(jobs)}")
    for name, job in jobs.items():
        failures.expect(job.get("container") == "debian:12", f"test.yml's {name} runs in {job.get('container')}")
        failures.expect(step_index(job.get("steps", []), lambda s: str(s.get("run", "")).strip() == TEST_COMMAND)
                        is not None, f"test.yml's {name} does not run {TEST_COMMAND}")
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        failures.expect(TEST_COMMAND in f.read(), f"the README's test command is no longer {TEST_COMMAND}")


def run_step(step, env):
    """A step's run: text under bash -e, from the repository's root, as the
    runner runs it; (status, output)."""
    result = subprocess.run(["bash", "-e", "-c", step["run"]], cwd=ROOT, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def other_version(version):
    """The version with its last number one higher: a tag that is not it."""
    parts = version.split(".")
    return ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])


def check_steps(failures, version):
    workflow = load("release.yml")
    steps = steps_of(workflow, "release")
    tag_step = next((s for s in steps if runs(TAG_CHECK)(s)), None)
    notes_step = next((s for s in steps if runs(CUTTER)(s)), None)
    if not failures.expect(tag_step and notes_step, "release.yml lacks the tag check or the notes step"):
        return
    base = {k: v for k, v in os.environ.items() if not k.startswith("GITHUB_")}
    status, output = run_step(tag_step, dict(base, GITHUB_REF_NAME=f"v{version}"))
    failures.expect(status == 0, f"the tag check refuses v{version}, the version: {output.strip()}")
    for tag in (f"v{other_version(version)}", version):
        status, output = run_step(tag_step, dict(base, GITHUB_REF_NAME=tag))
        failures.expect(status != 0 and f"'{tag}' is not v{version}" in output,
                        f"the tag check with {tag}: status {status}, {output.strip()!r}")

    with open(os.path.join(ROOT, "CHANGELOG.md"), encoding="utf-8") as f:
        changelog = f.read()
    with tempfile.TemporaryDirectory() as work:
        notes = os.path.join(work, "notes.md")
        # NOTES as the job sets it, but in a scratch folder.
        env = dict(base, GITHUB_REF_NAME=f"v{version}", NOTES=notes)
        for signed in ("true", "false"):
            status, output = run_step(notes_step, dict(env, SIGNED=signed))
            if not failures.expect(status == 0, f"the notes step failed (signed {signed}): {output.strip()}"):
                continue
            with open(notes, encoding="utf-8") as f:
                text = f.read()
            body, said, _ = text.partition("\n\nThis release is unsigned")
            # The changelog itself may speak of unsigned releases: only the
            # step's own sentence tells.
            failures.expect(bool(said) == (signed == "false") and "This release is unsigned" not in body,
                            f"the notes of a release signed {signed} say: {text[-200:]!r}")
            first = body.strip().splitlines()[0] if body.strip() else ""
            heading = re.search(r"^## \[" + re.escape(version) + r"\].*\n+(.*)$", changelog, re.MULTILINE)
            failures.expect(body.strip() and body.strip() in changelog and heading and heading.group(1) == first
                            and not re.search(r"^## ", body, re.MULTILINE),
                            f"the notes are not CHANGELOG.md's section under its {version} heading: {body[:200]!r}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["structure", "steps"])
    parser.add_argument("--version", help="the project's version, for steps")
    args = parser.parse_args(argv)
    failures = Failures()
    if args.what == "structure":
        check_release_structure(failures)
        check_test_structure(failures)
    else:
        if not args.version:
            parser.error("steps needs --version")
        check_steps(failures, args.version)
    for f in failures:
        print(f)
    if not failures:
        print("the workflows do what they are for" if args.what == "structure" else
              f"the tag check takes v{args.version} and refuses others; the notes are CHANGELOG.md's section")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
