#!/usr/bin/env python3
"""GPT commands through the whole program: a new table with three
partitions, deleting and reusing a number, changing types by the list and by
GUID, renaming, deleting the table, and a failed write; every image the
program writes is then read by sfdisk and checked by sgdisk -v.

usage: scenario_gpt.py PATH/TO/korvane-sim
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


def three_partitions_one_named(sim):
    img = sim.image("new.img", DISK)
    keys = sim.open_disk(0) + sd.new_table("gpt")
    keys += sd.new_partition(size="16M", type_keys=sd.choose(0), name="boot")
    keys += ["down"] + sd.new_partition(size="20M", type_keys=sd.choose(7), name="")
    # The rest of the disk, typed as a GUID that the list does not hold.
    keys += ["down"] + sd.new_partition(type_keys=["end", "enter", typed(sd.FREEBSD_UFS), "enter"],
                                        name="")
    keys += sd.write()
    run = sim.run([img], keys)
    name = run.disk_name(0)

    last_usable = BLOCKS - 34
    run.expect(f"Korvane {sd.VERSION}   {name}  ", "New empty GPT table.",
               "Start (free: 1 MiB to " + sd.format_size((last_usable + 1) * 512) + "):",
               "Size (512M, 20G..., rest = " + sd.format_size((last_usable + 1 - 2048) * 512)
               + "):", "EFI system", "Other (type GUID)...", "Name (optional, 36 characters):",
               "Partition 1 added.", "Start (free: 17 MiB to", "Partition 2 added.",
               "Partition 3 added.", "* = changes not written",
               f"Write the GPT table to {name} (64.0 MiB)? (Y/N)", "Written.")
    run.expect("Type GUID:")
    # Before the write the new rows carry the change mark, afterwards not.
    at = run.index_of("Partition 3 added.")
    frame = run.frames[at]
    sim.check(frame.row_with("1*") is not None and "boot" in frame.row_with("1*"),
              "partition 1 is not marked as changed before the write")
    final = run.last
    sim.check(not final.has("* = changes not written"), "still marked as changed after the write")
    row3 = final.row_with("516E7CB6-6ECF-11D6...")
    sim.check(row3 is not None and row3.lstrip().startswith("3 "),
              "the uncatalogued type is not shown as the first 18 characters of its GUID")
    sim.check(final.row_with("Linux filesystem") is not None, "partition 2's type is not shown")
    sim.expect_partitions(img, "gpt", {
        1: (2048, 32768, sd.ESP, "boot"),
        2: (34816, 40960, sd.LINUX_FS, ""),
        3: (75776, last_usable - 75776 + 1, sd.FREEBSD_UFS, ""),
    })
    table = sim.table(img)
    sim.equal("first usable block", table["firstlba"], 34)
    sim.equal("last usable block", table["lastlba"], last_usable)


def three_partitions_image(sim, name):
    img = sim.image(name, DISK, sgdisk=["-o", "-n", "1:2048:+8M", "-c", "1:boot", "-t", "1:EF00",
                                        "-n", "2:0:+16M", "-c", "2:data", "-n", "3:0:+8M",
                                        "-t", "3:8200"])
    return img


def delete_then_reuse_the_number(sim):
    """A GPT keeps the numbers of the other partitions; the next new
    partition takes the lowest free number again."""
    img = three_partitions_image(sim, "reuse.img")
    keys = sim.open_disk(0) + ["home", "d"]
    # The freed area is now the first row: a new partition goes into it.
    keys += ["home"] + sd.new_partition(size="4M", type_keys=sd.choose(3), name="new")
    keys += sd.write()
    run = sim.run([img], keys)
    run.expect("Partition 1 deleted.", "Partition 1 added.", "Written.")
    sim.expect_partitions(img, "gpt", {
        1: (2048, 8192, sd.MS_BASIC, "new"),
        2: (18432, 32768, sd.LINUX_FS, "data"),
        3: (51200, 16384, sd.LINUX_SWAP, ""),
    })


def type_by_list_and_by_guid(sim):
    img = three_partitions_image(sim, "types.img")
    # Partition 2 is "Linux filesystem" (position 7): the list opens there, so
    # two steps down is "Linux home".
    keys = sim.open_disk(0) + ["home", "down", "t", "down", "down", "enter"]
    # Partition 3 by GUID, after a refused answer.
    keys += ["down", "t", "end", "enter", typed("not-a-guid"), "enter", "enter"]
    keys += ["t", "end", "enter", typed(sd.APPLE_APFS.lower()), "enter"]
    # Cancelling the list changes nothing.
    keys += ["home", "t", "down", "esc"]
    keys += sd.write()
    run = sim.run([img], keys)
    run.expect("Partition 2: type changed.", "Type GUID:", "Not a GUID.",
               "Partition 3: type changed.", "Written.")
    run.expect_choice(sd.GPT_TYPES + ["Other (type GUID)..."])
    sim.expect_partitions(img, "gpt", {
        1: (2048, 16384, sd.ESP, "boot"),
        2: (18432, 32768, sd.LINUX_HOME, "data"),
        3: (51200, 16384, sd.APPLE_APFS, ""),
    })


def rename_and_gpt_refusals(sim):
    img = three_partitions_image(sim, "rename.img")
    before = sd.digest(img)
    keys = sim.open_disk(0)
    # A GPT has no active flag; Write without changes has nothing to do.
    keys += ["home", "a", "enter"]
    # Edit the name in place: Home and Delete, then End and more text.
    keys += ["R", "home", "del", typed("B"), "end", typed("-A"), "enter"]
    # 37 characters are refused, 36 taken.
    keys += ["down", "r", typed("x" * 37), "enter", "enter"]
    keys += ["r", typed("y" * 36), "enter"]
    # A cancelled rename changes nothing.
    keys += ["down", "r", typed("ignored"), "esc"]
    # Write refused once, then done.
    keys += sd.write("n")
    run = sim.run([img], keys)
    run.expect("GPT partitions have no active flag.", "No changes to write.",
               "Name (36 characters):", "Partition 1 renamed.",
               "The name is too long (at most 36 characters)", "Partition 2 renamed.",
               "Nothing was written.")
    sim.equal("image after a declined write", sd.digest(img), before)
    run = sim.run([img], keys[:-2] + sd.write("y"))
    run.expect("Written.")
    sim.expect_partitions(img, "gpt", {
        1: (2048, 16384, sd.ESP, "Boot-A"),
        2: (18432, 32768, sd.LINUX_FS, "y" * 36),
        3: (51200, 16384, sd.LINUX_SWAP, ""),
    })


def new_partition_refusals(sim):
    """A name of 37 characters and a type that is not a GUID end the New
    partition command with nothing added."""
    img = three_partitions_image(sim, "refused.img")
    before = sd.digest(img)
    keys = sim.open_disk(0) + ["end"]
    keys += sd.new_partition(size="4M", name="n" * 37) + ["enter"]
    keys += sd.new_partition(size="4M", type_keys=["end", "enter", typed("nonsense"), "enter"])
    keys += ["enter"] + sd.write()
    run = sim.run([img], keys)
    run.expect_title("New partition")
    run.expect("The name is too long (at most 36 characters)", "Not a GUID.",
               "No changes to write.")
    run.expect_never("added.")
    run.expect_never("* = changes not written")
    sim.equal("image after refused new partitions", sd.digest(img), before)


def delete_the_table(sim):
    img = three_partitions_image(sim, "gone.img")
    keys = sim.open_disk(0) + ["x", "d", "n"] + sd.write()
    run = sim.run([img], keys)
    name = run.disk_name(0)
    run.expect("Partition table deleted.", "Select a partition first.",
               "No partition table: Z makes one.",
               f"Delete the partition table of {name} (64.0 MiB)? (Y/N)", "Written.")
    run.expect_last(rf"^ Korvane {sd.VERSION}   {name}  \S+  64\.0 MiB  no table", pattern=True)
    run.expect_last("No partition table.")
    sim.equal("sfdisk's reading after deleting the table", sim.table(img), None)
    for lba in (0, 1, BLOCKS - 1):
        sim.equal(f"block {lba} after deleting the table", peers.read_block(img, lba),
                  bytes(512))


def failed_write_keeps_the_changes(sim):
    """A GPT partition that ends past the last usable block (the table says
    so, with valid checksums) cannot be written back: the write is refused
    with the partition and the rule, and the changes stay."""
    img = three_partitions_image(sim, "outside.img")
    gpt_set_last_block(img, 2, BLOCKS - 2)
    before = sd.digest(img)
    keys = sim.open_disk(0) + ["home", "r", typed("renamed"), "enter"] + sd.write() + ["enter"]
    run = sim.run([img], keys)
    run.expect("  Note: partition 3 lies outside the usable area of the disk")
    why = "partition 3 lies outside the usable area of the disk"
    run.expect("Partition 1 renamed.", why.capitalize(), f"Not written: {why}.")
    run.expect_last("* = changes not written")
    sim.equal("image after a failed write", sd.digest(img), before)


def gpt_set_last_block(img, index, last):
    """Changes one entry's last block in both copies of a 128-entry GPT on
    512-byte blocks and fixes every checksum, as a tool that does not check
    the usable area would."""
    for header_lba in (1, BLOCKS - 1):
        header = bytearray(peers.read_block(img, header_lba))
        array_lba = struct.unpack_from("<Q", header, 72)[0]
        array = bytearray(sd.read_range(img, array_lba * 512, 128 * 128))
        struct.pack_into("<Q", array, index * 128 + 40, last)
        struct.pack_into("<I", header, 88, zlib.crc32(bytes(array)))
        struct.pack_into("<I", header, 16, 0)
        struct.pack_into("<I", header, 16, zlib.crc32(bytes(header[:92])))
        peers.write_block_bytes(img, array_lba * 512, bytes(array))
        peers.write_block_bytes(img, header_lba * 512, bytes(header))


def blocks_of_4096_bytes(sim):
    """A disk with 4096-byte blocks: the table lands where partx, reading
    with that sector size, finds it."""
    img = sim.image("big-blocks.img", DISK)
    keys = sim.open_disk(0) + sd.new_table("gpt")
    keys += sd.new_partition(size="8M", type_keys=sd.choose(7), name="four-k") + sd.write()
    run = sim.run([img + ":4096"], keys)
    run.expect("Start (free: 1 MiB to", "Partition 1 added.", "Written.")
    parts = peers.partx_list(img, 4096)
    sim.equal("partx's reading", [(p["number"], p["start"], p["size"], p["type"], p["name"])
                                  for p in parts], [(1, 256, 2048, sd.LINUX_FS, "four-k")])
    details = peers.fdisk_details(img, 4096)
    sim.equal("fdisk's last usable block", details.get("Last usable LBA"),
              str(DISK // 4096 - 2 - 4))


if __name__ == "__main__":
    session = sd.Session(sys.argv, __file__)
    session.main([three_partitions_one_named, delete_then_reuse_the_number,
                  type_by_list_and_by_guid, rename_and_gpt_refusals, new_partition_refusals,
                  delete_the_table,
                  failed_write_keeps_the_changes, blocks_of_4096_bytes])
