"""Staged releases under Wine: PELMATIC.EXE reads the machine's id from
MachineGuid of HKLM\\SOFTWARE\\Microsoft\\Cryptography and is offered a
release exactly when the bucket formula, computed here with hashlib, says
so. Each case sets the value with reg and the prefix's own value comes back
after it."""

import hashlib
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402

KEY = r"HKLM\SOFTWARE\Microsoft\Cryptography"
NOTES = b"Staged."


def bucket(machine_id, product, version):
    digest = hashlib.sha256(("%s\n%s\n%s" % (machine_id, product, version)).encode()).digest()
    return int.from_bytes(digest[:4], "big") % 10000


def machine_guid():
    """The prefix's MachineGuid, or None when it has none."""
    code, out, _ = wt.run_wine("reg", ["query", KEY, "/v", "MachineGuid"])
    if code != 0:
        return None
    for line in out.decode("latin-1").splitlines():
        words = line.split()
        if len(words) == 3 and words[0] == "MachineGuid" and words[1] == "REG_SZ":
            return words[2]
    return None


def set_machine_guid(value):
    if value is None:
        args = ["delete", KEY, "/v", "MachineGuid", "/f"]
    else:
        args = ["add", KEY, "/v", "MachineGuid", "/t", "REG_SZ", "/d", value, "/f"]
    code, out, err = wt.run_wine("reg", args)
    if code != 0 and value is not None:
        raise wt.WineToolError("reg %s exited %d: %r %r" % (args[0], code, out, err))


@wt.skip_unless_harness
class StagedReleaseUnderWine(wt.ServedAppFolderCase):
    def setUp(self):
        super().setUp()
        original = machine_guid()
        self.addCleanup(set_machine_guid, original)
        self.configure()

    def outcome(self, machine_id):
        set_machine_guid(machine_id)
        proc = self.start()
        box = wt.wait_box(20000)
        self.assertIsNotNone(box, "no box for %r" % machine_id)
        if box["title"] == wt.texts.question_caption():
            self.assertEqual(box["text"], wt.texts.homepage_question(b"2.31", b"2.30", NOTES))
            self.assertTrue(wt.press(box["hwnd"], wt.IDCANCEL))
            got = "offered"
        else:
            self.assertEqual(box["title"], wt.texts.NOTICE_CAPTION)
            # Nothing newer has been offered: the remote version named is
            # the installed one.
            self.assertEqual(box["text"], wt.texts.up_to_date() + wt.texts.NOTICE_TAIL)
            self.assertTrue(wt.press(box["hwnd"], wt.IDOK))
            got = "up to date"
        self.assertEqual(proc.wait(timeout=30), 0)
        return got

    def test_offered_exactly_as_the_bucket_says(self):
        self.serve("editor.ver", b"ver=2.31\r\nmode=1\r\nmsg=" + NOTES + b"<>\r\nrollout=50\r\n")
        ids = ["3d1219c7c4c5404aaa1f6d2a48adfda4", "{2643A69D-0011-4179-B4D6-B45C01234D57}",
               "2643a69d-0011-4179-b4d6-b45c01234d57", "00000000-0000-0000-0000-000000000000",
               "8f14e45f-ceea-467a-9575-2b5d8e3f6a19", "c9f0f895-fb98-4b9f-a1b1-1b2f0d4e0a77"]
        seen = set()
        for machine_id in ids:
            with self.subTest(machine_id):
                expected = "offered" if bucket(machine_id, "editor", "2.31") < 5000 else "up to date"
                got = self.outcome(machine_id)
                self.assertEqual(got, expected)
                seen.add(got)
        self.assertEqual(seen, {"offered", "up to date"})  # the ids cover both sides
        # Without an id the machine is offered every release.
        self.assertEqual(self.outcome(None), "offered")


if __name__ == "__main__":
    unittest.main()
