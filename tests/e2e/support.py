"""The real POSIX program in a fresh application folder, against the real
test server: what the end-to-end tests share."""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from testserver import TestServer  # noqa: E402,F401

BIN = os.environ.get("PELMATIC_BIN") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "posix", "pelmatic")

CAPTION = b"PelMatic 2.000 - automatic version checker"
CRLF = b"\r\n"


def notice(text):
    """What an information box prints on the terminal desktop."""
    return b"\n== " + CAPTION + b" ==\n" + text + b"    \n[OK] "


class AppFolder:
    """A temporary application folder holding the program as PELMATIC.EXE."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="pelmatic-e2e-")
        self.dir = os.path.join(self.root, "app")
        os.mkdir(self.dir)
        self.exe = os.path.join(self.dir, "PELMATIC.EXE")
        shutil.copy2(BIN, self.exe)
        # Documents and URLs go to a recording stand-in for the desktop's opener.
        self.bin = os.path.join(self.root, "bin")
        os.mkdir(self.bin)
        self.opened = os.path.join(self.root, "opened.txt")
        opener = os.path.join(self.bin, "xdg-open")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % self.opened)
        os.chmod(opener, 0o755)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        with open(self.path(name), "wb") as f:
            f.write(data)

    def ini(self, **keys):
        lines = ["[Check]"] + ["%s=%s" % (k, v) for k, v in keys.items()]
        self.write("pelmatic.ini", "\r\n".join(lines) + "\r\n")

    def env(self):
        env = dict(os.environ)
        env["PATH"] = self.bin + os.pathsep + env.get("PATH", "")
        env["TMPDIR"] = self.root
        return env

    def run(self, option=None, answers=b"", timeout=60):
        args = [self.exe] + ([option] if option is not None else [])
        p = subprocess.run(args, input=answers, capture_output=True, timeout=timeout,
                           cwd=self.root, env=self.env())
        return p.returncode, p.stdout, p.stderr

    def start(self, option=None):
        args = [self.exe] + ([option] if option is not None else [])
        return subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, cwd=self.root, env=self.env())

    def opened_targets(self):
        if not os.path.exists(self.opened):
            return []
        with open(self.opened, "rb") as f:
            return f.read().splitlines()

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)
