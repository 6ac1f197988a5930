"""Installations killed at moments spread over the merge, and recoveries
killed in their turn: after one more run the application folder is exactly
the old installation or exactly the new one, and holds nothing else.

The program is stopped (SIGSTOP) again and again while it works, so each
kill comes at a chosen point of the merge rather than at a guessed time.
PELMATIC_KILL_FILES and PELMATIC_KILL_MOMENTS set the size: 500 files and
6 moments in `make test`, 5,000 and 20 in `make killtest`."""
import os
import shutil
import signal
import subprocess
import tempfile
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


def stopped(pid):
    """Waits until the process has taken its SIGSTOP; False when it is gone."""
    while True:
        try:
            with open("/proc/%d/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            return False
        if state in "TtZX":
            return state in "Tt"


def count_files(folder, among):
    """Files under `folder` whose paths are in `among`."""
    return sum(os.path.relpath(os.path.join(base, f), folder) in among
               for base, _, files in os.walk(folder) for f in files)


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
        # Beside the temporary application folders, which link it, and
        # private to this run: the sanitizer pass runs beside the plain one.
        cls.packages = tempfile.mkdtemp(prefix="pelmatic-killtest-")
        cls.package = os.path.join(cls.packages, "killtest-%d.zip" % FILES)
        with zipfile.ZipFile(cls.package, "w", zipfile.ZIP_STORED) as z:
            for name in cls.replaced + cls.added:
                z.writestr(name, ("new " + name + "\n") * 4)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.packages, ignore_errors=True)

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

    def step_until(self, p, reached, limit=120):
        """Lets the program run in short slices, looking at the folder while
        it is stopped; kills it the first time `reached()` holds. False when
        the program ended first."""
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            os.kill(p.pid, signal.SIGSTOP)
            if not stopped(p.pid):
                p.communicate()
                return False
            try:
                if reached():
                    p.send_signal(signal.SIGKILL)
                    p.communicate()
                    return True
            except OSError:
                pass  # an entry went away between listing and reading
            os.kill(p.pid, signal.SIGCONT)
            time.sleep(0.0002)
        self.fail("the program neither ended nor reached the moment")

    def moves_done(self, app):
        """How many renames into the application folder the merge has done:
        the unpacked files no longer in the unpack folder. None before the
        plan is on the disk."""
        journal = read(app.path(JOURNAL))
        if b"\nplanned " not in journal:
            return None
        unpack = journal.split(b"\n")[1].split(b" ", 1)[1].decode()
        left = sum(len(files) for _, _, files in os.walk(app.path(unpack)))
        return len(self.replaced) + len(self.added) - left

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
        app = self.prepared()
        old, new = self.expected(app)
        total = len(self.replaced) + len(self.added)
        outcomes = []
        # The first moment comes right after the plan, the last after the
        # commit, while the clean-up runs.
        for moment in range(MOMENTS):
            app = self.prepared()
            p = self.start(app, "n@")
            if moment == MOMENTS - 1:
                reached = lambda: b"\ncommitted" in read(app.path(JOURNAL))
            else:
                target = total * moment // (MOMENTS - 1)
                reached = lambda: (self.moves_done(app) or -1) >= target
            self.assertTrue(self.step_until(p, reached), "moment %d" % moment)
            self.assertTrue(os.path.exists(app.path(JOURNAL)))
            self.resolve(app)
            outcomes.append(self.assertOldOrNew(app, old, new))
        print("\nkilled %d times over a merge of %d files: %d ended old, %d new"
              % (MOMENTS, FILES, outcomes.count("old"), outcomes.count("new")))
        # Killed before the commit it is the old, after it the new.
        self.assertEqual(outcomes, ["old"] * (MOMENTS - 1) + ["new"])

    def test_a_recovery_killed_in_its_turn(self):
        app = self.prepared()
        old, new = self.expected(app)
        total = len(self.replaced) + len(self.added)
        p = self.start(app, "n@")
        self.assertTrue(self.step_until(p, lambda: (self.moves_done(app) or -1) >= total // 2))
        # Each recovery is killed once it has put back a few more of the
        # installed files (new ones go the other way, into the backup folder).
        app.write("editor.ver", b"ver=2.30\r\nfile=editor231.zip\r\n")
        backup = app.path("pelmatic.backup")
        replaced = set(self.replaced)
        for _ in range(3):
            before = count_files(backup, replaced)
            p = self.start(app, "n@")
            self.assertTrue(self.step_until(
                p, lambda: count_files(backup, replaced) <= before - max(1, total // 20)))
        self.resolve(app)
        self.assertEqual(self.assertOldOrNew(app, old, new), "old")
        self.assertFalse(os.path.exists(app.path(JOURNAL)))


if __name__ == "__main__":
    unittest.main()
