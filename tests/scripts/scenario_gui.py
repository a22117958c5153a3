#!/usr/bin/env python3
"""The commands by clicks through the graphical front end (korvane-sim --gui):
tables and partitions made, typed, deleted and written, a backup restored
over a damaged table, a wipe stopped with its Stop button, the quit
question, and the selection colours of Tab; every image is then judged by
the peers.

usage: scenario_gui.py PATH/TO/korvane-sim
"""

import os
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_font_specimen as pictures
import gui_driver as gd
import peers
import sim_driver as sd
from sim_driver import MiB, typed

DISK = 64 * MiB
GPT3 = ["-o", "-n", "1:2048:+8M", "-c", "1:boot", "-t", "1:EF00", "-n", "2:0:+16M", "-c",
        "2:data", "-n", "3:0:+8M"]
FOCUSED = (0x1F, 0x6F, 0xEB)
UNFOCUSED = (0xDC, 0xE6, 0xF5)


def new_gpt_with_names_and_a_type_by_list(sim):
    img = sim.image("gpt.img", DISK)
    run = sim.gui([img], [
        "click:New table", "click:GPT",
        "click:New", "click:OK", typed("16M"), "click:OK", "click:EFI system", typed("boot"),
        "click:OK",
        sim.row_click(1), "click:New", "click:OK", typed("20M"), "click:OK",
        "click:Linux filesystem", typed("data"), "click:OK",
        # The second partition's type again, by the list.
        sim.row_click(1), "click:Type", "click:Linux swap",
        "click:Write", "click:Yes", "click:Quit"])
    run.expect("message New empty GPT table.", "dialog New partition: Start (free: 1 MiB to",
               "field 1 MiB", "field rest", "field 16M", "item EFI system at",
               "dialog New partition: Name",
               "message Partition 1 added.", "message Partition 2 added.",
               "message Partition 2: type changed.",
               "dialog Write (warning): Write the GPT table to", "message Written.",
               "closed, text cursor")
    sim.expect_partitions(img, "gpt", {
        1: (2048, 32768, sd.ESP, "boot"),
        2: (34816, 40960, sd.LINUX_SWAP, "data"),
    })


def new_mbr_with_logical_partitions(sim):
    img = sim.image("mbr.img", DISK)
    run = sim.gui([img], [
        "click:New table", "click:MBR",
        "click:New", "click:Primary", "click:OK", typed("8M"), "click:OK", "click:Linux",
        # The free area after it: a logical partition, which makes the
        # extended partition, then one more inside it.
        sim.row_click(1), "click:New", "click:Logical (creates the extended partition)",
        "click:OK", typed("8M"), "click:OK", "click:Linux swap",
        sim.row_click(3), "click:New", "click:OK", typed("8M"), "click:OK", "click:Linux",
        "click:Write", "click:Yes", "click:Quit"])
    run.expect("message New empty MBR table.", "message Partition 1 added.",
               "message Partition 5 added.", "message Partition 6 added.", "message Written.")
    table = sim.verify(img)
    sim.equal("label", table["label"], "dos")
    got = {p["number"]: (p["size"], p["type"]) for p in table["partitions"]}
    sim.equal("partition 1", got.get(1), (16384, 0x83))
    sim.equal("partition 2's type", got.get(2, (0, None))[1], 0x05)
    sim.equal("partition 5", got.get(5), (16384, 0x82))
    sim.equal("partition 6", got.get(6), (16384, 0x83))
    sim.equal("partitions", sorted(got), [1, 2, 5, 6])


def delete_and_write(sim):
    img = sim.image("delete.img", DISK, sgdisk=GPT3)
    run = sim.gui([img], [sim.row_click(1), "click:Delete", "click:Write", "click:Yes",
                          "click:Quit"])
    run.expect("message Partition 2 deleted.", "message Written.")
    sim.expect_partitions(img, "gpt", {
        1: (2048, 16384, sd.ESP, "boot"),
        3: (51200, 16384, sd.LINUX_FS, ""),
    })


def backup_damage_restore(sim):
    img = sim.image("restore.img", DISK, sgdisk=GPT3)
    fs = sim.volume("fs-restore")
    run = sim.gui([img], ["click:Backup", "click:OK", "click:Quit"], fs=fs)
    run.expect("dialog Backup: Backup of the table on the disk, to file:", "message Saved ")
    saved = run.last("message Saved ")[len("message Saved "):].split(" (")[0]
    before = sd.digest(img)
    # The primary header and the first entries are gone.
    peers.write_block_bytes(img, 512, bytes(512 * 3))
    sim.check(sd.digest(img) != before, "the damage did not change the image")
    run = sim.gui([img], ["click:Restore", typed(saved), "click:OK", "click:Yes", "click:Quit"],
                  fs=fs)
    run.expect("note ", "dialog Restore: Restore from file:", "dialog Restore (warning): Restore ",
               f"message Restored from {saved}.")
    sim.equal("image after the restore", sd.digest(img), before)
    sim.verify(img)


def wipe_stopped_by_its_button(sim):
    img = sim.image("wipe.img", DISK, sgdisk=GPT3)
    # Partition 1 (8 MiB) is the first row; the wipe writes 4 MiB chunks and
    # looks for a stop before the first and after each. The first look still
    # takes the release of the click on Yes, so the Stop click goes to the
    # first read after it: after the first chunk.
    run = sim.gui([img], ["click:Wipe", "click:Yes", "poll-click:Stop", "click:Yes",
                          "click:Quit"])
    run.expect("dialog Wipe (warning): Wipe partition 1 of ", "wipe Wiping ",
               "dialog Wipe (warning): Stop the wipe? (Y/N)",
               "message Wipe of partition 1 stopped in pass 1: partly overwritten.")
    first = sd.read_range(img, 2048 * 512, 4 * MiB)
    second = sd.read_range(img, 2048 * 512 + 4 * MiB, 4 * MiB)
    sim.check(first.count(0) < len(first) // 2, "the first chunk was not overwritten")
    sim.check(second == bytes(4 * MiB), "the wipe went on past the stop")
    sim.expect_partitions(img, "gpt", {
        1: (2048, 16384, sd.ESP, "boot"),
        2: (18432, 32768, sd.LINUX_FS, "data"),
        3: (51200, 16384, sd.LINUX_FS, ""),
    })


def quit_asks_with_unwritten_changes(sim):
    img = sim.image("quit.img", DISK, sgdisk=GPT3)
    before = sd.digest(img)
    frames = sim.path("quit-frames")
    run = sim.gui([img], ["click:Delete table", "click:Quit", "click:No", "click:Quit",
                          "click:Yes"], options=["--screenshots", frames])
    # One picture for every rendered screen, dialog and wipe box.
    rendered = sum(1 for line in run.lines
                   if line in ("shown", "dialog shown") or line.startswith("wipe "))
    sim.equal("frames saved", sorted(os.listdir(frames)),
              [f"frame-{i:04d}.png" for i in range(rendered)])
    last = pictures.read_png(os.path.join(frames, f"frame-{rendered - 1:04d}.png"))
    sim.equal("frame size", last[:2], (1280, 800))
    question = "dialog Quit (warning): Discard the unwritten changes? (Y/N)"
    sim.equal("quit questions", run.count(question), 2)
    run.expect("message Partition table deleted.", question, "dbutton Y Yes at",
               "dbutton N No at", "dialog closed", question, "closed, text cursor")
    sim.equal("image after quitting without writing", sd.digest(img), before)


def rename_active_and_rescan(sim):
    img = sim.image("rename.img", DISK, sgdisk=GPT3)
    run = sim.gui([img], ["click:Rename", typed("root"), "click:OK", "click:Rescan", "click:No",
                          "click:Write", "click:Yes", "click:Rescan", "click:Quit"])
    run.expect("dialog Rename: Name (36 characters):", "field boot", "field r", "field root",
               "message Partition 1 renamed.",
               "dialog Read the disks again (warning): Discard the unwritten changes? (Y/N)",
               "message Written.", "message Disks read again.")
    sim.expect_partitions(img, "gpt", {
        1: (2048, 16384, sd.ESP, "root"),
        2: (18432, 32768, sd.LINUX_FS, "data"),
        3: (51200, 16384, sd.LINUX_FS, ""),
    })
    mbr = sim.image("active.img", DISK, sfdisk="label: dos\nstart=2048, size=16384, type=83\n")
    run = sim.gui([mbr], ["click:Active", "click:Write", "click:Yes", "click:Quit"])
    run.expect("message Partition 1 active.", "message Written.")
    table = sim.verify(mbr)
    sim.equal("bootable flag", [p["bootable"] for p in table["partitions"]], [True])


def every_command_by_click_and_every_trace_line(sim):
    """Over the scenarios before it: each command button was clicked and
    each kind of trace line was sent."""
    if os.environ.get("KV_SCENARIO"):
        return  # only some scenarios ran
    sim.check(len(sim.buttons) == 13, f"command buttons seen: {sorted(sim.buttons)}")
    sim.equal("buttons never clicked", sorted(sim.buttons - sim.clicked), [])
    sim.equal("trace line kinds never sent", sorted(set(gd.KINDS) - sim.kinds), [])


def pixel(picture, x, y):
    width, _, rgb = picture
    at = (y * width + x) * 3
    return tuple(rgb[at:at + 3])


def tab_moves_the_selection_colours(sim):
    a = sim.image("tab-a.img", DISK, sgdisk=GPT3)
    b = sim.image("tab-b.img", DISK)
    shots = {}
    for keys in ([], ["tab"]):
        with tempfile.TemporaryDirectory() as work:
            shot = os.path.join(work, "shot.png")
            run = sim.gui([a, b], keys + ["move=1279,0"], options=["--screenshot", shot],
                          quits=False)
            shots[bool(keys)] = (run, pictures.read_png(shot))
    for focused_disks, (run, picture) in shots.items():
        sim.equal("focus line", run.last("focus "),
                  "focus disks" if focused_disks else "focus partitions")
        disk = next(line for line in reversed(run.lines)
                    if line.startswith("disk ") and " < at " in line)
        _, disk_y = run.centre(disk)
        row = next(line for line in reversed(run.lines)
                   if line.startswith("row ") and " < at " in line)
        row_x, row_y = run.centre(row)
        pitch = sim.row_pitch()
        sim.equal("current disk's colour", pixel(picture, 2, disk_y),
                  FOCUSED if focused_disks else UNFOCUSED)
        sim.equal("selected row's colour", pixel(picture, row_x, row_y - pitch // 2 + 1),
                  UNFOCUSED if focused_disks else FOCUSED)


if __name__ == "__main__":
    gd.GuiSession(sys.argv, __file__).main([
        new_gpt_with_names_and_a_type_by_list,
        new_mbr_with_logical_partitions,
        delete_and_write,
        backup_damage_restore,
        wipe_stopped_by_its_button,
        quit_asks_with_unwritten_changes,
        tab_moves_the_selection_colours,
        rename_active_and_rescan,
        every_command_by_click_and_every_trace_line,
    ])
