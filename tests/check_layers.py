#!/usr/bin/env python3
"""Keeps the layers of src/ apart.

The layers, from the bottom: os < core < platform < version < install < run
< tool (the vendor's program, built on all of the checker).
A file includes only headers of its own layer and of the layers below it.
Platform code (platform #if tests and system headers of one platform) lives
only in src/os/, in the two shell-extraction files and in the two entry
files. Every offending line is printed as FILE:LINE: text, with the rule it
breaks; the exit code is 1 when there is one.

  check_layers.py [SRC]      checks SRC (default: the src/ of this checkout)
  check_layers.py --self-test  shows that each rule catches what it should
"""

import os
import re
import sys
import tempfile

LAYERS = ["os", "core", "platform", "version", "install", "run", "tool"]

PLATFORM_FILES = re.compile(
    r"^(os/.*|install/ShellZipU_win32\.(h|cpp)|install/ShellZipU_posix\.cpp|"
    r"run/main_win32\.cpp|run/main_posix\.cpp)$")

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^/"]+)/[^"]*"')
SYSTEM_INCLUDE = re.compile(r"^\s*#\s*include\s*<([^>]+)>")
CONDITION = re.compile(r"^\s*#\s*(if|ifdef|ifndef|elif)\b(.*)")
PLATFORM_MACRO = re.compile(
    r"\b(_WIN32|_WIN64|WIN32|_WINDOWS|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__|"
    r"__linux__|__linux|__unix__|__unix|__APPLE__|_POSIX_VERSION|__FreeBSD__)\b")
PLATFORM_HEADER = re.compile(
    r"^(windows|winbase|winuser|wininet|winhttp|shellapi|shlobj|tlhelp32|objbase|"
    r"oleauto|oaidl|ole2|bcrypt|process|io|direct|winver)\.h$|"
    r"^(unistd|fcntl|dirent|signal|strings|pthread|dlfcn|poll|termios|spawn)\.h$|"
    r"^(sys|curl|openssl|linux)/|^archive(_entry)?\.h$", re.IGNORECASE)


def check_file(root, rel):
    """The offences of one file, as printable lines."""
    layer = rel.split("/", 1)[0]
    if layer not in LAYERS:
        return ["%s:1: not in a layer (%s)" % (rel, " < ".join(LAYERS))]
    rank = LAYERS.index(layer)
    platform_allowed = bool(PLATFORM_FILES.match(rel))
    found = []
    with open(os.path.join(root, rel), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            text = line.rstrip("\n")
            where = "%s:%d: %s" % (rel, number, text.strip())
            m = INCLUDE.match(text)
            if m and m.group(1) in LAYERS and LAYERS.index(m.group(1)) > rank:
                found.append("%s  [%s includes the higher layer %s]" % (where, layer, m.group(1)))
            if platform_allowed:
                continue
            m = CONDITION.match(text)
            if m and PLATFORM_MACRO.search(m.group(2)):
                found.append("%s  [platform #%s outside the OS layer]" % (where, m.group(1)))
            m = SYSTEM_INCLUDE.match(text)
            if m and PLATFORM_HEADER.search(m.group(1)):
                found.append("%s  [platform header outside the OS layer]" % where)
    return found


def check_tree(root):
    found = []
    for folder, _, files in os.walk(root):
        for name in sorted(files):
            if name.endswith((".h", ".cpp", ".c")):
                rel = os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")
                found += check_file(root, rel)
    return found


def self_test():
    """Each rule must fire on a file that breaks it and stay quiet otherwise."""
    cases = {
        "platform/up.cpp": ('#include "install/package.h"\n', "higher layer install"),
        "version/ifdef.cpp": ("#ifdef _WIN32\n#endif\n", "platform #ifdef"),
        "install/elif.cpp": ("#if 0\n#elif defined(__linux__)\n#endif\n", "platform #elif"),
        "run/header.cpp": ("#include <windows.h>\n", "platform header"),
        "core/up.h": ('#include "platform/names.h"\n', "higher layer platform"),
    }
    clean = {
        "run/fine.cpp": '#include "core/errors.h"\n#include "os/os.h"\n#include <string>\n',
        "os/os_posix_x.cpp": "#include <unistd.h>\n#ifdef __linux__\n#endif\n",
        "install/ShellZipU_win32.cpp": "#include <windows.h>\n",
        "run/main_win32.cpp": "#include <windows.h>\n",
    }
    failures = 0
    with tempfile.TemporaryDirectory() as root:
        def put(rel, text):
            os.makedirs(os.path.join(root, os.path.dirname(rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        for rel, text in clean.items():
            put(rel, text)
        if check_tree(root):
            print("self-test: clean files reported:", check_tree(root))
            failures += 1
        for rel, (text, rule) in cases.items():
            put(rel, text)
            found = [line for line in check_tree(root) if line.startswith(rel + ":")]
            if not any(rule.split()[-1] in line for line in found):
                print("self-test: %s not caught (%s): %s" % (rel, rule, found))
                failures += 1
            os.remove(os.path.join(root, rel))
    print("self-test: %d rule(s) failed" % failures)
    return 1 if failures else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    root = argv[1] if len(argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "src")
    found = check_tree(root)
    for line in found:
        print(line)
    print("layers: %d offending line(s)" % len(found))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
