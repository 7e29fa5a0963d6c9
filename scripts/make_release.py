#!/usr/bin/env python3
"""Turns a built winrepair.exe into a release folder: the executable, signed
with Authenticode when a certificate is given, and SHA256SUMS for it.

The certificate and its password come from the environment, never from the
command line, where other users of the machine could read them:

  WINREPAIR_SIGN_PKCS12         a PKCS#12 file holding the key and certificates, or
  WINREPAIR_SIGN_CERT           a PEM certificate (chain) together with
  WINREPAIR_SIGN_KEY            its PEM private key;
  WINREPAIR_SIGN_PASSWORD_FILE  a file whose first line is the password, or
  WINREPAIR_SIGN_PASSWORD       the password itself (it goes to osslsigncode
                                through a private temporary file);
  WINREPAIR_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamping service; without it
                                the signature carries no timestamp.

Without a certificate the release is unsigned and says so."""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

SIGNING_VARIABLES = ("WINREPAIR_SIGN_PKCS12", "WINREPAIR_SIGN_CERT", "WINREPAIR_SIGN_KEY",
                     "WINREPAIR_SIGN_PASSWORD_FILE", "WINREPAIR_SIGN_PASSWORD",
                     "WINREPAIR_SIGN_TIMESTAMP_URL")
RELEASE_NAME = "winrepair.exe"


class ReleaseError(Exception):
    pass


def credential_arguments(env):
    """osslsigncode's arguments naming the key and certificates, or None
    when no certificate is given."""
    pkcs12, cert, key = (env.get(v) for v in ("WINREPAIR_SIGN_PKCS12", "WINREPAIR_SIGN_CERT",
                                                "WINREPAIR_SIGN_KEY"))
    if pkcs12 and (cert or key):
        raise ReleaseError("give WINREPAIR_SIGN_PKCS12 or WINREPAIR_SIGN_CERT with "
                           "WINREPAIR_SIGN_KEY, not both")
    if pkcs12:
        paths = [pkcs12]
        arguments = ["-pkcs12", pkcs12]
    elif cert or key:
        if not (cert and key):
            raise ReleaseError("WINREPAIR_SIGN_CERT and WINREPAIR_SIGN_KEY go together")
        paths = [cert, key]
        arguments = ["-certs", cert, "-key", key]
    else:
        return None
    for path in paths:
        if not os.path.isfile(path):
            raise ReleaseError(f"no such file: {path}")
    return arguments


def sign(unsigned, signed, env, description, work_dir):
    credentials = credential_arguments(env)
    if credentials is None:
        return False
    command = ["osslsigncode", "sign", *credentials, "-h", "sha256", "-n", description]
    password_file = env.get("WINREPAIR_SIGN_PASSWORD_FILE")
    if password_file and "WINREPAIR_SIGN_PASSWORD" in env:
        raise ReleaseError("give WINREPAIR_SIGN_PASSWORD_FILE or WINREPAIR_SIGN_PASSWORD, not both")
    if "WINREPAIR_SIGN_PASSWORD" in env:
        # Created readable by this user only, removed with work_dir.
        password_file = os.path.join(work_dir, "password")
        descriptor = os.open(password_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(descriptor, "w", encoding="utf-8") as f:
            f.write(env["WINREPAIR_SIGN_PASSWORD"] + "\n")
    if password_file:
        command += ["-readpass", password_file]
    if env.get("WINREPAIR_SIGN_TIMESTAMP_URL"):
        command += ["-ts", env["WINREPAIR_SIGN_TIMESTAMP_URL"]]
    command += ["-in", unsigned, "-out", signed]
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0 or not os.path.isfile(signed):
        raise ReleaseError(f"osslsigncode could not sign (exit status {result.returncode}):\n"
                           + result.stdout.strip())
    return True


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def make_release(exe, out_dir, version, env):
    """Writes out_dir/winrepair.exe and out_dir/SHA256SUMS; returns whether
    the executable was signed. Leaves no half-made release behind."""
    os.makedirs(out_dir, exist_ok=True)
    for name in (RELEASE_NAME, "SHA256SUMS"):
        if os.path.exists(os.path.join(out_dir, name)):
            os.remove(os.path.join(out_dir, name))
    with tempfile.TemporaryDirectory(prefix="release-", dir=out_dir) as work:
        os.chmod(work, 0o700)
        unsigned = os.path.join(work, "unsigned.exe")
        signed = os.path.join(work, "signed.exe")
        shutil.copyfile(exe, unsigned)
        was_signed = sign(unsigned, signed, env, f"winrepair {version}", work)
        release = os.path.join(out_dir, RELEASE_NAME)
        # The checksum is taken of the file as shipped, signature included.
        sums = f"{sha256(signed if was_signed else unsigned)}  {RELEASE_NAME}\n"
        with open(os.path.join(work, "SHA256SUMS"), "w", encoding="ascii", newline="\n") as f:
            f.write(sums)
        os.replace(signed if was_signed else unsigned, release)
        os.chmod(release, 0o755)
        os.replace(os.path.join(work, "SHA256SUMS"), os.path.join(out_dir, "SHA256SUMS"))
    return was_signed


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--exe", required=True, help="the built, unsigned winrepair.exe")
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--version", required=True, help="the project's version")
    args = parser.parse_args(argv)
    try:
        signed = make_release(args.exe, args.out_dir, args.version, os.environ)
    except (ReleaseError, OSError) as e:
        print(f"make_release: {e}", file=sys.stderr)
        return 1
    release = os.path.join(args.out_dir, RELEASE_NAME)
    state = "signed (Authenticode, SHA-256)" if signed else \
        "UNSIGNED: no certificate given (see WINREPAIR_SIGN_PKCS12 in scripts/make_release.py)"
    print(f"winrepair {args.version}: {release}, {os.path.getsize(release)} bytes, {state}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
