"""HTTPS under Wine: PELMATIC.EXE checks and downloads through WinINet from a
local TLS server whose certificate a test certificate authority signed, and
finds no version info on servers it has no reason to trust.

How a Wine process comes to trust a root (Wine 8.0 as Debian 12 ships it):
WinINet checks the server's chain with crypt32 in the program's own process.
The first time that process opens the machine's "Root" store, crypt32 reads
the host's roots from the first of these that holds any certificate:

    /etc/ssl/certs/ca-certificates.crt, /etc/ssl/certs,
    /etc/pki/tls/certs/ca-bundle.crt, /usr/share/ca-certificates/ca-bundle.crt,
    /usr/local/share/certs/, /etc/sfw/openssl/certs, /etc/security/cacerts

and copies them into HKLM\\Software\\Microsoft\\SystemCertificates\\Root as
volatile keys.  So a program started in a mount namespace of its own, with
the test CA bound over that file, trusts the test CA and nothing on the
machine changes; but the copy lives on in the prefix's wineserver, which
every later program of the prefix shares, until the server exits.  Each run
that trusted the test CA therefore takes it out of the prefix's root store
again, and the cases that must not trust it check that it is gone.

Wine's crypt32 matches the host name against DNS entries of the subject
alternative names only, where Windows also matches IP entries: the server
certificates for 127.0.0.1 carry it in both forms.

Needs root (for the mount namespace), a running harness
(tests/wine/harness.sh start STATE_DIR) and PELMATIC_WINE_STATE=STATE_DIR.
"""

import hashlib
import os
import shutil
import ssl
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

# Where Wine's crypt32 looks for the host's roots, in its order.
WINE_ROOT_SOURCES = ["/etc/ssl/certs/ca-certificates.crt", "/etc/ssl/certs",
                     "/etc/pki/tls/certs/ca-bundle.crt",
                     "/usr/share/ca-certificates/ca-bundle.crt", "/usr/local/share/certs/",
                     "/etc/sfw/openssl/certs", "/etc/security/cacerts"]
ROOT_STORE_KEY = r"HKLM\Software\Microsoft\SystemCertificates\Root\Certificates"



def can_unshare():
    return os.geteuid() == 0 and bool(shutil.which("unshare"))


def wine_root_source():
    """The host file or folder this Wine takes its roots from."""
    for path in WINE_ROOT_SOURCES:
        if os.path.exists(path):
            return path
    return WINE_ROOT_SOURCES[0]


def thumbprint(pem_path):
    with open(pem_path, encoding="ascii") as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    return hashlib.sha1(der).hexdigest().upper()


def root_store_holds(cert):
    code, _, _ = wt.run_wine("reg", ["query", ROOT_STORE_KEY + "\\" + thumbprint(cert)])
    return code == 0


def forget_root(cert):
    """Take cert out of the prefix's copy of the host roots, if it is there."""
    key = ROOT_STORE_KEY + "\\" + thumbprint(cert)
    if wt.run_wine("reg", ["query", key])[0] == 0:
        code, out, err = wt.run_wine("reg", ["delete", key, "/f"])
        if code != 0:
            raise wt.WineToolError("reg delete %s exited %d: %r %r" % (key, code, out, err))


def setUpModule():
    global SERVERS, SERVED, OURS, TRUSTED, STRANGER, MISNAMED
    SERVERS = TRUSTED = STRANGER = MISNAMED = None
    if not (wt.available() and can_unshare()):
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
@unittest.skipUnless(can_unshare(), "a private mount namespace needs root and unshare")
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

    def trust_source(self):
        """What to bind over Wine's root source: the test CA alone."""
        target = wine_root_source()
        if not os.path.isdir(target):
            return OURS.cert, target
        folder = tempfile.mkdtemp(dir=self.root)
        shutil.copy(OURS.cert, folder)
        return folder, target

    def start(self, trusting, env=None):
        """Start the program; with trusting, it sees the test CA, and only
        that, where Wine reads the machine's roots."""
        command = ["wine", self.exe]
        if trusting:
            source, target = self.trust_source()
            command = ["unshare", "--mount", "sh", "-c",
                       'mount --bind "$1" "$2" || exit 125; shift 2; exec "$@"', "sh",
                       source, target] + command
            # The program's crypt32 leaves the test CA in the prefix's root
            # store, where later programs would still find it.
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
        b = wt.wait_box(20000, title=caption.decode("latin-1"))
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
        build = tempfile.mkdtemp(dir=self.root)
        installer = wt.compile_c(wt.INSTALLER_SRC, build, "setup")
        with open(installer, "rb") as f:
            program = f.read()
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
