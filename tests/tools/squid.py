"""A real Squid from Debian on 127.0.0.1, as a caching proxy in front of the
test servers, for the suites that run the program behind a proxy.

    with Squid() as proxy:
        proxy.url             # http://127.0.0.1:PORT/, caches and forwards
        proxy.auth_url        # asks for credentials (407); USER and PASSWORD pass
        proxy.deny_url        # refuses every request (403)
        proxy.down_url        # a port nobody listens on
        proxy.access()        # its access log, oldest first

Everything it has is its own: configuration, cache, logs and PID file live
in a temporary folder that goes with it, so no run sees what another left
in a cache. It reads from the origin for at most read_timeout seconds, so
that an origin that hangs gets the proxy's 504 soon. Its error pages (407,
403, 502, 504, ...) read as a manifest that announces ERROR_PAGE_VERSION:
a program that took one for the manifest would say so.

A Squid that cannot be started raises SquidError with its own words: the
suites fail on it rather than skip.
"""

import atexit
import hashlib
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

from testserver import end

SQUID = os.environ.get("PELMATIC_SQUID", "/usr/sbin/squid")
HELPERS = "/usr/lib/squid"
TEMPLATES = "/usr/share/squid/errors/templates"
USER, PASSWORD = "pelmatic", "proxy-secret"
ERROR_PAGE_VERSION = b"9.99"
ERROR_PAGE = (b"ver=" + ERROR_PAGE_VERSION + b"\r\nfile=editor999.zip\r\n"
              b"msg=A page of the proxy's.<>\r\n")

# One line per answer: the result (TCP_MISS, TCP_MEM_HIT, ...), the status,
# what was asked for, by whom, and where it came from (HIER_DIRECT: the
# origin).
# A transfer cut off behind the proxy, as both builds' suites play it: a
# name, the origin's fault on the file, and the Range each of the
# program's requests must carry (None: the whole file).
_CUT = {"cut": 3 << 20, "times": 1}
RESUME_CASES = [
    ("cut and resumed", _CUT, [None, "bytes=%d-" % (3 << 20)]),
    ("a 206 that starts elsewhere", dict(_CUT, then={"wrong_range": "start"}),
     [None, "bytes=%d-" % (3 << 20), None]),
]

LOG_FORMAT = ('%ts.%03tu %Ss %>Hs %rm %ru "%{User-Agent}>h" "%{Range}>h" "%{Cache-Control}>h" '
              '"%{Pragma}>h" %Sh')

CONFIG = """\
http_port 127.0.0.1:{port}
http_port 127.0.0.1:{auth_port} name=auth
http_port 127.0.0.1:{deny_port} name=deny
visible_hostname pelmatic-test-proxy
pid_filename {dir}/squid.pid
cache_dir ufs {dir}/cache 64 4 4
coredump_dir {dir}
cache_log {dir}/cache.log
logformat pelmatic {log_format}
access_log stdio:{dir}/access.log pelmatic
cache_store_log none
error_directory {dir}/errors
netdb_filename none
icp_port 0
htcp_port 0
pinger_enable off
shutdown_lifetime 1 second
read_timeout {read_timeout} seconds
cache_mem 32 MB
maximum_object_size 64 MB
refresh_pattern . 0 20% 4320

auth_param basic program {helpers}/basic_ncsa_auth {dir}/passwd
auth_param basic realm PelMatic test proxy
acl auth_port myportname auth
acl deny_port myportname deny
acl signed_in proxy_auth REQUIRED
http_access deny deny_port
http_access deny auth_port !signed_in
http_access allow all
"""


class SquidError(RuntimeError):
    pass


def free_ports(count):
    """count ports nothing listens on just now (the kernel's pick)."""
    holders = []
    try:
        for _ in range(count):
            s = socket.socket()
            s.bind(("127.0.0.1", 0))
            holders.append(s)
        return [s.getsockname()[1] for s in holders]
    finally:
        for s in holders:
            s.close()


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class Squid:
    # Keeps unittest from mistaking this helper for a test case.
    __test__ = False

    def __init__(self, read_timeout=3, startup_timeout=30.0):
        if not os.access(SQUID, os.X_OK):
            raise SquidError("%s is missing: install Debian's squid (make deps installs it)" % SQUID)
        self.proc = None
        self.dir = tempfile.mkdtemp(prefix="pelmatic-squid-")
        atexit.register(self.stop)
        try:
            self._prepare()
            # The ports are free when picked; another program may take one
            # before Squid binds it, so a failed start is tried with others.
            for attempt in range(3):
                if self._start(read_timeout, startup_timeout):
                    return
            raise SquidError("squid did not start; its log:\n" + self.cache_log())
        except BaseException:
            self.stop()
            raise

    def _prepare(self):
        os.chmod(self.dir, 0o755)
        try:
            hashed = subprocess.run(["openssl", "passwd", "-apr1", PASSWORD], capture_output=True,
                                    text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError) as e:
            raise SquidError("openssl could not make the proxy's password file: %s" % e) from None
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            f.write("%s:%s\n" % (USER, hashed))
        errors = os.path.join(self.dir, "errors")
        os.mkdir(errors)
        try:
            names = os.listdir(TEMPLATES)
        except OSError as e:
            raise SquidError("squid's error pages are missing (%s)" % e) from None
        for name in names:
            with open(os.path.join(errors, name), "wb") as f:
                f.write(ERROR_PAGE)
        # As root Squid gives its rights up for its own user's; that user
        # must be able to write the folder.
        self.owner = None
        if os.geteuid() == 0:
            try:
                entry = pwd.getpwnam("proxy")
            except KeyError:
                raise SquidError("squid runs as the user proxy, which this machine lacks") from None
            self.owner = (entry.pw_uid, entry.pw_gid)
            os.chown(self.dir, *self.owner)
            os.chown(os.path.join(self.dir, "passwd"), *self.owner)

    def _start(self, read_timeout, startup_timeout):
        self.port, self.auth_port, self.deny_port, self.down_port = free_ports(4)
        self.conf = os.path.join(self.dir, "squid.conf")
        with open(self.conf, "w") as f:
            f.write(CONFIG.format(port=self.port, auth_port=self.auth_port,
                                  deny_port=self.deny_port, dir=self.dir, helpers=HELPERS,
                                  log_format=LOG_FORMAT, read_timeout=read_timeout))
        cache = os.path.join(self.dir, "cache")
        if not os.path.isdir(cache):
            made = subprocess.run([SQUID, "-N", "-z", "-f", self.conf], capture_output=True,
                                  timeout=60)
            if made.returncode != 0 or not os.path.isdir(cache):
                raise SquidError("squid -z could not make its cache: %s\n%s" % (
                    (made.stdout + made.stderr).decode(errors="replace"), self.cache_log()))
        with open(os.path.join(self.dir, "output.txt"), "wb") as out:
            # -N: in the foreground, so that the PID is Squid's own.
            self.proc = subprocess.Popen([SQUID, "-N", "-f", self.conf], stdin=subprocess.DEVNULL,
                                         stdout=out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + startup_timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                self.proc = None
                return False
            if all(listening(p) for p in (self.port, self.auth_port, self.deny_port)):
                self.url = "http://127.0.0.1:%d/" % self.port
                self.auth_url = "http://127.0.0.1:%d/" % self.auth_port
                self.deny_url = "http://127.0.0.1:%d/" % self.deny_port
                self.down_url = "http://127.0.0.1:%d/" % self.down_port
                return True
            time.sleep(0.1)
        self._end()
        raise SquidError("squid did not listen within %d s; its log:\n%s"
                         % (startup_timeout, self.cache_log()))

    def cache_log(self):
        text = ""
        for name in ("output.txt", "cache.log"):
            try:
                with open(os.path.join(self.dir, name), encoding="utf-8", errors="replace") as f:
                    text += f.read()
            except (FileNotFoundError, TypeError):
                pass
        return text[-4000:]

    def access(self, wait=5.0, count=0):
        """The access log as dicts (cached, result, status, method, url,
        agent, range, cache_control, pragma, hierarchy), oldest first; waits at
        most wait seconds for at least count lines."""
        deadline = time.monotonic() + wait
        while True:
            entries = self._read_access()
            if len(entries) >= count or time.monotonic() >= deadline:
                return entries
            time.sleep(0.05)

    def _read_access(self):
        try:
            with open(os.path.join(self.dir, "access.log"), encoding="utf-8",
                      errors="replace") as f:
                lines = f.read().split("\n")
        except FileNotFoundError:
            return []
        entries = []
        for line in lines[:-1]:  # the last one is "" or still being written
            head, quoted = line.split('"', 1)
            _, result, status, method, url = head.split()
            if url.startswith("error:"):
                continue  # a connection that asked nothing: start-up's probes
            fields = quoted.split('" "')
            last, hierarchy = fields[-1].rsplit('"', 1)
            agent, range_, cache_control, pragma = fields[:-1] + [last]
            entries.append({
                # Squid's word for it, with a tail such as _ABORTED when the
                # client hung up first; cached: the cache answered, the
                # origin was not asked.
                "cached": "HIT" in result.split("_"),
                "result": result, "status": int(status), "method": method, "url": url,
                "agent": agent, "range": range_, "cache_control": cache_control,
                "pragma": pragma, "hierarchy": hierarchy.strip().split("/")[0],
            })
        return entries

    def answers(self, url, agent="Pelmatic", count=1):
        """The access log's lines for url asked by agent (None: anyone)."""
        deadline = time.monotonic() + 5
        while True:
            found = [e for e in self._read_access()
                     if e["url"] == url and (agent is None or e["agent"] == agent)]
            if len(found) >= count or time.monotonic() >= deadline:
                return found
            time.sleep(0.05)

    def fetch(self, url):
        """(status, body) of a plain GET of url through the proxy, as a
        neighbour's browser would make it: with no word about caches."""
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({"http": self.url}))
        opener.addheaders = [("User-Agent", "neighbour")]
        try:
            with opener.open(url, timeout=30) as answer:
                return answer.status, answer.read()
        except urllib.error.HTTPError as e:
            return e.code, e.read()

    def _end(self):
        proc, self.proc = self.proc, None
        end(proc, 15)

    def stop(self):
        """Stops Squid by its PID and takes its folder away; safe twice."""
        atexit.unregister(self.stop)
        self._end()
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)
            self.dir = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.stop()
        return False


# Answers every cache may keep for an hour, as a CDN's are.
CDN = "public, max-age=3600"


def binding(data):
    """The manifest's lines that bind the update file to data."""
    return b"sha256=%s\r\nsize=%d\r\n" % (hashlib.sha256(data).hexdigest().encode(), len(data))


class Origin:
    """A test server (the suite's own make_server) behind a Squid, for a
    whole suite, serving a folder of its own with CDN's answers. A Squid
    that does not start fails the suite: never a silent skip."""

    def __init__(self, make_server, prefix):
        self.squid = Squid()
        self.served = tempfile.mkdtemp(prefix=prefix)
        try:
            self.server = make_server(self.served, cache_control=CDN)
        except BaseException:
            self.squid.stop()
            shutil.rmtree(self.served, ignore_errors=True)
            raise

    def stop(self):
        try:
            self.server.stop()
            shutil.rmtree(self.served, ignore_errors=True)
        finally:
            self.squid.stop()


class OriginFolders:
    """For a test case whose self.origin is an Origin: a folder of the
    server's for each test (place), so that nothing the proxy keeps from one
    test is asked for by another, and what the server and the proxy saw."""

    def place(self, name):
        self.where = name + "/"
        os.makedirs(os.path.join(self.origin.served, self.where), exist_ok=True)
        self.url = self.origin.server.url + self.where

    def serve(self, name, data):
        with open(os.path.join(self.origin.served, self.where, name), "wb") as f:
            f.write(data)

    def asked(self, name):
        """The origin's requests for name."""
        return [r for r in self.origin.server.requests() if r["path"] == "/" + self.where + name]

    def through_proxy(self, name, count=1):
        """The proxy's lines for the program's requests of name."""
        return self.origin.squid.answers(self.url + name, count=count)

    def assert_past_the_cache(self, name, asked_before):
        """The program's one request for name went past the proxy's cache to
        the origin, whose requests after the first asked_before it is."""
        [ours] = self.through_proxy(name)
        self.assertFalse(ours["cached"], ours)
        self.assertEqual((ours["hierarchy"], ours["cache_control"], ours["pragma"]),
                         ("HIER_DIRECT", "no-cache", "no-cache"))
        # Each header once: the server's log joins repeated ones with ", ".
        origin = self.asked(name)[asked_before:]
        self.assertEqual([(r["headers"].get("User-Agent"), r["headers"].get("Cache-Control"),
                           r["headers"].get("Pragma")) for r in origin],
                         [("Pelmatic", "no-cache", "no-cache")])
