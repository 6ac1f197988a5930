"""The check run of the POSIX program end to end: configuration, manifest,
comparison and the closing reports, byte for byte."""

import os
import time
import unittest

from e2e.support import AppFolder, TestServer, no_information, up_to_date



class CheckRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.served = AppFolder()  # only its folder is used, as the server's root
        cls.server = TestServer(cls.served.root)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.served.cleanup()

    def setUp(self):
        self.app = AppFolder()
        self.addCleanup(self.app.cleanup)
        self.server.set_faults({})
        self.server.clear_log()

    def serve(self, name, data):
        with open(os.path.join(self.served.root, name), "wb") as f:
            f.write(data)

    def configure(self, ver_now="2.30", **extra):
        self.app.ini(ver_now=ver_now, ver_file="editor", url_file=self.server.url,
                     url_down="http://127.0.0.1:9/home", **extra)

    def manifest_requests(self):
        return [r for r in self.server.requests() if r["path"].endswith(".ver")]

    def test_up_to_date_report_and_the_request_made(self):
        self.serve("editor.ver", b"ver=2.30\r\nfile=editor.zip\r\n")
        self.configure()
        code, out, err = self.app.run(answers=b"\n")
        self.assertEqual(code, 0)
        self.assertEqual(out, up_to_date(b"editor", b"2.30", b"2.30"))
        self.assertEqual(err, b"")
        reqs = self.manifest_requests()
        self.assertEqual(len(reqs), 1)
        self.assertEqual(reqs[0]["method"], "GET")
        self.assertEqual(reqs[0]["path"], "/editor.ver")
        headers = {k.lower(): v for k, v in reqs[0]["headers"].items()}
        self.assertEqual(headers.get("user-agent"), "Pelmatic")
        self.assertEqual(headers.get("cache-control"), "no-cache")
        self.assertEqual(headers.get("pragma"), "no-cache")

    def test_newer_version_ends_without_report(self):
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor.zip\r\nmode=0\r\n")
        self.configure()
        code, out, _ = self.app.run()
        self.assertEqual(code, 0)
        self.assertNotIn(b"You do not need", out)
        self.assertNotIn(b"Not able to find", out)

    def test_missing_or_incomplete_configuration(self):
        code, out, _ = self.app.run(answers=b"\n")
        self.assertEqual((code, out), (0, no_information(b"unknown")))
        # With "@" nothing at all is shown.
        code, out, err = self.app.run("@")
        self.assertEqual((code, out, err), (0, b"", b""))
        # Blank ver_now: the file is read, so the report names its ver_file.
        self.app.ini(ver_now=" \t ", ver_file="tool")
        code, out, _ = self.app.run(answers=b"\n")
        self.assertEqual((code, out), (0, no_information(b"tool")))
        self.assertEqual(self.manifest_requests(), [])

    def test_manifests_without_usable_version(self):
        self.configure()
        cases = [
            ("no ver key", b"file=editor.zip\r\nmode=3\r\n", {}),
            ("error page", b"ver=9.99\r\n", {"/editor.ver": {"status": 404, "body": "ver=9.99\r\n"}}),
            ("cut short", b"ver=2.31\r\n", {"/editor.ver": {"cut": 6}}),
            ("server error", b"ver=2.31\r\n", {"/editor.ver": {"status": 500}}),
        ]
        for name, body, faults in cases:
            with self.subTest(name):
                self.serve("editor.ver", body)
                self.server.set_faults(faults)
                code, out, _ = self.app.run(answers=b"\n")
                self.assertEqual((code, out), (0, no_information(b"editor")))

    def test_unreachable_server_and_missing_url(self):
        self.app.ini(ver_now="1", ver_file="editor", url_file="http://127.0.0.1:9/")
        code, out, _ = self.app.run(answers=b"\n")
        self.assertEqual((code, out), (0, no_information(b"editor")))
        self.app.ini(ver_now="1", ver_file="editor")  # no url_file: "editor.ver" alone
        code, out, _ = self.app.run(answers=b"\n")
        self.assertEqual((code, out), (0, no_information(b"editor")))

    def test_local_mode_reads_the_application_folder_only(self):
        self.serve("editor.ver", b"ver=9.0\r\n")
        self.configure()
        self.app.write("editor.ver", b"ver=2.30\r\n")
        code, out, _ = self.app.run("-n", answers=b"\n")
        self.assertEqual((code, out), (0, up_to_date(b"editor", b"2.30", b"2.30")))
        os.remove(self.app.path("editor.ver"))
        code, out, _ = self.app.run("/n", answers=b"\n")
        self.assertEqual((code, out), (0, no_information(b"editor")))
        self.assertEqual(self.manifest_requests(), [])

    def test_option_letters_anywhere_and_case_sensitive(self):
        self.configure()
        self.app.write("editor.ver", b"ver=0\r\n")
        self.serve("editor.ver", b"ver=2.30\r\n")
        # "info" holds n and f: local manifest, and 0 is not newer than "0".
        code, out, _ = self.app.run("info", answers=b"\n")
        self.assertEqual((code, out), (0, up_to_date(b"editor", b"0", b"0")))
        self.assertEqual(self.manifest_requests(), [])
        # "N" sets nothing: the web is asked.
        code, out, _ = self.app.run("N", answers=b"\n")
        self.assertEqual((code, out), (0, up_to_date(b"editor", b"2.30", b"2.30")))
        self.assertEqual(len(self.manifest_requests()), 1)
        # Only the first argument counts: "-n -f" is local mode without force.
        code, out, _ = self.app.run("-n", answers=b"\n")
        self.assertEqual(out, up_to_date(b"editor", b"0", b"2.30"))

    def test_second_copy_does_nothing(self):
        self.serve("editor.ver", b"ver=2.30\r\n")
        self.configure()
        first = self.app.start()
        try:
            deadline = time.monotonic() + 10
            while not self.manifest_requests() and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(len(self.manifest_requests()), 1)  # the first waits at its box
            code, out, err = self.app.run(answers=b"\n")
            self.assertEqual((code, out, err), (0, b"", b""))
            self.assertEqual(len(self.manifest_requests()), 1)
        finally:
            out, _ = first.communicate(b"\n", timeout=30)
        self.assertEqual(first.returncode, 0)
        self.assertEqual(out, up_to_date(b"editor", b"2.30", b"2.30"))

    def test_unreadable_local_manifest_ends_with_application_error(self):
        self.configure()
        os.symlink(os.path.join(self.app.root, "gone.ver"), self.app.path("editor.ver"))
        code, out, _ = self.app.run("n", answers=b"\n")
        self.assertEqual(code, 1)
        self.assertRegex(out, rb"^\n== Application Error ==\nException EInOutError in module "
                              rb"PELMATIC\.EXE at [0-9A-F]{16}\.\nFile not found\.\n\[OK\] $")


if __name__ == "__main__":
    unittest.main()
