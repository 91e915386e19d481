#!/usr/bin/env python3
"""Writes sample/game.pak: a made-up game archive with four PNG images.

The archive has a header, a table of entries and the entries' data. The
third image is stored without its PNG signature, the way some engines keep
them, and the fourth has a damaged signature and length field. Everything is
deterministic, so the file can be made again byte for byte.
"""
import struct
import zlib
from pathlib import Path


def chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data +
            struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


def png(width, height, pixel, color_type=2, extra=b""):
    channels = {2: 3, 6: 4}[color_type]
    raw = b"".join(
        b"\0" + b"".join(bytes(pixel(x, y)[:channels]) for x in range(width))
        for y in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra +
            chunk(b"IDAT", zlib.compress(raw, 9)) +
            chunk(b"tEXt", b"Comment\0made for the pngcarve sample") +
            chunk(b"IEND", b""))


images = [
    png(48, 48, lambda x, y: (x * 5, y * 5, 160)),
    png(32, 32, lambda x, y: (255, 255, 255, 255) if (x // 8 + y // 8) % 2
        else (20, 90, 200, 128), color_type=6),
    png(40, 24, lambda x, y: (200, (x * y) % 256, 40))[8:],  # no signature
    b"\x00\x00\x00\x00\x00\x00\x00\x00\xff\xff\xff\xff" +
    png(16, 16, lambda x, y: (x * 16, x * 16, y * 16))[12:],  # damaged
]
names = [b"ui/logo.png", b"ui/button.png", b"tex/brick.raw", b"icons/gem.bin"]
filler = bytes((i * 37 + 11) % 97 + 97 for i in range(700))  # lower case

table, data = b"", b""
offset = 16 + 48 * len(images)
for name, blob in zip(names, images):
    table += name.ljust(40, b"\0") + struct.pack("<II", offset + len(data), len(blob))
    data += blob + filler[: 100 + len(data) % 200]
archive = b"GAMEPAK1" + struct.pack("<II", len(images), 0) + table + data
Path(__file__).with_name("game.pak").write_bytes(archive)
print(len(archive), "bytes")
