"""Behind a caching proxy, on the POSIX build: a real Squid on 127.0.0.1
(tests/tools/squid.py), named by http_proxy and https_proxy, in front of the
test server, whose answers let every cache keep them for an hour as a CDN's
do. The manifest always comes from the server, whatever the proxy keeps;
update files may come from the proxy's cache; a whole package, a delta and
a download cut off and resumed arrive through it; https goes through
CONNECT with its checks unchanged; and a proxy that refuses, or is not
there, is a server that cannot be reached."""

import os
import unittest

from e2e import test_delta as delta
from e2e.support import (CLOSED, COMPLETE, MANIFEST_NOTES, WAIT, TestServer, UpdateFolder,
                         fallback, homepage_question, launch, no_information, read, tree,
                         up_to_date, update_question, zip_bytes)
from e2e.test_resume import payload
from e2e.test_tls import TrustingFolder
from e2e.test_tool import ToolCase
from squid import (PASSWORD, RESUME_CASES, USER, Origin, OriginFolders,  # noqa: E402
                   binding)
from tls import TlsServers  # noqa: E402

MIB = 1 << 20
YES = b"y\n\n"
HOME = "http://127.0.0.1:9/home"


def setUpModule():
    global ORIGIN, SQUID, SERVED, SERVER
    ORIGIN = Origin(TestServer, "pelmatic-proxied-")
    SQUID, SERVED, SERVER = ORIGIN.squid, ORIGIN.served, ORIGIN.server


def tearDownModule():
    ORIGIN.stop()



class ProxiedCase(OriginFolders, unittest.TestCase):
    """Each test has a folder of the server's of its own, so that nothing
    the proxy keeps from one test is asked for by another."""

    def setUp(self):
        self.origin = ORIGIN
        SERVER.set_faults({})
        self.place(self._testMethodName)

    def folder(self, proxy=None, **keys):
        app = UpdateFolder()
        self.addCleanup(app.cleanup)
        app.proxy = proxy or SQUID.url
        app.ini(**dict(dict(ver_now="2.30", ver_file="editor", url_file=self.url,
                            url_down=HOME), **keys))
        return app



class ManifestAndUpdates(ProxiedCase):
    def test_a_stale_manifest_in_the_proxy_is_never_announced(self):
        stale = b"ver=2.34\r\nmode=1\r\n" + MANIFEST_NOTES
        self.serve("editor.ver", stale)
        # A neighbour's browser puts 2.34 into the proxy; the next one gets
        # it from there, and so would anyone who asks without "no cache".
        self.assertEqual(SQUID.fetch(self.url + "editor.ver"), (200, stale))
        self.assertEqual(SQUID.fetch(self.url + "editor.ver"), (200, stale))
        neighbours = SQUID.answers(self.url + "editor.ver", agent="neighbour", count=2)
        self.assertEqual([e["cached"] for e in neighbours], [False, True], neighbours)
        # The vendor publishes 2.35.
        current = b"ver=2.35\r\nmode=1\r\n" + MANIFEST_NOTES
        self.serve("editor.ver", current)
        asked_before = len(self.asked("editor.ver"))
        code, out, err = self.folder().run(answers=b"c\n")
        self.assertEqual((code, out, err), (0, homepage_question(remote=b"2.35"), b""))
        self.assert_past_the_cache("editor.ver", asked_before)
        # The proxy keeps the new manifest for the neighbours from now on.
        self.assertEqual(SQUID.fetch(self.url + "editor.ver"), (200, current))

    def test_a_package_from_the_proxy_cache_and_an_older_one_it_keeps_under_that_name(self):
        new = zip_bytes({"editor.exe": b"editor 2.31" + bytes(200000), "docs": None,
                         "docs/whatsnew.txt": b"New export filter."})
        old = zip_bytes({"editor.exe": b"editor 2.31 as first published" + bytes(200000)})
        cases = [
            # what the proxy keeps, the program's requests (a hit, then past the cache)
            ("the package itself", new, [True]),
            ("an older package of that name", old, [True, False]),
        ]
        for name, kept, hits in cases:
            with self.subTest(name):
                self.place("%s-%d" % (self._testMethodName, len(hits)))
                self.serve("editor231.zip", kept)
                self.assertEqual(SQUID.fetch(self.url + "editor231.zip"), (200, kept))
                self.serve("editor231.zip", new)
                self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n" + binding(new))
                app = self.folder()
                app.write("editor.exe", b"editor 2.30")
                code, out, err = app.run(answers=YES)
                self.assertEqual((code, out, err),
                                 (0, update_question(b"editor231.zip", notes=b"") + COMPLETE,
                                  WAIT + CLOSED))
                self.assertEqual(read(app.path("editor.exe")), b"editor 2.31" + bytes(200000))
                self.assertEqual(tree(app.dir), ["PELMATIC.EXE", "docs/", "docs/whatsnew.txt",
                                                 "editor.exe", "pelmatic.ini"])
                ours = self.through_proxy("editor231.zip", count=len(hits))
                self.assertEqual([e["cached"] for e in ours], hits, ours)
                # Only the request that goes past the cache says so.
                self.assertEqual([e["cache_control"] for e in ours],
                                 ["-", "no-cache"][:len(hits)])

    def test_a_download_cut_off_resumes_through_the_proxy(self):
        installer = "setup231.exe"
        for name, fault, ranges in RESUME_CASES:
            with self.subTest(name):
                self.place("%s-%d" % (self._testMethodName, len(ranges)))
                data = payload(6 * MIB, name.encode())
                self.serve(installer, data)
                self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\n" + binding(data))
                SERVER.set_faults({"/" + self.where + installer: fault})
                app = self.folder()
                self.installed(app, installer, data)
                self.assertEqual([r["headers"].get("Range") for r in self.asked(installer)],
                                 ranges)
                self.assertEqual([e["range"] for e in self.through_proxy(installer, len(ranges))],
                                 [r or "-" for r in ranges])

    def test_the_proxy_answers_the_rest_with_its_whole_copy(self):
        # Run one is cut off and keeps its part. The proxy then holds the
        # whole file from another node of the origin, with an ETag of its
        # own: run two's If-Range names the first node's, and the proxy
        # answers the Range with its whole copy, 200.
        installer, data = "setup231.exe", payload(6 * MIB, b"nodes")
        self.serve(installer, data)
        self.serve("editor.ver", b"ver=2.31\r\nfile=setup231.exe\r\n" + binding(data))
        path = "/" + self.where + installer
        SERVER.set_faults({path: {"cut": 3 * MIB, "times": 1,
                                  "then": {"status": 404, "headers": {"Cache-Control": "no-store"}}}})
        app = self.folder()
        code, out, err = app.run(answers=YES)
        self.assertEqual((code, err), (0, WAIT + CLOSED + fallback(-1, (self.url + installer)
                                                                   .encode())))
        SERVER.set_faults({path: {"etag": '"node-b"'}})
        self.assertEqual(SQUID.fetch(self.url + installer), (200, data))
        SERVER.set_faults({})
        asked_before = len(self.asked(installer))
        self.installed(app, installer, data)
        self.assertEqual(self.asked(installer)[asked_before:], [])
        rest = self.through_proxy(installer, count=3)[2]
        self.assertEqual((rest["range"], rest["status"], rest["cached"]),
                         ("bytes=%d-" % (3 * MIB), 200, True))

    def installed(self, app, name, data):
        code, out, err = app.run(answers=YES)
        target = app.tmpdir.encode() + name.encode()
        self.assertEqual((code, out, err), (0, update_question(name.encode(), notes=b""),
                                            WAIT + launch(target) + CLOSED))
        self.assertEqual(read(target), data)


class DeltaThroughProxy(ToolCase):
    def setUp(self):
        super().setUp()
        SERVER.set_faults({})
        self.where = "delta/"
        os.makedirs(os.path.join(SERVED, self.where), exist_ok=True)
        self.url = SERVER.url + self.where

    def test_a_delta_update_through_the_proxy(self):
        old = self.write("editor230.zip", zip_bytes(delta.OLD))
        full = os.path.join(SERVED, self.where, "editor231.zip")
        with open(full, "wb") as f:
            f.write(zip_bytes(delta.NEW))
        patch = os.path.join(SERVED, self.where, "editor231-from230.zip")
        code, out, err = self.tool("delta", "--from", old, "--to", full, "--out", patch)
        self.assertEqual(code, 0, err)
        code, out, err = self.tool("manifest", "--product", "editor", "--ver", "2.31", "--file",
                                   full, "--delta", "2.30=" + patch, "--key", self.key,
                                   "--out", os.path.join(SERVED, self.where, "editor.ver"))
        self.assertEqual(code, 0, err)
        app = UpdateFolder()
        self.addCleanup(app.cleanup)
        app.proxy = SQUID.url
        app.ini(ver_now="2.30", ver_file="editor", url_file=self.url, url_down="x",
                pub_key=self.pub_key)
        for name, data in delta.OLD.items():
            os.makedirs(os.path.dirname(app.path(name)), exist_ok=True)
            app.write(name, data)
        code, out, err = app.run(answers=YES)
        self.assertEqual((code, out), (0, update_question(b"editor231.zip", notes=b"") + COMPLETE),
                         err)
        for name, data in delta.NEW.items():
            self.assertEqual(read(app.path(name)), data, name)
        asked = [e["url"][len(self.url):] for e in SQUID.access() if e["agent"] == "Pelmatic"
                 and e["url"].startswith(self.url)]
        self.assertEqual(asked, ["editor.ver", "editor231-from230.zip"])


@unittest.skipUnless(os.geteuid() == 0, "a private mount namespace needs root")
class HttpsThroughConnect(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.servers = TlsServers("pelmatic-proxied-", ip="127.0.0.1")

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()

    def setUp(self):
        self.servers.reset()

    def folder(self, server, trusting=True, proxy=None):
        app = TrustingFolder(self.servers.ours.cert if trusting else None)
        self.addCleanup(app.cleanup)
        app.proxy = proxy or SQUID.url
        app.ini(ver_now="2.30", ver_file="editor", url_file=server.url, url_down=HOME)
        return app

    def serve(self, name, data):
        with open(os.path.join(self.servers.served, name), "wb") as f:
            f.write(data)

    def tunnels(self, server):
        return [e for e in SQUID.access() if e["method"] == "CONNECT"
                and e["url"] == "127.0.0.1:%d" % server.port]

    def test_checks_go_through_the_tunnel_with_the_same_trust(self):
        trusted = self.servers.trusted
        self.serve("editor.ver", b"ver=2.30\r\nfile=editor231.zip\r\n")
        self.serve("real.ver", b"ver=2.30\r\n")
        for name, fault in [("the manifest", None),
                            ("a redirect within https", {"redirect": trusted.url + "real.ver"})]:
            with self.subTest(name):
                trusted.clear_log()
                trusted.set_faults({"/editor.ver": fault} if fault else {})
                tunnels = len(self.tunnels(trusted))
                code, out, err = self.folder(trusted).run(answers=b"\n")
                self.assertEqual((code, out, err), (0, up_to_date(b"editor", b"2.30", b"2.30"),
                                                    b""))
                self.assertGreater(len(self.tunnels(trusted)), tunnels)
                first = trusted.requests()[0]["headers"]
                self.assertEqual((first.get("User-Agent"), first.get("Cache-Control")),
                                 ("Pelmatic", "no-cache"))
        # What the program must not trust, it trusts no more for the tunnel.
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        for name, server, trusting in self.servers.untrusted_cases():
            with self.subTest(name):
                server.clear_log()
                tunnels = len(self.tunnels(server))
                code, out, err = self.folder(server, trusting).run(answers=b"\n")
                self.assertEqual((code, out, err), (0, no_information(b"editor"), b""))
                self.assertGreater(len(self.tunnels(server)), tunnels)
                self.assertEqual(server.requests(), [])

    def test_a_tunnel_the_proxy_refuses(self):
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        trusted = self.servers.trusted
        for name, proxy in [("407", SQUID.auth_url), ("403", SQUID.deny_url),
                            ("not listening", SQUID.down_url)]:
            with self.subTest(name):
                app = self.folder(trusted, proxy=proxy)
                self.assertEqual(app.run(answers=b"\n"), (0, no_information(b"editor"), b""))
                self.assertEqual(tree(app.dir), ["PELMATIC.EXE", "pelmatic.ini"])
        self.assertEqual(trusted.requests(), [])


class RefusingProxies(ProxiedCase):
    def test_a_proxy_that_refuses_is_a_server_that_cannot_be_reached(self):
        self.serve("editor.ver", b"ver=2.31\r\nfile=editor231.zip\r\n")
        self.serve("editor231.zip", zip_bytes({"editor.exe": b"editor 2.31"}))
        manifest = "/" + self.where + "editor.ver"
        cases = [
            # what, proxy, the origin's fault, the proxy's status for the request
            ("407, credentials wanted", SQUID.auth_url, None, 407),
            ("403, refused", SQUID.deny_url, None, 403),
            ("502, the origin broke off", SQUID.url, {"reset": True}, 502),
            ("504, the origin did not answer", SQUID.url, {"hang": 8}, 504),
            ("not listening", SQUID.down_url, None, None),
        ]
        for name, proxy, fault, status in cases:
            with self.subTest(name):
                SERVER.set_faults({manifest: fault} if fault else {})
                logged = len(SQUID.answers(self.url + "editor.ver", count=0))
                app = self.folder(proxy=proxy)
                app.write("editor.exe", b"editor 2.30")
                # Every page of this proxy reads as a manifest of version
                # 9.99: one taken for the manifest would be
                # offered as an update.
                self.assertEqual(app.run(answers=b"\n"), (0, no_information(b"editor"), b""))
                self.assertEqual(tree(app.dir), ["PELMATIC.EXE", "editor.exe", "pelmatic.ini"])
                ours = SQUID.answers(self.url + "editor.ver", count=logged + 1)[logged:]
                self.assertEqual([e["status"] for e in ours], [status] if status else [])
        self.assertEqual(self.asked("editor231.zip"), [])

    def test_credentials_written_in_the_proxy_variable_are_sent(self):
        self.serve("editor.ver", b"ver=2.30\r\n")
        signed_in = SQUID.auth_url.replace("//", "//%s:%s@" % (USER, PASSWORD))
        app = self.folder(proxy=signed_in)
        self.assertEqual(app.run(answers=b"\n"), (0, up_to_date(b"editor", b"2.30", b"2.30"),
                                                  b""))
        self.assertEqual([e["status"] for e in self.through_proxy("editor.ver")], [200])


if __name__ == "__main__":
    unittest.main()
