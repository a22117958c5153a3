#!/usr/bin/env python3
"""Writes the seed files of restore_backup_fuzz into corpus/restore_backup/.

Each seed is one mode byte (bit 0: the GPT disk, else the MBR disk; bits 1-3:
the write that fails; bit 4: the harness fixes the checksum) followed by a
backup file for the fuzz target's 32-block disk of 512-byte blocks: backups of
both disks restored over either disk, one with a failing write, and the
smallest valid file.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "restore_backup")
BS = 512
BLOCKS = 32


def put_entry(img, lba, slot, type_, first, count):
    base = lba * BS + 446 + 16 * (slot - 1)
    img[base + 4] = type_
    struct.pack_into("<II", img, base + 8, first, count)
    img[lba * BS + 510: lba * BS + 512] = b"\x55\xAA"


def mbr_disk():
    img = bytearray(BS * BLOCKS)
    put_entry(img, 0, 1, 0x83, 1, 3)
    put_entry(img, 0, 2, 0x05, 4, 28)
    put_entry(img, 4, 1, 0x83, 1, 8)
    put_entry(img, 4, 2, 0x05, 9, 19)
    put_entry(img, 13, 1, 0x07, 1, 18)
    return img


def gpt_disk():
    img = bytearray(BS * BLOCKS)
    put_entry(img, 0, 1, 0xEE, 1, BLOCKS - 1)
    array = bytearray(BS)
    for i, (first, last) in enumerate(((4, 9), (10, 28))):
        e = 128 * i
        array[e: e + 32] = bytes([0x11 * (i + 1)]) * 32
        struct.pack_into("<QQ", array, e + 32, first, last)
    crc = zlib.crc32(array[:4 * 128])
    for my, alt, arr in ((1, BLOCKS - 1, 2), (BLOCKS - 1, 1, BLOCKS - 2)):
        img[arr * BS: (arr + 1) * BS] = array
        h = bytearray(92)
        h[0:8] = b"EFI PART"
        struct.pack_into("<IIIIQQQQ16sQIII", h, 8, 0x10000, 92, 0, 0, my, alt, 3,
                         BLOCKS - 3, b"\x42" * 16, arr, 4, 128, crc)
        struct.pack_into("<I", h, 16, zlib.crc32(h))
        img[my * BS: my * BS + 92] = h
    return img


def backup(img, ranges):
    out = bytearray(b"KORVANE1")
    out += struct.pack("<IIQI", 1, BS, BLOCKS, len(ranges))
    for first, count in ranges:
        out += struct.pack("<QI", first, count)
        out += img[first * BS: (first + count) * BS]
    out += struct.pack("<I", zlib.crc32(out))
    return bytes(out)


def seed(name, mode, data):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(bytes([mode]) + data)


MBR = backup(mbr_disk(), [(0, 1), (4, 1), (13, 1)])
GPT = backup(gpt_disk(), [(0, 1), (1, 1), (2, 1), (BLOCKS - 1, 1), (BLOCKS - 2, 1)])

os.makedirs(OUT, exist_ok=True)
seed("mbr_on_mbr", 0, MBR)
seed("gpt_on_gpt", 1, GPT)
seed("mbr_on_gpt", 1, MBR)
seed("gpt_on_mbr", 0, GPT)
seed("mbr_on_gpt_fourth_write_fails", 1 | (4 << 1), MBR)
seed("no_ranges", 0, backup(mbr_disk(), []))
seed("gpt_on_gpt_resealed", 1 | 16, GPT)
