#!/usr/bin/env python3
"""Backups to the ESP through the text front end on real firmware.

OVMF without a graphics device runs korvane.efi on its serial console with
three data disks beside the ESP: a virtio disk with a GPT, a SATA disk with
an MBR holding two logical partitions, and an NVMe disk with 4096-byte
blocks and a GPT. Through the emulated keyboard the script

- deletes a partition of the GPT disk without writing and backs the disk up
  under the offered name fs0:\\korvane-<disk>.bin (the backup must hold the
  disk, not the edit), then leaves the disk discarding the edit;
- backs up the MBR disk as FS0:/mbr.bin (which the program turns into
  fs0:\\mbr.bin);
- on the NVMe disk declines to replace mbr.bin, then backs the disk up as
  fs0:\\nvme4k.bin.

After QEMU has stopped, mtools copies the files off the ESP image; each must
be as large as the status line said, carry the magic, version, geometry and
checksum, and hold exactly the table blocks of its disk, read from the image
independently of the program.

    e2e_text_backup.py build/uefi/korvane.efi
"""

import os
import re
import struct
import subprocess
import sys
import tempfile
import zlib

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import qemu_harness
from qemu_harness import (HarnessError, disk_list, file_digest, frame_complete,
                          listed, open_listed_disk, quit_to_firmware,
                          wait_for_frame)

MiB = 1 << 20
EXTENDED_TYPES = (0x05, 0x0F, 0x85)
SAVED = re.compile(r"Saved (fs\d+:\\\S+) \((\d+) bytes\)\.")


def make_disks(workdir):
    gpt = peers.make_image(os.path.join(workdir, "gpt.img"), 80 * MiB)
    peers.sfdisk_write(gpt, "label: gpt\nstart=1MiB, size=16MiB, name=\"first\"\n"
                       "size=8MiB, type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F\n")
    mbr = peers.make_image(os.path.join(workdir, "mbr.img"), 48 * MiB)
    peers.sfdisk_write(mbr, "label: dos\nstart=1MiB, size=16MiB, type=c\n"
                       "start=20MiB, type=5\nstart=21MiB, size=8MiB, type=83\n"
                       "start=30MiB, size=4MiB, type=82\n")
    nvme = peers.make_image(os.path.join(workdir, "nvme.img"), 32 * MiB)
    peers.fdisk_script(nvme, "g\nn\n1\n\n+8M\nw\n", sector_size=4096)
    return gpt, mbr, nvme


def table_ranges(path, block_size):
    """The (first block, block count) ranges a backup of the image must hold,
    in file order, read from the image with nothing of the program's."""
    count = os.path.getsize(path) // block_size

    def block(lba):
        return peers.read_block(path, lba, block_size)

    ranges = []

    def add(first, blocks):
        if first < count and all(first != seen for seen, _ in ranges):
            ranges.append((first, min(blocks, count - first)))

    add(0, 1)
    header = block(1)
    if header[:8] == b"EFI PART":
        backup_lba, = struct.unpack_from("<Q", header, 32)
        array_lba, entries, entry_size = struct.unpack_from("<QII", header, 72)
        array_blocks = -(-entries * entry_size // block_size)
        add(1, 1)
        add(array_lba, array_blocks)
        add(backup_lba, 1)
        backup_array_lba, = struct.unpack_from("<Q", block(backup_lba), 72)
        if backup_array_lba:
            add(backup_array_lba, array_blocks)
        return ranges
    for entry in peers.mbr_entries(block(0)) or []:
        if entry["type"] not in EXTENDED_TYPES or not entry["count"]:
            continue
        ebr = entry["first"]
        while True:
            add(ebr, 1)
            links = peers.mbr_entries(block(ebr))
            if not links or links[1]["type"] not in EXTENDED_TYPES or not links[1]["count"]:
                break
            ebr = entry["first"] + links[1]["first"]
        break  # logical partitions live in the first extended partition only
    return ranges


def check_backup(data, image, block_size):
    """Problems of one backup file against the disk image it was made of."""
    problems = []
    if len(data) < 32 or data[:8] != b"KORVANE1":
        return [f"no magic KORVANE1 at the start: {data[:8]!r}"]
    version, size, count, n = struct.unpack_from("<IIQI", data, 8)
    disk_blocks = os.path.getsize(image) // block_size
    if (version, size, count) != (1, block_size, disk_blocks):
        problems.append(f"(version, block size, blocks) = {(version, size, count)}, "
                        f"want {(1, block_size, disk_blocks)}")
    if zlib.crc32(data[:-4]) != struct.unpack_from("<I", data, len(data) - 4)[0]:
        problems.append("wrong checksum")
    at, found = 28, []
    with open(image, "rb") as disk:
        for _ in range(n):
            if at + 12 > len(data) - 4:
                return problems + ["ranges run past the end of the file"]
            first, blocks = struct.unpack_from("<QI", data, at)
            at += 12
            found.append((first, blocks))
            disk.seek(first * block_size)
            if data[at:at + blocks * block_size] != disk.read(blocks * block_size):
                problems.append(f"range ({first}, {blocks}) differs from the disk")
            at += blocks * block_size
    if at != len(data) - 4:
        problems.append(f"{len(data) - 4 - at} bytes between the last range and the checksum")
    want = table_ranges(image, block_size)
    if found != want:
        problems.append(f"ranges {found}, want {want}")
    return problems


def backup(vm, default, answer=None):
    """B, a check of the offered file name, then Enter on it or on answer
    typed over it; returns the file name and size the status line gives."""
    vm.press("b")
    vm.wait_for_screen("Backup of the table on the disk, to file:")
    screen = vm.wait_for_screen(default)
    if screen.find(re.compile(r"Volumes: fs0( |$)")) is None:
        raise HarnessError(f"the prompt does not list the one volume fs0:\n{screen.text()}")
    if answer is not None:
        vm.type_text(answer)
        vm.wait_for_screen(answer)
    vm.press("ret")
    screen = vm.wait_for_screen(SAVED)
    match = SAVED.search(screen.text())
    return match[1], int(match[2])


def leave_disk(vm):
    vm.press("esc")
    wait_for_frame(vm, "Select a disk")


def run_backups(vm):
    """The key sequence; returns {file name on the ESP: (size said, disk)}."""
    screen = vm.wait_until(lambda s: len(disk_list(s)) >= 4 and frame_complete(s),
                           "four disks in the disk list", timeout=120)
    print(f"disk list after {vm.elapsed():.1f} s")
    disks = disk_list(screen)
    gpt = listed(disks, "disk", "80.0 MiB")
    mbr = listed(disks, "SATA", "48.0 MiB")
    nvme = listed(disks, "NVMe", "32.0 MiB")
    if (gpt.table, mbr.table, mbr.partitions, nvme.table) != ("GPT", "MBR", 3, "GPT"):
        raise HarnessError(f"the disk list reads the tables otherwise: {disks}")
    saved = {}

    # An unwritten edit must not reach the backup.
    open_listed_disk(vm, gpt)
    vm.press("home", "d")
    vm.wait_for_screen("Partition 1 deleted.")
    first = f"fs0:\\korvane-{gpt.name}.bin"
    name, size = backup(vm, first)
    if name != first:
        raise HarnessError(f"saved as {name}, want {first}")
    saved[name] = (size, "gpt")
    vm.press("esc")
    vm.wait_for_screen("Discard the unwritten changes? (Y/N)")
    vm.press("y")
    wait_for_frame(vm, "Select a disk")

    # Each disk offers its own file, not the one the other disk was saved
    # to; the answer's volume is normalised.
    open_listed_disk(vm, mbr)
    name, size = backup(vm, f"fs0:\\korvane-{mbr.name}.bin", "FS0:/mbr.bin")
    if name != "fs0:\\mbr.bin":
        raise HarnessError(f"FS0:/mbr.bin was saved as {name}")
    saved[name] = (size, "mbr")
    leave_disk(vm)

    # Declining to replace a file keeps it: mbr.bin must still hold the MBR
    # disk afterwards, not this one.
    open_listed_disk(vm, nvme)
    own = f"fs0:\\korvane-{nvme.name}.bin"
    vm.press("b")
    vm.wait_for_screen("Backup of the table on the disk, to file:")
    vm.wait_for_screen(own)
    vm.type_text("fs0:\\mbr.bin")
    vm.wait_for_screen("fs0:\\mbr.bin")
    vm.press("ret")
    vm.wait_for_screen("The file exists. Replace it? (Y/N)")
    vm.press("n")
    screen = vm.wait_until(lambda s: s.find("Replace it?") is None and frame_complete(s),
                           "the question to close")
    if screen.find(SAVED) is not None:
        raise HarnessError(f"declining to replace the file still saved it:\n{screen.text()}")
    name, size = backup(vm, own, "fs0:\\nvme4k.bin")
    saved[name] = (size, "nvme")
    leave_disk(vm)
    return saved


def fetch(esp, name, target):
    """Copies a file off the ESP image's FAT volume with mcopy."""
    volume = f"{esp}@@{qemu_harness.ESP_START_MIB * MiB}"
    path = "::/" + name.split(":\\", 1)[1].replace("\\", "/")
    done = subprocess.run(["mcopy", "-n", "-i", volume, path, target], capture_output=True,
                          text=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"), timeout=60)
    if done.returncode != 0:
        raise HarnessError(f"mcopy {path}: {done.stderr.strip()}")
    with open(target, "rb") as copied:
        return copied.read()


def run(efi):
    problems = []
    with tempfile.TemporaryDirectory(prefix="kvbackup-") as workdir:
        images = dict(zip(("gpt", "mbr", "nvme"), make_disks(workdir)))
        block_sizes = {"gpt": 512, "mbr": 512, "nvme": 4096}
        before = {key: file_digest(path) for key, path in images.items()}
        drives = [qemu_harness.Drive(images["gpt"], "virtio"),
                  qemu_harness.Drive(images["mbr"], "ahci"),
                  qemu_harness.Drive(images["nvme"], "nvme", block_size=4096)]
        with qemu_harness.Machine(efi, drives, timeout=280, vga=False,
                                  boot_index=False) as vm:
            saved = run_backups(vm)
            print(f"backups saved after {vm.elapsed():.1f} s")
            quit_to_firmware(vm)
            vm.quit()
            for name, (size, key) in saved.items():
                data = fetch(vm.esp_path, name, os.path.join(workdir, "copy.bin"))
                if len(data) != size:
                    problems.append(f"{name}: {len(data)} bytes, the status said {size}")
                problems += [f"{name}: {p}" for p in
                             check_backup(data, images[key], block_sizes[key])]
        for key, path in images.items():
            if file_digest(path) != before[key]:
                problems.append(f"the {key} disk was changed by a backup")
    return problems


if __name__ == "__main__":
    sys.exit(qemu_harness.text_scenario_main(run, errors=(peers.PeerError,)))
