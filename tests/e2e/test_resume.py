"""Downloads of the update file that survive a bad network, on the POSIX
build: a broken transfer resumed from the bytes on the disk (Range and
If-Range), each kind of answer taken as it must be, and a part kept for the
next run where the manifest binds the file by its digest and size."""

import hashlib
import os
import time
import unittest

from e2e.support import (CLOSED, WAIT, fallback, launch, ServedCase,
                         update_question, UpdateFolder, wait_for)
from e2e.test_faults import run_side_by_side

MIB = 1 << 20
INSTALLER = "setup231.exe"
YES = b"y\n\n"


def payload(size, seed=b"pelmatic"):
    """size bytes that differ from piece to piece, starting as an installer."""
    out, block, i = bytearray(b"MZ"), b"", 0
    while len(out) < size:
        block = hashlib.sha256(seed + b"%d" % i).digest() * 2048
        out += block
        i += 1
    return bytes(out[:size])


class Resume(ServedCase):
    def folder(self):
        app = UpdateFolder()
        self.addCleanup(app.cleanup)
        app.ini(ver_now="2.30", ver_file="editor", url_file=self.server.url, url_down="x")
        return app

    def publish(self, data, name=INSTALLER, bind=True, ver=b"2.31"):
        with open(os.path.join(self.served, name), "wb") as f:
            f.write(data)
        manifest = b"ver=" + ver + b"\r\nfile=" + name.encode() + b"\r\n"
        if bind:
            manifest += b"sha256=%s\r\nsize=%d\r\n" % (hashlib.sha256(data).hexdigest().encode(),
                                                         len(data))
        with open(os.path.join(self.served, "editor.ver"), "wb") as f:
            f.write(manifest)
        self.name, self.data, self.ver = name, data, ver

    def requests(self):
        return [r for r in self.server.requests() if r["path"] == "/" + self.name]

    def ranges(self):
        return [r["headers"].get("Range") for r in self.requests()]

    def sent(self, ranged_only=False):
        return sum(a["sent"] for a in self.server.answers()
                   if a["path"] == "/" + self.name and (a["range"] or not ranged_only))

    def installed(self, app, result=None):
        """The run started the whole file, and left nothing else behind."""
        code, out, err = result or app.run(answers=YES)
        target = app.tmpdir.encode() + self.name.encode()
        self.assertEqual((code, out, err), (0, update_question(self.name.encode(), self.ver,
                                                               notes=b""),
                                            WAIT + launch(target) + CLOSED))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), self.data)
        self.assertEqual(self.leftovers(app), [])

    def leftovers(self, app):
        return sorted(n for n in os.listdir(app.root) if n.endswith((".part", ".resume")))

    def failed(self, app, result, code=-1):
        url = (self.server.url + self.name).encode()
        self.assertEqual(result[:3], (0, update_question(self.name.encode(), notes=b""),
                                      WAIT + CLOSED + fallback(code, url)))

    def test_a_file_cut_every_16_mib_arrives_in_one_run(self):
        self.publish(payload(96 * MIB))
        self.server.set_faults({"/" + INSTALLER: {"cut_every": 16 * MIB}})
        started = time.monotonic()
        self.installed(self.folder())
        took = time.monotonic() - started
        ranges = self.ranges()
        self.assertEqual(ranges, [None] + ["bytes=%d-" % (i * 16 * MIB) for i in range(1, 6)])
        etag = self.requests()[1]["headers"].get("If-Range")
        self.assertTrue(etag and etag.startswith('"'), etag)
        self.assertLessEqual(self.sent(), 1.02 * len(self.data))
        print("\n  96 MiB cut every 16 MiB: %d requests, %d bytes sent, %.1f s"
              % (len(ranges), self.sent(), took), end="")

    def test_answers_that_do_not_continue_the_part(self):
        half = {"cut": 3 * MIB, "times": 1}
        cases = [
            # The server ignores Range: the whole file again, the part replaced.
            ("range ignored", dict(half, then={"ignore_range": True}), [None, "bytes=%d-"], 2),
            # A Content-Range that is not the rest of this file: from the
            # start, once more.
            ("another start", dict(half, then={"wrong_range": "start"}),
             [None, "bytes=%d-", None], 3),
            ("another total", dict(half, then={"wrong_range": "total"}),
             [None, "bytes=%d-", None], 3),
            ("no Content-Range", dict(half, then={"no_content_range": True}),
             [None, "bytes=%d-", None], 3),
        ]
        for name, fault, ranges, requests in cases:
            with self.subTest(name):
                self.publish(payload(6 * MIB, name.encode()))
                self.server.clear_log()
                self.server.set_faults({"/" + INSTALLER: fault})
                self.installed(self.folder())
                self.assertEqual(self.ranges(), [r and r % (3 * MIB) for r in ranges])
                self.assertEqual(len(self.requests()), requests)

    def test_without_validators_the_digest_decides(self):
        cut = {"cut": 3 * MIB, "times": 1, "then": {"etag": None, "last_modified": False}}
        cut.update({"etag": None, "last_modified": False})
        # With the digest the rest is asked for, without If-Range.
        self.publish(payload(6 * MIB, b"a"))
        self.server.set_faults({"/" + INSTALLER: cut})
        self.installed(self.folder())
        self.assertEqual(self.ranges(), [None, "bytes=%d-" % (3 * MIB)])
        self.assertNotIn("If-Range", self.requests()[1]["headers"])
        # Without it nothing tells the bytes are the file's: all again.
        self.server.clear_log()
        self.publish(payload(6 * MIB, b"b"), bind=False)
        self.server.set_faults({"/" + INSTALLER: cut})
        self.installed(self.folder())
        self.assertEqual(self.ranges(), [None, None])
        # A weak ETag is no validator either; the Last-Modified date is.
        self.server.clear_log()
        self.publish(payload(6 * MIB, b"c"), bind=False)
        weak = {"cut": 3 * MIB, "times": 1, "etag": 'W/"1"', "then": {"etag": 'W/"1"'}}
        self.server.set_faults({"/" + INSTALLER: weak})
        self.installed(self.folder())
        second = self.requests()[1]["headers"]
        self.assertEqual(second.get("Range"), "bytes=%d-" % (3 * MIB))
        self.assertTrue(second.get("If-Range", "").endswith("GMT"), second)

    def test_retry_after_is_waited_for_and_a_long_one_ends_the_download(self):
        self.publish(payload(MIB))
        self.server.set_faults({"/" + INSTALLER: {"status": 503, "headers": {"Retry-After": "2"},
                                                  "times": 1}})
        self.installed(self.folder())
        first, second = self.requests()
        self.assertGreaterEqual(second["at"] - first["at"], 2.0)
        self.server.clear_log()
        self.server.set_faults({"/" + INSTALLER: {"status": 429,
                                                  "headers": {"Retry-After": "120"}}})
        app = self.folder()
        self.failed(app, app.run(answers=YES))
        self.assertEqual(len(self.requests()), 1)

    # Forty seconds of waits between requests prove the limits, not memory
    # safety: the sanitizer pass of the suite leaves it to the plain pass.
    @unittest.skipIf(os.environ.get("PELMATIC_SKIP_TIMEOUT_CASES") == "1",
                     "time-outs are checked in the plain pass")
    @unittest.skipUnless(os.geteuid() == 0, "runs side by side in PID namespaces of their own")
    def test_servers_that_keep_breaking(self):
        # Gone after half the file, then back for the next run; and one that
        # cuts the connection after every MiB, for good. Side by side.
        gone, cuts = self.folder(), self.folder()
        data = payload(20 * MIB)
        digest = hashlib.sha256(data).hexdigest().encode()
        for app, where in ((gone, "gone/"), (cuts, "cuts/")):
            os.makedirs(os.path.join(self.served, where), exist_ok=True)
            with open(os.path.join(self.served, where, INSTALLER), "wb") as f:
                f.write(data)
            with open(os.path.join(self.served, where, "editor.ver"), "wb") as f:
                f.write(b"ver=2.31\r\nfile=%s\r\nsha256=%s\r\nsize=%d\r\n"
                        % (INSTALLER.encode(), digest, len(data)))
            app.ini(ver_now="2.30", ver_file="editor", url_file=self.server.url + where,
                    url_down="x")
        self.server.set_faults({"/gone/" + INSTALLER: {"cut": 10 * MIB, "times": 1,
                                                       "then": {"reset": True}},
                                "/cuts/" + INSTALLER: {"cut_every": MIB}})
        results = run_side_by_side([(gone, None, YES), (cuts, None, YES)])
        self.data, self.ver = data, b"2.31"
        self.name = "cuts/" + INSTALLER
        self.assertLess(results[1][3], 75, "a run against a server that cuts every MiB")
        self.assertEqual(len(self.requests()), 8)
        print("\n  cut after every MiB: 8 requests, failed after %.1f s" % results[1][3], end="")
        # The first request brought half the file, so the 8 came after it.
        self.name = "gone/" + INSTALLER
        self.assertEqual(len(self.requests()), 9)
        for app, result, where in ((gone, results[0], "gone/"), (cuts, results[1], "cuts/")):
            url = (self.server.url + where + INSTALLER).encode()
            self.assertEqual(result[:3], (0, update_question(INSTALLER.encode(), notes=b""),
                                          WAIT + CLOSED + fallback(-1, url)))
            # The manifest binds the file: the part and its record stay.
            self.assertEqual(self.leftovers(app), [INSTALLER + ".part", INSTALLER + ".resume"])
        # Back again: the next run asks only for the rest.
        self.server.clear_log()
        self.server.set_faults({})
        code, out, err = gone.run(answers=YES)
        self.assertEqual(err, WAIT + launch(gone.tmpdir.encode() + INSTALLER.encode()) + CLOSED)
        self.assertEqual(self.ranges(), ["bytes=%d-" % (10 * MIB)])
        self.assertEqual(self.sent(), 10 * MIB)
        self.assertEqual(self.leftovers(gone), [])

    def test_a_part_of_another_release_is_not_used(self):
        old = payload(6 * MIB, b"2.31")
        for name, changed in (("setup232.exe", "the next release"),
                              (INSTALLER, "the same name, other bytes")):
            with self.subTest(changed):
                app = self.folder()
                self.server.clear_log()
                self.publish(old)
                self.server.set_faults({"/" + INSTALLER: {"cut": 3 * MIB, "times": 1,
                                                          "then": {"status": 404}}})
                self.failed(app, app.run(answers=YES))
                self.assertEqual(self.leftovers(app), [INSTALLER + ".part",
                                                       INSTALLER + ".resume"])
                self.server.clear_log()
                self.server.set_faults({})
                self.publish(payload(6 * MIB, changed.encode()), name=name, ver=b"2.32")
                self.installed(app)
                self.assertEqual(self.ranges(), [None])

    def test_a_part_left_by_a_kill_is_continued(self):
        app = self.folder()
        self.publish(payload(12 * MIB))
        self.server.set_faults({"/" + INSTALLER: {"drip": [256 * 1024, 50]}})
        proc = app.start()
        proc.stdin.write(YES)
        proc.stdin.close()
        part = os.path.join(app.root, INSTALLER + ".part")
        self.assertTrue(wait_for(lambda: os.path.exists(part) and
                                 os.path.getsize(part) >= 5 * MIB, 30))
        proc.kill()
        proc.wait()
        for stream in (proc.stdout, proc.stderr):
            stream.close()
        kept = os.path.getsize(part)
        self.server.clear_log()
        self.server.set_faults({})
        self.installed(app)
        self.assertEqual(self.ranges(), ["bytes=%d-" % kept])
        self.assertEqual(self.sent(ranged_only=True), len(self.data) - kept)
        # The progress goes on from the bytes kept.
        shown = [done for phase, done, _ in app.progress if phase == "download"]
        self.assertGreaterEqual(shown[0], kept)
        self.assertEqual(shown[-1], len(self.data))

    def test_a_part_changed_on_the_disk_is_found_and_fetched_again(self):
        app = self.folder()
        self.publish(payload(6 * MIB))
        self.server.set_faults({"/" + INSTALLER: {"cut": 4 * MIB, "times": 1,
                                                  "then": {"status": 404}}})
        self.failed(app, app.run(answers=YES))
        part = os.path.join(app.root, INSTALLER + ".part")
        with open(part, "r+b") as f:
            f.seek(1000)
            f.write(b"X")
        self.server.clear_log()
        self.server.set_faults({})
        self.installed(app)
        # The rest first; the digest then finds the damage: the whole file.
        self.assertEqual(self.ranges(), ["bytes=%d-" % (4 * MIB), None])


if __name__ == "__main__":
    unittest.main()
