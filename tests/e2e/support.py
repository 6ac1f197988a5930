"""The real POSIX program in a fresh application folder, against the real
test server: what the end-to-end tests share."""

import io
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from testserver import TestServer  # noqa: E402,F401
import texts  # noqa: E402,F401
from texts import CRLF  # noqa: E402,F401

BIN = os.environ.get("PELMATIC_BIN") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "posix", "pelmatic")

NEXT_BIN = os.path.join(os.path.dirname(os.path.abspath(BIN)), "pelmatic_next")


def notice(text):
    """What an information box prints on the terminal desktop."""
    return b"\n== " + texts.NOTICE_CAPTION + b" ==\n" + text + texts.NOTICE_TAIL + b"\n[OK] "


def up_to_date(ver_file, remote, old):
    return notice(texts.up_to_date(ver_file, remote, old))


def no_information(ver_file):
    return notice(texts.no_information(ver_file))


def status(text):
    return b"[status] " + text + b"\n"


def split_progress(err):
    """stderr without its [progress] lines, and those lines as (phase, done,
    total) with total None when unknown: the suites that check the rest of
    the terminal desktop's lines compare them apart."""
    kept, progress = [], []
    for line in err.splitlines(keepends=True):
        if line.startswith(b"[progress] "):
            phase, done, total = line.split()[1:4]
            progress.append((phase.decode(), int(done), None if total == b"?" else int(total)))
        else:
            kept.append(line)
    return b"".join(kept), progress


def launch(target):
    return b"[launch] " + target + b"\n"


def start_serving():
    """A fresh folder and a test server for it, for a whole test module."""
    root = tempfile.mkdtemp(prefix="pelmatic-served-")
    return root, TestServer(root)


def stop_serving(root, server):
    server.stop()
    shutil.rmtree(root, ignore_errors=True)


class ServedCase(unittest.TestCase):
    """A test server for the class (self.served, self.server), its faults and
    its logs cleared for each test."""

    @classmethod
    def setUpClass(cls):
        cls.served, cls.server = start_serving()

    @classmethod
    def tearDownClass(cls):
        stop_serving(cls.served, cls.server)

    def setUp(self):
        self.server.set_faults({})
        self.server.clear_log()


# Folders named in scripts beyond ASCII: the temporary folder (the root of
# the case, which TMPDIR names) and the application folder inside it.
ANY_SCRIPT = ("pelmatic-\u674e-", ("\u041f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u044b",
                                 "\u0420\u0435\u0434\u0430\u043a\u0442\u043e\u0440"))


class AppFolder:
    """A temporary application folder holding the program as PELMATIC.EXE;
    folders, when given, are the root's prefix and the folder's names below
    it (ANY_SCRIPT)."""

    def __init__(self, folders=None):
        prefix, names = folders or ("pelmatic-e2e-", ("app",))
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.dir = os.path.join(self.root, *names)
        os.makedirs(self.dir)
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

    def ini(self, encoding="latin-1", **keys):
        lines = ["[Check]"] + ["%s=%s" % (k, v) for k, v in keys.items()]
        self.write("pelmatic.ini", ("\r\n".join(lines) + "\r\n").encode(encoding))

    # The proxy that http_proxy and https_proxy name for the program; None
    # leaves the caller's environment as it is.
    proxy = None

    def env(self):
        env = dict(os.environ)
        # system_path: the folders searched after bin, the system's own unless set.
        path = getattr(self, "system_path", None)
        env["PATH"] = self.bin + os.pathsep + (env.get("PATH", "") if path is None else path)
        env["TMPDIR"] = self.root
        # The user's state (skip, remind, the last check) and the
        # administrator's policy are the case's own.
        env["XDG_STATE_HOME"] = os.path.join(self.root, "state")
        env["PELMATIC_POLICY_FILE"] = os.path.join(self.root, "policy.ini")
        if self.proxy is not None:
            for name in ("http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                         "no_proxy", "NO_PROXY"):
                env.pop(name, None)
            env["http_proxy"] = env["https_proxy"] = self.proxy
        return env

    def run(self, option=None, answers=b"", timeout=60):
        """(exit code, stdout, stderr without [progress] lines); the progress
        lines of the run are kept in self.progress."""
        args = [self.exe] + ([option] if option is not None else [])
        p = subprocess.run(args, input=answers, capture_output=True, timeout=timeout,
                           cwd=self.root, env=self.env())
        err, self.progress = split_progress(p.stderr)
        return p.returncode, p.stdout, err

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


# ---- the update offer --------------------------------------------------------

HOME = "http://127.0.0.1:9/home"
NOTES = b"New export filter." + CRLF + b"Faster start-up."
MANIFEST_NOTES = b"msg=" + NOTES + b"<>\r\n"
CLOSED = b"[status closed]\n"
WAIT = status(texts.WAIT)


def close_request(title):
    return b"[close] " + title + b"\n"


def retry_box(close_app):
    return (b"\n== " + texts.question_caption() + b" ==\n" + texts.close_app_box(close_app) +
            b"\n[R]etry / [C]ancel ? ")


def elevate(exe, option=b"", version=b"2.31"):
    """The line of the terminal desktop's elevation, for the copy it starts."""
    return b"[elevate] %s \"%s\" /elevated=%s\n" % (exe, option, version.hex().encode())


def fallback(code, url):
    return status(texts.failed(code)) + launch(url) + CLOSED


def homepage_question(remote=b"2.31", old=b"2.30", notes=NOTES):
    return (b"\n== " + texts.question_caption() + b" ==\n" +
            texts.homepage_question(remote, old, notes) + b"\n[O]K / [C]ancel ? ")


def update_question(update_file, remote=b"2.31", old=b"2.30", notes=NOTES):
    return (b"\n== " + texts.question_caption() + b" ==\n" +
            texts.update_question(update_file, remote, old, notes) +
            b"\n[Y]es / [N]o / [C]ancel ? ")


COMPLETE = notice(texts.complete())


def recording_script(marker):
    """A program that leaves its own path behind when it runs."""
    return ('#!/bin/sh\nprintf "%%s\\n" "$0" >> "%s"\n' % marker).encode()


def zip_bytes(entries):
    """entries: name -> bytes (None for a folder); names ending in .exe are executable."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries.items():
            info = zipfile.ZipInfo(name + ("/" if data is None else ""))
            info.create_system = 3
            if data is None:
                info.external_attr = (0o40755 << 16) | 0x10
                z.writestr(info, b"")
            else:
                mode = 0o755 if name.lower().endswith(".exe") else 0o644
                info.external_attr = (0o100000 | mode) << 16
                z.writestr(info, data)
    return buf.getvalue()


def tree(folder):
    """Everything below folder: relative paths, folders with a trailing slash."""
    found = []
    for base, dirs, files in os.walk(folder):
        for d in dirs:
            found.append(os.path.relpath(os.path.join(base, d), folder) + "/")
        for f in files:
            found.append(os.path.relpath(os.path.join(base, f), folder))
    return sorted(found)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def wait_for(condition, seconds=5.0):
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.05)


def other_checkers_running():
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.path.basename(os.readlink("/proc/%s/exe" % pid)).upper() == "PELMATIC.EXE":
                return True
        except OSError:
            pass
    return False


class UpdateFolder(AppFolder):
    """An application folder whose desktop also runs the programs handed to
    it, as a desktop runs a downloaded installer the user opens."""

    def __init__(self, folders=None):
        super().__init__(folders)
        self.appdir = os.path.realpath(self.dir) + "/"
        self.tmpdir = os.path.realpath(self.root) + "/"
        with open(os.path.join(self.bin, "xdg-open"), "w") as f:
            f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n'
                    'if [ -f "$1" ] && [ "$(head -c 2 "$1")" = "#!" ]; then exec sh "$1"; fi\n'
                    % self.opened)

    def run(self, option=None, answers=b"", timeout=60):
        # The program steps aside silently while another PELMATIC.EXE runs,
        # as one from a neighbouring test suite may.
        wait_for(lambda: not other_checkers_running(), 60)
        return super().run(option, answers, timeout)

    def timed_run(self, option=None, answers=b""):
        wait_for(lambda: not other_checkers_running(), 60)
        started = time.monotonic()
        code, out, err = super().run(option, answers)
        return code, out, err, time.monotonic() - started

    def opened_after(self, count, seconds=5.0):
        """The targets handed to the desktop, once count of them have arrived."""
        wait_for(lambda: len(self.opened_targets()) >= count, seconds)
        return self.opened_targets()
