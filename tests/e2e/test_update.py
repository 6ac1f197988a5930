"""The update offer of the POSIX program end to end: the modes, the
questions and their answers, installers, packages with the replacement of
the checker itself, close requests and the failure fallback, against the
real test server with real archives."""

import io
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
import urllib.parse
import zipfile

from e2e.support import (ANY_SCRIPT, CLOSED, COMPLETE, HOME, MANIFEST_NOTES, NEXT_BIN, NOTES, WAIT,
                         close_request, elevate, fallback, homepage_question, launch, notice,
                         other_checkers_running, read, recording_script, retry_box, split_progress,
                         start_serving, status, stop_serving, texts, tree, update_question,
                         UpdateFolder, wait_for, zip_bytes)


def setUpModule():
    global SERVED, SERVER
    SERVED, SERVER = start_serving()


def tearDownModule():
    stop_serving(SERVED, SERVER)


class OfferCase(unittest.TestCase):
    FOLDER = None  # or ANY_SCRIPT, for folders named beyond ASCII

    def setUp(self):
        self.app = UpdateFolder(self.FOLDER)
        self.addCleanup(self.app.cleanup)
        SERVER.set_faults({})
        SERVER.clear_log()
        self.url = SERVER.url.encode()

    def serve(self, name, data):
        path = os.path.join(SERVED, name)
        with open(path, "wb") as f:
            f.write(data)
        self.addCleanup(lambda: os.path.exists(path) and os.remove(path))

    def manifest(self, file, mode=None, local=False):
        text = b"ver=2.31\r\nfile=" + file + b"\r\n"
        if mode is not None:
            text += b"mode=" + mode + b"\r\n"
        text += MANIFEST_NOTES
        if local:
            self.app.write("editor.ver", text)
        else:
            self.serve("editor.ver", text)

    def configure(self, **extra):
        keys = dict(ver_now="2.30", ver_file="editor", url_file=SERVER.url, url_down=HOME)
        keys.update(extra)
        self.app.ini(**keys)

    def downloads(self):
        """(path, agent) of every request but the manifest's."""
        return [(r["path"], {k.lower(): v for k, v in r["headers"].items()}.get("user-agent"))
                for r in SERVER.requests() if not r["path"].endswith(".ver")]

    def manifest_requests(self):
        return len([r for r in SERVER.requests() if r["path"] == "/editor.ver"])

    def snapshot(self):
        return {name: (None if name.endswith("/") else read(self.app.path(name)))
                for name in tree(self.app.dir)}

    def started_until(self, shown_last, option=None):
        """The program, answered Yes, once its output ends with shown_last:
        the run and what it showed."""
        # The program steps aside silently while another PELMATIC.EXE runs,
        # as a replacement script of a case before may still.
        wait_for(lambda: not other_checkers_running(), 60)
        run = self.app.start(option)
        run.stdin.write(b"y\n")
        run.stdin.flush()
        shown = b""
        while not shown.endswith(shown_last):
            piece = run.stdout.read1(4096)
            if not piece:
                _, err = run.communicate(timeout=60)
                self.fail("the run ended with code %d after %r; its errors: %r"
                          % (run.returncode, shown, err))
            shown += piece
        return run, shown

    def old_config(self, **extra):
        self.configure(**extra)
        return read(self.app.path("pelmatic.ini"))

    def start_program(self, name, ignore_close=False):
        """A running program with the image name name, as an application to close."""
        folder = os.path.join(self.app.root, "running")
        os.makedirs(folder, exist_ok=True)
        image = os.path.join(folder, name)
        if not os.path.exists(image):
            shutil.copy2("/bin/bash", image)
        script = ('trap "" TERM; ' if ignore_close else "") + "sleep 30; true"
        p = subprocess.Popen([image, "-c", script], start_new_session=True)

        def stop():
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
        self.addCleanup(stop)
        self.assertTrue(wait_for(lambda: os.path.basename(os.readlink("/proc/%d/exe" % p.pid)) == name))
        return p


class ModesAndAnswers(OfferCase):
    def test_announcement_only_in_mode_0(self):
        for file in (b"editor231.zip", b""):
            with self.subTest(file=file):
                SERVER.clear_log()
                self.manifest(file, mode=b"0")
                self.configure()
                before = self.snapshot()
                code, out, err, took = self.app.timed_run(answers=b"y\n")
                self.assertEqual((code, out, err), (0, b"", status(b"editor:  2.31") + CLOSED))
                self.assertGreaterEqual(took, 3.0)
                self.assertEqual(self.downloads(), [])
                self.assertEqual(self.snapshot(), before)

    def test_homepage_question_for_mode_1_and_without_update_file(self):
        cases = [
            # manifest file, mode, answer, homepage opened
            (b"editor231.zip", b"1", b"o\n", True),
            (b"editor231.zip", b"1", b"c\n", False),
            (b"", b"1", b"\n", True),
            (b"", b"2", b"o\n", True),
            (b"   ", b"3", b"c\n", False),
            (b"", None, b"", False),  # end of input cancels
        ]
        for file, mode, answer, opens in cases:
            with self.subTest(file=file, mode=mode, answer=answer):
                SERVER.clear_log()
                if os.path.exists(self.app.opened):
                    os.remove(self.app.opened)
                self.manifest(file, mode)
                self.configure()
                before = self.snapshot()
                code, out, err = self.app.run(answers=answer)
                self.assertEqual((code, out), (0, homepage_question()))
                self.assertEqual(err, launch(HOME.encode()) if opens else b"")
                if opens:
                    self.assertEqual(self.app.opened_after(1), [HOME.encode()])
                self.assertEqual(self.downloads(), [])
                self.assertEqual(self.snapshot(), before)

    def test_cancel_and_no_on_the_update_question(self):
        self.manifest(b"editor231.zip")
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"new"}))
        self.configure()
        before = self.snapshot()
        for answer in (b"c\n", b"", b"C\n"):
            with self.subTest(answer=answer):
                code, out, err = self.app.run(answers=answer)
                self.assertEqual((code, out, err), (0, update_question(b"editor231.zip"), b""))
        code, out, err = self.app.run(answers=b"n\n")
        self.assertEqual((code, out, err), (0, update_question(b"editor231.zip"), launch(HOME.encode())))
        self.assertEqual(self.app.opened_after(1), [HOME.encode()])
        self.assertEqual(self.downloads(), [])
        self.assertEqual(self.snapshot(), before)

    def test_question_texts_carry_the_notes_as_given(self):
        # Notes without "<>" are the rest of their line; versions are shown as written.
        self.serve("editor.ver", b"ver=10.0 beta\r\nfile=Editor 10.ZIP\r\nmsg=Only this line\r\nnot this\r\n")
        self.configure(ver_now="10.0 alpha")
        code, out, err = self.app.run(answers=b"c\n")
        self.assertEqual((code, out, err), (0, update_question(b"Editor 10.ZIP", b"10.0 beta",
                                                               b"10.0 alpha", b"Only this line"), b""))

    def test_mode_2_asks_the_application_to_close_then_hands_the_file_to_the_browser(self):
        editor = self.start_program("pmedit%d.exe" % os.getpid())
        self.manifest(b"editor231.zip", mode=b"2")
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"new"}))
        self.configure(close_app="PMEdit%d.EXE" % os.getpid())
        before = self.snapshot()
        code, out, err = self.app.run(answers=b"y\n")
        title = b"PMEdit%d" % os.getpid()
        file_url = self.url + b"editor231.zip"
        self.assertEqual((code, out), (0, update_question(b"editor231.zip")))
        self.assertEqual(err, close_request(title) * 2 + launch(file_url))
        self.assertEqual(editor.wait(timeout=5), -signal.SIGTERM)
        self.assertEqual(self.app.opened_after(1), [file_url])
        self.assertEqual(self.downloads(), [])
        self.assertEqual(self.snapshot(), before)


class Installer(OfferCase):
    def test_downloaded_into_the_temporary_folder_and_started(self):
        marker = os.path.join(self.app.root, "installer-ran.txt")
        installer = recording_script(marker) + b"# setup 2.31\n"
        self.serve("setup231.exe", installer)
        self.manifest(b"setup231.exe", mode=b"7")
        self.configure()
        # An earlier download of the same name is replaced.
        self.app.write(os.path.join(self.app.root, "setup231.exe"), b"stale")
        before = self.snapshot()
        code, out, err = self.app.run(answers=b"y\n")
        target = self.app.tmpdir.encode() + b"setup231.exe"
        self.assertEqual((code, out), (0, update_question(b"setup231.exe")))
        self.assertEqual(err, WAIT + launch(target) + CLOSED)
        self.assertEqual(read(target), installer)
        self.assertEqual(self.app.opened_after(1), [target])
        self.assertTrue(wait_for(lambda: os.path.exists(marker)))
        self.assertEqual(read(marker), target + b"\n")
        self.assertEqual(self.downloads(), [("/setup231.exe", "Pelmatic")])
        self.assertEqual(self.snapshot(), before)

    def test_download_failure_falls_back_to_the_browser(self):
        self.serve("setup231.exe", b"#!/bin/sh\n")
        SERVER.set_faults({"/setup231.exe": {"status": 404, "body": "#!/bin/sh\nnot found\n"}})
        self.manifest(b"setup231.exe", mode=b"3")
        self.configure()
        before = self.snapshot()
        code, out, err, took = self.app.timed_run(answers=b"y\n")
        file_url = self.url + b"setup231.exe"
        self.assertEqual((code, out), (0, update_question(b"setup231.exe")))
        self.assertEqual(err, WAIT + CLOSED + fallback(-1, file_url))
        self.assertGreaterEqual(took, 3.0)
        self.assertEqual(self.app.opened_after(1), [file_url])
        self.assertFalse(os.path.exists(os.path.join(self.app.root, "setup231.exe")))
        self.assertEqual(self.downloads(), [("/setup231.exe", "Pelmatic")])
        self.assertEqual(self.snapshot(), before)

    def test_installer_that_cannot_be_started(self):
        os.remove(os.path.join(self.app.bin, "xdg-open"))  # nothing on the desktop opens it
        self.serve("setup231.exe", b"MZ not a program here")
        self.manifest(b"setup231.exe")
        self.configure()
        code, out, err = self.app.run(answers=b"y\n")
        target = self.app.tmpdir.encode() + b"setup231.exe"
        self.assertEqual((code, out), (0, update_question(b"setup231.exe")))
        self.assertEqual(err, WAIT + launch(target) + CLOSED + fallback(-2, self.url + b"setup231.exe"))
        self.assertEqual(read(target), b"MZ not a program here")
        self.assertEqual(self.downloads(), [("/setup231.exe", "Pelmatic")])

    def test_local_mode_starts_the_installer_in_the_application_folder(self):
        marker = os.path.join(self.app.root, "installer-ran.txt")
        self.app.write("setup231.exe", recording_script(marker))
        os.chmod(self.app.path("setup231.exe"), 0o755)
        self.serve("setup231.exe", b"must not be fetched")
        self.manifest(b"setup231.exe", local=True)
        self.configure()
        before = self.snapshot()
        code, out, err = self.app.run("n", answers=b"y\n")
        target = self.app.appdir.encode() + b"setup231.exe"
        self.assertEqual((code, out), (0, update_question(b"setup231.exe")))
        self.assertEqual(err, WAIT + launch(target) + CLOSED)
        self.assertTrue(wait_for(lambda: os.path.exists(marker)))
        self.assertEqual(read(marker), target + b"\n")
        self.assertEqual(SERVER.requests(), [])
        self.assertEqual(self.snapshot(), before)
        self.assertFalse(os.path.exists(os.path.join(self.app.root, "setup231.exe")))


class Package(OfferCase):

    def test_whole_update_and_the_checker_replaced_after_exit(self):
        marker = os.path.join(self.app.root, "tool-ran.txt")
        old_exe = read(self.app.exe)
        new_exe = read(NEXT_BIN)
        # run_app comes from the package's configuration, read again after the merge.
        self.old_config(run_app="old.exe")
        self.app.write("editor.exe", b"editor 2.30")
        new_ini = ("[Check]\r\nver_now=2.31\r\nver_file=editor\r\nurl_file=%s\r\nurl_down=%s\r\n"
                   "run_app=tool.exe\r\n" % (SERVER.url, HOME)).encode()
        package = zip_bytes({"editor.exe": b"editor 2.31", "tool.exe": recording_script(marker),
                             "docs": None, "docs/whatsnew.txt": NOTES, "pelmatic.ini": new_ini,
                             "PELMATIC.EXE": new_exe})
        self.serve("editor231.zip", package)
        self.manifest(b"editor231.zip", mode=b"3")
        code, out, err = self.app.run(answers=b"y\n\n")
        appdir = self.app.appdir.encode()
        self.assertEqual((code, out), (0, update_question(b"editor231.zip") + COMPLETE))
        self.assertEqual(err, WAIT + CLOSED + launch(appdir + b"tool.exe") + launch(appdir + b"@Runme.bat"))
        self.assertEqual(self.downloads(), [("/editor231.zip", "Pelmatic")])
        self.assertTrue(wait_for(lambda: os.path.exists(marker)))
        self.assertEqual(read(marker), appdir + b"tool.exe\n")

        self.assertTrue(wait_for(lambda: not os.path.exists(self.app.path("@Runme.bat"))),
                        "the replacement script did not finish")
        self.assertEqual(tree(self.app.dir), ["docs/", "docs/whatsnew.txt", "editor.exe",
                                              "pelmatic.exe", "pelmatic.ini", "tool.exe"])
        self.assertEqual(read(self.app.path("pelmatic.exe")), new_exe)
        self.assertNotEqual(old_exe, new_exe)
        self.assertEqual(read(self.app.path("editor.exe")), b"editor 2.31")
        self.assertEqual(read(self.app.path("docs/whatsnew.txt")), NOTES)
        self.assertEqual(read(self.app.path("pelmatic.ini")), new_ini)
        self.assertEqual(read(os.path.join(SERVED, "editor231.zip")), package)

    def test_document_as_run_app_and_a_checker_that_is_not_newer(self):
        config = self.old_config(run_app="readme.txt")
        old_exe = read(self.app.exe)
        # The same version of the checker is no reason to replace it.
        self.serve("editor231.ZIP", zip_bytes({"readme.txt": b"read me", "pelmatic.exe": old_exe}))
        self.manifest(b"editor231.ZIP")  # no mode: automatic
        # A bare document name is found in the working folder, as the shell finds it.
        self.app.write(os.path.join(self.app.root, "readme.txt"), b"working folder")
        code, out, err = self.app.run(answers=b"y\n\n")
        self.assertEqual((code, out), (0, update_question(b"editor231.ZIP") + COMPLETE))
        self.assertEqual(err, WAIT + CLOSED + launch(b"readme.txt"))
        self.assertEqual(self.app.opened_after(1), [b"readme.txt"])
        self.assertEqual(tree(self.app.dir), ["PELMATIC.EXE", "pelmatic.ini", "readme.txt"])
        self.assertEqual(read(self.app.exe), old_exe)
        self.assertEqual(read(self.app.path("pelmatic.ini")), config)
        self.assertEqual(self.downloads(), [("/editor231.ZIP", "Pelmatic")])

    def test_unwritable_application_folder(self):
        self.old_config()
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"new"}))
        self.manifest(b"editor231.zip")
        before = self.snapshot()
        self.addCleanup(subprocess.run, ["chattr", "-i", self.app.dir], check=False)
        subprocess.run(["chattr", "+i", self.app.dir], check=True)
        # No pkexec to ask for the rights with.
        self.app.system_path = ""
        code, out, err, took = self.app.timed_run(answers=b"y\n")
        file_url = self.url + b"editor231.zip"
        self.assertEqual((code, out), (0, update_question(b"editor231.zip")))
        self.assertEqual(err, WAIT + CLOSED + elevate(self.app.appdir.encode() + b"PELMATIC.EXE") +
                         fallback(-3, file_url))
        self.assertGreaterEqual(took, 3.0)
        self.assertEqual(self.app.opened_after(1), [file_url])
        self.assertEqual(self.downloads(), [])
        self.assertEqual(self.snapshot(), before)

    def test_failed_package_restores_the_configuration(self):
        for name in ("empty", "midway"):
            with self.subTest(name):
                SERVER.clear_log()
                self.app.cleanup()
                self.app = UpdateFolder()
                self.addCleanup(self.app.cleanup)
                config = self.old_config()
                if name == "empty":
                    package = zip_bytes({})
                else:
                    # Files are moved before folders: the package's configuration
                    # is in place when "sub" cannot become a folder.
                    package = zip_bytes({"pelmatic.ini": b"[Check]\r\nver_now=2.31\r\n",
                                         "new.txt": b"new", "sub": None, "sub/file.txt": b"x"})
                    self.app.write("sub", b"a file, not a folder")
                self.serve("editor231.zip", package)
                self.manifest(b"editor231.zip")
                code, out, err = self.app.run(answers=b"y\n")
                file_url = self.url + b"editor231.zip"
                self.assertEqual((code, out), (0, update_question(b"editor231.zip")))
                self.assertEqual(err, WAIT + CLOSED + fallback(-13, file_url))
                self.assertEqual(self.app.opened_after(1), [file_url])
                self.assertEqual(read(self.app.path("pelmatic.ini")), config)
                self.assertEqual(read(self.app.path("editor231.zip")), package)
                self.assertEqual(self.downloads(), [("/editor231.zip", "Pelmatic")])
                # What moved before the failure went back: the installation
                # is the old one, only the package stays.
                found = tree(self.app.dir)
                expected = ["PELMATIC.EXE", "editor231.zip", "pelmatic.ini"]
                self.assertEqual(found, sorted(expected + ([] if name == "empty" else ["sub"])))
                if name != "empty":
                    self.assertEqual(read(self.app.path("sub")), b"a file, not a folder")

    def test_update_file_of_another_type(self):
        self.old_config()
        self.serve("setup.exe.txt", b"text")
        self.manifest(b"setup.exe.txt")
        before = self.snapshot()
        code, out, err = self.app.run(answers=b"y\n")
        self.assertEqual((code, out, err), (0, update_question(b"setup.exe.txt"), WAIT + CLOSED))
        self.assertEqual(self.downloads(), [])
        self.assertEqual(self.snapshot(), before)
        self.assertEqual(self.app.opened_targets(), [])

    def test_unsafe_update_file_names_are_refused(self):
        # Each would reach a real file if it were joined to a local folder.
        cases = [
            # name, option, code
            (b"..\\x.exe", None, -1),
            (b"../x.zip", None, -11),
            (b"C:x.zip", None, -11),
            (b"..\\x.exe", "n", 0),
            (b"../x.zip", "n", -12),
        ]
        planted = zip_bytes({"planted.txt": b"from outside"})
        self.serve("x.zip", planted)
        self.serve("C:x.zip", planted)
        self.serve("..\\x.exe", b"#!/bin/sh\n")
        for name, option, expected in cases:
            with self.subTest(name=name, option=option):
                SERVER.clear_log()
                self.app.cleanup()
                self.app = UpdateFolder()
                self.addCleanup(self.app.cleanup)
                self.old_config()
                marker = os.path.join(self.app.root, "started.txt")
                # What a local run would find beside and inside the folder.
                self.app.write(os.path.join(self.app.root, "x.zip"), planted)
                self.app.write("..\\x.exe", recording_script(marker))
                os.chmod(self.app.path("..\\x.exe"), 0o755)
                self.manifest(name, local=option == "n")
                before = self.snapshot()
                outside = tree(self.app.root)
                code, out, err = self.app.run(option, answers=b"y\n")
                self.assertEqual((code, out), (0, update_question(name)))
                expected_err = WAIT + CLOSED
                if expected:
                    expected_err += fallback(expected, self.url + name)
                self.assertEqual(err, expected_err)
                self.assertEqual(self.downloads(), [])
                self.assertEqual(self.snapshot(), before)
                self.assertEqual([n for n in tree(self.app.root) if n != "opened.txt"], outside)
                self.assertFalse(os.path.exists(marker))


class CloseRequest(OfferCase):
    def setUp(self):
        super().setUp()
        self.name = "pmedit%d.exe" % os.getpid()
        self.title = b"PMEdit%d" % os.getpid()
        self.configure(close_app="PMEdit%d.EXE" % os.getpid())
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"editor 2.31"}))
        self.manifest(b"editor231.zip")

    def test_every_process_of_the_application_is_asked_to_close(self):
        # The request by title reaches one of them; the one by process both.
        editors = [self.start_program(self.name) for _ in range(2)]
        code, out, err = self.app.run(answers=b"y\n\n")
        self.assertEqual((code, out), (0, update_question(b"editor231.zip") + COMPLETE))
        self.assertEqual(err, close_request(self.title) * 2 + WAIT + CLOSED)
        for editor in editors:
            self.assertEqual(editor.wait(timeout=5), -signal.SIGTERM)
        self.assertEqual(tree(self.app.dir), ["PELMATIC.EXE", "editor.exe", "pelmatic.ini"])
        self.assertEqual(read(self.app.path("editor.exe")), b"editor 2.31")
        self.assertEqual(self.downloads(), [("/editor231.zip", "Pelmatic")])

    def test_application_that_stays_is_offered_retry_and_cancel(self):
        editor = self.start_program(self.name, ignore_close=True)
        box = retry_box(b"PMEdit%d.EXE" % os.getpid())
        # Cancel: the offer ends as the user asked, nothing changed.
        before = self.snapshot()
        code, out, err, took = self.app.timed_run(answers=b"y\nc\n")
        self.assertEqual((code, out), (0, update_question(b"editor231.zip") + box))
        self.assertEqual(err, close_request(self.title) * 2)
        self.assertGreaterEqual(took, 10.0)
        self.assertIsNone(editor.poll())
        self.assertEqual(self.downloads(), [])
        self.assertEqual(self.snapshot(), before)
        # Retry once the user has closed it: the update goes on.
        run, _ = self.started_until(box)
        os.killpg(editor.pid, signal.SIGKILL)
        out, err = run.communicate(b"r\n\n", timeout=60)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(out, COMPLETE)
        self.assertEqual(split_progress(err)[0], close_request(self.title) * 4 + WAIT + CLOSED)
        self.assertEqual(read(self.app.path("editor.exe")), b"editor 2.31")

    def test_application_not_running_gets_no_request(self):
        code, out, err = self.app.run(answers=b"y\n\n")
        self.assertEqual((code, out), (0, update_question(b"editor231.zip") + COMPLETE))
        self.assertEqual(err, WAIT + CLOSED)
        self.assertEqual(read(self.app.path("editor.exe")), b"editor 2.31")


class ProtectedFolder(OfferCase):
    """A folder only an administrator may write, immutable here. pkexec is a
    stand-in first on PATH that logs each start and stands for the rights
    given by lifting the immutability, or for a prompt the user declines."""

    def setUp(self):
        super().setUp()
        self.calls = os.path.join(self.app.root, "pkexec.log")
        self.addCleanup(subprocess.run, ["chattr", "-i", self.app.dir], check=False)

    def pkexec(self, body):
        path = os.path.join(self.app.bin, "pkexec")
        with open(path, "w") as f:
            f.write('#!/bin/sh\necho "$*" >> "%s"\n%s\n' % (self.calls, body))
        os.chmod(path, 0o755)

    def protect(self):
        subprocess.run(["chattr", "+i", self.app.dir], check=True)

    def starts(self):
        return read(self.calls).splitlines() if os.path.exists(self.calls) else []

    def test_updated_through_one_elevated_copy_which_replaces_the_checker(self):
        marker = os.path.join(self.app.root, "tool-ran.txt")
        self.old_config(run_app="tool.exe")
        old_exe, new_exe = read(self.app.exe), read(NEXT_BIN)
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"editor 2.31",
                                               "tool.exe": recording_script(marker),
                                               "PELMATIC.EXE": new_exe}))
        self.manifest(b"editor231.zip")
        self.pkexec('chattr -i "%s" && exec "$@"' % self.app.dir)
        self.protect()
        run, shown = self.started_until(COMPLETE, "-@")
        # The copy is done; the run that started it still shows its notice,
        # so the old checker cannot go yet and the script waits.
        exe = self.app.appdir.encode() + b"PELMATIC.EXE"
        self.assertEqual(self.starts(), [exe + b" -@ /elevated=" + b"2.31".hex().encode()])
        time.sleep(1.5)
        self.assertEqual(read(self.app.exe), old_exe)
        self.assertTrue(os.path.exists(self.app.path("NEW_PELMATIC.EXE")))
        self.assertFalse(os.path.exists(marker))
        out, err = run.communicate(b"\n", timeout=60)
        self.assertEqual(run.returncode, 0)
        appdir = self.app.appdir.encode()
        self.assertEqual(shown + out, update_question(b"editor231.zip") + COMPLETE)
        # The application is started by this run, after the copy ended.
        self.assertEqual(split_progress(err)[0],
                         WAIT + CLOSED + elevate(exe, b"-@") + WAIT +
                         launch(appdir + b"@Runme.bat") + CLOSED + launch(appdir + b"tool.exe"))
        self.assertTrue(wait_for(lambda: os.path.exists(marker)))
        self.assertTrue(wait_for(lambda: not os.path.exists(self.app.path("@Runme.bat")), 10),
                        "the replacement script did not finish")
        self.assertEqual(read(self.app.path("pelmatic.exe")), new_exe)
        self.assertEqual(read(self.app.path("editor.exe")), b"editor 2.31")
        self.assertEqual(self.downloads(), [("/editor231.zip", "Pelmatic")])

    def test_a_declined_prompt_changes_nothing_and_a_copy_that_cannot_write_fails_once(self):
        self.old_config()
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"new"}))
        self.manifest(b"editor231.zip")
        self.protect()
        before = self.snapshot()
        exe = self.app.appdir.encode() + b"PELMATIC.EXE"
        file_url = self.url + b"editor231.zip"
        cases = [  # pkexec, what follows the request, manifest requests
            ("exit 126", b"", 1),  # the prompt dismissed
            ("exit 127", b"", 1),  # not allowed
            ('exec "$@"', WAIT + CLOSED + fallback(-3, file_url), 2),  # no second request
        ]
        for body, rest, checks in cases:
            with self.subTest(pkexec=body):
                SERVER.clear_log()
                if os.path.exists(self.calls):
                    os.remove(self.calls)
                self.pkexec(body)
                code, out, err = self.app.run(answers=b"y\n")
                self.assertEqual((code, out), (0, update_question(b"editor231.zip")))
                self.assertEqual(err, WAIT + CLOSED + elevate(exe) + rest)
                self.assertEqual(len(self.starts()), 1)
                self.assertEqual(self.app.opened_after(1 if rest else 0, 1 if rest else 0),
                                 [file_url] if rest else [])
                self.assertEqual([r["path"] for r in SERVER.requests()], ["/editor.ver"] * checks)
                self.assertEqual(self.snapshot(), before)


SKIP_PROMPT = b"[Y]es / [N]o / [C]ancel / [S]kip this version ? "


class PoliteOffer(OfferCase):
    """An update that asks politely: Skip, Remind, the check interval and
    critical releases, by a state file of the user's own (the case's
    XDG_STATE_HOME), which a test writes to move the clock."""

    def setUp(self):
        super().setUp()
        self.state = os.path.join(self.app.root, "state", "pelmatic")
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"new"}))

    def offer(self, ver=b"2.31", extra=b""):
        self.serve("editor.ver", b"ver=" + ver + b"\r\nfile=editor231.zip\r\n" + extra + MANIFEST_NOTES)

    def asked(self, ver=b"2.31", skip=True):
        question = update_question(b"editor231.zip", remote=ver)
        return question[:-len(b"[Y]es / [N]o / [C]ancel ? ")] + SKIP_PROMPT if skip else question

    def state_file(self):
        names = os.listdir(self.state) if os.path.isdir(self.state) else []
        self.assertLessEqual(len(names), 1, names)
        return os.path.join(self.state, names[0]) if names else None

    def write_state(self, *lines):
        path = self.state_file()
        self.assertIsNotNone(path, "no state file to change")
        with open(path, "wb") as f:
            f.write(b"pelmatic-state 1\n" + b"".join(l + b"\n" for l in lines))

    def test_skip_holds_that_version_back_from_runs_with_at_only(self):
        self.configure(skip="1", remind_hours="24")
        self.offer()
        # Skip this version: Cancel with the box ticked; No with it opens
        # the homepage too.
        self.assertEqual(self.app.run("-@", answers=b"s\n")[:2], (0, self.asked()))
        self.assertEqual(self.app.run("-@"), (0, b"", b""))
        self.offer(b"2.30.9")  # older than the skipped one, byte by byte
        self.assertEqual(self.app.run("-@"), (0, b"", b""))
        self.offer(b"2.32")
        # No without the box skips nothing; Cancel without it is a reminder.
        for answer in (b"n\n", b"c\n"):
            self.assertEqual(self.app.run("-@", answers=answer)[:2], (0, self.asked(b"2.32")))
        self.assertEqual(self.app.run("-@"), (0, b"", b""))
        # The user's own check always asks, the skipped version too.
        self.offer(b"2.31")
        self.assertEqual(self.app.run(answers=b"c\n")[:2], (0, self.asked()))
        self.assertEqual(self.manifest_requests(), 7)

    def test_a_reminder_holds_for_its_hours_and_the_clock_is_utc(self):
        self.configure(remind_hours="2")
        self.offer()
        plain = self.asked(skip=False)  # without skip=1 the question is today's
        self.assertEqual(self.app.run("-@", answers=b"c\n")[:2], (0, plain))
        with open(self.state_file(), "rb") as f:
            remind = [l for l in f.read().split(b"\n") if l.startswith(b"remind=")]
        then = int(remind[0].split()[-1])
        self.assertLessEqual(abs(then - time.time()), 60)
        self.assertEqual(self.app.run("-@"), (0, b"", b""))
        for moment, asks in [(int(time.time()) - 7200 + 60, False), (int(time.time()) - 7201, True),
                             (int(time.time()) + 3600, True)]:
            with self.subTest(moment=moment):
                self.write_state(b"remind=2.31 %d" % moment)
                code, out, err = self.app.run("-@", answers=b"c\n")
                self.assertEqual(out, plain if asks else b"")

    def test_the_check_interval_holds_runs_with_at_back_without_a_request(self):
        self.configure(check_hours="1")
        self.offer(b"2.30")
        self.assertEqual(self.app.run("-@"), (0, b"", b""))
        self.assertEqual(self.manifest_requests(), 1)
        self.assertEqual(self.app.run("-@"), (0, b"", b""))
        self.assertEqual(self.manifest_requests(), 1)
        # The user's own check fetches, and is a check the interval counts.
        self.assertEqual(self.app.run()[1], notice(texts.up_to_date()))
        self.assertEqual(self.manifest_requests(), 2)
        now = int(time.time())
        for moment, fetches in [(now - 3500, False), (now - 3601, True), (now + 7200, True)]:
            with self.subTest(moment=moment):
                self.write_state(b"checked=%d" % moment)
                before = self.manifest_requests()
                self.assertEqual(self.app.run("-@"), (0, b"", b""))
                self.assertEqual(self.manifest_requests() - before, 1 if fetches else 0)
        # A failed fetch keeps the last check where it was.
        self.write_state(b"checked=%d" % (now - 3601))
        SERVER.set_faults({"/editor.ver": {"status": 500}})
        self.app.run("-@")
        SERVER.set_faults({})
        before = self.manifest_requests()
        self.app.run("-@")
        self.assertEqual(self.manifest_requests() - before, 1)

    def test_a_critical_release_is_asked_for_whatever_was_skipped_or_postponed(self):
        self.configure(skip="1", remind_hours="24")
        self.offer()
        self.app.run("-@", answers=b"s\n")
        critical = b"critical=2.31\r\n"
        self.offer(extra=critical)
        for _ in range(2):  # no box to tick, and Cancel starts no reminder
            self.assertEqual(self.app.run("-@", answers=b"c\n")[:2], (0, self.asked(skip=False)))
        # Only installations below it: one at 2.31 already is not held to it.
        self.offer(b"2.32", extra=critical)
        self.configure(skip="1", remind_hours="24", ver_now="2.31")
        self.assertEqual(self.app.run("-@", answers=b"c\n")[:2],
                         (0, self.asked(b"2.32").replace(b"old version:  2.30", b"old version:  2.31")))
        self.assertEqual(self.app.run("-@"), (0, b"", b""))

    def test_a_damaged_or_unwritable_state_is_no_choice_and_no_error(self):
        self.configure(skip="1")
        self.offer()
        os.makedirs(self.state)
        for damaged in (b"garbage", b"pelmatic-state 1\nskipped=2.31", b"pelmatic-state 1\nchecked=x\n"):
            with self.subTest(damaged=damaged):
                with open(os.path.join(self.state, "any.state"), "wb") as f:
                    f.write(damaged)
                # A file of another name is not this installation's: the run
                # makes its own.
                self.assertEqual(self.app.run("-@", answers=b"c\n")[:2], (0, self.asked()))
                os.remove(os.path.join(self.state, "any.state"))
        self.app.run("-@", answers=b"s\n")
        path = self.state_file()
        with open(path, "wb") as f:
            f.write(b"pelmatic-state 1\nskipped=2.31")  # cut short: damaged
        self.assertEqual(self.app.run("-@", answers=b"s\n")[:2], (0, self.asked()))
        self.assertEqual(self.app.run("-@"), (0, b"", b""))  # written whole again
        # A folder that takes no change: the choice is used, no new one kept.
        subprocess.run(["chattr", "+i", self.state], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", self.state], check=False)
        self.offer(b"2.32")
        for _ in range(2):
            code, out, err = self.app.run("-@", answers=b"s\n")
            self.assertEqual((code, out, err), (0, self.asked(b"2.32"), b""))
        self.assertEqual(os.listdir(self.state), [os.path.basename(path)])


class Unattended(OfferCase):
    """The letter u: no box and no status line, one line of result on
    standard output, the result as the exit code; and the administrator's
    policy (the case's own PELMATIC_POLICY_FILE)."""

    def setUp(self):
        super().setUp()
        self.app.write("editor.exe", b"editor 2.30")

    def run_u(self, option="u"):
        code, out, err = self.app.run(option)
        # No box (the line alone on stdout) and no status line: at most the
        # replacement script is started.
        for line in err.splitlines():
            self.assertTrue(line.startswith(b"[launch] ") and line.endswith(b"/@Runme.bat"), err)
        self.assertEqual(out.count(b"\n"), 1, out)
        return code, out

    def policy(self, **values):
        self.app.write(os.path.join(self.app.root, "policy.ini"), "[editor]\r\n" + "".join(
            "%s=%s\r\n" % kv for kv in values.items()))

    def test_every_outcome_has_its_code_and_its_line(self):
        self.configure()
        self.serve("editor.ver", b"ver=2.30\r\n")
        self.assertEqual(self.run_u("-u@"), (0, b"editor 2.30: up to date (2.30 announced)\n"))
        for mode, why in [(b"0", b"announced only (mode 0)"),
                          (b"1", b"the manifest offers the homepage only"),
                          (b"2", b"the manifest hands the file to the browser")]:
            self.manifest(b"editor231.zip", mode=mode)
            self.assertEqual(self.run_u(), (2, b"editor 2.30 -> 2.31: not installed: " + why + b"\n"))
        self.manifest(b"editor231.zip")
        self.assertEqual(self.run_u(), (5, b"editor 2.30 -> 2.31: failed: -11 the package could "
                                           b"not be downloaded\n"))
        SERVER.set_faults({"/editor.ver": {"status": 404}})
        self.assertEqual(self.run_u(), (4, b"editor 2.30: no version information\n"))
        SERVER.set_faults({})
        # Nothing was opened, asked or started all the while.
        self.assertEqual(self.app.opened_targets(), [])
        os.symlink(os.path.join(self.app.root, "gone.ver"), self.app.path("editor.ver"))
        code, out = self.run_u("nu")
        self.assertEqual(code, 1)
        self.assertRegex(out, rb"^editor: unexpected error: Exception EInOutError in module "
                              rb"PELMATIC\.EXE at [0-9A-F]{16}\. File not found\.\n$")

    def test_a_package_is_installed_unless_the_application_runs_or_the_folder_is_protected(self):
        new_exe = read(NEXT_BIN)
        self.configure(close_app="editor.exe", check_hours="24")
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"editor 2.31", "PELMATIC.EXE": new_exe}))
        self.manifest(b"editor231.zip")
        running = self.start_program("editor.exe")
        before = self.snapshot()
        self.assertEqual(self.run_u(), (2, b"editor 2.30 -> 2.31: not installed: editor.exe is "
                                           b"running\n"))
        self.assertIsNone(running.poll(), "the application was asked to close")
        self.assertEqual(self.snapshot(), before)
        os.killpg(running.pid, signal.SIGKILL)
        running.wait()
        # A folder it cannot write: no rights asked for (pkexec logs a start).
        self.configure(close_app="editor.exe")
        calls = os.path.join(self.app.root, "pkexec.log")
        with open(os.path.join(self.app.bin, "pkexec"), "w") as f:
            f.write('#!/bin/sh\necho "$*" >> "%s"\nexec "$@"\n' % calls)
        os.chmod(os.path.join(self.app.bin, "pkexec"), 0o755)
        subprocess.run(["chattr", "+i", self.app.dir], check=True)
        self.addCleanup(subprocess.run, ["chattr", "-i", self.app.dir], check=False)
        self.assertEqual(self.run_u(), (5, b"editor 2.30 -> 2.31: failed: -3 the application "
                                           b"folder is not writable, and an unattended run asks "
                                           b"for no administrator rights\n"))
        self.assertFalse(os.path.exists(calls))
        subprocess.run(["chattr", "-i", self.app.dir], check=True)
        # Installed, the checker replaced after the run, nothing started.
        self.assertEqual(self.run_u("@u"), (3, b"editor 2.30 -> 2.31: installed, 2 files\n"))
        self.assertEqual(read(self.app.path("editor.exe")), b"editor 2.31")
        self.assertTrue(wait_for(lambda: not os.path.exists(self.app.path("@Runme.bat")), 10))
        self.assertEqual(read(self.app.path("pelmatic.exe")), new_exe)
        self.assertEqual(self.app.opened_targets(), [])

    def test_an_installer_runs_with_its_silent_arguments_only(self):
        marker = os.path.join(self.app.root, "installer-ran.txt")
        self.configure()
        self.manifest(b"setup231.exe")
        self.assertEqual(self.run_u(), (2, b"editor 2.30 -> 2.31: not installed: the manifest "
                                           b"gives the installer no silent_args\n"))
        for status, expected in [(0, (3, b"installed by setup231.exe /S --dir=x (exit code 0)")),
                                 (3, (5, b"failed: setup231.exe /S --dir=x exited with 3"))]:
            with self.subTest(status=status):
                # Started directly, with its execute bit, never by the desktop.
                self.serve("setup231.exe", ('#!/bin/sh\necho "$0 $*" >> "%s"\nexit %d\n'
                                            % (marker, status)).encode())
                self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\nsilent_args=/S "
                                         b"--dir=x\r\n")
                code, out = self.run_u()
                self.assertEqual((code, out), (expected[0], b"editor 2.30 -> 2.31: " + expected[1] +
                                               b"\n"))
                self.assertEqual(read(marker).splitlines()[-1],
                                 self.app.tmpdir.encode() + b"setup231.exe /S --dir=x")
        self.assertEqual(self.app.opened_targets(), [])

    def test_the_administrators_policy(self):
        self.configure(check_hours="24")
        self.manifest(b"editor231.zip", mode=b"1")
        self.policy(Updates="0")
        self.assertEqual(self.run_u(), (0, b"editor 2.30: not checked: updates are turned off by "
                                           b"the administrator's policy\n"))
        self.assertEqual(self.app.run(), (0, notice(
            b"Updates of editor are turned off by your administrator."), b""))
        self.assertEqual(self.app.run("-@"), (0, b"", b""))
        self.assertEqual(self.manifest_requests(), 0)
        # Manual only: what nobody started never checks; the user's own does.
        self.policy(Updates="2")
        self.assertEqual(self.run_u(), (0, b"editor 2.30: not checked: the administrator's policy "
                                           b"leaves checks to the user\n"))
        self.assertEqual(self.app.run("-@"), (0, b"", b""))
        self.assertEqual(self.app.run(answers=b"c\n")[1], homepage_question())
        self.assertEqual(self.manifest_requests(), 1)
        # A version line: 2.31 is not on 2.4, and counts as not newer.
        self.policy(TargetVersionPrefix="2.4", CheckHours="0")
        for _ in range(2):  # CheckHours 0, in place of check_hours: every run checks
            self.assertEqual(self.run_u(), (0, b"editor 2.30: up to date: 2.31 is held back by "
                                               b"the policy's TargetVersionPrefix 2.4\n"))
        self.assertEqual(self.manifest_requests(), 3)
        self.policy(TargetVersionPrefix="2.3", CheckHours="0")
        self.assertEqual(self.run_u()[0], 2)
        # The user's own check above was a check, which CheckHours counts.
        self.policy(CheckHours="24")
        self.assertEqual(self.run_u(), (0, b"editor 2.30: not checked: the last check is fewer than "
                                           b"24 hours old\n"))
        # Values of the wrong kind count as absent, and the line says so.
        self.policy(Updates="off", CheckHours="9000")
        code, out = self.run_u()
        ignored = (b"the policy's Updates is not a DWORD of 0, 1 or 2, ignored; the policy's "
                   b"CheckHours is not a DWORD from 0 to 8760, ignored")
        self.assertEqual(code, 0)
        self.assertTrue(out.endswith(b"; " + ignored + b"\n"), out)
        # The vendor's tool tells the policy of the machine it runs on.
        self.policy(Updates="2", TargetVersionPrefix="2.3")
        verify = subprocess.run([os.path.join(os.path.dirname(os.path.abspath(NEXT_BIN)),
                                              "pelmatic-tool"), "verify", "--ini",
                                 self.app.path("pelmatic.ini")], capture_output=True,
                                env=self.app.env(), timeout=60)
        self.assertIn(b"policy on this machine: Updates=2 (only checks the user starts), "
                      b"TargetVersionPrefix=2.3 (no other version is taken)\n", verify.stdout)


class NamesBeyondAscii(OfferCase):
    """Names as bytes in UTF-8, whatever the locale: a temporary folder and
    an application folder named beyond ASCII, manifests in UTF-8 by their
    byte order mark, update files and package entries of such names."""

    FOLDER = ANY_SCRIPT
    PRODUCT = "\u0440\u0435\u0434\u0430\u043a\u0442\u043e\u0440"  # редактор
    NOTES = "\u041d\u043e\u0432\u044b\u0439 \u0444\u0438\u043b\u044c\u0442\u0440.\r\n\u674e"

    def test_a_check_from_the_web_and_from_the_folder(self):
        product = self.PRODUCT.encode()
        self.configure(encoding="utf-8", ver_file=self.PRODUCT)
        self.serve(self.PRODUCT + ".ver", b"ver=2.30\r\n")
        code, out, err = self.app.run()
        self.assertEqual((code, out), (0, notice(texts.up_to_date(product))))
        self.assertEqual([r["path"] for r in SERVER.requests()],
                         ["/" + urllib.parse.quote(self.PRODUCT + ".ver")])
        self.app.write(self.PRODUCT + ".ver", b"\xef\xbb\xbfver=2.31\r\nmode=1\r\nmsg=" +
                       self.NOTES.encode() + b"<>\r\n")
        code, out, err = self.app.run("n", answers=b"c\n")
        self.assertEqual((code, out), (0, homepage_question(notes=self.NOTES.encode()).replace(
            texts.question_caption(), texts.question_caption(product))))

    def test_an_installer_named_beyond_ascii_into_the_temporary_folder(self):
        name = "\u0443\u0441\u0442\u0430\u043d\u043e\u0432\u043a\u0430.exe"  # установка.exe
        marker = os.path.join(self.app.root, "installer-ran.txt")
        self.configure()
        self.serve(name, recording_script(marker))
        self.serve("editor.ver", b"\xef\xbb\xbfver=2.31\r\nfile=" + name.encode() + b"\r\n")
        code, out, err = self.app.run(answers=b"y\n")
        target = self.app.tmpdir.encode() + name.encode()
        self.assertEqual((code, err), (0, WAIT + launch(target) + CLOSED))
        self.assertTrue(wait_for(lambda: os.path.exists(marker)))
        self.assertEqual(read(marker), target + b"\n")
        self.assertEqual(self.downloads(), [("/" + urllib.parse.quote(name), "Pelmatic")])

    def test_package_entries_by_their_flag_or_in_code_page_437_and_a_newer_checker(self):
        help_name = "\u0421\u043f\u0440\u0430\u0432\u043a\u0430.txt"  # Справка.txt
        self.configure()
        package = zip_bytes({help_name: b"help", "Gr~n.txt": b"cp437", "PELMATIC.EXE": read(NEXT_BIN)})
        # The name of the second entry without the UTF-8 flag, in code page
        # 437 (0x81 is u with diaeresis), as older tools write it.
        self.serve("editor231.zip", package.replace(b"Gr~n", b"Gr\x81n"))
        self.manifest(b"editor231.zip")
        code, out, err = self.app.run(answers=b"y\n\n")
        self.assertEqual((code, out), (0, update_question(b"editor231.zip") + COMPLETE), err)
        self.assertEqual(read(self.app.path(help_name)), b"help")
        self.assertEqual(read(self.app.path("Gr\u00fcn.txt")), b"cp437")
        self.assertTrue(wait_for(lambda: not os.path.exists(self.app.path("@Runme.bat")), 10),
                        "the replacement script did not finish")
        self.assertEqual(read(self.app.path("pelmatic.exe")), read(NEXT_BIN))


class ProtectedFolderInAnyScript(ProtectedFolder):
    FOLDER = ANY_SCRIPT


if __name__ == "__main__":
    unittest.main()
