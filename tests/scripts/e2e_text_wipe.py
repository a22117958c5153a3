#!/usr/bin/env python3
"""Wipes on real firmware, through the text front end, on each way the wipe
writes: a virtio disk (plain Block I/O), a SATA disk (Block I/O 2 on the ATA
bus, written one request at a time) and an NVMe disk with 4096-byte blocks
(Block I/O 2, several writes in flight).

Before the tables are made, every byte of each image from 1 MiB to 1 MiB
before its end carries a pattern, so that a stray write anywhere shows. On
each disk the script wipes partition 1, whose size is no whole number of
4 MiB chunks. Afterwards each image must equal what it was with exactly
that partition's bytes zeroed: the tables, the other partition and the
free space around them unchanged.

    e2e_text_wipe.py build/uefi/korvane.efi
"""

import os
import re
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import qemu_harness
from qemu_harness import (HarnessError, disk_list, frame_complete, listed, open_listed_disk,
                          quit_to_firmware, wait_for_frame)

MiB = 1 << 20


def fill(path, size):
    """The image, patterned between its first and last MiB: each 16-byte
    line names its offset, so no two lines of a disk are alike."""
    peers.make_image(path, size)
    with open(path, "r+b") as image:
        image.seek(MiB)
        for at in range(MiB, size - MiB, MiB):
            image.write(b"".join(b"kv%014x" % (at + i) for i in range(0, MiB, 16)))
    return path


def make_disks(workdir):
    # 43 MiB + 3 KiB: ten whole chunks and a short one.
    virtio = fill(os.path.join(workdir, "virtio.img"), 96 * MiB)
    peers.sfdisk_write(virtio, "label: gpt\nstart=1MiB, size=88070\nsize=8MiB\n")
    sata = fill(os.path.join(workdir, "sata.img"), 64 * MiB)
    peers.sfdisk_write(sata, "label: dos\nstart=1MiB, size=88070, type=83\nsize=8MiB, type=83\n")
    # 41 MiB at 4096 bytes a block.
    nvme = fill(os.path.join(workdir, "nvme.img"), 64 * MiB)
    peers.fdisk_script(nvme, "g\nn\n1\n\n+41M\nn\n2\n\n+8M\nw\n", sector_size=4096)
    return {"virtio": (virtio, 512), "sata": (sata, 512), "nvme": (nvme, 4096)}


def first_partition(path, block_size):
    """(byte offset, byte count) of partition 1, as partx reads it."""
    for entry in peers.partx_list(path, block_size):
        if entry["number"] == 1:
            return entry["start"] * block_size, entry["size"] * block_size
    raise HarnessError(f"{path}: partx finds no partition 1")


def wipe_first(vm, disk):
    open_listed_disk(vm, disk)
    vm.press("home", "w")
    vm.wait_for_screen(re.compile(r"Wipe partition 1 of .*\(Y/N\)"))
    vm.press("y")
    vm.wait_until(lambda s: s.find(re.compile(r"Partition 1 wiped")) is not None and
                  frame_complete(s), f"the wipe on {disk.name} to end", timeout=240)
    vm.press("esc")
    wait_for_frame(vm, "Select a disk")


def run(efi):
    problems = []
    with tempfile.TemporaryDirectory(prefix="kvwipe-") as workdir:
        images = make_disks(workdir)
        before = {}
        for key, (path, block_size) in images.items():
            with open(path, "rb") as image:
                before[key] = image.read()
        drives = [qemu_harness.Drive(images["virtio"][0], "virtio"),
                  qemu_harness.Drive(images["sata"][0], "ahci"),
                  qemu_harness.Drive(images["nvme"][0], "nvme", block_size=4096)]
        with qemu_harness.Machine(efi, drives, timeout=600, vga=False, boot_index=False) as vm:
            screen = vm.wait_until(lambda s: len(disk_list(s)) >= 4 and frame_complete(s),
                                   "four disks in the disk list", timeout=120)
            disks = disk_list(screen)
            for disk in (listed(disks, "disk", "96.0 MiB"), listed(disks, "SATA", "64.0 MiB"),
                         listed(disks, "NVMe", "64.0 MiB")):
                wipe_first(vm, disk)
                print(f"{disk.name} {disk.kind} wiped after {vm.elapsed():.1f} s")
            quit_to_firmware(vm)
            vm.quit()
        for key, (path, block_size) in images.items():
            offset, count = first_partition(path, block_size)
            want = bytearray(before[key])
            want[offset:offset + count] = bytes(count)
            with open(path, "rb") as image:
                got = image.read()
            if got != want:
                wrong = next(i for i in range(len(got)) if got[i] != want[i])
                where = "inside" if offset <= wrong < offset + count else "outside"
                problems.append(f"{key}: byte {wrong} ({where} partition 1 at {offset}, "
                                f"{count} bytes) is {got[wrong]:#x}, want {want[wrong]:#x}")
    return problems


if __name__ == "__main__":
    sys.exit(qemu_harness.text_scenario_main(run, errors=(peers.PeerError,)))
