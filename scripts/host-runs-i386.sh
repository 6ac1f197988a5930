#!/usr/bin/env bash
# Exits 0 when this host starts 32-bit x86 programs, 1 when it does not (a
# kernel without IA-32 emulation answers "Exec format error"), by starting
# one: a 96-byte static ELF that only exits with 42. It needs no i386
# library, so the answer does not depend on what is installed yet.
set -uo pipefail
# In the project's build folder: a temporary folder may be mounted noexec,
# which would read as a host without IA-32.
build="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build"
mkdir -p "$build" && dir=$(mktemp -d "$build/i386-probe.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
# ELF header, one loadable segment at 0x08048000, then
# mov eax, 1; mov ebx, 42; int 0x80.
printf '%b' \
  '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
  '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
  '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
  '\x00\x00\x00\x00' \
  '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
  '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
  '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$dir/probe"
chmod +x "$dir/probe"
"$dir/probe" 2>/dev/null
[ $? -eq 42 ]
