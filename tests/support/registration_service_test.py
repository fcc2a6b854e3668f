#!/usr/bin/env python3
"""Self-test of registration_service.py against real clients: curl, openssl s_client and
Python's ssl module.

Every server is started through the command line on 127.0.0.1 (or [::1]) port 0, with a
request limit and a time-out of its own, so a failing run leaves nothing behind. It
checks the certificates, what the record file holds for each request (path, headers and
body byte for byte), each TLS variant with verifying clients, the status, redirect and
delay options, and the three ways the server ends. One line per check, then
"N passed, N failed"; the exit status is 1 when a check failed.

Usage: registration_service_test.py [--keep]   (--keep leaves the work directory)
"""
import argparse
import base64
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import warnings

from check_report import Report  # lives beside this file

HERE = os.path.dirname(os.path.abspath(__file__))
SERVICE = os.path.join(HERE, "registration_service.py")
HOST = "register.example.com"
PATH = "/reg/svctag?product=ostrel&v=2"
# Bytes that a text-minded layer would mangle: CR LF, NUL, a lone 0xFF, UTF-8.
BODY = (b'<?xml version="1.0" encoding="UTF-8"?>\r\n<registration_data>'
        b'<registry urn="urn:st:uuid:0"/>\x00\xff\xc3\xa9</registration_data>\n')
STARTUP_LIMIT = 15.0
SERVER_TIMEOUT = 60  # every server's own --timeout: a crashed test leaves nothing behind


class Server:
    """One registration_service.py serve process, stopped on leaving the block."""

    def __init__(self, work, cert_dir, *args, listen="127.0.0.1:0", name="server"):
        self.record = os.path.join(work, f"{name}.jsonl")
        self.ready = os.path.join(work, f"{name}.ready")
        self.stderr_path = os.path.join(work, f"{name}.stderr")
        self.args = [sys.executable, SERVICE, "serve", "--cert-dir", cert_dir,
                     "--listen", listen, "--record", self.record, "--ready-file", self.ready,
                     "--timeout", str(SERVER_TIMEOUT)] + list(args)
        self.process = None
        self.port = None

    def __enter__(self):
        with open(self.stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL, stderr=stderr)
        limit = time.monotonic() + STARTUP_LIMIT
        while not os.path.exists(self.ready):
            if self.process.poll() is not None or time.monotonic() > limit:
                self.stop()
                raise RuntimeError(f"server did not start: {self.stderr()}")
            time.sleep(0.02)
        with open(self.ready, encoding="ascii") as ready:
            info = json.load(ready)
        self.port = info["port"]
        self.ready_pid = info["pid"]
        return self

    def __exit__(self, *_):
        self.stop()

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return self.process.returncode

    def wait(self, seconds):
        """Exit status once the server ended by itself within seconds, else None."""
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def events(self, kind=None):
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="ascii") as record:
            lines = [json.loads(line) for line in record if line.strip()]
        return [line for line in lines if kind is None or line["event"] == kind]

    def requests(self):
        return self.events("request")

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as text:
            return text.read().strip()


def curl(*args, timeout=20):
    command = ["curl", "-sS", "--noproxy", "*", "--max-time", "15"] + list(args)
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)
    return done.returncode, done.stdout, done.stderr.decode("utf-8", "replace")


def curl_url(port, path=PATH):
    return f"https://{HOST}:{port}{path}"


def resolve(port):
    return ["--resolve", f"{HOST}:{port}:127.0.0.1"]


def client_context(cafile, minimum=ssl.TLSVersion.TLSv1_2, maximum=None, legacy=False):
    """A verifying client (certificate and host name); legacy opens TLS 1.0/1.1."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    if cafile:
        context.load_verify_locations(cafile)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        context.minimum_version = minimum
        if maximum is not None:
            context.maximum_version = maximum
    if legacy:
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    return context


def exchange(port, request, context, server_name=HOST, address="127.0.0.1"):
    """Sends raw request bytes over TLS; returns (TLS version, whole response)."""
    with socket.create_connection((address, port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname=server_name) as tls:
            tls.sendall(request)
            response = b""
            while True:
                data = tls.recv(65536)
                if not data:
                    return tls.version(), response
                response += data


def status_of(response):
    match = re.match(rb"HTTP/1\.1 (\d{3}) ", response)
    return int(match.group(1)) if match else None


def body_of(record):
    return base64.b64decode(record["body_base64"])


def openssl_text(path):
    return subprocess.run(["openssl", "x509", "-in", path, "-noout", "-text"],
                          capture_output=True, text=True, check=True).stdout


def openssl_verify(cafile, cert, *extra):
    done = subprocess.run(["openssl", "verify", "-x509_strict", "-purpose", "sslserver",
                           *extra, "-CAfile", cafile, cert], capture_output=True, text=True)
    return done.returncode, done.stdout + done.stderr


def s_client(port, *options):
    done = subprocess.run(["openssl", "s_client", "-connect", f"127.0.0.1:{port}",
                           "-servername", HOST, *options],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=20)
    return done.returncode, done.stdout + done.stderr


# -- the checks ------------------------------------------------------------------------------


def check_certificates(report, work):
    cert_dir = os.path.join(work, "certs")
    done = subprocess.run([sys.executable, SERVICE, "certs", "--cert-dir", cert_dir],
                          capture_output=True, text=True, timeout=120)
    report.check(done.returncode == 0 and json.loads(done.stdout)["host"] == HOST,
                 "certs: command makes a set for register.example.com", done.stderr)
    path = lambda name: os.path.join(cert_dir, name)  # noqa: E731

    ca = openssl_text(path("ca.pem"))
    report.check("CA:TRUE" in ca and "Certificate Sign" in ca
                 and "sha256WithRSAEncryption" in ca and "(2048 bit)" in ca,
                 "certs: CA is RSA 2048, SHA-256, CA:TRUE, keyCertSign")
    leaf = openssl_text(path("server.pem"))
    names = "DNS:register.example.com, DNS:localhost, IP Address:127.0.0.1, " \
            "IP Address:0:0:0:0:0:0:0:1"
    report.check(names in leaf and "TLS Web Server Authentication" in leaf
                 and "CA:FALSE" in leaf and "sha256WithRSAEncryption" in leaf
                 and "(2048 bit)" in leaf,
                 "certs: server certificate names host, localhost, 127.0.0.1, ::1; serverAuth")

    status, text = openssl_verify(path("ca.pem"), path("server.pem"))
    report.check(status == 0, "certs: server certificate verifies strictly against the CA", text)
    status, text = openssl_verify(path("ca.pem"), path("expired.pem"))
    expired_dates = subprocess.run(["openssl", "x509", "-in", path("expired.pem"), "-noout",
                                    "-checkend", "0"], capture_output=True).returncode
    report.check(status != 0 and "expired" in text and expired_dates != 0,
                 "certs: expired certificate is from the CA and past its notAfter", text)
    status, text = openssl_verify(path("ca.pem"), path("untrusted-server.pem"))
    own_status, own_text = openssl_verify(path("untrusted-ca.pem"), path("untrusted-server.pem"))
    report.check(status != 0 and own_status == 0,
                 "certs: untrusted certificate fails against the CA, passes against its own",
                 text + own_text)

    with open(path("ca.pem"), encoding="ascii") as pem, open(path("ca.der"), "rb") as der:
        same = ssl.PEM_cert_to_DER_cert(pem.read()) == der.read()
    fingerprint = subprocess.run(["openssl", "x509", "-in", path("ca.pem"), "-noout",
                                  "-fingerprint", "-sha1"], capture_output=True, text=True,
                                 check=True).stdout.strip().split("=", 1)[1].replace(":", "")
    with open(path("ca.sha1"), "rb") as thumbprint_file:
        thumbprint = thumbprint_file.read()
    report.check(same and thumbprint == fingerprint.upper().encode("ascii")
                 and re.fullmatch(rb"[0-9A-F]{40}", thumbprint) is not None,
                 "certs: ca.der is the CA's DER, ca.sha1 its upper-case SHA-1 thumbprint",
                 f"{thumbprint!r} vs {fingerprint}")

    again = subprocess.run([sys.executable, SERVICE, "certs", "--cert-dir", cert_dir],
                           capture_output=True, text=True, timeout=120)
    with open(path("ca.sha1"), "rb") as thumbprint_file:
        kept = again.returncode == 0 and thumbprint_file.read() == thumbprint
    report.check(kept, "certs: a second run keeps the existing set", again.stderr)

    other_dir = os.path.join(work, "certs-other")
    other = subprocess.run([sys.executable, SERVICE, "certs", "--cert-dir", other_dir,
                            "--host", "reg.test.invalid"], capture_output=True, text=True,
                           timeout=120)
    report.check(other.returncode == 0
                 and "DNS:reg.test.invalid, DNS:localhost" in
                 openssl_text(os.path.join(other_dir, "server.pem")),
                 "certs: --host names the host in the server certificates", other.stderr)
    bad = subprocess.run([sys.executable, SERVICE, "certs", "--cert-dir", other_dir,
                          "--host", "x\nsubjectAltName=DNS:evil"], capture_output=True,
                         text=True, timeout=60)
    report.check(bad.returncode == 2 and "not a host name" in bad.stderr,
                 "certs: a host that is not a DNS name is refused", bad.stderr)
    return cert_dir


def check_normal(report, work, cert_dir):
    ca = os.path.join(cert_dir, "ca.pem")
    with Server(work, cert_dir, "--max-requests", "20", name="normal") as server:
        report.check(server.ready_pid == server.process.pid and 0 < server.port < 65536,
                     "serve: ready file holds the chosen port and the server's pid",
                     f"{server.ready_pid} vs {server.process.pid}")
        body_file = os.path.join(work, "svctag.xml")
        with open(body_file, "wb") as out:
            out.write(BODY)
        status, output, error = curl(
            "--cacert", ca, *resolve(server.port), "-H", "User-Agent: User Interface",
            "-H", "Content-Type: text/xml; charset=utf-8", "--data-binary", f"@{body_file}",
            curl_url(server.port))
        report.check(status == 0 and output == b"200 OK\n",
                     "normal: curl verifying with the test CA posts and gets 200", error)
        records = server.requests()
        first = records[0] if records else {}
        expected_headers = [["Host", f"{HOST}:{server.port}"], ["Accept", "*/*"],
                            ["User-Agent", "User Interface"],
                            ["Content-Type", "text/xml; charset=utf-8"],
                            ["Content-Length", str(len(BODY))]]
        report.check(first.get("method") == "POST" and first.get("path") == PATH
                     and first.get("http_version") == "HTTP/1.1"
                     and first.get("headers") == expected_headers,
                     "normal: record has method, path with query and headers in order",
                     json.dumps(first))
        report.check(first.get("body_length") == len(BODY) and records and
                     body_of(first) == BODY and first.get("chunked") is False,
                     "normal: record has the body byte for byte", json.dumps(first))
        report.check(first.get("tls_version") in ("TLSv1.2", "TLSv1.3")
                     and first.get("sni") == HOST and first.get("status") == 200
                     and first.get("seq") == 1,
                     "normal: record has TLS version, server name, status, sequence",
                     json.dumps(first))

        status, _, error = curl("--cacert", ca, *resolve(server.port), "--tlsv1.2",
                                "--tls-max", "1.2", curl_url(server.port, "/tls12"))
        last = server.requests()[-1]
        report.check(status == 0 and last["path"] == "/tls12" and last["tls_version"] == "TLSv1.2",
                     "normal: a TLS 1.2-only client is served and recorded as TLSv1.2", error)

        # Raw bytes: a target a URL parser would normalise, header names in odd case with
        # blanks around the value, a repeated header, and a chunked body with a trailer.
        target = b"//reg/svctag?product=ostrel&v=2&q=%41%2f//x;y=%ZZ&&"
        request = (b"POST " + target + b" HTTP/1.1\r\nHost: " + HOST.encode() +
                   b"\r\nX-Odd-CASE: \t spaced  value \t\r\nX-Twice: one\r\nX-Twice: two\r\n"
                   b"Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                   b"5\r\n" + BODY[:5] + b"\r\n" +
                   b"%x;name=value\r\n" % (len(BODY) - 5) + BODY[5:] + b"\r\n"
                   b"0\r\nX-Trailer: done\r\n\r\n")
        version, response = exchange(server.port, request, client_context(ca))
        last = server.requests()[-1]
        report.check(status_of(response) == 200 and last["path"] == target.decode("latin-1")
                     and last["headers"][1:4] == [["X-Odd-CASE", "spaced  value"],
                                                  ["X-Twice", "one"], ["X-Twice", "two"]],
                     "normal: raw target and header names kept exactly as sent",
                     json.dumps(last))
        report.check(last["chunked"] is True and body_of(last) == BODY
                     and last["trailers"] == [["X-Trailer", "done"]],
                     "normal: chunked body decoded, trailer recorded", json.dumps(last))

        # The body is sent only after the interim answer; without it recv times out.
        big = bytes(range(256)) * 40
        head = (b"POST /big HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                b"Content-Length: %d\r\n\r\n" % len(big))
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as raw:
            with client_context(ca).wrap_socket(raw, server_hostname=HOST) as tls:
                tls.sendall(head)
                interim = tls.recv(100)
                tls.sendall(big)
                final = tls.recv(100)
        last = server.requests()[-1]
        report.check(interim == b"HTTP/1.1 100 Continue\r\n\r\n" and status_of(final) == 200
                     and last["path"] == "/big" and body_of(last) == big,
                     "normal: Expect: 100-continue is answered before the body is read",
                     f"{interim!r} {final!r}")

        names_ok = []
        for name in ("localhost", "127.0.0.1"):
            version, response = exchange(server.port, b"GET /n HTTP/1.1\r\nHost: x\r\n\r\n",
                                         client_context(ca), server_name=name)
            names_ok.append(status_of(response) == 200)
        report.check(all(names_ok), "normal: certificate verifies as localhost and 127.0.0.1")
        try:
            exchange(server.port, b"GET / HTTP/1.1\r\n\r\n", client_context(ca),
                     server_name="other.example.com")
            report.check(False, "normal: a host name not in the certificate is refused")
        except ssl.SSLCertVerificationError as error:
            report.check("mismatch" in error.verify_message,
                         "normal: a host name not in the certificate is refused",
                         error.verify_message)

        version, response = exchange(server.port, b"HELLO\r\n\r\n", client_context(ca))
        status, output, error = curl("--cacert", ca, *resolve(server.port), "-I",
                                     curl_url(server.port, "/after"))
        bad = server.events("bad_request")
        report.check(status_of(response) == 400 and bad and status == 0
                     and server.requests()[-1]["method"] == "HEAD",
                     "normal: garbage is answered 400, recorded apart, and serving goes on",
                     repr(response[:80]))

    report.check(server.process.returncode == 0 and server.events()[-1]["event"] == "stopped"
                 and server.events()[-1]["reason"] == "signal",
                 "normal: SIGTERM ends it with status 0 and a stopped line",
                 f"{server.process.returncode} {server.stderr()}")

    with Server(work, cert_dir, "--max-requests", "1", listen="[::1]:0", name="ipv6") as server:
        status, output, error = curl("--cacert", ca, "--data-binary", "x",
                                     f"https://[::1]:{server.port}/v6")
        records = server.requests()
        report.check(status == 0 and records and records[0]["client"].startswith("[::1]:"),
                     "normal: listens on [::1] too", error)


def check_refused_certificates(report, work, cert_dir):
    ca = os.path.join(cert_dir, "ca.pem")
    cases = (("untrusted", "unable to get local issuer certificate", "untrusted-ca.pem"),
             ("expired", "certificate has expired", None))
    for variant, message, own_ca in cases:
        with Server(work, cert_dir, "--variant", variant, name=variant) as server:
            status, _, error = curl("--cacert", ca, *resolve(server.port), "--data-binary",
                                    "x", curl_url(server.port))
            report.check(status == 60 and message in error,
                         f"{variant}: curl with the test CA refuses the certificate", error)
            try:
                exchange(server.port, b"GET / HTTP/1.1\r\n\r\n", client_context(ca))
                report.check(False, f"{variant}: Python's verifying client refuses it")
            except ssl.SSLCertVerificationError as error:
                report.check(message in error.verify_message,
                             f"{variant}: Python's verifying client refuses it",
                             error.verify_message)
            # The server outlives its refused clients and records no request for them.
            trusting = ["--cacert", os.path.join(cert_dir, own_ca)] if own_ca else ["-k"]
            status, output, error = curl(*trusting, *resolve(server.port),
                                         curl_url(server.port, "/ok"))
            report.check(status == 0 and [r["path"] for r in server.requests()] == ["/ok"]
                         and len(server.events("tls_error")) == 2,
                         f"{variant}: handshakes failed as tls_error lines, server serves on",
                         error + server.stderr())


def check_tls10(report, work, cert_dir):
    ca = os.path.join(cert_dir, "ca.pem")
    with Server(work, cert_dir, "--variant", "tls10", name="tls10") as server:
        status, _, error = curl("--cacert", ca, *resolve(server.port), "--tlsv1.2",
                                curl_url(server.port))
        report.check(status == 35, "tls10: curl with TLS 1.2 minimum is refused", error)
        try:
            exchange(server.port, b"GET / HTTP/1.1\r\n\r\n", client_context(ca))
            report.check(False, "tls10: Python client with TLS 1.2 minimum is refused")
        except ssl.SSLError as error:
            report.check(not isinstance(error, ssl.SSLCertVerificationError),
                         "tls10: Python client with TLS 1.2 minimum is refused", str(error))

        status, text = s_client(server.port, "-tls1", "-cipher", "DEFAULT@SECLEVEL=0",
                                "-CAfile", ca, "-verify_return_error")
        report.check(status == 0 and re.search(r"Protocol\s*: TLSv1\n", text)
                     and "Verify return code: 0 (ok)" in text,
                     "tls10: openssl s_client -tls1 completes a verified handshake", text[-400:])
        status, text = s_client(server.port, "-tls1_2", "-CAfile", ca)
        report.check(status != 0 and "unsupported protocol" in text,
                     "tls10: openssl s_client -tls1_2 is refused", text[-400:])

        for version, name in ((ssl.TLSVersion.TLSv1, "TLSv1"), (ssl.TLSVersion.TLSv1_1, "TLSv1.1")):
            context = client_context(ca, version, version, legacy=True)
            request = b"POST " + PATH.encode() + b" HTTP/1.1\r\nHost: " + HOST.encode() + \
                b"\r\nContent-Length: %d\r\n\r\n" % len(BODY) + BODY
            negotiated, response = exchange(server.port, request, context)
            last = server.requests()[-1]
            report.check(negotiated == name and status_of(response) == 200
                         and last["tls_version"] == name and body_of(last) == BODY,
                         f"tls10: verifying {name} client posts and is recorded as {name}",
                         f"{negotiated} {json.dumps(last)[:200]}")
        status, output, error = curl("--cacert", ca, *resolve(server.port), "--tlsv1.0",
                                     "--tls-max", "1.0", "--ciphers", "DEFAULT@SECLEVEL=0",
                                     curl_url(server.port, "/curl10"))
        report.check(status == 0 and server.requests()[-1]["tls_version"] == "TLSv1",
                     "tls10: curl --tlsv1.0 --tls-max 1.0 is served", error)


def check_answers(report, work, cert_dir):
    ca = os.path.join(cert_dir, "ca.pem")
    common = ["--cacert", ca, "-o", "/dev/null", "-w", "%{http_code} %{redirect_url}"]
    with Server(work, cert_dir, "--status", "503", name="status") as server:
        status, output, error = curl(*common, *resolve(server.port), "--data-binary", "x",
                                     curl_url(server.port))
        report.check(status == 0 and output == b"503 " and server.requests()[0]["status"] == 503,
                     "status: --status 503 is answered and recorded", f"{output!r} {error}")
    target = "https://register.example.com/thanks?id=1&x=%20"
    for extra, code in (([], 302), (["--status", "307"], 307)):
        with Server(work, cert_dir, "--redirect", target, *extra, name=f"redirect{code}") as server:
            status, output, error = curl(*common, *resolve(server.port), "--data-binary", "x",
                                         curl_url(server.port))
            report.check(status == 0 and output == f"{code} {target}".encode(),
                         f"redirect: answers {code} with the Location given", f"{output!r} {error}")
    done = subprocess.run([sys.executable, SERVICE, "serve", "--cert-dir", cert_dir, "--listen",
                           "127.0.0.1:0", "--record", os.path.join(work, "never.jsonl"),
                           "--redirect", target, "--status", "200"], capture_output=True,
                          text=True, timeout=30)
    report.check(done.returncode == 2, "redirect: with a status that is not 3xx is a usage error",
                 done.stderr)

    with Server(work, cert_dir, "--delay", "1.5", name="delay") as server:
        status, _, error = curl("--cacert", ca, *resolve(server.port), "--max-time", "0.5",
                                "--data-binary", "early", curl_url(server.port, "/early"))
        report.check(status == 28 and [r["path"] for r in server.requests()] == ["/early"],
                     "delay: a client that gives up first times out, its request is recorded",
                     error)
        started = time.monotonic()
        status, output, error = curl("--cacert", ca, *resolve(server.port),
                                     curl_url(server.port, "/late"))
        waited = time.monotonic() - started
        report.check(status == 0 and output == b"200 OK\n" and waited >= 1.5,
                     "delay: the answer comes only after the delay", f"{waited:.2f}s {error}")


def check_endings(report, work, cert_dir):
    ca = os.path.join(cert_dir, "ca.pem")
    # The second client keeps its connection open until the server has gone, so the
    # server closes first and leaves its port in TIME_WAIT: binding it again then works
    # only with SO_REUSEADDR.
    with Server(work, cert_dir, "--max-requests", "2", name="limit") as server:
        status, _, error = curl("--cacert", ca, *resolve(server.port), curl_url(server.port, "/1"))
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as raw:
            with client_context(ca).wrap_socket(raw, server_hostname=HOST) as tls:
                tls.sendall(b"GET /2 HTTP/1.1\r\nHost: x\r\n\r\n")
                response = b""
                while data := tls.recv(65536):
                    response += data
                exit_status = server.wait(10)
        refused, _, _ = curl("--cacert", ca, *resolve(server.port), curl_url(server.port))
        last = server.events()[-1]
        report.check(status == 0 and status_of(response) == 200 and exit_status == 0
                     and last["event"] == "stopped" and last["reason"] == "max-requests"
                     and last["requests"] == 2 and refused == 7,
                     "max-requests: two answered, then it exits 0 and the port is closed",
                     f"{exit_status} {last} {error}")
        port = server.port
    try:
        with Server(work, cert_dir, listen=f"127.0.0.1:{port}", name="rebind") as again:
            status, _, error = curl("--cacert", ca, *resolve(again.port), curl_url(again.port))
            report.check(again.port == port and status == 0,
                         "max-requests: the port can be bound again at once", error)
    except RuntimeError as error:
        report.check(False, "max-requests: the port can be bound again at once", str(error))

    with Server(work, cert_dir, "--timeout", "1", name="timeout") as server:
        exit_status = server.wait(10)
        last = server.events()[-1]
        report.check(exit_status == 3 and last["reason"] == "timeout" and last["requests"] == 0,
                     "timeout: it ends by itself with status 3", f"{exit_status} {last}")

    # SIGTERM while a request waits on its delay: the server must not wait for it.
    with Server(work, cert_dir, "--delay", "30", name="sigterm") as server:
        client = subprocess.Popen(["curl", "-sS", "--noproxy", "*", "--max-time", "20",
                                   "--cacert", ca, *resolve(server.port),
                                   curl_url(server.port)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        limit = time.monotonic() + 10
        while not server.requests() and time.monotonic() < limit:
            time.sleep(0.02)
        started = time.monotonic()
        server.process.send_signal(signal.SIGTERM)
        exit_status = server.wait(10)
        took = time.monotonic() - started
        client.wait(30)
    report.check(exit_status == 0 and took < 5 and server.events()[-1]["reason"] == "signal",
                 "sigterm: stops at once while a request waits", f"{exit_status} {took:.2f}s")

    refused = []
    for address in ("0.0.0.0:0", "192.0.2.1:0", "[::]:0", "example.com:0"):
        ready = os.path.join(work, "refused.ready")
        done = subprocess.run([sys.executable, SERVICE, "serve", "--cert-dir", cert_dir,
                               "--listen", address, "--record",
                               os.path.join(work, "refused.jsonl"), "--ready-file", ready],
                              capture_output=True, text=True, timeout=30)
        refused.append(done.returncode == 2 and not os.path.exists(ready))
    report.check(all(refused), "listen: non-loopback addresses are refused", str(refused))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    options = parser.parse_args()

    report = Report()
    work = tempfile.mkdtemp(prefix="registration-service-test-")
    try:
        try:
            cert_dir = check_certificates(report, work)
        except Exception as error:  # the servers make the certificates themselves then
            report.check(False, "check_certificates ran to the end",
                         f"{type(error).__name__}: {error}")
            cert_dir = os.path.join(work, "certs")
        for group in (check_normal, check_refused_certificates, check_tls10, check_answers,
                      check_endings):
            try:
                group(report, work, cert_dir)
            except Exception as error:  # one broken group must not hide the others
                report.check(False, f"{group.__name__} ran to the end",
                             f"{type(error).__name__}: {error}")
    finally:
        if options.keep:
            print(f"work directory: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)
    return report.summary()


if __name__ == "__main__":
    sys.exit(main())
