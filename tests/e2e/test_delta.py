"""Delta packages end to end: a release made with pelmatic-tool (the full
package, a delta from 2.30 and a signed manifest naming both), installed by
the real program through the delta, and every way a delta can fail before
the installation starts taken over by the full package in the same run."""

import io
import os
import random
import unittest
import zipfile

from e2e.support import (ANY_SCRIPT, COMPLETE, UpdateFolder, read, start_serving, stop_serving, tree,
                         update_question, zip_bytes)
from e2e.test_tool import ToolCase

random.seed(4711)
PROGRAM = bytes(random.getrandbits(8) for _ in range(300000))
OLD = {"editor.exe": PROGRAM, "readme.txt": b"stays the same", "docs/guide.txt": b"old guide"}
NEW = {"editor.exe": PROGRAM[:9000] + b"fixed" + PROGRAM[9000:250000] + b"new code" * 50 +
       PROGRAM[250000:],
       "readme.txt": b"stays the same", "docs/guide.txt": b"new guide", "docs/more.txt": b"more"}


def setUpModule():
    global SERVED, SERVER
    SERVED, SERVER = start_serving()


def tearDownModule():
    stop_serving(SERVED, SERVER)


class DeltaUpdate(ToolCase):
    FOLDER = None  # or ANY_SCRIPT, for folders named beyond ASCII

    def setUp(self):
        super().setUp()
        SERVER.set_faults({})
        SERVER.clear_log()
        self.old = self.write("editor230.zip", zip_bytes(OLD))
        self.full = os.path.join(SERVED, "editor231.zip")
        with open(self.full, "wb") as f:
            f.write(zip_bytes(NEW))
        self.delta = os.path.join(SERVED, "editor231-from230.zip")
        code, out, err = self.tool("delta", "--from", self.old, "--to", self.full,
                                   "--out", self.delta)
        self.assertEqual(code, 0, err)
        self.assertIn(b"1 patched", out)

    def publish(self, delta_bytes=None):
        """The signed manifest naming the full package and the delta (with
        other bytes, when given, as its digest and size bind them)."""
        if delta_bytes is not None:
            with open(self.delta, "wb") as f:
                f.write(delta_bytes)
        code, out, err = self.tool("manifest", "--product", "editor", "--ver", "2.31", "--file",
                              self.full, "--delta", "2.30=" + self.delta, "--key", self.key,
                              "--out", os.path.join(SERVED, "editor.ver"))
        self.assertEqual(code, 0, err)

    def installation(self):
        app = UpdateFolder(self.FOLDER)
        self.addCleanup(app.cleanup)
        app.ini(ver_now="2.30", ver_file="editor", url_file=SERVER.url, url_down="x",
                pub_key=self.pub_key)
        for name, data in OLD.items():
            os.makedirs(os.path.dirname(app.path(name)), exist_ok=True)
            app.write(name, data)
        return app

    def update(self, app):
        code, out, err = app.run(answers=b"y\n\n")
        self.assertEqual((code, out), (0, update_question(b"editor231.zip", notes=b"") + COMPLETE),
                         err)
        # The package's files, byte for byte, beside what was there.
        for name, data in NEW.items():
            self.assertEqual(read(app.path(name)), data, name)
        self.assertEqual(tree(app.dir), sorted(["PELMATIC.EXE", "pelmatic.ini", "docs/",
                                                "docs/guide.txt", "docs/more.txt", "editor.exe",
                                                "readme.txt"]))
        return [r["path"] for r in SERVER.requests() if r["path"] != "/editor.ver"]

    def test_only_the_delta_is_sent_and_the_folder_ends_as_the_full_package_leaves_it(self):
        self.publish()
        app = self.installation()
        self.assertEqual(self.update(app), ["/editor231-from230.zip"])
        sent = SERVER.sent_bytes("/editor231-from230.zip")
        self.assertEqual(sent, os.path.getsize(self.delta))
        self.assertLess(sent * 10, os.path.getsize(self.full))

    def test_every_failure_before_the_installation_falls_back_to_the_full_package(self):
        good = read(self.delta)
        with zipfile.ZipFile(io.BytesIO(good)) as z:
            entries = {i.filename: z.read(i) for i in z.infolist()}

        def rezipped(name, change):
            changed = dict(entries)
            changed[name] = change(changed[name])
            buf = io.BytesIO()
            with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
                for n, data in changed.items():
                    z.writestr(n, data)
            return buf.getvalue()

        flipped = rezipped("@delta/1.patch", lambda p: p[:200] + bytes([p[200] ^ 1]) + p[201:])
        cases = {
            "not on the server": (good, lambda app: os.remove(self.delta)),
            "not what the manifest binds": (good, lambda app: self.path_over(self.delta)),
            "a base file changed by hand": (good, lambda app: app.write("readme.txt", b"mine")),
            "a patch that rebuilds another file": (flipped, None),
            "an index that does not decode": (rezipped("@delta/index", lambda i: b"junk\n"), None),
        }
        for what, (published, spoil) in cases.items():
            with self.subTest(what):
                SERVER.clear_log()
                self.publish(published)
                app = self.installation()
                if spoil:
                    spoil(app)
                # One question, then the delta, then the full package.
                self.assertEqual(self.update(app), ["/editor231-from230.zip", "/editor231.zip"])
                self.assertFalse(os.path.exists(app.path("editor231-from230.zip")))

    def test_verify_checks_each_delta_and_refuses_one_that_does_not_give_the_package(self):
        self.publish()
        ini = self.write("pelmatic.ini", ("[Check]\r\nver_now=2.29\r\nver_file=editor\r\n"
                                         "url_file=%s\r\npub_key=%s\r\n"
                                         % (SERVER.url, self.pub_key)).encode())
        code, out, err = self.tool("verify", "--ini", ini, "--base", "2.30=" + self.old)
        self.assertEqual(code, 0, out + err)
        self.assertIn(b"delta from 2.30: editor231-from230.zip", out)
        self.assertIn(b"applied to " + self.old.encode() + b": gives the package's files", out)
        code, out, err = self.tool("verify", "--ini", ini)
        self.assertEqual(code, 0, out + err)
        self.assertIn(b"its index names the package's files", out)
        # A delta made for another release of 2.31.
        other = self.write("other231.zip", zip_bytes(dict(NEW, **{"docs/more.txt": b"other"})))
        code, _, err = self.tool("delta", "--from", self.old, "--to", other, "--out", self.delta)
        self.assertEqual(code, 0, err)
        self.publish()
        code, out, err = self.tool("verify", "--ini", ini)
        self.assertEqual(code, 1, out + err)
        self.assertIn(b"refused: the delta from 2.30 does not give the new package's files "
                      b"(docs/more.txt differs from the package)", out)

    def test_manifest_refuses_deltas_installed_copies_could_not_take(self):
        setup = self.write("setup231.exe", b"MZ")
        cases = [
            (["--file", setup, "--delta", "2.30=" + self.delta], b"needs a ZIP package"),
            (["--file", self.full, "--delta", "2.31=" + self.delta], b"is not older than 2.31"),
            (["--file", self.full, "--delta", "2.30=" + self.full], b"named otherwise"),
            (["--file", self.full, "--delta", "2.30"], b"give VERSION=FILE"),
            (["--file", self.full, "--delta", "2.30=" + self.delta, "--delta",
              "2.30=" + self.delta], b"names 2.30 twice"),
        ]
        out_path = os.path.join(self.work, "editor.ver")
        for args, refusal in cases:
            with self.subTest(refusal=refusal):
                code, out, err = self.tool("manifest", "--product", "editor", "--ver", "2.31",
                                      "--key", self.key, "--out", out_path, *args)
                self.assertEqual(code, 2, out + err)
                self.assertIn(refusal, err)
                self.assertFalse(os.path.exists(out_path))

    def path_over(self, path):
        with open(path, "r+b") as f:
            f.seek(10)
            f.write(b"X")


class DeltaUpdateInAnyScript(DeltaUpdate):
    FOLDER = ANY_SCRIPT


if __name__ == "__main__":
    unittest.main()
