#!/usr/bin/env python3
"""make demo: a whole update by the real POSIX program against a local
server, on a sample application folder under build/demo. The program asks
on the terminal; answer Y to update."""

import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "tools"))
from testserver import TestServer  # noqa: E402

DEMO = os.path.join(TOP, "build", "demo")
BUILD = os.path.join(TOP, "build", "posix-release")


def listing(folder):
    for base, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(base, name)
            print("    %-28s %8d bytes" % (os.path.relpath(path, folder), os.path.getsize(path)))


def version_of(path):
    data = open(path, "rb").read()
    key = "VS_VERSION_INFO".encode("utf-16-le")
    at = data.find(key) - 6  # the record starts with three 16-bit fields
    if at < 0:
        return "0"
    ms = int.from_bytes(data[at + 48:at + 52], "little")
    ls = int.from_bytes(data[at + 52:at + 56], "little")
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def main():
    shutil.rmtree(DEMO, ignore_errors=True)
    app, served, tmp = (os.path.join(DEMO, d) for d in ("app", "server", "tmp"))
    for d in (app, served, tmp):
        os.makedirs(d)
    tempfile.tempdir = tmp  # nothing is written outside build/

    # The installed application: version 2.30 with its checker.
    shutil.copy2(os.path.join(BUILD, "pelmatic"), os.path.join(app, "PELMATIC.EXE"))
    with open(os.path.join(app, "editor.exe"), "w") as f:
        f.write("editor 2.30\n")

    # The published update: manifest and package with a new application
    # file, a subfolder, a new configuration and a newer checker.
    with open(os.path.join(served, "editor.ver"), "wb") as f:
        f.write(b"ver=2.31\r\nfile=editor231.zip\r\nmode=3\r\n"
                b"msg=New export filter.\r\nFaster start-up.<>\r\n")
    with TestServer(served) as server:
        ini = ("[Check]\r\nver_now=%s\r\nver_file=editor\r\nurl_file=" + server.url +
               "\r\nurl_down=" + server.url + "\r\nclose_app=editor.exe\r\n")
        with open(os.path.join(app, "pelmatic.ini"), "w", newline="") as f:
            f.write(ini % "2.30")
        with zipfile.ZipFile(os.path.join(served, "editor231.zip"), "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("editor.exe", "editor 2.31\n")
            z.writestr("docs/whatsnew.txt", "New export filter.\r\nFaster start-up.\r\n")
            z.writestr("pelmatic.ini", ini % "2.31")
            info = zipfile.ZipInfo("PELMATIC.EXE")
            info.external_attr = 0o755 << 16
            z.writestr(info, open(os.path.join(BUILD, "pelmatic_next"), "rb").read())

        print("Sample application folder %s before the update:" % app)
        listing(app)
        print("\nStarting PELMATIC.EXE (manifest at %seditor.ver announces 2.31)." % server.url)
        print("Answer Y to update, N for the homepage, C to cancel.", flush=True)
        env = dict(os.environ, TMPDIR=tmp)
        code = subprocess.call([os.path.join(app, "PELMATIC.EXE")], cwd=app, env=env)
        print("\nPELMATIC.EXE exited with code %d. Requests the server saw:" % code)
        for r in server.requests():
            print("    %s %s  (User-Agent: %s)" % (r["method"], r["path"],
                                                   r["headers"].get("User-Agent", "")))

    for _ in range(100):  # the replacement script finishes after the program
        if not os.path.exists(os.path.join(app, "@Runme.bat")):
            break
        time.sleep(0.05)
    print("\nThe application folder now:")
    listing(app)
    exe = os.path.join(app, "pelmatic.exe")
    if os.path.exists(exe):
        print("\nThe checker was replaced: pelmatic.exe has version %s." % version_of(exe))
    return code


if __name__ == "__main__":
    sys.exit(main())
