#!/usr/bin/env python3
"""Makes releases of the built winrepair.exe the way scripts/release/make_release.py
does for maintainers, and checks them: unsigned without a certificate;
signed with SHA-256 by a throwaway code-signing certificate made here with
openssl, given as PKCS#12 or as PEM files; the signature verifies against
the throwaway root and no other; any changed byte breaks it; the password
never reaches a command line; timestamped by a throwaway RFC 3161 service
this test runs on 127.0.0.1 (timestamp_service.py), the timestamp valid
against that service's root and no other; a service that does not answer
fails the release on one line and leaves nothing. The release verifies its
signature before it releases anything, against the roots of
WINREPAIR_SIGN_CA_FILE or Debian's bundle: a signer or a time-stamping
service whose root is not among them, and a spoiled timestamp token, fail
it on one line and leave nothing. Every release holds LICENSE, the notices
and the bill of materials beside the executable, and SHA256SUMS matches all
of what is shipped; the bill of materials names the executable as shipped,
its supplier and authors, the packages of the notices with every version
dpkg-query's and every licence an SPDX expression, and is dated with the
commit's time (SOURCE_DATE_EPOCH, else git's; without either the release
fails on one line); the signed and the timestamped file still pass every
executable check, the size limit among them. Leaves a copy of the signed,
timestamped executable for the end-to-end run under Wine.

Runs the osslsigncode on PATH, or with --debian-osslsigncode Debian 12's
own, 2.5-4, as scripts/release/debian_osslsigncode.sh puts it beside the installed
one: the CI containers have that one, maintainers' machines may have a
newer one from backports, and the two print their verification
differently.

Prints one line per problem and exits with 1 if there is any."""

import argparse
import base64
import contextlib
import datetime
import hashlib
import json
import os
import re
import secrets
import shutil
import socket
import stat
import subprocess
import sys
import urllib.parse
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "resources"))
import check_exe  # noqa: E402
import package_versions  # noqa: E402
import text_form  # noqa: E402
import timestamp_service  # noqa: E402

MAKE_RELEASE = os.path.join(HERE, "..", "..", "..", "scripts", "release", "make_release.py")
RELEASE_FILES = ["LICENSE", "SHA256SUMS", "THIRD-PARTY-NOTICES.txt", "winrepair.cdx.json", "winrepair.exe"]
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
# The osslsigncode every step runs: PATH's, or Debian 12's own (--debian-osslsigncode).
OSSLSIGNCODE = "osslsigncode"
SIGNATURE_OK = "Signature verification: ok"
TIMESTAMP_OK = "Timestamp Server Signature verification: ok"
# How osslsigncode 2.9 and 2.5 show the timestamp's time and its service's
# issuer: "Timestamp time: ..." and "Issuer: ..." under "Countersignatures:"
# (2.9); "The signature is timestamped: ..." and "Issuer : ..." under
# "Timestamp Verified by:" (2.5).
TIMESTAMP_TIME = re.compile(r"^\s*(?:Timestamp time|The signature is timestamped): (.+)$", re.MULTILINE)
TIMESTAMP_ISSUER = re.compile(r"^(?:Countersignatures|Timestamp Verified by):\n(?:\s+.*\n)*?\s+Issuer ?: (.+)$",
                              re.MULTILINE)


def lines_of(report):
    return [line.strip() for line in report.splitlines()]


def run(command, env=None, cwd=None):
    result = subprocess.run(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return result.returncode, result.stdout


class Failures(list):
    def expect(self, condition, text):
        if not condition:
            self.append(text)
        return condition


# --- throwaway certificates --------------------------------------------------

def openssl(*arguments, env=None):
    status, output = run(["openssl", *arguments], env=env)
    if status != 0:
        raise RuntimeError(f"openssl {arguments[0]} failed: {output.strip()}")


def make_root(directory, name):
    """A self-signed root: (certificate, key) paths."""
    cert, key = os.path.join(directory, name + ".pem"), os.path.join(directory, name + ".key")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-sha256", "-days", "2", "-nodes",
            "-keyout", key, "-out", cert, "-subj", f"/CN=throwaway {name}",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign")
    return cert, key


def make_signer(directory, root_cert, root_key, password):
    """A code-signing certificate issued by the root, its key encrypted with
    the password (handed to openssl through the environment), and both in a
    PKCS#12 file too."""
    env = dict(os.environ, THROWAWAY_PASSWORD=password)
    key = os.path.join(directory, "signer.key")
    csr = os.path.join(directory, "signer.csr")
    cert = os.path.join(directory, "signer.pem")
    extensions = os.path.join(directory, "signer.ext")
    with open(extensions, "w", encoding="ascii") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=codeSigning\n")
    openssl("req", "-newkey", "rsa:2048", "-sha256", "-keyout", key,
            "-passout", "env:THROWAWAY_PASSWORD", "-out", csr, "-subj", "/CN=throwaway publisher",
            env=env)
    openssl("x509", "-req", "-in", csr, "-CA", root_cert, "-CAkey", root_key, "-set_serial", "2",
            "-days", "2", "-sha256", "-extfile", extensions, "-out", cert)
    chain = os.path.join(directory, "chain.pem")
    with open(chain, "w", encoding="ascii") as out:
        for part in (cert, root_cert):
            with open(part, encoding="ascii") as f:
                out.write(f.read())
    pkcs12 = os.path.join(directory, "signer.p12")
    openssl("pkcs12", "-export", "-inkey", key, "-passin", "env:THROWAWAY_PASSWORD",
            "-in", cert, "-certfile", root_cert, "-out", pkcs12, "-passout", "env:THROWAWAY_PASSWORD",
            env=env)
    return {"pkcs12": pkcs12, "chain": chain, "key": key}


# --- releases ------------------------------------------------------------------

def release_env(work, signing):
    """The environment without any signing variable of the caller's, plus
    `signing`, with an osslsigncode first on PATH that logs its arguments."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("WINREPAIR_SIGN_")}
    env.update(signing)
    wrapper_dir = os.path.join(work, "bin")
    os.makedirs(wrapper_dir, exist_ok=True)
    wrapper = os.path.join(wrapper_dir, "osslsigncode")
    real = shutil.which(OSSLSIGNCODE)
    with open(wrapper, "w", encoding="ascii") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$@" >>"$ARGUMENT_LOG"\nexec "{real}" "$@"\n')
    os.chmod(wrapper, 0o755)
    env["PATH"] = wrapper_dir + os.pathsep + env.get("PATH", "")
    env["ARGUMENT_LOG"] = os.path.join(work, "osslsigncode-arguments.log")
    return env


def make_release(args, out_dir, env):
    """(exit status, output) of scripts/release/make_release.py."""
    return run([sys.executable, MAKE_RELEASE, "--exe", args.exe, "--out-dir", out_dir, "--version", args.version,
                "--license", args.license, "--notices", args.notices, "--packages", args.packages,
                "--publisher-text-file", args.publisher_text_file], env=env)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def verify(exe, root_cert, tsa_root=None):
    return run([OSSLSIGNCODE, "verify", "-in", exe, "-CAfile", root_cert]
               + (["-TSA-CAfile", tsa_root] if tsa_root else []))


def roots(work, name, *certificates):
    """A PEM file of the given roots, as WINREPAIR_SIGN_CA_FILE names one."""
    path = os.path.join(work, name + ".pem")
    with open(path, "w", encoding="ascii") as out:
        for certificate in certificates:
            with open(certificate, encoding="ascii") as f:
                out.write(f.read())
    return path


def sums_match(out_dir):
    status, output = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=out_dir)
    expected = "\n".join(f"{name}: OK" for name in RELEASE_FILES if name != "SHA256SUMS")
    return status == 0 and output.strip() == expected, output.strip()


def check_contents(failures, args, name, out_dir):
    """What every release holds beside the executable, and what its bill of
    materials says of it."""
    held = sorted(os.listdir(out_dir))
    if not failures.expect(held == RELEASE_FILES, f"{name}: release folder holds {held}"):
        return
    ok, shown = sums_match(out_dir)
    failures.expect(ok, f"{name}: sha256sum -c says {shown!r}")
    sums = read(os.path.join(out_dir, "SHA256SUMS"))
    failures.expect(sums.count(b"\r\n") == sums.count(b"\n") == len(RELEASE_FILES) - 1,
                    f"{name}: SHA256SUMS does not end each of its lines in CR LF: {sums!r}")
    for shipped, source in (("LICENSE", args.license), ("THIRD-PARTY-NOTICES.txt", args.notices)):
        path = os.path.join(out_dir, shipped)
        for problem in text_form.problems(f"{name}: {shipped}", read(path), read(source).decode("utf-8"), path):
            failures.append(problem)
    with open(os.path.join(out_dir, "winrepair.cdx.json"), encoding="utf-8") as f:
        bom = json.load(f)
    with open(args.packages, encoding="utf-8") as f:
        packages = json.load(f)
    check_bom(failures, args, name, bom, packages)
    with open(os.path.join(out_dir, "THIRD-PARTY-NOTICES.txt"), encoding="utf-8-sig") as f:
        notices = f.read()
    for problem in package_versions.problems(notices, bom):
        failures.append(f"{name}: {problem}")
    exe = bom.get("metadata", {}).get("component", {})
    shipped_sha = hashlib.sha256(read(os.path.join(out_dir, "winrepair.exe"))).hexdigest()
    failures.expect(exe.get("name") == "winrepair.exe" and exe.get("version") == args.version,
                    f"{name}: the bill of materials names {exe.get('name')} {exe.get('version')}")
    failures.expect(exe.get("hashes") == [{"alg": "SHA-256", "content": shipped_sha}],
                    f"{name}: the bill of materials' hash {exe.get('hashes')} is not the shipped file's {shipped_sha}")
    failures.expect(exe.get("licenses") == [{"expression": "MIT"}],
                    f"{name}: the bill of materials gives winrepair.exe the licence {exe.get('licenses')}")
    listed = sorted((c.get("name"), c.get("version"), c.get("purl"), json.dumps(c.get("licenses")))
                    for c in bom.get("components", []))
    wanted = sorted((p["name"], p["version"], p["purl"], json.dumps([{"expression": p["licence"]["expression"]}]))
                    for p in packages)
    failures.expect(listed == wanted and wanted,
                    f"{name}: the bill of materials lists {listed}, the notices {wanted}")


def debian_release():
    """"debian-12", as this system's os-release gives it."""
    with open("/etc/os-release", encoding="utf-8") as f:
        values = dict(line.strip().split("=", 1) for line in f if "=" in line)
    return f"{values['ID'].strip(chr(34))}-{values['VERSION_ID'].strip(chr(34))}"


def check_bom(failures, args, name, bom, packages):
    """What tools read of the bill of materials beyond its schema."""
    tools = bom.get("metadata", {}).get("tools", {}).get("components", [])
    failures.expect([t.get("name") for t in tools] == ["make_sbom.py"] and tools[0].get("version") == args.version,
                    f"{name}: the bill of materials names its tools as {tools}")
    exe = bom.get("metadata", {}).get("component", {})
    publisher = check_exe.read_publisher_text(args.publisher_text_file)
    failures.expect(exe.get("supplier", {}).get("name") == publisher,
                    f"{name}: the executable's supplier is {exe.get('supplier')}, not {publisher}")
    failures.expect(exe.get("purl") == f"pkg:generic/winrepair@{args.version}",
                    f"{name}: the executable's package URL is {exe.get('purl')}")
    metadata = bom.get("metadata", {})
    supplier = {"name": publisher, "url": [f"https://{publisher}/"]}
    authors = check_exe.read_legal_copyright(args.license).split(". ")[0].split(" ", 3)[3]
    failures.expect(metadata.get("supplier") == supplier and exe.get("supplier") == supplier,
                    f"{name}: the suppliers are {metadata.get('supplier')} (document) and {exe.get('supplier')} "
                    f"(executable), not {supplier}")
    failures.expect(metadata.get("authors") == [{"name": authors}] and exe.get("author") == authors,
                    f"{name}: the authors are {metadata.get('authors')} (document) and {exe.get('author')!r} "
                    f"(executable), not LICENSE's {authors!r}")
    failures.expect(metadata.get("timestamp") == args.commit_time,
                    f"{name}: the bill of materials is dated {metadata.get('timestamp')}, not the commit's "
                    f"{args.commit_time}")
    distro = f"distro={debian_release()}"
    for component in bom.get("components", []):
        failures.expect(component.get("purl", "").endswith("&" + distro),
                        f"{name}: {component.get('name')}'s package URL {component.get('purl')} lacks {distro}")
        # Canonical: every character but the unreserved ones percent-encoded.
        encoded = urllib.parse.quote(component.get("version", ""), safe="")
        failures.expect(f"/{component.get('name')}@{encoded}?" in component.get("purl", ""),
                        f"{name}: {component.get('name')}'s package URL {component.get('purl')} does not give the "
                        f"version as {encoded}")
        expression = (component.get("licenses") or [{}])[0].get("expression", "")
        named = {e["license"].get("name"): e["license"].get("text", {}).get("content")
                 for e in component.get("evidence", {}).get("licenses", []) if "name" in e["license"]}
        for ref in sorted({w.strip("()") for w in expression.split() if w.strip("()").startswith("LicenseRef-")}):
            failures.expect(named.get(ref), f"{name}: {component.get('name')}'s {ref} has no text")
    content = json.dumps({k: v for k, v in bom.items() if k != "serialNumber"}, sort_keys=True,
                         separators=(",", ":"), ensure_ascii=False)
    wanted = f"urn:uuid:{uuid.uuid5(uuid.NAMESPACE_URL, 'winrepair-bom:' + content)}"
    failures.expect(bom.get("serialNumber") == wanted,
                    f"{name}: the serial number {bom.get('serialNumber')} is not the UUID v5 of the content, {wanted}")


def section_offset(data, name):
    pe = check_exe.load(data)
    section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == name)
    return section.PointerToRawData + section.SizeOfRawData // 2


def check_unsigned(failures, args, work, unsigned):
    out_dir = os.path.join(work, "unsigned")
    # As a CI passes secrets that are not set: empty.
    empty = {v: "" for v in ("WINREPAIR_SIGN_PKCS12_BASE64", "WINREPAIR_SIGN_PASSWORD", "WINREPAIR_SIGN_TIMESTAMP_URL")}
    status, output = make_release(args, out_dir, release_env(work, empty))
    if not failures.expect(status == 0, f"unsigned release failed: {output}"):
        return
    failures.expect("UNSIGNED" in output, f"an unsigned release does not say so: {output!r}")
    released = os.path.join(out_dir, "winrepair.exe")
    failures.expect(read(released) == unsigned, "the unsigned release differs from the built executable")
    check_contents(failures, args, "unsigned", out_dir)
    status, _ = verify(released, args.root_cert)
    failures.expect(status != 0, "osslsigncode verify accepts the unsigned executable")


def check_signed(failures, args, work, unsigned, name, signing, password):
    out_dir = os.path.join(work, name)
    env = release_env(work, signing)
    log = env["ARGUMENT_LOG"]
    if os.path.exists(log):
        os.remove(log)
    status, output = make_release(args, out_dir, env)
    if not failures.expect(status == 0, f"{name}: signing failed: {output}"):
        return None
    failures.expect("signed (Authenticode, SHA-256)" in output, f"{name}: release does not say it is signed")
    released = os.path.join(out_dir, "winrepair.exe")
    signed = read(released)
    logged = open(log, encoding="utf-8").read() if os.path.exists(log) else ""
    failures.expect("sign\n" in logged, f"{name}: osslsigncode was not asked to sign")
    failures.expect(password not in logged, f"{name}: the password was on osslsigncode's command line")
    for secret in signing.get("WINREPAIR_SIGN_PKCS12_BASE64", "").split():
        failures.expect(secret[:64] not in logged, f"{name}: the certificate was on osslsigncode's command line")
    failures.expect("-ts\n" not in logged and "-t\n" not in logged,
                    f"{name}: a timestamp was asked for though none was configured")
    check_contents(failures, args, name, out_dir)

    status, report = verify(released, args.root_cert)
    failures.expect(status == 0 and SIGNATURE_OK in lines_of(report),
                    f"{name}: the signature does not verify against the throwaway root:\n{report}")
    failures.expect("Message digest algorithm  : SHA256" in report, f"{name}: the digest is not SHA-256")
    failures.expect("Subject: /CN=throwaway publisher" in report, f"{name}: signed by someone else")

    # Signing adds the signature and nothing else.
    stripped = os.path.join(work, name + "-stripped.exe")
    status, output = run([OSSLSIGNCODE, "remove-signature", "-in", released, "-out", stripped])
    failures.expect(status == 0 and read(stripped) == unsigned,
                    f"{name}: without its signature the release differs from the built executable")

    problems = check_exe.check(signed, check_exe.read_publisher_text(args.publisher_text_file),
                               args.web_address, args.version, check_exe.read_legal_copyright(args.license))
    failures.expect(not problems, f"{name}: the signed executable fails the executable checks: {problems}")
    return signed


def check_tampering(failures, args, work, signed):
    pe = check_exe.load(signed)
    cases = [
        ("a byte of code", section_offset(signed, b".text")),
        ("a byte of the icon", section_offset(signed, b".rsrc")),
        ("the subsystem field", pe.OPTIONAL_HEADER.get_field_absolute_offset("Subsystem")),
    ]
    for name, offset in cases:
        changed = bytearray(signed)
        changed[offset] ^= 0x01
        path = os.path.join(work, "tampered.exe")
        with open(path, "wb") as f:
            f.write(changed)
        status, report = verify(path, args.root_cert)
        failures.expect(status != 0, f"changing {name} (offset 0x{offset:x}) leaves the signature valid")
    path = os.path.join(work, "signed.exe")
    with open(path, "wb") as f:
        f.write(signed)
    status, _ = verify(path, args.other_root_cert)
    failures.expect(status != 0, "the signature verifies against a root that did not issue the signer")


def check_timestamped(failures, args, work, unsigned, signer, password_file):
    """Signs with a timestamp from the throwaway service, started here and
    stopped again; returns the timestamped executable's bytes."""
    out_dir = os.path.join(work, "timestamped")
    with timestamp_service.TimestampService(os.path.join(work, "tsa")) as service:
        url = service.url
        env = release_env(work, {"WINREPAIR_SIGN_PKCS12": signer["pkcs12"],
                                 "WINREPAIR_SIGN_PASSWORD_FILE": password_file,
                                 "WINREPAIR_SIGN_TIMESTAMP_URL": url,
                                 "WINREPAIR_SIGN_CA_FILE": roots(work, "both-roots", args.root_cert,
                                                                 service.ca_cert)})
        status, output = make_release(args, out_dir, env)
        answered = service.requests
    tsa_root = service.ca_cert
    with socket.socket() as probe:
        still_there = probe.connect_ex(("127.0.0.1", int(url.rsplit(":", 1)[1].strip("/")))) == 0
    failures.expect(not still_there, f"the time-stamping service still answers at {url} after the test")
    if not failures.expect(status == 0, f"timestamped: the release failed: {output}"):
        return None
    failures.expect(answered >= 1, "timestamped: the time-stamping service was never asked")
    failures.expect(f"timestamped by {url}" in output, f"timestamped: the release does not say so: {output!r}")
    check_contents(failures, args, "timestamped", out_dir)
    released = os.path.join(out_dir, "winrepair.exe")
    stamped = read(released)

    status, report = verify(released, args.root_cert, tsa_root)
    time = TIMESTAMP_TIME.search(report)
    issuer = TIMESTAMP_ISSUER.search(report)
    args.timestamp_lines = [f"timestamped {time and time.group(1).strip()} by a service issued by "
                            f"{issuer and issuer.group(1).strip()}", TIMESTAMP_OK, SIGNATURE_OK]
    failures.expect(status == 0 and SIGNATURE_OK in lines_of(report) and TIMESTAMP_OK in lines_of(report)
                    and time and issuer and issuer.group(1).strip() == "/CN=throwaway timestamp root",
                    f"timestamped: osslsigncode verify does not show a valid timestamp:\n{report}")
    # The same timestamp checked against a root that did not issue the
    # service's certificate: the check above means something only if this fails.
    _, report = verify(released, args.root_cert, args.other_root_cert)
    failures.expect(TIMESTAMP_OK not in lines_of(report),
                    "timestamped: the timestamp verifies against a root that did not issue the service's certificate")

    stripped = os.path.join(work, "timestamped-stripped.exe")
    status, _ = run([OSSLSIGNCODE, "remove-signature", "-in", released, "-out", stripped])
    failures.expect(status == 0 and read(stripped) == unsigned,
                    "timestamped: without its signature the release differs from the built executable")
    problems = check_exe.check(stamped, check_exe.read_publisher_text(args.publisher_text_file),
                               args.web_address, args.version, check_exe.read_legal_copyright(args.license))
    failures.expect(not problems, f"timestamped: the executable fails the executable checks: {problems}")
    return stamped


def check_failed_signing(failures, args, work, signer, password_file):
    """Signing that cannot succeed, or whose signature or timestamp does not
    verify against the trusted roots, fails the release on one line and
    leaves nothing."""
    base = {"WINREPAIR_SIGN_PKCS12": signer["pkcs12"], "WINREPAIR_SIGN_PASSWORD_FILE": password_file}
    signer_only = roots(work, "signer-root", args.root_cert)
    # (name, signing, the time-stamping service to run: None, "plain" or
    # "spoiled", words the line must hold, arguments osslsigncode must have had)
    cases = [
        ("a wrong password", {"WINREPAIR_SIGN_PKCS12": signer["pkcs12"],
                              "WINREPAIR_SIGN_PASSWORD": "not the password"}, None, [], None),
        # Nothing listens on the discard port, so this fails at once, offline.
        ("an unreachable timestamp service", dict(base, WINREPAIR_SIGN_TIMESTAMP_URL="http://127.0.0.1:9/"), None,
         ["no timestamp from the time-stamping service at http://127.0.0.1:9/"], "-ts\nhttp://127.0.0.1:9/\n"),
        # No roots given: Debian's bundle, which has no throwaway root.
        ("a signer whose root is not trusted", base, None,
         ["the signature does not verify against the roots in /etc/ssl/certs/ca-certificates.crt",
          "WINREPAIR_SIGN_CA_FILE"], "verify\n"),
        ("a timestamp whose root is not given", dict(base, WINREPAIR_SIGN_CA_FILE=signer_only), "plain",
         [f"the timestamp does not verify against the roots in {signer_only}",
          '"Timestamp Server Signature verification: failed"'], "verify\n"),
        ("a spoiled timestamp token", base, "spoiled",
         ["the timestamp does not verify against the roots in", '"Timestamp Server Signature verification: failed"'],
         "verify\n"),
    ]
    for name, signing, service_kind, words, logged_arguments in cases:
        out_dir = os.path.join(work, "failed")
        with contextlib.ExitStack() as running:
            if service_kind:
                service = running.enter_context(timestamp_service.TimestampService(
                    os.path.join(work, "tsa-" + service_kind), spoil=service_kind == "spoiled"))
                signing = dict(signing, WINREPAIR_SIGN_TIMESTAMP_URL=service.url)
                if service_kind == "spoiled":
                    signing["WINREPAIR_SIGN_CA_FILE"] = roots(work, "spoiled-roots", args.root_cert, service.ca_cert)
            env = release_env(work, signing)
            if os.path.exists(env["ARGUMENT_LOG"]):
                os.remove(env["ARGUMENT_LOG"])
            status, output = make_release(args, out_dir, env)
        failures.expect(status != 0, f"{name}: signing failed, yet the release was made")
        left = sorted(os.listdir(out_dir)) if os.path.isdir(out_dir) else []
        failures.expect(left == [], f"{name}: the failed signing left {left} behind")
        failures.expect(len(output.strip().splitlines()) == 1 and output.startswith("make_release: "),
                        f"{name}: the failure is not one line saying why: {output!r}")
        for word in words:
            failures.expect(word in output, f"{name}: the failure does not say {word!r}: {output!r}")
        if logged_arguments == "verify\n":
            args.refusals.append(f"{name}: {output.strip()}")
        if logged_arguments:
            with open(env["ARGUMENT_LOG"], encoding="utf-8") as f:
                failures.expect(logged_arguments in f.read(), f"{name}: osslsigncode was not asked for it")


def commit_time():
    """The commit's time as the bill of materials must give it."""
    seconds = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "-C", ROOT, "log", "-1", "--format=%ct"], stdout=subprocess.PIPE, text=True, check=True).stdout
    return datetime.datetime.fromtimestamp(int(seconds), datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def check_dates(failures, args, work):
    """Without git, SOURCE_DATE_EPOCH dates the bill of materials; without
    either the release fails on one line."""
    no_git = os.path.join(work, "no-git")
    os.makedirs(no_git, exist_ok=True)
    env = release_env(work, {})
    env.pop("SOURCE_DATE_EPOCH", None)
    # git finds no repository where GIT_DIR points at an empty folder.
    env["GIT_DIR"] = no_git
    out_dir = os.path.join(work, "undated")
    status, output = make_release(args, out_dir, env)
    left = sorted(os.listdir(out_dir)) if os.path.isdir(out_dir) else []
    failures.expect(status != 0 and len(output.strip().splitlines()) == 1
                    and output.startswith("make_release: no time for the bill of materials: SOURCE_DATE_EPOCH")
                    and not left, f"without git or SOURCE_DATE_EPOCH: status {status}, {output!r}, left {left}")
    out_dir = os.path.join(work, "dated")
    status, output = make_release(args, out_dir, dict(env, SOURCE_DATE_EPOCH="1700000000"))
    if failures.expect(status == 0, f"with SOURCE_DATE_EPOCH and without git the release failed: {output}"):
        with open(os.path.join(out_dir, "winrepair.cdx.json"), encoding="utf-8") as f:
            dated = json.load(f).get("metadata", {}).get("timestamp")
        failures.expect(dated == "2023-11-14T22:13:20Z",
                        f"SOURCE_DATE_EPOCH=1700000000 dates the bill of materials {dated}")


def check_unexpected_packages(failures, args, work):
    """Packages the bill of materials cannot be made from stop the release
    on one line naming what is wrong, not in a traceback."""
    with open(args.packages, encoding="utf-8") as f:
        packages = json.load(f)
    without_version = [dict(packages[0], version="")] + packages[1:]
    cases = [
        ("a package without its version", json.dumps(without_version),
         f"package '{packages[0]['name']}' lacks version"),
        ("packages that are not JSON", "[{", "make_release: "),
        ("no packages", "[]", "no packages"),
    ]
    for name, text, expected in cases:
        path = os.path.join(work, "unexpected-packages.json")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        out_dir = os.path.join(work, "unexpected")
        status, output = make_release(argparse.Namespace(**dict(vars(args), packages=path)), out_dir,
                                      release_env(work, {}))
        left = sorted(os.listdir(out_dir)) if os.path.isdir(out_dir) else []
        failures.expect(status == 1 and len(output.strip().splitlines()) == 1 and output.startswith("make_release: ")
                        and expected in output and not left,
                        f"{name}: status {status}, {output.strip()!r}, left {left}")


def check_planted_versions(failures, out_dir):
    """The version check sees a version that is not the installed package's:
    the source package's, as dpkg-query gives it, written where the binary
    package's belongs."""
    with open(os.path.join(out_dir, "winrepair.cdx.json"), encoding="utf-8") as f:
        bom = json.load(f)
    component = next((c for c in bom.get("components", [])
                      if package_versions.installed_version(c.get("name", "")) != source_version(c.get("name", ""))),
                     None)
    if not failures.expect(component, "no package of the release has a source version apart from its own"):
        return
    installed, planted = component["version"], source_version(component["name"])
    with open(os.path.join(out_dir, "THIRD-PARTY-NOTICES.txt"), encoding="utf-8-sig") as f:
        notices = f.read().replace(f"{component['name']} {installed}", f"{component['name']} {planted}")
    component["version"] = planted
    component["purl"] = component["purl"].replace("@" + urllib.parse.quote(installed, safe=""),
                                                  "@" + urllib.parse.quote(planted, safe=""))
    shown = package_versions.problems(notices, bom)
    places = ("the notices' line", "the notices' heading", "the bill of materials' version", "the package URL")
    failures.expect(all(any(line.startswith(place) and f" {planted}, but " in line and line.endswith(installed)
                            for line in shown) for place in places),
                    f"with {component['name']}'s version {planted} planted in the notices and the bill of "
                    f"materials, the version check says {shown}")
    return next((line for line in shown if line.startswith("the bill of materials' version")), "")


def source_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f", "${source:Version}", package], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    return result.stdout.strip()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work-dir", required=True, help="emptied first; holds keys and releases")
    parser.add_argument("--signed-copy", help="where to leave the signed executable")
    parser.add_argument("--version", required=True)
    parser.add_argument("--publisher-text-file", required=True)
    parser.add_argument("--web-address", required=True)
    parser.add_argument("--license", required=True)
    parser.add_argument("--notices", required=True, help="the build's THIRD-PARTY-NOTICES.txt of winrepair.exe")
    parser.add_argument("--packages", required=True, help="the notices' packages as JSON")
    parser.add_argument("--debian-osslsigncode", action="store_true",
                        help="run Debian 12's own osslsigncode, not the one on PATH")
    args = parser.parse_args(argv)
    global OSSLSIGNCODE
    if args.debian_osslsigncode:
        status, shown = run(["bash", os.path.join(ROOT, "scripts", "release", "debian_osslsigncode.sh")])
        if status != 0:
            print(shown.strip())
            return 1
        OSSLSIGNCODE = shown.strip()
    else:
        OSSLSIGNCODE = shutil.which("osslsigncode")
    if not OSSLSIGNCODE:
        print("no osslsigncode on PATH: run scripts/install_deps.sh")
        return 1
    _, shown = run([OSSLSIGNCODE, "--version"])
    version = shown.split(",")[0].strip()
    args.commit_time = commit_time()
    args.refusals = []

    work = os.path.abspath(args.work_dir)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.chmod(work, stat.S_IRWXU)
    if args.signed_copy and os.path.exists(args.signed_copy):
        os.remove(args.signed_copy)
    unsigned = read(args.exe)

    password = "pw-" + secrets.token_hex(12)
    keys = os.path.join(work, "keys")
    os.makedirs(keys)
    args.root_cert, root_key = make_root(keys, "root")
    args.other_root_cert, _ = make_root(keys, "other-root")
    signer = make_signer(keys, args.root_cert, root_key, password)
    password_file = os.path.join(keys, "password")
    with open(password_file, "w", encoding="utf-8") as f:
        f.write(password + "\n")

    failures = Failures()
    check_unsigned(failures, args, work, unsigned)
    planted = None
    if os.path.isdir(os.path.join(work, "unsigned")):
        planted = check_planted_versions(failures, os.path.join(work, "unsigned"))
    check_dates(failures, args, work)
    check_unexpected_packages(failures, args, work)
    forms = [
        ("pkcs12-password-file", {"WINREPAIR_SIGN_PKCS12": signer["pkcs12"],
                                  "WINREPAIR_SIGN_PASSWORD_FILE": password_file}),
        ("pem-password-variable", {"WINREPAIR_SIGN_CERT": signer["chain"],
                                   "WINREPAIR_SIGN_KEY": signer["key"],
                                   "WINREPAIR_SIGN_PASSWORD": password}),
        # As the release workflow passes its secrets, line-wrapped as base64 often is.
        ("pkcs12-base64-variable", {"WINREPAIR_SIGN_PKCS12_BASE64": base64.encodebytes(read(signer["pkcs12"])).decode(),
                                    "WINREPAIR_SIGN_PASSWORD": password,
                                    "WINREPAIR_SIGN_TIMESTAMP_URL": ""}),
    ]
    signed = None
    trusted = roots(work, "trusted-root", args.root_cert)
    for name, signing in forms:
        signing = dict(signing, WINREPAIR_SIGN_CA_FILE=trusted)
        result = check_signed(failures, args, work, unsigned, name, signing, password)
        signed = signed or result
    if signed:
        check_tampering(failures, args, work, signed)
    stamped = check_timestamped(failures, args, work, unsigned, signer, password_file)
    if stamped and args.signed_copy:
        os.makedirs(os.path.dirname(os.path.abspath(args.signed_copy)), exist_ok=True)
        with open(args.signed_copy, "wb") as f:
            f.write(stamped)
    check_failed_signing(failures, args, work, signer, password_file)

    for f in failures:
        print(f"{version}: {f}")
    if not failures:
        shutil.rmtree(keys)
        print(f"with {version} ({OSSLSIGNCODE}):")
        for line in args.timestamp_lines:
            print(f"osslsigncode verify: {line}")
        for line in args.refusals:
            print(f"refused, {line}")
        print(f"a planted source version: {planted}")
        with open(os.path.join(work, "timestamped", "winrepair.cdx.json"), encoding="utf-8") as f:
            metadata = json.load(f)["metadata"]
        print(f"bill of materials: timestamp {metadata['timestamp']}, supplier {json.dumps(metadata['supplier'])}, "
              f"authors {json.dumps(metadata['authors'])}")
        image, table = check_exe.image_size(check_exe.load(stamped))
        print(f"releases as expected: image {image} bytes of the {check_exe.MAX_FILE_SIZE} allowed (the limit "
              f"leaves the certificate table out); signed {len(signed)} bytes, signed and timestamped "
              f"{len(stamped)} with its {table}-byte certificate table"
              + (f"; the signed, timestamped executable left at {args.signed_copy}" if args.signed_copy else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
