#!/usr/bin/env python3
"""Writes the PE checksum into an executable, as GNU ld does and as lld 14's
MinGW driver cannot (it has no way to ask for lld's /release). Signing
tools write the checksum anew, so without it a signature would change more
than the signature's own bytes.

Usage: pe_checksum.py FILE"""
import struct
import sys


def checksum(data, field):
    """The image checksum: 16-bit words added with end-around carry, the
    checksum field counted as 0, plus the file length."""
    padded = bytes(data[:field]) + b"\0\0\0\0" + bytes(data[field + 4:])
    if len(padded) % 2:
        padded += b"\0"
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(argv):
    if len(argv) != 1:
        print(__doc__.splitlines()[-1], file=sys.stderr)
        return 2
    with open(argv[0], "rb") as f:
        data = bytearray(f.read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        print(f"{argv[0]}: not a PE image", file=sys.stderr)
        return 1
    field = pe + 4 + 20 + 64  # signature, file header, then CheckSum's offset in the optional header
    struct.pack_into("<I", data, field, checksum(data, field))
    with open(argv[0], "wb") as f:
        f.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
