#!/usr/bin/env python3
"""Writes the seed files of font_load_fuzz into corpus/font_load/.

Each seed is a 16-bit little-endian text length, the text, then a font blob:
the shipped blob cut down to one size (16 px regular, its offsets moved to
the smaller blob) and to two sizes, with texts that kern, miss characters,
carry broken UTF-8 or run off the canvas.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "font_load")
BLOB = os.path.join(os.path.dirname(HERE), "gui", "font", "korvane.kvf")


def cut(blob, records):
    """The blob with only the given size records, rebuilt compactly."""
    glyphs = struct.unpack_from("<H", blob, 6)[0]
    cp_offset = struct.unpack_from("<I", blob, 8)[0]
    head = bytearray(b"KVF1" + struct.pack("<HHI", len(records), glyphs, 0))
    head += bytes(20 * len(records))
    struct.pack_into("<I", head, 8, len(head))
    out = head + blob[cp_offset:cp_offset + 4 * glyphs]
    for slot, index in enumerate(records):
        record = bytearray(blob[12 + 20 * index:32 + 20 * index])
        metrics, kerning, count = struct.unpack_from("<III", record, 8)
        table = bytearray(blob[metrics:metrics + 12 * glyphs])
        pairs = blob[kerning:kerning + 4 * count]
        struct.pack_into("<II", record, 8, len(out), len(out) + len(table))
        bitmaps = bytearray()
        base = len(out) + len(table) + len(pairs)
        for g in range(glyphs):
            width, height = table[12 * g + 4], table[12 * g + 5]
            offset = struct.unpack_from("<I", table, 12 * g + 8)[0]
            size = (width + 1) // 2 * height
            struct.pack_into("<I", table, 12 * g + 8, base + len(bitmaps))
            bitmaps += blob[offset:offset + size]
        out += table + pairs + bitmaps
        out[12 + 20 * slot:32 + 20 * slot] = record
    return bytes(out)


def seed(name, text, blob):
    data = text.encode("utf-8", "surrogatepass") if isinstance(text, str) else text
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(struct.pack("<H", len(data)) + data + blob)


blob = open(BLOB, "rb").read()
one = cut(blob, [0])
two = cut(blob, [0, 11])
os.makedirs(OUT, exist_ok=True)
seed("kerning_16", "AVATAR To Wa Ty LT", one)
seed("missing_and_broken", b"A\xe4\xb8\xadV\xff\xc3(T\xe2\x80\x94o", one)
seed("two_sizes_long_line", "Disk 0: 512 GiB, GPT \u2014 partitions \u2026 " * 3, two)
