#!/usr/bin/env python3
"""Reads an MVPK package with a decoder other than the Compression API: its own reading of
the buffer format and Debian's libwim called directly (ctypes), natively, without Wine.
Checks every file's SHA-256 and prints how many chunks are LZMS and how many stored.

  decode_with_wimlib.py PACKAGE-OR-SETUP.exe [--require-both]

A setup program is searched for its package (the first one that reads whole).
--require-both fails unless the package holds at least one LZMS and one stored chunk."""
import ctypes
import ctypes.util
import hashlib
import struct
import sys
import zlib

WIMLIB_COMPRESSION_TYPE_LZMS = 3


class Damaged(Exception):
    pass


def load_wimlib():
    lib = ctypes.CDLL(ctypes.util.find_library("wim") or "libwim.so.15")
    lib.wimlib_create_decompressor.argtypes = [ctypes.c_int, ctypes.c_size_t,
                                               ctypes.POINTER(ctypes.c_void_p)]
    lib.wimlib_decompress.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                                      ctypes.c_size_t, ctypes.c_void_p]
    lib.wimlib_free_decompressor.argtypes = [ctypes.c_void_p]
    return lib


def decode_buffer(lib, buf, counts):
    """One Compression API buffer: 24-byte header, then u32-sized chunks."""
    if len(buf) < 24:
        raise Damaged("buffer shorter than its header")
    magic, header_size, check, algorithm, total, chunk = struct.unpack_from("<IHBBQQ", buf)
    if magic != 0xC0E5510A or header_size != 24 or algorithm != 5:
        raise Damaged("not an LZMS buffer of the Compression API")
    if check != zlib.crc32(buf[0:6] + buf[7:24]) & 0xFF:
        raise Damaged("header check byte")
    out = bytearray()
    pos = 24
    decompressor = ctypes.c_void_p()
    if lib.wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, chunk,
                                      ctypes.byref(decompressor)):
        raise Damaged("chunk size %d" % chunk)
    try:
        while len(out) < total:
            size = min(chunk, total - len(out))
            (stored,) = struct.unpack_from("<I", buf, pos)
            data = buf[pos + 4:pos + 4 + stored]
            pos += 4 + stored
            if len(data) != stored or stored > size:
                raise Damaged("chunk record")
            if stored == size:
                counts["stored"] += 1
                out += data
                continue
            counts["lzms"] += 1
            target = ctypes.create_string_buffer(size)
            if lib.wimlib_decompress(data, stored, target, size, decompressor):
                raise Damaged("LZMS stream")
            out += target.raw
    finally:
        lib.wimlib_free_decompressor(decompressor)
    if pos != len(buf):
        raise Damaged("bytes after the last chunk")
    return bytes(out)


def read_package(lib, data, start):
    magic, version, files, blocks, total, meta = struct.unpack_from("<4sIIIQI", data, start)
    if magic != b"MVPK" or version != 1:
        raise Damaged("not an MVPK package")
    pos = start + 32 + meta
    entries = []
    for _ in range(files):
        offset, size, digest, length = struct.unpack_from("<QQ32sH", data, pos)
        pos += 50
        entries.append((offset, size, digest, data[pos:pos + length].decode("utf-8")))
        pos += length
    records = [struct.unpack_from("<QQ", data, pos + 16 * i) for i in range(blocks)]
    pos += 16 * blocks
    counts = {"lzms": 0, "stored": 0}
    stream = bytearray()
    for compressed, size in records:
        block = decode_buffer(lib, data[pos:pos + compressed], counts)
        if len(block) != size:
            raise Damaged("block size")
        stream += block
        pos += compressed
    if len(stream) != total:
        raise Damaged("total size")
    for offset, size, digest, path in entries:
        if hashlib.sha256(stream[offset:offset + size]).digest() != digest:
            raise Damaged("SHA-256 of " + path)
    return len(entries), blocks, total, counts


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    data = open(args[0], "rb").read()
    lib = load_wimlib()
    starts = [0] if data[:4] == b"MVPK" else []
    at = data.find(b"MVPK\x01\x00\x00\x00")
    while at >= 0:
        starts.append(at)
        at = data.find(b"MVPK\x01\x00\x00\x00", at + 1)
    failure = "no MVPK package"
    for start in starts:
        try:
            files, blocks, total, counts = read_package(lib, data, start)
        except (Damaged, struct.error, UnicodeDecodeError) as e:
            failure = str(e)
            continue
        print("%d files, %d bytes, %d blocks: %d LZMS chunks, %d stored chunks, every SHA-256 right"
              % (files, total, blocks, counts["lzms"], counts["stored"]))
        if "--require-both" in sys.argv and not (counts["lzms"] and counts["stored"]):
            print("expected at least one LZMS and one stored chunk", file=sys.stderr)
            return 1
        return 0
    print("unreadable: " + failure, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
