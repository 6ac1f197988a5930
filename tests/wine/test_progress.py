"""The status window of an update under Wine, watched from another process
(tests/tools/observer.c) as Windows and a user see it: it answers at every
poll, its bar only grows and reaches the top, its line tells how far the
update is, and its Cancel button stops the update in each phase with the
application folder as it was, byte for byte."""

import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
from test_shell import (HOLDER_SRC, PACKAGE, ShellDoubleCase, double_registered,  # noqa: E402
                        snapshot)

WAIT = wt.texts.WAIT
QUESTION_CAPTION = wt.texts.question_caption()
MIB = 1 << 20
# About 6 MiB/s: 192 KiB every 31 ms.
THROTTLE = {"drip": [192 * 1024, 31]}
DOWNLOAD_LINE = re.compile(r"^\d+\.\d of 48\.0 MiB(, \d+\.\d MiB/s(, about \d+ (s|min) left)?)?$")


def observer_path():
    return wt.harness_vars()["PELMATIC_OBSERVER"]


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
class StatusWindowUnderWine(ShellDoubleCase):
    def setUp(self):
        super().setUp()
        self.configure()
        with open(os.path.join(self.app, "editor.exe"), "wb") as f:
            f.write(b"editor 2.30")

    def big_package(self):
        self.offer_package({"editor.exe": b"editor 2.31", "data.bin": os.urandom(48 * MIB - 11)},
                           compression=zipfile.ZIP_STORED)

    def installation(self):
        return snapshot(self.app, (PACKAGE + ".contents",))

    def update(self, *observer_args):
        """Starts the program, says Yes to the update and watches the status
        window until it goes; gives the observer's records, the program's
        process and the moment (time.monotonic) the window went."""
        proc = self.start()
        question = self.box(QUESTION_CAPTION)
        out = tempfile.TemporaryFile()
        self.addCleanup(out.close)
        observer = wt.start_wine(observer_path(), ["--title", WAIT.decode(), "--timeout",
                                                    "90000"] + list(observer_args),
                                 stdout=out, stderr=subprocess.DEVNULL)
        self.procs.append(observer)
        self.assertTrue(wt.press(question["hwnd"], wt.IDYES))
        self.assertEqual(observer.wait(timeout=120), 0, "the observer saw no end of the window")
        gone = time.monotonic()
        out.seek(0)
        records = [json.loads(line) for line in out.read().decode("ascii").splitlines() if line]
        return records, proc, gone

    def test_the_window_answers_and_shows_how_far_the_update_is(self):
        self.big_package()
        self.server.set_faults({"/" + PACKAGE: THROTTLE})
        # As the shell copies out of a ZIP folder: after CopyHere returns.
        self.double.configure(copy_delay_ms=1)
        records, proc, _ = self.update()
        polls = [r for r in records if "ms" in r]
        self.assertGreater(len(polls), 20)
        for r in polls:
            self.assertEqual(r["answered"], 1, r)
            self.assertEqual(r["hung"], 0, r)
            self.assertEqual(wt.to_bytes(r["text"]), WAIT)
            self.assertEqual((r["bar"], r["button"], r["lo"], r["hi"]), (1, 1, 0, 1000), r)
        positions = [r["pos"] for r in polls]
        self.assertEqual(positions, sorted(positions), "the bar moved back")
        self.assertEqual(positions[-1], 1000)
        # While the file comes, the bar moves at least every 1.5 s.
        downloading = [r for r in polls if DOWNLOAD_LINE.match(r["line"])]
        self.assertGreater(len(downloading), 20)
        still, last_change, last_pos = 0, downloading[0]["ms"], downloading[0]["pos"]
        for r in downloading:
            if r["pos"] != last_pos:
                still = max(still, r["ms"] - last_change)
                last_change, last_pos = r["ms"], r["pos"]
        self.assertLessEqual(still, 1500)
        lines = [r["line"] for r in polls]
        self.assertTrue(any(", about " in line for line in lines), lines)
        for line in lines:
            self.assertTrue(line == "" or DOWNLOAD_LINE.match(line) or
                            re.match(r"^Unpacking: \d+ files$", line) or
                            re.match(r"^Installing \d+ of 2 files$", line), line)
        self.assertIn("Installing 2 of 2 files", lines)
        rtts = [r["rtt_us"] / 1000 for r in polls]
        sys.stderr.write("\n  %d polls, WM_NULL round trip median %.1f ms, max %.1f ms, "
                         "longest stand-still of the bar while downloading %d ms\n"
                         % (len(polls), statistics.median(rtts), max(rtts), still))
        notice = self.box(wt.texts.NOTICE_CAPTION)
        self.assertTrue(wt.press(notice["hwnd"], wt.IDOK))
        self.assertEqual(proc.wait(timeout=30), 0)
        with open(os.path.join(self.app, "editor.exe"), "rb") as f:
            self.assertEqual(f.read(), b"editor 2.31")

    def test_an_installers_bar_is_full_before_the_window_goes(self):
        # Padding after the program makes a download of a few seconds.
        self.serve("setup231.exe", wt.installer_program() + bytes(4 * MIB))
        self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\n")
        self.server.set_faults({"/setup231.exe": {"drip": [256 * 1024, 100]}})
        records, proc, _ = self.update()
        positions = [r["pos"] for r in records if "ms" in r]
        self.assertGreater(len(positions), 5)
        self.assertEqual(positions[-1], 1000, positions)
        self.assertEqual(proc.wait(timeout=30), 0)

    def cancelled(self, before, records, proc, gone, what):
        """After a Cancel: the run ends at once with exit code 0 and no box,
        nothing handed to the shell, the folder exactly as before."""
        clicks = [r["clicked"] for r in records if "clicked" in r]
        self.assertEqual(len(clicks), 1, "Cancel was never clicked")
        self.assertEqual(proc.wait(timeout=30), 0)
        ends = [r["ended"] - clicks[0] for r in records if "ended" in r]
        self.assertEqual(len(ends), 1, "the observer did not see the program end")
        sys.stderr.write("\n  cancel %s: the run ended %d ms after the click\n" % (what, ends[0]))
        # Within a second while the package comes or is unpacked; an
        # installation is undone first.
        if what != "while installing":
            self.assertLess(ends[0], 1000)
        self.assertIsNone(wt.wait_box(1500), "a box appeared after Cancel")
        self.assertEqual(wt.recorder_lines(), [], "something was started after Cancel")
        self.assertEqual(self.installation(), before)

    def test_cancel_while_the_package_downloads(self):
        self.big_package()
        self.server.set_faults({"/" + PACKAGE: THROTTLE})
        before = self.installation()
        # 40 % of the download: 320 of the 800 the download takes of the bar.
        records, proc, gone = self.update("--cancel-at-pos", "320", "--wait-end")
        self.cancelled(before, records, proc, gone, "while downloading")

    def test_cancel_while_the_package_is_unpacked(self):
        self.offer_package({"editor.exe": b"editor 2.31", "docs/readme.txt": b"new"})
        # The shell takes its time to copy the package's files out.
        self.double.configure(copy_delay_ms=5000)
        before = self.installation()
        records, proc, gone = self.update("--cancel-at-line", "Unpacking", "--wait-end")
        self.cancelled(before, records, proc, gone, "while unpacking")

    def test_cancel_while_the_package_is_installed(self):
        files = {"editor.exe": b"editor 2.31", "readme.txt": b"new"}
        with open(os.path.join(self.app, "readme.txt"), "wb") as f:
            f.write(b"old")
        self.offer_package(files)
        before = self.installation()
        # Another program holds a file that is to be replaced, so the
        # installation waits for it: Cancel comes meanwhile.
        holder = wt.compile_c(HOLDER_SRC, self.root, "holder")
        held = wt.start_wine(holder, [wt.unix_to_wine_path(os.path.join(self.app, "readme.txt")),
                                      "8000"])
        self.procs.append(held)
        self.assertEqual(held.stdout.readline().strip(), b"held")
        records, proc, gone = self.update("--cancel-at-line", "Installing", "--wait-end")
        self.cancelled(before, records, proc, gone, "while installing")


if __name__ == "__main__":
    unittest.main()
