"""The shell extraction of PELMATIC.EXE and everything after it, under Wine.

The prefix's "Shell.Application" is the double of tests/tools/shelldouble.c
(registered by harness.sh): it shows an archive X as the folder
"X.contents" prepared beside it, logs every automation call it receives and
can be told to fail, to lack a member, to copy late or to give no folder.
"""

import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
from signing import Signer, file_keys  # noqa: E402

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
EXE = wt.EXE
BUILD = os.path.dirname(os.path.abspath(EXE))

def _beside_exe(name):
    return os.path.join(BUILD, name)


# The same program stamped 2.1.0.0, and the library the program is made of.
NEXT_EXE = _beside_exe("PELMATIC_NEXT.EXE")
CORE_LIB = _beside_exe("libpelmatic_core.a")

CRLF = wt.texts.CRLF
NOTICE_CAPTION = wt.texts.NOTICE_CAPTION
QUESTION_CAPTION = wt.texts.question_caption()
IDOK, IDYES = wt.IDOK, wt.IDYES
VT_I4, VT_BSTR, VT_DISPATCH, VT_VARIANT, VT_BYREF = 3, 8, 9, 12, 0x4000
DISPATCH_METHOD, DISPATCH_PROPERTYGET = 1, 2
DISP_E_UNKNOWNNAME = "0x80020006"
PACKAGE = "editor231.zip"

# Calls UnzipWithShell from the product's own library, for the filter text
# that the package installation never passes.
UNZIP_DRIVER_SRC = r"""
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include "install/ShellZipU.h"
#include "core/errors.h"
int main(int argc, char** argv) {
  if (argc != 4) return 64;
  CoInitialize(nullptr);
  int rc;
  try {
    rc = UnzipWithShell(argv[1], argv[2], argv[3]) ? 0 : 3;
  } catch (const EPelmaticError& e) {
    std::printf("%s\n%s\n", e.KindName(), e.what());
    rc = 4;
  }
  CoUninitialize();
  return rc;
}
"""


def double_registered():
    return wt.available() and "PELMATIC_SHELLDOUBLE_LOG_UNIX" in wt.harness_vars()


class ShellDouble:
    """Steers the double through its control file and reads its log."""

    def __init__(self):
        env = wt.harness_vars()
        self.control_path = env["PELMATIC_SHELLDOUBLE_CONTROL_UNIX"]
        self.log_path = env["PELMATIC_SHELLDOUBLE_LOG_UNIX"]

    def reset(self):
        for path in (self.control_path, self.log_path):
            try:
                os.remove(path)
            except FileNotFoundError:
                pass

    def configure(self, **keys):
        with open(self.control_path, "wb") as f:
            for k, v in keys.items():
                f.write(b"%s=%s\r\n" % (k.encode(), str(v).encode()))

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        return sorted((json.loads(line) for line in lines if line.strip()),
                      key=lambda e: e["seq"])

    def calls(self, kind="Invoke"):
        return [e for e in self.log() if e["call"] == kind]


def file_version(path):
    """The file version of a PE file's fixed version record, as a.b.c.d."""
    with open(path, "rb") as f:
        data = f.read()
    # The record follows its key; the signature alone may stand in code too.
    key = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    at = data.find(struct.pack("<I", 0xFEEF04BD), key) if key >= 0 else -1
    if at < 0:
        return "0"
    ms, ls = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class ShellDoubleCase(wt.ServedAppFolderCase):
    """A served application folder whose shell is the double, reset for
    each test (self.double)."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.double = ShellDouble()

    def setUp(self):
        super().setUp()
        self.double.reset()
        self.addCleanup(self.double.reset)

    def offer_package(self, files, signer=None, binding=None, compression=zipfile.ZIP_DEFLATED):
        """Serve the package and prepare what the double shows for it; with
        signer the manifest is signed and binds the package (or binding)."""
        self.package = files
        with zipfile.ZipFile(os.path.join(self.served, PACKAGE), "w", compression) as z:
            for name, data in files.items():
                z.writestr(name, data)
        manifest = b"ver=2.31\r\nfile=" + PACKAGE.encode() + b"\r\n"
        if signer:
            if binding is None:
                binding = file_keys(read(os.path.join(self.served, PACKAGE)))
            manifest = signer.sign(manifest + b"product=editor\r\n" + binding)
        with open(os.path.join(self.served, "editor.ver"), "wb") as f:
            f.write(manifest)
        # The package is downloaded to AppDir + its name.
        wt.show_contents(self.app, PACKAGE, files)


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
class ShellPackageUnderWine(ShellDoubleCase):

    # -- the situation ---------------------------------------------------


    def app_file(self, *parts):
        return os.path.join(self.app, *parts)

    def unpack_folders(self):
        return [n for n in os.listdir(self.app) if re.fullmatch(r"Temp\d{4}", n)]

    # -- driving the program ---------------------------------------------

    def accept_update(self):
        proc = self.start()
        self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], IDYES))
        return proc

    def finish_with_notice(self, proc):
        notice = self.box(NOTICE_CAPTION, timeout_ms=90000)
        self.assertEqual(notice["text"], wt.texts.complete() + wt.texts.NOTICE_TAIL)
        return notice

    def close(self, box, proc, code):
        self.assertTrue(wt.press(box["hwnd"], IDOK))
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, code)

    def expect_failure_status(self, code, proc):
        status = wt.wait_box(90000, title=wt.texts.failed(code).decode(), cls="")
        self.assertIsNotNone(status, "no status window for %d" % code)
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, 0)
        # The fallback hands the package's address to the browser; a package
        # that failed its check, the homepage instead.
        target = wt.HOME if code == -14 else self.server.url + PACKAGE
        self.assertTrue(wt.wait_recorded(lambda lines: any(target in l for l in lines)))

    def assertConfigurationUntouched(self):
        self.assertEqual(read(self.app_file("pelmatic.ini")), self.ini)
        self.assertFalse(os.path.exists(self.app_file("pelmatic.OLD")))

    # -- the calls -------------------------------------------------------

    def test_extraction_calls_their_members_by_name_with_the_shells_argument_types(self):
        self.configure()
        self.offer_package({"readme.txt": b"new\r\n", "data/more.txt": b"more",
                            "data/deeper/deep.txt": b"deep"})
        proc = self.accept_update()
        self.close(self.finish_with_notice(proc), proc, 0)
        self.assertEqual(read(self.app_file("data", "deeper", "deep.txt")), b"deep")

        log = self.double.log()
        invokes = [e for e in log if e["call"] == "Invoke"]
        self.assertGreaterEqual(len(invokes), 4, invokes)
        archive, dest, items, copy = invokes[:4]
        unpack = self.app_dir + self.unpack_folders_seen(dest)

        self.assertEqual((archive["member"], archive["kind"], archive["args"]),
                         ("NameSpace", DISPATCH_METHOD,
                          [{"vt": VT_BYREF | VT_VARIANT,
                            "ref": {"vt": VT_BSTR, "value": self.app_dir + PACKAGE}}]))
        self.assertTrue(archive["archive"])
        self.assertEqual((dest["member"], dest["kind"], dest["on"]),
                         ("NameSpace", DISPATCH_METHOD, archive["on"]))
        self.assertEqual(dest["args"], [{"vt": VT_BYREF | VT_VARIANT,
                                         "ref": {"vt": VT_BSTR, "value": unpack}}])
        self.assertTrue(archive["result_wanted"] and dest["result_wanted"])

        self.assertEqual((items["on"], items["member"], items["kind"], items["args"]),
                         (archive["folder"], "Items", DISPATCH_METHOD | DISPATCH_PROPERTYGET, []))
        self.assertEqual(items["count"], 2)
        # An empty filter text: the whole collection, never filtered.
        self.assertNotIn("Filter", [e["member"] for e in invokes])

        self.assertEqual((copy["on"], copy["member"], copy["kind"]),
                         (dest["folder"], "CopyHere", DISPATCH_METHOD))
        self.assertEqual(copy["args"], [{"vt": VT_BYREF | VT_VARIANT,
                                         "ref": {"vt": VT_DISPATCH, "obj": items["items"]}},
                                        {"vt": VT_I4, "value": 20}])
        self.assertFalse(copy["result_wanted"])

        # Afterwards only the wait for the copy: the Count of the archive's
        # collection and of the destination's items, until they agree.
        polled = [e["items"] for e in invokes[4:] if e["member"] == "Items"]
        for e in invokes[4:]:
            if e["member"] == "Items":
                self.assertEqual(e["on"], dest["folder"])
            else:
                self.assertEqual(e["member"], "Count")
                self.assertIn(e["on"], polled + [items["items"]])
        self.assertIn(items["items"], [e["on"] for e in invokes[4:] if e["member"] == "Count"])
        self.assertEqual((invokes[-1]["member"], invokes[-1]["on"], invokes[-1]["count"]),
                         ("Count", polled[-1], 2))
        self.assertTrue(all(e["hr"] == "0x00000000" for e in invokes))
        # Each call was looked up by its name first, and every object the
        # shell handed out was released.
        lookups = [e for e in log if e["call"] == "GetIDsOfNames"]
        self.assertEqual([(e["on"], e["names"]) for e in lookups],
                         [(e["on"], [e["member"]]) for e in invokes])
        self.assertEqual(sorted(e["obj"] for e in log if e["call"] == "new"),
                         sorted(e["obj"] for e in log if e["call"] == "free"))

    def unpack_folders_seen(self, dest_call):
        path = dest_call["args"][0]["ref"]["value"]
        self.assertTrue(path.startswith(self.app_dir), path)
        name = path[len(self.app_dir):]
        self.assertRegex(name, r"^Temp\d{4}$")
        return name

    # -- errors the automation raises -------------------------------------

    def test_automation_errors_end_the_run_with_their_texts(self):
        cases = [
            (dict(missing="CopyHere"), "EOleError",
             "Method 'CopyHere' not supported by automation object.", "CopyHere"),
            (dict(fail="CopyHere", fail_description="Disk is full.  ", fail_scode="0x80070070"),
             "EOleException", "Disk is full.", "CopyHere"),
            (dict(fail="Items", fail_scode="0x8004DEAD"), "EOleException",
             "OLE error 8004DEAD.", "Items"),
            (dict(fail="NameSpace", fail_status="0x8004BEEF"), "EOleSysError",
             "OLE error 8004BEEF.", "NameSpace"),
        ]
        for control, kind, message, member in cases:
            with self.subTest(control=control):
                self.double.reset()
                self.configure()
                self.offer_package({"readme.txt": b"new"})
                self.double.configure(**control)
                proc = self.accept_update()
                box = self.box(b"Application Error", timeout_ms=60000)
                self.assertRegex(box["text"],
                                 rb"^Exception %s in module PELMATIC\.EXE at [0-9A-F]{%d}\.\n%s$"
                                 % (kind.encode(), wt.ADDRESS_DIGITS,
                                    re.escape(message.encode())))
                self.assertEqual(box["icon"], "error")
                self.close(box, proc, 1)
                # No call after the one that failed, nothing merged.
                log = self.double.log()
                last = [e for e in log if e["call"] in ("GetIDsOfNames", "Invoke")][-1]
                if "missing" in control:
                    self.assertEqual((last["call"], last["names"], last["hr"]),
                                     ("GetIDsOfNames", [member], DISP_E_UNKNOWNNAME))
                else:
                    self.assertEqual((last["call"], last["member"]), ("Invoke", member))
                self.assertFalse(os.path.exists(self.app_file("readme.txt")))
                self.assertConfigurationUntouched()

    def test_no_folder_object_fails_with_minus_12_and_touches_nothing(self):
        for control, namespace_calls in ((dict(no_folder="archive"), 1),
                                         (dict(no_folder="folder", no_folder_as="empty"), 2)):
            with self.subTest(control=control):
                self.double.reset()
                self.configure()
                self.offer_package({"readme.txt": b"new"})
                self.double.configure(**control)
                self.expect_failure_status(-12, self.accept_update())
                invokes = self.double.calls()
                self.assertEqual([e["member"] for e in invokes], ["NameSpace"] * namespace_calls)
                self.assertEqual(invokes[-1]["folder"], None)
                self.assertConfigurationUntouched()
                self.assertFalse(os.path.exists(self.app_file("readme.txt")))
                self.assertTrue(os.path.exists(self.app_file(PACKAGE)))
                # Nor the unpack folder, nor the journal, stays behind.
                self.assertEqual(self.unpack_folders(), [])
                self.assertFalse(os.path.exists(self.app_file("pelmatic.journal")))

    def test_extraction_that_finishes_after_copyhere_returned_is_waited_for(self):
        # The shell copies out of a ZIP folder on a thread of its own; the
        # package must be complete before the merge takes it.
        self.configure()
        files = {"a.txt": b"a", "b.txt": b"b", "sub/c.txt": b"c", "z.dat": b"z" * 100000}
        self.offer_package(files)
        self.double.configure(copy_delay_ms=1500)
        proc = self.accept_update()
        self.close(self.finish_with_notice(proc), proc, 0)
        for name, data in files.items():
            self.assertEqual(read(self.app_file(*name.split("/"))), data, name)
        self.assertEqual(self.unpack_folders(), [])
        log = self.double.log()
        copy = next(e for e in log if e.get("member") == "CopyHere")
        [copied] = [e for e in log if e["call"] == "copied"]
        self.assertEqual(copy["delay_ms"], 1500)
        self.assertGreaterEqual(copied["ms"] - copy["ms"], 1400)  # really returned first
        self.assertEqual((copied["files"], copied["failed"]), (4, []))
        last_count = [e for e in log if e.get("member") == "Count"][-1]
        self.assertEqual(last_count["count"], 4)
        self.assertGreaterEqual(last_count["seq"], copied["seq"])

    # -- the whole update ------------------------------------------------

    def test_whole_update_merges_notifies_runs_the_application_and_replaces_itself(self):
        self.configure()
        with open(self.app_file("readme.txt"), "wb") as f:
            f.write(b"old")
        with open(self.app_file("other.txt"), "wb") as f:
            f.write(b"stays")
        old_exe = read(self.exe)
        next_exe = read(NEXT_EXE)
        self.assertEqual(file_version(NEXT_EXE), "2.1.0.0")
        new_ini = (b"[Check]\r\nver_now=2.31\r\nver_file=editor\r\nurl_file=" +
                   self.server.url.encode() + b"\r\nrun_app=readme.txt\r\n")
        self.offer_package({"PELMATIC.EXE": next_exe, "pelmatic.ini": new_ini,
                            "readme.txt": b"new readme", "docs/guide.txt": b"guide"})

        proc = self.accept_update()
        notice = self.finish_with_notice(proc)
        # While the notice is up: merged, the new copy set aside, no script yet.
        self.assertEqual(read(self.app_file("readme.txt")), b"new readme")
        self.assertEqual(read(self.app_file("docs", "guide.txt")), b"guide")
        self.assertEqual(read(self.app_file("other.txt")), b"stays")
        self.assertEqual(read(self.app_file("pelmatic.ini")), new_ini)
        self.assertEqual(read(self.app_file("NEW_PELMATIC.EXE")), next_exe)
        self.assertEqual(read(self.exe), old_exe)
        for gone in ("pelmatic.OLD", PACKAGE, "@Runme.bat"):
            self.assertFalse(os.path.exists(self.app_file(gone)), gone)
        self.assertEqual(self.unpack_folders(), [])
        self.close(notice, proc, 0)

        # The package's configuration names the application to start.
        lines = wt.wait_recorded(lambda ls: any(l.lower().endswith("readme.txt") for l in ls))
        self.assertEqual([t for t in wt.recorder_targets() if t and t[-1].lower().endswith(
            "readme.txt")], [[self.app_dir + "readme.txt"]], lines)

        # cmd.exe runs the script once the program has gone.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            names = set(os.listdir(self.app))
            if "pelmatic.exe" in names and not names & {"PELMATIC.EXE", "NEW_PELMATIC.EXE",
                                                         "@Runme.bat"}:
                break
            time.sleep(0.2)
        names = set(os.listdir(self.app))
        self.assertIn("pelmatic.exe", names)
        for gone in ("PELMATIC.EXE", "NEW_PELMATIC.EXE", "@Runme.bat"):
            self.assertNotIn(gone, names)
        self.assertEqual(read(self.app_file("pelmatic.exe")), next_exe)
        self.assertEqual(file_version(self.app_file("pelmatic.exe")), "2.1.0.0")

    def test_a_checker_built_for_the_other_machine_is_never_swapped_in(self):
        # A 64-bit checker on 32-bit Windows, a 32-bit one where WoW64 is
        # missing: the running one stays, the rest is installed.
        self.configure()
        old_exe = read(self.exe)
        self.offer_package({"PELMATIC.EXE": read(os.path.join(wt.OTHER_BUILD, "PELMATIC_NEXT.EXE")),
                            "readme.txt": b"new readme"})
        proc = self.accept_update()
        self.close(self.finish_with_notice(proc), proc, 0)
        self.assertEqual(read(self.app_file("readme.txt")), b"new readme")
        self.assertEqual(read(self.exe), old_exe)
        for gone in ("NEW_PELMATIC.EXE", "@Runme.bat", PACKAGE):
            self.assertFalse(os.path.exists(self.app_file(gone)), gone)

    def test_signed_packages_are_installed_and_mismatches_refused(self):
        vendor = Signer(self.root)
        self.configure(pub_key=vendor.pub_key)
        with open(self.app_file("readme.txt"), "wb") as f:
            f.write(b"old")
        self.offer_package({"readme.txt": b"new"}, signer=vendor)
        proc = self.accept_update()
        self.close(self.finish_with_notice(proc), proc, 0)
        self.assertEqual(read(self.app_file("readme.txt")), b"new")

        # A package other than the one the signed manifest names: -14, the
        # homepage, nothing moved, the package gone.
        self.configure(pub_key=vendor.pub_key)
        self.offer_package({"readme.txt": b"newer"}, signer=vendor,
                           binding=file_keys(b"another package"))
        self.expect_failure_status(-14, self.accept_update())
        self.assertConfigurationUntouched()
        self.assertEqual(read(self.app_file("readme.txt")), b"new")
        self.assertFalse(os.path.exists(self.app_file(PACKAGE)))
        self.assertEqual(self.unpack_folders(), [])

        # No digest in a signed manifest, and a package whose configuration
        # drops the signing key: -14 as well, nothing moved.
        other = Signer(self.root, "other")
        for name, files, binding in [
                ("no digest", {"readme.txt": b"newer"}, b""),
                ("key dropped", {"readme.txt": b"newer",
                                 "pelmatic.ini": ("[Check]\r\nver_now=2.31\r\npub_key=%s\r\n"
                                                  % other.pub_key).encode()}, None)]:
            with self.subTest(name):
                self.configure(pub_key=vendor.pub_key)
                self.server.clear_log()
                self.offer_package(files, signer=vendor, binding=binding)
                self.expect_failure_status(-14, self.accept_update())
                self.assertConfigurationUntouched()
                self.assertEqual(read(self.app_file("readme.txt")), b"new")
                self.assertEqual(self.unpack_folders(), [])
                fetched = [r["path"] for r in self.server.requests() if r["path"] != "/editor.ver"]
                self.assertEqual(fetched, [] if name == "no digest" else ["/" + PACKAGE])
                shutil.rmtree(self.app_file(PACKAGE + ".contents"), ignore_errors=True)
                if os.path.exists(self.app_file(PACKAGE)):
                    os.remove(self.app_file(PACKAGE))

    def test_unpacked_files_the_application_folder_cannot_hold_are_refused(self):
        # A device name, and a path longer than MAX_PATH once in AppDir:
        # refused before anything is moved, the unpack folder removed.
        deep = "/".join(["f%019d" % i for i in range(12)]) + "/deep.txt"
        for name, bad in (("reserved name", "CON"), ("trailing dot", "notes.txt."),
                          ("path too long", deep)):
            with self.subTest(name):
                self.configure()
                self.offer_package({"readme.txt": b"new", bad: b"x"})
                self.assertGreater(len(self.app_dir) + len(bad), 259) if bad == deep else None
                self.expect_failure_status(-12, self.accept_update())
                self.assertConfigurationUntouched()
                self.assertEqual(sorted(os.listdir(self.app)),
                                 ["PELMATIC.EXE", PACKAGE, PACKAGE + ".contents", "pelmatic.ini"])
                shutil.rmtree(self.app_file(PACKAGE + ".contents"))
                os.remove(self.app_file(PACKAGE))

    def test_merge_failure_reports_minus_13_and_restores_the_configuration(self):
        self.configure()
        # A folder in the way of a packaged file, below the top level so
        # that the package's configuration has been moved in before.
        os.makedirs(self.app_file("data", "more.txt"))
        before = snapshot(self.app)
        self.offer_package({"pelmatic.ini": b"[Check]\r\nver_now=9.99\r\n",
                            "readme.txt": b"new", "data/more.txt": b"more"})
        self.expect_failure_status(-13, self.accept_update())
        self.assertConfigurationUntouched()
        # What moved went back: the folder is as it was, only the package stays.
        self.assertEqual(self.installation(), before)
        self.assertTrue(os.path.exists(self.app_file(PACKAGE)))

    def installation(self):
        """The application folder without the package and what the double shows for it."""
        return snapshot(self.app, (PACKAGE, PACKAGE + ".contents"))

    def hold(self, name, ms):
        """A Windows program that holds a file of the application folder
        open without sharing for ms milliseconds; returns once it holds it."""
        holder = wt.compile_c(HOLDER_SRC, self.root, "holder")
        proc = wt.start_wine(holder, [self.app_dir + name, str(ms)])
        self.procs.append(proc)
        self.assertEqual(proc.stdout.readline().strip(), b"held")
        return proc

    def test_files_held_by_another_program_are_waited_for_within_limits(self):
        self.configure()
        for name in ("readme.txt", "tool.dll"):
            with open(self.app_file(name), "wb") as f:
                f.write(b"old")
        os.chmod(self.app_file("tool.dll"), 0o444)  # read-only: Windows cannot replace it as it is
        self.offer_package({"readme.txt": b"new", "tool.dll": b"new tool"})

        # Held for a moment, as by a virus scanner: the update waits and
        # succeeds; the read-only file is replaced.
        proc = self.start()
        question = self.box(QUESTION_CAPTION)
        holder = self.hold("readme.txt", 2500)
        self.assertTrue(wt.press(question["hwnd"], IDYES))
        self.close(self.finish_with_notice(proc), proc, 0)
        holder.wait(timeout=30)
        self.assertEqual(read(self.app_file("readme.txt")), b"new")
        self.assertEqual(read(self.app_file("tool.dll")), b"new tool")
        self.assertEqual(sorted(os.listdir(self.app)),
                         ["PELMATIC.EXE", PACKAGE + ".contents", "pelmatic.ini", "readme.txt",
                          "tool.dll"])

        # Held for good: -13 once the wait for that file is over, nothing moved.
        self.configure()
        with open(self.app_file("readme.txt"), "wb") as f:
            f.write(b"old")
        self.offer_package({"tool.dll": b"newer tool", "readme.txt": b"newer"})
        before = self.installation()
        proc = self.start()
        question = self.box(QUESTION_CAPTION)
        holder = self.hold("readme.txt", 120000)
        started = time.monotonic()
        self.assertTrue(wt.press(question["hwnd"], IDYES))
        self.expect_failure_status(-13, proc)
        took = time.monotonic() - started
        self.assertGreater(took, 10, "the file was waited for")
        self.assertLess(took, 60, "the wait has its limits")
        self.assertEqual(self.installation(), before)
        self.assertConfigurationUntouched()

    def test_a_kill_during_the_merge_leaves_the_old_or_the_new_after_one_more_run(self):
        self.configure()
        old = {"f%d/old%04d.txt" % (i % 10, i): b"old %d" % i for i in range(400)}
        for name, data in old.items():
            os.makedirs(os.path.dirname(self.app_file(name)), exist_ok=True)
            with open(self.app_file(name), "wb") as f:
                f.write(data)
        new = {name: b"new" + data for name, data in old.items()}
        new.update({"f%d/new%04d.txt" % (i % 10, i): b"added %d" % i for i in range(400)})
        self.offer_package(new)
        before = self.installation()
        proc = self.start()
        self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], IDYES))
        backups = self.app_file("pelmatic.backup")
        self.assertTrue(wt_wait(lambda: os.path.isdir(backups) and len(os.listdir(backups)) >= 3,
                                90), "the merge never began")
        # Ended as Windows ends a process (TerminateProcess): a SIGKILL of
        # the Wine process now and then left the next Wine start crashing.
        rc, out, err = wt.run_wine("taskkill", ["/F", "/IM", "PELMATIC.EXE"], timeout=60)
        self.assertEqual(rc, 0, out + err)
        proc.wait(timeout=30)
        self.assertTrue(os.path.exists(self.app_file("pelmatic.journal")), "killed for real")

        # One more run, with a manifest that offers nothing.
        with open(os.path.join(self.served, "editor.ver"), "wb") as f:
            f.write(b"ver=2.30\r\nfile=" + PACKAGE.encode() + b"\r\n")
        rc, _, _ = wt.run_wine(self.exe, ["@"], cwd=self.app, timeout=120)
        self.assertEqual(rc, 0)
        after = self.installation()
        expected_new = dict(before)
        expected_new.update({name: data for name, data in new.items()})
        self.assertIn(after, (before, expected_new),
                      sorted(set(after) ^ set(expected_new))[:5])


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
class DeltaUnderWine(ShellDoubleCase):
    """A delta from 2.30 beside the full package, made by the POSIX build of
    pelmatic-tool (the format is the same), shown to the program by the
    shell double as the full package is."""

    PROGRAM = os.urandom(100000)
    OLD = {"editor.exe": PROGRAM, "readme.txt": b"stays"}
    NEW = {"editor.exe": PROGRAM[:50000] + b"fixed" + PROGRAM[50000:], "readme.txt": b"stays",
           "docs/new.txt": b"new"}

    def offer_delta(self):
        self.configure()
        for name, data in self.OLD.items():
            with open(os.path.join(self.app, name), "wb") as f:
                f.write(data)
        self.offer_package(self.NEW)
        work = tempfile.mkdtemp(dir=self.root)
        old = os.path.join(work, "old.zip")
        with zipfile.ZipFile(old, "w") as z:
            for name, data in self.OLD.items():
                z.writestr(name, data)
        delta = os.path.join(self.served, "delta.zip")
        tool = os.path.join(TOP, "build", "posix", "pelmatic-tool")
        subprocess.run([tool, "delta", "--from", old, "--to", os.path.join(self.served, PACKAGE),
                        "--out", delta], check=True, stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(delta) as z:
            self.assertIn("@delta/1.patch", z.namelist())  # the program is patched
            z.extractall(os.path.join(self.app, "delta.zip.contents"))
        data = read(delta)
        with open(os.path.join(self.served, "editor.ver"), "ab") as f:
            f.write(b"delta_2.30=delta.zip %s %d\r\n" % (
                hashlib.sha256(data).hexdigest().encode(), len(data)))

    def update(self, watch=None):
        proc = self.start()
        question = self.box(QUESTION_CAPTION)
        if watch is not None:
            # What the status window's line says, from another process.
            observer = wt.start_wine(wt.harness_vars()["PELMATIC_OBSERVER"],
                                     ["--title", wt.texts.WAIT.decode(), "--timeout", "60000"],
                                     stdout=watch, stderr=subprocess.DEVNULL)
            self.procs.append(observer)
        self.assertTrue(wt.press(question["hwnd"], IDYES))
        self.close(self.box(NOTICE_CAPTION, timeout_ms=60000), proc, 0)
        for name, data in self.NEW.items():
            self.assertEqual(read(os.path.join(self.app, *name.split("/"))), data, name)
        self.assertFalse(os.path.exists(os.path.join(self.app, "delta.zip")))
        return [r["path"] for r in self.server.requests() if r["path"] != "/editor.ver"]

    def close(self, box, proc, code):
        self.assertTrue(wt.press(box["hwnd"], IDOK))
        proc.wait(timeout=60)
        self.assertEqual(proc.returncode, code)

    def test_a_delta_gives_the_full_packages_files_or_the_full_package_is_taken(self):
        self.offer_delta()
        self.assertEqual(self.update(), ["/delta.zip"])
        # A file changed by hand since: the delta cannot give the package's
        # result, and the full package comes in the same run.
        self.server.clear_log()
        for name, data in self.OLD.items():
            with open(os.path.join(self.app, name), "wb") as f:
                f.write(data)
        with open(os.path.join(self.app, "readme.txt"), "wb") as f:
            f.write(b"mine")
        self.server.set_faults({"/" + PACKAGE: {"drip": [4096, 100]}})
        watch = tempfile.TemporaryFile()
        self.addCleanup(watch.close)
        self.assertEqual(self.update(watch), ["/delta.zip", "/" + PACKAGE])
        self.procs[-1].wait(timeout=60)
        watch.seek(0)
        lines = [json.loads(l)["line"] for l in watch.read().decode().splitlines() if '"ms"' in l]
        self.assertTrue(any(l.startswith("Full package: ") for l in lines), lines)


def wt_wait(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.01)
    return False


def snapshot(folder, leave_out=()):
    """Every file below folder (with its bytes) and folder, by relative path."""
    found = {}
    for base, dirs, files in os.walk(folder):
        rel = os.path.relpath(base, folder)
        if rel.split(os.sep)[0] in leave_out:
            continue
        for d in dirs:
            if d not in leave_out or rel != ".":
                found[os.path.normpath(os.path.join(rel, d)) + "/"] = None
        for f in files:
            if f not in leave_out or rel != ".":
                found[os.path.normpath(os.path.join(rel, f))] = read(os.path.join(base, f))
    return found


# Holds a file open for writing with no sharing for argv[2] ms, as a virus
# scanner or an indexer does for a moment.
HOLDER_SRC = r"""
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
int main(int argc, char** argv) {
  HANDLE h;
  if (argc != 3) return 64;
  h = CreateFileA(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (h == INVALID_HANDLE_VALUE) return 1;
  printf("held\n");
  fflush(stdout);
  Sleep(atoi(argv[2]));
  CloseHandle(h);
  return 0;
}
"""


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
@unittest.skipUnless(os.path.isfile(CORE_LIB), "no Windows build of the product library")
class FilteredExtractionUnderWine(unittest.TestCase):
    """A filter text, which only a direct caller of UnzipWithShell passes."""

    @classmethod
    def setUpClass(cls):
        cls.build = tempfile.mkdtemp(prefix="pelmatic-wine-unzip-")
        src = os.path.join(cls.build, "unzip.cpp")
        with open(src, "w") as f:
            f.write(UNZIP_DRIVER_SRC)
        cls.driver = os.path.join(cls.build, "unzip.exe")
        cxx = os.environ.get("MINGW_CXX") or wt.mingw_cxx()
        res = subprocess.run([cxx, "-std=c++17", "-O1", "-DWIN32_LEAN_AND_MEAN", "-DNOMINMAX",
                              "-I" + os.path.join(TOP, "src"), "-static", "-o", cls.driver, src,
                              CORE_LIB, "-lwininet", "-lole32", "-loleaut32", "-luuid",
                              "-lshell32", "-luser32", "-lversion", "-lcomctl32", "-lgdi32",
                              "-ladvapi32", "-lbcrypt"], capture_output=True)
        if res.returncode != 0:
            raise wt.WineToolError(res.stderr.decode("utf-8", "replace"))
        cls.double = ShellDouble()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.build, ignore_errors=True)

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="pelmatic-wine-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.double.reset()
        self.addCleanup(self.double.reset)
        self.archive = os.path.join(self.root, "p.zip")
        with open(self.archive, "wb") as f:
            f.write(b"PK\x05\x06" + b"\0" * 18)
        self.dest = os.path.join(self.root, "dest")
        os.mkdir(self.dest)

    def contents(self, files):
        for name, data in files.items():
            path = os.path.join(self.archive + ".contents", *name.split("/"))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)

    def unzip(self, filter_text):
        start = time.monotonic()
        rc, out, _ = wt.run_wine(self.driver, [wt.unix_to_wine_path(self.archive),
                                               wt.unix_to_wine_path(self.dest), filter_text],
                                 timeout=120)
        return rc, out, time.monotonic() - start

    def test_filter_goes_to_the_collection_that_is_then_copied(self):
        self.contents({"readme.txt": b"r", "Docs/guide.txt": b"g", "bin/tool.exe": b"t",
                       "notes.TXT": b"n"})
        rc, out, _ = self.unzip("*.txt; docs")
        self.assertEqual((rc, out), (0, b""))
        self.assertEqual(sorted(os.listdir(self.dest)), ["Docs", "notes.TXT", "readme.txt"])
        invokes = self.double.calls()
        self.assertEqual([e["member"] for e in invokes[:5]],
                         ["NameSpace", "NameSpace", "Items", "Filter", "CopyHere"])
        items, filt, copy = invokes[2:5]
        self.assertEqual((filt["on"], filt["kind"], filt["result_wanted"]),
                         (items["items"], DISPATCH_METHOD, False))
        self.assertEqual(filt["args"], [{"vt": VT_I4, "value": 224},
                                        {"vt": VT_BYREF | VT_BSTR, "value": "*.txt; docs"}])
        self.assertEqual(copy["args"][0]["ref"], {"vt": VT_DISPATCH, "obj": items["items"]})
        self.assertEqual(filt["count"], 3)

    def test_filter_that_takes_in_a_hidden_item_still_completes(self):
        # 224 takes hidden items in (Wine shows dot files as hidden); the
        # destination's own Items() leaves them out, as the shell does.
        self.contents({"readme.txt": b"r", ".hidden.txt": b"h"})
        rc, out, seconds = self.unzip("*.txt")
        self.assertEqual(sorted(os.listdir(self.dest)), [".hidden.txt", "readme.txt"])
        self.assertEqual((rc, out), (0, b""), "extraction reported as failed after %.0f s"
                         % seconds)
        self.assertLess(seconds, 30)


if __name__ == "__main__":
    unittest.main()
