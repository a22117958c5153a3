#!/usr/bin/env python3
"""A Write that fails half-way on real firmware, with the fault injected by
QEMU itself (blkdebug: EIO from the N-th write request on, as a failing disk
or a power cut would). A GPT with two partitions loses partition 2 in the
program and is written; for a cut at the primary header and at the backup
header the program says how far the write got, and the disk still holds the
old table or the new one with every partition of it, as sgdisk and sfdisk
read it.

    e2e_write_fault.py build/uefi/korvane.efi
"""

import os
import re
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import qemu_harness
from qemu_harness import (Drive, HarnessError, disk_list, frame_complete, listed,
                          open_listed_disk,
                          quit_to_firmware, wait_for_frame)

MiB = 1 << 20
# The writes of a GPT Write: primary array, primary header, backup array,
# backup header, block 0. Cut at the primary header and at the backup header.
CUTS = (2, 4)


def make_disk(path):
    peers.make_image(path, 32 * MiB)
    peers.sgdisk(path, "-o", "-n", "1:2048:+8M", "-c", "1:one", "-n", "2:0:+8M", "-c", "2:two")
    return path


def starts(path):
    table = peers.sfdisk_json(path)
    if table is None or table["label"] != "gpt":
        raise HarnessError(f"sfdisk finds no GPT on {path}")
    return sorted(p["start"] for p in table["partitions"])


def cut_write(efi, workdir, nth):
    image = make_disk(os.path.join(workdir, f"cut{nth}.img"))
    old = starts(image)
    rules = qemu_harness.blkdebug_fail_write(os.path.join(workdir, f"cut{nth}.conf"), nth)
    with qemu_harness.Machine(efi, [Drive(image, blkdebug=rules)], timeout=200, vga=False,
                              boot_index=False) as vm:
        screen = vm.wait_until(lambda s: len(disk_list(s)) >= 2 and frame_complete(s),
                               "two disks listed", timeout=120)
        disk = listed(disk_list(screen), "disk", "32.0 MiB")
        open_listed_disk(vm, disk)
        vm.press("home", "down", "d")
        vm.wait_for_screen("Partition 2 deleted.")
        vm.press("ret")
        vm.wait_for_screen("(Y/N)")
        vm.press("y")
        screen = vm.wait_for_screen(re.compile(r"The write stopped after \d+ of \d+ blocks"),
                                    timeout=60)
        said = re.search(r"The write stopped after (\d+) of (\d+) blocks", screen.text())
        vm.press("spc")
        vm.press("esc")
        wait_for_frame(vm, "Select a disk")
        quit_to_firmware(vm)
    now = starts(image)
    if now not in (old, old[:1]):
        raise HarnessError(f"cut at write {nth}: partitions start at {now}, neither the old "
                           f"{old} nor the new {old[:1]}")
    fault = peers.sgdisk_verify(image)
    written = int(said[1])
    # The array is 32 blocks, each header one: what the message counts must
    # be what went to the disk before the cut.
    expected = {2: 32, 4: 32 + 1 + 32}[nth]
    if written != expected:
        raise HarnessError(f"cut at write {nth}: the program says {written} blocks were "
                           f"written, {expected} were")
    print(f"cut at write {nth}: '{said[0]}', partitions {now}, sgdisk -v: "
          f"{'no problem' if fault is None else fault.splitlines()[0]}")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    efi = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="kv-fault-") as workdir:
        for nth in CUTS:
            cut_write(efi, workdir, nth)
    return 0


if __name__ == "__main__":
    sys.exit(main())
