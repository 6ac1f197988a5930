#!/usr/bin/env python3
"""make bench: each measured step of PelMatic beside the best tool for the
same job, in the same run, on the same files. Prints a table and writes
bench/results.md. Figures are medians of several runs with min and max."""

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


def bench(*args):
    out = subprocess.run([BENCH] + list(args), capture_output=True, text=True, check=True).stdout
    fields = dict(f.split("=") for f in out.split()[1:])
    return float(fields["seconds"]), int(fields["peak_rss_kib"]), fields["result"]


def timed(cmd):
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
    for name in ("1mib.bin", "1gib.bin"):
        os.remove(os.path.join(root, name))
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
        with TestServer(root) as server:
            rows = download_rows(server, root, work)
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
