"""HTTPS end to end on the POSIX build: the check and a package update from
a local TLS server whose certificate a test certificate authority signed,
and no version info from a server the program has no reason to trust."""

import os
import subprocess
import unittest

from e2e.support import (CLOSED, COMPLETE, WAIT, no_information, other_checkers_running, read,
                         split_progress, tree, up_to_date, update_question, UpdateFolder,
                         wait_for, zip_bytes)
from tls import TlsServers, ca_bundle_path  # noqa: E402

AS_ROOT = os.geteuid() == 0
HOME = "http://127.0.0.1:9/home"


class TrustingFolder(UpdateFolder):
    """An application folder whose program trusts the certificate
    authorities in bundle, and only those, as if they were the machine's."""

    def __init__(self, bundle=None):
        super().__init__()
        self.bundle = bundle

    def run(self, option=None, answers=b"", timeout=60):
        if self.bundle is None:
            return super().run(option, answers, timeout)
        wait_for(lambda: not other_checkers_running(), 60)
        # In a mount namespace of the run's own, the bundle stands where
        # libcurl reads the machine's; the machine's trust store is untouched.
        args = ["unshare", "--mount", "sh", "-c",
                'mount --bind "$1" "$2" || exit 125; shift 2; exec "$@"', "sh",
                self.bundle, ca_bundle_path(), self.exe] + ([option] if option is not None else [])
        p = subprocess.run(args, input=answers, capture_output=True, timeout=timeout,
                           cwd=self.root, env=self.env())
        err, self.progress = split_progress(p.stderr)
        return p.returncode, p.stdout, err


def setUpModule():
    global SERVERS, SERVED, BUNDLE, TRUSTED, STRANGER, MISNAMED
    SERVERS = TlsServers("pelmatic-", ip="127.0.0.1")
    SERVED, BUNDLE = SERVERS.served, SERVERS.ours.cert
    TRUSTED, STRANGER, MISNAMED = SERVERS.trusted, SERVERS.stranger, SERVERS.misnamed


def tearDownModule():
    SERVERS.stop()


@unittest.skipUnless(AS_ROOT, "a private mount namespace needs root")
class Https(unittest.TestCase):
    def setUp(self):
        SERVERS.reset()

    def folder(self, trusting=True):
        app = TrustingFolder(BUNDLE if trusting else None)
        self.addCleanup(app.cleanup)
        return app

    def serve(self, name, data):
        path = os.path.join(SERVED, name)
        with open(path, "wb") as f:
            f.write(data)
        self.addCleanup(lambda: os.path.exists(path) and os.remove(path))

    def configure(self, app, server=None):
        app.ini(ver_now="2.30", ver_file="editor", url_file=(server or TRUSTED).url, url_down=HOME)

    def test_check_over_https(self):
        self.assertTrue(TRUSTED.url.startswith("https://127.0.0.1:"))
        app = self.folder()
        self.serve("editor.ver", b"ver=2.30\r\nfile=editor231.zip\r\n")
        self.configure(app)
        code, out, err = app.run(answers=b"\n")
        self.assertEqual((code, out, err), (0, up_to_date(b"editor", b"2.30", b"2.30"), b""))
        requests = TRUSTED.requests()
        self.assertEqual([r["path"] for r in requests], ["/editor.ver"])
        headers = {k.lower(): v for k, v in requests[0]["headers"].items()}
        self.assertEqual(headers.get("user-agent"), "Pelmatic")
        self.assertEqual(headers.get("cache-control"), "no-cache")

    def test_package_update_over_https(self):
        app = self.folder()
        self.configure(app)
        app.write("editor.exe", b"editor 2.30")
        package = zip_bytes({"editor.exe": b"editor 2.31" + bytes(300000), "docs": None,
                             "docs/whatsnew.txt": b"New export filter."})
        self.serve("editor231.zip", package)
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\nmsg=New export filter." +
                   b"\r\nFaster start-up.<>\r\n")
        code, out, err = app.run(answers=b"y\n\n")
        self.assertEqual((code, out), (0, update_question(b"editor231.zip") + COMPLETE))
        self.assertEqual(err, WAIT + CLOSED)
        self.assertEqual([r["path"] for r in TRUSTED.requests()], ["/editor.ver", "/editor231.zip"])
        self.assertEqual(tree(app.dir), ["PELMATIC.EXE", "docs/", "docs/whatsnew.txt", "editor.exe",
                                         "pelmatic.ini"])
        self.assertEqual(read(app.path("editor.exe")), b"editor 2.31" + bytes(300000))

    def test_redirects_never_lead_from_https_to_http(self):
        self.serve("real.ver", b"ver=2.30\r\n")
        for name, target, expected in [
                ("to http", SERVERS.plain.url + "real.ver", no_information(b"editor")),
                ("within https", TRUSTED.url + "real.ver", up_to_date(b"editor", b"2.30", b"2.30"))]:
            with self.subTest(name):
                TRUSTED.set_faults({"/editor.ver": {"redirect": target}})
                app = self.folder()
                self.configure(app)
                self.assertEqual(app.run(answers=b"\n"), (0, expected, b""))
        self.assertEqual(SERVERS.plain.requests(), [])

    def test_servers_the_program_cannot_trust(self):
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        for name, server, trusting in SERVERS.untrusted_cases():
            with self.subTest(name):
                server.clear_log()
                app = self.folder(trusting=trusting)
                self.configure(app, server)
                code, out, err = app.run(answers=b"\n")
                self.assertEqual((code, out, err), (0, no_information(b"editor"), b""))
                # Refused in the handshake: not a single request got through.
                self.assertEqual(server.requests(), [])
                self.assertEqual(tree(app.dir), ["PELMATIC.EXE", "pelmatic.ini"])


if __name__ == "__main__":
    unittest.main()
