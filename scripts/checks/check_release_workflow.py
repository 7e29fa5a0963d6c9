#!/usr/bin/env python3
"""What the workflows must do beyond their schema, and their own steps run
here as the workflows run them.

  check_release_workflow.py structure [--workflows DIR]
      release.yml: runs on a vX.Y.Z tag, with no permissions for the
      workflow, in two debian:12 jobs: test, with contents: read alone,
      checks the tag and runs the README's test command; publish, which
      needs test and holds exactly contents, id-token and attestations:
      write, makes the release, writes the notes, attests the five files and
      releases them, in that order. Secrets reach it only as whole values of
      env: entries, naming signing variables that scripts/release/make_release.py
      reads; the timestamp service and the signing roots come from
      repository variables. test.yml: the README's test command on push and
      pull request in debian:12, with read access only. In every workflow:
      each action pinned by its full commit with its version in a comment
      (one pin per action across the files), each checkout without a kept
      token (persist-credentials: false), and each container job that
      installs git marking the workspace safe for git right after checkout,
      by its path. Before the files themselves, the same checks must refuse
      each of a table of spoilt copies of them (the release as one job, a
      job without the safe.directory step, an action by tag...).

  check_release_workflow.py steps --version VERSION
      runs release.yml's tag check with the matching tag v<VERSION> and a
      mismatching one, its notes step on this repository's CHANGELOG.md,
      signed and unsigned, and its release step (with a stand-in for
      scripts/release/release.sh) with and without the signing roots variable, each
      as the workflow's `run:` text itself.

  check_release_workflow.py foreign-owner [--workflows DIR]
      the CI's containers run as root in a workspace that belongs to the
      runner's user, which git refuses ("dubious ownership"). As root, in a
      fresh clone of this repository owned by user id 1001 and with an empty
      HOME (and no system git config), runs each container job's steps after
      checkout, up to its test command or release, as the workflow runs
      them, then what those need of git: git rev-parse and git log, and for
      the test command's jobs its format check (the command of the
      format_check phase of scripts/test.sh). All must pass; with the job's
      safe.directory step left out, git must exit 128 naming the dubious
      ownership and the format check must fail.

Prints one line per problem and exits with 1 if there is any."""

import argparse
import copy
import os
import re
import shlex
import subprocess
import sys
import tempfile

import yaml

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
WORKFLOWS = os.path.join(ROOT, ".github", "workflows")
sys.path.insert(0, os.path.join(ROOT, "scripts", "release"))
import make_release  # noqa: E402

TEST_COMMAND = "bash scripts/test.sh"
TAG_CHECK = 'bash scripts/release/check_tag.sh "$GITHUB_REF_NAME"'
CUTTER = "python3 scripts/release/changelog_section.py CHANGELOG.md"
RELEASE_SCRIPT = "bash scripts/release/release.sh"
SAFE_STEP = 'git config --global --add safe.directory "$GITHUB_WORKSPACE"'
WHOLE_EXPRESSION = re.compile(r"^\$\{\{\s*(secrets|vars)\.([A-Z0-9_]+)\s*\}\}$")
USES_LINE = re.compile(r"^\s*(?:-\s+)?uses:\s*(\S+)(.*)$")
PINNED = re.compile(r"^([\w.-]+/[\w.-]+(?:/[\w./-]+)?)@([0-9a-f]{40})$")
VERSION_COMMENT = re.compile(r"^\s+#\s+(v\d+\.\d+\.\d+)\s*$")
RELEASE_PERMISSIONS = {"contents": "write", "id-token": "write", "attestations": "write"}
# The GitHub-hosted runner's user, who owns the workspace a container job
# gets.
RUNNER_UID = 1001


class Failures(list):
    def expect(self, condition, text):
        if not condition:
            self.append(text)
        return condition


def parse(text):
    workflow = yaml.safe_load(text)
    # YAML 1.1 reads the key "on" as true.
    workflow["on"] = workflow.pop(True, workflow.get("on"))
    return workflow


def read_workflows(folder=WORKFLOWS):
    """{file name: (parsed, text)} of the three workflows."""
    found = {}
    for name in ("release.yml", "test.yml", "windows.yml"):
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            text = f.read()
        found[name] = (parse(text), text)
    return found


def load(name):
    return read_workflows()[name][0]


def steps_of(workflow, job):
    return (workflow.get("jobs", {}).get(job) or {}).get("steps", [])


def step_index(steps, predicate):
    return next((i for i, step in enumerate(steps) if predicate(step)), None)


def runs(text):
    return lambda step: text in str(step.get("run", ""))


def runs_exactly(text):
    return lambda step: str(step.get("run", "")).strip() == text


def uses(action):
    return lambda step: str(step.get("uses", "")).split("@")[0] == action


def installs_git(step):
    return re.search(r"apt-get install\b.*\sgit(\s|$)", str(step.get("run", ""))) is not None


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


def in_order(failures, where, steps, order):
    """Each (name, predicate) of order has a step, in that order."""
    found = [(name, step_index(steps, predicate)) for name, predicate in order]
    for name, index in found:
        failures.expect(index is not None, f"{where} has no step for {name}")
    indices = [index for _, index in found if index is not None]
    failures.expect(indices == sorted(indices), f"{where}'s steps are out of order: {found}")


def check_every_workflow(failures, workflows):
    """Pins, checkouts and git's safe.directory, in all the files."""
    pins = {}
    for name, (workflow, text) in workflows.items():
        lines = [USES_LINE.match(line) for line in text.splitlines()]
        lines = [match for match in lines if match]
        steps = [step for job in (workflow.get("jobs") or {}).values() for step in job.get("steps", [])]
        failures.expect(len(lines) == sum("uses" in step for step in steps),
                        f"{name} names actions other than on `uses:` lines of their own")
        for match in lines:
            reference, rest = match.groups()
            pinned = PINNED.match(reference)
            comment = VERSION_COMMENT.match(rest)
            if not failures.expect(pinned and comment,
                                   f"{name} uses {reference}{rest}, not an action pinned by its full commit "
                                   "with its version in a comment (# vX.Y.Z)"):
                continue
            action, commit = pinned.groups()
            pins.setdefault(action, set()).add((commit, comment.group(1)))
        for job_name, job in (workflow.get("jobs") or {}).items():
            where = f"{name}'s {job_name} job"
            steps = job.get("steps", [])
            for step in steps:
                if uses("actions/checkout")(step):
                    failures.expect((step.get("with") or {}).get("persist-credentials") is False,
                                    f"{where} checks out keeping the token in .git/config "
                                    "(no persist-credentials: false)")
                if "safe.directory" in str(step.get("run", "")):
                    failures.expect(runs_exactly(SAFE_STEP)(step),
                                    f"{where} marks safe for git {step.get('run')!r}, not the workspace "
                                    f"alone ({SAFE_STEP})")
            checkout = step_index(steps, uses("actions/checkout"))
            if job.get("container") and checkout is not None and any(installs_git(s) for s in steps):
                failures.expect(step_index(steps[:checkout], installs_git) is not None,
                                f"{where} installs git after checkout, which then fetches no repository")
                after = steps[checkout + 1] if checkout + 1 < len(steps) else {}
                failures.expect(runs_exactly(SAFE_STEP)(after),
                                f"{where} runs git as root in the runner's workspace without marking it safe "
                                f"right after checkout ({SAFE_STEP})")
    for action, pinned in sorted(pins.items()):
        failures.expect(len(pinned) == 1, f"the workflows pin {action} differently: {sorted(pinned)}")


def check_release_structure(failures, workflows):
    workflow = workflows["release.yml"][0]
    tags = (workflow.get("on") or {}).get("push", {}).get("tags", [])
    failures.expect(tags and all(re.fullmatch(r"v\[0-9\]\+\.\[0-9\]\+\.\[0-9\]\+", t) for t in tags),
                    f"release.yml runs on tags {tags}, not vX.Y.Z alone")
    failures.expect(set(workflow.get("on") or {}) == {"push"}, f"release.yml runs on {list(workflow.get('on'))}")
    failures.expect(workflow.get("permissions") == {}, "release.yml gives the workflow permissions of its own")
    jobs = workflow.get("jobs", {})
    if not failures.expect(sorted(jobs) == ["publish", "test"],
                           f"release.yml has the jobs {list(jobs)}, not a test job and a publish job"):
        return
    test, publish = jobs["test"], jobs["publish"]
    failures.expect(test.get("permissions") == {"contents": "read"},
                    f"the release's test job, which runs the test command, may {test.get('permissions')}, "
                    "not only read the repository")
    failures.expect(publish.get("permissions") == RELEASE_PERMISSIONS,
                    f"the publish job's permissions are {publish.get('permissions')}, not exactly "
                    f"{RELEASE_PERMISSIONS}")
    failures.expect(publish.get("needs") in ("test", ["test"]),
                    f"the publish job needs {publish.get('needs')!r}, not the test job")
    for job_name, job in jobs.items():
        failures.expect(job.get("container") == "debian:12", f"the {job_name} job runs in {job.get('container')}")
    test_steps, publish_steps = steps_of(workflow, "test"), steps_of(workflow, "publish")
    in_order(failures, "release.yml's test job", test_steps,
             [("checkout", uses("actions/checkout")), ("the tag check", runs(TAG_CHECK)),
              ("the test command", runs_exactly(TEST_COMMAND))])
    in_order(failures, "release.yml's publish job", publish_steps,
             [("checkout", uses("actions/checkout")), ("scripts/release/release.sh", runs(RELEASE_SCRIPT)),
              ("the notes", runs(CUTTER)), ("the attestation", uses("actions/attest-build-provenance")),
              ("the release", uses("softprops/action-gh-release"))])
    for predicate, what in ((runs(RELEASE_SCRIPT), "builds the release"),
                            (uses("actions/attest-build-provenance"), "attests"),
                            (uses("softprops/action-gh-release"), "releases")):
        failures.expect(step_index(test_steps, predicate) is None, f"the release's test job {what}")
    failures.expect(step_index(publish_steps, runs_exactly(TEST_COMMAND)) is None,
                    "the publish job runs the test command with write permissions")
    failures.expect(not list(secret_uses(test)), "the release's test job reads secrets")

    shipped = [f"dist/{name}" for name in make_release.RELEASE_FILES]
    attest = next((s for s in publish_steps if uses("actions/attest-build-provenance")(s)), {})
    failures.expect(sorted(listed_files(attest.get("with", {}).get("subject-path", ""))) == sorted(shipped),
                    f"the attestation covers {attest.get('with', {}).get('subject-path')!r}, not {shipped}")
    release = next((s for s in publish_steps if uses("softprops/action-gh-release")(s)), {})
    given = release.get("with", {})
    failures.expect(sorted(listed_files(given.get("files", ""))) == sorted(shipped)
                    and given.get("fail_on_unmatched_files") is True,
                    f"the release's assets are {given.get('files')!r}, not exactly {shipped}")
    failures.expect(given.get("body_path") == "${{ env.NOTES }}" and "NOTES" in publish.get("env", {}),
                    "the release's notes are not the file the notes step writes")

    # Secrets only as whole values of env: entries, each a variable the
    # release reads; the timestamp service and the roots from repository
    # variables.
    for path, value in secret_uses(workflow):
        match = WHOLE_EXPRESSION.match(value.strip())
        failures.expect(len(path) >= 2 and path[-2] == "env" and match,
                        f"release.yml reads a secret outside an env: entry: {'.'.join(path)}: {value!r}")
        failures.expect(path[-1] in make_release.SIGNING_VARIABLES,
                        f"release.yml passes a secret as {path[-1]}, which scripts/release/make_release.py does not read")
    signing = next((s for s in publish_steps if runs(RELEASE_SCRIPT)(s)), {}).get("env", {})
    for variable, what in (("WINREPAIR_SIGN_TIMESTAMP_URL", "the timestamp service"),
                           ("WINREPAIR_SIGN_CA_PEM", "the signing roots")):
        failures.expect(str(signing.get(variable, "")).replace(" ", "") == "${{vars.%s}}" % variable,
                        f"{what} do not come from the repository variable {variable}")
    failures.expect(any(WHOLE_EXPRESSION.match(str(v)) and "secrets" in str(v) for v in signing.values()),
                    "the release step is given no certificate from the secrets")


def check_test_structure(failures, workflows):
    workflow = workflows["test.yml"][0]
    events = workflow.get("on") or {}
    failures.expect("push" in events and "pull_request" in events, f"test.yml runs on {list(events)}")
    failures.expect(workflow.get("permissions") == {"contents": "read"},
                    f"test.yml's permissions are {workflow.get('permissions')}")
    jobs = workflow.get("jobs", {})
    failures.expect(len(jobs) == 1, f"test.yml has the jobs {list(jobs)}")
    for name, job in jobs.items():
        failures.expect(job.get("container") == "debian:12", f"test.yml's {name} runs in {job.get('container')}")
        failures.expect(step_index(job.get("steps", []), runs_exactly(TEST_COMMAND))
                        is not None, f"test.yml's {name} does not run {TEST_COMMAND}")
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        failures.expect(TEST_COMMAND in f.read(), f"the README's test command is no longer {TEST_COMMAND}")


def check_structure(failures, workflows):
    check_every_workflow(failures, workflows)
    check_release_structure(failures, workflows)
    check_test_structure(failures, workflows)


# Spoilt copies the structure checks must refuse: (what, file, how, a
# phrase the refusal must hold). `how` changes the parsed file (the text
# stays) or, given the text, returns new text.
def _drop_safe_step(workflow):
    steps = workflow["jobs"]["test"]["steps"]
    steps.remove(next(s for s in steps if runs_exactly(SAFE_STEP)(s)))


def _move_safe_step(workflow):
    steps = workflow["jobs"]["publish"]["steps"]
    index = step_index(steps, runs_exactly(SAFE_STEP))
    steps.insert(index + 1, steps.pop(index))


def _checkouts(workflow):
    return [s for job in workflow["jobs"].values() for s in job["steps"] if uses("actions/checkout")(s)]


def _first_pin(transform):
    def change(text):
        lines = text.splitlines(keepends=True)
        index = next(i for i, line in enumerate(lines) if USES_LINE.match(line))
        lines[index] = transform(lines[index])
        return "".join(lines)
    change.text = True
    return change


def _one_release_job(workflow):
    jobs = workflow["jobs"]
    job = dict(jobs["publish"], permissions=RELEASE_PERMISSIONS)
    job.pop("needs", None)
    job["steps"] = jobs["test"]["steps"][:-1] + jobs["publish"]["steps"][3:]
    workflow["jobs"] = {"release": job}


SPOILT = [
    ("the release as one job, as it was", "release.yml", _one_release_job, "not a test job and a publish job"),
    ("a job without the safe.directory step", "release.yml", _drop_safe_step, "without marking it safe"),
    ("the safe.directory step after another", "release.yml", _move_safe_step, "right after checkout"),
    ("every repository marked safe", "test.yml",
     lambda w: [s.update(run="git config --global --add safe.directory '*'")
                for s in w["jobs"]["test"]["steps"] if runs_exactly(SAFE_STEP)(s)], "not the workspace alone"),
    ("a checkout keeping its token", "windows.yml", lambda w: [s.pop("with", None) for s in _checkouts(w)],
     "persist-credentials"),
    ("an action by tag", "test.yml", _first_pin(lambda line: re.sub(r"@\S+.*", "@v7", line)), "pinned by its full"),
    ("a pin without its version", "windows.yml", _first_pin(lambda line: re.sub(r"\s+#.*", "", line)),
     "with its version in a comment"),
    ("two pins of one action", "release.yml", _first_pin(lambda line: re.sub(r"# v\S+", "# v1.0.0", line)),
     "differently"),
    ("a test job that may write", "release.yml",
     lambda w: w["jobs"]["test"].update(permissions={"contents": "write"}), "not only read"),
    ("a publish job that needs nothing", "release.yml", lambda w: w["jobs"]["publish"].pop("needs"),
     "not the test job"),
    ("a publish job with a permission it does not use", "release.yml",
     lambda w: w["jobs"]["publish"]["permissions"].update(packages="write"), "not exactly"),
    ("the test command in the publish job", "release.yml",
     lambda w: w["jobs"]["publish"]["steps"].insert(3, {"run": TEST_COMMAND}), "runs the test command"),
    ("the signing roots not passed", "release.yml",
     lambda w: next(s for s in w["jobs"]["publish"]["steps"] if runs(RELEASE_SCRIPT)(s))["env"].pop(
         "WINREPAIR_SIGN_CA_PEM"), "WINREPAIR_SIGN_CA_PEM"),
]


def check_spoilt_copies(failures, workflows):
    """The checks refuse each spoilt copy; returns how many they refused."""
    refused = 0
    for what, name, how, phrase in SPOILT:
        spoilt = dict(workflows)
        workflow, text = workflows[name]
        if getattr(how, "text", False):
            text = how(text)
            spoilt[name] = (parse(text), text)
        else:
            workflow = copy.deepcopy(workflow)
            how(workflow)
            spoilt[name] = (workflow, text)
        found = Failures()
        check_structure(found, spoilt)
        if failures.expect(any(phrase in line for line in found),
                           f"the workflow checks pass {what} ({name}): {found}"):
            refused += 1
    return refused


def run_step(step, env, cwd=ROOT):
    """A step's run: text under bash -e, from the repository's root (or
    cwd), as the runner runs it; (status, output)."""
    result = subprocess.run(["bash", "-e", "-c", step["run"]], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


def other_version(version):
    """The version with its last number one higher: a tag that is not it."""
    parts = version.split(".")
    return ".".join(parts[:-1] + [str(int(parts[-1]) + 1)])


def check_release_step(failures, step, base):
    """The release step, with a stand-in for scripts/release/release.sh that shows
    what it was given: the roots variable becomes a file named by
    WINREPAIR_SIGN_CA_FILE, which release.sh then reads; a certificate
    without a timestamp service stops it before release.sh."""
    pem = "-----BEGIN CERTIFICATE-----\nMIIBroot\n-----END CERTIFICATE-----"
    with tempfile.TemporaryDirectory() as work:
        os.makedirs(os.path.join(work, "scripts", "release"))
        with open(os.path.join(work, "scripts", "release", "release.sh"), "w", encoding="utf-8") as f:
            f.write('echo "release.sh ran; roots: ${WINREPAIR_SIGN_CA_FILE:-none}"\n'
                    '[ -z "${WINREPAIR_SIGN_CA_FILE:-}" ] || cat "$WINREPAIR_SIGN_CA_FILE"\n')
        output_file = os.path.join(work, "output")
        env = dict(base, RUNNER_TEMP=work, GITHUB_OUTPUT=output_file)
        cases = [("no roots", {}, 0, "roots: none"),
                 ("the roots variable", {"WINREPAIR_SIGN_CA_PEM": pem}, 0,
                  f"roots: {os.path.join(work, 'winrepair-sign-ca.pem')}\n{pem}\n"),
                 ("a certificate without a timestamp service", {"WINREPAIR_SIGN_PKCS12_BASE64": "cert"}, 1,
                  "no WINREPAIR_SIGN_TIMESTAMP_URL")]
        for what, given, expected_status, expected in cases:
            status, output = run_step(step, dict(env, **given), cwd=work)
            failures.expect(status == expected_status and expected in output,
                            f"the release step with {what}: status {status}, {output.strip()!r}")


def check_steps(failures, version):
    workflow = load("release.yml")
    tag_step = next((s for s in steps_of(workflow, "test") if runs(TAG_CHECK)(s)), None)
    notes_step = next((s for s in steps_of(workflow, "publish") if runs(CUTTER)(s)), None)
    release_step = next((s for s in steps_of(workflow, "publish") if runs(RELEASE_SCRIPT)(s)), None)
    if not failures.expect(tag_step and notes_step and release_step,
                           "release.yml lacks the tag check (test job), or the notes or release step (publish job)"):
        return
    base = {k: v for k, v in os.environ.items() if not k.startswith(("GITHUB_", "WINREPAIR_SIGN_"))}
    status, output = run_step(tag_step, dict(base, GITHUB_REF_NAME=f"v{version}"))
    failures.expect(status == 0, f"the tag check refuses v{version}, the version: {output.strip()}")
    for tag in (f"v{other_version(version)}", version):
        status, output = run_step(tag_step, dict(base, GITHUB_REF_NAME=tag))
        failures.expect(status != 0 and f"'{tag}' is not v{version}" in output,
                        f"the tag check with {tag}: status {status}, {output.strip()!r}")
    check_release_step(failures, release_step, base)

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


def project_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(winrepair VERSION (\S+)", f.read()).group(1)


def format_check_command():
    """The command of scripts/test.sh's format_check phase."""
    with open(os.path.join(ROOT, "scripts", "test.sh"), encoding="utf-8") as f:
        match = re.search(r"^run format_check (.+)$", f.read(), re.MULTILINE)
    return match.group(1) if match else None


def git_jobs(workflows):
    """(file, job, its steps after checkout up to its test command or its
    release, whether it runs the test command) of each container job that
    installs git and checks out."""
    for name, (workflow, _) in workflows.items():
        for job_name, job in (workflow.get("jobs") or {}).items():
            steps = job.get("steps", [])
            checkout = step_index(steps, uses("actions/checkout"))
            if not job.get("container") or checkout is None or not any(installs_git(s) for s in steps):
                continue
            after = steps[checkout + 1:]
            end = step_index(after, lambda s: runs_exactly(TEST_COMMAND)(s) or runs(RELEASE_SCRIPT)(s))
            tests = end is not None and runs_exactly(TEST_COMMAND)(after[end])
            yield name, job_name, [s for s in after[:end] if "run" in s], tests


def check_foreign_owner(failures, folder=WORKFLOWS):
    """Returns the lines that show what happened."""
    shown = []
    if not failures.expect(os.geteuid() == 0, "the foreign-owner check runs as root, as the CI's containers do"):
        return shown
    fmt = format_check_command()
    if not failures.expect(fmt, "scripts/test.sh has no format_check phase"):
        return shown
    version = project_version()
    with tempfile.TemporaryDirectory() as work:
        clone = os.path.join(work, "workspace")
        # A copy of the repository, not hard links into it: the ownership
        # changes below must not reach this checkout. In the CI's container
        # this checkout is itself another user's, marked safe by its path
        # alone, while the reader a clone starts (upload-pack) asks about
        # its .git folder, and takes no -c of the cloning command: it gets
        # its own.
        source = os.path.realpath(ROOT)
        reader = f"git -c safe.directory={shlex.quote(source + '/.git')} upload-pack"
        subprocess.run(["git", "clone", "-q", "--depth", "1", f"--upload-pack={reader}", f"file://{source}", clone],
                       check=True)
        subprocess.run(["chown", "-R", f"{RUNNER_UID}:{RUNNER_UID}", clone], check=True)
        # Nothing outside may mark it safe: no global or system config and
        # no configuration through the environment.
        base = {k: v for k, v in os.environ.items()
                if not k.startswith(("GIT_", "GITHUB_", "XDG_CONFIG")) and k != "HOME"}
        base.update(GIT_CONFIG_NOSYSTEM="1", GITHUB_WORKSPACE=clone, GITHUB_REF_NAME=f"v{version}")
        for name, job_name, steps, tests in git_jobs(read_workflows(folder)):
            where = f"{name}'s {job_name} job"
            probes = [("git rev-parse --show-toplevel", lambda status, out: status == 0 and out.strip() == clone),
                      ("git log -1 --format=%ct", lambda status, out: status == 0 and out.strip().isdigit())]
            if tests:
                probes.append((fmt, lambda status, out: status == 0))
            for fixed in (True, False):
                home = tempfile.mkdtemp(dir=work)
                env = dict(base, HOME=home)
                ran = [s for s in steps if fixed or not runs_exactly(SAFE_STEP)(s)]
                label = f"{where}{'' if fixed else ' without its safe.directory step'}"
                for step in ran:
                    status, output = run_step(step, env, cwd=clone)
                    failures.expect(status == 0, f"{label}: step {step.get('name', step['run'])!r} failed "
                                                 f"(status {status}): {output.strip()}")
                for command, passed in probes:
                    status, output = run_step({"run": command}, env, cwd=clone)
                    first = next((line for line in output.splitlines() if line.strip()), "")
                    shown.append(f"{label}: {command}: status {status}: {first}")
                    if fixed:
                        failures.expect(passed(status, output),
                                        f"{label}: {command} failed (status {status}): {output.strip()[-400:]}")
                    elif command.startswith("git "):
                        failures.expect(status == 128 and "dubious ownership" in output,
                                        f"{label}: {command} did not meet the dubious ownership it should "
                                        f"(status {status}): {output.strip()}")
                    else:
                        failures.expect(status != 0, f"{label}: {command} passed, though git refuses the clone")
        failures.expect(shown, "no container job of the workflows installs git and checks out")
    return shown


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=["structure", "steps", "foreign-owner"])
    parser.add_argument("--version", help="the project's version, for steps")
    parser.add_argument("--workflows", default=WORKFLOWS, help="the folder of the workflows (this tree's by default)")
    args = parser.parse_args(argv)
    failures = Failures()
    if args.what == "structure":
        workflows = read_workflows(args.workflows)
        refused = check_spoilt_copies(failures, read_workflows()) if args.workflows == WORKFLOWS else 0
        check_structure(failures, workflows)
        done = f"the workflows do what they are for; the checks refuse all {refused} spoilt copies of them"
    elif args.what == "steps":
        if not args.version:
            parser.error("steps needs --version")
        check_steps(failures, args.version)
        done = (f"the tag check takes v{args.version} and refuses others; the notes are CHANGELOG.md's section; "
                "the release step passes the signing roots as a file")
    else:
        for line in check_foreign_owner(failures, args.workflows):
            print(line)
        done = ("in a clone owned by another user, each job's steps let git and the format check work, "
                "and without its safe.directory step git refuses the clone")
    for f in failures:
        print(f)
    if not failures:
        print(done)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
