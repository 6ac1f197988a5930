"""Start and drive httpserver.py from Python unittest tests.

    with TestServer(root, faults={"/a.bin": {"status": 503}}) as srv:
        ... fetch srv.url + "a.bin" ...
        srv.requests()       # parsed request log, oldest first
        srv.set_faults({})   # takes effect on the next request

With tls_cert and tls_key (PEM files) it serves HTTPS and url starts with
"https://". With cache_control every answer carries that Cache-Control
header.
"""

import atexit
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

SERVER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "httpserver.py")



def end(proc, timeout):
    """Ends a helper process this suite started (None: nothing), asked
    first, killed when it does not go within timeout seconds."""
    if proc is None or proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()

class TestServer:
    # Keeps unittest from mistaking this helper for a test case.
    __test__ = False

    def __init__(self, root, faults=None, max_seconds=1800, startup_timeout=10.0,
                 tls_cert=None, tls_key=None, cache_control=None):
        self.root = os.path.abspath(root)
        self.cache_control = cache_control
        self.tls = (tls_cert, tls_key) if tls_cert else None
        self.port = None
        self.url = None
        self.proc = None
        self.returncode = None
        self._dir = tempfile.mkdtemp(prefix="pelmatic-httpd-")
        self.portfile = os.path.join(self._dir, "port")
        self.logfile = os.path.join(self._dir, "requests.jsonl")
        self.faultsfile = os.path.join(self._dir, "faults.json")
        self.sentfile = os.path.join(self._dir, "sent.jsonl")
        self.outputfile = os.path.join(self._dir, "server-output.txt")
        if faults is not None:
            self.set_faults(faults)
        self._start(max_seconds, startup_timeout)

    def _start(self, max_seconds, startup_timeout):
        cmd = [
            sys.executable, SERVER_SCRIPT,
            "--root", self.root,
            "--port", "0",
            "--portfile", self.portfile,
            "--log", self.logfile,
            "--faults", self.faultsfile,
            "--sent", self.sentfile,
            "--max-seconds", str(max_seconds),
        ]
        if self.tls:
            cmd += ["--tls-cert", self.tls[0], "--tls-key", self.tls[1]]
        if self.cache_control:
            cmd += ["--cache-control", self.cache_control]
        with open(self.outputfile, "wb") as out:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT)
        atexit.register(self.stop)
        deadline = time.monotonic() + startup_timeout
        while time.monotonic() < deadline:
            if os.path.exists(self.portfile):
                with open(self.portfile, encoding="ascii") as f:
                    self.port = int(f.read().strip())
                scheme = "https" if self.tls else "http"
                self.url = f"{scheme}://127.0.0.1:{self.port}/"
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.02)
        output = self.output()
        self.stop()
        raise RuntimeError(f"test HTTP server did not start; its output:\n{output}")

    def output(self):
        """Everything the server printed so far (useful in failure messages)."""
        try:
            with open(self.outputfile, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    @staticmethod
    def _records(path):
        """The JSON lines the server wrote to path so far."""
        try:
            with open(path, encoding="utf-8") as f:
                lines = f.read().split("\n")
        except FileNotFoundError:
            return []
        # The last element is either "" or a line still being written.
        return [json.loads(line) for line in lines[:-1] if line]

    def requests(self):
        """Logged requests as dicts: method, path, version, headers."""
        return self._records(self.logfile)

    def answers(self, wait=5.0):
        """Answers given as dicts: path, status, sent (body bytes), range
        (the Range asked for, or None); oldest first. The server records an
        answer just after its last byte left, which a client may have read
        before: this waits (at most wait seconds, for a request still being
        answered) until every logged request has its answer."""
        deadline = time.monotonic() + wait
        while True:
            answered = self._records(self.sentfile)
            if len(answered) >= len(self.requests()) or time.monotonic() >= deadline:
                return answered
            time.sleep(0.02)

    def sent_bytes(self, path):
        """Body bytes sent for path (as requested, e.g. "/a.zip") so far."""
        return sum(a["sent"] for a in self.answers() if a["path"] == path)

    def clear_log(self):
        # The server reopens the log in append mode per request, so
        # truncating in place is safe while it runs.
        for path in (self.logfile, self.sentfile):
            with open(path, "w", encoding="utf-8"):
                pass

    def set_faults(self, faults):
        """Replace the whole fault table; None or {} removes all faults."""
        tmp = self.faultsfile + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(faults or {}, f)
        for attempt in range(50):
            try:
                os.replace(tmp, self.faultsfile)
                return
            except PermissionError:
                # Windows refuses while the server has the old file open.
                if attempt == 49:
                    raise
                time.sleep(0.01)

    def stop(self):
        """Stop the server and remove its temp folder; safe to call twice."""
        atexit.unregister(self.stop)
        proc, self.proc = self.proc, None
        end(proc, 5)
        if proc is not None:
            self.returncode = proc.returncode
        if self._dir:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None
        return self.returncode

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.stop()
        return False
