#!/usr/bin/env python3
"""Makes releases of the built winrepair.exe the way scripts/release/make_release.py
does for maintainers, and checks them: unsigned without a certificate;
signed with SHA-256 by a throwaway code-signing certificate made here with
openssl, given as PKCS#12 or as PEM files; the signature verifies against
the throwaway root and no other; any changed byte breaks it; the password
never reaches a command line; timestamped by a throwaway RFC 3161 service
this test runs on 127.0.0.1 (timestamp_service.py), the timestamp valid
against that service's root and no other; a service that does not answer
fails the release on one line and leaves nothing. Every release holds
LICENSE, the notices and the bill of materials beside the executable, and
SHA256SUMS matches all of what is shipped; the bill of materials names the
executable as shipped and the packages of the notices; the signed and the
timestamped file still pass every executable check, the size limit among
them. Leaves a copy of the signed, timestamped executable for the
end-to-end run under Wine.

Prints one line per problem and exits with 1 if there is any."""

import argparse
import base64
import hashlib
import json
import os
import secrets
import shutil
import socket
import stat
import subprocess
import sys
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "resources"))
import check_exe  # noqa: E402
import text_form  # noqa: E402
import timestamp_service  # noqa: E402

MAKE_RELEASE = os.path.join(HERE, "..", "..", "..", "scripts", "release", "make_release.py")
RELEASE_FILES = ["LICENSE", "SHA256SUMS", "THIRD-PARTY-NOTICES.txt", "winrepair.cdx.json", "winrepair.exe"]


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
    real = shutil.which("osslsigncode")
    with open(wrapper, "w", encoding="ascii") as f:
        f.write(f'#!/bin/sh\nprintf "%s\\n" "$@" >>"$ARGUMENT_LOG"\nexec "{real}" "$@"\n')
    os.chmod(wrapper, 0o755)
    env["PATH"] = wrapper_dir + os.pathsep + env.get("PATH", "")
    env["ARGUMENT_LOG"] = os.path.join(work, "osslsigncode-arguments.log")
    return env


def make_release(args, out_dir, env):
    return run([sys.executable, MAKE_RELEASE, "--exe", args.exe, "--out-dir", out_dir, "--version", args.version,
                "--license", args.license, "--notices", args.notices, "--packages", args.packages,
                "--publisher-text-file", args.publisher_text_file], env=env)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def verify(exe, root_cert):
    return run(["osslsigncode", "verify", "-in", exe, "-CAfile", root_cert])


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
    exe = bom.get("metadata", {}).get("component", {})
    shipped_sha = hashlib.sha256(read(os.path.join(out_dir, "winrepair.exe"))).hexdigest()
    failures.expect(exe.get("name") == "winrepair.exe" and exe.get("version") == args.version,
                    f"{name}: the bill of materials names {exe.get('name')} {exe.get('version')}")
    failures.expect(exe.get("hashes") == [{"alg": "SHA-256", "content": shipped_sha}],
                    f"{name}: the bill of materials' hash {exe.get('hashes')} is not the shipped file's {shipped_sha}")
    failures.expect(exe.get("licenses") == [{"license": {"id": "MIT"}}],
                    f"{name}: the bill of materials gives winrepair.exe the licence {exe.get('licenses')}")
    listed = sorted((c.get("name"), c.get("version"), c.get("purl")) for c in bom.get("components", []))
    wanted = sorted((p["name"], p["version"], p["purl"]) for p in packages)
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
    distro = f"distro={debian_release()}"
    for component in bom.get("components", []):
        failures.expect(component.get("purl", "").endswith("&" + distro),
                        f"{name}: {component.get('name')}'s package URL {component.get('purl')} lacks {distro}")
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
    failures.expect(status == 0 and "Signature verification: ok" in report,
                    f"{name}: the signature does not verify against the throwaway root:\n{report}")
    failures.expect("Message digest algorithm  : SHA256" in report, f"{name}: the digest is not SHA-256")
    failures.expect("Subject: /CN=throwaway publisher" in report, f"{name}: signed by someone else")

    # Signing adds the signature and nothing else.
    stripped = os.path.join(work, name + "-stripped.exe")
    status, output = run(["osslsigncode", "remove-signature", "-in", released, "-out", stripped])
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
                                 "WINREPAIR_SIGN_TIMESTAMP_URL": url})
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

    status, report = run(["osslsigncode", "verify", "-in", released, "-CAfile", args.root_cert,
                          "-TSA-CAfile", tsa_root])
    args.timestamp_lines = [line.strip() for line in report.splitlines()
                            if line.strip().startswith(("Timestamp time:", "Timestamp Server Signature verification:"))]
    failures.expect(status == 0 and "Signature verification: ok" in report
                    and "Timestamp Server Signature verification: ok" in report
                    and "Timestamp time:" in report and "Issuer: /CN=throwaway timestamp root" in report,
                    f"timestamped: osslsigncode verify does not show a valid timestamp:\n{report}")
    # The same timestamp checked against a root that did not issue the
    # service's certificate: the check above means something only if this fails.
    _, report = run(["osslsigncode", "verify", "-in", released, "-CAfile", args.root_cert,
                     "-TSA-CAfile", args.other_root_cert])
    failures.expect("Timestamp Server Signature verification: ok" not in report,
                    "timestamped: the timestamp verifies against a root that did not issue the service's certificate")

    stripped = os.path.join(work, "timestamped-stripped.exe")
    status, _ = run(["osslsigncode", "remove-signature", "-in", released, "-out", stripped])
    failures.expect(status == 0 and read(stripped) == unsigned,
                    "timestamped: without its signature the release differs from the built executable")
    problems = check_exe.check(stamped, check_exe.read_publisher_text(args.publisher_text_file),
                               args.web_address, args.version, check_exe.read_legal_copyright(args.license))
    failures.expect(not problems, f"timestamped: the executable fails the executable checks: {problems}")
    return stamped


def check_failed_signing(failures, args, work, signer, password_file):
    """Signing that cannot succeed fails the release and leaves nothing."""
    cases = [
        ("a wrong password", {"WINREPAIR_SIGN_PKCS12": signer["pkcs12"],
                              "WINREPAIR_SIGN_PASSWORD": "not the password"}, None),
        # Nothing listens on the discard port, so this fails at once, offline.
        ("an unreachable timestamp service", {"WINREPAIR_SIGN_PKCS12": signer["pkcs12"],
                                              "WINREPAIR_SIGN_PASSWORD_FILE": password_file,
                                              "WINREPAIR_SIGN_TIMESTAMP_URL": "http://127.0.0.1:9/"},
         "-ts\nhttp://127.0.0.1:9/\n"),
    ]
    for name, signing, logged_arguments in cases:
        out_dir = os.path.join(work, "failed")
        env = release_env(work, signing)
        if os.path.exists(env["ARGUMENT_LOG"]):
            os.remove(env["ARGUMENT_LOG"])
        status, output = make_release(args, out_dir, env)
        failures.expect(status != 0, f"{name}: signing failed, yet the release was made")
        left = sorted(os.listdir(out_dir)) if os.path.isdir(out_dir) else []
        failures.expect(left == [], f"{name}: the failed signing left {left} behind")
        failures.expect(len(output.strip().splitlines()) == 1 and output.startswith("make_release: "),
                        f"{name}: the failure is not one line saying why: {output!r}")
        if logged_arguments:
            failures.expect(f"no timestamp from the time-stamping service at {signing['WINREPAIR_SIGN_TIMESTAMP_URL']}"
                            in output, f"{name}: the failure does not name the time-stamping service: {output!r}")
            with open(env["ARGUMENT_LOG"], encoding="utf-8") as f:
                failures.expect(logged_arguments in f.read(), f"{name}: osslsigncode was not asked for it")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work-dir", required=True, help="emptied first; holds keys and releases")
    parser.add_argument("--signed-copy", required=True, help="where to leave the signed executable")
    parser.add_argument("--version", required=True)
    parser.add_argument("--publisher-text-file", required=True)
    parser.add_argument("--web-address", required=True)
    parser.add_argument("--license", required=True)
    parser.add_argument("--notices", required=True, help="the build's THIRD-PARTY-NOTICES.txt of winrepair.exe")
    parser.add_argument("--packages", required=True, help="the notices' packages as JSON")
    args = parser.parse_args(argv)

    work = os.path.abspath(args.work_dir)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.chmod(work, stat.S_IRWXU)
    if os.path.exists(args.signed_copy):
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
    for name, signing in forms:
        result = check_signed(failures, args, work, unsigned, name, signing, password)
        signed = signed or result
    if signed:
        check_tampering(failures, args, work, signed)
    stamped = check_timestamped(failures, args, work, unsigned, signer, password_file)
    if stamped:
        os.makedirs(os.path.dirname(os.path.abspath(args.signed_copy)), exist_ok=True)
        with open(args.signed_copy, "wb") as f:
            f.write(stamped)
    check_failed_signing(failures, args, work, signer, password_file)

    for f in failures:
        print(f)
    if not failures:
        shutil.rmtree(keys)
        for line in args.timestamp_lines:
            print(f"osslsigncode verify: {line}")
        image, table = check_exe.image_size(check_exe.load(stamped))
        print(f"releases as expected: image {image} bytes of the {check_exe.MAX_FILE_SIZE} allowed (the limit "
              f"leaves the certificate table out); signed {len(signed)} bytes, signed and timestamped "
              f"{len(stamped)} with its {table}-byte certificate table; the signed, timestamped executable left "
              f"at {args.signed_copy}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
