"""The vendor's kit as a vendor gets it: the ZIP that `make dist` makes,
unpacked into an empty folder, its PELMATIC.EXE and pelmatic-tool.exe run
from there under Wine against a local server with nothing from outside the
ZIP but the served release."""

import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402

# The kit is the 32-bit build's, with the 64-bit programs in x64/.
WINDOWS_BUILD = os.environ.get("PELMATIC_WINDOWS_DIR") or os.path.join(wt.TOP, "build", "windows")
TOP = "PelMatic-2.000-win32/"


@wt.skip_unless_harness
class VendorKitUnderWine(wt.ServedAppFolderCase):
    def test_the_zip_runs_from_an_empty_folder(self):
        dist = tempfile.mkdtemp(dir=self.root)
        subprocess.run(["cpack", "--config", os.path.join(WINDOWS_BUILD, "CPackConfig.cmake"),
                        "-B", dist], check=True, capture_output=True, timeout=300)
        kit = os.path.join(dist, "PelMatic-2.000-win32.zip")
        with zipfile.ZipFile(kit) as z:
            names = set(z.namelist())
            for name in ["PELMATIC.EXE", "pelmatic-tool.exe", "x64/PELMATIC.EXE",
                         "x64/pelmatic-tool.exe", "pelmatic.ini", "editor.ver", "README.md",
                         "LICENSE", "docs/shipping.md", "docs/RELIABILITY.md",
                         "docs/images/update-question.png"]:
                self.assertIn(TOP + name, names)
            machines = {name: z.read(TOP + name)[:4096] for name in
                        ["PELMATIC.EXE", "pelmatic-tool.exe", "x64/PELMATIC.EXE",
                         "x64/pelmatic-tool.exe"]}
            folder = tempfile.mkdtemp(dir=self.root)
            z.extractall(folder)
        for name, head in machines.items():
            at = int.from_bytes(head[0x3C:0x40], "little")
            self.assertEqual(head[at + 4:at + 6], b"\x64\x86" if name.startswith("x64/") else
                             b"\x4c\x01", name)
        app = os.path.join(folder, TOP)
        # A 64-bit prefix runs the 64-bit programs, which a vendor puts in
        # the place of the 32-bit ones.
        if wt.wine_arch() == "win64":
            for name in ("PELMATIC.EXE", "pelmatic-tool.exe"):
                os.replace(os.path.join(app, "x64", name), os.path.join(app, name))

        # The sample configuration, pointed at the local server; the sample
        # manifest served with a package of that name.
        with open(os.path.join(app, "pelmatic.ini"), "rb") as f:
            ini = f.read()
        self.assertIn(b"\r\nver_file=editor\r\n", ini)
        with open(os.path.join(app, "pelmatic.ini"), "wb") as f:
            f.write(ini.replace(b"http://downloads.example.com/editor/",
                                self.server.url.encode()))
        with open(os.path.join(app, "editor.ver"), "rb") as f:
            self.serve("editor.ver", f.read())
        self.serve("editor231.zip", b"PK\x05\x06" + bytes(18))
        code, out, err = wt.run_wine(os.path.join(app, "pelmatic-tool.exe"),
                                     ["verify", "--ini", "pelmatic.ini"], cwd=app, timeout=120)
        self.assertIn(b"version: 2.31 is newer than 2.30", out)
        # Wine's shell opens no ZIP: the harness's stand-in shows a folder
        # beside the archive instead, which verify unpacks and checks.
        self.assertEqual(code, 1, out + err)
        self.assertIn(b"fail with -12", out)
        release = os.path.join(self.root, "release")
        os.makedirs(os.path.join(release, "editor231.zip.contents"))
        for name in ("editor.ver", "editor231.zip"):
            with open(os.path.join(self.served, name), "rb") as f, \
                    open(os.path.join(release, name), "wb") as g:
                g.write(f.read())
        with open(os.path.join(release, "editor231.zip.contents", "editor.exe"), "wb") as f:
            f.write(b"MZ editor 2.31")
        code, out, err = wt.run_wine(os.path.join(app, "pelmatic-tool.exe"),
                                     ["verify", "--ini", "pelmatic.ini",
                                      wt.unix_to_wine_path(release)], cwd=app, timeout=120)
        self.assertEqual(code, 0, out + err)
        self.assertIn(b"package: 1 files", out)

        proc = wt.start_wine(os.path.join(app, "PELMATIC.EXE"), cwd=app)
        self.procs.append(proc)
        box = self.box(wt.texts.question_caption())
        self.assertIn(b"New export filter.\r\nFaster start-up.", box["text"])
        self.assertTrue(wt.press(box["hwnd"], wt.IDCANCEL))
        proc.wait(timeout=60)
        self.assertEqual([r["path"] for r in self.server.requests()][-1], "/editor.ver")


if __name__ == "__main__":
    unittest.main()
