#!/usr/bin/env python3
"""Writes SIZE bytes that do not compress, always the same ones: a file large enough for
an installation to take a moment, so that a test can watch the page while it is busy."""
import random
import sys

path, size = sys.argv[1], int(sys.argv[2])
with open(path, "wb") as f:
    f.write(random.Random(7).randbytes(size))
