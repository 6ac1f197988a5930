"""Signed updates on the POSIX program end to end: a manifest signed with a
key made by openssl, its refusals with their reasons, and update files that
must match the digest and length the signed manifest gives."""

import hashlib
import os
import tempfile
import shutil
import unittest

from e2e.support import (CLOSED, COMPLETE, HOME, WAIT, UpdateFolder, fallback, no_information,
                         notice, read, start_serving, stop_serving, texts, tree, update_question,
                         zip_bytes)
from signing import Signer, file_keys  # noqa: E402

CRLF = texts.CRLF
REASONS = {
    "R1": b"The version information is not signed.",
    "R2": b"The signature of the version information is not valid.",
    "R3": b"The version information is for another product.",
    "R4": b"The version information has expired.",
    "R5": b"The key in pelmatic.ini is not valid.",
}


def refused(reason):
    return notice(texts.no_information() + CRLF + CRLF + REASONS[reason])


def setUpModule():
    global SERVED, SERVER, KEYS, VENDOR, STRANGER
    SERVED, SERVER = start_serving()
    KEYS = tempfile.mkdtemp(prefix="pelmatic-keys-")
    VENDOR, STRANGER = Signer(KEYS, "vendor"), Signer(KEYS, "stranger")


def tearDownModule():
    stop_serving(SERVED, SERVER)
    shutil.rmtree(KEYS, ignore_errors=True)


class SignedUpdates(unittest.TestCase):
    def setUp(self):
        self.app = UpdateFolder()
        self.addCleanup(self.app.cleanup)
        SERVER.set_faults({})
        SERVER.clear_log()

    def serve(self, name, data):
        path = os.path.join(SERVED, name)
        with open(path, "wb") as f:
            f.write(data)
        self.addCleanup(lambda: os.path.exists(path) and os.remove(path))

    def configure(self, pub_key=None, **extra):
        keys = dict(ver_now="2.30", ver_file="editor", url_file=SERVER.url, url_down=HOME,
                    pub_key=VENDOR.pub_key if pub_key is None else pub_key)
        keys.update(extra)
        self.app.ini(**keys)

    def offer(self, file, data, extra=b"", signer=None, binding=None):
        """Serves data as file under a manifest signed by signer (VENDOR)."""
        self.serve(file.decode(), data)
        text = (b"ver=2.31\r\nfile=" + file + b"\r\nproduct=editor\r\n" +
                (file_keys(data) if binding is None else binding) + extra)
        self.serve("editor.ver", (signer or VENDOR).sign(text))

    def requests(self):
        return [r["path"] for r in SERVER.requests()]

    def test_a_signed_package_is_offered_and_installed(self):
        self.configure()
        self.app.write("editor.exe", b"editor 2.30")
        # The package's configuration keeps the key and adds a second one.
        ini = ("[Check]\r\nver_now=2.31\r\nver_file=editor\r\nurl_file=%s\r\npub_key=%s, %s\r\n"
               % (SERVER.url, STRANGER.pub_key, VENDOR.pub_key)).encode()
        package = zip_bytes({"editor.exe": b"editor 2.31", "pelmatic.ini": ini})
        self.offer(b"editor231.zip", package, b"msg=Signed.<>\r\n")
        code, out, err = self.app.run(answers=b"y\n\n")
        self.assertEqual((code, out, err), (0, update_question(b"editor231.zip", notes=b"Signed.") +
                                            COMPLETE, WAIT + CLOSED))
        self.assertEqual(read(self.app.path("editor.exe")), b"editor 2.31")
        self.assertEqual(read(self.app.path("pelmatic.ini")), ini)

    def test_each_refusal_of_the_manifest_names_its_reason(self):
        body = b"ver=2.31\r\nmode=0\r\nproduct=editor\r\n"
        signed = VENDOR.sign(body)
        cases = [
            ("R1", "not signed", body, None),
            ("R1", "a value after the signature line", signed + b"ver=9.99\r\n", None),
            ("R2", "changed after signing", signed.replace(b"2.31", b"2.99"), None),
            ("R2", "signed by another key", STRANGER.sign(body), None),
            ("R3", "for another product", VENDOR.sign(b"ver=2.31\r\nproduct=viewer\r\n"), None),
            ("R3", "no product", VENDOR.sign(b"ver=2.31\r\n"), None),
            ("R4", "expired", VENDOR.sign(body + b"expires=2020-01-01T00:00:00Z\r\n"), None),
            ("R4", "expiry not well formed", VENDOR.sign(body + b"expires=tomorrow\r\n"), None),
            ("R5", "a key that is no key", signed, "00" * 64),
            ("R5", "a key of the wrong length", signed, VENDOR.pub_key[:-2]),
        ]
        for reason, name, manifest, pub_key in cases:
            with self.subTest(name):
                self.serve("editor.ver", manifest)
                self.configure(pub_key=pub_key)
                SERVER.clear_log()
                self.assertEqual(self.app.run(answers=b"\n"), (0, refused(reason), b""))
                self.assertEqual(self.requests(), ["/editor.ver"])
                # The quiet check says nothing, as for any manifest it cannot use.
                self.assertEqual(self.app.run("@"), (0, b"", b""))
        # A signed manifest that has not expired is taken.
        self.serve("editor.ver", VENDOR.sign(body + b"expires=2099-12-31T23:59:59Z\r\n"))
        self.configure()
        code, out, err = self.app.run()
        self.assertEqual((code, err), (0, b"[status] editor:  2.31\n[status closed]\n"))

    def test_update_files_that_do_not_match_are_never_started(self):
        installer = b"#!/bin/sh\necho installed\n" + b"#" * 5000
        package = zip_bytes({"editor.exe": b"editor 2.31"})
        cases = [
            ("installer, other digest", b"setup231.exe", installer, -4,
             file_keys(installer[:-1] + b"!")),
            ("package, other digest", b"editor231.zip", package, -14,
             b"sha256=" + hashlib.sha256(package + b"x").hexdigest().encode() + b"\r\n"),
            ("package longer than its size", b"editor231.zip", package, -14,
             b"sha256=" + b"0" * 64 + b"\r\nsize=100\r\n"),
            ("installer without a digest", b"setup231.exe", installer, -4, b""),
            ("package without a digest", b"editor231.zip", package, -14, b"size=100\r\n"),
        ]
        for name, file, data, code, binding in cases:
            with self.subTest(name):
                self.configure()
                self.app.write("editor.exe", b"editor 2.30")
                before = {n: read(self.app.path(n)) for n in tree(self.app.dir)}
                self.offer(file, data, binding=binding)
                SERVER.clear_log()
                code_, out, err = self.app.run(answers=b"y\n\n")
                self.assertEqual((code_, out), (0, update_question(file, notes=b"")))
                # The homepage, never the file that failed.
                self.assertEqual(err, WAIT + CLOSED + fallback(code, HOME.encode()))
                self.assertEqual({n: read(self.app.path(n)) for n in tree(self.app.dir)}, before)
                # The desktop's opener records the homepage as it gets it.
                self.assertEqual(self.app.opened_after(1), [HOME.encode()])
                self.assertEqual(sorted(os.listdir(self.app.root)),
                                 ["app", "bin", "opened.txt"])  # nothing in the temporary folder
                fetched = [p for p in self.requests() if not p.endswith(".ver")]
                # Without a digest nothing is even fetched.
                self.assertEqual(fetched, [] if "without" in name else ["/" + file.decode()])
                os.remove(self.app.opened)

    def test_a_package_that_drops_the_verifying_key_is_refused(self):
        self.configure()
        self.app.write("editor.exe", b"editor 2.30")
        before = {n: read(self.app.path(n)) for n in tree(self.app.dir)}
        ini = ("[Check]\r\nver_now=2.31\r\nver_file=editor\r\npub_key=%s\r\n"
               % STRANGER.pub_key).encode()
        package = zip_bytes({"editor.exe": b"editor 2.31", "pelmatic.ini": ini})
        self.offer(b"editor231.zip", package)
        code, out, err = self.app.run(answers=b"y\n\n")
        self.assertEqual((code, out), (0, update_question(b"editor231.zip", notes=b"")))
        self.assertEqual(err, WAIT + CLOSED + fallback(-14, HOME.encode()))
        after = {n: read(self.app.path(n)) for n in tree(self.app.dir) if n != "editor231.zip"}
        self.assertEqual(after, before)  # nothing moved, the unpack folder gone

    def test_digests_bind_files_without_a_key_too(self):
        self.configure(pub_key="")
        installer = b"#!/bin/sh\n" + b"#" * 100
        self.offer(b"setup231.exe", installer, binding=file_keys(b"another file"))
        code, out, err = self.app.run(answers=b"y\n\n")
        self.assertEqual(err, WAIT + CLOSED + fallback(-4, HOME.encode()))
        # An old manifest's notes that hold "size=" by chance bind nothing.
        self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\nmsg=font size=large<>\r\n")
        code, out, err = self.app.run(answers=b"y\n\n")
        target = (self.app.tmpdir + "setup231.exe").encode()
        self.assertEqual(err, WAIT + b"[launch] " + target + b"\n" + CLOSED)
