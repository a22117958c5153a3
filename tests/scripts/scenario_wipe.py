#!/usr/bin/env python3
"""Wipe through the whole program: a completed wipe leaves the partition all
zeros and every other byte of the disk as it was; a wipe stopped in pass 1
has overwritten the chunks written before the stop with random data and
nothing else, one stopped in pass 2 has zeroed only its first chunks; the
refusals write nothing.

usage: scenario_wipe.py PATH/TO/korvane-sim
"""

import os
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sim_driver as sd
from sim_driver import MiB

DISK = 64 * MiB
CHUNK = 4 * MiB
GPT3 = ["-o", "-n", "1:2048:+8M", "-c", "1:boot", "-t", "1:EF00", "-n", "2:0:+16M", "-c",
        "2:data", "-n", "3:0:+24M", "-t", "3:8200"]
P1 = (2048 * 512, 8 * MiB)
P2 = (18432 * 512, 16 * MiB)
P3 = (51200 * 512, 24 * MiB)


def patterned_image(sim, name):
    """The three partitions and the unpartitioned space after them hold
    non-zero data, so that any stray write shows."""
    template = sim.path("patterned-template.img")
    if not os.path.exists(template):
        sim.image("patterned-template.img", DISK, sgdisk=GPT3)
        sd.fill_pattern(template, P1[0], P3[0] + P3[1] + 4 * MiB - P1[0], "wipe")
    img = sim.path(name)
    sd.sparse_copy(template, img)
    return img


def is_zero(data):
    return data.count(0) == len(data)


def wipe_completed(sim):
    img = patterned_image(sim, "done.img")
    outside = sd.digest(img, skip=P2)
    keys = sim.open_disk(0) + ["home", "down", "w", "y"]
    run = sim.run([img], keys)
    name = run.disk_name(0)
    run.expect_title("Wipe")
    run.expect(f'Wipe partition 2 of {name} (Linux filesystem, 16.0 MiB, "data")? (Y/N)')
    run.expect_re(r"^  Partition 2 wiped \(16\.0 MiB, 2 passes, \d+ s\)\.$")
    sim.check(is_zero(sd.read_range(img, *P2)), "partition 2 is not all zeros after the wipe")
    sim.equal("the disk outside partition 2", sd.digest(img, skip=P2), outside)
    # The table and its rows stay as they were.
    run.expect_last(r"^  2  .*Linux filesystem +data$", pattern=True)
    sim.verify(img)


def chunks_of(data):
    return [data[i:i + CHUNK] for i in range(0, len(data), CHUNK)]


def wipe_stopped_in_pass_1(sim):
    """Esc during the first pass, confirmed. The wipe looks for a key once
    before each pass and once after every 4 MiB chunk: with two other keys
    read first, Esc is seen after the second chunk, so exactly the first two
    chunks hold random data and the rest of the partition and the disk are
    as they were."""
    img = patterned_image(sim, "stopped.img")
    original = sd.read_range(img, *P3)
    outside = sd.digest(img, skip=P3)
    keys = sim.open_disk(0) + ["home", "down", "down", "w", "y", "poll-x", "poll-x", "poll-esc",
                               "y"]
    run = sim.run([img], keys)
    name = run.disk_name(0)
    run.expect(f"Wipe partition 3 of {name} (Linux swap, 24.0 MiB)? (Y/N)",
               f"Wiping {name} partition 3  (24.0 MiB)", "Esc: stop", "Stop the wipe? (Y/N)",
               "Wipe of partition 3 stopped in pass 1: partly overwritten.")
    run.expect_never("wiped (")
    now, before = chunks_of(sd.read_range(img, *P3)), chunks_of(original)
    sim.equal("chunks overwritten", [a != b for a, b in zip(now, before)],
              [True, True, False, False, False, False])
    sim.check(not any(is_zero(chunk) for chunk in now[:2]) and now[0] != now[1],
              "the overwritten chunks do not hold random data")
    sim.equal("the disk outside partition 3", sd.digest(img, skip=P3), outside)


def wipe_stopped_in_pass_2(sim):
    """Seven reads cover the first pass of six chunks; Esc on the tenth read
    comes after two chunks of zeros: those two are zero, the other four
    still hold pass 1's random data."""
    img = patterned_image(sim, "stopped-later.img")
    original = sd.read_range(img, *P3)
    keys = sim.open_disk(0) + ["home", "down", "down", "w", "y"] + ["poll-x"] * 9
    keys += ["poll-esc", "y"]
    run = sim.run([img], keys)
    run.expect("Stop the wipe? (Y/N)",
               "Wipe of partition 3 stopped in pass 2: partly overwritten.")
    now, before = chunks_of(sd.read_range(img, *P3)), chunks_of(original)
    sim.equal("zeroed chunks", [is_zero(chunk) for chunk in now],
              [True, True, False, False, False, False])
    sim.check(all(a != b for a, b in zip(now, before)),
              "pass 1 did not overwrite the whole partition")


def wipe_not_stopped(sim):
    """Esc during the wipe answered with no: the wipe goes on to the end."""
    img = patterned_image(sim, "goes-on.img")
    outside = sd.digest(img, skip=P3)
    keys = sim.open_disk(0) + ["home", "down", "down", "w", "y", "poll-x", "poll-esc", "n"]
    run = sim.run([img], keys)
    run.expect("Stop the wipe? (Y/N)")
    run.expect_re(r"Partition 3 wiped \(24\.0 MiB, 2 passes, \d+ s\)\.")
    sim.check(is_zero(sd.read_range(img, *P3)), "partition 3 is not all zeros after the wipe")
    sim.equal("the disk outside partition 3", sd.digest(img, skip=P3), outside)


def wipe_refusals(sim):
    img = patterned_image(sim, "refuse.img")
    before = sd.digest(img)
    # Declined; on the free area; with unwritten changes.
    keys = sim.open_disk(0) + ["home", "w", "n", "end", "w", "home", "down", "d", "home", "w",
                               "enter"]
    run = sim.run([img], keys)
    name = run.disk_name(0)
    run.expect(f'Wipe partition 1 of {name} (EFI system, 8.0 MiB, "boot")? (Y/N)',
               "Nothing was written.", "Select a partition first.", "Partition 2 deleted.",
               "Unwritten changes: write or discard them first")
    sim.equal("disk after refused wipes", sd.digest(img), before)

    mbr = sim.image("extended.img", DISK, sfdisk="label: dos\nstart=2048, type=5\n"
                    "start=4096, size=8192, type=83\n")
    before = sd.digest(mbr)
    run = sim.run([mbr], sim.open_disk(0) + ["home", "w", "enter"])
    run.expect("Wipe the logical partitions one by one")
    sim.equal("disk after a refused wipe of the extended partition", sd.digest(mbr), before)


if __name__ == "__main__":
    session = sd.Session(sys.argv, __file__)
    session.main([wipe_completed, wipe_stopped_in_pass_1, wipe_stopped_in_pass_2, wipe_not_stopped,
                  wipe_refusals])
