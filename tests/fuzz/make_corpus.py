#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into tests/fuzz/corpus/.

The seeds are kept in the repository; this script is how they were made and
how to make them again. The executables for the version reader need the
MinGW-w64 tools (i686-w64-mingw32-windres and -gcc), g++ and objcopy; without
them those seeds are left as they are.
"""
import io
import os
import struct
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
SRC = os.path.normpath(os.path.join(HERE, "..", "..", "src"))


def put(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# -- manifests: what servers really serve, with every kind of line end -------
MANIFESTS = {
    "crlf_typical.ver": "ver=2.31\r\nfile=editor231.zip\r\nfilealt=setup231.exe\r\nmode=3\r\n"
                        "msg=New export filter.\r\nFaster start-up.<>\r\n",
    "lf_only.ver": "ver=2.31\nfile=editor231.zip\nmode=1\nmsg=Unix line ends\n",
    "cr_only.ver": "ver=2.31\rfile=a.zip\rmode=2\rmsg=old Mac editor\r",
    "ctrlz.ver": "ver=3.0\r\nfile=pkg.zip\r\n\x1afilealt=late.exe\r\nmsg=after eof<>\r\n",
    "no_last_newline.ver": "mode=1\r\nfilealt= Setup.EXE \r\nver=2.31",
    "first_wins.ver": "server=main\r\nver=2.31\r\nfile=a.zip\r\nfilealt=b.exe\r\nfile=c.zip\r\n",
    "blank_values.ver": "ver=   \r\nfile=\t x.zip \t\r\nmode=\r\nmsg=<>\r\n",
    "empty.ver": "",
}
# A manifest whose CR LF is split across two 4 KiB reads.
_pad = "msg=" + "n" * (4095 - len("msg=")) + "\r\nver=9.9\r\n"
MANIFESTS["crlf_at_4k.ver"] = _pad


# -- INI files as vendors and users write them -------------------------------
INIS = {
    "typical.ini": "[Check]\r\nver_now=2.30\r\nver_file=editor\r\n"
                   "url_file=http://www.example.com/download/\r\nurl_down=http://www.example.com/\r\n"
                   "close_app=editor.exe\r\nrun_app=readme.txt\r\n",
    "quotes_comments.ini": "; comment ver_now=9\r\n[Other]\r\nver_now=8\r\n[check]\r\n"
                           "VER_NOW =  2.30 \r\nver_file=editor\r\nurl_file = \"http://h/d/\" \r\n"
                           "close_app='editor.exe'\r\n;close_app=x\r\n",
    "lf_tabs.ini": "[ Check ]\n\tver_now\t=\t3.0\t\nver_file=tool\nurl_file=u/\nrun_app=\"\n"
                   "close_app='a\"\n",
    "duplicates.ini": "ver_now=0\r\n[Check]\r\nver_now=1\r\nver_now=2\r\n[Check]\r\nver_file=second\r\n",
    "odd_sections.ini": "[Check\r\nver_now=1\r\n[]\r\n=empty key\r\n[a b]x\r\nk=v\r\n[OTHER]]\r\nk = w\r\n",
    "long_value.ini": "[Check]\r\nver_now=1\r\nrun_app=" + "r" * 1100 + "\r\n",
}


# -- text files for the line reader ------------------------------------------
TEXTS = {
    "crlf.txt": "a\r\nb\r\n",
    "mixed.txt": "a\rb\r\nc\nd\r\r\n\re",
    "ctrlz.txt": "a\r\n\x1a\r\nb",
    "nul.txt": "z\x00z\r\n\x00\r",
    "empty.txt": "",
    # CR as the last byte of the first 4 KiB read, LF as the first of the next.
    "crlf_split.txt": "x" * 4095 + "\r\n" + "y" * 10 + "\r" + "z" * 4094 + "\r",
    "ctrlz_at_4k.txt": "w" * 4096 + "\x1a" + "tail\r\n",
}


def zip_bytes(entries, compression=zipfile.ZIP_DEFLATED):
    """entries: (name, data, unix_mode or None)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression) as z:
        for name, data, mode in entries:
            info = zipfile.ZipInfo(name, date_time=(2024, 1, 2, 3, 4, 6))
            info.compress_type = compression
            if mode is not None:
                info.external_attr = mode << 16
                info.create_system = 3
            if name.endswith("/"):
                info.external_attr |= 0x10
            z.writestr(info, data)
    return buf.getvalue()


ZIPS = {
    "package.zip": zip_bytes([("app.exe", b"MZ\x00\x01new program", 0o100755),
                              ("sub/", b"", 0o40755),
                              ("sub/readme.txt", b"Read me.\r\n" * 4, 0o100644),
                              ("empty/", b"", None)]),
    "stored.zip": zip_bytes([("a.txt", b"stored bytes", None),
                             ("b\\win.txt", b"backslash name", None)], zipfile.ZIP_STORED),
    "dotdot.zip": zip_bytes([("good.txt", b"fine", None), ("../evil.txt", b"escaped", None)]),
    "absolute.zip": zip_bytes([("/tmp/abs.txt", b"abs", None), ("..\\win.txt", b"w", None),
                               ("C:evil.txt", b"d", None)], zipfile.ZIP_STORED),
    "symlink.zip": zip_bytes([("link", b"/etc", 0o120777), ("link/passwd", b"x", 0o100644)],
                             zipfile.ZIP_STORED),
    "case_names.zip": zip_bytes([("Readme.TXT", b"one", None), ("README.txt", b"two", None),
                                 ("./dot/./x.txt", b"dots", None)]),
    "empty.zip": zip_bytes([]),
}


def patch_seed(old, ops):
    """One byte with the old file's length, the old file, then a patch whose
    triples are given as (new bytes of the add run, inserted bytes, seek)."""
    control, diff, extra, new, pos = b"", b"", b"", b"", 0
    for run, inserted, seek in ops:
        diff += bytes((b - old[pos + i]) % 256 for i, b in enumerate(run))
        pos += len(run) + seek
        new += run + inserted
        extra += inserted
        control += struct.pack("<QQQ", len(run), len(inserted), seek if seek >= 0 else -seek | 1 << 63)
    header = b"PMPT" + struct.pack("<IQQQQQ", 1, len(old), len(new), len(control), len(diff),
                                   len(extra))
    return bytes([len(old)]) + old + header + control + diff + extra


PATCHES = {
    "inserted.bin": patch_seed(b"hello world", [(b"hello ", b"there ", 0), (b"world", b"", 0)]),
    "changed.bin": patch_seed(bytes(range(64)), [(bytes(range(1, 65)), b"", -64)]),
    "seek_first.bin": patch_seed(b"abcdef", [(b"", b"", 3), (b"def", b"XY", -6)]),
    "to_nothing.bin": patch_seed(b"abc", []),
    "from_nothing.bin": patch_seed(b"", [(b"", b"all new", 0)]),
    "index.txt": "pelmatic-delta 1\npatch 5 " + "cd" * 32 + " 1 6 " + "ab" * 32 + " app.exe\n"
                 "same 3 " + "EF" * 32 + " lib/x.dll\nwhole 0 " + "01" * 32 +
                 " doc/read me.txt\nend\n",
}


def pe_and_elf_seeds():
    tools = ["i686-w64-mingw32-windres", "i686-w64-mingw32-gcc", "g++", "objcopy"]
    missing = [t for t in tools if not shutil.which(t)]
    if missing:
        print("skipping executables, missing:", " ".join(missing))
        return
    with tempfile.TemporaryDirectory() as tmp:
        # A PE with nothing but an entry point and a version resource keeps
        # the seed small while the resource tree is the real one windres makes.
        with open(os.path.join(tmp, "tiny.c"), "w") as f:
            f.write("void start(void) {}\n")
        with open(os.path.join(tmp, "v.rc"), "w") as f:
            f.write('#include <winver.h>\n1 VERSIONINFO\nFILEVERSION 2,31,0,7\n'
                    'PRODUCTVERSION 2,31,0,7\nFILEOS VOS__WINDOWS32\nFILETYPE VFT_APP\nBEGIN\n'
                    '  BLOCK "StringFileInfo"\n  BEGIN\n    BLOCK "040904E4"\n    BEGIN\n'
                    '      VALUE "FileVersion", "2.31.0.7"\n    END\n  END\n'
                    '  BLOCK "VarFileInfo"\n  BEGIN\n    VALUE "Translation", 0x409, 1252\n'
                    '  END\nEND\n')
        run = lambda *cmd: subprocess.run(cmd, check=True, cwd=tmp)
        run("i686-w64-mingw32-windres", "v.rc", "-O", "coff", "-o", "v.res.o")
        flags = ["-s", "-Os", "-nostdlib", "-Wl,--entry=_start", "-Wl,--no-insert-timestamp"]
        run("i686-w64-mingw32-gcc", *flags, "-o", "versioned.exe", "tiny.c", "v.res.o")
        run("i686-w64-mingw32-gcc", *flags, "-o", "unversioned.exe", "tiny.c")
        # The POSIX build's own record, from the program's header.
        run("g++", "-std=c++17", "-Os", "-c", "-I" + SRC, "-DPELMATIC_FILE_VERSION=2,0,0,0",
            os.path.join(SRC, "os", "version_record_posix.cpp"), "-o", "record64.o")
        run("objcopy", "-O", "binary", "--only-section=.pelmatic_version", "record64.o",
            "record.bin")
        run("objcopy", "-I", "binary", "-O", "elf32-i386",
            "--rename-section", ".data=.pelmatic_version", "record.bin", "record32.o")
        for name in ["versioned.exe", "unversioned.exe", "record64.o", "record32.o"]:
            with open(os.path.join(tmp, name), "rb") as f:
                put("peversion", name, f.read())


def main():
    for name, text in MANIFESTS.items():
        put("manifest", name, text)
    for name, text in INIS.items():
        put("ini", name, text)
    for name, text in TEXTS.items():
        put("textfile", name, text)
    for name, data in ZIPS.items():
        put("unzip", name, data)
    for name, data in PATCHES.items():
        put("patch", name, data)
    pe_and_elf_seeds()
    # Archives that once got past the extractor stay in the corpus, so that
    # every run checks them again.
    crashes = os.path.join(HERE, "crashes")
    for name in sorted(os.listdir(crashes)):
        if name.startswith("unzip-") and name.endswith(".zip"):
            with open(os.path.join(crashes, name), "rb") as f:
                put("unzip", "regress-" + name, f.read())
    total = 0
    for root, _, files in os.walk(CORPUS):
        total += sum(os.path.getsize(os.path.join(root, f)) for f in files)
    print("corpus: %d bytes" % total)


if __name__ == "__main__":
    sys.exit(main())
