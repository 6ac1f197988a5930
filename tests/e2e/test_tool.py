"""pelmatic-tool as a vendor uses it: a key, a signed manifest, the release
served and installed by the real program, verify's verdicts, and every
refusal before anything is written. Keys made by openssl are read, and
what the tool signs, openssl verifies."""

import os
import shutil
import stat
import subprocess
import tarfile
import tempfile
import unittest

from e2e.support import (BIN, UpdateFolder, read, start_serving, stop_serving, zip_bytes)
from signing import der_to_rs, openssl, rs_to_der  # noqa: E402

TOOL = os.path.join(os.path.dirname(os.path.abspath(BIN)), "pelmatic-tool")


def setUpModule():
    global SERVED, SERVER
    SERVED, SERVER = start_serving()


def tearDownModule():
    stop_serving(SERVED, SERVER)


class ToolCase(unittest.TestCase):
    """A work folder and a signing key made by the tool, for each test."""

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="pelmatic-tool-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.key = os.path.join(self.work, "vendor.pem")
        code, out, err = self.tool("keygen", self.key)
        self.assertEqual(code, 0, err)
        self.pub_key = out.decode().strip().split("=", 1)[1]

    def tool(self, *args, stdin=b""):
        p = subprocess.run([TOOL] + list(args), input=stdin, capture_output=True, cwd=self.work,
                           timeout=120)
        return p.returncode, p.stdout, p.stderr

    def write(self, name, data):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path


class VendorTool(ToolCase):
    def publish(self, package, *extra, key=None):
        """The package and its signed manifest, into the served folder."""
        with open(os.path.join(SERVED, "editor231.zip"), "wb") as f:
            f.write(package)
        notes = self.write("notes.txt", b"New export filter.\nFaster start-up.\n")
        code, out, err = self.tool("manifest", "--product", "editor", "--ver", "2.31", "--file",
                                   os.path.join(SERVED, "editor231.zip"), "--notes", notes,
                                   "--key", key or self.key, "--out",
                                   os.path.join(SERVED, "editor.ver"), *extra)
        self.assertEqual(code, 0, err)
        return read(os.path.join(SERVED, "editor.ver"))

    def installation(self):
        app = UpdateFolder()
        self.addCleanup(app.cleanup)
        app.ini(ver_now="2.30", ver_file="editor", url_file=SERVER.url, url_down="x",
                pub_key=self.pub_key)
        app.write("editor.exe", b"editor 2.30")
        return app

    def test_a_release_made_with_the_tool_is_installed_and_a_tampered_one_refused(self):
        key_mode = stat.S_IMODE(os.stat(self.key).st_mode)
        self.assertEqual(key_mode, 0o600)
        public = openssl("ec", "-in", self.key, "-pubout", "-outform", "DER")[-64:].hex()
        self.assertEqual(self.pub_key, public)
        # keygen never overwrites a key.
        before = read(self.key)
        code, out, err = self.tool("keygen", self.key)
        self.assertEqual((code, out, read(self.key)), (2, b"", before))
        self.assertIn(b"never overwrites", err)

        manifest = self.publish(zip_bytes({"editor.exe": b"editor 2.31"}),
                                "--expires", "2099-01-01T00:00:00Z")
        lines = manifest.split(b"\r\n")
        self.assertEqual([l.split(b"=")[0] for l in lines[:9]],
                         [b"ver", b"file", b"msg", b"Faster start-up.<>", b"product", b"sha256",
                          b"size", b"expires", b"sig"])
        self.assertNotIn(b"\n", manifest.replace(b"\r\n", b""))

        app = self.installation()
        code, out, err = self.tool("verify", "--ini", app.path("pelmatic.ini"))
        self.assertEqual(code, 0, out)
        self.assertIn(b"signature: valid, by key 1 of 1", out)
        self.assertIn(b"matches the manifest", out)
        self.assertIn(b"would update to 2.31", out)
        # The same release in a folder, read as local mode reads it.
        code, out, err = self.tool("verify", "--ini", app.path("pelmatic.ini"), SERVED)
        self.assertEqual(code, 0, out)

        code, out, err = app.run(answers=b"y\n\n")
        self.assertEqual(code, 0, err)
        self.assertEqual(read(app.path("editor.exe")), b"editor 2.31")
        code, out, err = self.tool("verify", "--ini", app.path("pelmatic.ini"), "--ver-now", "2.31")
        self.assertEqual(code, 0)
        self.assertIn(b"You do not need to update", out)

        # Changed after signing: the program refuses it, and verify says so.
        with open(os.path.join(SERVED, "editor.ver"), "wb") as f:
            f.write(manifest.replace(b"ver=2.31", b"ver=2.32"))
        app = self.installation()
        code, out, err = self.tool("verify", "--ini", app.path("pelmatic.ini"))
        self.assertEqual(code, 1)
        self.assertIn(b"refused: The signature of the version information is not valid.", out)
        code, out, err = app.run(answers=b"\n")
        self.assertIn(b"The signature of the version information is not valid.", out)
        self.assertEqual(read(app.path("editor.exe")), b"editor 2.30")
        # Signed again in place it holds; a package changed after that does not.
        code, out, err = self.tool("sign", "--key", self.key, os.path.join(SERVED, "editor.ver"))
        self.assertEqual(code, 0, err)
        self.assertEqual(self.tool("verify", "--ini", app.path("pelmatic.ini"))[0], 0)
        with open(os.path.join(SERVED, "editor231.zip"), "ab") as f:
            f.write(b"x")
        code, out, err = self.tool("verify", "--ini", app.path("pelmatic.ini"))
        self.assertEqual(code, 1)
        self.assertIn(b"installed copies fail with -14", out)

    def test_a_staged_release_is_written_and_verify_tells_where_this_machine_stands(self):
        manifest = self.publish(zip_bytes({"editor.exe": b"editor 2.31"}), "--rollout", "0",
                                "--rollout-start", "2099-01-01T00:00:00Z", "--rollout-hours", "24")
        self.assertIn(b"\r\nrollout=0\r\nrollout_start=2099-01-01T00:00:00Z\r\n"
                      b"rollout_hours=24\r\nsig=", manifest)
        app = self.installation()
        code, out, err = self.tool("verify", "--ini", app.path("pelmatic.ini"))
        self.assertEqual(code, 0, out)
        self.assertIn(b"rollout: 0 % of the installations are offered the release now", out)
        machine = b""
        if os.path.exists("/etc/machine-id"):
            with open("/etc/machine-id", "rb") as f:
                machine = f.readline().strip()
        if machine:
            self.assertIn(b"this machine: bucket ", out)
            self.assertIn(b"not offered yet: an installed copy here says it is up to date", out)
            # And the installed copy does say so.
            code, out, err = app.run(answers=b"\n")
            self.assertIn(b"remote version:   2.30.", out)
        code, out, err = self.tool("rollout", "--product", "editor", "--ver", "2.31",
                                   "--machine-id", "3d1219c7c4c5404aaa1f6d2a48adfda4",
                                   "--share", "81.86")
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(out, b"machine id: 3d1219c7c4c5404aaa1f6d2a48adfda4\n"
                              b"bucket: 8185 of 10000 for editor 2.31: offered from a share of "
                              b"81.86 %\nshare 81.86 %: offered\n")

    def test_manifest_names_the_machine_a_packaged_checker_is_built_for(self):
        build = os.path.dirname(os.path.abspath(BIN))
        for checker, says in [("pelmatic_next", b"PELMATIC.EXE 2.1.0.0 for x86-64 (Linux)"),
                              ("versioned.exe", b"PELMATIC.EXE 5.0.2.195 for x86 (32-bit Windows)")]:
            with self.subTest(checker):
                with open(os.path.join(SERVED, "editor231.zip"), "wb") as f:
                    f.write(zip_bytes({"PELMATIC.EXE": read(os.path.join(build, checker))}))
                code, out, err = self.tool("manifest", "--product", "editor", "--ver", "2.31",
                                           "--file", os.path.join(SERVED, "editor231.zip"),
                                           "--key", self.key, "--out",
                                           os.path.join(self.work, "editor.ver"))
                self.assertEqual(code, 0, err)
                self.assertIn(b"packaged checker: " + says, out)

    def test_verify_unpacks_a_package_and_checks_it_as_the_installation_would(self):
        app = self.installation()
        ini = b"[Check]\r\nver_now=2.31\r\nver_file=editor\r\npub_key=%s\r\n"
        backup = self.tool("keygen", os.path.join(self.work, "backup.pem"))[1].split(b"=")[1]
        cases = [
            ("a package that installs, adding a key", {"editor.exe": b"2.31", "pelmatic.ini": ini % (
                self.pub_key.encode() + b" " + backup.strip())}, 0, b"package: 2 files"),
            ("a configuration that drops the signing key", {"pelmatic.ini": ini % b""}, 1,
             b"no longer trusts the key that signed this manifest: installed copies fail with "
             b"-14."),
            ("a name Windows cannot store", {"sub/aux.txt": b"x"}, 1, b"fail with -12"),
            ("PelMatic's own names", {"pelmatic.journal": b"x"}, 1, b"fail with -12"),
        ]
        for name, files, code, message in cases:
            with self.subTest(name):
                self.publish(zip_bytes(files))
                result, out, err = self.tool("verify", "--ini", app.path("pelmatic.ini"))
                self.assertEqual(result, code, out)
                self.assertIn(message, out)

    def test_openssl_keys_are_read_and_what_the_tool_signs_openssl_verifies(self):
        for name, command in [("ecparam", ["ecparam", "-name", "prime256v1", "-genkey", "-noout"]),
                              ("genpkey", ["genpkey", "-algorithm", "EC", "-pkeyopt",
                                           "ec_paramgen_curve:P-256"])]:
            with self.subTest(name):
                path = os.path.join(self.work, name + ".pem")
                openssl(*command, "-out", path)
                public = openssl("pkey", "-in", path, "-pubout", "-outform", "DER")[-64:].hex()
                self.assertEqual(self.tool("pubkey", path), (0, b"pub_key=%s\n" % public.encode(),
                                                             b""))
                # The key may come on standard input, never on the command line.
                self.assertEqual(self.tool("pubkey", "-", stdin=read(path))[1],
                                 b"pub_key=%s\n" % public.encode())
        manifest = self.write("m.ver", b"ver=2.31\r\nmode=0\r\nproduct=editor\r\n")
        self.assertEqual(self.tool("sign", "--key", "-", manifest, stdin=read(self.key))[0], 0)
        signed = read(manifest)
        body, sig = signed[:signed.index(b"sig=")], signed[signed.index(b"sig=") + 4:-2]
        self.assertEqual(body, b"ver=2.31\r\nmode=0\r\nproduct=editor\r\n")
        public = self.write("public.pem", openssl("ec", "-in", self.key, "-pubout"))
        signature = self.write("sig.der", rs_to_der(bytes.fromhex(sig.decode())))
        self.assertEqual(der_to_rs(read(signature)).hex().encode(), sig)
        self.assertIn(b"Verified OK", openssl("dgst", "-sha256", "-verify", public, "-signature",
                                              signature, data=body))

    def test_each_refusal_writes_nothing_and_says_why(self):
        package = self.write("editor231.zip", zip_bytes({"editor.exe": b"editor 2.31"}))
        previous = self.write("previous.ver", b"ver=2.9\r\nfile=editor29.zip\r\n")
        out_path = os.path.join(self.work, "editor.ver")
        base = ["manifest", "--product", "editor", "--file", package, "--key", self.key,
                "--out", out_path]
        cases = [
            ("not newer byte by byte", ["--ver", "2.10", "--previous", previous],
             b"2.10 is not newer than 2.9 for PelMatic: versions are compared byte by byte, not "
             b"as numbers. Keep the same number of digits (2.09, then 2.10)."),
            ("not a plain name", ["--ver", "2.31", "--filealt", self.write("a?b.exe", b"MZ")],
             b"\"a?b.exe\" is not a plain file name"),
            ("a key in the notes", ["--ver", "2.31", "--notes",
                                    self.write("n1.txt", b"Fixed\nsize=3 of files\n")],
             b"the notes file holds \"size=\""),
            ("<> in the notes", ["--ver", "2.31", "--notes", self.write("n2.txt", b"a <> b")],
             b"holds \"<>\""),
            ("a key in a value", ["--ver", "2.31 file=x.zip"], b"--ver holds \"file=\""),
            ("an expiry that has passed", ["--ver", "2.31", "--expires", "2020-01-01T00:00:00Z"],
             b"has passed"),
            ("a key given on the command line", ["--ver", "2.31", "--key", "-----BEGIN"],
             b"--key is given twice"),
            ("a share with three decimals", ["--ver", "2.31", "--rollout", "0.125"],
             b"--rollout must be a share in percent from 0 to 100"),
            ("a ramp without its length", ["--ver", "2.31", "--rollout", "1", "--rollout-start",
                                           "2027-01-10T08:00:00Z"],
             b"--rollout-start and --rollout-hours go together"),
        ]
        for name, extra, message in cases:
            with self.subTest(name):
                code, out, err = self.tool(*(base + extra))
                self.assertEqual(code, 2, err)
                self.assertIn(message, err)
                self.assertFalse(os.path.exists(out_path))
        # sign: the first ver= inside another line, shown with that line.
        manifest = b"server=updates.example\r\nver=2.31\r\nproduct=editor\r\n"
        path = self.write("server.ver", manifest)
        code, out, err = self.tool("sign", "--key", self.key, path)
        self.assertEqual(code, 2)
        self.assertIn(b"the first \"ver=\" is inside line 1: \"server=updates.example\"", err)
        self.assertEqual(read(path), manifest)
        # sign: a share no installed copy can read.
        manifest = b"ver=2.31\r\nproduct=editor\r\nrollout=10 %\r\n"
        path = self.write("share.ver", manifest)
        code, out, err = self.tool("sign", "--key", self.key, path)
        self.assertEqual(code, 2)
        self.assertIn(b"the rollout keys are not well formed", err)
        self.assertEqual(read(path), manifest)

    def test_the_posix_kit_runs_from_an_empty_folder(self):
        subprocess.run(["cpack", "--config", os.path.join(os.path.dirname(TOOL),
                                                          "CPackConfig.cmake"),
                        "-B", self.work], check=True, capture_output=True, timeout=300)
        folder = os.path.join(self.work, "unpacked")
        with tarfile.open(os.path.join(self.work, "PelMatic-2.000-linux-x86_64.tar.gz")) as t:
            t.extractall(folder)
        kit = os.path.join(folder, "PelMatic-2.000-linux-x86_64")
        self.assertTrue(os.access(os.path.join(kit, "PELMATIC.EXE"), os.X_OK))
        for name in ("pelmatic.ini", "editor.ver", "LICENSE", "docs/shipping.md"):
            self.assertTrue(os.path.exists(os.path.join(kit, name)), name)
        ini = read(os.path.join(kit, "pelmatic.ini")).replace(
            b"http://downloads.example.com/editor/", SERVER.url.encode())
        with open(os.path.join(kit, "pelmatic.ini"), "wb") as f:
            f.write(ini)
        with open(os.path.join(SERVED, "editor.ver"), "wb") as f:
            f.write(read(os.path.join(kit, "editor.ver")))
        with open(os.path.join(SERVED, "editor231.zip"), "wb") as f:
            f.write(zip_bytes({"editor.exe": b"editor 2.31"}))
        p = subprocess.run([os.path.join(kit, "pelmatic-tool"), "verify", "--ini",
                            os.path.join(kit, "pelmatic.ini")], capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout)
        self.assertIn(b"not bound by the manifest", p.stdout)


if __name__ == "__main__":
    unittest.main()
