#!/usr/bin/env python3
"""Checks that the end-to-end test server really produces each behaviour
the updater tests depend on; a server that silently serves the plain file
instead of a fault would make those tests pass for the wrong reason."""

import http.client
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from testserver import SERVER_SCRIPT, TestServer  # noqa: E402

DATA = bytes(range(256)) * 40 + b"\x00" * 100  # zero bytes on purpose
NOT_FOUND = b"<html><body><h1>404 Not Found</h1></body></html>"


def raw_exchange(port, request, timeout=5.0):
    """Send raw bytes, return everything received until the peer closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        received = b""
        while True:
            data = s.recv(65536)
            if not data:
                return received
            received += data


def split_response(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), headers, body


class HttpServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        base = cls.tmp.name
        cls.root = os.path.join(base, "root")
        os.makedirs(os.path.join(cls.root, "sub"))
        with open(os.path.join(cls.root, "data.bin"), "wb") as f:
            f.write(DATA)
        open(os.path.join(cls.root, "empty.bin"), "wb").close()
        with open(os.path.join(cls.root, "sub", "with space.txt"), "wb") as f:
            f.write(b"spaced")
        with open(os.path.join(base, "secret.txt"), "wb") as f:
            f.write(b"TOP-SECRET")
        cls.server = TestServer(cls.root)
        cls.port = cls.server.port

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tmp.cleanup()

    def setUp(self):
        self.server.set_faults({})
        self.server.clear_log()

    def connect(self, timeout=5.0):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        self.addCleanup(conn.close)
        return conn

    def get(self, conn, path, method="GET", headers=None):
        conn.request(method, path, headers=headers or {})
        resp = conn.getresponse()
        return resp, resp.read()

    def test_files_served_exactly_over_one_keepalive_connection(self):
        conn = self.connect()
        resp, body = self.get(conn, "/data.bin")
        sock = conn.sock
        self.assertEqual(resp.status, 200)
        self.assertEqual(body, DATA)
        self.assertEqual(resp.getheader("Content-Length"), str(len(DATA)))

        resp, body = self.get(conn, "/empty.bin")
        self.assertEqual((resp.status, body, resp.getheader("Content-Length")), (200, b"", "0"))

        resp, body = self.get(conn, "/data.bin", method="HEAD")
        self.assertEqual((resp.status, body), (200, b""))
        self.assertEqual(resp.getheader("Content-Length"), str(len(DATA)))

        resp, body = self.get(conn, "/sub/with%20space.txt?v=1")
        self.assertEqual((resp.status, body), (200, b"spaced"))

        resp, body = self.get(conn, "/missing.bin")
        self.assertEqual((resp.status, body), (404, NOT_FOUND))
        self.assertEqual(resp.getheader("Content-Length"), str(len(NOT_FOUND)))
        # Every answer above must have kept the same TCP connection.
        self.assertIs(conn.sock, sock)

    def test_dot_dot_cannot_escape_root(self):
        for target in ("/../secret.txt", "/sub/../../secret.txt",
                       "/%2e%2e/secret.txt", "/sub/..%2f..%2fsecret.txt",
                       "/sub/%2E%2E%2F%2E%2E%2Fsecret.txt"):
            raw = raw_exchange(self.port, f"GET {target} HTTP/1.1\r\nHost: x\r\n"
                                          "Connection: close\r\n\r\n".encode())
            status, _, body = split_response(raw)
            self.assertEqual(status, 404, target)
            self.assertNotIn(b"TOP-SECRET", raw, target)

    def test_status_body_and_extra_header_faults(self):
        self.server.set_faults({
            "/data.bin": {"status": 503, "body": "busy", "headers": {"Retry-After": "7"}},
            "/gone": {"status": 410},
            "/text": {"body": "1.2.3\n"},
            "/hex": {"body_hex": "00ff0010"},
        })
        conn = self.connect()
        resp, body = self.get(conn, "/data.bin")
        self.assertEqual((resp.status, body), (503, b"busy"))
        self.assertEqual(resp.getheader("Retry-After"), "7")
        self.assertEqual(resp.getheader("Content-Length"), "4")

        resp, body = self.get(conn, "/gone")
        self.assertEqual(resp.status, 410)
        self.assertEqual(body, b"<html><body><h1>410 Gone</h1></body></html>")

        resp, body = self.get(conn, "/text")
        self.assertEqual((resp.status, body), (200, b"1.2.3\n"))
        resp, body = self.get(conn, "/hex")
        self.assertEqual((resp.status, body), (200, b"\x00\xff\x00\x10"))

    def test_faults_reread_between_requests(self):
        conn = self.connect()
        self.assertEqual(self.get(conn, "/data.bin")[0].status, 200)
        self.server.set_faults({"/data.bin": {"status": 500}})
        # The query string must not stop the fault from matching.
        self.assertEqual(self.get(conn, "/data.bin?x=1")[0].status, 500)
        self.server.set_faults({})
        resp, body = self.get(conn, "/data.bin")
        self.assertEqual((resp.status, body), (200, DATA))

    def test_cut_sends_full_length_then_closes_early(self):
        self.server.set_faults({"/data.bin": {"cut": 1000}, "/text": {"body": "abcdef", "cut": 2}})
        raw = raw_exchange(self.port, b"GET /data.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        status, headers, body = split_response(raw)
        self.assertEqual(status, 200)
        self.assertEqual(headers["content-length"], str(len(DATA)))
        # raw_exchange only returns once the server closed the connection.
        self.assertEqual(body, DATA[:1000])

        conn = self.connect()
        conn.request("GET", "/text")
        resp = conn.getresponse()
        with self.assertRaises(http.client.IncompleteRead) as caught:
            resp.read()
        self.assertEqual(caught.exception.partial, b"ab")

    def test_byte_ranges_with_validators(self):
        conn = self.connect()
        resp, body = self.get(conn, "/data.bin")
        etag, modified = resp.getheader("ETag"), resp.getheader("Last-Modified")
        self.assertTrue(etag.startswith('"'), etag)
        self.assertEqual(resp.getheader("Accept-Ranges"), "bytes")
        resp, body = self.get(conn, "/data.bin", headers={"Range": "bytes=1000-"})
        self.assertEqual((resp.status, body), (206, DATA[1000:]))
        self.assertEqual(resp.getheader("Content-Range"), "bytes 1000-%d/%d"
                         % (len(DATA) - 1, len(DATA)))
        for validator in (etag, modified):
            resp, body = self.get(conn, "/data.bin",
                                  headers={"Range": "bytes=10-19", "If-Range": validator})
            self.assertEqual((resp.status, body), (206, DATA[10:20]))
        # Another validator: the whole file, as after a change.
        resp, body = self.get(conn, "/data.bin", headers={"Range": "bytes=10-", "If-Range": '"x"'})
        self.assertEqual((resp.status, body), (200, DATA))
        resp, body = self.get(conn, "/data.bin", headers={"Range": "bytes=%d-" % len(DATA)})
        self.assertEqual((resp.status, resp.getheader("Content-Range")),
                         (416, "bytes */%d" % len(DATA)))
        self.assertEqual([(a["status"], a["sent"]) for a in self.server.answers()],
                         [(200, len(DATA)), (206, len(DATA) - 1000), (206, 10), (206, 10),
                          (200, len(DATA)), (416, len(body))])

    def test_range_faults(self):
        self.server.set_faults({"/data.bin": {"ignore_range": True, "etag": None,
                                              "last_modified": False}})
        conn = self.connect()
        resp, body = self.get(conn, "/data.bin", headers={"Range": "bytes=5-"})
        self.assertEqual((resp.status, body, resp.getheader("ETag"),
                          resp.getheader("Last-Modified")), (200, DATA, None, None))
        for wrong, shown in (("start", "bytes 6-"), ("total", "/%d" % (len(DATA) + 1))):
            self.server.set_faults({"/data.bin": {"wrong_range": wrong}})
            resp, body = self.get(self.connect(), "/data.bin", headers={"Range": "bytes=5-"})
            self.assertEqual((resp.status, body), (206, DATA[5:]))
            self.assertIn(shown, resp.getheader("Content-Range"))
        self.server.set_faults({"/data.bin": {"no_content_range": True}})
        resp, body = self.get(self.connect(), "/data.bin", headers={"Range": "bytes=5-"})
        self.assertEqual((resp.status, resp.getheader("Content-Range")), (206, None))
        # Cut after every 1000 bytes of each answer, ranges or not.
        self.server.set_faults({"/data.bin": {"cut_every": 1000}})
        status, _, body = split_response(raw_exchange(
            self.port, b"GET /data.bin HTTP/1.1\r\nHost: x\r\nRange: bytes=3000-\r\n\r\n"))
        self.assertEqual((status, body), (206, DATA[3000:4000]))

    def test_times_and_then(self):
        self.server.set_faults({"/data.bin": {"status": 503, "headers": {"Retry-After": "2"},
                                              "times": 2, "then": {"cut": 10}}})
        statuses = []
        for _ in range(3):
            status, headers, body = split_response(raw_exchange(
                self.port, b"GET /data.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"))
            statuses.append((status, headers.get("retry-after"), len(body)))
        self.assertEqual([s[:2] for s in statuses], [(503, "2"), (503, "2"), (200, None)])
        self.assertEqual(statuses[2][2], 10)
        # New faults count afresh.
        self.server.set_faults({"/data.bin": {"reset": True, "times": 1}})
        with self.assertRaises(OSError):
            self.get(self.connect(), "/data.bin")
        resp, body = self.get(self.connect(), "/data.bin")
        self.assertEqual(body, DATA)
        # A folder of the test's goes with the second request, before its answer.
        doomed = tempfile.mkdtemp()
        open(os.path.join(doomed, "inside"), "w").close()
        self.server.set_faults({"/data.bin": {"times": 1, "then": {"remove": doomed}}})
        self.get(self.connect(), "/data.bin")
        self.assertTrue(os.path.isdir(doomed))
        resp, body = self.get(self.connect(), "/data.bin")
        self.assertEqual((resp.status, body), (200, DATA))
        self.assertFalse(os.path.exists(doomed))

    def test_drip_delivers_whole_body_slowly(self):
        self.server.set_faults({"/data.bin": {"drip": [len(DATA) // 5 + 1, 60]}})
        start = time.monotonic()
        resp, body = self.get(self.connect(), "/data.bin")
        elapsed = time.monotonic() - start
        self.assertEqual((resp.status, body), (200, DATA))
        self.assertGreaterEqual(elapsed, 4 * 0.06 - 0.01)  # five pieces, four gaps

    def test_chunked_with_and_without_drip(self):
        self.server.set_faults({
            "/data.bin": {"chunked": True},
            "/slow": {"chunked": True, "body": "x" * 30, "drip": [7, 1]},
        })
        conn = self.connect()
        sock = None
        for path, expected in (("/data.bin", DATA), ("/slow", b"x" * 30)):
            resp, body = self.get(conn, path)
            self.assertEqual(resp.getheader("Transfer-Encoding"), "chunked")
            self.assertIsNone(resp.getheader("Content-Length"))
            self.assertEqual(body, expected)
            sock = sock or conn.sock
            self.assertIs(conn.sock, sock)  # terminator sent, connection reusable

        raw = raw_exchange(self.port, b"GET /slow HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        self.assertEqual(split_response(raw)[2],
                         b"7\r\nxxxxxxx\r\n" * 4 + b"2\r\nxx\r\n0\r\n\r\n")

    def test_redirects(self):
        self.server.set_faults({
            "/old": {"redirect": "/data.bin"},
            "/moved": {"redirect": "http://127.0.0.1:1/x", "code": 301},
        })
        conn = self.connect()
        resp, body = self.get(conn, "/old")
        self.assertEqual((resp.status, resp.getheader("Location"), body), (302, "/data.bin", b""))
        self.assertEqual(resp.getheader("Content-Length"), "0")
        resp, body = self.get(conn, "/moved")
        self.assertEqual((resp.status, resp.getheader("Location")), (301, "http://127.0.0.1:1/x"))

    def test_redirect_with_a_body_and_to_other_schemes(self):
        self.server.set_faults({"/ftp": {"redirect": "ftp://127.0.0.1/x.ver",
                                         "body": "ver=9.9\r\n"}})
        resp, body = self.get(self.connect(), "/ftp")
        self.assertEqual((resp.status, resp.getheader("Location"), body),
                         (302, "ftp://127.0.0.1/x.ver", b"ver=9.9\r\n"))

    def test_endless_and_generated_bodies(self):
        self.server.set_faults({"/endless": {"endless": True, "body": "ver=9.9\r\n"},
                                "/big": {"generate": 3 << 20, "body": "ver=9.9\r\n"}})
        resp, _ = self.get(self.connect(), "/big")
        self.assertEqual(resp.getheader("Content-Length"), str((3 << 20) + 9))
        resp, body = self.get(self.connect(), "/big")
        self.assertEqual((len(body), body[:9], body[-3:]), ((3 << 20) + 9, b"ver=9.9\r\n", b"   "))
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as s:
            s.sendall(b"GET /endless HTTP/1.1\r\nHost: x\r\n\r\n")
            received = b""
            while len(received) < 8 << 20:  # far more than any file it could be
                received += s.recv(1 << 20)
        head, _, body = received.partition(b"\r\n\r\n")
        self.assertNotIn(b"content-length", head.lower())
        self.assertTrue(body.startswith(b"ver=9.9\r\n   "))

    def test_stall_after_the_headers_or_part_of_the_body(self):
        self.server.set_faults({"/data.bin": {"stall": 30, "stall_after": 100},
                                "/empty.bin": {"stall": 30}})
        for path, wanted in (("/data.bin", 100), ("/empty.bin", 0)):
            with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                s.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % path.encode())
                received = b""
                with self.assertRaises(socket.timeout):
                    while True:
                        data = s.recv(65536)
                        self.assertTrue(data, "the server closed instead of stalling")
                        received += data
            status, headers, body = split_response(received)
            self.assertEqual((status, len(body)), (200, wanted), path)

    def test_reset_aborts_with_rst(self):
        self.server.set_faults({"/data.bin": {"reset": True}})
        with self.assertRaises(ConnectionResetError):
            raw_exchange(self.port, b"GET /data.bin HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertEqual(len(self.server.requests()), 1)

    def test_hang_times_out_client_and_request_is_logged_first(self):
        self.server.set_faults({"/data.bin": {"hang": 30}})
        with socket.create_connection(("127.0.0.1", self.port), timeout=0.5) as s:
            s.sendall(b"GET /data.bin HTTP/1.1\r\nHost: x\r\n\r\n")
            with self.assertRaises(socket.timeout):
                s.recv(100)
        # The server never answered, yet the request is already in the log.
        self.assertEqual([r["path"] for r in self.server.requests()], ["/data.bin"])

    def test_request_log_keeps_headers(self):
        raw_exchange(self.port,
                     b"GET /data.bin?channel=beta HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     b"User-Agent: PelMatic/0.1\r\nCache-Control: no-cache\r\n"
                     b"X-Dup: a\r\nx-dup: b\r\nConnection: close\r\n\r\n")
        self.get(self.connect(), "/empty.bin", method="HEAD")
        first, second = self.server.requests()
        self.assertEqual(first["method"], "GET")
        self.assertEqual(first["path"], "/data.bin?channel=beta")
        self.assertEqual(first["version"], "HTTP/1.1")
        self.assertEqual(first["headers"], {
            "Host": "127.0.0.1", "User-Agent": "PelMatic/0.1",
            "Cache-Control": "no-cache", "X-Dup": "a, b", "Connection": "close"})
        self.assertEqual((second["method"], second["path"]), ("HEAD", "/empty.bin"))

    @unittest.skipUnless(os.path.exists("/proc/self/status"), "needs /proc")
    def test_large_file_streams_in_bounded_memory(self):
        size = 192 * 1024 * 1024
        with open(os.path.join(self.root, "big.bin"), "wb") as f:
            f.truncate(size)  # sparse: costs no disk
        self.addCleanup(os.remove, os.path.join(self.root, "big.bin"))
        # Once through sendfile, once through the chunked copy loop.
        for faults in ({}, {"/big.bin": {"chunked": True}}):
            self.server.set_faults(faults)
            with socket.create_connection(("127.0.0.1", self.port), timeout=10) as s:
                s.sendall(b"GET /big.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                buf = bytearray(1 << 20)
                received = 0
                while True:
                    n = s.recv_into(buf)
                    if not n:
                        break
                    received += n
            self.assertGreater(received, size, faults)  # headers + every file byte
        with open(f"/proc/{self.server.proc.pid}/status") as f:
            peak_kb = next(int(line.split()[1]) for line in f if line.startswith("VmHWM"))
        self.assertLess(peak_kb, 100 * 1024)


class CacheControlTest(unittest.TestCase):
    def test_every_answer_may_be_kept_unless_a_fault_says_otherwise(self):
        with tempfile.TemporaryDirectory() as root:
            for name in ("a.bin", "own.bin"):
                with open(os.path.join(root, name), "wb") as f:
                    f.write(DATA)
            with TestServer(root, cache_control="public, max-age=3600") as srv:
                srv.set_faults({"/gone": {"status": 404},
                                "/own.bin": {"headers": {"Cache-Control": "no-store"}},
                                "/endless": {"endless": True}})
                for path, request, status, value in [
                        ("/a.bin", b"", 200, "public, max-age=3600"),
                        ("/a.bin", b"Range: bytes=10-\r\n", 206, "public, max-age=3600"),
                        ("/gone", b"", 404, "public, max-age=3600"),
                        ("/own.bin", b"", 200, "no-store"),
                        ("/endless", b"", 200, "public, max-age=3600")]:
                    with self.subTest(path=path, request=request):
                        with socket.create_connection(("127.0.0.1", srv.port), timeout=5) as s:
                            s.sendall(b"GET %s HTTP/1.1\r\nHost: x\r\n%s\r\n"
                                      % (path.encode(), request))
                            head = b""
                            while b"\r\n\r\n" not in head:
                                head += s.recv(4096)
                        answer, headers, _ = split_response(head)
                        self.assertEqual((answer, headers.get("cache-control")), (status, value))
                        self.assertEqual(head.lower().count(b"cache-control:"), 1)
            with TestServer(root) as plain:
                _, headers, _ = split_response(raw_exchange(
                    plain.port, b"GET /a.bin HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"))
                self.assertNotIn("cache-control", headers)


class LifecycleTest(unittest.TestCase):
    def test_sigterm_and_max_seconds_stop_cleanly(self):
        with tempfile.TemporaryDirectory() as root:
            with TestServer(root) as srv:
                # A hanging connection must not keep the server alive.
                srv.set_faults({"/h": {"hang": 60}})
                s = socket.create_connection(("127.0.0.1", srv.port), timeout=5)
                self.addCleanup(s.close)
                s.sendall(b"GET /h HTTP/1.1\r\nHost: x\r\n\r\n")
                deadline = time.monotonic() + 5
                while not srv.requests() and time.monotonic() < deadline:
                    time.sleep(0.01)
                self.assertTrue(srv.requests())
                start = time.monotonic()
                self.assertEqual(srv.stop(), 0)  # exited by itself, not killed
                self.assertLess(time.monotonic() - start, 3)
                self.assertEqual(s.recv(10), b"")

            portfile = os.path.join(root, "port")
            start = time.monotonic()
            proc = subprocess.run([sys.executable, SERVER_SCRIPT, "--root", root,
                                   "--portfile", portfile, "--max-seconds", "0.5"],
                                  capture_output=True, timeout=10)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertLess(time.monotonic() - start, 5)
            with open(portfile) as f:
                self.assertGreater(int(f.read()), 0)


if __name__ == "__main__":
    unittest.main()
