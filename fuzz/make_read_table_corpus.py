#!/usr/bin/env python3
"""Writes the seed images of read_table_fuzz into corpus/read_table/.

Each seed is one mode byte (bit 0: 4096-byte blocks) followed by a small
disk image: MBRs with EBR chains, GPTs on both block sizes, a hybrid MBR,
256-byte entries and a whole-disk file system.
"""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "read_table")

ESP = bytes.fromhex("28732AC11FF8D211BA4B00A0C93EC93B")
LINUX = bytes.fromhex("AF3DC60F838472478E793D69D8477DE4")


def mbr_entry(status, type_, first, count):
    return struct.pack("<B3sB3sII", status, b"\0\0\0", type_, b"\0\0\0", first, count)


def put_mbr(img, lba, bs, entries, signature=0x1234ABCD):
    base = lba * bs
    struct.pack_into("<I", img, base + 440, signature)
    for i, e in enumerate(entries):
        img[base + 446 + 16 * i: base + 462 + 16 * i] = mbr_entry(*e)
    img[base + 510: base + 512] = b"\x55\xAA"


def put_gpt(img, bs, blocks, entries, count=4, size=128):
    array = bytearray(count * size)
    for index, type_, first, last, name in entries:
        e = index * size
        array[e: e + 16] = type_
        array[e + 16: e + 32] = bytes(range(index, index + 16))
        struct.pack_into("<QQQ", array, e + 32, first, last, 0)
        n = name.encode("utf-16-le")[:72]
        array[e + 56: e + 56 + len(n)] = n
    array_blocks = -(-len(array) // bs)
    padded = bytes(array) + bytes(array_blocks * bs - len(array))
    first_usable = 2 + array_blocks
    last_usable = blocks - 2 - array_blocks
    crc = zlib.crc32(array)
    for my, alt, arr in ((1, blocks - 1, 2), (blocks - 1, 1, blocks - 1 - array_blocks)):
        img[arr * bs: arr * bs + len(padded)] = padded
        h = bytearray(92)
        h[0:8] = b"EFI PART"
        struct.pack_into("<IIIIQQQQ16sQIII", h, 8, 0x10000, 92, 0, 0, my, alt,
                         first_usable, last_usable, bytes(range(16)), arr, count, size, crc)
        struct.pack_into("<I", h, 16, zlib.crc32(h))
        img[my * bs: my * bs + 92] = h


def seed(name, bs, blocks, build):
    img = bytearray(bs * blocks)
    build(img)
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(bytes([1 if bs == 4096 else 0]) + bytes(img))


def mbr_chain(img):
    put_mbr(img, 0, 512, [(0x80, 0x83, 1, 2), (0, 0x05, 3, 8)])
    put_mbr(img, 3, 512, [(0, 0x83, 1, 1), (0, 0x05, 3, 3)], 0)
    put_mbr(img, 6, 512, [(0, 0x07, 1, 2), (0, 0x05, 6, 2)], 0)
    put_mbr(img, 9, 512, [(0, 0x0C, 1, 1)], 0)


def gpt512(img):
    put_mbr(img, 0, 512, [(0, 0xEE, 1, 15)], 0)
    put_gpt(img, 512, 16, [(0, ESP, 3, 5, "EFI"), (2, LINUX, 6, 12, "root")])


def gpt4096(img):
    put_mbr(img, 0, 4096, [(0, 0xEE, 1, 7)], 0)
    put_gpt(img, 4096, 8, [(1, LINUX, 3, 4, "data")])


def hybrid_wide_entries(img):
    put_mbr(img, 0, 512, [(0, 0xEE, 1, 2), (0x80, 0x0C, 3, 5)], 0)
    put_gpt(img, 512, 16, [(0, ESP, 4, 5, "a"), (1, LINUX, 6, 11, "b")], count=4, size=256)


def fat32(img):
    img[0:3] = b"\xEB\x58\x90"
    img[82:87] = b"FAT32"
    img[510:512] = b"\x55\xAA"


os.makedirs(OUT, exist_ok=True)
seed("mbr_ebr_chain", 512, 12, mbr_chain)
seed("gpt_512", 512, 16, gpt512)
seed("gpt_4096", 4096, 8, gpt4096)
seed("gpt_hybrid_256_byte_entries", 512, 16, hybrid_wide_entries)
seed("fat32_whole_disk", 512, 4, fat32)
