"""PELMATIC.EXE itself under Wine: its boxes and status window as a user
sees them, answered through the test driver, against the test server."""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
from signing import Signer, file_keys  # noqa: E402

CRLF = wt.texts.CRLF
NOTICE_CAPTION = wt.texts.NOTICE_CAPTION
QUESTION_CAPTION = wt.texts.question_caption()
IDOK, IDCANCEL, IDYES, IDNO = wt.IDOK, wt.IDCANCEL, wt.IDYES, wt.IDNO


@wt.skip_unless_harness
class PelmaticUnderWine(wt.ServedAppFolderCase):
    def answer(self, box, button, proc=None):
        self.assertTrue(wt.press(box["hwnd"], button))
        if proc is not None:
            proc.wait(timeout=30)
            self.assertEqual(proc.returncode, 0)

    def assertBox(self, box, text, buttons, icon):
        self.assertEqual(box["text"], text)
        self.assertEqual(sorted(b["id"] for b in box["buttons"]), sorted(buttons))
        self.assertEqual(box["icon"], icon)
        self.assertTrue(box["exstyle"] & wt.WS_EX_TOPMOST)

    def manifest_requests(self):
        return [r for r in self.server.requests() if r["path"].endswith(".ver")]

    def test_up_to_date_box_and_the_guard_against_a_second_copy(self):
        self.serve("editor.ver", b"ver=2.30\r\n")
        self.configure()
        first = self.start()
        box = self.box(NOTICE_CAPTION)
        self.assertBox(box, wt.texts.up_to_date() + wt.texts.NOTICE_TAIL, [IDOK], "question")
        # While the first copy waits at its box, a second one does nothing.
        code, _, _ = wt.run_wine(self.exe, [], cwd=self.app, timeout=60)
        self.assertEqual(code, 0)
        self.assertEqual(len(self.manifest_requests()), 1)
        self.assertEqual([w for w in wt.list_windows() if w["class"] == "#32770"
                          and w["hwnd"] != box["hwnd"] and w["visible"]], [])
        self.answer(box, IDOK, first)
        headers = {k.lower(): v for k, v in self.manifest_requests()[0]["headers"].items()}
        self.assertEqual(headers.get("user-agent"), "Pelmatic")

    def test_no_information_box_for_error_page_and_local_mode(self):
        self.serve("editor.ver", b"ver=9.99\r\n")
        self.server.set_faults({"/editor.ver": {"status": 404, "body": "ver=9.99\r\n"}})
        self.configure()
        expected = wt.texts.no_information() + wt.texts.NOTICE_TAIL
        proc = self.start()
        self.assertBox(self.box(NOTICE_CAPTION), expected, [IDOK], "question")
        self.answer(self.box(NOTICE_CAPTION), IDOK, proc)
        # "-nf": local mode reads no manifest from the web, finds none here.
        self.server.clear_log()
        proc = self.start("-nf")
        self.assertBox(self.box(NOTICE_CAPTION), expected, [IDOK], "question")
        self.answer(self.box(NOTICE_CAPTION), IDOK, proc)
        self.assertEqual(self.manifest_requests(), [])

    def test_a_refused_signed_manifest_says_why(self):
        vendor = Signer(self.root)
        self.configure(pub_key=vendor.pub_key)
        reason = b"The version information is not signed."
        for name, manifest, reason in [
                ("unsigned", b"ver=2.31\r\nproduct=editor\r\n", reason),
                ("other product", vendor.sign(b"ver=2.31\r\nproduct=viewer\r\n"),
                 b"The version information is for another product.")]:
            with self.subTest(name):
                self.serve("editor.ver", manifest)
                proc = self.start()
                box = self.box(NOTICE_CAPTION)
                self.assertBox(box, wt.texts.no_information() + CRLF + CRLF + reason +
                               wt.texts.NOTICE_TAIL, [IDOK], "question")
                self.answer(box, IDOK, proc)
        # Signed as it should be, it is offered.
        self.serve("editor.ver", vendor.sign(b"ver=2.31\r\nproduct=editor\r\nmode=1\r\n"))
        proc = self.start()
        self.answer(self.box(QUESTION_CAPTION), IDCANCEL, proc)

        # An installer other than the one the signed manifest names: -4, the
        # homepage, nothing started.
        self.serve("setup231.exe", b"MZ" + bytes(5000))
        self.serve("editor.ver", vendor.sign(b"ver=2.31\r\nfile=setup231.exe\r\nproduct=editor"
                                             b"\r\n" + file_keys(b"another installer")))
        wt.clear_recorder()
        proc = self.start()
        self.answer(self.box(QUESTION_CAPTION), IDYES)
        self.assertIsNotNone(wt.wait_box(30000, title=wt.texts.failed(-4).decode(), cls=""))
        proc.wait(timeout=30)
        self.assertTrue(wt.wait_recorded(lambda lines: any(wt.HOME in l for l in lines)))
        self.assertFalse(any("setup231" in l for l in wt.wait_recorded(lambda lines: True)))

    def test_update_question_and_the_homepage(self):
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\nmsg=Faster.<>\r\n")
        self.configure()
        proc = self.start()
        box = self.box(QUESTION_CAPTION)
        self.assertBox(box, b"There is NEW VERSION available :   " + CRLF + CRLF +
                       b"remote version:   2.31." + CRLF + CRLF + b"your old version:  2.30." +
                       CRLF + CRLF + b"What is new: " + CRLF + b"Faster.   " + CRLF + CRLF +
                       b"editor231.zip" + CRLF + CRLF +
                       b"Please CLOSE APPLICATION before update !   " + CRLF + CRLF +
                       b"UPDATE to the new version now (No= Show homepage) ?   " + CRLF,
                       [IDYES, IDNO, IDCANCEL], "question")
        self.answer(box, IDNO, proc)
        self.assertTrue(wt.wait_recorded(lambda lines: any("127.0.0.1:9/home/" in l for l in lines)))

    def test_the_question_skips_this_version_by_its_check_box(self):
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\nmsg=Faster.<>\r\n")
        self.configure(skip="1", remind_hours="24")
        question = wt.texts.update_question(b"editor231.zip", b"2.31", b"2.30", b"Faster.")
        proc = self.start("-@")
        box = self.box(QUESTION_CAPTION)
        self.assertBox(box, question, [IDYES, IDNO, IDCANCEL], "question")
        [check] = box["checks"]
        self.assertEqual((check["text"], check["checked"]), (b"Skip this version", False))
        self.assertTrue(wt.tick(box["hwnd"]))
        self.assertTrue(wt.wait_box(title=QUESTION_CAPTION)["checks"][0]["checked"])
        self.answer(box, IDCANCEL, proc)
        # Skipped: a run with @ ends with nothing shown; the user's own
        # check asks as before.
        self.assertEqual(wt.run_wine(self.exe, ["-@"], cwd=self.app, timeout=60)[0], 0)
        self.assertEqual(len(self.manifest_requests()), 2)
        proc = self.start()
        self.answer(self.box(QUESTION_CAPTION), IDCANCEL, proc)
        # A critical release is asked for, as the plain question.
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\nmsg=Faster.<>\r\n"
                                 b"critical=2.31\r\n")
        proc = self.start("-@")
        box = self.box(QUESTION_CAPTION)
        self.assertBox(box, question, [IDYES, IDNO, IDCANCEL], "question")
        self.assertEqual(box["checks"], [])
        self.answer(box, IDCANCEL, proc)

    def test_installer_is_downloaded_and_really_runs(self):
        self.serve("setup231.exe", wt.installer_program())
        self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\n")
        self.configure()
        marker = os.path.join(self.root, "installer-ran.txt")
        env = wt.wine_env({"PELMATIC_TEST_MARKER": wt.unix_to_wine_path(marker)})
        proc = self.start(env=env)
        self.answer(self.box(QUESTION_CAPTION), IDYES, proc)
        for _ in range(200):
            if os.path.exists(marker) and os.path.getsize(marker):
                break
            time.sleep(0.05)
        with open(marker, "rb") as f:
            ran_as = f.read()
        self.assertTrue(ran_as.lower().endswith(b"\\setup231.exe"), ran_as)
        self.assertNotIn(b"\\app\\", ran_as.lower())  # from the temporary folder

    def test_zip_update_fails_visibly_with_configuration_untouched(self):
        # A shell that cannot open the package as a folder refuses the
        # extraction: Wine's own opens no ZIP folders, and the test double
        # standing in for it is told to behave the same way.
        control = wt.harness_vars().get("PELMATIC_SHELLDOUBLE_CONTROL_UNIX")
        if control:
            with open(control, "wb") as f:
                f.write(b"no_folder=archive\r\n")
            self.addCleanup(os.remove, control)
        self.serve("editor231.zip", b"PK\x05\x06" + b"\0" * 18)
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        self.configure()
        with open(os.path.join(self.app, "pelmatic.ini"), "rb") as f:
            ini = f.read()
        proc = self.start()
        self.answer(self.box(QUESTION_CAPTION), IDYES)
        status = wt.wait_box(20000, title=wt.texts.failed(-12).decode(), cls="")
        self.assertIsNotNone(status, "no failure status window")
        self.assertEqual(status["class"].upper(), "STATIC")
        m = wt.metrics()
        self.assertEqual(status["style"] & ~0x14000000, 0x808C0201)  # less WS_VISIBLE|WS_CLIPSIBLINGS
        left, top, right, bottom = status["rect"]
        self.assertEqual((left, top, right - left, bottom - top),
                         ((m["cxfullscreen"] - 350) // 2, (m["cyfullscreen"] - 100) // 2, 350, 100))
        proc.wait(timeout=30)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(wt.wait_recorded(
            lambda lines: any(self.server.url + "editor231.zip" in l for l in lines)))
        with open(os.path.join(self.app, "pelmatic.ini"), "rb") as f:
            self.assertEqual(f.read(), ini)
        self.assertFalse(os.path.exists(os.path.join(self.app, "pelmatic.OLD")))

    def test_close_request_reaches_the_application_window(self):
        marker = os.path.join(self.root, "closed.txt")
        app = wt.start_window(tempfile.mkdtemp(dir=self.root), "editor", "--marker",
                              wt.unix_to_wine_path(marker), "--lifetime", "60000")
        self.procs.append(app)
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\nmode=2\r\n")
        self.configure(close_app="editor.exe")
        proc = self.start()
        self.answer(self.box(QUESTION_CAPTION), IDYES, proc)
        app.wait(timeout=30)
        with open(marker) as f:
            self.assertIn("closed", f.read())
        self.assertTrue(wt.wait_recorded(
            lambda lines: any(self.server.url + "editor231.zip" in l for l in lines)))

    def test_file_that_cannot_be_created_ends_with_application_error(self):
        self.serve("editor231.zip", b"PK\x05\x06" + b"\0" * 18)
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        self.configure()
        os.mkdir(os.path.join(self.app, "editor231.zip"))  # the download target is a folder
        proc = self.start()
        self.answer(self.box(QUESTION_CAPTION), IDYES)
        box = self.box(b"Application Error")
        self.assertRegex(box["text"], rb"^Exception EInOutError in module PELMATIC\.EXE at "
                                      rb"[0-9A-F]{%d}\.\nFile access denied\.$" % wt.ADDRESS_DIGITS)
        self.assertEqual(box["icon"], "error")
        self.assertTrue(wt.press(box["hwnd"], IDOK))
        proc.wait(timeout=30)
        self.assertEqual(proc.returncode, 1)


if __name__ == "__main__":
    unittest.main()


@wt.skip_unless_harness
class NeverFinishingServersUnderWine(wt.ServedAppFolderCase):
    """Servers that would hang a run, fill its memory or, taken for the
    manifest, announce 9.9: each run ends within the limits. One at a
    time, as the single-instance guard counts every PELMATIC.EXE."""

    SLOW = 30  # seconds: fewer than 1,024 bytes in that time end a transfer

    def elapsed_until_box(self, started, title, cls="#32770", timeout_ms=90000):
        box = wt.wait_box(timeout_ms, title=title, cls=cls)
        self.assertIsNotNone(box, "no window %r" % title)
        return box, time.monotonic() - started

    def assertWithin(self, took, longest, what):
        print("\n  %s: %.1f s" % (what, took), end="", file=sys.stderr)
        self.assertLess(took, longest + 8)
        if longest:
            self.assertGreater(took, longest - 1)

    def side_folder(self, i, where):
        """Another application folder for runs side by side, its checker
        under a name of its own: the single-instance guard counts only
        PELMATIC.EXE."""
        folder = os.path.join(self.root, "side%d" % i)
        os.mkdir(folder)
        exe = os.path.join(folder, "PELMATIC.EXE" if i == 0 else "PELMAT%02d.EXE" % i)
        shutil.copy2(wt.EXE, exe)
        with open(os.path.join(folder, "pelmatic.ini"), "wb") as f:
            f.write(wt.ini_bytes(self.server.url + where))
        return folder, exe

    def test_slow_servers_side_by_side(self):
        # Manifests that never come whole, and update files that stall: each
        # run ends within the limits. An update file is asked for once more
        # after a stall, about 1 s later, and a second stall ends the run.
        manifests = [("silent server", {"hang": 600}), ("headers then silence", {"stall": 600}),
                     ("a byte every 3 s", {"drip": [1, 3000]}),
                     ("1.3 bytes a second", {"drip": [1, 770]})]
        downloads = [("setup231.exe", -1), ("editor231.zip", -11)]
        faults, starts = {}, []
        for i, (name, fault) in enumerate(manifests):
            where = "m%d/" % i
            os.makedirs(os.path.join(self.served, where))
            self.serve(where + "editor.ver", b"ver=2.31\r\nmode=0\r\n" + b" " * 5000)
            faults["/" + where + "editor.ver"] = fault
        for target, _ in downloads:
            where = target[:-4] + "/"
            os.makedirs(os.path.join(self.served, where))
            self.serve(where + "editor.ver", b"ver=2.31\r\nfile=" + target.encode() + b"\r\n")
            self.serve(where + target, b"MZ" + bytes(100000))
            faults["/" + where + target] = {"stall": 600, "stall_after": 5000}
        self.server.set_faults(faults)
        for i, (name, _) in enumerate(manifests):
            folder, exe = self.side_folder(i, "m%d/" % i)
            self.procs.append(wt.start_wine(exe, cwd=folder))
            starts.append(time.monotonic())
        stalled = []
        for j, (target, code) in enumerate(downloads):
            folder, exe = self.side_folder(len(manifests) + j, target[:-4] + "/")
            self.procs.append(wt.start_wine(exe, cwd=folder))
            self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], IDYES))
            stalled.append((target, code, time.monotonic(), folder))
        # The manifests: four boxes, each after the limit.
        expected = wt.texts.no_information() + wt.texts.NOTICE_TAIL
        seen = set()
        deadline = starts[-1] + self.SLOW + 8
        while len(seen) < len(manifests) and time.monotonic() < deadline:
            for w in wt.list_windows():
                if (w.get("visible") and w.get("title") == NOTICE_CAPTION and
                        w["hwnd"] not in seen):
                    self.assertEqual(w.get("text"), expected)
                    took = time.monotonic() - starts[0]
                    self.assertWithin(took, self.SLOW, "manifest, one of the slow servers")
                    seen.add(w["hwnd"])
                    self.assertTrue(wt.press(w["hwnd"], IDOK))
            time.sleep(0.2)
        self.assertEqual(len(seen), len(manifests), "not every slow manifest ended in time")
        for target, code, started, folder in stalled:
            _, took = self.elapsed_until_box(started, wt.texts.failed(code).decode(), cls="")
            # The question's 0.5 s wait before the download, then the limit
            # twice with the wait between.
            self.assertWithin(took, 2 * self.SLOW + 1.5, "stalled " + target)
        for p in self.procs:
            self.assertEqual(p.wait(timeout=60), 0)
        for _, _, _, folder in stalled:
            self.assertEqual(sorted(n for n in os.listdir(folder) if n != "pelmatic.ini"),
                             [n for n in os.listdir(folder) if n.upper().endswith(".EXE")])

    def test_manifests(self):
        endless = {"endless": True, "body": "ver=9.9\r\n"}
        cases = [
            ("endless body", endless, 0),
            ("256 MiB", {"generate": 256 << 20, "body": "ver=9.9\r\n"}, 0),
            ("redirect loop", {"redirect": "/editor.ver"}, 0),
            ("redirect to file://", {"redirect": "file:///C:/windows/win.ini",
                                     "body": "ver=9.9\r\n"}, 0),
            ("redirect to ftp://", {"redirect": "ftp://127.0.0.1/editor.ver",
                                    "body": "ver=9.9\r\n"}, 0),
        ]
        self.serve("editor.ver", b"ver=2.31\r\nmode=0\r\n" + b" " * 5000)
        self.configure()
        expected = wt.texts.no_information() + wt.texts.NOTICE_TAIL
        for name, fault, longest in cases:
            with self.subTest(name):
                self.server.set_faults({"/editor.ver": fault})
                self.server.clear_log()
                started = time.monotonic()
                proc = self.start()
                box, took = self.elapsed_until_box(started, NOTICE_CAPTION.decode())
                self.assertEqual(box["text"], expected)
                self.assertTrue(wt.press(box["hwnd"], IDOK))
                proc.wait(timeout=30)
                self.assertEqual(proc.returncode, 0)
                self.assertWithin(took, longest, "manifest, " + name)
                if name == "redirect loop":
                    self.assertEqual(len(self.server.requests()), 11)
        self.assertEqual(sorted(os.listdir(self.app)), ["PELMATIC.EXE", "pelmatic.ini"])


