"""Behind a caching proxy, under Wine: PELMATIC.EXE with the prefix's system
proxy (Internet Settings ProxyEnable and ProxyServer, set for each case and
put back after it) pointing at a real Squid on 127.0.0.1
(tests/tools/squid.py), in front of the test server, whose answers let every
cache keep them for an hour. WinINet's "reload" alone would take the
proxy's copy of the manifest; the program's requests must reach the server.
Update files may come from the proxy's cache; a package, a delta and a
download cut off and resumed arrive through it; https goes through CONNECT
with the same trust; a proxy that refuses or is not there is a server that
cannot be reached, with no dialog of its own.

Needs a running harness (tests/wine/harness.sh start STATE_DIR) and
PELMATIC_WINE_STATE=STATE_DIR.
"""

import hashlib
import io
import os
import subprocess
import sys
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
from squid import RESUME_CASES, Origin, OriginFolders, binding  # noqa: E402
import test_shell  # noqa: E402  (by module: its test cases stay its own)
from test_shell import PACKAGE, TOP, ShellDouble, double_registered, read  # noqa: E402
from test_tls import forget_root, trust_root  # noqa: E402
from tls import TlsServers  # noqa: E402

CRLF = wt.texts.CRLF
NOTICE_CAPTION = wt.texts.NOTICE_CAPTION
QUESTION_CAPTION = wt.texts.question_caption()
NO_INFORMATION = wt.texts.no_information() + wt.texts.NOTICE_TAIL
MIB = 1 << 20
NOTES = b"New export filter." + CRLF + b"Faster start-up."



def zip_of(files, path=None):
    """A ZIP of files (name: bytes), written to path when given; its bytes."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files.items():
            z.writestr(name, data)
    if path:
        with open(path, "wb") as f:
            f.write(buf.getvalue())
    return buf.getvalue()


def setUpModule():
    global ORIGIN, SQUID, SERVED, SERVER
    ORIGIN = SQUID = SERVER = None
    if not wt.available():
        return
    ORIGIN = Origin(wt.TestServer, "pelmatic-wine-proxied-")
    SQUID, SERVED, SERVER = ORIGIN.squid, ORIGIN.served, ORIGIN.server


def tearDownModule():
    if ORIGIN is not None:
        ORIGIN.stop()


@wt.skip_unless_harness
class ProxiedCase(OriginFolders, wt.AppFolderCase):
    """The system's proxy is Squid for the case (self.behind() for another),
    and the case has a folder of the server's of its own, so that nothing
    the proxy keeps from one case is asked for by another."""

    def setUp(self):
        super().setUp()
        self.origin = ORIGIN
        SERVER.set_faults({})
        self.behind(SQUID.url)
        self.place(self._testMethodName)

    def behind(self, proxy):
        server = proxy.split("//", 1)[1].rstrip("/")
        self.addCleanup(wt.set_system_proxy(server))

    def place(self, name):
        super().place(name)
        self.write_ini(self.url)


    def press(self, box, button, proc, code=0):
        self.assertTrue(wt.press(box["hwnd"], button))
        proc.wait(timeout=90)
        self.assertEqual(proc.returncode, code)


class ManifestBehindProxy(ProxiedCase):
    def test_a_stale_manifest_in_the_proxy_is_never_announced(self):
        stale = b"ver=2.34\r\nmode=1\r\nmsg=" + NOTES + b"<>\r\n"
        self.serve("editor.ver", stale)
        # A neighbour's browser puts 2.34 into the proxy; the next one gets
        # it from there, and so would WinINet's "reload" alone.
        self.assertEqual(SQUID.fetch(self.url + "editor.ver"), (200, stale))
        self.assertEqual(SQUID.fetch(self.url + "editor.ver"), (200, stale))
        neighbours = SQUID.answers(self.url + "editor.ver", agent="neighbour", count=2)
        self.assertEqual([e["cached"] for e in neighbours], [False, True], neighbours)
        self.serve("editor.ver", b"ver=2.35\r\nmode=1\r\nmsg=" + NOTES + b"<>\r\n")
        asked_before = len(self.asked("editor.ver"))
        proc = self.start()
        box = self.box(QUESTION_CAPTION)
        self.assertEqual(box["text"], wt.texts.homepage_question(b"2.35", b"2.30", NOTES))
        self.press(box, wt.IDCANCEL, proc)
        self.assert_past_the_cache("editor.ver", asked_before)


@unittest.skipUnless(double_registered(), "Wine harness with the shell double not running")
class UpdatesBehindProxy(ProxiedCase):
    def setUp(self):
        super().setUp()
        self.double = ShellDouble()
        self.double.reset()
        self.addCleanup(self.double.reset)

    def offer(self, files):
        """The package on the server, what the shell double shows for it,
        and a manifest that binds it."""
        package = zip_of(files, os.path.join(SERVED, self.where, PACKAGE))
        self.show(PACKAGE, files)
        self.serve("editor.ver", b"ver=2.31\r\nfile=" + PACKAGE.encode() + b"\r\n" +
                   binding(package))

    def show(self, name, files):
        wt.show_contents(self.app, name, files)

    def update(self):
        proc = self.start()
        self.assertTrue(wt.press(self.box(QUESTION_CAPTION)["hwnd"], wt.IDYES))
        notice = self.box(NOTICE_CAPTION, timeout_ms=90000)
        self.assertEqual(notice["text"], wt.texts.complete() + wt.texts.NOTICE_TAIL)
        self.press(notice, wt.IDOK, proc)

    def test_a_package_the_proxy_keeps_an_older_copy_of(self):
        # A package published anew under its name: the proxy's copy is the
        # first one, which the manifest does not bind; the program asks past
        # it.
        old = zip_of({"readme.txt": b"as first published"})
        self.serve(PACKAGE, old)
        self.assertEqual(SQUID.fetch(self.url + PACKAGE), (200, old))
        with open(os.path.join(self.app, "readme.txt"), "wb") as f:
            f.write(b"old")
        self.offer({"readme.txt": b"new readme", "docs/guide.txt": b"guide"})
        self.update()
        self.assertEqual(read(os.path.join(self.app, "readme.txt")), b"new readme")
        self.assertEqual(read(os.path.join(self.app, "docs", "guide.txt")), b"guide")
        self.assertFalse(os.path.exists(os.path.join(self.app, PACKAGE)))
        ours = self.through_proxy(PACKAGE, count=2)
        self.assertEqual([(e["cached"], e["cache_control"]) for e in ours],
                         [(True, "-"), (False, "no-cache")], ours)

    def test_a_delta_update_through_the_proxy(self):
        # The delta is made by the POSIX build of pelmatic-tool: the format
        # is the same.
        old, new = test_shell.DeltaUnderWine.OLD, test_shell.DeltaUnderWine.NEW
        for name, data in old.items():
            with open(os.path.join(self.app, name), "wb") as f:
                f.write(data)
        self.offer(new)
        base = os.path.join(self.root, "old.zip")
        zip_of(old, base)
        delta = os.path.join(SERVED, self.where, "delta.zip")
        tool = os.path.join(TOP, "build", "posix", "pelmatic-tool")
        subprocess.run([tool, "delta", "--from", base, "--to",
                        os.path.join(SERVED, self.where, PACKAGE), "--out", delta], check=True,
                       stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(delta) as z:
            self.show("delta.zip", {n: z.read(n) for n in z.namelist() if not n.endswith("/")})
        with open(os.path.join(SERVED, self.where, "editor.ver"), "ab") as f:
            f.write(b"delta_2.30=delta.zip %s %d\r\n" % (
                hashlib.sha256(read(delta)).hexdigest().encode(), len(read(delta))))
        self.update()
        for name, data in new.items():
            self.assertEqual(read(os.path.join(self.app, *name.split("/"))), data, name)
        asked = [e["url"][len(self.url):] for e in SQUID.access() if e["agent"] == "Pelmatic"
                 and e["url"].startswith(self.url)]
        self.assertEqual(asked, ["editor.ver", "delta.zip"])


class DownloadsBehindProxy(ProxiedCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.program = wt.installer_program()

    def installer(self, size, seed):
        data, i = bytearray(self.program), 0
        while len(data) < size:
            data += hashlib.sha256(seed + b"%d" % i).digest() * 1024
            i += 1
        return bytes(data[:size])

    def test_a_download_cut_off_resumes_through_the_proxy(self):
        name = "setup231.exe"
        for label, fault, ranges in RESUME_CASES:
            with self.subTest(label):
                self.place("%s-%d" % (self._testMethodName, len(ranges)))
                data = self.installer(6 * MIB, label.encode())
                self.serve(name, data)
                self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\n" + binding(data))
                SERVER.set_faults({"/" + self.where + name: fault})
                marker = os.path.join(self.root, "installer-ran.txt")
                env = wt.wine_env({"PELMATIC_TEST_MARKER": wt.unix_to_wine_path(marker)})
                proc = self.start(env=env)
                self.press(self.box(QUESTION_CAPTION), wt.IDYES, proc)
                deadline = time.monotonic() + 10
                while not (os.path.exists(marker) and os.path.getsize(marker)):
                    self.assertLess(time.monotonic(), deadline, "the installer did not run")
                    time.sleep(0.05)
                os.remove(marker)
                self.assertEqual(read(os.path.join(wt.temp_folder(), name)), data)
                self.assertEqual([r["headers"].get("Range") for r in self.asked(name)], ranges)
                self.assertEqual([e["range"] for e in self.through_proxy(name, len(ranges))],
                                 [r or "-" for r in ranges])


class HttpsBehindProxy(ProxiedCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.servers = TlsServers("pelmatic-wine-proxied-", ip="127.0.0.1", dns=["127.0.0.1"])

    @classmethod
    def tearDownClass(cls):
        try:
            forget_root(cls.servers.ours.cert)
        finally:
            cls.servers.stop()
            super().tearDownClass()

    def setUp(self):
        super().setUp()
        self.servers.reset()

    def tunnels(self, server):
        return [e for e in SQUID.access() if e["method"] == "CONNECT"
                and e["url"] == "127.0.0.1:%d" % server.port]

    def check(self, server, trusting, expected):
        with open(os.path.join(self.servers.served, "editor.ver"), "wb") as f:
            f.write(b"ver=2.30\r\nfile=editor231.zip\r\n")
        self.write_ini(server.url)
        if trusting:
            trust_root(self.servers.ours.cert)
            self.addCleanup(forget_root, self.servers.ours.cert)
        else:
            forget_root(self.servers.ours.cert)
        proc = self.start()
        box = self.box(NOTICE_CAPTION)
        self.assertEqual(box["text"], expected)
        self.press(box, wt.IDOK, proc)

    def test_a_check_through_the_tunnel_with_the_same_trust(self):
        trusted = self.servers.trusted
        self.check(trusted, True, wt.texts.up_to_date() + wt.texts.NOTICE_TAIL)
        self.assertTrue(self.tunnels(trusted))
        first = trusted.requests()[0]["headers"]
        self.assertEqual((first.get("User-Agent"), first.get("Cache-Control")),
                         ("Pelmatic", "no-cache"))
        # A server signed by an authority the prefix does not trust: through
        # the tunnel it is refused all the same.
        stranger = self.servers.stranger
        self.check(stranger, True, NO_INFORMATION)
        self.assertTrue(self.tunnels(stranger))
        self.assertEqual(stranger.requests(), [])


class RefusingProxies(ProxiedCase):
    def test_a_proxy_that_refuses_is_a_server_that_cannot_be_reached(self):
        # Every page of this proxy reads as a manifest of version 9.99: one
        # taken for the manifest would be offered as an update.
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        manifest = "/" + self.where + "editor.ver"
        cases = [
            # what, proxy, the origin's fault, the proxy's status for the request
            ("407, credentials wanted", SQUID.auth_url, None, 407),
            ("502, the origin broke off", SQUID.url, {"reset": True}, 502),
            ("not listening", SQUID.down_url, None, None),
        ]
        for name, proxy, fault, status in cases:
            with self.subTest(name):
                self.behind(proxy)
                SERVER.set_faults({manifest: fault} if fault else {})
                logged = len(SQUID.answers(self.url + "editor.ver", count=0))
                proc = self.start()
                box = self.box(NOTICE_CAPTION)
                self.assertEqual(box["text"], NO_INFORMATION)
                # No dialog of WinINet's beside it, for credentials or else.
                others = [w for w in wt.list_windows()
                          if w["visible"] and w["hwnd"] != box["hwnd"]]
                self.assertEqual(others, [])
                self.press(box, wt.IDOK, proc)
                self.assertEqual(sorted(os.listdir(self.app)), ["PELMATIC.EXE", "pelmatic.ini"])
                ours = SQUID.answers(self.url + "editor.ver", count=logged + 1)[logged:]
                self.assertEqual([e["status"] for e in ours], [status] if status else [])


if __name__ == "__main__":
    unittest.main()
