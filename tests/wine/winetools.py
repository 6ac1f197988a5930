"""Helpers for unittest-based tests that run Windows programs under Wine.

The environment comes from a harness started with
``tests/wine/harness.sh start STATE_DIR``; tests find it through the
``PELMATIC_WINE_STATE`` environment variable (the STATE_DIR).

Strings that wdriver reports are the windows' own UTF-16, carried through
JSON as UTF-8; :func:`to_bytes` gives their UTF-8 bytes, which is how the
program holds its texts.
"""

import json
import os
import shlex
import shutil
import subprocess
import tempfile
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import texts  # noqa: E402,F401
from testserver import TestServer  # noqa: E402

WDRIVER_WAIT_TIMEOUT_EXIT = 2


class WineToolError(RuntimeError):
    pass


_env_cache = None


def state_dir():
    path = os.environ.get("PELMATIC_WINE_STATE")
    if not path:
        raise WineToolError(
            "PELMATIC_WINE_STATE is not set; start the harness with "
            "tests/wine/harness.sh start STATE_DIR and export it")
    return path


def available():
    """True when a started harness is reachable (for skip decorators)."""
    path = os.environ.get("PELMATIC_WINE_STATE")
    return bool(path) and os.path.isfile(os.path.join(path, "env.sh"))


def skip_unless_harness(obj):
    return unittest.skipUnless(
        available(), "Wine harness not running (PELMATIC_WINE_STATE)")(obj)


def _read_env_sh(path):
    values = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = shlex.split(line, comments=True)
            if len(words) == 2 and words[0] == "export" and "=" in words[1]:
                name, value = words[1].split("=", 1)
                values[name] = value
    return values


def harness_vars():
    """The variables the harness exported in env.sh, as a dict."""
    global _env_cache
    path = os.path.join(state_dir(), "env.sh")
    if _env_cache is None or _env_cache[0] != path:
        if not os.path.isfile(path):
            raise WineToolError(f"{path} missing; did harness.sh start succeed?")
        _env_cache = (path, _read_env_sh(path))
    return dict(_env_cache[1])


def wine_env(extra=None):
    """os.environ overlaid with the harness variables (and ``extra``)."""
    env = dict(os.environ)
    env.update(harness_vars())
    if extra:
        env.update(extra)
    return env


def wine_loader():
    """The loader every program of the harness's prefix runs under: the
    64-bit one for a 64-bit prefix (Debian's wine would start wine32)."""
    return harness_vars().get("PELMATIC_WINE", "wine")


def wine_arch():
    """"win32" or "win64": the architecture of the harness's prefix."""
    return harness_vars().get("WINEARCH", "win32")


def _command(exe, args):
    return [wine_loader(), os.fspath(exe)] + [os.fspath(a) for a in args]


def run_wine(exe, args=(), cwd=None, timeout=60, env=None):
    """Run a Windows program to completion: (exit code, stdout, stderr).

    Output is collected through files rather than pipes: a Wine helper
    process started on the way may inherit the descriptors and would keep
    a pipe open long after the program itself has exited.  Exit codes are
    what Wine passes on, i.e. the Windows code modulo 256.  On timeout the
    program is killed and subprocess.TimeoutExpired is raised.
    """
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(_command(exe, args), cwd=cwd,
                                env=env or wine_env(),
                                stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err)
        try:
            rc = proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise
        out.seek(0)
        err.seek(0)
        return rc, out.read(), err.read()


def start_wine(exe, args=(), cwd=None, env=None, stdout=subprocess.PIPE,
               stderr=subprocess.PIPE):
    """Start a Windows program and return its Popen (the Wine process)."""
    return subprocess.Popen(_command(exe, args), cwd=cwd,
                            env=env or wine_env(),
                            stdin=subprocess.DEVNULL, stdout=stdout,
                            stderr=stderr)


def wdriver_path():
    return harness_vars()["PELMATIC_WDRIVER"]


def start_window(folder, title, *args, name="editor.exe"):
    """An application named name (a copy of the test driver) showing one
    window titled title, with wdriver window's options in args
    (--ignore-close, --marker FILE, --lifetime MS), started in folder and
    given back once its window is up."""
    exe = os.path.join(folder, name)
    shutil.copy2(wdriver_path(), exe)
    p = start_wine(exe, ["window", title] + list(args), cwd=folder)
    line = p.stdout.readline()
    if b"ready" not in line:
        raise WineToolError("%s showed no window: %r" % (name, line))
    return p


def end_programs(name):
    """Ends, by PID, every program of the prefix whose image is name."""
    for pid, exe in windows_processes().items():
        if exe.lower().endswith(name.lower()):
            wdriver_raw("kill", pid)


def _parse_lines(data):
    objs = []
    for line in data.decode("utf-8", "strict").splitlines():
        if line.strip():
            objs.append(json.loads(line))
    return objs


def wdriver_raw(*args, timeout=60):
    """Run wdriver: (exit code, parsed JSON lines, stderr bytes)."""
    rc, out, err = run_wine(wdriver_path(), [str(a) for a in args],
                            timeout=timeout)
    return rc, _parse_lines(out), err


def wdriver(*args, timeout=60):
    """Run wdriver and return its JSON lines; raises unless it exits 0."""
    rc, objs, err = wdriver_raw(*args, timeout=timeout)
    if rc != 0:
        raise WineToolError(
            f"wdriver {' '.join(map(str, args))} exited {rc}: "
            f"{err.decode('utf-8', 'replace').strip()}")
    return objs


def to_bytes(s):
    """wdriver string -> the window's text as UTF-8 bytes."""
    return s.encode("utf-8", "surrogatepass")


def _text_arg(value):
    # A title reaches wdriver through Wine's wide command line; bytes are
    # taken to be UTF-8, as the window texts are.
    if isinstance(value, bytes):
        return value.decode("utf-8")
    return value


def window_bytes(win):
    """Copy of a wdriver window record with title/text fields as bytes."""
    out = dict(win)
    for key in ("title", "text"):
        if key in out:
            out[key] = to_bytes(out[key])
    for key in ("buttons", "checks"):
        if key in out:
            out[key] = [dict(b, text=to_bytes(b["text"])) for b in out[key]]
    return out


def list_windows():
    return [window_bytes(w) for w in wdriver("list")]


def wait_box(timeout_ms=10000, title=None, cls="#32770"):
    """Wait for a visible top-level window (a message box by default).

    Returns the window record with ``title``, ``text`` and button texts as
    UTF-8 bytes, or None when nothing matched within ``timeout_ms``.
    ``title`` (str, or UTF-8 bytes) must match exactly.
    """
    args = ["wait", "--class", cls, "--timeout", str(int(timeout_ms))]
    if title is not None:
        args += ["--title", _text_arg(title)]
    rc, objs, err = wdriver_raw(*args, timeout=timeout_ms / 1000.0 + 60)
    if rc == WDRIVER_WAIT_TIMEOUT_EXIT:
        return None
    if rc != 0 or not objs:
        raise WineToolError(f"wdriver wait exited {rc}: "
                            f"{err.decode('utf-8', 'replace').strip()}")
    return window_bytes(objs[0])


def press(hwnd, button_id):
    """Press a dialog button; True when the dialog went away."""
    rc, _, err = wdriver_raw("press", int(hwnd), int(button_id))
    if rc not in (0, 1):
        raise WineToolError(f"wdriver press exited {rc}: "
                            f"{err.decode('utf-8', 'replace').strip()}")
    return rc == 0


def tick(hwnd, index=0):
    """Tick the index-th check box of a dialog (as its "checks" list them)
    as the user does; True once it shows ticked."""
    rc, _, err = wdriver_raw("check", int(hwnd), int(index))
    if rc not in (0, 1):
        raise WineToolError(f"wdriver check exited {rc}: "
                            f"{err.decode('utf-8', 'replace').strip()}")
    return rc == 0


def metrics():
    objs = wdriver("metrics")
    if len(objs) != 1:
        raise WineToolError(f"unexpected wdriver metrics output: {objs!r}")
    return objs[0]


def recorder_log_path():
    return harness_vars()["PELMATIC_RECORDER_LOG_UNIX"]


def recorder_lines():
    """Command lines the recorder saw, oldest first.

    The recorder writes them as UTF-8.
    """
    try:
        with open(recorder_log_path(), "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    return [line.decode("utf-8") for line in data.split(b"\r\n") if line]


def clear_recorder():
    try:
        os.remove(recorder_log_path())
    except FileNotFoundError:
        pass


def split_command_line(line):
    """Split a Windows command line the way the C runtime does."""
    args = []
    i, n = 0, len(line)
    while True:
        while i < n and line[i] in " \t":
            i += 1
        if i >= n:
            return args
        arg = []
        quoted = False
        while i < n and (quoted or line[i] not in " \t"):
            c = line[i]
            if c == "\\":
                j = i
                while j < n and line[j] == "\\":
                    j += 1
                count = j - i
                if j < n and line[j] == '"':
                    arg.append("\\" * (count // 2))
                    if count % 2:
                        arg.append('"')
                        i = j + 1
                    else:
                        i = j
                    continue
                arg.append("\\" * count)
                i = j
                continue
            if c == '"':
                if quoted and i + 1 < n and line[i + 1] == '"':
                    arg.append('"')
                    i += 2
                    continue
                quoted = not quoted
                i += 1
                continue
            arg.append(c)
            i += 1
        args.append("".join(arg))


def recorder_targets():
    """What was handed to the shell: each recorded line's arguments."""
    return [split_command_line(line)[1:] for line in recorder_lines()]


def wait_recorded(predicate, timeout=10.0):
    """Poll the recorder log until predicate(lines) holds; returns lines.

    The shell launches the handler asynchronously, so a program can have
    exited before its URL or document reaches the log.
    """
    deadline = time.monotonic() + timeout
    while True:
        lines = recorder_lines()
        if predicate(lines) or time.monotonic() >= deadline:
            return lines
        time.sleep(0.05)


def unix_to_wine_path(p):
    """Unix path -> the same file through Wine's Z: drive."""
    return "Z:" + os.path.abspath(os.fspath(p)).replace("/", "\\")


def wine_to_unix_path(p):
    """C:\\... or Z:\\... -> the Unix path of that file in this prefix."""
    p = os.fspath(p)
    if len(p) < 2 or p[1] != ":":
        raise ValueError(f"not a drive path: {p!r}")
    drive, rest = p[0].lower(), p[2:].replace("\\", "/")
    if drive == "z":
        return rest or "/"
    root = os.path.join(harness_vars()["WINEPREFIX"], "dosdevices", drive + ":")
    return os.path.realpath(root) + rest


def mingw_cc():
    """The C cross compiler for the prefix's architecture."""
    default = ("x86_64" if wine_arch() == "win64" else "i686") + "-w64-mingw32-gcc-posix"
    return os.environ.get("MINGW_CC") or harness_vars().get("MINGW_CC", default)


def mingw_cxx():
    return mingw_cc().replace("-gcc", "-g++")


def compile_c(source, out_dir, name, flags=("-O2", "-static"), libs=()):
    """Compile a throwaway Windows program from a C source string.

    Returns the path of the .exe; raises WineToolError with the compiler's
    output when it fails.
    """
    if not shutil.which(mingw_cc()):
        raise WineToolError(f"cross compiler {mingw_cc()} not found")
    src = os.path.join(out_dir, name + ".c")
    exe = os.path.join(out_dir, name + ".exe")
    with open(src, "wb") as f:
        f.write(source.encode("latin-1") if isinstance(source, str) else source)
    cmd = [mingw_cc(), *flags, "-o", exe, src, *libs]
    res = subprocess.run(cmd, capture_output=True)
    if res.returncode != 0:
        raise WineToolError(f"{' '.join(cmd)} failed:\n"
                            f"{res.stderr.decode('utf-8', 'replace')}")
    return exe


# A stand-in installer: records its own full path, in UTF-8, in the file
# that PELMATIC_TEST_MARKER names (a Windows path), so a test sees that it
# ran and from where.
INSTALLER_SRC = r"""
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
int main(void)
{
    wchar_t self[MAX_PATH], marker[MAX_PATH];
    char utf8[4 * MAX_PATH];
    FILE *f;
    DWORD n = GetModuleFileNameW(NULL, self, MAX_PATH);
    if (!GetEnvironmentVariableW(L"PELMATIC_TEST_MARKER", marker, MAX_PATH) ||
        !(f = _wfopen(marker, L"wb")))
        return 1;
    n = WideCharToMultiByte(CP_UTF8, 0, self, (int)n, utf8, sizeof utf8, NULL, NULL);
    fwrite(utf8, 1, n, f);
    fclose(f);
    return 0;
}
"""


_installer = None


def installer_program():
    """The bytes of the stand-in installer of INSTALLER_SRC, compiled once
    for the whole run."""
    global _installer
    if _installer is None:
        build = tempfile.mkdtemp(prefix="pelmatic-wine-installer-")
        try:
            with open(compile_c(INSTALLER_SRC, build, "setup"), "rb") as f:
                _installer = f.read()
        finally:
            shutil.rmtree(build, ignore_errors=True)
    return _installer


def show_contents(app, archive, files):
    """What the shell double shows for the archive named archive in the
    folder app: the files beside it, in a folder of its name + .contents."""
    contents = os.path.join(app, archive + ".contents")
    for name, data in files.items():
        path = os.path.join(contents, *name.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def reap(procs):
    """End the given Wine processes that still run and close their pipes."""
    for p in procs:
        if p.poll() is None:
            p.kill()
        p.wait(timeout=30)
        for stream in (p.stdin, p.stdout, p.stderr):
            if stream:
                stream.close()


# ---- the system's proxy -----------------------------------------------------

# What WinINet's INTERNET_OPEN_TYPE_PRECONFIG reads: the user's settings.
INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
PROXY_VALUES = ("ProxyEnable", "ProxyServer")


def _proxy_values():
    """{name: (type, data)} of the proxy values the user's settings hold."""
    found = {}
    for name in PROXY_VALUES:
        code, out, _ = run_wine("reg", ["query", INTERNET_SETTINGS, "/v", name])
        for line in out.decode("latin-1").splitlines():
            words = line.split(None, 2)
            if len(words) >= 2 and words[0] == name and words[1].startswith("REG_"):
                found[name] = (words[1], words[2].strip() if len(words) > 2 else "")
    return found


def _reg(*args):
    code, out, err = run_wine("reg", list(args))
    if code != 0:
        raise WineToolError("reg %s exited %d: %r %r" % (" ".join(args), code, out, err))


def set_system_proxy(server):
    """Makes server ("127.0.0.1:3128") the prefix's proxy for every program
    started from now on, as a user sets it in the Internet options. Gives
    back the function that puts the values as they were (Wine writes
    ProxyEnable=0 itself where it finds none) and checks that it did; a
    test registers it with addCleanup, so that no later test meets the
    proxy."""
    before = _proxy_values()
    _reg("add", INTERNET_SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD", "/d", "1", "/f")
    _reg("add", INTERNET_SETTINGS, "/v", "ProxyServer", "/t", "REG_SZ", "/d", server, "/f")

    def restore():
        for name in PROXY_VALUES:
            if name in before:
                kind, data = before[name]
                _reg("add", INTERNET_SETTINGS, "/v", name, "/t", kind, "/d",
                     str(int(data, 16)) if kind == "REG_DWORD" else data, "/f")
            else:
                _reg("delete", INTERNET_SETTINGS, "/v", name, "/f")
        after = _proxy_values()
        if after != before:
            raise WineToolError("the proxy settings are %r, not %r as before" % (after, before))
    return restore


# ---- what the Wine suites of PELMATIC.EXE share ------------------------------

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def _windows_build():
    """The Windows build the prefix runs: build/windows (32-bit) or
    build/windows64, or the folders CTest names for them."""
    if available() and wine_arch() == "win64":
        return os.environ.get("PELMATIC_WINDOWS64_DIR") or os.path.join(TOP, "build", "windows64")
    return os.environ.get("PELMATIC_WINDOWS_DIR") or os.path.join(TOP, "build", "windows")


EXE = os.environ.get("PELMATIC_EXE") or os.path.join(_windows_build(), "PELMATIC.EXE")
# The build for the other machine type, which the prefix may not run.
OTHER_BUILD = (os.environ.get("PELMATIC_WINDOWS_DIR") or os.path.join(TOP, "build", "windows")
               if available() and wine_arch() == "win64" else
               os.environ.get("PELMATIC_WINDOWS64_DIR") or os.path.join(TOP, "build", "windows64"))
# The "Application Error" box writes every digit of the code address.
ADDRESS_DIGITS = 16 if available() and wine_arch() == "win64" else 8
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7
WS_EX_TOPMOST = 0x8
HOME = "http://127.0.0.1:9/home/"


def ini_bytes(url_file, ver_now="2.30", **extra):
    """pelmatic.ini for the product "editor" served at url_file."""
    keys = dict(ver_now=ver_now, ver_file="editor", url_file=url_file, url_down=HOME, **extra)
    return b"[Check]\r\n" + b"".join(b"%s=%s\r\n" % (k.encode(), v.encode())
                                    for k, v in keys.items())


# The prefix's own processes, which come and go as Wine needs them.
WINE_SYSTEM_PROGRAMS = {"services.exe", "winedevice.exe", "plugplay.exe", "explorer.exe",
                        "svchost.exe", "rpcss.exe", "conhost.exe", "wineboot.exe",
                        "start.exe", "wdriver.exe", "reg.exe", "tabtip.exe"}


def windows_processes():
    """{pid: image name} of the prefix's running Windows programs."""
    return {o["pid"]: o["exe"] for o in wdriver("ps")}


def temp_folder():
    """The prefix's temporary folder, as a Unix path."""
    return harness_vars()["PELMATIC_WINE_TEMP_UNIX"]


def state_folder():
    """Where the prefix's PelMatic keeps the user's choices, as a Unix path."""
    return os.path.join(harness_vars()["PELMATIC_WINE_LOCALAPPDATA_UNIX"], "PelMatic")


def end_leftovers(before, grace=5.0):
    """Programs that a case started, directly or through the shell (the
    recorder, an installer, the self-replacement script), are given grace
    seconds to end and are then ended by their PID: none of them may touch
    the next case's recorder log, folder or single-instance count."""
    deadline = time.monotonic() + grace
    while True:
        left = {pid: exe for pid, exe in windows_processes().items()
                if pid not in before and exe.lower() not in WINE_SYSTEM_PROGRAMS}
        if not left or time.monotonic() >= deadline:
            break
        time.sleep(0.2)
    for pid, exe in left.items():
        sys.stderr.write("  ended %s (%d), left running by the case\n" % (exe, pid))
        wdriver_raw("kill", pid)
    return left


def set_user_environment(name, value):
    """Sets a value of HKCU\\Environment, which the prefix's programs take
    into their environment when they start; None removes it. Gives back
    what it was, for the next call to put back."""
    key = "HKCU\\Environment"
    code, out, _ = run_wine("reg", ["query", key, "/v", name])
    before = None
    if code == 0:
        for line in out.decode("utf-8", "replace").splitlines():
            words = line.split(None, 2)
            if len(words) == 3 and words[0] == name:
                before = (words[1], words[2].strip())
    if value is None:
        run_wine("reg", ["delete", key, "/v", name, "/f"])
    else:
        kind, data = value
        run_wine("reg", ["add", key, "/v", name, "/t", kind, "/d", data, "/f"])
    return before


class AppFolderCase(unittest.TestCase):
    """Each test gets a fresh application folder holding PELMATIC.EXE
    (self.app, self.exe) and a cleared recorder; the programs it starts
    through start(), and whatever they started, are ended after it, and
    what it left in the prefix's temporary folder is taken away.

    FOLDER, when a class sets it, places the application folder on the
    prefix's drive C under those names instead (C:\\Программы\\Редактор);
    TEMP, the temporary folder too, for the class's tests alone."""

    FOLDER = None
    TEMP = None

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="pelmatic-wine-")
        self.addCleanup(shutil.rmtree, self.root, True)
        if self.FOLDER:
            drive = os.path.join(harness_vars()["WINEPREFIX"], "drive_c")
            top = os.path.join(drive, self.FOLDER[0])
            self.assertFalse(os.path.exists(top), "a folder of the name is there already")
            self.addCleanup(shutil.rmtree, top, True)
            self.app = os.path.join(drive, *self.FOLDER)
            os.makedirs(self.app)
        else:
            self.app = os.path.join(self.root, "app")
            os.mkdir(self.app)
        # The folder as the program sees it, with its backslash.
        self.app_dir = ("C:\\" + "\\".join(self.FOLDER) if self.FOLDER
                        else unix_to_wine_path(self.app)) + "\\"
        self.exe = os.path.join(self.app, "PELMATIC.EXE")
        shutil.copy2(EXE, self.exe)
        clear_recorder()
        if self.TEMP:
            os.makedirs(wine_to_unix_path(self.TEMP), exist_ok=True)
            self.addCleanup(shutil.rmtree, wine_to_unix_path(self.TEMP), True)
            for name in ("TMP", "TEMP"):
                before = set_user_environment(name, ("REG_SZ", self.TEMP))
                self.addCleanup(set_user_environment, name, before)
        temp = wine_to_unix_path(self.TEMP) if self.TEMP else temp_folder()
        temp_before = set(os.listdir(temp))
        self.addCleanup(self.clear_temp, temp, temp_before)
        # The choices the case's runs kept go with it.
        os.makedirs(state_folder(), exist_ok=True)
        self.addCleanup(self.clear_temp, state_folder(), set(os.listdir(state_folder())))
        processes_before = windows_processes()
        self.addCleanup(end_leftovers, processes_before)
        self.procs = []
        self.addCleanup(self.reap)

    def reap(self):
        reap(self.procs)

    @staticmethod
    def clear_temp(temp, before):
        for name in set(os.listdir(temp)) - before:
            path = os.path.join(temp, name)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.remove(path)

    def write_ini(self, url_file, **keys):
        self.ini = ini_bytes(url_file, **keys)
        with open(os.path.join(self.app, "pelmatic.ini"), "wb") as f:
            f.write(self.ini)

    def start(self, *args, env=None):
        p = start_wine(self.exe, list(args), cwd=self.app, env=env)
        self.procs.append(p)
        return p

    def box(self, caption, timeout_ms=20000):
        b = wait_box(timeout_ms, title=caption.decode("utf-8"))
        self.assertIsNotNone(b, "no message box titled %r appeared" % caption)
        return b


class ServedAppFolderCase(AppFolderCase):
    """An AppFolderCase with a test server for the class (self.server, its
    folder self.served), its faults and log cleared for each test."""

    @classmethod
    def setUpClass(cls):
        cls.served = tempfile.mkdtemp(prefix="pelmatic-wine-served-")
        cls.server = TestServer(cls.served)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.served, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.server.set_faults({})
        self.server.clear_log()

    def serve(self, name, data):
        with open(os.path.join(self.served, name), "wb") as f:
            f.write(data)

    def configure(self, ver_now="2.30", **extra):
        self.write_ini(self.server.url, ver_now=ver_now, **extra)
