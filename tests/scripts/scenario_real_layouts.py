#!/usr/bin/env python3
"""Disks made by other tools lose nothing. For every layout of
real_layouts.py: the program's reading lists the partitions the peers list,
under the same numbers; a no-op edit followed by a write (through kvedit,
the program's own editing operations and writer) changes no byte outside
the table's own blocks, keeps the boot code, the block-0 entries and
whatever else the layout holds (an Apple partition map, RAID metadata), and
the peers list the same partitions with the same numbers afterwards. A disk
without a table is not written at all. The hybrid ISO is also opened in the
program itself: its type-0 entry is a partition, not free space.

usage: scenario_real_layouts.py PATH/TO/korvane-sim
"""

import os
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import real_layouts as rl
import sim_driver as sd


def tool(sim, name):
    return os.path.join(os.path.dirname(sim.sim), "tools", name)


def dump(sim, path, block_size):
    return peers.kvdump(tool(sim, "kvdump"), path, block_size)


def peer_listing(layout):
    """(number, start, size, type) of each partition as a peer reads it, in
    the layout's block size."""
    if layout.block_size == 512:
        table = peers.sfdisk_json(layout.path)
        if table is None:
            return []
        return sorted((p["number"], p["start"], p["size"], p["type"])
                      for p in table["partitions"])
    return sorted((p["number"], p["start"], p["size"], p["type"])
                  for p in peers.partx_list(layout.path, layout.block_size))


def own_listing(table):
    return sorted((p["number"], p["start"], p["size"]) for p in table["partitions"])


def table_blocks(table):
    """The 512-byte sectors that hold the table as read: block 0, both GPT
    headers and arrays, the EBRs and the first block of the extended
    partition."""
    scale = table["block_size"] // 512
    blocks = {0}
    if table["kind"] == "gpt":
        array = -(-table["entry_count"] * table["entry_size"] // table["block_size"])
        blocks |= {1, table["backup_header_lba"]}
        blocks |= set(range(table["primary_array_lba"], table["primary_array_lba"] + array))
        if table["backup_array_lba"]:
            blocks |= set(range(table["backup_array_lba"], table["backup_array_lba"] + array))
    for p in table["partitions"]:
        if p["kind"] == "logical":
            blocks.add(p["ebr_block"])
        elif p["kind"] == "extended":
            blocks.add(p["start"])
    return {b * scale + i for b in blocks for i in range(scale)}


def changed_sectors(before, path):
    with open(path, "rb") as f:
        after = f.read()
    return {i // 512 for i in range(0, len(before), 512) if before[i:i + 512] != after[i:i + 512]}


def judge(sim, layout):
    table = dump(sim, layout.path, layout.block_size)
    listed = peer_listing(layout)
    if layout.peers_agree:
        sim.equal(f"{layout.name}: partitions read", own_listing(table),
                  [entry[:3] for entry in listed])
    with open(layout.path, "rb") as f:
        before = f.read()

    script = "write" if layout.edit is None else f"{layout.edit}; write"
    done = subprocess.run([tool(sim, "kvedit"), "--block-size", str(layout.block_size),
                           layout.path, script], capture_output=True, text=True, timeout=120)
    sim.check(done.returncode == 0, f"{layout.name}: kvedit {script}: {done.stderr.strip()}")
    changed = changed_sectors(before, layout.path)
    if layout.edit is None:
        sim.check("No changes to write." in done.stdout,
                  f"{layout.name}: kvedit does not say that nothing changed: {done.stdout}")
        sim.equal(f"{layout.name}: sectors written", sorted(changed), [])
        return table
    after = dump(sim, layout.path, layout.block_size)
    outside = sorted(changed - table_blocks(table) - table_blocks(after))
    sim.equal(f"{layout.name}: sectors written outside the table", outside, [])
    with open(layout.path, "rb") as f:
        image = f.read()
    for offset, length, what in layout.keep:
        sim.check(image[offset:offset + length] == before[offset:offset + length],
                  f"{layout.name}: the {what} changed")
    sim.equal(f"{layout.name}: what the peers list after the write", peer_listing(layout), listed)
    sim.equal(f"{layout.name}: partitions read back", own_listing(after), own_listing(table))
    return table


def build(sim, builder):
    try:
        return builder(sim.dir)
    except rl.Missing as missing:
        raise sd.ScenarioFailure(f"{builder.__name__}: {missing} is not installed")


def no_op_writes_keep_every_layout(sim):
    for builder in rl.BUILDERS:
        layout = build(sim, builder)
        table = judge(sim, layout)
        notes = " | ".join(table["notes"])
        if builder is rl.md_member:
            sim.check("RAID" in notes, f"md member: no note on the kept backup: {notes}")
        if builder in (rl.whole_disk_fat, rl.hpfs_boot_sector):
            sim.equal(f"{layout.name}: kind", table["kind"], "none")
            sim.check("file system covers the whole disk" in notes,
                      f"{layout.name}: notes {notes}")
        if builder is rl.fdisk_out_of_order:
            sim.check(not table["notes"], f"{layout.name}: notes {notes}")


def foreign_block_sizes_are_named(sim):
    """A table read with another block size than it was made for says so
    instead of calling it damaged or running past the disk."""
    cases = [(rl.gpt_4k, 512, "4096-byte blocks"), (rl.forced_bootable_gpt, 2048,
                                                    "512-byte blocks"),
             (rl.hybrid_iso, 2048, "512-byte blocks")]
    for builder, block_size, says in cases:
        layout = build(sim, builder)
        notes = dump(sim, layout.path, block_size)["notes"]
        sim.check(any(says in note for note in notes) and
                  not any("damaged" in note or "beyond" in note for note in notes),
                  f"{layout.name} read with {block_size}-byte blocks: {notes}")


def hybrid_iso_in_the_program(sim):
    layout = build(sim, rl.hybrid_iso)
    run = sim.run([layout.path], sim.open_disk(0))
    run.expect("type 00", "Note: partition 1 covers a block of the partition table")
    run.expect_never("free space")
    # Wipe refuses the partition that holds the table.
    before = sd.digest(layout.path)
    run = sim.run([layout.path], sim.open_disk(0) + ["home", "w"])
    run.expect("The partition covers a block of the partition table")
    sim.equal("hybrid ISO after the refused wipe", sd.digest(layout.path), before)


if __name__ == "__main__":
    session = sd.Session(sys.argv, __file__)
    session.main([no_op_writes_keep_every_layout, foreign_block_sizes_are_named,
                  hybrid_iso_in_the_program])
