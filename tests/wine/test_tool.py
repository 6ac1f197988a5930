"""pelmatic-tool.exe under Wine, with CNG for its keys and signatures and
WinINet for verify: a release made with it is installed by PELMATIC.EXE,
keys made by openssl are read, and what it signs, openssl verifies."""

import os
import subprocess
import sys
import time
import unittest
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winetools as wt  # noqa: E402
from signing import der_to_rs, openssl, rs_to_der  # noqa: E402

TOOL = os.path.join(os.path.dirname(os.path.abspath(wt.EXE)), "pelmatic-tool.exe")
QUESTION_CAPTION = wt.texts.question_caption()


@wt.skip_unless_harness
class ToolUnderWine(wt.ServedAppFolderCase):
    def tool(self, *args):
        """Runs the tool in self.root; paths are given relative to it."""
        return wt.run_wine(TOOL, list(args), cwd=self.root, timeout=120)

    def read(self, name):
        with open(os.path.join(self.root, name), "rb") as f:
            return f.read()

    def test_a_release_made_with_the_tool_is_installed_by_pelmatic(self):
        code, out, err = self.tool("keygen", "vendor.pem")
        self.assertEqual(code, 0, err)
        pub_key = out.decode().strip().split("=", 1)[1]
        public = openssl("ec", "-in", os.path.join(self.root, "vendor.pem"), "-pubout",
                         "-outform", "DER")[-64:].hex()
        self.assertEqual(pub_key, public)
        self.assertEqual(self.tool("keygen", "vendor.pem")[0], 2)

        self.serve("setup231.exe", wt.installer_program())
        with open(os.path.join(self.root, "notes.txt"), "wb") as f:
            f.write(b"Signed on Windows.\n")
        served = os.path.relpath(self.served, self.root)
        code, out, err = self.tool(
            "manifest", "--product", "editor", "--ver", "2.31", "--file",
            os.path.join(served, "setup231.exe"), "--notes", "notes.txt", "--key", "vendor.pem",
            "--out", os.path.join(served, "editor.ver"))
        self.assertEqual(code, 0, err)
        self.configure(pub_key=pub_key)

        code, out, err = self.tool("verify", "--ini", os.path.relpath(
            os.path.join(self.app, "pelmatic.ini"), self.root))
        self.assertEqual(code, 0, out)
        self.assertIn(b"signature: valid, by key 1 of 1", out)
        self.assertIn(b"matches the manifest", out)

        marker = os.path.join(self.root, "installer-ran.txt")
        env = wt.wine_env({"PELMATIC_TEST_MARKER": wt.unix_to_wine_path(marker)})
        proc = self.start(env=env)
        box = self.box(QUESTION_CAPTION)
        self.assertIn(b"Signed on Windows.", box["text"])
        self.assertTrue(wt.press(box["hwnd"], wt.IDYES))
        proc.wait(timeout=60)
        for _ in range(200):
            if os.path.exists(marker) and os.path.getsize(marker):
                break
            time.sleep(0.05)
        with open(marker, "rb") as f:
            self.assertTrue(f.read().lower().endswith(b"\\setup231.exe"))

        # Changed after signing: verify says what every copy would say.
        manifest = os.path.join(self.served, "editor.ver")
        with open(manifest, "rb") as f:
            text = f.read()
        self.serve("editor.ver", text.replace(b"2.31", b"2.41", 1))
        code, out, err = self.tool("verify", "--ini", os.path.relpath(
            os.path.join(self.app, "pelmatic.ini"), self.root))
        self.assertEqual(code, 1)
        self.assertIn(b"The signature of the version information is not valid.", out)

    def test_openssl_keys_are_read_and_what_the_tool_signs_openssl_verifies(self):
        for name, command in [("ecparam", ["ecparam", "-name", "prime256v1", "-genkey", "-noout"]),
                              ("genpkey", ["genpkey", "-algorithm", "EC", "-pkeyopt",
                                           "ec_paramgen_curve:P-256"])]:
            with self.subTest(name):
                openssl(*command, "-out", os.path.join(self.root, name + ".pem"))
                public = openssl("pkey", "-in", os.path.join(self.root, name + ".pem"),
                                 "-pubout", "-outform", "DER")[-64:].hex()
                code, out, err = self.tool("pubkey", name + ".pem")
                self.assertEqual((code, out.strip()), (0, b"pub_key=" + public.encode()), err)
        body = b"ver=2.31\r\nmode=0\r\nproduct=editor\r\n"
        with open(os.path.join(self.root, "m.ver"), "wb") as f:
            f.write(body)
        code, out, err = self.tool("sign", "--key", "genpkey.pem", "m.ver")
        self.assertEqual(code, 0, err)
        signed = self.read("m.ver")
        self.assertEqual(signed[:len(body) + 4], body + b"sig=")
        rs = bytes.fromhex(signed[len(body) + 4:-2].decode())
        with open(os.path.join(self.root, "sig.der"), "wb") as f:
            f.write(rs_to_der(rs))
        self.assertEqual(der_to_rs(self.read("sig.der")), rs)
        with open(os.path.join(self.root, "public.pem"), "wb") as f:
            f.write(openssl("pkey", "-in", os.path.join(self.root, "genpkey.pem"), "-pubout"))
        self.assertIn(b"Verified OK", openssl(
            "dgst", "-sha256", "-verify", os.path.join(self.root, "public.pem"), "-signature",
            os.path.join(self.root, "sig.der"), data=body))
        # Refused as on POSIX, by the same code.
        with open(os.path.join(self.root, "previous.ver"), "wb") as f:
            f.write(b"ver=2.9\r\n")
        code, out, err = self.tool("manifest", "--product", "editor", "--ver", "2.10", "--file",
                                   "m.ver", "--previous", "previous.ver", "--key", "genpkey.pem",
                                   "--out", "x.ver")
        self.assertEqual(code, 2)
        self.assertIn(b"Keep the same number of digits (2.09, then 2.10).", err)
        self.assertFalse(os.path.exists(os.path.join(self.root, "x.ver")))


    def test_the_windows_tool_makes_the_same_delta_as_the_posix_one(self):
        program = bytes(range(256)) * 16 + os.urandom(60000)
        packages = {"old": {"editor.exe": program, "readme.txt": b"same"},
                    "new": {"editor.exe": program[:30000] + b"fix" + program[30000:],
                            "readme.txt": b"same", "docs/new.txt": b"new"}}
        for name, files in packages.items():
            with zipfile.ZipFile(os.path.join(self.root, name + ".zip"), "w") as z:
                for path, data in files.items():
                    z.writestr(path, data)
            # What the shell double shows for the archive.
            with zipfile.ZipFile(os.path.join(self.root, name + ".zip")) as z:
                z.extractall(os.path.join(self.root, name + ".zip.contents"))
        code, out, err = self.tool("delta", "--from", "old.zip", "--to", "new.zip", "--out",
                                   "windows.zip")
        self.assertEqual(code, 0, err)
        self.assertIn(b"1 patched", out)
        posix = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build",
                             "posix", "pelmatic-tool")
        subprocess.run([posix, "delta", "--from", "old.zip", "--to", "new.zip", "--out",
                        "posix.zip"], cwd=self.root, check=True, stdout=subprocess.DEVNULL)
        made = {}
        for name in ("windows", "posix"):
            with zipfile.ZipFile(os.path.join(self.root, name + ".zip")) as z:
                made[name] = {i.filename: z.read(i) for i in z.infolist()}
        self.assertIn("@delta/1.patch", made["windows"])
        self.assertEqual(made["windows"], made["posix"])


if __name__ == "__main__":
    unittest.main()
