#!/usr/bin/env python3
"""make demo: the real POSIX program against a local server, on a sample
application folder under build/demo. Answer its questions on the terminal."""

import os
import shutil
import subprocess
import sys
import tempfile

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "tools"))
from testserver import TestServer  # noqa: E402

DEMO = os.path.join(TOP, "build", "demo")
BIN = os.path.join(TOP, "build", "posix", "pelmatic")


def main():
    shutil.rmtree(DEMO, ignore_errors=True)
    app, served, tmp = (os.path.join(DEMO, d) for d in ("app", "server", "tmp"))
    for d in (app, served, tmp):
        os.makedirs(d)
    tempfile.tempdir = tmp  # nothing is written outside build/

    with open(os.path.join(served, "editor.ver"), "wb") as f:
        f.write(b"ver=2.30\r\nfile=editor230.zip\r\nmode=3\r\n"
                b"msg=Sample release notes.\r\nSecond line.<>\r\n")
    shutil.copy2(BIN, os.path.join(app, "PELMATIC.EXE"))

    with TestServer(served) as server:
        with open(os.path.join(app, "pelmatic.ini"), "wb") as f:
            f.write(("[Check]\r\nver_now=2.30\r\nver_file=editor\r\nurl_file=%s\r\n"
                     "url_down=%s\r\nclose_app=editor.exe\r\n" % (server.url, server.url)).encode())
        print("Sample application folder: %s" % app)
        print("Manifest served at %seditor.ver (version 2.30, installed 2.30)" % server.url)
        env = dict(os.environ, TMPDIR=tmp)
        code = subprocess.call([os.path.join(app, "PELMATIC.EXE")], cwd=app, env=env)
        print("\nPELMATIC.EXE exited with code %d; requests the server saw:" % code)
        for r in server.requests():
            print("  %s %s  (User-Agent: %s)" % (r["method"], r["path"],
                                                 r["headers"].get("User-Agent", "")))
    return code


if __name__ == "__main__":
    sys.exit(main())
