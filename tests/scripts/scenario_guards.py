#!/usr/bin/env python3
"""The disk list and the guards around writing: the list's lines and keys,
leaving the program, every changing command refused on a write-protected
disk, and unwritten changes discarded (after a question) when the user
leaves a disk. Images must come
out byte for byte as they went in wherever nothing may be written.

usage: scenario_guards.py PATH/TO/korvane-sim
"""

import os
import re
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sim_driver as sd
from sim_driver import MiB, typed

GPT3 = ["-o", "-n", "1:2048:+8M", "-c", "1:boot", "-t", "1:EF00", "-n", "2:0:+16M", "-c",
        "2:data", "-n", "3:0:+8M"]
# Keys of every command that changes the disk or the table, on a disk whose
# rows are partitions 1 to 3 and a free area.
CHANGING = [("z", "end"), ("x", "end"), ("d", "home"), ("t", "home"), ("r", "home"),
            ("w", "home"), ("s", "home"), ("n", "end")]


def disk_list_lines_and_keys(sim):
    blank = sim.image("blank.img", 8 * MiB)
    empty_mbr = sim.image("empty-mbr.img", 16 * MiB, sfdisk="label: dos\n")
    one = sim.image("one.img", 24 * MiB, sfdisk="label: dos\nstart=2048, size=4096, type=83\n")
    logicals = sim.image("logicals.img", 32 * MiB, sfdisk=(
        "label: dos\nstart=2048, size=4096, type=83\nstart=8192, type=5\n"
        "start=10240, size=4096, type=83\nstart=16384, size=4096, type=82\n"))
    gpt = sim.image("gpt.img", 40 * MiB, sgdisk=GPT3)
    images = [blank, empty_mbr, one, logicals, gpt + ":ro"]
    # End then Enter opens the last disk; Up, R and Enter the one before;
    # R keeps the selection; Home and Down open the first image.
    keys = ["end", "enter", "esc", "up", "r", "enter", "esc", "down", "enter", "esc"]
    keys += sim.open_disk(0) + ["esc"]
    run = sim.run(images, keys + ["q"], status=0)
    names = [run.disk_name(i) for i in range(len(images))]
    run.expect(f"Korvane {sd.VERSION}", "Select a disk",
               "  Disk    Type   Size        Table     Partitions")
    first = run.frames[0]
    expected = [
        rf"^  {names[0]} +\S+ +8\.0 MiB +no table *$",
        rf"^  {names[1]} +\S+ +16\.0 MiB +MBR +0 partitions *$",
        rf"^  {names[2]} +\S+ +24\.0 MiB +MBR +1 partition *$",
        rf"^  {names[3]} +\S+ +32\.0 MiB +MBR +3 partitions *$",
        rf"^  {names[4]} +\S+ +40\.0 MiB +GPT +3 partitions +write-protected$",
    ]
    for pattern in expected:
        sim.check(first.has_re(pattern), f"the disk list has no line {pattern!r}")
    sim.equal("the disk list's key bar", first.rows[-2:],
              ["", "   Enter  Open   R  Rescan   Q  Quit"])
    opened = [f.rows[0] for f in run.frames if f.rows and f.rows[0].startswith(" Korvane ")
              and "Select a disk" not in f.rows[0]]
    headers = []
    for row in opened:
        name = row.split()[2]
        if not headers or headers[-1] != name:
            headers.append(name)
    sim.equal("disks opened by End, Up R, Down and the first image",
              headers, [names[4], names[3], names[4], names[0]])
    # Quitting clears the screen.
    for quit_key in ("Q", "esc"):
        run = sim.run([blank], [quit_key], status=0)
        sim.check(not any(run.last.rows), f"{quit_key} left the screen drawn")


def no_disks(sim):
    run = sim.run([], ["enter", "down", "end"] + ["q"], status=0)
    sim.check(all(frame.has("No disks found.") for frame in run.frames[:4]),
              "Enter, Down or End on an empty disk list left it")


def write_protected_disk(sim):
    img = sim.image("ro.img", 64 * MiB, sgdisk=GPT3)
    before = sd.digest(img)
    keys = sim.open_disk(0)
    for key, where in CHANGING:
        keys += [where, key, "enter"]
    # Status answers that come before the guard, and Write without changes.
    keys += ["home", "a", "enter"]
    run = sim.run([img + ":ro"], keys)
    name = run.disk_name(0)
    run.expect_last(rf"^ Korvane {sd.VERSION}   {name}  .*GPT +write-protected$", pattern=True)
    sim.equal("write-protected refusals", run.appearances("The disk is write-protected."),
              len(CHANGING))
    sim.equal("titles of the refusals", run.appearances("Read only"), len(CHANGING))
    run.expect("GPT partitions have no active flag.", "No changes to write.")
    sim.equal("image of the write-protected disk", sd.digest(img), before)


def started_from_disk(sim):
    """The disk fs0 lies on is the one the program was started from: listed
    as read only, every changing command refused with its own text, nothing
    written; a backup of it to fs0 is still allowed."""
    img = sim.image("boot.img", 64 * MiB, sgdisk=GPT3)
    other = sim.image("other.img", 16 * MiB)
    before = sd.digest(img)
    keys = sim.open_disk(0)
    for key, where in CHANGING:
        keys += [where, key, "enter"]
    keys += ["home", "a", "enter", "esc"]
    run = sim.run([img + ":boot", other], keys)
    name = run.disk_name(0)
    listed = run.frames[0].row_with(name)
    sim.check(listed is not None and listed.rstrip().endswith("started from here: read only"),
              f"the disk list does not show {name} as the start disk: {listed!r}")
    other_row = run.frames[0].row_with(run.disk_name(1))
    sim.check(other_row is not None and "read only" not in other_row,
              "the other disk is listed as read only")
    run.expect(rf"^ Korvane {sd.VERSION}   {name}  .*GPT +started from here: read only$",
               pattern=True)
    sim.equal("start-disk refusals",
              run.appearances("Korvane was started from this disk: it cannot be changed."),
              len(CHANGING))
    sim.equal("image of the start disk", sd.digest(img), before)


def failing_disks(sim):
    """A disk whose reads fail is listed as unreadable and cannot be opened;
    on one whose writes fail, Write and Wipe report the error and the table
    stays as it was in memory."""
    bad = sim.image("badread.img", 16 * MiB, sgdisk=GPT3[:2])
    img = sim.image("badwrite.img", 64 * MiB, sgdisk=GPT3)
    before = sd.digest(img)
    keys = sim.open_disk(0) + ["enter"]
    keys += sim.open_disk(1) + ["home", "w", "y"]
    keys += ["home", "d", "enter", "y", "enter"]
    run = sim.run([bad + ":failread", img + ":failwrite"], keys)
    listed = run.frames[0].row_with(run.disk_name(0))
    sim.check(listed is not None and re.search(r"unreadable\s*$", listed),
              f"the failing disk is listed as {listed!r}")
    run.expect("The disk could not be read.")
    run.expect_re(r"Wipe of partition 1 failed: I/O error\.", r"Not written: I/O error\.")
    final = run.last
    sim.check(final.has("* = changes not written"),
              "after a failed write the table is no longer marked as changed")
    sim.equal("image of the failing disk", sd.digest(img), before)


def discard_on_leaving(sim):
    img = sim.image("discard.img", 64 * MiB, sgdisk=GPT3)
    before = sd.digest(img)
    # Leaving a disk without changes asks nothing.
    keys = sim.open_disk(0) + ["esc"]
    # Delete partition 1 and rename 2, then try to leave: no, then yes.
    keys += sim.open_disk(0) + ["home", "d", "down", "r", typed("changed"), "enter", "esc", "n",
                                "esc", "Y"]
    # Opened again, the disk shows what it holds.
    keys += sim.open_disk(0)
    run = sim.run([img], keys)
    name = run.disk_name(0)
    opened = run.index_of(rf"^ Korvane {sd.VERSION}   {name}  ", pattern=True)
    back = run.index_of("Select a disk", max(opened, 0))
    asked = run.index_of("Leave the disk")
    sim.check(0 < opened < back < asked, "leaving an unchanged disk asked a question")
    run.expect("Partition 1 deleted.", "Partition 2 renamed.", "Leave the disk",
               "Discard the unwritten changes? (Y/N)", "* = changes not written",
               "Discard the unwritten changes? (Y/N)", "Select a disk")
    sim.equal("questions on leaving", run.appearances("Discard the unwritten changes? (Y/N)"), 2)
    final = run.last
    sim.check(final.has_re(r"^  1  .*EFI system .*boot$") and final.has_re(r"^  2  .* data$"),
              "after discarding, the disk does not show its partitions as they were")
    sim.check(not final.has("* = changes not written"), f"{name} still shows changes")
    sim.equal("image after discarding", sd.digest(img), before)


def keys_that_are_no_commands(sim):
    """F5 (the graphical rescan), a letter above ASCII and a letter without a
    command change nothing on the partition screen; upper-case N is N."""
    img = sim.image("keys.img", 64 * MiB, sgdisk=GPT3)
    keys = sim.open_disk(0) + ["home", "down", "f5", typed("é"), "k", "end", "N"]
    run = sim.run([img], keys)
    at = run.index_of("Partition:")
    same = [run.frames[i].rows for i in range(at + 2, at + 6)]
    sim.check(at >= 0 and all(rows == same[0] for rows in same),
              "F5, é or k changed the partition screen")
    sim.check(not any(run.status_line(run.frames[i]) for i in range(at + 2, at + 6)),
              "F5, é or k left a status message")
    run.expect_last(r"Start \(free: 33 MiB to ", pattern=True)


def narrow_console(sim):
    """On korvane-sim's default 80 x 25 console the key bars lose their
    titles to fit, and a long question wraps inside its box."""
    img = sim.image("narrow.img", 64 * MiB, sgdisk=GPT3)
    keys = sim.open_disk(0) + ["b", "enter", "home", "d", "s", "enter", "n"]
    run = sim.run([img], keys, size=None)
    name = run.disk_name(0)
    frame = run.last
    sim.equal("console rows", len(frame.rows), 25)
    sim.equal("key bars", frame.rows[-2:],
              [" N New  D Delete  T Type  R Rename  A Active  W Wipe",
               " Enter Write  Z New table  X Delete table  B Backup  S Restore  Esc Back"])
    question = f"Restore fs0:\\korvane-{name}.bin to {name}? Unwritten changes are lost. (Y/N)"
    sim.check(len(question) > 66, "the question fits on one line: it tests no wrapping")
    run.expect(f"Saved fs0:\\korvane-{name}.bin (", question, "Nothing was written.")


if __name__ == "__main__":
    session = sd.Session(sys.argv, __file__)
    session.main([disk_list_lines_and_keys, no_disks, write_protected_disk, started_from_disk,
                  failing_disks,
                  discard_on_leaving,
                  keys_that_are_no_commands, narrow_console])
