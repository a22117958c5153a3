#!/usr/bin/env python3
"""Odd and damaged disks lose nothing, through the whole program and kvedit:
a chain of 140 EBRs is not cut by a write, wipes that would destroy a table
block or another partition are refused, overlaps are noted as the peers
report them, an MBR behind a copied FAT32 parameter block is read as one,
deleting a partition of a hybrid-MBR disk leaves no stale legacy entry, and
a GPT on a tiny disk is refused with the reason. A GPT whose damage a write
mends (a blank start, a broken copy, a lost protective MBR, a stale hybrid
entry) is repaired by Write without any edit and judged sound by the peers
afterwards; a GPT too large to read is not called damaged. Every refusal
leaves the image byte for byte as it was.

usage: scenario_damaged.py PATH/TO/korvane-sim
"""

import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import damaged_images as di
import peers
import sim_driver as sd
from sim_driver import MiB


def kvedit(sim, image, script):
    tool = os.path.join(os.path.dirname(sim.sim), "tools", "kvedit")
    return subprocess.run([tool, image, script], capture_output=True, text=True, timeout=120)


def refused(sim, image, keys, *texts):
    """Runs the keys on the image; the texts appear and nothing is written."""
    before = sd.digest(image)
    run = sim.run([image], sim.open_disk(0) + keys)
    run.expect(*texts)
    sim.equal(f"{os.path.basename(image)} after the refusal", sd.digest(image), before)
    return run


def long_chain_is_not_cut_by_a_write(sim):
    img = di.long_chain(sim.path("m140.img"))
    before = sd.digest(img)
    why = "logical partitions after the first 128 were not read: writing would lose them"
    run = refused(sim, img, ["home", "down", "a", "enter", "y", "enter"], "Partition 5 active.",
                  f"Not written: {why}.")
    run.expect("Note: the chain of logical partitions is too long; stopped after 128")
    done = kvedit(sim, img, "type 1 5; write")
    sim.equal("kvedit status", done.returncode, 1)
    sim.equal("kvedit message", done.stderr.strip(), f"kvedit: write: {why}")
    sim.equal("m140.img after kvedit", sd.digest(img), before)
    # Deleting the extended partition deletes the unread logicals with it.
    sim.equal("kvedit status", kvedit(sim, img, "delete 1; write").returncode, 0)
    sim.equal("partitions sfdisk reads", peers.sfdisk_json(img)["partitions"], [])


def wipe_keeps_table_blocks(sim):
    # Entry 1 from block 0: the peers see no fault, and a wipe would take
    # the MBR with it.
    img = di.partition_at_block_zero(sim.path("p0.img"))
    sim.check(peers.sfdisk_verify(img) is None, "sfdisk --verify finds a fault in p0.img")
    refused(sim, img, ["home", "w"], "Note: partition 1 covers a block of the partition table",
            "The partition covers a block of the partition table")

    # Logical 5 begins at its own EBR; 6 behind it may still be wiped.
    img = di.logical_at_its_ebr(sim.path("l0.img"))
    refused(sim, img, ["home", "down", "w"], "The partition covers a block of the partition table")
    sd.fill_pattern(img, 6145 * 512, 2047 * 512, "l0")
    run = sim.run([img], sim.open_disk(0) + ["home", "down", "down", "w", "y"])
    run.expect_re(r"Partition 6 wiped \(1023\.5 KiB, 2 passes, \d+ s\)\.")
    sim.check(sd.read_range(img, 6145 * 512, 2047 * 512).count(0) == 2047 * 512,
              "partition 6 is not all zeros after the wipe")
    sim.equal("partitions sfdisk reads after the wipe",
              [p["number"] for p in sim.verify(img)["partitions"]], [1, 5, 6])

    # An extended partition at block 0 yields no phantom logical partition.
    img = di.extended_at_block_zero(sim.path("e0.img"))
    run = refused(sim, img, ["home", "w"], "Note: invalid extended boot record at block 0",
                  "Wipe the logical partitions one by one")
    run.expect_never(r"^  5 ", pattern=True)


def overlaps_are_noted_and_not_wiped(sim):
    img = di.overlapping_primaries(sim.path("ovm.img"))
    sim.check("overlaps partition 2" in (peers.sfdisk_verify(img) or ""),
              "sfdisk --verify does not report the overlap")
    sd.fill_pattern(img, 5000 * 512, 10000 * 512, "ovm")
    refused(sim, img, ["home", "w"], "Note: partitions 1 and 2 overlap",
            "The partition overlaps another one")

    img = di.overlapping_gpt(sim.path("ovg.img"))
    sim.check("partitions 2 and 1 overlap" in (peers.sgdisk_verify(img) or ""),
              "sgdisk -v does not report the overlap")
    refused(sim, img, ["home", "down", "w"], "Note: partitions 1 and 2 overlap",
            "The partition overlaps another one")

    # A logical partition at its own EBR: the writer says which and why.
    img = di.logical_at_its_ebr(sim.path("l0w.img"))
    before = sd.digest(img)
    done = kvedit(sim, img, "active 6; write")
    sim.equal("kvedit message", done.stderr.strip(),
              "kvedit: write: logical partition 5 begins at its extended boot record")
    sim.equal("l0w.img after kvedit", sd.digest(img), before)


def fat32_boot_code_keeps_its_table(sim):
    img = di.fat32_boot_code(sim.path("fat.img"))
    listed = [p["number"] for p in peers.sfdisk_json(img)["partitions"]]
    sim.equal("partitions sfdisk lists", listed, list(range(1, 9)))
    run = sim.run([img], sim.open_disk(0))
    for number in range(1, 9):
        run.expect_last(rf"^  {number}  ", pattern=True)
    run.expect_never("Note:")

    # A file system over the whole disk is still no table.
    for name, mkfs in (("fs-fat.img", ["mkfs.fat", "-F", "32"]),
                       ("fs-ntfs.img", ["mkfs.ntfs", "-F", "-Q"])):
        whole = sim.image(name, 64 * MiB)
        peers.run(mkfs + [whole])
        run = sim.run([whole], sim.open_disk(0))
        run.expect("No partition table.", "Note: no partition table: a file system covers the "
                   "whole disk")


def hybrid_entry_goes_with_its_partition(sim):
    img = di.hybrid(sim.path("hy.img"))
    run = sim.run([img], sim.open_disk(0) + ["home", "down", "d", "enter", "y"])
    run.expect("Partition 2 deleted.", "Written.")
    sim.check(peers.sgdisk_verify(img) is None, f"sgdisk -v: {peers.sgdisk_verify(img)}")
    with open(img, "rb") as f:
        block0 = f.read(512)
    types = [block0[446 + 16 * slot + 4] for slot in range(4)]
    sim.check(0x07 not in types and 0xEF in types and 0xEE in types,
              f"hybrid MBR types after the delete: {types}")


def gpt_on_a_tiny_disk_says_why(sim):
    img = sim.image("tiny.img", 64 * 512)
    refused(sim, img, ["z", "enter", "enter", "y", "enter"],
            "The disk is too small for a GPT (64 blocks; at least 68)",
            "Not written: the disk is too small for a GPT (64 blocks; at least 68).")


GPT_LAYOUT = ["-o", "-n", "1:2048:+20M", "-c", "1:boot", "-t", "1:ef00", "-n", "2:0:0", "-c",
              "2:data"]


def kvdump(sim, image):
    return peers.kvdump(os.path.join(os.path.dirname(sim.sim), "tools", "kvdump"), image)


def spoil(image, offset, length=1):
    """Inverts bytes of the image, so that whatever held them is damaged."""
    with open(image, "r+b") as f:
        f.seek(offset)
        data = f.read(length)
        f.seek(offset)
        f.write(bytes(b ^ 0xFF for b in data))


def zero(image, offset, length):
    with open(image, "r+b") as f:
        f.seek(offset)
        f.write(bytes(length))


def damage_is_repaired_without_an_edit(sim):
    size = 64 * MiB
    last = size - 512
    want = sim.table(sim.image("gpt-sound.img", size, sgdisk=GPT_LAYOUT))["partitions"]
    cases = [
        ("blank.img", lambda img: zero(img, 0, MiB),
         "Note: the start of the disk is blank; the backup GPT is used", "keys"),
        ("crc.img", lambda img: spoil(img, 512 + 60),
         "Note: the primary GPT has a wrong checksum; the backup copy is used", "keys"),
        ("nombr.img", lambda img: zero(img, 0, 512), "Note: the protective MBR is missing", "keys"),
        ("backup.img", lambda img: spoil(img, last + 60),
         "Note: the backup GPT has a wrong checksum", "kvedit"),
        ("array.img", lambda img: spoil(img, 2 * 512 + 200),
         "Note: the primary GPT has a partition array with a wrong checksum; the backup copy "
         "is used", "kvedit"),
    ]
    for name, damage, note, how in cases:
        img = sim.image(name, size, sgdisk=GPT_LAYOUT)
        damage(img)
        sim.check(kvdump(sim, img)["needs_repair"], f"{name}: kvdump sees no need for repair")
        if how == "keys":
            run = sim.run([img], sim.open_disk(0) + ["enter", "y"])
            run.expect(note, "the table needs repair: Enter writes it", "Written.")
            run.expect_re(r"Repair the GPT table of blk\d+ \(64\.0 MiB\)\? \(Y/N\)")
        else:
            done = kvedit(sim, img, "repair")
            sim.equal(f"{name}: kvedit repair", (done.returncode, done.stderr), (0, ""))
        sim.equal(f"{name}: partitions after the repair", sim.verify(img)["partitions"], want)
        sim.check(not kvdump(sim, img)["needs_repair"], f"{name}: still needs repair")
        # A sound table has nothing to repair: Enter and kvedit say so.
        before = sd.digest(img)
        sim.run([img], sim.open_disk(0) + ["enter"]).expect_last("No changes to write.")
        done = kvedit(sim, img, "repair")
        sim.equal(f"{name}: kvedit on a sound table", done.stderr.strip(),
                  "kvedit: repair: the table needs no repair")
        sim.equal(f"{name} after the refusals", sd.digest(img), before)

    # A legacy entry whose partition is gone is cleared by the repair.
    img = di.hybrid(sim.path("stale.img"))
    entries = [e for e in peers.mbr_entries(peers.read_block(img, 0)) if e["type"]]
    moved = [e for e in entries if e["type"] == 0x07][0]
    di.put_entries(img, 0, [(e["type"], e["first"] + (4096 if e is moved else 0), e["count"])
                            for e in entries])
    run = sim.run([img], sim.open_disk(0) + ["enter", "y"])
    run.expect(f"Note: hybrid MBR entry {entries.index(moved) + 1} matches no GPT partition",
               "Written.")
    sim.check(0x07 not in [e["type"] for e in peers.mbr_entries(peers.read_block(img, 0))],
              "the stale hybrid entry survived the repair")
    sim.verify(img)

    # A cut chain stays as it is: writing it would drop what was not read.
    img = di.long_chain(sim.path("m140r.img"))
    refused(sim, img, ["enter"], "No changes to write.")
    sim.equal("kvedit on a cut chain", kvedit(sim, img, "repair").returncode, 1)


def large_entry_array_is_not_called_damaged(sim):
    img = sim.image("big-array.img", 64 * MiB,
                    sgdisk=["-o", "-S", "9000", "-n", "1:8192:+8M", "-c", "1:big"])
    sim.check(peers.sgdisk_verify(img) is None, "sgdisk -v finds a fault in big-array.img")
    sim.equal("partitions sfdisk reads", len(sim.table(img)["partitions"]), 1)
    sim.equal("kvdump notes", kvdump(sim, img)["notes"],
              ["the GPT entry array holds 9000 entries, more than korvane reads"])
    refused(sim, img, ["z", "n", "x", "n"],
            "The GPT entry array holds 9000 entries, more than korvane reads. Make a new table "
            "anyway? (Y/N)",
            "The GPT entry array holds 9000 entries, more than korvane reads. Delete the table "
            "anyway? (Y/N)")


if __name__ == "__main__":
    session = sd.Session(sys.argv, __file__)
    session.main([long_chain_is_not_cut_by_a_write, wipe_keeps_table_blocks,
                  overlaps_are_noted_and_not_wiped, fat32_boot_code_keeps_its_table,
                  hybrid_entry_goes_with_its_partition, gpt_on_a_tiny_disk_says_why,
                  damage_is_repaired_without_an_edit, large_entry_array_is_not_called_damaged])
