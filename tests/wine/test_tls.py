"""HTTPS under Wine: PELMATIC.EXE checks and downloads through WinINet from a
local TLS server whose certificate a test certificate authority signed, and
finds no version info on servers it has no reason to trust.

WinINet checks the server's chain with crypt32 against the "Root" store,
which holds the user's roots and the machine's. The cases that trust the
test CA put it into the user's explicitly (a key of the store's registry
form) and take it out again; the cases that must not trust it take it out
and check that it is gone. Nothing depends on what crypt32 copies from the
host's roots into the machine's store when a program first opens it: Wine
8 skips that copy in a program that starts while another program of the
prefix is making it, and later Wines prune the machine's store back to the
host's roots.

Wine's crypt32 matches the host name against DNS entries of the subject
alternative names only, where Windows also matches IP entries: the server
certificates for 127.0.0.1 carry it in both forms.

Needs a running harness (tests/wine/harness.sh start STATE_DIR) and
PELMATIC_WINE_STATE=STATE_DIR.
"""

import hashlib
import os
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
from tls import TlsServers  # noqa: E402

NOTICE_CAPTION = wt.texts.NOTICE_CAPTION
IDOK, IDYES = wt.IDOK, wt.IDYES
UP_TO_DATE = wt.texts.up_to_date() + wt.texts.NOTICE_TAIL
NO_INFORMATION = wt.texts.no_information() + wt.texts.NOTICE_TAIL

# The user's Root store, which WinINet's chain engine reads with the
# machine's. The machine's is left to crypt32, which fills it from the
# host's roots (and later Wines prune it back to those).
USER_ROOT_KEY = r"HKCU\Software\Microsoft\SystemCertificates\Root\Certificates"
MACHINE_ROOT_KEY = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"


def der_of(pem_path):
    with open(pem_path, encoding="ascii") as f:
        return ssl.PEM_cert_to_DER_cert(f.read())


def thumbprint(pem_path):
    return hashlib.sha1(der_of(pem_path)).hexdigest().upper()


def root_store_holds(cert):
    return any(wt.run_wine("reg", ["query", store + "\\" + thumbprint(cert)])[0] == 0
               for store in (USER_ROOT_KEY, MACHINE_ROOT_KEY))


def trust_root(cert):
    """Put cert into the user's Root store, in the form crypt32 keeps its
    registry stores: the SHA-1 hash and the certificate, each as a property
    (id, 1, length, bytes) in the value Blob of a key named by the hash."""
    der = der_of(cert)
    sha1 = hashlib.sha1(der).digest()
    blob = (struct.pack("<III", 3, 1, len(sha1)) + sha1 +
            struct.pack("<III", 32, 1, len(der)) + der)
    key = USER_ROOT_KEY + "\\" + thumbprint(cert)
    code, out, err = wt.run_wine("reg", ["add", key, "/v", "Blob", "/t", "REG_BINARY",
                                         "/d", blob.hex().upper(), "/f"])
    if code != 0:
        raise wt.WineToolError("reg add %s exited %d: %r %r" % (key, code, out, err))


def forget_root(cert):
    """Take cert out of the prefix's Root stores, wherever it is."""
    for store in (USER_ROOT_KEY, MACHINE_ROOT_KEY):
        key = store + "\\" + thumbprint(cert)
        if wt.run_wine("reg", ["query", key])[0] == 0:
            code, out, err = wt.run_wine("reg", ["delete", key, "/f"])
            if code != 0:
                raise wt.WineToolError("reg delete %s exited %d: %r %r" % (key, code, out, err))


def setUpModule():
    global SERVERS, SERVED, OURS, TRUSTED, STRANGER, MISNAMED
    SERVERS = TRUSTED = STRANGER = MISNAMED = None
    if not wt.available():
        return
    # The stranger's certificate differs from the trusted one in its issuer
    # only, so that nothing but the issuer can be what is refused.
    SERVERS = TlsServers("pelmatic-wine-", ip="127.0.0.1", dns=["127.0.0.1"])
    SERVED, OURS = SERVERS.served, SERVERS.ours
    TRUSTED, STRANGER, MISNAMED = SERVERS.trusted, SERVERS.stranger, SERVERS.misnamed


def tearDownModule():
    if SERVERS is None:
        return
    try:
        forget_root(OURS.cert)
    finally:
        SERVERS.stop()


@wt.skip_unless_harness
class HttpsUnderWine(wt.AppFolderCase):
    def setUp(self):
        SERVERS.reset()
        super().setUp()

    def serve(self, name, data):
        path = os.path.join(SERVED, name)
        with open(path, "wb") as f:
            f.write(data)
        self.addCleanup(lambda: os.path.exists(path) and os.remove(path))

    def configure(self, server):
        self.write_ini(server.url)

    def start(self, trusting, env=None):
        """Start the program; with trusting, the prefix's Root store holds
        the test CA while it runs, else it is checked to be gone."""
        command = [wt.wine_loader(), self.exe]
        if trusting:
            trust_root(OURS.cert)
            self.addCleanup(forget_root, OURS.cert)
        else:
            forget_root(OURS.cert)
            self.assertFalse(root_store_holds(OURS.cert), "the test CA is still a root of the prefix")
        errors = tempfile.TemporaryFile()
        self.addCleanup(errors.close)
        proc = subprocess.Popen(command, cwd=self.app, env=env or wt.wine_env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=errors)
        self.addCleanup(self.reap_one, proc)
        proc.errors = errors
        return proc

    def reap_one(self, proc):
        wt.reap([proc])

    def box(self, caption, proc):
        b = wt.wait_box(20000, title=caption.decode("utf-8"))
        if b is None:
            state = "still running" if proc.poll() is None else "exited %s" % proc.returncode
            # A copy left waiting at some other box would make the next one
            # step aside as a second copy.
            self.reap_one(proc)
            proc.errors.seek(0)
            self.fail("no message box titled %r appeared (program %s; its errors: %r)"
                      % (caption, state, proc.errors.read()[-2000:]))
        return b

    def answer(self, box, button, proc):
        self.assertTrue(wt.press(box["hwnd"], button))
        proc.wait(timeout=30)
        self.assertEqual(proc.returncode, 0)

    def test_check_over_https(self):
        self.assertTrue(TRUSTED.url.startswith("https://127.0.0.1:"))
        self.serve("editor.ver", b"ver=2.30\r\nfile=editor231.zip\r\n")
        self.configure(TRUSTED)
        proc = self.start(trusting=True)
        box = self.box(NOTICE_CAPTION, proc)
        self.assertEqual(box["text"], UP_TO_DATE)
        self.assertEqual([b["id"] for b in box["buttons"]], [IDOK])
        self.answer(box, IDOK, proc)
        requests = TRUSTED.requests()
        self.assertEqual([r["path"] for r in requests], ["/editor.ver"])
        headers = {k.lower(): v for k, v in requests[0]["headers"].items()}
        self.assertEqual(headers.get("user-agent"), "Pelmatic")

    def test_installer_downloaded_over_https_runs(self):
        program = wt.installer_program()
        self.serve("setup231.exe", program)
        self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\n")
        self.configure(TRUSTED)
        marker = os.path.join(self.root, "installer-ran.txt")
        env = wt.wine_env({"PELMATIC_TEST_MARKER": wt.unix_to_wine_path(marker)})
        proc = self.start(trusting=True, env=env)
        self.answer(self.box(b"PelMatic 2.000 - editor", proc), IDYES, proc)
        deadline = time.monotonic() + 10
        while not (os.path.exists(marker) and os.path.getsize(marker)):
            self.assertLess(time.monotonic(), deadline, "the downloaded installer did not run")
            time.sleep(0.05)
        with open(marker, "rb") as f:
            self.assertTrue(f.read().lower().endswith(b"\\setup231.exe"))
        self.assertEqual([r["path"] for r in TRUSTED.requests()],
                         ["/editor.ver", "/setup231.exe"])

    def test_redirects_never_lead_from_https_to_http(self):
        self.serve("real.ver", b"ver=2.30\r\n")
        for name, target, expected in [
                ("to http", SERVERS.plain.url + "real.ver", NO_INFORMATION),
                ("within https", TRUSTED.url + "real.ver", UP_TO_DATE)]:
            with self.subTest(name):
                TRUSTED.set_faults({"/editor.ver": {"redirect": target}})
                self.configure(TRUSTED)
                proc = self.start(trusting=True)
                box = self.box(NOTICE_CAPTION, proc)
                self.assertEqual(box["text"], expected)
                self.answer(box, IDOK, proc)
        self.assertEqual(SERVERS.plain.requests(), [])

    def test_servers_the_program_cannot_trust(self):
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        for name, server, trusting in SERVERS.untrusted_cases():
            with self.subTest(name):
                server.clear_log()
                self.configure(server)
                proc = self.start(trusting=trusting)
                box = self.box(NOTICE_CAPTION, proc)
                self.assertEqual(box["text"], NO_INFORMATION)
                self.answer(box, IDOK, proc)
                # Refused in the handshake: not a single request got through.
                self.assertEqual(server.requests(), [])
                self.assertEqual(sorted(os.listdir(self.app)), ["PELMATIC.EXE", "pelmatic.ini"])


if __name__ == "__main__":
    unittest.main()
