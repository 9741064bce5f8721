#!/usr/bin/env python3
"""Writes the smallest valid MVPK package: a header with no files, no blocks and no
metadata. Tests use it where a setup program needs a package that opens."""
import struct
import sys

with open(sys.argv[1], "wb") as f:
    f.write(b"MVPK" + struct.pack("<IIIQII", 1, 0, 0, 0, 0, 0))
