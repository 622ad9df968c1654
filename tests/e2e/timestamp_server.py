#!/usr/bin/env python3
"""An RFC 3161 time-stamping server on 127.0.0.1 for the signing tests.

Usage: timestamp_server.py DIR
DIR holds tsa.pem (a certificate for time stamping) and tsa.key. Prints
"port N" once it listens, answers each POSTed query with `openssl ts -reply`
and counts the queries in DIR/queries; stops when standard input closes.
"""
import http.server
import os
import subprocess
import sys
import threading

DIR = sys.argv[1]
CONFIG = os.path.join(DIR, "tsa.cnf")

with open(CONFIG, "w") as f:
    f.write(f"""[ tsa ]
default_tsa = hux_tsa
[ hux_tsa ]
serial = {DIR}/serial
crypto_device = builtin
signer_cert = {DIR}/tsa.pem
certs = {DIR}/tsa.pem
signer_key = {DIR}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = yes
ess_cert_id_chain = no
ess_cert_id_alg = sha256
""")
with open(os.path.join(DIR, "serial"), "w") as f:
    f.write("01\n")


class Handler(http.server.BaseHTTPRequestHandler):
    queries = 0

    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        Handler.queries += 1
        with open(os.path.join(DIR, "queries"), "w") as f:
            f.write(str(Handler.queries))
        qpath = os.path.join(DIR, "query.tsq")
        rpath = os.path.join(DIR, "reply.tsr")
        with open(qpath, "wb") as f:
            f.write(query)
        done = subprocess.run(["openssl", "ts", "-reply", "-config", CONFIG, "-queryfile", qpath, "-out", rpath],
                              capture_output=True)
        if done.returncode != 0:
            self.send_error(500, done.stderr.decode(errors="replace")[:200])
            return
        with open(rpath, "rb") as f:
            reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
threading.Thread(target=server.serve_forever, daemon=True).start()
print(f"port {server.server_address[1]}", flush=True)
sys.stdin.read()
server.shutdown()
