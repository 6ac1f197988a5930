"""The unattended run (u) under Wine: one line on the standard output the
caller gave it, its result as the exit code, and no window ever created
(Wine's own trace of window creation says which the process made); the
administrator's policy set in the prefix's registry for a case and taken
away after it."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
from test_shell import PACKAGE, ShellDoubleCase, double_registered, read  # noqa: E402

POLICY = "HKLM\\Software\\Policies\\PelMatic\\editor"
# The one window a process with COM has: the OLE thread's message-only one.
CREATED = re.compile(rb"trace:win:WIN_CreateWindowEx \S+ (L\"[^\"]*\"|\S+) .* parent=(\S+)")


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
class UnattendedUnderWine(ShellDoubleCase):
    def policy(self, name, kind, data):
        view = ["/reg:64"] if wt.wine_arch() == "win64" else []
        code, _, err = wt.run_wine("reg", ["add", POLICY, "/v", name, "/t", kind, "/d", data, "/f"] +
                                   view)
        self.assertEqual(code, 0, err)
        self.addCleanup(wt.run_wine, "reg", ["delete", POLICY, "/f"] + view)

    def run_u(self, *, env=None):
        """(exit code, the one line) of a run with u, which made no window."""
        code, out, err = wt.run_wine(self.exe, ["u"], cwd=self.app, timeout=120,
                                     env=wt.wine_env(dict(env or {}, WINEDEBUG="-all,+win")))
        windows = [(m.group(1), m.group(2)) for m in CREATED.finditer(err)]
        self.assertTrue(all(cls == b'L"OleMainThreadWndClass"' and parent.upper().endswith(b"FD")
                            for cls, parent in windows), windows)
        self.assertEqual(out.count(b"\n"), 1, out)
        return code, out.rstrip(b"\r\n")

    def test_each_result_without_a_window(self):
        self.configure(close_app="nothing.exe")
        self.serve("editor.ver", b"ver=2.30\r\n")
        self.assertEqual(self.run_u(), (0, b"editor 2.30: up to date (2.30 announced)"))
        self.policy("Updates", "REG_SZ", "0")  # not a DWORD: ignored
        self.assertEqual(self.run_u(), (0, b"editor 2.30: up to date (2.30 announced); the "
                                           b"policy's Updates is not a DWORD of 0, 1 or 2, ignored"))
        self.policy("Updates", "REG_DWORD", "0")
        self.assertEqual(self.run_u(), (0, b"editor 2.30: not checked: updates are turned off by "
                                           b"the administrator's policy"))
        wt.run_wine("reg", ["delete", POLICY, "/f"] + (["/reg:64"] if wt.wine_arch() == "win64"
                                                       else []))
        self.offer_package({"readme.txt": b"new readme"})
        self.assertEqual(self.run_u(), (3, b"editor 2.30 -> 2.31: installed, 1 files"))
        self.assertEqual(read(os.path.join(self.app, "readme.txt")), b"new readme")
        self.assertFalse(os.path.exists(os.path.join(self.app, PACKAGE)))
        self.assertEqual(wt.recorder_lines(), [])  # nothing opened, nothing started

    def test_an_installer_with_its_silent_arguments(self):
        self.serve("setup231.exe", wt.installer_program())
        self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\nsilent_args=/S\r\n")
        self.configure()
        marker = os.path.join(self.root, "installer-ran.txt")
        code, line = self.run_u(env={"PELMATIC_TEST_MARKER": wt.unix_to_wine_path(marker)})
        self.assertEqual((code, line), (3, b"editor 2.30 -> 2.31: installed by setup231.exe /S "
                                           b"(exit code 0)"))
        self.assertTrue(read(marker).lower().endswith(b"\\setup231.exe"))


if __name__ == "__main__":
    unittest.main()
