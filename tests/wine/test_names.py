"""Folders and names the system code page cannot spell, under Wine with
the code page at 1252: the application in C:\\Программы\\Редактор, the
temporary folder C:\\users\\李\\Temp, a configuration in UTF-16 and manifests
in UTF-8, update files named beyond ASCII. Each run ends as it does in an
ASCII folder; the delta update and the elevated copy run their suites'
own cases in these folders."""

import os
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
import test_protected  # noqa: E402
import test_shell  # noqa: E402
from test_shell import NEXT_EXE, PACKAGE, double_registered, file_version, read  # noqa: E402

FOLDER = ("Программы", "Редактор")
TEMP = "C:\\users\\李\\Temp"
PRODUCT = "редактор"
NOTES = "Новый фильтр экспорта.\r\n更快的启动。"
BOM = b"\xef\xbb\xbf"


def utf16_ini(**keys):
    """pelmatic.ini as UTF-16 with its byte order mark: what holds names of
    any script, where an ANSI file holds those of the code page alone."""
    text = "[Check]\r\n" + "".join("%s=%s\r\n" % kv for kv in keys.items())
    return b"\xff\xfe" + text.encode("utf-16-le")


class OutsideTheCodePage:
    FOLDER = FOLDER
    TEMP = TEMP


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
class FoldersOutsideTheCodePage(OutsideTheCodePage, test_shell.ShellDoubleCase):
    def configure_utf16(self, **extra):
        keys = dict(ver_now="2.30", ver_file=PRODUCT, url_file=self.server.url, url_down=wt.HOME)
        keys.update(extra)
        self.ini = utf16_ini(**keys)
        with open(os.path.join(self.app, "pelmatic.ini"), "wb") as f:
            f.write(self.ini)

    def served_paths(self):
        return [r["path"] for r in self.server.requests()]

    def wait_for_file(self, path, seconds=10):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline and not (os.path.exists(path) and os.path.getsize(path)):
            time.sleep(0.05)
        return read(path)

    def test_a_check_from_the_web_and_from_the_folder(self):
        self.configure_utf16()
        self.serve(PRODUCT + ".ver", b"ver=2.30\r\n")
        proc = self.start()
        box = self.box(wt.texts.NOTICE_CAPTION)
        self.assertEqual(box["text"], wt.texts.up_to_date(PRODUCT.encode()) + wt.texts.NOTICE_TAIL)
        self.assertTrue(wt.press(box["hwnd"], wt.IDOK))
        proc.wait(timeout=60)
        # Asked for by its UTF-8 bytes, percent-encoded.
        self.assertEqual(self.served_paths(), ["/" + urllib.parse.quote(PRODUCT + ".ver")])

        # Local mode: the manifest in the application folder, in UTF-8 by
        # its byte order mark, with notes in two scripts.
        with open(os.path.join(self.app, PRODUCT + ".ver"), "wb") as f:
            f.write(BOM + ("ver=2.31\r\nmode=1\r\nmsg=" + NOTES + "<>\r\n").encode())
        proc = self.start("n")
        box = self.box(wt.texts.question_caption(PRODUCT.encode()))
        self.assertEqual(box["text"], wt.texts.homepage_question(b"2.31", b"2.30", NOTES.encode()))
        self.assertTrue(wt.press(box["hwnd"], wt.IDCANCEL))
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, 0)

    def test_an_installer_named_beyond_ascii_into_the_temporary_folder(self):
        name = "установка.exe"
        self.serve(name, wt.installer_program())
        self.serve("editor.ver", BOM + ("ver=2.31\r\nfile=" + name + "\r\n").encode())
        self.configure()
        marker = os.path.join(self.root, "installer-ran.txt")
        proc = self.start(env=wt.wine_env({"PELMATIC_TEST_MARKER": wt.unix_to_wine_path(marker)}))
        question = self.box(wt.texts.question_caption())
        self.assertIn(name.encode() + wt.texts.CRLF, question["text"])
        self.assertTrue(wt.press(question["hwnd"], wt.IDYES))
        self.assertEqual(self.wait_for_file(marker), (TEMP + "\\" + name).encode())
        proc.wait(timeout=60)
        self.assertEqual(self.served_paths(), ["/editor.ver", "/" + urllib.parse.quote(name)])

    def test_a_package_with_names_beyond_ascii_and_a_newer_checker(self):
        marker = os.path.join(self.root, "application-ran.txt")
        application = wt.installer_program()
        new_ini = utf16_ini(ver_now="2.31", ver_file="editor", url_file=self.server.url,
                            run_app="Редактор.exe")
        self.configure()
        self.offer_package({"Справка.txt": "Справка 2.31".encode(), "PELMATIC.EXE": read(NEXT_EXE),
                            "Редактор.exe": application, "pelmatic.ini": new_ini})
        proc = self.start(env=wt.wine_env({"PELMATIC_TEST_MARKER": wt.unix_to_wine_path(marker)}))
        self.assertTrue(wt.press(self.box(wt.texts.question_caption())["hwnd"], wt.IDYES))
        notice = self.box(wt.texts.NOTICE_CAPTION, timeout_ms=90000)
        self.assertEqual(notice["text"], wt.texts.complete() + wt.texts.NOTICE_TAIL)
        self.assertTrue(wt.press(notice["hwnd"], wt.IDOK))
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, 0)
        self.assertEqual(read(os.path.join(self.app, "Справка.txt")), "Справка 2.31".encode())
        # The package's configuration names the application to start.
        self.assertEqual(self.wait_for_file(marker), (self.app_dir + "Редактор.exe").encode())
        # The script runs in a folder whose name the console cannot spell.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and "pelmatic.exe" not in os.listdir(self.app):
            time.sleep(0.2)
        self.assertEqual(file_version(os.path.join(self.app, "pelmatic.exe")), "2.1.0.0")
        for gone in ("PELMATIC.EXE", "NEW_PELMATIC.EXE", "@Runme.bat", PACKAGE):
            self.assertNotIn(gone, os.listdir(self.app))


class DeltaOutsideTheCodePage(OutsideTheCodePage, test_shell.DeltaUnderWine):
    pass


class ElevatedCopyOutsideTheCodePage(OutsideTheCodePage, test_protected.ProtectedFolderUnderWine):
    pass


if __name__ == "__main__":
    unittest.main()
