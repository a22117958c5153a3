#!/usr/bin/env python3
"""Backup and Restore through the whole program: a backup to the start
volume fs0 holds exactly the table blocks of the disk, a damaged disk comes
back byte for byte from it, an MBR backup restored over a GPT disk clears the
old GPT, and every refusal of both commands leaves disk and files alone.

usage: scenario_backup.py PATH/TO/korvane-sim
"""

import os
import struct
import sys
import zlib

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import sim_driver as sd
from sim_driver import MiB, typed

DISK = 64 * MiB
BLOCKS = DISK // 512
GPT3 = ["-o", "-n", "1:2048:+8M", "-c", "1:boot", "-t", "1:EF00", "-n", "2:0:+16M", "-c",
        "2:data", "-n", "3:0:+8M"]
LOGICALS = ("label: dos\nstart=2048, size=16384, type=c, bootable\n"
            "start=18432, size=16384, type=83\nstart=34816, type=5\n"
            "start=36864, size=16384, type=82\nstart=55296, size=32768, type=83\n")


def parse_backup(sim, path):
    """The backup file's header and ranges [(first, count, data)], checked
    for the magic, the version and the checksum."""
    with open(path, "rb") as f:
        raw = f.read()
    sim.check(len(raw) >= 32 and raw[:8] == b"KORVANE1", f"{path}: no backup magic")
    sim.equal("backup checksum", struct.unpack_from("<I", raw, len(raw) - 4)[0],
              zlib.crc32(raw[:-4]))
    version, block_size, block_count, count = struct.unpack_from("<IIQI", raw, 8)
    sim.equal("backup version", version, 1)
    at, ranges = 28, []
    for _ in range(count):
        first, blocks = struct.unpack_from("<QI", raw, at)
        at += 12
        ranges.append((first, blocks, raw[at:at + blocks * block_size]))
        at += blocks * block_size
    sim.equal("end of the ranges", at, len(raw) - 4)
    return block_size, block_count, ranges


def expect_copy_of(sim, ranges, img, block_size=512):
    for first, blocks, data in ranges:
        sim.equal(f"backup range at block {first}", data,
                  sd.read_range(img, first * block_size, blocks * block_size))


def crafted_backup(path, block_count, version=1, block_size=512, ranges=()):
    body = b"KORVANE1" + struct.pack("<IIQI", version, block_size, block_count, len(ranges))
    for first, data in ranges:
        body += struct.pack("<QI", first, len(data) // block_size) + data
    with open(path, "wb") as f:
        f.write(body + struct.pack("<I", zlib.crc32(body)))


def gpt_backup_damage_restore(sim):
    img = sim.image("gpt.img", DISK, sgdisk=GPT3)
    pristine = sd.digest(img)
    fs = sim.volume("gpt-fs")
    size = 28 + 5 * 12 + 3 * 512 + 2 * 32 * 512 + 4
    # Saved, then saved again over the file after a refusal and a yes.
    keys = sim.open_disk(0) + ["b", "enter", "b", "enter", "n", "b", "enter", "y"]
    run = sim.run([img], keys, fs=fs)
    name = run.disk_name(0)
    file_name = f"korvane-{name}.bin"
    run.expect_title("Backup")
    run.expect("Backup of the table on the disk, to file:", "Volumes: fs0",
               f"fs0:\\{file_name}", f"Saved fs0:\\{file_name} ({size} bytes).",
               "The file exists. Replace it? (Y/N)", f"Saved fs0:\\{file_name} ({size} bytes).")
    sim.equal("saves", run.appearances(f"Saved fs0:\\{file_name} ({size} bytes)."), 2)
    backup = os.path.join(fs, file_name)
    sim.equal("backup file size", os.path.getsize(backup), size)
    block_size, block_count, ranges = parse_backup(sim, backup)
    sim.equal("backup geometry", (block_size, block_count), (512, BLOCKS))
    sim.equal("backup ranges", [(r[0], r[1]) for r in ranges],
              [(0, 1), (1, 1), (2, 32), (BLOCKS - 1, 1), (BLOCKS - 33, 32)])
    expect_copy_of(sim, ranges, img)
    sim.equal("disk after a backup", sd.digest(img), pristine)

    # Both GPT copies and the protective MBR are lost.
    peers.write_block_bytes(img, 0, bytes(34 * 512))
    peers.write_block_bytes(img, (BLOCKS - 33) * 512, bytes(33 * 512))
    sim.equal("sfdisk's reading of the damaged disk", sim.table(img), None)
    # A new run remembers no file: the name is typed, with the volume in
    # capitals and no backslash.
    keys = sim.open_disk(0) + ["s", typed("FS0:" + file_name), "enter", "y"]
    run = sim.run([img], keys, fs=fs)
    run.expect_title("Restore")
    run.expect("No partition table.", "Restore from file:",
               f"Restore fs0:\\{file_name} to {name}? (Y/N)", f"Restored from fs0:\\{file_name}.")
    run.expect_last(r"^  2  .*Linux filesystem +data$", pattern=True)
    sim.equal("restored disk", sd.digest(img), pristine)
    sim.verify(img)


def another_disks_backup_is_named(sim):
    """A backup of disk 1 offered to disk 2 of the same size: each disk's
    prompt offers its own file, and the question says whose table it is."""
    one = sim.image("one.img", DISK, sgdisk=GPT3)
    two = peers.sgdisk(sim.image("two.img", DISK, sgdisk=GPT3), "-G")
    before = (sd.digest(one), sd.digest(two))
    fs = sim.volume("two-fs")
    run = sim.run([one, two], [], fs=fs)
    first, second = run.disk_name(0), run.disk_name(1)
    mine = f"fs0:\\korvane-{first}.bin"
    keys = sim.open_disk(0) + ["b", "enter", "esc"] + sim.open_disk(1) + [
        "s", "enter", "esc", "s"] + ["bs"] * 30 + [typed(mine), "enter", "n"]
    run = sim.run([one, two], keys, fs=fs)
    run.expect(f"fs0:\\korvane-{second}.bin could not be read: not found.",
               f"Restore {mine} to {second}? The backup was made on another disk. (Y/N)")
    sim.equal("disks after the answers no", (sd.digest(one), sd.digest(two)), before)
    # Its own backup restored to the disk it came from asks as ever.
    run = sim.run([one, two], sim.open_disk(0) + ["s", "enter", "y"], fs=fs)
    run.expect(f"Restore {mine} to {first}? (Y/N)", f"Restored from {mine}.")


def mbr_backup_with_logicals(sim):
    img = sim.image("mbr.img", DISK, sfdisk=LOGICALS)
    pristine = sd.digest(img)
    fs = sim.volume("mbr-fs")
    os.makedirs(os.path.join(fs, "tables"))
    target = "fs0:\\tables\\mbr.bin"
    # Saved with forward slashes; a restore over unwritten changes warns and
    # is declined; the remembered name is the next default.
    keys = sim.open_disk(0) + ["b", typed("fs0:/tables/mbr.bin"), "enter"]
    keys += ["home", "d", "s", "enter", "n"]
    run = sim.run([img], keys, fs=fs)
    name = run.disk_name(0)
    run.expect(f"Saved {target} (", "Partition 1 deleted.",
               f"Restore {target} to {name}? Unwritten changes are lost. (Y/N)",
               "Nothing was written.")
    sim.equal("disk after a declined restore", sd.digest(img), pristine)
    _, _, ranges = parse_backup(sim, os.path.join(fs, "tables", "mbr.bin"))
    firsts = [r[0] for r in ranges]
    sim.equal("first ranges of an MBR backup", firsts[:2], [0, 34816])
    sim.equal("ranges of an MBR backup (block 0, one per EBR)", len(ranges), 3)
    expect_copy_of(sim, ranges, img)

    for first, blocks, _ in ranges:
        peers.write_block_bytes(img, first * 512, bytes(blocks * 512))
    # Restored over a new table that was never written: the changes go.
    keys = sim.open_disk(0) + sd.new_table("gpt") + ["s", typed(target), "enter", "y"]
    run = sim.run([img], keys, fs=fs)
    run.expect("New empty GPT table.",
               f"Restore {target} to {name}? Unwritten changes are lost. (Y/N)",
               f"Restored from {target}.")
    run.expect_last(r"^  1  .*FAT32 \(LBA\) +active$", pattern=True)
    sim.check(not run.last.has("* = changes not written"), "changes are still marked")
    sim.equal("restored disk", sd.digest(img), pristine)
    sim.verify(img)


def mbr_backup_over_a_gpt_disk(sim):
    """An MBR backup restored over a GPT disk of the same size: the old GPT
    headers and arrays are cleared, the restored partition's blocks are
    not."""
    mbr = sim.image("source.img", DISK, sfdisk="label: dos\nstart=1, size=4095, type=83\n"
                    "start=4096, size=16384, type=7\n")
    gpt = sim.image("target.img", DISK, sgdisk=GPT3)
    keys = sim.open_disk(0) + ["b", typed("fs0:\\mbr.bin"), "enter", "esc"]
    # Each disk offers its own file: the other disk's is typed.
    keys += sim.open_disk(1) + ["s"] + ["bs"] * 30 + [typed("fs0:\\mbr.bin"), "enter", "y"]
    run = sim.run([mbr, gpt], keys)
    run.expect("Saved fs0:\\mbr.bin (", f"Restore fs0:\\mbr.bin to {run.disk_name(1)}? (Y/N)",
               "Restored from fs0:\\mbr.bin.")
    sim.equal("block 0 of the restored disk", peers.read_block(gpt, 0), peers.read_block(mbr, 0))
    for lba in range(BLOCKS - 33, BLOCKS):
        sim.equal(f"old backup GPT block {lba}", peers.read_block(gpt, lba), bytes(512))
    sim.check(peers.read_block(gpt, 1)[:8] == b"EFI PART",
              "block 1 lies inside a restored partition and must be left alone")
    table = sim.table(gpt)
    sim.equal("sfdisk's reading of the restored disk",
              [(p["start"], p["size"], p["type"]) for p in table["partitions"]],
              [(1, 4095, 0x83), (4096, 16384, 0x07)])


def restore_refusals(sim):
    img = sim.image("refuse.img", DISK, sgdisk=GPT3)
    before = sd.digest(img)
    fs = sim.volume("refuse-fs")
    with open(os.path.join(fs, "hello.txt"), "wb") as f:
        f.write(b"hello, this is no backup of anything at all")
    crafted_backup(os.path.join(fs, "other-size.bin"), BLOCKS + 1)
    crafted_backup(os.path.join(fs, "newer.bin"), BLOCKS, version=2)
    crafted_backup(os.path.join(fs, "big-blocks.bin"), BLOCKS // 8, block_size=4096)
    crafted_backup(os.path.join(fs, "damaged.bin"), BLOCKS, ranges=[(0, bytes(512))])
    with open(os.path.join(fs, "damaged.bin"), "r+b") as f:
        f.seek(40)
        f.write(b"\x01")
    with open(os.path.join(fs, "huge.bin"), "wb") as f:
        f.truncate(64 * MiB + 1)
    answers = [
        ("table.bin", "The file needs its volume, e.g. fs1:\\table.bin."),
        ("fs0:\\nope.bin", "fs0:\\nope.bin could not be read: not found."),
        ("fs0:\\huge.bin", "fs0:\\huge.bin could not be read: invalid parameter."),
        ("fs0:\\hello.txt", "This is not a korvane backup file"),
        ("fs0:\\damaged.bin", "The backup file is damaged (wrong checksum)"),
        ("fs0:\\newer.bin", "The backup file was made by a newer korvane"),
        ("fs0:\\big-blocks.bin", "The backup was made on a disk with a different block size"),
        ("fs0:\\other-size.bin", "The backup was made on a disk of a different size"),
    ]
    keys = sim.open_disk(0) + ["s", "esc"]
    for answer, _ in answers:
        keys += ["s", typed(answer), "enter"]
        if answer.startswith("fs0:\\") and answer not in ("fs0:\\nope.bin", "fs0:\\huge.bin"):
            keys += ["y"]
        keys += ["enter"]
    run = sim.run([img], keys, fs=fs)
    run.expect(*[message for _, message in answers])
    run.expect_never("Restored from")
    sim.equal("disk after refused restores", sd.digest(img), before)


def backup_refusals(sim):
    blank = sim.image("blank.img", DISK)
    gpt = sim.image("edited.img", DISK, sgdisk=GPT3)
    before = sd.digest(gpt)
    fs = sim.volume("backup-refuse-fs")
    os.makedirs(os.path.join(fs, "sub"))
    keys = sim.open_disk(0) + ["b", "enter", "enter", "esc"]
    keys += sim.open_disk(1) + ["b", typed("table.bin"), "enter", "enter"]
    keys += ["b", typed("fs9:\\x.bin"), "enter", "enter"]
    keys += ["b", typed("fs0:\\sub"), "enter", "y", "enter"]
    keys += ["b", "esc"]
    # Unwritten changes do not go into a backup: it holds what is on the disk.
    keys += ["home", "d", "b", typed("fs0:\\edited.bin"), "enter"]
    run = sim.run([blank, gpt], keys, fs=fs)
    run.expect("No partition table to back up.",
               "The file needs its volume, e.g. fs1:\\table.bin.", "fs9:\\x.bin: not found.",
               "The file exists. Replace it? (Y/N)", "fs0:\\sub: is a directory.",
               "Partition 1 deleted.", "Saved fs0:\\edited.bin (")
    sim.equal("files on fs0", sorted(os.listdir(fs)), ["edited.bin", "sub"])
    _, _, ranges = parse_backup(sim, os.path.join(fs, "edited.bin"))
    expect_copy_of(sim, ranges, gpt)
    sim.equal("disk after a backup", sd.digest(gpt), before)


def no_writable_volume(sim):
    """Started from a write-protected fs0, or from no volume at all: the
    prompt lists what there is, offers no file name, and nothing is saved."""
    gpt = sim.image("novol.img", DISK, sgdisk=GPT3)
    before = sd.digest(gpt)
    fs = sim.volume("backup-ro-fs")
    keys = sim.open_disk(0) + ["b", typed("fs0:\\t.bin"), "enter", "enter"]
    run = sim.run([gpt], keys, fs=fs, options=["--fs-ro"])
    run.expect("Volumes: fs0 (ro)")
    run.expect_never("korvane-")
    run.expect_re(r"fs0:\\t\.bin: [a-z][a-z ]*\.")
    sim.equal("files on the write-protected fs0", os.listdir(fs), [])

    keys = sim.open_disk(0) + ["b", "enter", "enter"]
    run = sim.run([gpt], keys, options=["--no-fs"])
    run.expect("Volumes: none", "The file needs its volume, e.g. fs1:\\table.bin.")
    sim.equal("disk after refused backups", sd.digest(gpt), before)


if __name__ == "__main__":
    session = sd.Session(sys.argv, __file__)
    session.main([gpt_backup_damage_restore, mbr_backup_with_logicals, mbr_backup_over_a_gpt_disk,
                  restore_refusals, backup_refusals, no_writable_volume,
                  another_disks_backup_is_named])
