#!/usr/bin/env python3
"""Makes releases of the built winrepair.exe the way scripts/make_release.py
does for maintainers, and checks them: unsigned without a certificate;
signed with SHA-256 by a throwaway code-signing certificate made here with
openssl, given as PKCS#12 or as PEM files; the signature verifies against
the throwaway root and no other; any changed byte breaks it; the password
never reaches a command line; SHA256SUMS matches what is shipped; the
signed file still passes every executable check. Leaves a copy of the
signed executable for the end-to-end run under Wine.

Prints one line per problem and exits with 1 if there is any."""

import argparse
import os
import secrets
import shutil
import stat
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "resources"))
import check_exe  # noqa: E402

MAKE_RELEASE = os.path.join(HERE, "..", "..", "scripts", "make_release.py")


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


def make_release(exe, out_dir, version, env):
    return run([sys.executable, MAKE_RELEASE, "--exe", exe, "--out-dir", out_dir, "--version", version],
               env=env)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def verify(exe, root_cert):
    return run(["osslsigncode", "verify", "-in", exe, "-CAfile", root_cert])


def sums_match(out_dir):
    status, output = run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=out_dir)
    return status == 0 and output.strip() == "winrepair.exe: OK", output.strip()


def section_offset(data, name):
    pe = check_exe.load(data)
    section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == name)
    return section.PointerToRawData + section.SizeOfRawData // 2


def check_unsigned(failures, args, work, unsigned):
    out_dir = os.path.join(work, "unsigned")
    status, output = make_release(args.exe, out_dir, args.version, release_env(work, {}))
    if not failures.expect(status == 0, f"unsigned release failed: {output}"):
        return
    failures.expect("UNSIGNED" in output, f"an unsigned release does not say so: {output!r}")
    released = os.path.join(out_dir, "winrepair.exe")
    failures.expect(read(released) == unsigned, "the unsigned release differs from the built executable")
    ok, shown = sums_match(out_dir)
    failures.expect(ok, f"unsigned release: sha256sum -c says {shown!r}")
    failures.expect(sorted(os.listdir(out_dir)) == ["SHA256SUMS", "winrepair.exe"],
                    f"unsigned release folder holds {sorted(os.listdir(out_dir))}")
    status, _ = verify(released, args.root_cert)
    failures.expect(status != 0, "osslsigncode verify accepts the unsigned executable")


def check_signed(failures, args, work, unsigned, name, signing, password):
    out_dir = os.path.join(work, name)
    env = release_env(work, signing)
    log = env["ARGUMENT_LOG"]
    if os.path.exists(log):
        os.remove(log)
    status, output = make_release(args.exe, out_dir, args.version, env)
    if not failures.expect(status == 0, f"{name}: signing failed: {output}"):
        return None
    failures.expect("signed (Authenticode, SHA-256)" in output, f"{name}: release does not say it is signed")
    released = os.path.join(out_dir, "winrepair.exe")
    signed = read(released)
    logged = open(log, encoding="utf-8").read() if os.path.exists(log) else ""
    failures.expect("sign\n" in logged, f"{name}: osslsigncode was not asked to sign")
    failures.expect(password not in logged, f"{name}: the password was on osslsigncode's command line")
    failures.expect("-ts\n" not in logged and "-t\n" not in logged,
                    f"{name}: a timestamp was asked for though none was configured")
    failures.expect(sorted(os.listdir(out_dir)) == ["SHA256SUMS", "winrepair.exe"],
                    f"{name}: release folder holds {sorted(os.listdir(out_dir))}")
    ok, shown = sums_match(out_dir)
    failures.expect(ok, f"{name}: sha256sum -c says {shown!r}")

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
                               args.web_address, args.version)
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
        status, output = make_release(args.exe, out_dir, args.version, env)
        failures.expect(status != 0, f"{name}: signing failed, yet the release was made")
        left = sorted(os.listdir(out_dir)) if os.path.isdir(out_dir) else []
        failures.expect(left == [], f"{name}: the failed signing left {left} behind")
        if logged_arguments:
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
    ]
    signed = None
    for name, signing in forms:
        result = check_signed(failures, args, work, unsigned, name, signing, password)
        signed = signed or result
    if signed:
        check_tampering(failures, args, work, signed)
        os.makedirs(os.path.dirname(os.path.abspath(args.signed_copy)), exist_ok=True)
        with open(args.signed_copy, "wb") as f:
            f.write(signed)
    check_failed_signing(failures, args, work, signer, password_file)

    for f in failures:
        print(f)
    if not failures:
        shutil.rmtree(keys)
        print(f"releases as expected; signed executable ({len(signed)} bytes) left at {args.signed_copy}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
