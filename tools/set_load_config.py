#!/usr/bin/env python3
"""Points the load configuration entry of a linked 64-bit Windows program at the structure
that the program keeps in its section ".lcfg". The toolchain's linker fills that entry only
from version 2.41 on; before the entry is set, Windows never reads the structure.
    set_load_config.py PROGRAM.exe"""
import struct
import sys

LOAD_CONFIG_ENTRY = 10


def main(path):
    with open(path, "r+b") as f:
        image = bytearray(f.read())
        pe = struct.unpack_from("<I", image, 0x3C)[0]
        if image[pe:pe + 4] != b"PE\0\0":
            sys.exit(f"{path}: not a Windows program")
        sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", image, optional)[0] != 0x20B:
            sys.exit(f"{path}: not a 64-bit program")
        table = optional + optional_size
        for i in range(sections):
            header = table + 40 * i
            name = image[header:header + 8].rstrip(b"\0")
            rva, raw = struct.unpack_from("<I4xI", image, header + 12)
            if name == b".lcfg":
                size = struct.unpack_from("<I", image, raw)[0]
                struct.pack_into("<II", image, optional + 112 + 8 * LOAD_CONFIG_ENTRY, rva, size)
                f.seek(0)
                f.write(image)
                return
        sys.exit(f"{path}: no section .lcfg")


if __name__ == "__main__":
    main(sys.argv[1])
