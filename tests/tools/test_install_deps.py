#!/usr/bin/env python3
"""scripts/install-deps.sh against stand-ins for apt-get and dpkg first on
PATH: a mirror in mid-sync that refuses one index on every update must not
stop an install that can go on, and a failed install must end with the one
message that says what the mirror refused."""

import os
import stat
import subprocess
import tempfile
import unittest

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SCRIPT = os.path.join(TOP, "scripts", "install-deps.sh")
INDEX = ("http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/"
         "Packages.xz")

# Every update: one index with the wrong size, as a mirror in mid-sync gives.
APT_GET = r"""#!/bin/sh
echo "$*" >> "$STUB_LOG"
case "$1" in
update)
  echo "Err:5 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
  echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
  echo "E: Failed to fetch %s  File has unexpected size (374820 != 376004). Mirror sync in progress?"
  echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
  exit 100 ;;
install)
  [ "$STUB_INSTALL" = ok ] && { echo "Setting up wine32:i386 ..."; exit 0; }
  # Only the release's own suite has i386 twins of the amd64 libraries.
  if [ "$STUB_INSTALL" = twins ]; then
    case "$*" in *"-t bookworm"*) exit 0 ;; *:i386*) ;; *) exit 0 ;; esac
  fi
  echo "Some packages could not be installed."
  echo "The following packages have unmet dependencies:"
  echo " wine32:i386 : Depends: libssl3:i386 but it is not going to be installed"
  echo "E: Unable to correct problems, you have held broken packages."
  exit 100 ;;
esac
""" % INDEX
STUBS = {
    "apt-get": APT_GET,
    "dpkg-query": "#!/bin/sh\nexit 1\n",  # nothing is installed
    "dpkg": "#!/bin/sh\necho \"dpkg $*\" >> \"$STUB_LOG\"\n",
    "id": "#!/bin/sh\necho 0\n",
}


class InstallDeps(unittest.TestCase):
    def run_script(self, install, which="all", runs_i386=True):
        stubs = tempfile.mkdtemp()
        for name, text in STUBS.items():
            path = os.path.join(stubs, name)
            with open(path, "w") as f:
                f.write(text)
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        log = os.path.join(stubs, "calls")
        env = dict(os.environ, PATH=stubs + ":" + os.environ["PATH"], STUB_LOG=log,
                   STUB_INSTALL=install, INSTALL_DEPS_WAIT="0",
                   PELMATIC_I386_PROBE=os.path.join(stubs, "probe"))
        with open(env["PELMATIC_I386_PROBE"], "w") as f:
            f.write("exit %d\n" % (0 if runs_i386 else 1))
        done = subprocess.run(["bash", SCRIPT, which], env=env, capture_output=True, text=True,
                              timeout=60)
        calls = open(log).read().splitlines()
        return done, calls

    def test_a_failed_index_is_retried_and_the_install_still_runs(self):
        done, calls = self.run_script("ok")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertEqual([c for c in calls if c.startswith("update")], ["update -q"] * 3)
        self.assertTrue(calls[-1].startswith("install") and "wine32:i386" in calls[-1])
        self.assertIn(" squid", calls[-1])  # the proxy the suites run the program behind
        self.assertIn("dpkg --add-architecture i386", calls)
        self.assertNotIn("FAILED", done.stderr)

    def test_without_the_i386_index_the_i386_part_comes_from_the_release(self):
        done, calls = self.run_script("twins")
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        installs = [c for c in calls if c.startswith("install")]
        self.assertEqual(len(installs), 3, installs)
        self.assertNotIn(":i386", installs[1])
        self.assertNotIn("wine", installs[1])
        self.assertIn("-t bookworm", installs[2])
        self.assertEqual(installs[2].split()[-3:], ["wine", "wine64", "wine32:i386"])

    def test_a_failed_install_names_index_packages_and_mirror(self):
        done, _ = self.run_script("fail")
        self.assertNotEqual(done.returncode, 0)
        message = done.stderr[done.stderr.index("install-deps: FAILED"):]
        self.assertIn(INDEX, message)
        self.assertIn("could not be installed: wine32:i386", message)
        self.assertIn("the Debian mirror", message)
        self.assertIn("again later", message)

    def test_a_host_without_ia32_gets_64_bit_wine_and_no_i386(self):
        done, calls = self.run_script("ok", runs_i386=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(" wine wine64", calls[-1])
        self.assertIn("g++-mingw-w64-x86-64", calls[-1])
        self.assertNotIn("i386", calls[-1].replace("mingw-w64-i686", ""))
        self.assertFalse([c for c in calls if c.startswith("dpkg")])

    def test_the_posix_set_asks_for_no_wine_and_no_i386(self):
        done, calls = self.run_script("ok", "posix")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertNotIn("wine", calls[-1])
        self.assertNotIn("mingw", calls[-1])
        self.assertNotIn("squid", calls[-1])
        self.assertFalse([c for c in calls if c.startswith("dpkg")])


if __name__ == "__main__":
    unittest.main()
