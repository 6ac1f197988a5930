#!/usr/bin/env python3
"""make bench: each measured step of PelMatic beside the best tool for the
same job, in the same run, on the same files. Prints a table and writes
bench/results.md. Figures are medians of several runs with min and max."""

import filecmp
import hashlib
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "tools"))
from testserver import TestServer  # noqa: E402

BENCH = os.path.join(TOP, "build", "posix-release", "pelmatic_bench")
RUNS = int(os.environ.get("PELMATIC_BENCH_RUNS", "5"))
MIB = 1 << 20


def bench_fields(*args):
    out = subprocess.run([BENCH] + list(args), capture_output=True, text=True, check=True).stdout
    return dict(f.split("=") for f in out.split()[1:])


def fresh(path):
    """No file of that name (nor a part of it) before a download: each
    download writes a new file, as an update's does, and the old one's
    pages do not weigh on the next."""
    for name in (path, path + ".part", path + ".resume"):
        if os.path.exists(name):
            os.remove(name)
    return path


def bench(*args):
    if args[0] == "download":
        fresh(args[2])
    fields = bench_fields(*args)
    return float(fields["seconds"]), int(fields["peak_rss_kib"]), fields["result"]


def timed(cmd):
    if cmd[0] == "curl" and "-o" in cmd and cmd[cmd.index("-o") + 1] != os.devnull:
        fresh(cmd[cmd.index("-o") + 1])
    start = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def spread(values, fmt="%.3f"):
    return (fmt + " (min " + fmt + ", max " + fmt + ")") % (
        statistics.median(values), min(values), max(values))


def make_file(path, size):
    # Real bytes, not a sparse file: the server must read what it sends.
    with open(path, "wb") as f:
        block = os.urandom(MIB)
        for _ in range(size // MIB):
            f.write(block)


def download_rows(server, root, work):
    rows = []
    for name, size in (("1mib.bin", MIB), ("1gib.bin", 1024 * MIB)):
        make_file(os.path.join(root, name), size)
    rss = {}
    for name in ("1mib.bin", "1gib.bin"):
        runs = [bench("download", server.url + name, os.path.join(work, "out.bin")) for _ in range(RUNS)]
        rss[name] = [r[1] for r in runs]
        if name == "1gib.bin":
            ours = [1024 / r[0] for r in runs]
            curl = [1024 / timed(["curl", "-s", "-o", os.path.join(work, "curl.bin"),
                                  server.url + name]) for _ in range(RUNS)]
    growth = [b - a for a, b in zip(rss["1mib.bin"], rss["1gib.bin"])]
    ratio = statistics.median(ours) / statistics.median(curl)
    rows.append(("`DownloadFile`, 1 GiB", "%s MiB/s" % spread(ours, "%.0f"),
                 "curl -o: %s MiB/s" % spread(curl, "%.0f"),
                 "ratio %.2f (target >= 0.9)" % ratio))
    rows.append(("`DownloadFile`, peak RSS 1 GiB vs 1 MiB",
                 "%s KiB more" % spread(growth, "%.0f"),
                 "1 MiB download: %s KiB" % spread(rss["1mib.bin"], "%.0f"),
                 "within 8 MiB: %s" % ("yes" if max(growth) <= 8192 else "NO")))
    # A verified download: the digest taken while writing, against curl and
    # a second read by sha256sum.
    big = os.path.join(root, "1gib.bin")
    digest = subprocess.run(["sha256sum", big], capture_output=True, text=True,
                            check=True).stdout.split()[0]
    verified = [bench("download", server.url + "1gib.bin", os.path.join(work, "out.bin"),
                      digest, str(1024 * MIB)) for _ in range(RUNS)]
    plain = []
    for _ in range(RUNS):
        fresh(os.path.join(work, "curl.bin"))
        started = time.monotonic()
        subprocess.run(["curl", "-s", "-o", os.path.join(work, "curl.bin"),
                        server.url + "1gib.bin"], check=True)
        subprocess.run(["sha256sum", os.path.join(work, "curl.bin")], capture_output=True,
                       check=True)
        plain.append(time.monotonic() - started)
    ok = all(r[2] == "1" for r in verified)
    ratio = statistics.median(r[0] for r in verified) / statistics.median(plain)
    rows.append(("`DownloadFile` with SHA-256 and size, 1 GiB", "%s s, peak RSS %s KiB%s" % (
        spread([r[0] for r in verified]), spread([r[1] for r in verified], "%.0f"),
        "" if ok else ", NOT verified"), "curl -o, then sha256sum: %s s" % spread(plain),
        "ratio %.2f (target <= 1.1)" % ratio))
    for name in ("1mib.bin", "1gib.bin"):
        os.remove(os.path.join(root, name))
    rows += resumed_rows(server, root, work)
    return rows


def resumed_rows(server, root, work):
    """A download cut every 16 MiB against the same one uncut: each cut is
    resumed from the bytes on the disk."""
    make_file(os.path.join(root, "256mib.bin"), 256 * MIB)
    out = os.path.join(work, "resumed.bin")
    speeds, sent = {}, []
    for name, faults in (("uncut", {}), ("cut", {"/256mib.bin": {"cut_every": 16 * MIB}})):
        server.set_faults(faults)
        speeds[name] = []
        for _ in range(RUNS):
            server.clear_log()
            seconds, _, result = bench("download", server.url + "256mib.bin", out)
            if result != "1":
                raise RuntimeError("the %s download of 256 MiB failed" % name)
            speeds[name].append(256 / seconds)
            if name == "cut":
                sent.append(server.sent_bytes("/256mib.bin") / (256 * MIB))
    server.set_faults({})
    # What 16 fresh connections cost on this machine whoever asks: curl
    # fetching the same 16 ranges one after another, against curl at once.
    curl = {}
    step = 16 * MIB
    for name, count in (("whole", 1), ("ranges", 16)):
        curl[name] = []
        for _ in range(RUNS):
            args = ["curl", "-s"]
            for i in range(count):
                args += (["--next"] if i else []) + ["-H", "Connection: close"]
                args += ["-r", "%d-%d" % (i * step, (i + 1) * step - 1)] if count > 1 else []
                args += ["-o", fresh(os.path.join(work, "c%d.bin" % i)), server.url + "256mib.bin"]
            curl[name].append(256 / timed(args))
    for i in range(16):
        fresh(os.path.join(work, "c%d.bin" % i))
    os.remove(os.path.join(root, "256mib.bin"))
    ratio = statistics.median(speeds["cut"]) / statistics.median(speeds["uncut"])
    curl_ratio = statistics.median(curl["ranges"]) / statistics.median(curl["whole"])
    return [("`DownloadFile`, 256 MiB cut every 16 MiB (15 resumes)",
             "%s MiB/s, %.3f x the size sent" % (spread(speeds["cut"], "%.0f"), max(sent)),
             "uncut: %s MiB/s; curl, the 16 ranges on fresh connections against one "
             "request: ratio %.2f" % (spread(speeds["uncut"], "%.0f"), curl_ratio),
             "ratio %.2f (target >= 0.9), sent <= 1.02: %s" % (
                 ratio, "yes" if max(sent) <= 1.02 else "NO"))]


def write_tree(folder, folders, files_per_folder, size):
    data = b"x" * size
    for i in range(folders):
        sub = os.path.join(folder, "d%03d" % i)
        os.makedirs(sub)
        for j in range(files_per_folder):
            with open(os.path.join(sub, "f%04d.dat" % j), "wb") as f:
                f.write(data)


def make_zip(path, files, size):
    import zipfile
    rnd = os.urandom(size // 2)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        for i in range(files):
            # Half random, half zeros: the inflater has real work to do.
            z.writestr("d%02d/f%05d.dat" % (i % 50, i), rnd[i % 97:] + rnd[:i % 97] + bytes(size // 2))


def fetch_rows(server, root):
    rows, per_mib = [], []
    line = b"msg=" + b"n" * 58 + b"\r\n"
    # 16 MiB is the most a manifest may be.
    for mib in (4, 8, 16):
        with open(os.path.join(root, "big.ver"), "wb") as f:
            f.write(line * (mib * MIB // len(line)))
        ours = [bench("fetch", server.url + "big.ver") for _ in range(RUNS)]
        curl = [timed(["curl", "-s", "-o", "/dev/null", server.url + "big.ver"]) for _ in range(RUNS)]
        per_mib.append(statistics.median(r[0] for r in ours) / mib)
        if mib == 16:
            ratio = statistics.median(r[0] for r in ours) / statistics.median(curl)
            rows.append(("`FetchText`, 16 MiB manifest", "%s s, peak RSS %s KiB" % (
                spread([r[0] for r in ours]), spread([r[1] for r in ours], "%.0f")),
                "curl -s: %s s" % spread(curl), "ratio %.2f (target <= 2)" % ratio))
    rows.append(("`FetchText`, time per MiB at 4 / 8 / 16 MiB",
                  " / ".join("%.4f s" % v for v in per_mib), "",
                  # Time per MiB may fall as fixed costs spread; it must not grow.
                  "linear or better: %s" % ("yes" if max(per_mib[1:]) <= 1.25 * per_mib[0] else "NO")))
    os.remove(os.path.join(root, "big.ver"))
    # A manifest without end is given up at the limit, in bounded memory.
    server.set_faults({"/endless.ver": {"endless": True, "body": "ver=9.9\r\n"}})
    endless = [bench("fetch", server.url + "endless.ver") for _ in range(RUNS)]
    server.set_faults({})
    peak = max(r[1] for r in endless)
    refused = all(r[2] == "-1" for r in endless)
    rows.append(("`FetchText`, endless manifest", "%s s, peak RSS %s KiB, %s" % (
        spread([r[0] for r in endless]), spread([r[1] for r in endless], "%.0f"),
        "refused" if refused else "NOT refused"), "",
        "peak under 64 MiB: %s" % ("yes" if peak < 64 * 1024 and refused else "NO")))
    return rows


def unzip_rows(work, zip_path):
    ours, base = [], []
    for i in range(RUNS):
        dest = os.path.join(work, "unzip-%d" % i)
        os.mkdir(dest)
        ours.append(bench("unzip", zip_path, dest)[0])
        shutil.rmtree(dest)
        os.mkdir(dest)
        base.append(timed(["bsdtar", "-xf", zip_path, "-C", dest]))
        shutil.rmtree(dest)
    ratio = statistics.median(ours) / statistics.median(base)
    return [("`UnzipWithShell`, 200 MiB / 5,000 files", "%s s" % spread(ours),
             "bsdtar -xf: %s s" % spread(base), "ratio %.2f (target <= 1.2)" % ratio)]


def merge_rows(work):
    ours, base, finish, base_finish = [], [], [], []
    for i in range(RUNS):
        for step in ("merge", "baseline-merge"):
            # 20,000 files in 200 folders over an installation that holds
            # the first half of them: 10,000 replaced, 10,000 new.
            dst = os.path.join(work, "mdst")
            src = os.path.join(dst, "Temp1000")
            write_tree(dst, 100, 100, 48)
            with open(os.path.join(dst, "pelmatic.ini"), "w") as f:
                f.write("[Check]\n")
            write_tree(src, 200, 100, 64)
            os.sync()  # what was written to set up is not the merge's to flush
            fields = bench_fields(step, src + "/", dst + "/")
            if step == "merge":
                ours.append(float(fields["seconds"]))
                finish.append(float(fields["finish_seconds"]))
            else:
                base.append(float(fields["seconds"]))
                # The baseline's clean-up: its backups and the emptied folders.
                start = time.perf_counter()
                shutil.rmtree(os.path.join(dst, "baseline.backup"))
                shutil.rmtree(src)
                base_finish.append(time.perf_counter() - start)
            shutil.rmtree(dst)
    ratio = statistics.median(ours) / statistics.median(base)
    return [("`MergeFolder` with pre-flight, journal and backups, 20,000 files in 200 folders "
             "(10,000 replaced), through the commit", "%s s" % spread(ours),
             "rename loop: %s s" % spread(base), "ratio %.2f (target <= 1.5)" % ratio),
            ("clean-up after the commit (10,000 backups, the unpack folder, the journal)",
             "%s s" % spread(finish), "shutil.rmtree of the same: %s s" % spread(base_finish),
             "ratio %.2f" % (statistics.median(finish) / statistics.median(base_finish)))]


FIXED_WAITS = 1.2  # 500 ms after the question, 200 + 200 + 200 + 100 ms while installing


def update_rows(server, root, work, zip_path):
    exe = os.path.join(TOP, "build", "posix-release", "pelmatic")
    shutil.copy2(zip_path, os.path.join(root, "pkg.zip"))
    with open(os.path.join(root, "app.ver"), "wb") as f:
        f.write(b"ver=2.0\r\nfile=pkg.zip\r\n")
    ours, base = [], []
    for i in range(RUNS):
        app = os.path.join(work, "app%d" % i)
        os.mkdir(app)
        shutil.copy2(exe, os.path.join(app, "PELMATIC.EXE"))
        with open(os.path.join(app, "pelmatic.ini"), "w") as f:
            f.write("[Check]\nver_now=1.0\nver_file=app\nurl_file=%s\n" % server.url)
        start = time.perf_counter()
        subprocess.run([os.path.join(app, "PELMATIC.EXE")], input=b"y\n\n", check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=app,
                       env=dict(os.environ, TMPDIR=work))
        ours.append(time.perf_counter() - start - FIXED_WAITS)
        # A run that installed nothing measures nothing.
        if not os.path.exists(os.path.join(app, "d49", "f04999.dat")):
            raise RuntimeError("the update did not install the package in %s" % app)
        shutil.rmtree(app)
        # The same work by the best tools: fetch, unpack, move into place.
        app, tmp = os.path.join(work, "bapp%d" % i), os.path.join(work, "btmp%d" % i)
        os.mkdir(app)
        os.mkdir(tmp)
        start = time.perf_counter()
        subprocess.run(["curl", "-s", "-o", os.path.join(app, "pkg.zip"), server.url + "pkg.zip"],
                       check=True)
        subprocess.run(["bsdtar", "-xf", os.path.join(app, "pkg.zip"), "-C", tmp], check=True)
        # PelMatic puts the unpacked files on the disk before it moves them:
        # so does the baseline.
        subprocess.run(["sync", "-f", tmp], check=True)
        bench("baseline-merge", tmp + "/", app + "/")
        base.append(time.perf_counter() - start)
        shutil.rmtree(app)
        shutil.rmtree(tmp)
    ratio = statistics.median(ours) / statistics.median(base)
    return [("whole ZIP update, 200 MiB / 5,000 files (minus %.1f s of fixed waits)" % FIXED_WAITS,
             "%s s" % spread(ours), "curl + bsdtar + rename loop: %s s" % spread(base),
             "ratio %.2f (target <= 1.25)" % ratio)]


def cpu_seconds(pid):
    """User and system CPU time of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stall_rows(server, root, work):
    """The program's CPU while the update file stops coming: its status
    window ticks, nothing spins."""
    exe = os.path.join(TOP, "build", "posix-release", "pelmatic")
    make_file(os.path.join(root, "stall.zip"), 4 * MIB)
    with open(os.path.join(root, "stall.ver"), "wb") as f:
        f.write(b"ver=2.0\r\nfile=stall.zip\r\n")
    server.set_faults({"/stall.zip": {"stall": 20, "stall_after": MIB}})
    app = os.path.join(work, "stall")
    os.mkdir(app)
    shutil.copy2(exe, os.path.join(app, "PELMATIC.EXE"))
    with open(os.path.join(app, "pelmatic.ini"), "w") as f:
        f.write("[Check]\nver_now=1.0\nver_file=stall\nurl_file=%s\n" % server.url)
    p = subprocess.Popen([os.path.join(app, "PELMATIC.EXE")], stdin=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=app,
                         env=dict(os.environ, TMPDIR=work))
    p.stdin.write(b"y\n")
    p.stdin.close()
    time.sleep(3)  # the question, the waits, the first MiB: then the stall
    start, used = time.monotonic(), cpu_seconds(p.pid)
    time.sleep(10)
    share = (cpu_seconds(p.pid) - used) / (time.monotonic() - start)
    p.kill()
    p.wait()
    server.set_faults({})
    return [("CPU of the program while the download stalls (10 s)", "%.2f %% of a core" % (
        100 * share), "", "at most 1 %%: %s" % ("yes" if share <= 0.01 else "NO"))]


def startup_rows(work):
    exe = os.path.join(TOP, "build", "posix-release", "pelmatic")
    app = os.path.join(work, "quiet")
    os.mkdir(app)
    shutil.copy2(exe, os.path.join(app, "PELMATIC.EXE"))
    with open(os.path.join(app, "pelmatic.ini"), "w") as f:
        f.write("[Check]\nver_now=1.0\nver_file=app\n")
    with open(os.path.join(app, "app.ver"), "w") as f:
        f.write("ver=1.0\r\n")
    n = RUNS * 4
    ours = [timed([os.path.join(app, "PELMATIC.EXE"), "n@"]) * 1000 for _ in range(n)]
    base = [timed(["/bin/true"]) * 1000 for _ in range(n)]
    return [("check with nothing to update (`n@`), process wall time", "%s ms" % spread(ours, "%.2f"),
             "/bin/true: %s ms" % spread(base, "%.2f"),
             "%.2f ms more" % (statistics.median(ours) - statistics.median(base)))]


# A real pair of releases for the delta: a 9 MB Windows program and its
# next patch release, fetched once with npm pack into build/bench-cache
# (never committed).
DELTA_PACKAGE, DELTA_FROM, DELTA_TO = "@esbuild/win32-ia32", "0.20.1", "0.20.2"
CACHE = os.path.join(TOP, "build", "bench-cache")


def npm_files(name, version, folder):
    """The files of an npm package, unpacked into folder."""
    import tarfile
    os.makedirs(CACHE, exist_ok=True)
    tgz = os.path.join(CACHE, "%s-%s.tgz" % (name.lstrip("@").replace("/", "-"), version))
    if not os.path.exists(tgz):
        subprocess.run(["npm", "pack", "--silent", "--pack-destination", CACHE,
                        "%s@%s" % (name, version)], check=True, stdout=subprocess.DEVNULL)
    with tarfile.open(tgz) as t:
        t.extractall(folder, filter="data")
    return os.path.join(folder, "package")


def run_child(cmd):
    """Seconds and peak RSS (KiB) of one command."""
    start = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(p.pid, 0)
    seconds = time.perf_counter() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        raise RuntimeError("%s failed with %d" % (" ".join(cmd), p.returncode))
    return seconds, usage.ru_maxrss


def update_through(server, root, work, old, manifest, tag):
    """One update of an installed copy of old by the real checker against
    manifest: seconds (less the fixed waits), the checker's peak RSS (KiB)
    and the body bytes the server sent for it."""
    exe = os.path.join(TOP, "build", "posix-release", "pelmatic")
    with open(os.path.join(root, "esbuild.ver"), "wb") as f:
        f.write(manifest)
    server.clear_log()
    app = os.path.join(work, "delta-" + tag)
    shutil.copytree(old, app)
    shutil.copy2(exe, os.path.join(app, "PELMATIC.EXE"))
    with open(os.path.join(app, "pelmatic.ini"), "w") as f:
        f.write("[Check]\nver_now=%s\nver_file=esbuild\nurl_file=%s\n" % (DELTA_FROM, server.url))
    start = time.perf_counter()
    p = subprocess.Popen([os.path.join(app, "PELMATIC.EXE")], stdin=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=app,
                         env=dict(os.environ, TMPDIR=work))
    p.stdin.write(b"y\n\n")
    p.stdin.close()
    # The kernel's figure for a child counts what this process had when it
    # forked: the checker's own high-water mark is read while it runs (its
    # fixed waits at the end leave time for the last look).
    peak = 0
    while p.poll() is None:
        try:
            with open("/proc/%d/status" % p.pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.005)
    seconds = time.perf_counter() - start - FIXED_WAITS
    if p.returncode != 0:
        raise RuntimeError("the checker exited %d in %s" % (p.returncode, app))
    sent = sum(a["sent"] for a in server.answers() if not a["path"].endswith(".ver"))
    return seconds, peak, sent, app


def delta_rows(work, server, root):
    tool = os.path.join(TOP, "build", "posix-release", "pelmatic-tool")
    base = os.path.join(work, "delta")
    try:
        old = npm_files(DELTA_PACKAGE, DELTA_FROM, os.path.join(base, "old"))
        new = npm_files(DELTA_PACKAGE, DELTA_TO, os.path.join(base, "new"))
    except (subprocess.CalledProcessError, OSError) as e:
        return [("delta package", "not measured: %s" % e, "", "")]
    zips = {}
    for name, folder in (("old", old), ("new", new)):
        zips[name] = os.path.join(base, name + ".zip")
        run_child(["zip", "-q", "-9", "-j", zips[name]] + sorted(
            os.path.join(folder, f) for f in os.listdir(folder)))
    largest = max(os.path.getsize(os.path.join(old, f)) for f in os.listdir(old))
    delta = os.path.join(base, "delta.zip")
    made, full_zip = [], []
    for _ in range(RUNS):
        made.append(run_child([tool, "delta", "--from", zips["old"], "--to", zips["new"],
                               "--out", delta]))
        again = os.path.join(base, "again.zip")
        full_zip.append(run_child(["zip", "-q", "-9", "-j", again] + sorted(
            os.path.join(new, f) for f in os.listdir(new))))
        os.remove(again)
    ratio = os.path.getsize(delta) / os.path.getsize(zips["new"])
    applied, unzipped = [], []
    for i in range(RUNS):
        app, unpack = os.path.join(base, "app%d" % i), os.path.join(base, "unpack%d" % i)
        shutil.copytree(old, app)
        os.mkdir(unpack)
        fields = bench_fields("delta-apply", delta, unpack, app + "/")
        if fields["result"] != "1":
            raise RuntimeError("the delta was not applied over %s" % app)
        # Compared in small pieces: a process this one starts inherits its
        # peak memory in the figure the kernel reports.
        for f in os.listdir(unpack):
            if not filecmp.cmp(os.path.join(unpack, f), os.path.join(new, f), shallow=False):
                raise RuntimeError("the delta built %s otherwise than the new release" % f)
        applied.append((float(fields["seconds"]), float(fields["apply_seconds"]),
                        int(fields["peak_rss_kib"]), int(fields["apply_rss_growth_kib"])))
        full = os.path.join(base, "full%d" % i)
        os.mkdir(full)
        unzipped.append(bench("unzip", zips["new"], full))
        for folder in (app, unpack, full):
            shutil.rmtree(folder)
    # The whole update by the real checker, through the delta and through
    # the full package, from the same installed release.
    shutil.copy2(zips["new"], os.path.join(root, "new.zip"))
    shutil.copy2(delta, os.path.join(root, "delta.zip"))
    measured = {}
    for name in ("new.zip", "delta.zip"):
        with open(os.path.join(root, name), "rb") as f:
            data = f.read()
        measured[name] = "%s %d" % (hashlib.sha256(data).hexdigest(), len(data))
    full_manifest = ("ver=%s\r\nfile=new.zip\r\nsha256=%s\r\nsize=%s\r\n" % (
        (DELTA_TO,) + tuple(measured["new.zip"].split()))).encode()
    delta_manifest = full_manifest + ("delta_%s=delta.zip %s\r\n" % (
        DELTA_FROM, measured["delta.zip"])).encode()
    through_delta, through_full = [], []
    for i in range(RUNS):
        for manifest, runs in ((delta_manifest, through_delta), (full_manifest, through_full)):
            seconds, rss, sent, app = update_through(server, root, work, old, manifest, str(i))
            for f in os.listdir(new):
                if not filecmp.cmp(os.path.join(app, f), os.path.join(new, f), shallow=False):
                    raise RuntimeError("the update left %s otherwise than the new release" % f)
            runs.append((seconds, rss, sent))
            shutil.rmtree(app)
    pair = "%s %s to %s" % (DELTA_PACKAGE, DELTA_FROM, DELTA_TO)
    growth = [a[3] for a in applied]
    return [("delta package, %s (a %.1f MB program)" % (pair, largest / 1e6),
             "%d bytes" % os.path.getsize(delta),
             "full package (zip -9): %d bytes" % os.path.getsize(zips["new"]),
             "ratio %.3f (target <= 0.10)" % ratio),
            ("`pelmatic-tool delta`, the same pair", "%s s, peak RSS %s KiB" % (
                spread([m[0] for m in made]), spread([m[1] for m in made], "%.0f")),
             "zip -9 of the new release: %s s" % spread([f[0] for f in full_zip]), ""),
            ("delta unpacked and applied over an installed %s (`ApplyDelta` alone: %s s)" % (
                DELTA_FROM, spread([a[1] for a in applied])),
             "%s s, peak RSS %s KiB" % (spread([a[0] for a in applied]),
                                         spread([a[2] for a in applied], "%.0f")),
             "`UnzipWithShell` of the full package: %s s, peak RSS %s KiB" % (
                 spread([u[0] for u in unzipped]), spread([u[1] for u in unzipped], "%.0f")),
             "ratio %.2f; `ApplyDelta` raised the peak RSS by %d KiB, the largest old file "
             "%d KiB: within it + 4 MiB: %s" % (
                 statistics.median(a[0] for a in applied) / statistics.median(
                     u[0] for u in unzipped), max(growth), largest // 1024,
                 "yes" if max(growth) <= largest // 1024 + 4096 else "NO")),
            ("whole update by the checker through the delta (minus %.1f s of fixed waits)"
             % FIXED_WAITS,
             "%s s, %d bytes served, checker's peak RSS %s KiB" % (
                 spread([r[0] for r in through_delta]), through_delta[0][2],
                 spread([r[1] for r in through_delta], "%.0f")),
             "through the full package: %s s, %d bytes served, peak RSS %s KiB" % (
                 spread([r[0] for r in through_full]), through_full[0][2],
                 spread([r[1] for r in through_full], "%.0f")),
             "time ratio %.2f, bytes ratio %.3f" % (
                 statistics.median(r[0] for r in through_delta) /
                 statistics.median(r[0] for r in through_full),
                 through_delta[0][2] / through_full[0][2]))]


def windows_rows():
    rows = []
    for build, bits, tools in (("windows", "32-bit", "i686"), ("windows64", "64-bit", "x86_64")):
        exe = os.path.join(TOP, "build", build, "PELMATIC.EXE")
        name = "Windows %s `PELMATIC.EXE`" % bits
        if not os.path.exists(exe):
            rows.append((name, "not built", "", ""))
            continue
        size = os.path.getsize(exe)
        dump = subprocess.run([tools + "-w64-mingw32-objdump", "-p", exe], capture_output=True,
                              text=True).stdout
        dlls = sorted(l.split()[-1] for l in dump.splitlines() if "DLL Name:" in l)
        rows += [(name + " size", "%d bytes (%d KiB)" % (size, size // 1024), "",
                  "target <= 288 KiB: %s" % ("yes" if size <= 288 * 1024 else "NO")),
                 (name + " imports", ", ".join(dlls), "", "system DLLs only")]
    return rows


def main():
    if not os.path.exists(BENCH):
        print("build the release benchmark first: cmake --preset posix-release && "
              "cmake --build build/posix-release", file=sys.stderr)
        return 2
    work = tempfile.mkdtemp(prefix="pelmatic-bench-", dir=os.path.join(TOP, "build"))
    root = os.path.join(work, "served")
    os.mkdir(root)
    try:
        zip_path = os.path.join(work, "pkg.zip")
        make_zip(zip_path, 5000, 40 * 1024)
        with TestServer(root) as server:
            rows = download_rows(server, root, work)
            rows += fetch_rows(server, root)
            rows += unzip_rows(work, zip_path)
            rows += merge_rows(work)
            rows += update_rows(server, root, work, zip_path)
            rows += stall_rows(server, root, work)
            rows += delta_rows(work, server, root)
        rows += startup_rows(work)
        rows += windows_rows()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    head = "| step | PelMatic | baseline in the same run | verdict |\n|---|---|---|---|\n"
    table = head + "".join("| %s | %s | %s | %s |\n" % r for r in rows)
    machine = "%s, %s, %d cores, Python %s; %d runs each" % (
        platform.node(), platform.platform(), os.cpu_count(), platform.python_version(), RUNS)
    print(table)
    with open(os.path.join(TOP, "bench", "results.md"), "w") as f:
        f.write("# Benchmark results\n\nMachine: %s\n\n%s" % (machine, table))
    return 0


if __name__ == "__main__":
    sys.exit(main())
