"""The progress of an update on the terminal desktop: [progress] lines for
the download, the unpacking and the installation, and SIGINT standing for
the status window's Cancel in each of those phases."""

import os
import signal
import threading
import time
import unittest

from e2e.support import (COMPLETE, WAIT, CLOSED, read, ServedCase, tree,
                         update_question, UpdateFolder, wait_for, other_checkers_running,
                         zip_bytes)

PACKAGE = "editor231.zip"
MIB = 1 << 20
# About 6 MiB/s: 192 KiB every 31 ms.
THROTTLE = {"drip": [192 * 1024, 31]}
# Slower runs under the sanitizers.
SLACK = 3.0 if os.environ.get("ASAN_OPTIONS") else 1.0


class Watched:
    """A running program whose standard error is read as it comes, each
    line with the moment it arrived."""

    def __init__(self, app, answers=b"y\n\n"):
        """answers None leaves standard input open: the program waits at its
        first question."""
        wait_for(lambda: not other_checkers_running(), 60)
        self.proc = app.start()
        self.lines = []
        self.done = threading.Event()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if answers is not None:
            self.proc.stdin.write(answers)
            self.proc.stdin.close()

    def _read(self):
        for line in iter(self.proc.stderr.readline, b""):
            self.lines.append((time.monotonic(), line))
        self.done.set()

    def wait_for_line(self, predicate, seconds=60):
        """The first line for which predicate(phase, done, total) holds."""
        found = wait_for(lambda: next((l for l in self.progress() if predicate(*l[1])), None),
                         seconds)
        if not found:
            raise AssertionError("no such progress line; stderr: %r" % self.err()[-2000:])
        return found

    def progress(self):
        """(moment, (phase, done, total)) of each [progress] line so far."""
        found = []
        for at, line in list(self.lines):
            if line.startswith(b"[progress] "):
                phase, done, total = line.split()[1:4]
                found.append((at, (phase.decode(), int(done),
                                   None if total == b"?" else int(total))))
        return found

    def finish(self, timeout=60):
        out = self.proc.stdout.read()
        code = self.proc.wait(timeout=timeout)
        self.done.wait(10)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream and not stream.closed:
                stream.close()
        return code, out

    def err(self):
        return b"".join(line for _, line in self.lines)

    def other_lines(self):
        return b"".join(line for _, line in self.lines if not line.startswith(b"[progress] "))


class Progress(ServedCase):
    def setUp(self):
        super().setUp()
        self.app = UpdateFolder()
        self.addCleanup(self.app.cleanup)
        self.app.ini(ver_now="2.30", ver_file="editor", url_file=self.server.url,
                     url_down="http://127.0.0.1:9/home")
        self.app.write("editor.exe", b"editor 2.30")
        for i in range(50):
            self.app.write("old%02d.txt" % i, b"old %d" % i)

    def offer(self, files, manifest_extra=b""):
        with open(os.path.join(self.served, PACKAGE), "wb") as f:
            f.write(zip_bytes(files))
        with open(os.path.join(self.served, "editor.ver"), "wb") as f:
            f.write(b"ver=2.31\r\nfile=" + PACKAGE.encode() + b"\r\n" + manifest_extra)

    def installation(self):
        return {name: read(self.app.path(name)) if not name.endswith("/") else None
                for name in tree(self.app.dir)}

    def test_lines_for_each_phase_at_most_ten_a_second_and_a_last_one_complete(self):
        files = {"editor.exe": b"editor 2.31", "data.bin": os.urandom(12 * MIB)}
        files.update({"docs/page%03d.txt" % i: b"page %d" % i for i in range(300)})
        self.offer(files)
        self.server.set_faults({"/" + PACKAGE: THROTTLE})
        size = os.path.getsize(os.path.join(self.served, PACKAGE))
        run = Watched(self.app)
        code, out = run.finish()
        self.assertEqual(code, 0)
        self.assertEqual(out, update_question(PACKAGE.encode(), notes=b"") + COMPLETE)
        self.assertEqual(run.other_lines(), WAIT + CLOSED)
        lines = run.progress()
        phases = [p for _, (p, _, _) in lines]
        self.assertEqual(sorted(set(phases), key=phases.index), ["download", "unpack", "install"])
        self.assertEqual(phases, sorted(phases, key=["download", "unpack", "install"].index))
        for phase, total in (("download", size), ("unpack", 302), ("install", 302)):
            mine = [(at, done, t) for at, (p, done, t) in lines if p == phase]
            self.assertEqual({t for _, _, t in mine}, {total}, phase)
            dones = [done for _, done, _ in mine]
            self.assertEqual(dones, sorted(dones), phase)
            self.assertEqual(dones[-1], total, "the last %s line is complete" % phase)
            # At most 10 a second: in any second, at most 10 lines, the
            # phase's last line aside.
            moments = [at for at, _, _ in mine[:-1]]
            for i, at in enumerate(moments):
                self.assertLessEqual(sum(1 for m in moments[i:] if m < at + 1.0), 10, phase)
        self.assertGreater(len([p for p in phases if p == "download"]), 10)
        self.assertEqual(read(self.app.path("editor.exe")), b"editor 2.31")

    def test_a_download_of_unknown_size_says_so(self):
        self.offer({"editor.exe": b"editor 2.31", "data.bin": os.urandom(3 * MIB)})
        self.server.set_faults({"/" + PACKAGE: {"chunked": True, "drip": [256 * 1024, 40]}})
        run = Watched(self.app)
        code, _ = run.finish()
        self.assertEqual(code, 0)
        download = [(done, total) for _, (p, done, total) in run.progress() if p == "download"]
        self.assertTrue(all(total is None for _, total in download[:-1]), download)
        self.assertEqual(download[-1][0], download[-1][1])  # complete: the size is known now

    def interrupted(self, run, before, phase):
        """After SIGINT: exit code 0 (within a second while the package
        comes or is unpacked; an installation is undone first), the question
        and nothing else on the terminal, the folder exactly as before."""
        sent = time.monotonic()
        run.proc.send_signal(signal.SIGINT)
        code, out = run.finish()
        took = time.monotonic() - sent
        self.assertEqual(code, 0)
        if phase != "install":
            self.assertLess(took, SLACK, "the %s went on for %.2f s after SIGINT" % (phase, took))
        self.assertEqual(out, update_question(PACKAGE.encode(), notes=b""))
        self.assertEqual(run.other_lines(), WAIT + CLOSED)
        self.assertEqual(self.app.opened_targets(), [])
        self.assertEqual(self.installation(), before)
        return took

    def test_sigint_stops_the_update_in_each_phase(self):
        before = self.installation()
        many = {"editor.exe": b"editor 2.31"}
        many.update({"f%02d/file%05d.txt" % (i % 20, i): b"x" for i in range(15000)})
        many.update({"old%02d.txt" % i: b"new %d" % i for i in range(50)})
        big = {"editor.exe": b"editor 2.31", "data.bin": os.urandom(24 * MIB)}
        cases = [
            ("download", big, THROTTLE,
             lambda p, done, total: p == "download" and done * 10 > total * 3),
            ("download", big, {"stall": 60, "stall_after": 2 * MIB},
             lambda p, done, total: p == "download" and done >= 2 * MIB),
            ("unpack", many, {}, lambda p, done, total: p == "unpack" and done < total),
            ("install", many, {}, lambda p, done, total: p == "install" and done < total),
        ]
        for phase, files, faults, cue in cases:
            with self.subTest(phase, faults=faults):
                self.offer(files)
                self.server.set_faults({"/" + PACKAGE: faults} if faults else {})
                run = Watched(self.app)
                run.wait_for_line(cue)
                took = self.interrupted(run, before, phase)
                print("\n  SIGINT while %s: ended %.2f s later" % (phase, took), end="")

    def test_a_second_sigint_ends_the_program_at_once_and_one_outside_an_update_too(self):
        self.offer({"editor.exe": b"editor 2.31", "data.bin": os.urandom(24 * MIB)})
        self.server.set_faults({"/" + PACKAGE: {"drip": [64 * 1024, 50]}})
        run = Watched(self.app)
        run.wait_for_line(lambda p, done, total: p == "download" and done > 0)
        run.proc.send_signal(signal.SIGINT)
        run.proc.send_signal(signal.SIGINT)
        code, _ = run.finish()
        self.assertIn(code, (0, -signal.SIGINT))  # the second may come after the end
        # At the update question no update runs: Ctrl-C ends the program.
        run = Watched(self.app, answers=None)
        self.assertFalse(wait_for(lambda: run.proc.poll() is not None, 1.0))
        run.proc.send_signal(signal.SIGINT)
        code, _ = run.finish()
        self.assertEqual(code, -signal.SIGINT)


if __name__ == "__main__":
    unittest.main()
