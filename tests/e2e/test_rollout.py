"""Staged releases end to end on the POSIX build: the real program on
machines with ids of the test's choosing, each in a mount namespace of its
own where /etc holds that id (an overlay: the machine's own files stay as
they are), offered a release exactly when the bucket formula says so.

The expected buckets are computed here with hashlib, apart from the
program's code."""

import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import unittest
import uuid

from e2e.support import (BIN, HOME, AppFolder, homepage_question, other_checkers_running,
                         ServedCase, up_to_date, wait_for)

AS_ROOT = os.geteuid() == 0
TOOL = os.path.join(os.path.dirname(os.path.abspath(BIN)), "pelmatic-tool")
NOTES = b"Staged."

# Inside the namespace: /etc (and the D-Bus folder, where there is one)
# become overlays, the id files go, and the test's id, if any, is written.
IN_NAMESPACE = r'''
set -e
over() { mkdir -p "$WORK/$2-up" "$WORK/$2-work"
         mount -t overlay overlay -o "lowerdir=$1,upperdir=$WORK/$2-up,workdir=$WORK/$2-work" "$1"; }
over /etc etc
if [ -d /var/lib/dbus ]; then over /var/lib/dbus dbus; fi
rm -f /etc/machine-id /var/lib/dbus/machine-id
if [ -n "$MACHINE_ID" ]; then printf '%s\n' "$MACHINE_ID" > /etc/machine-id; fi
exec "$@"
'''


def bucket(machine_id, product, version):
    digest = hashlib.sha256(("%s\n%s\n%s" % (machine_id, product, version)).encode()).digest()
    return int.from_bytes(digest[:4], "big") % 10000


def ids(count):
    """Machine ids of both forms Linux and Windows store, from a fixed seed."""
    made = []
    for i in range(count):
        u = uuid.UUID(bytes=hashlib.md5(b"machine %d" % i).digest())
        made.append(u.hex if i % 2 else str(u))
    return made


def moment(seconds_from_now):
    t = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=seconds_from_now)
    return t.strftime("%Y-%m-%dT%H:%M:%SZ")


class Machine(AppFolder):
    """An application folder on a machine whose id is machine_id (None:
    a machine with no id at all)."""

    def run_as(self, machine_id, option=None, answers=b"", timeout=60):
        """Runs the program; no answers: end of input cancels a question
        and closes a notice. The program steps aside silently while another
        PELMATIC.EXE runs, as one a neighbouring test left may."""
        wait_for(lambda: not other_checkers_running(), 60)
        work = os.path.join(self.root, "ns")
        shutil.rmtree(work, ignore_errors=True)
        os.mkdir(work)
        env = self.env()
        env.update(WORK=work, MACHINE_ID=machine_id or "")
        args = ["unshare", "--mount", "sh", "-c", IN_NAMESPACE, "sh", self.exe]
        if option is not None:
            args.append(option)
        p = subprocess.run(args, input=answers, capture_output=True, timeout=timeout,
                           cwd=self.root, env=env)
        return p.returncode, p.stdout, p.stderr


@unittest.skipUnless(AS_ROOT, "a private mount namespace needs root")
class StagedRelease(ServedCase):
    def setUp(self):
        super().setUp()
        self.app = Machine()
        self.addCleanup(self.app.cleanup)
        self.app.ini(ver_now="2.30", ver_file="editor", url_file=self.server.url, url_down=HOME)

    def publish(self, rollout_lines, local=False):
        manifest = b"ver=2.31\r\nmode=1\r\nmsg=" + NOTES + b"<>\r\n" + rollout_lines
        if local:
            self.app.write("editor.ver", manifest)
        else:
            with open(os.path.join(self.served, "editor.ver"), "wb") as f:
                f.write(manifest)

    def outcome(self, machine_id, option=None):
        """'offered' or 'up to date', and exactly one of them."""
        code, out, err = self.app.run_as(machine_id, option)
        self.assertEqual(code, 0, err)
        if out == homepage_question(notes=NOTES):
            return "offered"
        if out == up_to_date(b"editor", b"2.30", b"2.30"):
            return "up to date"  # the remote version named is the installed one
        if out == b"" and option and "@" in option:
            return "silent"
        self.fail("unexpected transcript for %r: %r" % (machine_id, out))

    def check_share(self, machines, share, option=None, until=None):
        """Each machine is offered the release exactly when its bucket is
        below share (in percent). A ramp grows while the runs go on: until,
        the share at the end of the runs, leaves out the few buckets that
        the ramp passes meanwhile."""
        low, high = int(share * 100 + 1e-9), int((until or share) * 100 + 1e-9)
        offered = checked = 0
        for machine_id in machines:
            b = bucket(machine_id, "editor", "2.31")
            if low <= b < high:
                continue
            got = self.outcome(machine_id, option)
            self.assertEqual(got, "offered" if b < low else "up to date",
                             "%s (bucket %d) at %s %%" % (machine_id, b, share))
            offered += b < low
            checked += 1
        sys.stderr.write("  share %s %%: %d of %d machines offered (%.1f %%)\n"
                         % (share, offered, checked, 100.0 * offered / checked))
        return offered

    def test_offered_exactly_when_the_bucket_is_below_the_share(self):
        machines = ids(200)
        self.publish(b"rollout=10\r\n")
        offered = self.check_share(machines, 10)
        # The ids spread: a tenth of them, give or take what 200 draws allow.
        self.assertTrue(8 <= offered <= 32, offered)
        self.publish(b"rollout=37.5\r\n", local=True)
        self.check_share(machines[:60], 37.5, option="n")

    def test_a_ramp_half_way_before_its_start_and_after_its_end(self):
        machines = ids(60)
        # Started 50 of 100 hours ago: 10 % plus half of the other 90, and
        # 0.025 % more every second from then on.
        self.publish(b"rollout=10\r\nrollout_start=%s\r\nrollout_hours=100\r\n"
                     % moment(-50 * 3600).encode())
        self.check_share(machines, 55, until=55 + 0.025 * 120)
        self.publish(b"rollout=10\r\nrollout_start=%s\r\nrollout_hours=100\r\n"
                     % moment(86400).encode())
        self.check_share(machines[:30], 10)
        self.publish(b"rollout=0\r\nrollout_start=%s\r\nrollout_hours=24\r\n"
                     % moment(-25 * 3600).encode())
        self.check_share(machines[:30], 100)

    def test_share_zero_force_silence_and_malformed_keys(self):
        machine = ids(1)[0]
        self.publish(b"rollout=0\r\n")
        self.assertEqual(self.outcome(machine), "up to date")
        self.assertEqual(self.outcome(machine, "@"), "silent")
        # The user who asks gets the update: f offers it whatever the share.
        code, out, _ = self.app.run_as(machine, "f")
        self.assertEqual(out, homepage_question(old=b"0", notes=NOTES))
        for lines in [b"rollout=ten\r\n", b"rollout=100.5\r\n", b"rollout=\r\n",
                      b"rollout=50\r\nrollout_hours=24\r\n",
                      b"rollout=50\r\nrollout_start=yesterday\r\nrollout_hours=24\r\n"]:
            with self.subTest(lines):
                self.publish(lines)
                # A staged release whose keys cannot be read reaches nobody.
                self.assertEqual(self.outcome(machine), "up to date")

    def test_a_machine_without_an_id_is_offered_every_release(self):
        self.publish(b"rollout=0.01\r\n")
        self.assertEqual(self.outcome(None), "offered")
        self.assertEqual(self.outcome(""), "offered")

    def test_the_tool_agrees_with_the_program(self):
        self.publish(b"rollout=25\r\n")
        for machine_id in ids(25):
            p = subprocess.run([TOOL, "rollout", "--product", "editor", "--ver", "2.31",
                                "--machine-id", machine_id, "--share", "25"],
                               capture_output=True, check=True)
            said = b"share 25 %: offered\n" in p.stdout
            self.assertIn(b"bucket: %d of 10000" % bucket(machine_id, "editor", "2.31"), p.stdout)
            self.assertEqual(said, self.outcome(machine_id) == "offered", machine_id)


if __name__ == "__main__":
    unittest.main()
