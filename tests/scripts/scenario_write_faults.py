#!/usr/bin/env python3
"""Writes that the disk cuts short, through the whole program: for every
write at which the disk stops (a power cut), an MBR turned into a GPT and a
GPT turned into an MBR leave the old table or the new one, whole, as sfdisk
and sgdisk read them, and the status tells whether anything was written. A
chain of logical partitions with an unreadable EBR is not written over.

usage: scenario_write_faults.py PATH/TO/korvane-sim
"""

import os
import re
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import sim_driver as sd
from sim_driver import MiB

MBR_LAYOUT = """label: dos
start=2048, size=16384, type=83
start=20480, type=5
start=22528, size=16384, type=83
start=43008, size=16384, type=83
start=63488, size=16384, type=83
"""
GPT_LAYOUT = ["-n", "1:2048:+8M", "-n", "2:20480:+8M", "-n", "3:40960:+8M"]


def layout(path):
    table = peers.sfdisk_json(path)
    if table is None:
        return None
    return table["label"], sorted((p["start"], p["size"]) for p in table["partitions"])


def sweep(sim, name, make, keys):
    """Runs the keys with the N-th write failing, for N = 1, 2, ... until a
    write gets through."""
    old = layout(make(sim.path(f"{name}-old.img")))
    cut = []
    for n in range(1, 20):
        img = make(sim.path(f"{name}-{n}.img"))
        before = sd.digest(img)
        run = sim.run([f"{img}:failwrite={n}"], sim.open_disk(0) + keys + sd.write() + ["enter"])
        now = layout(img)
        text = "\n".join(f.whole for f in run.frames)
        counted = re.search(r"after (\d+) of (\d+) blocks", text)
        if counted is None and now != old:
            sim.verify(img)
            for k, seen in cut:
                sim.check(seen in (old, now), f"{name}, write {k}: neither table: {seen}")
            return n
        cut.append((n, now))
        sim.check(now == old or counted is not None, f"{name}, write {n}: the disk changed "
                  "but the status says nothing was written")
        if counted is None:
            sim.equal(f"{name}, write {n}: image", sd.digest(img), before)
        else:
            sim.check(0 < int(counted.group(1)) < int(counted.group(2)),
                      f"{name}, write {n}: {counted.group(0)}")
        if now != old:
            sim.verify(img)
        else:
            sim.check(peers.sfdisk_verify(img) is None, f"{name}, write {n}: old table damaged")
    raise sd.ScenarioFailure(f"{name}: no write got through")


def mbr_to_gpt(sim):
    def make(path):
        return sim.image(os.path.basename(path), 64 * MiB, sfdisk=MBR_LAYOUT)
    n = sweep(sim, "m2g", make, sd.new_table("gpt") + sd.new_partition(name=""))
    sim.check(n > 2, f"MBR to GPT took {n} writes")


def gpt_to_mbr(sim):
    def make(path):
        return sim.image(os.path.basename(path), 64 * MiB, sgdisk=GPT_LAYOUT)
    keys = sd.new_table("mbr") + sd.new_partition(size="8M", kind="logical")
    n = sweep(sim, "g2m", make, keys)
    sim.check(n > 2, f"GPT to MBR took {n} writes")


def unreadable_ebr_is_not_written_over(sim):
    img = sim.image("bad-ebr.img", 64 * MiB, sfdisk=MBR_LAYOUT)
    dump = peers.kvdump(os.path.join(os.path.dirname(sim.sim), "tools", "kvdump"), img)
    ebr = sorted(p["ebr_block"] for p in dump["partitions"] if p["kind"] == "logical")[1]
    before = sd.digest(img)
    run = sim.run([f"{img}:badblock={ebr}"],
                  sim.open_disk(0) + ["home", "a"] + sd.write() + ["enter"])
    run.expect(rf"Not written: .*\b{ebr}\b", pattern=True)
    sim.equal("image after the refused write", sd.digest(img), before)


if __name__ == "__main__":
    session = sd.Session(sys.argv, __file__)
    session.main([unreadable_ebr_is_not_written_over, mbr_to_gpt, gpt_to_mbr])
