#!/usr/bin/env bash
# PELMATIC.EXE must run from a bare folder: it may import system DLLs only,
# it carries its version resource, and it stays within 256 KiB (it travels
# with every copy of the application it updates). With "console", the
# program checked is the vendor's tool: system DLLs only, and a console
# program, of any size.
set -euo pipefail
exe="$1"
kind="${2:-checker}"
allowed=" kernel32.dll user32.dll gdi32.dll comctl32.dll shell32.dll wininet.dll version.dll ole32.dll oleaut32.dll advapi32.dll bcrypt.dll msvcrt.dll "
dlls=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print tolower($3)}')
[ -n "$dlls" ] || { echo "no import table found in $exe"; exit 1; }
bad=0
for d in $dlls; do
  case "$allowed" in *" $d "*) echo "import ok: $d" ;; *) echo "NOT a system DLL: $d"; bad=1 ;; esac
done
if [ "$kind" = console ]; then
  headers=$(i686-w64-mingw32-objdump -p "$exe")
  if grep -q "^Subsystem.*(Windows CUI)" <<<"$headers"; then
    echo "console program: ok"
  else
    echo "not a console program"; bad=1
  fi
  exit $bad
fi
size=$(stat -c %s "$exe")
limit=$((256 * 1024))
if [ "$size" -le "$limit" ]; then
  echo "size ok: $size bytes ($((size / 1024)) KiB of at most 256 KiB)"
else
  echo "TOO LARGE: $size bytes ($((size / 1024)) KiB, at most 256 KiB)"; bad=1
fi
rc=$(i686-w64-mingw32-windres -i "$exe" -O rc 2>/dev/null)
for want in 'FILEVERSION 2, 0, 0, 0' 'VALUE "FileDescription", "version checker' 'VALUE "ProductName", "PelMatic 2.000' 'asInvoker'; do
  if grep -qF "$want" <<<"$rc"; then echo "resource ok: $want"; else echo "resource missing: $want"; bad=1; fi
done
exit $bad
