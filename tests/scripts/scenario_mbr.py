#!/usr/bin/env python3
"""MBR commands through the whole program: a new table with primary and
logical partitions, deleting a logical partition (the later ones are
renumbered) and the extended one, types by the list and by byte, the active
flag, and the refusals of the new-partition dialog; sfdisk reads and
verifies every image the program writes.

usage: scenario_mbr.py PATH/TO/korvane-sim
"""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sim_driver as sd
from sim_driver import MiB, typed

DISK = 64 * MiB
BLOCKS = DISK // 512
LOGICALS = ("label: dos\nstart=2048, size=16384, type=c, bootable\n"
            "start=18432, size=16384, type=83\nstart=34816, type=5\n"
            "start=36864, size=16384, type=82\nstart=55296, size=32768, type=83\n"
            "start=90112, size=16384, type=83\n")
EXPECTED_LOGICALS = {
    1: (2048, 16384, 0x0C, True),
    2: (18432, 16384, 0x83, False),
    3: (34816, BLOCKS - 34816, 0x05, False),
    5: (36864, 16384, 0x82, False),
    6: (55296, 32768, 0x83, False),
    7: (90112, 16384, 0x83, False),
}


def primaries_and_logicals(sim):
    img = sim.image("new.img", DISK)
    keys = sim.open_disk(0) + sd.new_table("mbr")
    keys += sd.new_partition(kind="primary", size="8M", type_keys=sd.choose(0))
    keys += ["down"] + sd.new_partition(kind="primary", size="8M", type_keys=sd.choose(2))
    # The first logical partition starts 1 MiB into the free area: the
    # extended partition takes that MiB and the rest of the disk.
    keys += ["down"] + sd.new_partition(kind="logical", size="8M", type_keys=sd.choose(3))
    # Inside the extended partition no kind is asked.
    keys += ["down"] + sd.new_partition(size="16M", type_keys=sd.choose(2))
    keys += ["down"] + sd.new_partition(size="8M", type_keys=sd.choose(2))
    keys += ["home", "a"] + sd.write()
    # Back on the disk list, the disk now counts five partitions.
    keys += ["esc"]
    run = sim.run([img], keys)
    name = run.disk_name(0)
    run.expect_choice(["GPT", "MBR"])
    run.expect_choice(["Primary", "Logical (creates the extended partition)"])
    run.expect("New empty MBR table.", "Primary", "Logical (creates the extended partition)",
               "Start (free: 1 MiB to 64.0 MiB):", "Partition 1 added.", "Partition 2 added.",
               "Start (free: 18 MiB to 64.0 MiB):", "Partition 5 added.",
               "Start (free: 27 MiB to 64.0 MiB):", "Partition 6 added.", "Partition 7 added.",
               "Partition 1 active.", f"Write the MBR table to {name} (64.0 MiB)? (Y/N)",
               "Written.")
    at = run.index_of("Partition 5 added.")
    frame = run.frames[at]
    sim.check(frame.has_re(r"^  -  .* free space \(for logical partitions\)$"),
              "the free area inside the extended partition is not shown as such")
    sim.check(frame.has_re(r"^  3\*? .* Extended *$"), "the new extended partition is not listed")
    sim.check(frame.has_re(r"^  5\* .* Linux swap +logical$"), "partition 5 is not logical")
    written = run.frames[run.index_of("Written.")]
    sim.check(written.has_re(r"^  1  .* FAT32 \(LBA\) +active$"), "partition 1 is not active")
    run.expect_last(rf"^  {name} .* MBR +5 partitions", pattern=True)
    sim.expect_partitions(img, "dos", EXPECTED_LOGICALS)


def logical_deleted_and_renumbered(sim):
    img = sim.image("renumber.img", DISK, sfdisk=LOGICALS)
    keys = sim.open_disk(0) + ["home"] + ["down"] * 3 + ["d"] + sd.write()
    run = sim.run([img], keys)
    run.expect("Partition 5 deleted.", "Written.")
    at = run.index_of("Partition 5 deleted.")
    frame = run.frames[at]
    sim.check(frame.has_re(r"^  5\* .*16\.0 MiB .* logical$")
              and frame.has_re(r"^  6\* .*8\.0 MiB .* logical$"),
              "the later logical partitions are not renumbered and marked as changed")
    sim.expect_partitions(img, "dos", {
        1: (2048, 16384, 0x0C, True),
        2: (18432, 16384, 0x83, False),
        3: (34816, BLOCKS - 34816, 0x05, False),
        5: (55296, 32768, 0x83, False),
        6: (90112, 16384, 0x83, False),
    })


def extended_deleted_with_its_logicals(sim):
    img = sim.image("extended.img", DISK, sfdisk=LOGICALS)
    before = sd.digest(img)
    # Declined first: nothing changes.
    keys = sim.open_disk(0) + ["home", "down", "down", "d", "n"]
    run = sim.run([img], keys)
    run.expect_title("Delete partition")
    run.expect("Delete the extended partition and its 3 logical partitions? (Y/N)")
    run.expect_never("deleted.")
    run.expect_last(r"^  3  ", pattern=True)
    sim.equal("image after a declined delete", sd.digest(img), before)
    run = sim.run([img], keys[:-1] + ["y"] + sd.write())
    run.expect("Partition 3 deleted.", "Written.")
    sim.expect_partitions(img, "dos", {1: (2048, 16384, 0x0C, True),
                                       2: (18432, 16384, 0x83, False)})

    one = sim.image("one-logical.img", DISK,
                    sfdisk="label: dos\nstart=2048, type=5\nstart=4096, size=8192, type=83\n")
    run = sim.run([one], sim.open_disk(0) + ["home", "d", "y"] + sd.write())
    run.expect("Delete the extended partition and its 1 logical partition? (Y/N)",
               "Partition 1 deleted.", "Written.")
    table = sim.table(one)
    sim.equal("partitions after deleting the extended one", table["partitions"], [])
    empty = sim.image("no-logical.img", DISK, sfdisk="label: dos\nstart=2048, type=5\n")
    run = sim.run([empty], sim.open_disk(0) + ["home", "d"])
    run.expect("Partition 1 deleted.")
    run.expect_never("Delete the extended partition and its")


def types_and_active_flag(sim):
    img = sim.image("types.img", DISK, sfdisk=LOGICALS)
    keys = sim.open_disk(0)
    # Partition 1: "FAT32 (LBA)" is the first entry; four down is "EFI system".
    keys += ["home", "t"] + sd.choose(4)
    # Partition 2 (Linux) by byte, after refused answers.
    keys += ["down", "t", "end", "enter", typed("100"), "enter", "enter"]
    keys += ["t", "end", "enter", typed("7x"), "enter", "enter"]
    keys += ["t", "end", "enter", "enter", "enter"]
    keys += ["t", "end", "enter", typed("0f"), "enter", "enter"]
    keys += ["t", "end", "enter", typed("9c"), "enter"]
    # The extended partition keeps its type and cannot be active.
    keys += ["down", "t", "enter", "a", "enter"]
    # Partition 6 (Linux, third entry): the list opens there, one down is swap.
    keys += ["down", "down", "t", "down", "enter"]
    # Active moves from 1 to 2; then 2 is switched off again and on.
    keys += ["home", "down", "a", "a", "A"]
    keys += ["home", "a", "a", "R"] + sd.write()
    run = sim.run([img], keys)
    # 25 items on 24 rows: the list scrolls to show its last item.
    run.expect_choice(sd.MBR_TYPES)
    run.expect_choice(sd.MBR_TYPES[1:] + ["Other (type byte)..."])
    run.expect("Partition 1: type changed.", "Type byte (hex):", "A byte from 01 to FF.",
               "A byte from 01 to FF.", "A byte from 01 to FF.",
               "Only the extended partition can have an extended type",
               "Partition 2: type changed.", "The extended partition keeps its type.",
               "The extended partition cannot be active", "Partition 6: type changed.",
               "Partition 2 active.", "Partition 2 no longer active.", "Partition 2 active.",
               "Partition 1 active.", "Partition 1 no longer active.",
               "MBR partitions have no name.", "Written.")
    at = run.index_of("Partition 2: type changed.")
    sim.check(run.frames[at].has_re(r"^  2\* .* type 9C"), "a byte outside the list is not "
              "shown as its hex value")
    sim.expect_partitions(img, "dos", {
        1: (2048, 16384, 0xEF, False),
        2: (18432, 16384, 0x9C, False),
        3: (34816, BLOCKS - 34816, 0x05, False),
        5: (36864, 16384, 0x82, False),
        6: (55296, 32768, 0x82, False),
        7: (90112, 16384, 0x83, False),
    })


def new_partition_refusals(sim):
    """Each refusal ends the command and writes nothing; the free area stays
    selected for the next try."""
    img = sim.image("refuse.img", DISK, sfdisk="label: dos\nstart=2048, size=126976, type=83\n")
    before = sd.digest(img)
    # The 1 MiB left at the end has no room for an EBR and a logical partition.
    keys = sim.open_disk(0) + ["end", "n", "down", "enter", "enter"]
    # New partitions in the 1 MiB area as primaries.
    keys += ["n", "enter", typed("rest"), "enter", "enter"]
    keys += ["n", "enter", typed("0"), "enter", "enter"]
    keys += ["n", "enter", "enter", typed("0"), "enter", "enter"]
    keys += ["n", "enter", "enter", typed("100B"), "enter", "enter"]
    keys += ["n", "enter", "enter", typed("1T"), "enter", "enter"]
    keys += ["home", "n", "end"]
    run = sim.run([img], keys)
    run.expect("The free area is too small.", "The start must be a position, such as 1 MiB",
               "The start must be in the free area, from 63 MiB.", "The size is zero.",
               "The size is zero.", "Too big: at most 1.0 MiB.", "Select a free area.")
    sim.equal("image after refusals", sd.digest(img), before)

    # A size that does not parse.
    run = sim.run([img], sim.open_disk(0) + ["end", "n", "enter", "enter", typed("20X"), "enter"])
    run.expect("Unknown unit: use K, M, G or T")
    sim.equal("image after a size that does not parse", sd.digest(img), before)

    full = sim.image("four.img", DISK, sfdisk="label: dos\nstart=2048, size=8192\n"
                     "start=10240, size=8192\nstart=18432, size=8192\nstart=26624, size=8192\n")
    before = sd.digest(full)
    keys = sim.open_disk(0) + ["end"] + sd.new_partition(kind="primary", size="4M")
    keys += ["enter"] + sd.new_partition(kind="logical", size="4M") + ["enter"]
    run = sim.run([full], keys)
    run.expect("An MBR holds at most four primary partitions, the extended one included",
               "No room for an extended partition: the MBR already has four partitions")
    sim.equal("image after refused additions", sd.digest(full), before)


def mbr_over_a_former_gpt(sim):
    """A new MBR written over a GPT disk: the GPT headers in block 1 and in
    the last block are cleared, so no peer finds a GPT any more."""
    img = sim.image("former-gpt.img", DISK, sgdisk=["-o", "-n", "1:2048:+8M", "-n", "2:0:+8M"])
    keys = sim.open_disk(0) + sd.new_table("mbr")
    keys += sd.new_partition(kind="primary", size="32M", type_keys=sd.choose(1)) + sd.write()
    run = sim.run([img], keys)
    run.expect("New empty MBR table.", "Partition 1 added.", "Written.")
    sim.expect_partitions(img, "dos", {1: (2048, 65536, 0x07, False)})
    for lba in (1, BLOCKS - 1):
        sim.check(sd.read_range(img, lba * 512, 8) != b"EFI PART",
                  f"the old GPT header in block {lba} is still there")


def gpt_over_a_former_mbr(sim):
    img = sim.image("former-mbr.img", DISK, sfdisk=LOGICALS)
    keys = sim.open_disk(0) + sd.new_table("gpt")
    keys += sd.new_partition(size="32M", type_keys=sd.choose(11), name="swap") + sd.write()
    run = sim.run([img], keys)
    run.expect("New empty GPT table.", "Partition 1 added.", "Written.")
    sim.expect_partitions(img, "gpt", {1: (2048, 65536, sd.LINUX_SWAP, "swap")})


def tiny_disk_has_no_free_space(sim):
    img = sim.image("tiny.img", 1 * MiB)
    run = sim.run([img], sim.open_disk(0) + sd.new_table("mbr") + ["n"] + sd.write())
    run.expect("No partition table.", "New empty MBR table.", "No free space.",
               "Select a free area.", "Written.")
    table = sim.table(img)
    sim.check(table is not None and table["label"] == "dos" and table["partitions"] == [],
              f"the tiny disk does not hold an empty MBR: {table}")


if __name__ == "__main__":
    session = sd.Session(sys.argv, __file__)
    session.main([primaries_and_logicals, logical_deleted_and_renumbered,
                  extended_deleted_with_its_logicals, types_and_active_flag,
                  new_partition_refusals, mbr_over_a_former_gpt, gpt_over_a_former_mbr,
                  tiny_disk_has_no_free_space])
