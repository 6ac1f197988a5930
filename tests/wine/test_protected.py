"""Where applications really live, under Wine: a folder only an
administrator may write, updated through one elevated copy of the checker,
and an application whose windows are titled otherwise than its file.

Wine has no UAC: "runas" starts the copy directly. The application folder
is made unwritable for the run that asks by a folder named @temp.exe (the
write test's file cannot be made), which the test server removes when the
copy's own manifest request arrives, so that only the copy can write."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
from test_shell import (NEXT_EXE, NOTICE_CAPTION, PACKAGE, QUESTION_CAPTION,  # noqa: E402
                        ShellDoubleCase, double_registered, file_version, read)

IDRETRY = 4


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
class ProtectedFolderUnderWine(ShellDoubleCase):
    def setUp(self):
        super().setUp()
        self.blocker = os.path.join(self.app, "@temp.exe")
        os.mkdir(self.blocker)

    def manifest_requests(self):
        return [r for r in self.server.requests() if r["path"] == "/editor.ver"]

    def copy_windows(self, parent_pid):
        return [w for w in wt.list_windows()
                if w["title"] == wt.texts.WAIT and w["pid"] != parent_pid and w["visible"]]

    def test_updated_through_one_elevated_copy_which_replaces_the_checker(self):
        self.configure(run_app="readme.txt")
        self.offer_package({"readme.txt": b"new readme", "PELMATIC.EXE": read(NEXT_EXE)})
        self.server.set_faults({"/editor.ver": {"times": 1, "then": {"remove": self.blocker}}})
        proc = self.start()
        question = self.box(QUESTION_CAPTION)
        self.assertTrue(wt.press(question["hwnd"], wt.IDYES))
        pressed = time.monotonic()
        seen = None
        while seen is None and time.monotonic() - pressed < 30:
            if self.copy_windows(question["pid"]):
                seen = time.monotonic() - pressed
        self.assertIsNotNone(seen, "the elevated copy showed no status window")
        sys.stderr.write("\n  Yes to the elevated copy's status window: %.2f s\n" % seen)

        notice = self.box(NOTICE_CAPTION, timeout_ms=90000)
        # The notice is this run's own, and the copy is done: installed,
        # the new checker set aside, the script waiting for this run.
        self.assertEqual(notice["pid"], question["pid"])
        self.assertEqual(read(os.path.join(self.app, "readme.txt")), b"new readme")
        self.assertEqual(len(self.manifest_requests()), 2)
        time.sleep(2)
        self.assertEqual(file_version(self.exe), "2.0.0.0")
        self.assertTrue(os.path.exists(os.path.join(self.app, "NEW_PELMATIC.EXE")))
        self.assertEqual(wt.recorder_lines(), [])
        self.assertTrue(wt.press(notice["hwnd"], wt.IDOK))
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, 0)
        # This run, not the copy, started the application.
        self.assertTrue(wt.wait_recorded(
            lambda lines: any(l.lower().endswith("readme.txt") for l in lines)))
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and "pelmatic.exe" not in os.listdir(self.app):
            time.sleep(0.2)
        self.assertEqual(file_version(os.path.join(self.app, "pelmatic.exe")), "2.1.0.0")
        for gone in ("NEW_PELMATIC.EXE", "@Runme.bat", "@temp.exe"):
            self.assertFalse(os.path.exists(os.path.join(self.app, gone)), gone)
        self.assertEqual(len(self.manifest_requests()), 2)

    def test_a_copy_that_cannot_write_either_fails_once(self):
        self.configure()
        self.offer_package({"readme.txt": b"new readme"})
        proc = self.start()
        self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], wt.IDYES))
        status = wt.wait_box(60000, title=wt.texts.failed(-3).decode(), cls="")
        self.assertIsNotNone(status, "no failure status window")
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(wt.wait_recorded(
            lambda lines: any(self.server.url + PACKAGE in l for l in lines)))
        # Two checks, the run's and the copy's: no second elevation.
        self.assertEqual(len(self.manifest_requests()), 2)
        self.assertEqual([r["path"] for r in self.server.requests()], ["/editor.ver"] * 2)
        self.assertFalse(os.path.exists(os.path.join(self.app, "readme.txt")))


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
class ApplicationWindowsUnderWine(ShellDoubleCase):
    """The application is a copy of the test driver named editor.exe whose
    one window is titled as real editors title theirs."""

    def start_editor(self, *flags):
        self.marker = os.path.join(self.root, "closed.txt")
        p = wt.start_window(self.root, "Untitled - Editor", "--marker",
                            wt.unix_to_wine_path(self.marker), "--lifetime", "90000", *flags)
        self.procs.append(p)
        return p

    def test_a_window_titled_otherwise_is_closed_and_the_update_goes_on(self):
        self.configure(close_app="editor.exe")
        self.offer_package({"readme.txt": b"new readme"})
        editor = self.start_editor()
        proc = self.start()
        self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], wt.IDYES))
        notice = self.box(NOTICE_CAPTION, timeout_ms=60000)
        editor.wait(timeout=30)
        self.assertEqual(read(self.marker), b"closed\n")
        self.assertTrue(wt.press(notice["hwnd"], wt.IDOK))
        proc.wait(timeout=30)
        self.assertEqual(read(os.path.join(self.app, "readme.txt")), b"new readme")

    def test_an_application_that_stays_is_offered_retry(self):
        self.configure(close_app="editor.exe")
        self.offer_package({"readme.txt": b"new readme"})
        editor = self.start_editor("--ignore-close")
        proc = self.start()
        self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], wt.IDYES))
        box = self.box(QUESTION_CAPTION, timeout_ms=30000)
        self.assertEqual(box["text"], wt.texts.close_app_box(b"editor.exe"))
        self.assertEqual(sorted(b["id"] for b in box["buttons"]), [wt.IDCANCEL, IDRETRY])
        self.assertEqual(box["icon"], "warning")
        self.assertTrue(box["exstyle"] & wt.WS_EX_TOPMOST)
        self.assertFalse(os.path.exists(os.path.join(self.app, "readme.txt")))
        # The user closes it by hand, then tries again.
        wt.end_programs("editor.exe")
        editor.wait(timeout=30)
        self.assertTrue(wt.press(box["hwnd"], IDRETRY))
        notice = self.box(NOTICE_CAPTION, timeout_ms=60000)
        self.assertTrue(wt.press(notice["hwnd"], wt.IDOK))
        proc.wait(timeout=30)
        self.assertEqual(read(os.path.join(self.app, "readme.txt")), b"new readme")
        self.assertEqual(read(self.marker), b"ignored\n")


if __name__ == "__main__":
    unittest.main()
