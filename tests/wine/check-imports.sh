#!/usr/bin/env bash
# PELMATIC.EXE must run from a bare folder: it may import system DLLs only
# (and of them the W forms, as it takes and gives UTF-16),
# it carries its version resource, and it stays within 288 KiB (it travels
# with every copy of the application it updates); the 32-bit and the 64-bit
# build alike. With "console", the program checked is the vendor's tool:
# system DLLs only, and a console program, of any size.
set -euo pipefail
exe="$1"
kind="${2:-checker}"
# Each build's own binutils read it.
case $(od -An -tx1 -j "$(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ')" -N6 "$exe" | tr -d ' \n') in
  50450000648*) tools=x86_64-w64-mingw32; echo "machine: x64" ;;
  504500004c01*) tools=i686-w64-mingw32; echo "machine: x86" ;;
  *) echo "$exe is no PE file of x86 or x64"; exit 1 ;;
esac
allowed=" kernel32.dll user32.dll gdi32.dll comctl32.dll shell32.dll wininet.dll version.dll ole32.dll oleaut32.dll advapi32.dll bcrypt.dll msvcrt.dll "
dlls=$("$tools-objdump" -p "$exe" | awk '/DLL Name:/ {print tolower($3)}')
[ -n "$dlls" ] || { echo "no import table found in $exe"; exit 1; }
bad=0
for d in $dlls; do
  case "$allowed" in *" $d "*) echo "import ok: $d" ;; *) echo "NOT a system DLL: $d"; bad=1 ;; esac
done
# The program calls the W forms only. The A imports left are the MinGW
# runtime's own (libgcc's frame registration, winpthreads' unnamed events,
# the C runtime's start-up and libstdc++'s error texts), which pass no name
# or text of the program's.
runtime_a=" CreateEventA CreateSemaphoreA GetModuleHandleA LoadLibraryA OutputDebugStringA FormatMessageA GetStartupInfoA "
for f in $("$tools-objdump" -p "$exe" | awk '$3 ~ /[a-z0-9]A$/ && $1 ~ /^[0-9a-f]+$/ {print $3}'); do
  case "$runtime_a" in *" $f "*) ;; *) echo "A form imported: $f"; bad=1 ;; esac
done
if [ "$kind" = console ]; then
  headers=$("$tools-objdump" -p "$exe")
  if grep -q "^Subsystem.*(Windows CUI)" <<<"$headers"; then
    echo "console program: ok"
  else
    echo "not a console program"; bad=1
  fi
  exit $bad
fi
size=$(stat -c %s "$exe")
limit=$((288 * 1024))
if [ "$size" -le "$limit" ]; then
  echo "size ok: $size bytes ($((size / 1024)) KiB of at most 288 KiB)"
else
  echo "TOO LARGE: $size bytes ($((size / 1024)) KiB, at most 288 KiB)"; bad=1
fi
rc=$("$tools-windres" -i "$exe" -O rc 2>/dev/null)
for want in 'FILEVERSION 2, 0, 0, 0' 'VALUE "FileDescription", "version checker' 'VALUE "ProductName", "PelMatic 2.000' 'asInvoker'; do
  if grep -qF "$want" <<<"$rc"; then echo "resource ok: $want"; else echo "resource missing: $want"; bad=1; fi
done
exit $bad
