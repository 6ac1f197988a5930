"""Installations killed at moments spread over the merge, and recoveries
killed in their turn: after one more run the application folder is exactly
the old installation or exactly the new one, and holds nothing else.

PELMATIC_KILL_FILES and PELMATIC_KILL_MOMENTS set the size (500 files and 6
moments by default; `make killtest` runs 5,000 and 20). Not yet part of `make test`: the
wait for the plan misses the merge of a small package too often."""
import os
import signal
import subprocess
import time
import unittest
import zipfile

from e2e.support import UpdateFolder, other_checkers_running, read, wait_for

FILES = int(os.environ.get("PELMATIC_KILL_FILES", "500"))
MOMENTS = int(os.environ.get("PELMATIC_KILL_MOMENTS", "6"))
FOLDERS = max(1, FILES // 100)
JOURNAL = "pelmatic.journal"


def names(count, first=0):
    return ["f%02d/file%05d.dat" % (i % FOLDERS, i) for i in range(first, first + count)]


def snapshot(folder, leave_out=()):
    found = {}
    for base, dirs, files in os.walk(folder):
        for d in dirs:
            found[os.path.relpath(os.path.join(base, d), folder) + "/"] = None
        for f in files:
            rel = os.path.relpath(os.path.join(base, f), folder)
            if rel not in leave_out:
                found[rel] = read(os.path.join(base, f))
    return found


class KilledInstallations(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # The old installation: FILES files; the package replaces four in
        # five of them and brings as many new ones as it leaves alone.
        cls.kept = names(FILES // 5)
        cls.replaced = names(FILES - FILES // 5, FILES // 5)
        cls.added = names(FILES // 5, FILES)
        cls.package = os.path.join(os.path.dirname(__file__), "..", "..", "build",
                                   "killtest-%d.zip" % FILES)
        with zipfile.ZipFile(cls.package, "w", zipfile.ZIP_STORED) as z:
            for name in cls.replaced + cls.added:
                z.writestr(name, ("new " + name + "\n") * 4)

    def prepared(self):
        app = UpdateFolder()
        self.addCleanup(app.cleanup)
        app.ini(ver_now="2.30", ver_file="editor", url_file="http://127.0.0.1:9/", url_down="x")
        for name in self.kept + self.replaced:
            os.makedirs(os.path.dirname(app.path(name)), exist_ok=True)
            app.write(name, ("old " + name + "\n") * 3)
        app.write("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        os.link(self.package, app.path("editor231.zip"))
        return app

    def expected(self, app):
        old = snapshot(app.dir, ("editor.ver",))
        new = dict(old)
        for name in self.replaced + self.added:
            new[name] = (("new " + name + "\n") * 4).encode()
        return old, new

    def start(self, app, option):
        wait_for(lambda: not other_checkers_running(), 60)
        p = app.start(option)
        p.stdin.write(b"y\n")
        p.stdin.close()
        p.stdin = None  # answered; communicate() only collects the output
        return p

    def merging(self, app, p):
        """Waits until the plan is on the disk, when the first move may come;
        the whole merge of a small package takes a few milliseconds."""
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and p.poll() is None:
            try:
                if b"\nplanned " in read(app.path(JOURNAL)):
                    return True
            except OSError:
                pass
            time.sleep(0.0005)
        return False

    def kill_after(self, p, seconds):
        time.sleep(seconds)
        p.send_signal(signal.SIGKILL)
        p.communicate()

    def resolve(self, app):
        # One more run, with a manifest that offers nothing.
        app.write("editor.ver", b"ver=2.30\r\nfile=editor231.zip\r\n")
        code, out, err = app.run("n@", timeout=120)
        self.assertEqual(code, 0, err)

    def assertOldOrNew(self, app, old, new):
        found = snapshot(app.dir, ("editor.ver",))
        self.assertIn(found, (old, new), sorted(set(found.items()) ^ set(new.items()))[:5])
        return "new" if found == new else "old"

    def test_killed_at_moments_spread_over_the_merge(self):
        # An uninterrupted run gives the length of the merge.
        app = self.prepared()
        old, new = self.expected(app)
        p = self.start(app, "n@")
        self.assertTrue(self.merging(app, p))
        began = time.monotonic()
        p.communicate(timeout=120)
        merge = time.monotonic() - began
        self.assertEqual(self.assertOldOrNew(app, old, new), "new")

        outcomes = []
        for moment in range(MOMENTS):
            app = self.prepared()
            p = self.start(app, "n@")
            self.assertTrue(self.merging(app, p))
            self.kill_after(p, merge * moment / MOMENTS)
            self.resolve(app)
            outcomes.append(self.assertOldOrNew(app, old, new))
        print("\nkilled %d times over a merge of %d files (%.2f s): %d ended old, %d new"
              % (MOMENTS, FILES, merge, outcomes.count("old"), outcomes.count("new")))

    def test_a_recovery_killed_in_its_turn(self):
        app = self.prepared()
        old, new = self.expected(app)
        p = self.start(app, "n@")
        self.assertTrue(self.merging(app, p))
        # Half the files moved, then the kill; the recovery that follows is
        # killed as soon as it has put some of them back.
        wait_for(lambda: len(os.listdir(app.path("pelmatic.backup"))) >= FOLDERS // 2 + 1, 60)
        p.send_signal(signal.SIGKILL)
        p.communicate()
        self.assertTrue(os.path.exists(app.path(JOURNAL)))
        app.write("editor.ver", b"ver=2.30\r\nfile=editor231.zip\r\n")
        for delay in (0.0, 0.01, 0.03):
            wait_for(lambda: not other_checkers_running(), 60)
            self.kill_after(self.start(app, "n@"), delay)
        self.resolve(app)
        self.assertOldOrNew(app, old, new)
        self.assertFalse(os.path.exists(app.path(JOURNAL)))


if __name__ == "__main__":
    unittest.main()
