#!/usr/bin/env python3
"""Turns a built winrepair.exe into a release folder: the executable, signed
with Authenticode when a certificate is given (and timestamped when a
time-stamping service is given), LICENSE, THIRD-PARTY-NOTICES.txt, the bill
of materials winrepair.cdx.json (CycloneDX) and SHA256SUMS of them all.

The certificate and its password come from the environment, never from the
command line, where other users of the machine could read them:

  WINREPAIR_SIGN_PKCS12         a PKCS#12 file holding the key and certificates, or
  WINREPAIR_SIGN_PKCS12_BASE64  that file's content itself, in base64 (as a CI
                                secret holds it; written to a private temporary
                                file), or
  WINREPAIR_SIGN_CERT           a PEM certificate (chain) together with
  WINREPAIR_SIGN_KEY            its PEM private key;
  WINREPAIR_SIGN_PASSWORD_FILE  a file whose first line is the password, or
  WINREPAIR_SIGN_PASSWORD       the password itself (it goes to osslsigncode
                                through a private temporary file);
  WINREPAIR_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamping service; without it
                                the signature carries no timestamp, and stops
                                validating when the certificate expires;
  WINREPAIR_SIGN_CA_FILE        a PEM file of the roots the signature's chain
                                and the timestamp's must end in (by default
                                Debian's bundle, /etc/ssl/certs/ca-certificates.crt).

Without a certificate the release is unsigned and says so. A signed file is
verified before anything is released: `osslsigncode verify` against those
roots must show the whole line "Signature verification: ok" and, when
timestamped, "Timestamp Server Signature verification: ok" (osslsigncode
exits 0 even when the timestamp fails to verify, so its exit status alone
says nothing of the timestamp). When signing, timestamping or that check
fails, the release fails with one line saying why and leaves none of its
files behind. An empty variable counts as not given, as a CI passes a
secret that is not set.

The bill of materials is dated with the commit's time: SOURCE_DATE_EPOCH
when set, else `git log -1 --format=%ct` of this repository; without
either the release fails (make_sbom.py).

LICENSE and THIRD-PARTY-NOTICES.txt go out as every Windows Notepad shows
them: CR LF line ends, with a UTF-8 byte order mark when they hold non-ASCII
text (windows_text.py); the repository's own LICENSE is left as it is."""

import argparse
import base64
import binascii
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

import make_sbom
import windows_text

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "publisher"))
from publisher_text import read_publisher_text  # noqa: E402

SIGNING_VARIABLES = ("WINREPAIR_SIGN_PKCS12", "WINREPAIR_SIGN_PKCS12_BASE64", "WINREPAIR_SIGN_CERT", "WINREPAIR_SIGN_KEY",
                     "WINREPAIR_SIGN_PASSWORD_FILE", "WINREPAIR_SIGN_PASSWORD",
                     "WINREPAIR_SIGN_TIMESTAMP_URL", "WINREPAIR_SIGN_CA_FILE")
# Where Debian keeps its bundle of trusted roots (ca-certificates).
DEFAULT_CA_FILE = "/etc/ssl/certs/ca-certificates.crt"
# The whole lines osslsigncode 2.5 and 2.9 alike end a good verification
# with; the first is part of the second, so only whole lines count.
SIGNATURE_OK = "Signature verification: ok"
TIMESTAMP_OK = "Timestamp Server Signature verification: ok"
# An OpenSSL error line: its library, function, reason and extra data.
OPENSSL_ERROR = re.compile(r"^[0-9A-F]+:error:[0-9A-F]+:([^:]*):([^:]*):([^:]*):[^:]*:\d+:(.*)$")
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RELEASE_NAME = "winrepair.exe"
SBOM_NAME = "winrepair.cdx.json"
# Everything a release folder holds, SHA256SUMS last.
RELEASE_FILES = (RELEASE_NAME, "LICENSE", "THIRD-PARTY-NOTICES.txt", SBOM_NAME, "SHA256SUMS")


class ReleaseError(Exception):
    pass


def private_file(work_dir, name, data):
    """A file readable by this user only, removed with work_dir."""
    path = os.path.join(work_dir, name)
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as f:
        f.write(data)
    return path


def credential_arguments(env, work_dir):
    """osslsigncode's arguments naming the key and certificates, or None
    when no certificate is given."""
    pkcs12, encoded, cert, key = (env.get(v) for v in ("WINREPAIR_SIGN_PKCS12", "WINREPAIR_SIGN_PKCS12_BASE64",
                                                         "WINREPAIR_SIGN_CERT", "WINREPAIR_SIGN_KEY"))
    if sum(bool(given) for given in (pkcs12, encoded, cert or key)) > 1:
        raise ReleaseError("give one of WINREPAIR_SIGN_PKCS12, WINREPAIR_SIGN_PKCS12_BASE64 or "
                           "WINREPAIR_SIGN_CERT with WINREPAIR_SIGN_KEY")
    if encoded:
        try:
            data = base64.b64decode("".join(encoded.split()), validate=True)
        except (binascii.Error, ValueError):
            raise ReleaseError("WINREPAIR_SIGN_PKCS12_BASE64 is not base64") from None
        pkcs12 = private_file(work_dir, "certificate.p12", data)
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
    credentials = credential_arguments(env, work_dir)
    if credentials is None:
        return False
    command = ["osslsigncode", "sign", *credentials, "-h", "sha256", "-n", description]
    password_file = env.get("WINREPAIR_SIGN_PASSWORD_FILE")
    if password_file and "WINREPAIR_SIGN_PASSWORD" in env:
        raise ReleaseError("give WINREPAIR_SIGN_PASSWORD_FILE or WINREPAIR_SIGN_PASSWORD, not both")
    if "WINREPAIR_SIGN_PASSWORD" in env:
        password_file = private_file(work_dir, "password", (env["WINREPAIR_SIGN_PASSWORD"] + "\n").encode())
    if password_file:
        command += ["-readpass", password_file]
    url = env.get("WINREPAIR_SIGN_TIMESTAMP_URL")
    # Signed first, timestamped after: a failure then says which of the two
    # went wrong.
    target = os.path.join(work_dir, "untimestamped.exe") if url else signed
    result = run(command + ["-in", unsigned, "-out", target])
    if result.returncode != 0 or not os.path.isfile(target):
        raise ReleaseError(f"osslsigncode could not sign (exit status {result.returncode}): "
                           + last_reason(result.stdout))
    if url:
        result = run(["osslsigncode", "add", "-ts", url, "-in", target, "-out", signed])
        if result.returncode != 0 or not os.path.isfile(signed):
            raise ReleaseError(f"no timestamp from the time-stamping service at {url} "
                               f"({last_reason(result.stdout)}): nothing was released")
    verify(signed, env, timestamped=bool(url))
    return True


def roots_file(env):
    """The PEM file of trusted roots and how it was chosen."""
    given = env.get("WINREPAIR_SIGN_CA_FILE")
    path = given or DEFAULT_CA_FILE
    how = "WINREPAIR_SIGN_CA_FILE" if given else "the default; WINREPAIR_SIGN_CA_FILE names others"
    if not os.path.isfile(path):
        raise ReleaseError(f"no roots to verify the signature against: no such file {path} ({how})")
    return path, how


def verify(signed, env, timestamped):
    """Fails unless the signature, and the timestamp when there is one,
    verify against the trusted roots: the code-signing chain and the time-
    stamping service's both end in one of them."""
    roots, how = roots_file(env)
    result = run(["osslsigncode", "verify", "-in", signed, "-CAfile", roots, "-TSA-CAfile", roots])
    lines = [line.strip() for line in result.stdout.splitlines()]
    wanted = [(SIGNATURE_OK, "signature")] + ([(TIMESTAMP_OK, "timestamp")] if timestamped else [])
    for line, what in wanted:
        if result.returncode == 0 and line in lines:
            continue
        head = line.rsplit(":", 1)[0] + ":"
        shown = next((seen for seen in lines if seen.startswith(head)), None)
        said = f'says "{shown}"' if shown else f'does not say "{line}"'
        raise ReleaseError(f"the {what} does not verify against the roots in {roots} ({how}): osslsigncode verify "
                           f"{said} ({verify_reason(result.stdout, result.returncode)}); nothing was released")


def verify_reason(output, status):
    """Why osslsigncode verify failed, in OpenSSL's words: the last error
    line's detail ("Verify error: ...") or reason."""
    reasons = []
    for line in output.splitlines():
        match = OPENSSL_ERROR.match(line.strip())
        if match:
            reasons.append(match.group(4).strip() or match.group(3).strip())
    return reasons[-1] if reasons else f"exit status {status}"


def run(command):
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def last_reason(output):
    """osslsigncode's own words for a failure, on one line: its HTTP or
    first error line, without OpenSSL's error stack."""
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    for line in lines:
        if line.startswith("HTTP failure:"):
            return line
    plain = [line for line in lines if ":error:" not in line and line not in ("Failed", "Succeeded")
             and not line.startswith("Connecting to")]
    return plain[0] if plain else "no reason given"


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 16), b""):
            digest.update(block)
    return digest.hexdigest()


def set_variables(env):
    """The environment without the signing variables that are set but
    empty."""
    return {k: v for k, v in env.items() if not (k in SIGNING_VARIABLES and not v)}


def copy_as_windows_text(source, target):
    with open(source, encoding="utf-8") as f:
        text = f.read()
    with open(target, "wb") as f:
        f.write(windows_text.windows_bytes(text))


def make_release(exe, out_dir, version, env, license_path, notices, packages_json, publisher):
    """Writes the release into out_dir (RELEASE_FILES); returns whether the
    executable was signed. Leaves no half-made release behind."""
    env = set_variables(env)
    os.makedirs(out_dir, exist_ok=True)
    for name in RELEASE_FILES:
        if os.path.exists(os.path.join(out_dir, name)):
            os.remove(os.path.join(out_dir, name))
    with open(packages_json, encoding="utf-8") as f:
        packages = json.load(f)
    # Before anything is signed: a release that cannot be dated fails at once.
    timestamp = make_sbom.creation_time(env, ROOT)
    with tempfile.TemporaryDirectory(prefix="release-", dir=out_dir) as work:
        os.chmod(work, 0o700)
        staged = os.path.join(work, "staged")
        os.mkdir(staged)
        unsigned = os.path.join(work, "unsigned.exe")
        signed = os.path.join(work, "signed.exe")
        shutil.copyfile(exe, unsigned)
        was_signed = sign(unsigned, signed, env, f"winrepair {version}", work)
        shutil.copyfile(signed if was_signed else unsigned, os.path.join(staged, RELEASE_NAME))
        os.chmod(os.path.join(staged, RELEASE_NAME), 0o755)
        copy_as_windows_text(license_path, os.path.join(staged, "LICENSE"))
        copy_as_windows_text(notices, os.path.join(staged, "THIRD-PARTY-NOTICES.txt"))
        # The bill of materials and the checksums describe the file as
        # shipped, signature included.
        bom = make_sbom.bom(RELEASE_NAME, version, sha256(os.path.join(staged, RELEASE_NAME)),
                            make_sbom.licence_id(license_path), packages, publisher, timestamp,
                            make_sbom.authors(license_path))
        with open(os.path.join(staged, SBOM_NAME), "w", encoding="utf-8", newline="\n") as f:
            f.write(bom)
        # CR LF: users are told to compare the program's line in Notepad,
        # which before Windows 10 1809 shows LF-only lines as one; sha256sum
        # -c reads either.
        sums = "".join(f"{sha256(os.path.join(staged, name))}  {name}\r\n" for name in sorted(RELEASE_FILES[:-1]))
        with open(os.path.join(staged, "SHA256SUMS"), "w", encoding="ascii", newline="\n") as f:
            f.write(sums)
        for name in RELEASE_FILES:
            os.replace(os.path.join(staged, name), os.path.join(out_dir, name))
    return was_signed


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--exe", required=True, help="the built, unsigned winrepair.exe")
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--version", required=True, help="the project's version")
    parser.add_argument("--license", required=True, help="the project's LICENSE")
    parser.add_argument("--notices", required=True, help="THIRD-PARTY-NOTICES.txt of the executable")
    parser.add_argument("--packages", required=True, help="the packages in it, as the notices' JSON")
    parser.add_argument("--publisher-text-file", required=True,
                        help="the publisher the program names (publisher/publisher.txt): the supplier")
    args = parser.parse_args(argv)
    try:
        publisher = read_publisher_text(args.publisher_text_file)
        signed = make_release(args.exe, args.out_dir, args.version, os.environ, args.license, args.notices,
                              args.packages, publisher)
    except (ReleaseError, make_sbom.SbomError, OSError, ValueError) as e:
        print(f"make_release: {e}", file=sys.stderr)
        return 1
    release = os.path.join(args.out_dir, RELEASE_NAME)
    state = "signed (Authenticode, SHA-256)" if signed else \
        "UNSIGNED: no certificate given (see WINREPAIR_SIGN_PKCS12 in scripts/release/make_release.py)"
    if signed and os.environ.get("WINREPAIR_SIGN_TIMESTAMP_URL"):
        state += f", timestamped by {os.environ['WINREPAIR_SIGN_TIMESTAMP_URL']}"
    print(f"winrepair {args.version}: {release}, {os.path.getsize(release)} bytes, {state}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
