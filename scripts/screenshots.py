#!/usr/bin/env python3
"""Pictures of what users see, taken from the real PELMATIC.EXE under Wine
on the private Xvfb display, against a local server: each window as it
stands on the screen, cut out of a dump of the display (xwd) and written as
PNG, with index.json naming each picture's window and its size.

  screenshots.py OUTDIR

Uses the Wine harness of PELMATIC_WINE_STATE when one runs; otherwise
starts its own and stops it afterwards."""

import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "wine"))
sys.path.insert(0, os.path.join(TOP, "tests", "tools"))

NOTES = b"New export filter.\r\nFaster start-up."
PACKAGE = "editor231.zip"


# ---- pictures -----------------------------------------------------------------

def screen():
    """The display as (width, height, rows of RGB bytes), from xwd."""
    data = subprocess.run(["xwd", "-root", "-silent", "-display", os.environ["DISPLAY"]],
                          capture_output=True, check=True).stdout
    fields = struct.unpack(">25I", data[:100])
    header_size, pixmap_format, width, height = fields[0], fields[2], fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line = fields[7], fields[11], fields[12]
    red_mask, green_mask, blue_mask, ncolors = fields[14], fields[15], fields[16], fields[19]
    if pixmap_format != 2 or bits_per_pixel not in (24, 32):
        raise RuntimeError("xwd gave %d bits per pixel in format %d; expected a true-colour "
                           "ZPixmap" % (bits_per_pixel, pixmap_format))
    pixels = data[header_size + ncolors * 12:]
    size = bits_per_pixel // 8
    shifts = [(m, (m & -m).bit_length() - 1) for m in (red_mask, green_mask, blue_mask)]
    rows = []
    for y in range(height):
        line = pixels[y * bytes_per_line:y * bytes_per_line + width * size]
        values = [int.from_bytes(line[x:x + size], "little" if byte_order == 0 else "big")
                  for x in range(0, width * size, size)]
        rows.append(bytes(((p & m) >> s) & 0xFF for p in values for m, s in shifts))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + row for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height,
                                                                  8, 2, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def read_png(path):
    """(width, height, rows) of a PNG written by write_png."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    at, idat, width, height = 8, b"", 0, 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw = zlib.decompress(idat)
    stride = 1 + width * 3
    return width, height, [raw[y * stride + 1:(y + 1) * stride] for y in range(height)]


def grab(window, path):
    """The window's rectangle of the screen, as it stands, into path."""
    time.sleep(0.5)  # drawn, not just mapped
    left, top, right, bottom = window["rect"]
    width, height, rows = screen()
    left, top = max(0, left), max(0, top)
    right, bottom = min(width, right), min(height, bottom)
    write_png(path, right - left, bottom - top, [r[left * 3:right * 3] for r in rows[top:bottom]])
    return right - left, bottom - top


# ---- the moments ----------------------------------------------------------------

def take(outdir):
    import winetools as wt
    from signing import Signer
    from testserver import TestServer

    texts = wt.texts
    root = tempfile.mkdtemp(prefix="pelmatic-shots-")
    served = os.path.join(root, "served")
    app = os.path.join(root, "app")
    os.mkdir(served)
    os.mkdir(app)
    shutil.copy2(wt.EXE, os.path.join(app, "PELMATIC.EXE"))
    server = TestServer(served)
    index = {}
    procs = []
    # What the runs keep of the user's choices goes with them.
    os.makedirs(wt.state_folder(), exist_ok=True)
    states_before = set(os.listdir(wt.state_folder()))

    def serve(name, data):
        with open(os.path.join(served, name), "wb") as f:
            f.write(data)

    def configure(**extra):
        with open(os.path.join(app, "pelmatic.ini"), "wb") as f:
            f.write(wt.ini_bytes(server.url, **extra))

    def start():
        p = wt.start_wine(os.path.join(app, "PELMATIC.EXE"), cwd=app)
        procs.append(p)
        return p

    def shoot(name, window, what):
        if window is None:
            raise RuntimeError("no window for %s" % name)
        width, height = grab(window, os.path.join(outdir, name + ".png"))
        index[name + ".png"] = {"what": what, "width": width, "height": height,
                                "title": window["title"].decode("utf-8")}
        print("screenshots: %s.png (%d x %d): %s" % (name, width, height, what))

    def box(caption):
        return wt.wait_box(30000, title=caption.decode("utf-8"))

    def status(text):
        return wt.wait_box(90000, title=text.decode("utf-8"), cls="")

    def close(window, button, proc):
        wt.press(window["hwnd"], button)
        proc.wait(timeout=60)

    try:
        # The question with release notes.
        serve("editor.ver", b"ver=2.31\r\nfile=" + PACKAGE.encode() + b"\r\nmsg=" + NOTES +
              b"<>\r\n")
        configure()
        p = start()
        w = box(texts.question_caption())
        shoot("update-question", w, "the update question with the release notes")
        close(w, wt.IDCANCEL, p)
        # The same question where pelmatic.ini lets the user skip a version.
        configure(skip="1", remind_hours="24")
        p = start()
        w = box(texts.question_caption())
        shoot("update-question-skip", w, "the update question with its check box Skip this version")
        close(w, wt.IDCANCEL, p)
        configure()

        # An application that does not close: a window of editor.exe that
        # ignores the close requests, titled as editors title theirs.
        holder = wt.start_window(root, "Untitled - Editor", "--ignore-close", "--lifetime", "60000")
        procs.append(holder)
        configure(close_app="editor.exe")
        p = start()
        wt.press(box(texts.question_caption())["hwnd"], wt.IDYES)
        w = box(texts.question_caption())
        shoot("close-application", w, "the application did not close: Retry or Cancel")
        close(w, wt.IDCANCEL, p)
        wt.end_programs("editor.exe")
        holder.wait(timeout=30)
        configure()

        # Up to date.
        serve("editor.ver", b"ver=2.30\r\n")
        p = start()
        w = box(texts.NOTICE_CAPTION)
        shoot("up-to-date", w, "the installed version is the newest")
        close(w, wt.IDOK, p)

        # No version information: no manifest at all, then one that is not
        # signed where a signature is required.
        os.remove(os.path.join(served, "editor.ver"))
        p = start()
        w = box(texts.NOTICE_CAPTION)
        shoot("no-information", w, "no manifest could be read")
        close(w, wt.IDOK, p)
        serve("editor.ver", b"ver=2.31\r\nproduct=editor\r\n")
        configure(pub_key=Signer(root).pub_key)
        p = start()
        w = box(texts.NOTICE_CAPTION)
        shoot("no-information-signature", w, "a manifest refused for its signature, with the reason")
        close(w, wt.IDOK, p)

        # A failure code: the package is not on the server.
        configure()
        serve("editor.ver", b"ver=2.31\r\nfile=" + PACKAGE.encode() + b"\r\n")
        p = start()
        wt.press(box(texts.question_caption())["hwnd"], wt.IDYES)
        shoot("failed", status(texts.failed(-11)), "a failed update with its code")
        p.wait(timeout=60)

        # The update itself: the status window half way through the
        # download of the package (which comes slowly), then the notice at
        # the end. Wine's shell opens no ZIP folder: the harness's stand-in
        # shows the package's files to the program.
        with zipfile.ZipFile(os.path.join(served, PACKAGE), "w") as z:
            z.writestr("editor.txt", "editor 2.31\r\n")
            z.writestr("filler.bin", os.urandom(8 << 20))
        contents = os.path.join(app, PACKAGE + ".contents")
        os.mkdir(contents)
        with zipfile.ZipFile(os.path.join(served, PACKAGE)) as z:
            z.extractall(contents)
        server.set_faults({"/" + PACKAGE: {"drip": [65536, 80]}})
        p = start()
        wt.press(box(texts.question_caption())["hwnd"], wt.IDYES)
        # Half the download is 400 of the bar's 1000 (the download takes 800).
        subprocess.run([wt.wine_loader(), wt.harness_vars()["PELMATIC_OBSERVER"], "--title",
                        texts.WAIT.decode(), "--until-pos", "400", "--timeout", "60000"],
                       env=wt.wine_env(), stdout=subprocess.DEVNULL, check=True, timeout=120)
        shoot("please-wait", status(texts.WAIT),
              "half way through the download: the progress, the rate, the time left and Cancel")
        w = wt.wait_box(90000, title=texts.NOTICE_CAPTION.decode("utf-8"))
        shoot("complete", w, "the update is installed")
        close(w, wt.IDOK, p)
    finally:
        wt.reap(procs)
        for name in set(os.listdir(wt.state_folder())) - states_before:
            os.remove(os.path.join(wt.state_folder(), name))
        server.stop()
        shutil.rmtree(root, ignore_errors=True)
    with open(os.path.join(outdir, "index.json"), "w") as f:
        json.dump(index, f, indent=1, sort_keys=True)
        f.write("\n")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    outdir = os.path.abspath(sys.argv[1])
    os.makedirs(outdir, exist_ok=True)
    state = os.environ.get("PELMATIC_WINE_STATE")
    own = not (state and os.path.isfile(os.path.join(state, "env.sh")))
    harness = os.path.join(TOP, "tests", "wine", "harness.sh")
    if own:
        state = os.path.join(TOP, "build", "screenshots-state")
        # The 32-bit build where this host runs it, as make test does.
        arch = os.environ.get("PELMATIC_WINE_ARCH") or (
            "win32" if subprocess.run(["bash", os.path.join(TOP, "scripts", "host-runs-i386.sh")])
            .returncode == 0 else "win64")
        subprocess.run(["bash", harness, "start", state, arch], check=True)
        os.environ["PELMATIC_WINE_STATE"] = state
    try:
        import winetools as wt
        os.environ["DISPLAY"] = wt.harness_vars()["DISPLAY"]
        take(outdir)
    finally:
        if own:
            subprocess.run(["bash", harness, "stop", state])
    return 0


if __name__ == "__main__":
    sys.exit(main())
