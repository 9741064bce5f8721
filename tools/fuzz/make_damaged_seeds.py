#!/usr/bin/env python3
"""Hand-made seeds for the reader fuzzer: a small valid package built here, and damaged
variants of it and of every package given (those made by `mvpk pack`), one per check of
the package format. Usage: make_damaged_seeds.py OUTPUT_DIR [PACKAGE...]
With --blocks, seeds for the container fuzzer instead: every block of the packages given.
Usage: make_damaged_seeds.py --blocks OUTPUT_DIR PACKAGE..."""
import hashlib
import struct
import sys
import zlib
from pathlib import Path


def stored_buffer(raw):
    """A Compression API buffer holding raw as one stored chunk."""
    header = bytearray(b"\x0a\x51\xe5\xc0" + struct.pack("<HBBQQ", 24, 0, 5, len(raw), len(raw)))
    header[6] = zlib.crc32(bytes(header[:6] + header[7:])) & 0xFF
    return bytes(header) + struct.pack("<I", len(raw)) + raw


def blocks_of(package):
    """The compressed blocks of a valid package, in order."""
    files, blocks, _, metadata = struct.unpack_from("<IIQI", package, 8)
    pos = 32 + metadata
    for _ in range(files):
        pos += 50 + struct.unpack_from("<H", package, pos + 48)[0]
    sizes = [struct.unpack_from("<Q", package, pos + 16 * i)[0] for i in range(blocks)]
    pos += 16 * blocks
    for size in sizes:
        yield package[pos:pos + size]
        pos += size


def build(files, block_size=8, metadata=b"product=Fuzz\n", version=1, reserved=0):
    stream = b"".join(content for _, content in files)
    table = b""
    offset = 0
    for path, content in files:
        table += struct.pack("<QQ", offset, len(content)) + hashlib.sha256(content).digest()
        table += struct.pack("<H", len(path)) + path
        offset += len(content)
    blocks = [stream[i:i + block_size] for i in range(0, len(stream), block_size)]
    # Stored chunks: enough for the reader, which never decompresses.
    data = [stored_buffer(b) for b in blocks]
    block_table = b"".join(struct.pack("<QQ", len(d), len(b)) for d, b in zip(data, blocks))
    header = b"MVPK" + struct.pack("<IIIQII", version, len(files), len(blocks), len(stream),
                                   len(metadata), reserved)
    return header + metadata + table + block_table + b"".join(data)


def damaged(package):
    """Variants of a package that each fail (or pass) one check of the reader."""
    out = {}
    out["truncated-31"] = package[:31]
    out["magic"] = b"MVPX" + package[4:]
    out["version-2"] = package[:4] + struct.pack("<I", 2) + package[8:]
    out["reserved"] = package[:28] + b"\xff\xff\xff\xff" + package[32:]
    out["metadata-long"] = package[:24] + struct.pack("<I", 0xFFFFFFF0) + package[28:]
    out["files-many"] = package[:8] + struct.pack("<I", 0xFFFFFFFF) + package[12:]
    out["blocks-many"] = package[:12] + struct.pack("<I", 0xFFFFFFFF) + package[16:]
    out["total-off"] = package[:16] + struct.pack("<Q", struct.unpack_from("<Q", package, 16)[0] + 1) + package[24:]
    out["total-max"] = package[:16] + struct.pack("<Q", 2**64 - 1) + package[24:]
    for cut in (33, 40, 60, 83, 100, len(package) // 2, len(package) - 17, len(package) - 1):
        if 0 < cut < len(package):
            out[f"cut-{cut}"] = package[:cut]
    out["extra"] = package + b"\0" * 7
    flipped = bytearray(package)
    for i in range(32, len(package), 13):
        flipped[i] ^= 0xFF
    out["flipped"] = bytes(flipped)
    return out


def main():
    if sys.argv[1] == "--blocks":
        target = Path(sys.argv[2])
        count = 0
        for path in sys.argv[3:]:
            for i, block in enumerate(blocks_of(Path(path).read_bytes())):
                (target / f"{Path(path).stem}-{i}.lzms").write_bytes(block)
                count += 1
        print(f"{count} blocks of mvpk packages in {target}")
        return
    target = Path(sys.argv[1])
    target.mkdir(parents=True, exist_ok=True)
    packages = {
        "empty": build([]),
        "two": build([(b"a.txt", b"alpha"), (b"dir\\b.bin", b"bravo, bravo")]),
        "zero-sizes": build([(b"e1", b""), (b"d/e2", b""), (b"x", b"123456789abcdef")], 4),
        "unsafe": build([(b"..\\evil", b"x")]),
        "colon": build([(b"C:\\evil", b"x")]),
        "duplicate": build([(b"same", b"1"), (b"same", b"2")]),
        "wrap": build([(b"a", b"")])[:0] + b"MVPK" + struct.pack("<IIIQII", 1, 2, 0, 1, 0, 0)
                + struct.pack("<QQ", 0, 2**64 - 1) + b"\0" * 32 + struct.pack("<H", 1) + b"a"
                + struct.pack("<QQ", 2**64 - 1, 2) + b"\0" * 32 + struct.pack("<H", 1) + b"b",
    }
    for path in sys.argv[2:]:
        packages["mvpk-" + Path(path).stem] = Path(path).read_bytes()
    count = 0
    for name, package in packages.items():
        (target / f"{name}.mvpk").write_bytes(package)
        count += 1
        for variant, bytes_ in damaged(package).items():
            (target / f"{name}-{variant}.mvpk").write_bytes(bytes_)
            count += 1
    print(f"{count} hand-made seeds in {target}")


if __name__ == "__main__":
    main()
