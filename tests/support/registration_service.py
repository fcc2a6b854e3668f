#!/usr/bin/env python3
"""Local stand-in for the product registration service that CASendServiceTag posts to.

Tests and the demo start it on a loopback address; it records every request it gets and
answers as told. Python 3 standard library and the openssl command line only.

Commands
--------
registration_service.py certs --cert-dir DIR [--host NAME]
    Makes the test certificates in DIR (see certificates.py; default host
    register.example.com), unless a usable set is there already, and prints certs.json
    with "dir" added. DIR/ca.pem is the CA to trust, DIR/ca.der its DER bytes and
    DIR/ca.sha1 its SHA-1 thumbprint (40 upper-case hex digits, no newline).

registration_service.py serve --cert-dir DIR --listen ADDR:PORT --record FILE
        [--host NAME] [--variant normal|tls10|untrusted|expired] [--status N]
        [--redirect URL] [--delay SECONDS] [--max-requests N] [--ready-file FILE]
        [--timeout SECONDS]
    Serves HTTPS on ADDR:PORT. ADDR must be a loopback address: 127.0.0.0/8, ::1
    (written [::1]:PORT) or localhost (127.0.0.1); anything else is refused. PORT 0
    picks a free port. The certificates are made in DIR first when it lacks them
    (--host names the host for a new set). SO_REUSEADDR is set, so a port (443 too,
    as root) can be bound again as soon as the server has gone.
      --variant  normal     TLS 1.2 and 1.3, server.pem (signed by the test CA)
                 expired    TLS 1.2 and 1.3, expired.pem (test CA, validity over)
                 untrusted  TLS 1.2 and 1.3, untrusted-server.pem (a CA nobody trusts)
                 tls10      TLS 1.0 and 1.1 only, server.pem; the ciphers are opened
                            with @SECLEVEL=0, since OpenSSL 3 refuses those protocols
                            at any higher security level
      --status N      status of every answer, 200 to 599 (default 200)
      --redirect URL  answer 302 with "Location: URL" (--status may pick another 3xx)
      --delay S       wait S seconds after reading a request before answering
      --max-requests N  stop after answering N requests (default: no limit)
      --timeout S     stop after S seconds whatever happens (default 300)
      --ready-file F  once the socket listens, written atomically (temporary file and
                      rename) as {"port": N, "pid": P}; an old F is removed at start
    Every answer carries "Connection: close", Content-Length and a short text body
    (none for HEAD). SIGTERM or SIGINT stops the server at once. One line goes to
    stderr when it listens and one when it stops; nothing goes to stdout.
    Exit status: 0 stopped by --max-requests or a signal, 3 stopped by --timeout,
    2 bad command line (non-loopback address too), 1 any other failure (port in use,
    openssl failed).

Record file
-----------
One JSON object per line, appended to FILE (which is created, never truncated) and
flushed when it happens. Every line has "event" and "time" (UTC, ISO 8601, ms).
  "request"      a request was read whole: "seq" (1, 2, ...), "client" ("ADDR:PORT"),
                 "tls_version" ("TLSv1.3", "TLSv1", ...), "tls_cipher", "sni" (server
                 name the client sent, or null), "method", "path" (the request target
                 exactly as received, query included), "http_version" ("HTTP/1.1"),
                 "headers" ([[name, value], ...] in order, name as received, value
                 without the blanks around it), "chunked" (true when the body came
                 with chunked transfer coding; "trailers" then lists the trailer
                 fields), "body_length", "body_base64" (the body bytes; decoded when
                 chunked), "status" (the status it is answered with).
                 Text fields carry the received bytes decoded as ISO-8859-1, so
                 value.encode("latin-1") gives back the exact bytes.
  "tls_error"    a TLS handshake failed (the client refused the certificate or the
                 protocol, or hung up): "client", "reason". Not a request.
  "bad_request"  bytes that are not an HTTP/1.x request, or a body past 16 MiB:
                 "client", "reason"; answered with 400 (413 for a body too large)
                 and not counted as a request. Also written, unanswered, when the
                 connection fails or times out (30 s) in the middle of a request.
  "dropped"      a request arrived after --max-requests was used up: "client"; it is
                 not answered.
  "stopped"      the last line: "reason" ("max-requests", "timeout", "signal", or
                 "listen failed" when the port could not be bound), "requests" (how
                 many were recorded).
Example request line:
{"event": "request", "time": "2026-01-05T03:04:09.123Z", "seq": 1,
 "client": "127.0.0.1:40112", "tls_version": "TLSv1.3",
 "tls_cipher": "TLS_AES_256_GCM_SHA384", "sni": "register.example.com",
 "method": "POST", "path": "/reg/svctag?product=ostrel&v=2", "http_version": "HTTP/1.1",
 "headers": [["Host", "register.example.com"], ["User-Agent", "User Interface"],
 ["Content-Type", "text/xml; charset=utf-8"], ["Content-Length", "5"]],
 "chunked": false, "body_length": 5, "body_base64": "PHgvPg==", "status": 200}
(written on one line).
"""
import argparse
import base64
import datetime
import http
import ipaddress
import json
import os
import select
import signal
import socket
import ssl
import sys
import threading
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import certificates  # noqa: E402  (lives beside this file)

PROGRAM = "registration_service"

MAX_LINE = 8192
MAX_HEADERS = 200
MAX_BODY = 16 * 1024 * 1024
# A client that stops sending (or reading) mid-request gives up its thread after this.
IO_TIMEOUT = 30.0
# How long the close waits for the client's close_notify before hanging up anyway.
CLOSE_WAIT = 1.0

EXIT_OK, EXIT_FAILURE, EXIT_USAGE, EXIT_TIMEOUT = 0, 1, 2, 3


class BadRequest(Exception):
    def __init__(self, reason, status=400):
        super().__init__(reason)
        self.status = status


def utc_now():
    now = datetime.datetime.now(datetime.timezone.utc)
    return now.strftime("%Y-%m-%dT%H:%M:%S.") + f"{now.microsecond // 1000:03d}Z"


def latin1(data):
    return data.decode("latin-1")


def parse_listen(text):
    """ "ADDR:PORT" or "[V6ADDR]:PORT" -> (family, address, port); ValueError if unusable."""
    if text.startswith("["):
        address, bracket, rest = text[1:].partition("]")
        if not bracket or not rest.startswith(":"):
            raise ValueError(f"bad listen address {text!r}")
        port = rest[1:]
    else:
        address, colon, port = text.rpartition(":")
        if not colon or ":" in address:
            raise ValueError(f"bad listen address {text!r} (write IPv6 as [::1]:PORT)")
    if address == "localhost":
        address = "127.0.0.1"
    try:
        ip = ipaddress.ip_address(address)
    except ValueError:
        raise ValueError(f"listen address must be a loopback IP address: {address!r}") from None
    if not ip.is_loopback:
        raise ValueError(f"refusing to listen on non-loopback address {address}")
    if not port.isdigit() or int(port) > 65535:
        raise ValueError(f"bad port {port!r}")
    family = socket.AF_INET6 if ip.version == 6 else socket.AF_INET
    return family, str(ip), int(port)


class Recorder:
    """Appends JSON lines to the record file, one write per line, under one lock."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
        self.lock = threading.Lock()
        self.closed = False

    def write(self, event, **fields):
        line = json.dumps({"event": event, "time": utc_now(), **fields}) + "\n"
        data = line.encode("ascii")
        with self.lock:
            if self.closed:
                return
            view = memoryview(data)
            while view:
                view = view[os.write(self.fd, view):]

    def close(self, event, **fields):
        """Writes the last line; later writes from straggling threads are dropped."""
        self.write(event, **fields)
        with self.lock:
            self.closed = True
            os.close(self.fd)


class Stopper:
    """Wakes the accept loop from a handler thread or a signal handler."""

    def __init__(self):
        self.event = threading.Event()
        self.reason = None
        self.read_end, self.write_end = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)

    def stop(self, reason):
        if self.reason is None:
            self.reason = reason
        self.event.set()
        try:
            os.write(self.write_end, b"x")
        except OSError:
            pass  # the pipe is full: the loop has been woken already


def server_context(variant, cert, key):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if variant == "tls10":
        # Python warns that TLS 1.0/1.1 are deprecated: offering them is the point here.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = ssl.TLSVersion.TLSv1
            context.maximum_version = ssl.TLSVersion.TLSv1_1
        # OpenSSL 3 allows TLS below 1.2 only at security level 0, and Python's default
        # cipher list drops the SHA-1 suites that are all TLS 1.0 has.
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    else:
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.maximum_version = ssl.TLSVersion.TLSv1_3
    context.load_cert_chain(cert, key)

    def remember_server_name(tls_object, server_name, _context):
        tls_object.requested_server_name = server_name

    context.sni_callback = remember_server_name
    return context


class Service:
    def __init__(self, options, context, recorder, stopper):
        self.options = options
        self.context = context
        self.recorder = recorder
        self.stopper = stopper
        self.count_lock = threading.Lock()
        self.requests = 0

    # -- one connection ------------------------------------------------------------------

    def handle_connection(self, raw, peer):
        client = f"{peer[0]}:{peer[1]}" if peer[0].count(":") == 0 else f"[{peer[0]}]:{peer[1]}"
        tls = None
        try:
            raw.settimeout(IO_TIMEOUT)
            tls = self.context.wrap_socket(raw, server_side=True, do_handshake_on_connect=False)
            try:
                tls.do_handshake()
            except (ssl.SSLError, OSError) as error:
                self.recorder.write("tls_error", client=client, reason=str(error))
                return
            self.serve_request(tls, client)
        except Exception as error:  # a thread must never take the server down
            print(f"{PROGRAM}: {client}: {type(error).__name__}: {error}", file=sys.stderr)
        finally:
            close_quietly(tls if tls is not None else raw)

    def serve_request(self, tls, client):
        reader = tls.makefile("rb")
        try:
            request = read_request(reader, tls)
        except BadRequest as error:
            self.recorder.write("bad_request", client=client, reason=str(error))
            send_response(tls, error.status, None, "GET")
            return
        except OSError as error:  # ssl.SSLError and socket time-outs are OSErrors too
            self.recorder.write("bad_request", client=client, reason=f"read failed: {error}")
            return
        finally:
            reader.close()
        if request is None:
            return  # connection closed before a request line

        with self.count_lock:
            limit = self.options.max_requests
            if limit is not None and self.requests >= limit:
                self.recorder.write("dropped", client=client)
                return
            self.requests += 1
            seq = self.requests
            last = limit is not None and seq == limit
            method, path, version, headers, body, chunked, trailers = request
            cipher = tls.cipher()
            fields = dict(seq=seq, client=client, tls_version=tls.version(),
                          tls_cipher=cipher[0] if cipher else None,
                          sni=getattr(tls, "requested_server_name", None),
                          method=latin1(method), path=latin1(path),
                          http_version=latin1(version),
                          headers=[[latin1(n), latin1(v)] for n, v in headers],
                          chunked=chunked)
            if chunked:
                fields["trailers"] = [[latin1(n), latin1(v)] for n, v in trailers]
            fields.update(body_length=len(body),
                          body_base64=base64.b64encode(body).decode("ascii"),
                          status=self.options.status)
            self.recorder.write("request", **fields)

        try:
            if self.options.delay > 0 and self.stopper.event.wait(self.options.delay):
                return  # stopping: the answer would be cut off anyway
            send_response(tls, self.options.status, self.options.redirect, latin1(method))
        finally:
            if last:
                close_quietly(tls)
                self.stopper.stop("max-requests")


def close_quietly(sock):
    """Sends close_notify (waiting briefly for the client's) and closes."""
    try:
        if isinstance(sock, ssl.SSLSocket) and sock.fileno() >= 0:
            sock.settimeout(CLOSE_WAIT)
            try:
                sock.unwrap()
            except (OSError, ValueError, ssl.SSLError):
                pass
        sock.close()
    except OSError:
        pass


# -- HTTP/1.x ------------------------------------------------------------------------------


def read_line(reader, what):
    line = reader.readline(MAX_LINE + 1)
    if len(line) > MAX_LINE:
        raise BadRequest(f"{what} longer than {MAX_LINE} bytes")
    if line and not line.endswith(b"\n"):
        raise BadRequest(f"connection closed inside the {what}")
    return line[:-2] if line.endswith(b"\r\n") else line[:-1]


def read_fields(reader, what):
    fields = []
    while True:
        line = read_line(reader, what)
        if not line:
            return fields
        if line[:1] in (b" ", b"\t"):
            raise BadRequest(f"folded {what} line")
        name, colon, value = line.partition(b":")
        if not colon or not name or any(c in name for c in b" \t\r\n"):
            raise BadRequest(f"malformed {what} line {latin1(line)!r}")
        fields.append((name, value.strip(b" \t")))
        if len(fields) > MAX_HEADERS:
            raise BadRequest(f"more than {MAX_HEADERS} {what} lines")


def read_exactly(reader, count):
    data = reader.read(count)
    if len(data) != count:
        raise BadRequest(f"connection closed after {len(data)} of {count} body bytes")
    return data


def read_chunked(reader):
    body = bytearray()
    while True:
        size_line = read_line(reader, "chunk size")
        size_text = size_line.split(b";", 1)[0].strip(b" \t")
        try:
            size = int(size_text, 16)
        except ValueError:
            raise BadRequest(f"bad chunk size {latin1(size_line)!r}") from None
        if size_text.startswith((b"-", b"+", b"0x", b"0X")) or size < 0:
            raise BadRequest(f"bad chunk size {latin1(size_line)!r}")
        if size == 0:
            return bytes(body), read_fields(reader, "trailer")
        if len(body) + size > MAX_BODY:
            raise BadRequest(f"body larger than {MAX_BODY} bytes", 413)
        body += read_exactly(reader, size)
        if read_line(reader, "chunk end") != b"":
            raise BadRequest("chunk not followed by CRLF")


def read_request(reader, tls):
    """Reads one request: None when the client closed first, or a tuple
    (method, target, version, headers, body, chunked, trailers), all bytes."""
    line = reader.readline(MAX_LINE + 1)
    if not line:
        return None
    if len(line) > MAX_LINE or not line.endswith(b"\n"):
        raise BadRequest("request line too long or cut off")
    line = line[:-2] if line.endswith(b"\r\n") else line[:-1]
    parts = line.split(b" ")
    if len(parts) != 3 or not all(parts):
        raise BadRequest(f"malformed request line {latin1(line)!r}")
    method, target, version = parts
    if len(version) != 8 or not version.startswith(b"HTTP/1.") or not version[7:].isdigit():
        raise BadRequest(f"not an HTTP/1.x request line {latin1(line)!r}")
    headers = read_fields(reader, "header")

    def values(name):
        return [v for n, v in headers if n.lower() == name]

    encodings = values(b"transfer-encoding")
    lengths = values(b"content-length")
    chunked = False
    if encodings:
        codings = [c.strip(b" \t").lower() for v in encodings for c in v.split(b",")]
        if codings[-1] != b"chunked":
            raise BadRequest("transfer coding without chunked: body length unknown")
        chunked = True
    elif lengths:
        if len(set(lengths)) != 1 or not lengths[0].isdigit():
            raise BadRequest(f"bad Content-Length {[latin1(v) for v in lengths]!r}")
        length = int(lengths[0])
        if length > MAX_BODY:
            raise BadRequest(f"body larger than {MAX_BODY} bytes", 413)
    else:
        length = 0

    body_follows = chunked or length > 0
    if body_follows and version == b"HTTP/1.1" and \
            any(v.lower() == b"100-continue" for v in values(b"expect")):
        tls.sendall(b"HTTP/1.1 100 Continue\r\n\r\n")
    trailers = []
    if chunked:
        body, trailers = read_chunked(reader)
    else:
        body = read_exactly(reader, length) if length else b""
    return method, target, version, headers, body, chunked, trailers


def reason_phrase(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Status"


def send_response(tls, status, redirect, method):
    phrase = reason_phrase(status)
    body = f"{status} {phrase}\n".encode("ascii")
    if method == "HEAD" or status in (204, 304):
        body = b""
    head = [f"HTTP/1.1 {status} {phrase}", "Content-Type: text/plain; charset=utf-8",
            f"Content-Length: {len(body)}", "Connection: close"]
    if redirect:
        head.insert(1, f"Location: {redirect}")
    tls.sendall(("\r\n".join(head) + "\r\n\r\n").encode("latin-1") + body)


# -- the server's life -----------------------------------------------------------------------


def write_ready_file(path, port):
    temporary = f"{path}.{os.getpid()}.tmp"
    with open(temporary, "w", encoding="ascii") as out:
        json.dump({"port": port, "pid": os.getpid()}, out)
        out.write("\n")
    os.replace(temporary, path)


def open_listener(family, address, port):
    listener = socket.socket(family, socket.SOCK_STREAM)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        listener.bind((address, port))
        listener.listen(64)
        listener.setblocking(False)
    except OSError:
        listener.close()
        raise
    return listener


def serve(options):
    try:
        family, address, port = parse_listen(options.listen)
    except ValueError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return EXIT_USAGE

    manifest = certificates.make_certificates(options.cert_dir, options.host)
    files = manifest["variants"][options.variant]
    context = server_context(options.variant, os.path.join(manifest["dir"], files["cert"]),
                             os.path.join(manifest["dir"], files["key"]))
    if options.ready_file:
        try:
            os.unlink(options.ready_file)
        except FileNotFoundError:
            pass
    recorder = Recorder(options.record)
    stopper = Stopper()
    service = Service(options, context, recorder, stopper)

    signal.signal(signal.SIGTERM, lambda *_: stopper.stop("signal"))
    signal.signal(signal.SIGINT, lambda *_: stopper.stop("signal"))
    timer = threading.Timer(options.timeout, lambda: stopper.stop("timeout"))
    timer.daemon = True

    try:
        listener = open_listener(family, address, port)
    except OSError as error:
        print(f"{PROGRAM}: cannot listen on {options.listen}: {error}", file=sys.stderr)
        recorder.close("stopped", reason="listen failed", requests=0)
        return EXIT_FAILURE
    try:
        port = listener.getsockname()[1]
        timer.start()
        if options.ready_file:
            write_ready_file(options.ready_file, port)
        shown = f"[{address}]" if family == socket.AF_INET6 else address
        print(f"{PROGRAM}: listening on {shown}:{port} ({options.variant}), pid {os.getpid()}",
              file=sys.stderr, flush=True)
        while not stopper.event.is_set():
            try:
                readable, _, _ = select.select([listener, stopper.read_end], [], [])
            except InterruptedError:
                continue
            if listener not in readable or stopper.event.is_set():
                continue
            try:
                raw, peer = listener.accept()
            except (BlockingIOError, InterruptedError, ConnectionAbortedError):
                continue
            except OSError as error:  # out of descriptors: let handlers finish first
                print(f"{PROGRAM}: accept: {error}", file=sys.stderr)
                stopper.event.wait(0.1)
                continue
            raw.setblocking(True)
            threading.Thread(target=service.handle_connection, args=(raw, peer),
                             daemon=True).start()
    finally:
        listener.close()  # the port is free from here on
        timer.cancel()

    reason = stopper.reason or "signal"
    with service.count_lock:
        recorder.close("stopped", reason=reason, requests=service.requests)
    print(f"{PROGRAM}: stopped ({reason}) after {service.requests} request(s)",
          file=sys.stderr, flush=True)
    return EXIT_TIMEOUT if reason == "timeout" else EXIT_OK


def positive_number(text):
    value = float(text)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a positive number of seconds: {text}")
    return value


def non_negative_number(text):
    value = float(text)
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text}")
    return value


def positive_count(text):
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive count: {text}")
    return value


def host_name(text):
    if not certificates.HOST_NAME.match(text):
        raise argparse.ArgumentTypeError(f"not a host name: {text!r}")
    return text


def status_code(text):
    value = int(text)
    if not 200 <= value <= 599:
        raise argparse.ArgumentTypeError(f"status must be 200 to 599: {text}")
    return value


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="registration_service.py",
        description="Local HTTPS stand-in for the product registration service.")
    commands = parser.add_subparsers(dest="command", required=True)

    certs = commands.add_parser("certs", help="make the test certificates only")
    certs.add_argument("--cert-dir", required=True)
    certs.add_argument("--host", type=host_name, default=None,
                       help=f"host name in the server certificates (default "
                            f"{certificates.DEFAULT_HOST})")

    server = commands.add_parser("serve", help="serve HTTPS and record the requests")
    server.add_argument("--cert-dir", required=True)
    server.add_argument("--host", type=host_name, default=None,
                        help="host name for newly made certificates")
    server.add_argument("--listen", required=True, help="ADDR:PORT, loopback only; port 0 = any")
    server.add_argument("--record", required=True, help="JSON-lines file to append to")
    server.add_argument("--variant", default="normal",
                        choices=["normal", "tls10", "untrusted", "expired"])
    server.add_argument("--status", type=status_code, default=None)
    server.add_argument("--redirect", default=None, metavar="URL")
    server.add_argument("--delay", type=non_negative_number, default=0.0)
    server.add_argument("--max-requests", type=positive_count, default=None)
    server.add_argument("--ready-file", default=None)
    server.add_argument("--timeout", type=positive_number, default=300.0)

    options = parser.parse_args(argv)
    if options.command == "serve":
        if options.redirect is not None:
            if any(c in options.redirect for c in "\r\n") or not options.redirect:
                parser.error("--redirect needs a URL on one line")
            if options.status is None:
                options.status = 302
            elif not 300 <= options.status <= 399:
                parser.error("--redirect goes with a 3xx --status")
        elif options.status is None:
            options.status = 200
    return options


def main(argv=None):
    options = parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        if options.command == "certs":
            manifest = certificates.make_certificates(options.cert_dir, options.host)
            print(json.dumps(manifest, indent=2))
            return EXIT_OK
        return serve(options)
    except certificates.CertificateError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return EXIT_FAILURE
    except OSError as error:
        print(f"{PROGRAM}: {error}", file=sys.stderr)
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
