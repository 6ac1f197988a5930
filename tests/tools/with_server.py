#!/usr/bin/env python3
"""Run a command with a fresh test HTTP server for it.

    with_server.py [--wine] -- COMMAND ARGS...

The command finds the server through PELMATIC_TEST_SERVER_URL (base URL,
ending in "/"), PELMATIC_TEST_SERVER_ROOT (the folder it serves, ending in a
separator), PELMATIC_TEST_SERVER_FAULTS (its fault file) and
PELMATIC_TEST_SERVER_LOG (its request log, a JSON object a line). With --wine the
two paths are given as Windows paths on the Z: drive.
"""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from testserver import TestServer  # noqa: E402


def wine_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def main(argv):
    wine = False
    if argv and argv[0] == "--wine":
        wine = True
        argv = argv[1:]
    if argv and argv[0] == "--":
        argv = argv[1:]
    if not argv:
        print(__doc__, file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="pelmatic-served-") as root:
        with TestServer(root) as server:
            env = dict(os.environ)
            env["PELMATIC_TEST_SERVER_URL"] = server.url
            if wine:
                env["PELMATIC_TEST_SERVER_ROOT"] = wine_path(root) + "\\"
                env["PELMATIC_TEST_SERVER_FAULTS"] = wine_path(server.faultsfile)
                env["PELMATIC_TEST_SERVER_LOG"] = wine_path(server.logfile)
            else:
                env["PELMATIC_TEST_SERVER_ROOT"] = root + "/"
                env["PELMATIC_TEST_SERVER_FAULTS"] = server.faultsfile
                env["PELMATIC_TEST_SERVER_LOG"] = server.logfile
            return subprocess.call(argv, env=env)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
