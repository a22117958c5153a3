"""Hand-made damaged and odd partition tables that the peer tools cannot lay
out themselves: long EBR chains, partitions over table blocks, overlaps,
an MBR behind a copied FAT32 parameter block. Every image is a sparse file
of 512-byte blocks; the sfdisk and sgdisk layouts start from peers.py."""

import os
import struct
import zlib

import peers

BLOCK = 512


def _entry(kind, start, size, status=0):
    return struct.pack("<B3sB3sII", status, b"\xfe\xff\xff", kind, b"\xfe\xff\xff", start, size)


def put_entries(path, block, entries):
    """Writes up to four (type, start, size) entries into slots 1-4 of a
    block, empty slots zero, and 0x55 0xAA; the other bytes stay."""
    slots = b"".join(_entry(*e) for e in entries).ljust(64, b"\0")
    with open(path, "r+b") as f:
        f.seek(block * BLOCK + 446)
        f.write(slots + b"\x55\xaa")


def write_chain(path, extended, ebrs):
    """One EBR per (ebr block, logical start, logical size), linked in
    order; link starts relative to the extended partition."""
    for i, (ebr, start, size) in enumerate(ebrs):
        entries = [(0x83, start - ebr, size)]
        if i + 1 < len(ebrs):
            nxt, nstart, nsize = ebrs[i + 1]
            entries.append((0x05, nxt - extended, nstart + nsize - nxt))
        put_entries(path, ebr, entries)


def long_chain(path, count=140):
    """1 GiB: the extended partition from 2048 to the end, an EBR every
    2048 blocks from 2048, each logical partition at its EBR + 1 with 2047
    blocks."""
    blocks = (1 << 30) // BLOCK
    peers.make_image(path, blocks * BLOCK)
    put_entries(path, 0, [(0x05, 2048, blocks - 2048)])
    write_chain(path, 2048, [(2048 * (i + 1), 2048 * (i + 1) + 1, 2047) for i in range(count)])
    return path


def partition_at_block_zero(path):
    """Entry 1 from block 0 over the MBR itself, entry 2 after it."""
    peers.make_image(path, 8 << 20)
    put_entries(path, 0, [(0x83, 0, 4096), (0x83, 4096, 4096)])
    return path


def logical_at_its_ebr(path):
    """Logical partition 5 begins at its own EBR; 6 follows in the chain."""
    peers.make_image(path, 16 << 20)
    put_entries(path, 0, [(0x05, 2048, 20480)])
    write_chain(path, 2048, [(2048, 2048, 2048), (6144, 6145, 2047)])
    return path


def extended_at_block_zero(path):
    peers.make_image(path, 8 << 20)
    put_entries(path, 0, [(0x05, 0, 16384)])
    return path


def overlapping_primaries(path):
    peers.make_image(path, 16 << 20)
    put_entries(path, 0, [(0x83, 2048, 10000), (0x83, 5000, 10000)])
    return path


def overlapping_gpt(path):
    """Entries 100-300 and 200-400: laid out apart by sgdisk, then entry 2
    moved to 200 in both arrays with the checksums made right again."""
    peers.make_image(path, 8 << 20)
    peers.sgdisk(path, "-o", "-a", "1", "-n", "1:100:300", "-n", "2:301:400")
    with open(path, "r+b") as f:
        for header_lba in (1, os.path.getsize(path) // BLOCK - 1):
            f.seek(header_lba * BLOCK)
            header = bytearray(f.read(92))
            array_lba, count, size = struct.unpack_from("<QII", header, 72)
            f.seek(array_lba * BLOCK)
            array = bytearray(f.read(count * size))
            struct.pack_into("<Q", array, size + 32, 200)
            f.seek(array_lba * BLOCK)
            f.write(array)
            struct.pack_into("<I", header, 88, zlib.crc32(array))
            struct.pack_into("<I", header, 16, 0)
            struct.pack_into("<I", header, 16, zlib.crc32(header))
            f.seek(header_lba * BLOCK)
            f.write(header)
    return path


EIGHT = ("label: dos\nstart=2048, size=20480, type=c, bootable\nstart=22528, size=20480, type=83\n"
         "start=43008, size=20480, type=82\nstart=63488, type=5\n"
         "start=65536, size=10240, type=83\nstart=77824, size=10240, type=83\n"
         "start=90112, size=10240, type=83\nstart=102400, size=10240, type=83\n")


def fat32_boot_code(path):
    """An sfdisk MBR with 8 partitions whose boot code begins EB 63 90 and
    holds "FAT32   " at byte 82, as a boot loader that copied an old file
    system's parameter block leaves it."""
    peers.make_image(path, 64 << 20)
    peers.sfdisk_write(path, EIGHT)
    with open(path, "r+b") as f:
        f.write(b"\xeb\x63\x90MSWIN4.1")
        f.seek(82)
        f.write(b"FAT32   ")
    return path


def hybrid(path):
    """The hybrid MBR of sgdisk -h 1:2 over three GPT partitions."""
    peers.make_image(path, 512 << 20)
    peers.sgdisk(path, "-o", "-n", "1:0:+100M", "-t", "1:ef00", "-n", "2:0:+200M", "-t",
                 "2:0700", "-n", "3:0:+100M")
    peers.sgdisk(path, "-h", "1:2")
    return path


def read_all(path):
    with open(path, "rb") as f:
        return f.read()
