"""A throwaway RFC 3161 time-stamping service on 127.0.0.1 for the release
test: its own root and TSA certificate (extended key usage timeStamping,
critical, as RFC 3161 section 2.3 requires), `openssl ts -reply` answering
each query behind a small HTTP server, stopped by the test when it is done.

    with TimestampService(directory) as service:
        service.url        the address to sign with
        service.ca_cert    the root that issued the TSA certificate
        service.requests   how many queries it answered

TimestampService(directory, spoil=True) answers with a spoiled token: one
bit of the service's signature flipped, the last thing in a reply (the
token's SignerInfo ends in it), so the reply still parses and the token
names the right service, but its signature no longer verifies."""

import http.server
import os
import subprocess
import tempfile
import threading

TS_CONFIG = """\
[ tsa ]
default_tsa = tsa_config

[ tsa_config ]
serial = {serial}
crypto_device = builtin
signer_cert = {cert}
certs = {chain}
signer_key = {key}
signer_digest = sha256
default_policy = 1.3.6.1.4.1.55555.1.1
digests = sha256, sha384, sha512
accuracy = secs:1
ordering = no
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


def openssl(*arguments):
    result = subprocess.run(["openssl", *arguments], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"openssl {arguments[0]} failed: {result.stdout.strip()}")
    return result.stdout


def make_tsa(directory):
    """A root and a TSA certificate issued by it: the paths by name."""
    os.makedirs(directory, exist_ok=True)
    paths = {name: os.path.join(directory, name) for name in
             ("ca.pem", "ca.key", "tsa.pem", "tsa.key", "tsa.csr", "tsa.ext", "chain.pem", "serial", "ts.cnf")}
    openssl("req", "-x509", "-newkey", "rsa:2048", "-sha256", "-days", "2", "-nodes",
            "-keyout", paths["ca.key"], "-out", paths["ca.pem"], "-subj", "/CN=throwaway timestamp root",
            "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    with open(paths["tsa.ext"], "w", encoding="ascii") as f:
        f.write("basicConstraints=critical,CA:FALSE\n"
                "keyUsage=critical,digitalSignature\n"
                "extendedKeyUsage=critical,timeStamping\n")
    openssl("req", "-newkey", "rsa:2048", "-sha256", "-nodes", "-keyout", paths["tsa.key"],
            "-out", paths["tsa.csr"], "-subj", "/CN=throwaway timestamp authority")
    openssl("x509", "-req", "-in", paths["tsa.csr"], "-CA", paths["ca.pem"], "-CAkey", paths["ca.key"],
            "-set_serial", "3", "-days", "2", "-sha256", "-extfile", paths["tsa.ext"], "-out", paths["tsa.pem"])
    with open(paths["chain.pem"], "w", encoding="ascii") as out:
        for part in ("tsa.pem", "ca.pem"):
            with open(paths[part], encoding="ascii") as f:
                out.write(f.read())
    with open(paths["serial"], "w", encoding="ascii") as f:
        f.write("01\n")
    with open(paths["ts.cnf"], "w", encoding="ascii") as f:
        f.write(TS_CONFIG.format(serial=paths["serial"], cert=paths["tsa.pem"], chain=paths["chain.pem"],
                                 key=paths["tsa.key"]))
    return paths


class TimestampService:
    def __init__(self, directory, spoil=False):
        self.directory = directory
        self.spoil = spoil
        self.paths = make_tsa(directory)
        self.ca_cert = self.paths["ca.pem"]
        self.requests = 0
        self.server = None
        self.thread = None

    def reply(self, query):
        with tempfile.TemporaryDirectory(dir=self.directory) as work:
            query_file, reply_file = os.path.join(work, "query.tsq"), os.path.join(work, "reply.tsr")
            with open(query_file, "wb") as f:
                f.write(query)
            openssl("ts", "-reply", "-config", self.paths["ts.cnf"], "-queryfile", query_file, "-out", reply_file)
            with open(reply_file, "rb") as f:
                reply = bytearray(f.read())
        if self.spoil:
            reply[-16] ^= 0x01
        return bytes(reply)

    def __enter__(self):
        service = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):  # noqa: N802 (the name http.server calls)
                query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
                try:
                    body, status = service.reply(query), 200
                    service.requests += 1
                except RuntimeError:
                    body, status = b"", 500
                self.send_response(status)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *arguments):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()
        return self

    @property
    def url(self):
        return f"http://127.0.0.1:{self.server.server_address[1]}/"

    def __exit__(self, *exception):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()
        return False
