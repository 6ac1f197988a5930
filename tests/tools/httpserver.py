#!/usr/bin/env python3
"""Local HTTP server for PelMatic's end-to-end tests.

Serves a directory on 127.0.0.1 and can misbehave on demand (wrong status,
truncated or slow bodies, resets, hangs, redirects, chunked framing) so the
updater's error handling can be exercised against a real socket.

    httpserver.py --root DIR [--port 0] [--portfile FILE] [--log FILE]
                  [--faults FILE] [--max-seconds 1800]
                  [--tls-cert FILE --tls-key FILE] [--cache-control VALUE]

With --tls-cert and --tls-key it speaks HTTPS instead, with the same faults.
With --cache-control every answer carries that Cache-Control header (unless
a fault's headers name one), as a CDN's "public, max-age=3600" lets every
cache on the way keep it.

Faults (per path): status, body, body_hex, headers, cut (bytes), chunked,
drip ([bytes, ms] per piece), reset, hang (seconds of silence before any
answer), stall (seconds of silence after the headers, or after stall_after
bytes of the body), redirect (a Location, with code and body), endless (the
body, then filler without end), generate (the body, then that many filler
bytes, with their length announced).

Files are served with byte ranges: a strong ETag and Last-Modified,
Accept-Ranges, "Range: bytes=N-" (or N-M) answered 206 with Content-Range,
If-Range honoured, 416 with "bytes */SIZE" past the end. Faults for that:
cut_every (each answer's body cut after that many bytes), ignore_range
(always the whole file, 200), wrong_range ("start" or "total": a
Content-Range that does not match what is sent), no_content_range (206
without the header), etag (a text to send instead, or null for none),
last_modified (false for none). remove: a path removed (a file, or a
folder with what it holds) before the answer.

times: N makes a fault apply to the first N requests for its path since
the faults file was last written; the requests after them get the fault
under "then", or none.

The faults file maps an exact URL path (query ignored) to a fault object and
is re-read for every request, so a test can change behaviour mid-run. With
--sent FILE, one JSON line per answer gives its path, status and the body
bytes sent.
"""

import argparse
import email.utils
import json
import os
import shutil
import signal
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

# Big enough that the copy loop is not the bottleneck on loopback, small
# enough that a 1 GiB download never needs more than this in memory.
PIECE_SIZE = 256 * 1024

NO_BODY_STATUSES = (204, 304)


class FaultError(Exception):
    """The faults file or one of its entries cannot be used."""


def status_page(status):
    try:
        phrase = HTTPStatus(status).phrase
    except ValueError:
        phrase = "Status"
    return f"<html><body><h1>{status} {phrase}</h1></body></html>".encode("ascii")


def load_faults(path):
    if not path:
        return {}
    data = None
    # On Windows a concurrent os.replace() by the test can briefly make the
    # file unreadable; a missing file simply means "no faults".
    for _ in range(20):
        try:
            with open(path, "rb") as f:
                data = f.read()
            break
        except FileNotFoundError:
            return {}
        except PermissionError:
            time.sleep(0.01)
    if data is None:
        raise FaultError(f"cannot read faults file {path}")
    if not data.strip():
        return {}
    try:
        faults = json.loads(data)
    except ValueError as exc:
        raise FaultError(f"faults file is not valid JSON: {exc}") from None
    if not isinstance(faults, dict):
        raise FaultError("faults file must hold a JSON object")
    return faults


def target_path(target):
    """Path part of a request target, without query or fragment."""
    if target.startswith("/"):
        return target.split("?", 1)[0].split("#", 1)[0]
    return urllib.parse.urlsplit(target).path or "/"


def resolve_file(root, url_path):
    """Map a URL path to a regular file under root, or None."""
    decoded = urllib.parse.unquote(url_path, errors="surrogateescape")
    if "\x00" in decoded:
        return None
    parts = []
    for segment in decoded.split("/"):
        if segment in ("", "."):
            continue
        if segment == "..":
            return None
        parts.append(segment)
    candidate = os.path.realpath(os.path.join(root, *parts))
    # realpath also catches symlinks, backslashes and drive letters that
    # would otherwise lead outside the served tree.
    try:
        if os.path.commonpath([root, candidate]) != root:
            return None
    except ValueError:
        return None
    if not os.path.isfile(candidate):
        return None
    return candidate


class BytesBody:
    def __init__(self, data):
        self.data = data
        self.size = len(data)
        self.file = None

    def pieces(self, piece_size, limit):
        for start in range(0, limit, piece_size):
            yield self.data[start:min(start + piece_size, limit)]

    def close(self):
        pass


class FileBody:
    def __init__(self, path, offset=0, length=None):
        self.file = open(path, "rb")
        total = os.fstat(self.file.fileno()).st_size
        self.offset = offset
        self.size = total - offset if length is None else length
        self.file.seek(offset)

    def pieces(self, piece_size, limit):
        remaining = limit
        while remaining > 0:
            piece = self.file.read(min(piece_size, remaining))
            if not piece:
                return
            remaining -= len(piece)
            yield piece

    def close(self):
        self.file.close()


class FillerBody:
    """head followed by count filler bytes, made as they are sent."""

    def __init__(self, head, count):
        self.head = head
        self.size = len(head) + max(0, count)
        self.file = None

    def pieces(self, piece_size, limit):
        sent = 0
        filler = b" " * piece_size
        while sent < limit:
            if sent < len(self.head):
                piece = self.head[sent:sent + piece_size]
            else:
                piece = filler[:min(piece_size, limit - sent)]
            piece = piece[:limit - sent]
            sent += len(piece)
            yield piece

    def close(self):
        pass


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "PelMaticTestServer/1.0"
    # Drip faults send tiny pieces on purpose; Nagle would merge them.
    disable_nagle_algorithm = True

    # -- request side -----------------------------------------------------

    def parse_request(self):
        if not super().parse_request():
            return False
        # Logged before any response byte so a test that has seen the
        # response can rely on the log line being there.
        self._log_request()
        return True

    def _raw_target(self):
        words = self.requestline.split()
        return words[1] if len(words) > 1 else ""

    def _log_request(self):
        cfg = self.server.cfg
        if not cfg.log_path:
            return
        headers = {}
        first_spelling = {}
        for name, value in self.headers.items():
            key = first_spelling.setdefault(name.lower(), name)
            headers[key] = f"{headers[key]}, {value}" if key in headers else value
        entry = {
            "method": self.command,
            "path": self._raw_target(),
            "version": self.request_version,
            "headers": headers,
            "at": time.time(),
        }
        line = json.dumps(entry) + "\n"
        with cfg.log_lock:
            with open(cfg.log_path, "a", encoding="utf-8") as f:
                f.write(line)
                f.flush()

    def _drain_request_body(self):
        # GET/HEAD normally carry no body, but if one arrives it has to be
        # consumed or it would be parsed as the next keep-alive request.
        if self.headers.get("Transfer-Encoding"):
            self.close_connection = True
            return
        length = self.headers.get("Content-Length")
        if not length:
            return
        try:
            remaining = int(length)
        except ValueError:
            self.close_connection = True
            return
        while remaining > 0:
            chunk = self.rfile.read(min(remaining, 65536))
            if not chunk:
                self.close_connection = True
                return
            remaining -= len(chunk)

    # -- dispatch -----------------------------------------------------------

    def do_GET(self):
        self._respond(head=False)

    def do_HEAD(self):
        self._respond(head=True)

    def _respond(self, head):
        self._drain_request_body()
        url_path = target_path(self._raw_target())
        try:
            fault = self._lookup_fault(url_path)
            self._apply(url_path, fault, head)
        except FaultError as exc:
            self.log_message("fault error: %s", exc)
            self._send(500, BytesBody(f"faults error: {exc}\n".encode()),
                       "text/plain; charset=utf-8", head, {})

    def _lookup_fault(self, url_path):
        faults = load_faults(self.server.cfg.faults_path)
        cfg = self.server.cfg
        try:
            stamp = os.stat(cfg.faults_path).st_mtime_ns if cfg.faults_path else 0
        except OSError:
            stamp = 0
        with cfg.log_lock:
            # Requests are counted afresh whenever the faults are set.
            generation = "%d %s" % (stamp, json.dumps(faults, sort_keys=True))
            if cfg.generation != generation:
                cfg.generation, cfg.counts = generation, {}
        fault = faults.get(url_path)
        if fault is None:
            fault = faults.get(urllib.parse.unquote(url_path))
        if fault is None:
            return {}
        if not isinstance(fault, dict):
            raise FaultError(f"fault for {url_path} must be a JSON object")
        if "times" in fault:
            with cfg.log_lock:
                seen = cfg.counts.get(url_path, 0)
                cfg.counts[url_path] = seen + 1
            if seen >= int(_number(fault, "times")):
                fault = fault.get("then") or {}
                if not isinstance(fault, dict):
                    raise FaultError("'then' must be a JSON object")
        return fault

    def _apply(self, url_path, fault, head):
        extra = fault.get("headers") or {}
        if not isinstance(extra, dict):
            raise FaultError("'headers' must be a JSON object")

        # A file or folder of the tests' goes before the answer: for a
        # program whose next step must find it gone.
        if "remove" in fault:
            doomed = str(fault["remove"])
            if os.path.isdir(doomed) and not os.path.islink(doomed):
                shutil.rmtree(doomed, ignore_errors=True)
            elif os.path.lexists(doomed):
                os.remove(doomed)

        # Every request gets its record of what was sent, whatever its end:
        # the tests wait for it.
        if fault.get("reset"):
            self._record_sent(0, 0)
            self._reset()
            return
        if "hang" in fault:
            try:
                self._hang(_number(fault, "hang"))
            finally:
                self._record_sent(0, 0)
            return
        if "redirect" in fault:
            code = int(_number(fault, "code")) if "code" in fault else 302
            headers = dict(extra)
            headers["Location"] = str(fault["redirect"])
            body = str(fault.get("body", "")).encode("utf-8")
            self._send(code, BytesBody(body), "text/html", head, headers)
            return
        if fault.get("endless"):
            self._send_endless(str(fault.get("body", "")).encode("utf-8"), head, extra)
            return

        status = int(_number(fault, "status")) if "status" in fault else 200
        content_type = "application/octet-stream"
        if "body_hex" in fault:
            try:
                body = BytesBody(bytes.fromhex(str(fault["body_hex"])))
            except ValueError:
                raise FaultError("'body_hex' is not valid hex") from None
        elif "generate" in fault:
            body = FillerBody(str(fault.get("body", "")).encode("utf-8"),
                              int(_number(fault, "generate")))
        elif "body" in fault:
            body = BytesBody(str(fault["body"]).encode("utf-8"))
        elif "status" in fault:
            body = BytesBody(status_page(status))
            content_type = "text/html"
        else:
            path = resolve_file(self.server.cfg.root, url_path)
            body = None
            if path is not None:
                try:
                    status, body, extra = self._file_answer(path, fault, extra)
                except OSError:
                    body = None
            if body is None:
                status = 404
                body = BytesBody(status_page(404))
                content_type = "text/html"
        try:
            self._send(status, body, content_type, head, extra, fault)
        finally:
            body.close()

    # -- byte ranges --------------------------------------------------------

    def _file_answer(self, path, fault, extra):
        """(status, body, headers) for a file, with its validators and the
        range asked for."""
        st = os.stat(path)
        size = st.st_size
        headers = {"Accept-Ranges": "bytes"}
        etag = fault.get("etag", '"%x-%x"' % (size, st.st_mtime_ns))
        if etag is not None:
            headers["ETag"] = str(etag)
        modified = email.utils.formatdate(st.st_mtime, usegmt=True)
        if fault.get("last_modified", True):
            headers["Last-Modified"] = modified
        headers.update(extra)
        wanted = self.headers.get("Range")
        if_range = self.headers.get("If-Range")
        if not wanted or fault.get("ignore_range"):
            return 200, FileBody(path), headers
        if if_range is not None:
            strong = etag is not None and not str(etag).startswith("W/") and if_range == etag
            dated = fault.get("last_modified", True) and if_range == modified
            if not (strong or dated):
                return 200, FileBody(path), headers
        asked = wanted.strip()
        if not asked.startswith("bytes=") or "," in asked:
            return 200, FileBody(path), headers
        first, _, last = asked[6:].partition("-")
        try:
            start = int(first)
            end = int(last) if last else size - 1
        except ValueError:
            return 200, FileBody(path), headers
        if start >= size:
            headers["Content-Range"] = "bytes */%d" % size
            return 416, BytesBody(status_page(416)), headers
        end = min(end, size - 1)
        shown_start, shown_total = start, size
        wrong = fault.get("wrong_range")
        if wrong == "start":
            shown_start = start + 1
        elif wrong == "total":
            shown_total = size + 1
        if not fault.get("no_content_range"):
            headers["Content-Range"] = "bytes %d-%d/%d" % (shown_start, end, shown_total)
        return 206, FileBody(path, start, end - start + 1), headers

    def _record_sent(self, status, sent):
        cfg = self.server.cfg
        if not cfg.sent_path:
            return
        line = json.dumps({"path": self._raw_target(), "status": status, "sent": sent,
                           "range": self.headers.get("Range")}) + "\n"
        with cfg.log_lock:
            with open(cfg.sent_path, "a", encoding="utf-8") as f:
                f.write(line)

    # -- response side ------------------------------------------------------

    def _send(self, status, body, content_type, head, extra, fault=None):
        fault = fault or {}
        chunked = bool(fault.get("chunked"))
        cut = fault.get("cut")
        drip = fault.get("drip")
        if cut is not None:
            cut = int(_number(fault, "cut"))
        if "cut_every" in fault and 200 <= status < 300:
            cut = int(_number(fault, "cut_every"))
        chunk_size = PIECE_SIZE
        delay = 0.0
        if drip is not None:
            if (not isinstance(drip, list) or len(drip) != 2
                    or not all(isinstance(v, (int, float)) for v in drip)):
                raise FaultError("'drip' must be [chunk_bytes, delay_ms]")
            chunk_size = max(1, int(drip[0]))
            delay = max(0.0, drip[1] / 1000.0)

        send_body = status not in NO_BODY_STATUSES and not (100 <= status < 200)
        headers = {"content-type": ("Content-Type", content_type)}
        if self.server.cfg.cache_control:
            headers["cache-control"] = ("Cache-Control", self.server.cfg.cache_control)
        if send_body:
            if chunked:
                headers["transfer-encoding"] = ("Transfer-Encoding", "chunked")
            else:
                headers["content-length"] = ("Content-Length", str(body.size))
        for name, value in extra.items():
            lower = name.lower()
            if lower in ("content-length", "transfer-encoding"):
                # Framing chosen by the test; the connection cannot be
                # trusted for a follow-up request afterwards.
                self.close_connection = True
            headers[lower] = (name, str(value))

        self.send_response(status)
        for name, value in headers.values():
            self.send_header(name, value)
        self.end_headers()
        if head or not send_body:
            self._record_sent(status, 0)
            return

        limit = body.size if cut is None else max(0, min(cut, body.size))
        if cut is not None:
            self.close_connection = True

        if (isinstance(body, FileBody) and not chunked and drip is None
                and "stall" not in fault and hasattr(os, "sendfile")):
            sent = 0
            try:
                if limit > 0:  # socket.sendfile rejects a zero count
                    sent = self.connection.sendfile(body.file, body.offset, limit)
            finally:
                self._record_sent(status, sent)
            return
        self._sent = 0
        try:
            self._send_pieces(body, chunk_size, limit, delay, chunked, cut, fault)
        finally:
            self._record_sent(status, self._sent)

    def _send_pieces(self, body, chunk_size, limit, delay, chunked, cut, fault):
        stopping = self.server.cfg.stopping
        stall = fault.get("stall")
        stall_after = int(_number(fault, "stall_after")) if "stall_after" in fault else 0
        if stall is not None and stall_after <= 0:
            # The headers, then nothing.
            self.wfile.flush()
            self._hang(_number(fault, "stall"))
            return
        first = True
        sent = 0
        for piece in body.pieces(chunk_size, limit):
            if stall is not None and sent + len(piece) > stall_after:
                piece = piece[:stall_after - sent]
                self.wfile.write(piece)
                self.wfile.flush()
                self._hang(_number(fault, "stall"))
                return
            sent += len(piece)
            if not first and delay and stopping.wait(delay):
                self.close_connection = True
                return
            first = False
            if chunked:
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            else:
                self.wfile.write(piece)
            self._sent = sent
        if chunked and cut is None:
            self.wfile.write(b"0\r\n\r\n")

    def _send_endless(self, head, is_head, extra):
        """A body without end, as fast as the client takes it."""
        self.close_connection = True
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if self.server.cfg.cache_control and not any(n.lower() == "cache-control" for n in extra):
            self.send_header("Cache-Control", self.server.cfg.cache_control)
        for name, value in extra.items():
            self.send_header(name, str(value))
        self.end_headers()
        if is_head:
            self._record_sent(200, 0)
            return
        sent = 0
        try:
            self.wfile.write(head)
            sent = len(head)
            filler = b" " * PIECE_SIZE
            stopping = self.server.cfg.stopping
            while not stopping.is_set():
                self.wfile.write(filler)
                sent += len(filler)
        finally:
            self._record_sent(200, sent)

    def _reset(self):
        self.close_connection = True
        linger = struct.pack("HH" if sys.platform == "win32" else "ii", 1, 0)
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
        except OSError:
            pass
        # The buffered reader holds a reference to the socket; the descriptor
        # (and so the RST) only goes away once both are closed.
        self.rfile.close()
        self.connection.close()

    def _hang(self, seconds):
        self.close_connection = True
        self.server.cfg.stopping.wait(max(0.0, seconds))


def _number(fault, key):
    value = fault[key]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise FaultError(f"'{key}' must be a number")
    return value


class Config:
    def __init__(self, root, log_path, faults_path, sent_path=None, cache_control=None):
        self.root = root
        self.cache_control = cache_control
        self.log_path = log_path
        self.faults_path = faults_path
        self.sent_path = sent_path
        self.log_lock = threading.Lock()
        self.stopping = threading.Event()
        self.generation, self.counts = None, {}


class Server(ThreadingHTTPServer):
    daemon_threads = True
    # Hanging or dripping connections must not hold up shutdown.
    block_on_close = False
    request_queue_size = 128
    tls = None  # an ssl.SSLContext when serving HTTPS

    def get_request(self):
        sock, address = super().get_request()
        if self.tls is not None:
            # The handshake waits for the first read, in the connection's own
            # thread: a client that never finishes it holds up no one else.
            sock = self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address

    def server_bind(self):
        # HTTPServer.server_bind does a reverse DNS lookup, which can stall
        # start-up on machines with broken resolvers.
        socketserver.TCPServer.server_bind(self)
        host, port = self.server_address[:2]
        self.server_name = host
        self.server_port = port

    def handle_error(self, request, client_address):
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, TimeoutError, ssl.SSLError)):
            return  # the client hung up or refused the certificate, as tests make it
        super().handle_error(request, client_address)


def write_atomically(path, text):
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "w", encoding="ascii") as f:
        f.write(text)
    os.replace(tmp, path)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", required=True, help="directory to serve")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--portfile", help="file receiving the bound port")
    parser.add_argument("--log", help="append one JSON line per request")
    parser.add_argument("--faults", help="JSON file of per-path faults")
    parser.add_argument("--sent", help="append one JSON line per answer: the body bytes sent")
    parser.add_argument("--max-seconds", type=float, default=1800.0,
                        help="exit on our own after this long")
    parser.add_argument("--tls-cert", help="serve HTTPS with this PEM certificate (chain)")
    parser.add_argument("--tls-key", help="the PEM private key of --tls-cert")
    parser.add_argument("--cache-control", help="a Cache-Control header for every answer")
    args = parser.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    return args


def main(argv=None):
    args = parse_args(argv)
    root = os.path.realpath(args.root)
    if not os.path.isdir(root):
        print(f"httpserver: --root {args.root} is not a directory", file=sys.stderr)
        return 2

    server = Server(("127.0.0.1", args.port), Handler)
    if args.tls_cert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.tls_cert, args.tls_key)
    server.cfg = Config(
        root,
        os.path.abspath(args.log) if args.log else None,
        os.path.abspath(args.faults) if args.faults else None,
        os.path.abspath(args.sent) if args.sent else None,
        args.cache_control,
    )
    stopping = server.cfg.stopping

    def on_signal(signum, frame):
        stopping.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    worker = threading.Thread(target=server.serve_forever,
                              kwargs={"poll_interval": 0.1}, daemon=True)
    worker.start()
    port = server.server_address[1]
    if args.portfile:
        write_atomically(args.portfile, f"{port}\n")
    over = " over TLS" if server.tls else ""
    print(f"httpserver: serving {root} on 127.0.0.1:{port}{over}", file=sys.stderr, flush=True)

    deadline = time.monotonic() + args.max_seconds
    while not stopping.is_set():
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            print("httpserver: --max-seconds reached, stopping", file=sys.stderr)
            break
        stopping.wait(min(remaining, 0.5))
    stopping.set()
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
