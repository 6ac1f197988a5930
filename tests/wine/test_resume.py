"""Downloads that survive a bad network, under Wine: WinINet asks for the
rest of a broken transfer with Range and If-Range, takes each kind of
answer as it must, and a part the manifest binds by digest and size is
continued by the next run."""

import hashlib
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402

MIB = 1 << 20
QUESTION_CAPTION = wt.texts.question_caption()
INSTALLER = "setup231.exe"


@wt.skip_unless_harness
class ResumedDownloadsUnderWine(wt.ServedAppFolderCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.program = wt.installer_program()

    def setUp(self):
        super().setUp()
        self.configure()
        self.marker = os.path.join(self.root, "installer-ran.txt")

    def publish(self, size, seed=b"", name=INSTALLER, ver=b"2.31", where=""):
        """A real installer, padded to size with bytes of its own (Windows
        runs it all the same), and its manifest with digest and size."""
        data = bytearray(self.program)
        i = 0
        while len(data) < size:
            data += hashlib.sha256(seed + b"%d" % i).digest() * 1024
            i += 1
        data = bytes(data[:size])
        os.makedirs(os.path.join(self.served, where), exist_ok=True)
        self.serve(where + name, data)
        self.serve(where + "editor.ver", b"ver=%s\r\nfile=%s\r\nsha256=%s\r\nsize=%d\r\n"
                   % (ver, name.encode(), hashlib.sha256(data).hexdigest().encode(), size))
        self.name, self.data, self.where = name, data, where
        return data

    def requests(self):
        return [r for r in self.server.requests() if r["path"] == "/" + self.where + self.name]

    def ranges(self):
        return [r["headers"].get("Range") for r in self.requests()]

    def sent(self, ranged_only=False):
        return sum(a["sent"] for a in self.server.answers()
                   if a["path"] == "/" + self.where + self.name and (a["range"] or not ranged_only))

    def temp_files(self):
        return sorted(n for n in os.listdir(wt.temp_folder())
                      if n.startswith(self.name) and n != self.name)

    def update(self, installs=True):
        """Answers Yes and waits for the end of the run; with installs, for
        the installer it starts to run as well."""
        env = wt.wine_env({"PELMATIC_TEST_MARKER": wt.unix_to_wine_path(self.marker)})
        if os.path.exists(self.marker):
            os.remove(self.marker)
        proc = wt.start_wine(self.exe, cwd=self.app, env=env)
        self.procs.append(proc)
        question = self.box(QUESTION_CAPTION)
        self.assertTrue(wt.press(question["hwnd"], wt.IDYES))
        self.assertEqual(proc.wait(timeout=150), 0)
        if installs:
            deadline = time.monotonic() + 10
            while not (os.path.exists(self.marker) and os.path.getsize(self.marker)):
                self.assertLess(time.monotonic(), deadline, "the installer did not run")
                time.sleep(0.05)

    def installed(self):
        self.update()
        with open(os.path.join(wt.temp_folder(), self.name), "rb") as f:
            self.assertEqual(f.read(), self.data)
        self.assertEqual(self.temp_files(), [])

    def test_a_file_cut_every_16_mib_arrives_in_one_run(self):
        self.publish(96 * MIB)
        self.server.set_faults({"/" + INSTALLER: {"cut_every": 16 * MIB}})
        started = time.monotonic()
        self.installed()
        took = time.monotonic() - started
        self.assertEqual(self.ranges(), [None] + ["bytes=%d-" % (i * 16 * MIB) for i in range(1, 6)])
        self.assertTrue(self.requests()[1]["headers"].get("If-Range", "").startswith('"'))
        self.assertLessEqual(self.sent(), 1.02 * len(self.data))
        sys.stderr.write("\n  96 MiB cut every 16 MiB: %d requests, %d bytes sent, %.1f s\n"
                         % (len(self.ranges()), self.sent(), took))

    def test_answers_that_do_not_continue_the_part_and_retry_after(self):
        half = {"cut": 3 * MIB, "times": 1}
        cases = [
            ("range ignored", dict(half, then={"ignore_range": True}), [None, "bytes=%d-"]),
            ("another start", dict(half, then={"wrong_range": "start"}),
             [None, "bytes=%d-", None]),
            ("no validators", dict(half, etag=None, last_modified=False,
                                   then={"etag": None, "last_modified": False}),
             [None, "bytes=%d-"]),
        ]
        for name, fault, ranges in cases:
            with self.subTest(name):
                self.server.clear_log()
                self.publish(6 * MIB, name.encode())
                self.server.set_faults({"/" + INSTALLER: fault})
                self.installed()
                self.assertEqual(self.ranges(), [r and r % (3 * MIB) for r in ranges])
        self.assertNotIn("If-Range", self.requests()[1]["headers"])
        with self.subTest("Retry-After"):
            self.server.clear_log()
            self.publish(MIB, b"retry")
            self.server.set_faults({"/" + INSTALLER: {"status": 503, "times": 1,
                                                      "headers": {"Retry-After": "2"}}})
            self.installed()
            first, second = self.requests()
            self.assertGreaterEqual(second["at"] - first["at"], 2.0)

    def test_servers_that_keep_breaking(self):
        # Gone after half the file, then back for the next run; and, in a
        # second application folder at the same time, one that cuts the
        # connection after every MiB for good. The second copy of the
        # checker runs under another file name, so that the single-instance
        # guard lets both run.
        other = os.path.join(self.root, "other")
        os.mkdir(other)
        other_exe = os.path.join(other, "PELMATIC2.EXE")
        shutil.copy2(wt.EXE, other_exe)
        with open(os.path.join(other, "pelmatic.ini"), "wb") as f:
            f.write(wt.ini_bytes(self.server.url + "cuts/"))
        self.publish(20 * MIB, b"cuts", where="cuts/")
        data = self.publish(20 * MIB, b"gone", name="setup232.exe", where="gone/")
        self.write_ini(self.server.url + "gone/")
        self.server.set_faults({"/cuts/" + INSTALLER: {"cut_every": MIB},
                                "/gone/setup232.exe": {"cut": 10 * MIB, "times": 1,
                                                       "then": {"reset": True}}})
        results = {}

        def run(key, exe):
            env = wt.wine_env()
            proc = wt.start_wine(exe, cwd=os.path.dirname(exe), env=env)
            self.procs.append(proc)
            started = time.monotonic()
            results[key] = (proc, started)

        run("gone", self.exe)
        self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], wt.IDYES))
        run("cuts", other_exe)
        self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], wt.IDYES))
        ended = {}
        for key, (proc, started) in results.items():
            self.assertEqual(proc.wait(timeout=200), 0)
            ended[key] = time.monotonic() - started
        self.name, self.where = INSTALLER, "cuts/"
        self.assertEqual(len(self.requests()), 8)
        self.assertLess(ended["cuts"], 75)
        sys.stderr.write("\n  cut after every MiB: 8 requests, ended after %.1f s\n" % ended["cuts"])
        self.name, self.where, self.data = "setup232.exe", "gone/", data
        self.assertEqual(len(self.requests()), 9)
        self.assertEqual(self.temp_files(), ["setup232.exe.part", "setup232.exe.resume"])
        # Back again: the next run asks only for the rest.
        self.server.clear_log()
        self.server.set_faults({})
        self.installed()
        self.assertEqual(self.ranges(), ["bytes=%d-" % (10 * MIB)])
        self.assertEqual(self.sent(), 10 * MIB)

    def test_a_part_of_another_release_is_not_used(self):
        self.publish(6 * MIB, b"2.31")
        self.server.set_faults({"/" + INSTALLER: {"cut": 3 * MIB, "times": 1,
                                                  "then": {"status": 404}}})
        self.update(installs=False)
        self.assertFalse(os.path.exists(self.marker))
        self.assertEqual(self.temp_files(), [INSTALLER + ".part", INSTALLER + ".resume"])
        self.server.clear_log()
        self.server.set_faults({})
        self.publish(6 * MIB, b"2.32", name="setup232.exe", ver=b"2.32")
        self.installed()
        self.assertEqual(self.ranges(), [None])
        self.assertFalse(os.path.exists(os.path.join(wt.temp_folder(), INSTALLER + ".part")))

    def test_a_part_changed_on_the_disk_is_found_and_fetched_again(self):
        self.publish(6 * MIB, b"changed")
        self.server.set_faults({"/" + INSTALLER: {"cut": 4 * MIB, "times": 1,
                                                  "then": {"status": 404}}})
        self.update(installs=False)
        with open(os.path.join(wt.temp_folder(), INSTALLER + ".part"), "r+b") as f:
            f.seek(1000)
            f.write(b"X")
        self.server.clear_log()
        self.server.set_faults({})
        self.installed()
        # The rest first; the digest then finds the damage: the whole file.
        self.assertEqual(self.ranges(), ["bytes=%d-" % (4 * MIB), None])


if __name__ == "__main__":
    unittest.main()
