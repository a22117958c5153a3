#!/usr/bin/env python3
"""Writing tables through the text front end on real firmware.

OVMF without a graphics device runs korvane.efi on its serial console, with
three data disks beside the ESP: an empty virtio disk, a SATA disk with an
MBR (primary, extended, two logicals) and an empty NVMe disk with
4096-byte blocks. Keys go in through the emulated keyboard, the screen is
read back from the serial output. The script

- checks the disk list against the attached disks and that the ESP cannot
  be changed ("Read only");
- makes a GPT with one 8 MiB "Linux filesystem" partition named
  "Korvane test" on the virtio disk and writes it;
- makes an MBR with one active 4 MiB "Linux" partition on the NVMe disk and
  writes it;
- quits, and lets sgdisk, sfdisk and partx judge the images; the SATA disk
  must be unchanged.

    e2e_text_write.py build/uefi/korvane.efi
"""

import os
import re
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import qemu_harness
from qemu_harness import (HarnessError, choose, disk_list, file_digest,
                          frame_complete, listed, open_listed_disk, quit_to_firmware,
                          wait_for_frame)
from korvane_version import BANNER

MiB = 1 << 20
LINUX_FILESYSTEM = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"
PART_NAME = "Korvane test"


def make_disks(workdir):
    virt = peers.make_image(os.path.join(workdir, "virt.img"), 96 * MiB)
    sata = peers.make_image(os.path.join(workdir, "sata.img"), 48 * MiB)
    peers.sfdisk_write(sata, "label: dos\nstart=1MiB, size=16MiB, type=6\n"
                       "start=20MiB, type=5\nstart=21MiB, size=8MiB, type=83\n"
                       "start=30MiB, size=4MiB, type=82\n")
    nvme = peers.make_image(os.path.join(workdir, "nvme.img"), 32 * MiB)
    return virt, sata, nvme


def check_disk_list(vm):
    screen = vm.wait_until(lambda s: len(disk_list(s)) >= 4 and frame_complete(s),
                           "four disks in the disk list", timeout=120)
    print(f"disk list after {vm.elapsed():.1f} s")
    text = screen.text()
    problems = []
    if not re.search(r"Korvane 0\.2\.1 .*Select a disk", text):
        problems.append(f"no header \"{BANNER} ... Select a disk\"")
    if not re.search(r"Disk +Type +Size +Table +Partitions", text):
        problems.append("no column heads")
    if not re.search(r"Enter +Open +R +Rescan +Q +Quit", text):
        problems.append("no key bar Enter Open, R Rescan, Q Quit")
    disks = disk_list(screen)
    if len(disks) != 4:
        problems.append(f"{len(disks)} disks listed, 4 attached")
    esp = listed(disks, "disk", "64.0 MiB")
    virt = listed(disks, "disk", "96.0 MiB")
    sata = listed(disks, "SATA", "48.0 MiB")
    nvme = listed(disks, "NVMe", "32.0 MiB")
    want = {esp.name: ("GPT", 1, "started from here: read only"),
            virt.name: ("no table", None, ""), sata.name: ("MBR", 3, ""),
            nvme.name: ("no table", None, "")}
    for disk in (esp, virt, sata, nvme):
        got = (disk.table, disk.partitions, disk.state)
        if got != want[disk.name]:
            problems.append(f"{disk.name} shows {got}, want {want[disk.name]}")
    if [d.name for d in disks if d.selected] != [disks[0].name]:
        problems.append("the first disk is not the one selected at start")
    if problems:
        raise HarnessError("disk list:\n" + "\n".join(problems) + "\n" + text)
    return esp, virt, sata, nvme


def open_disk(vm, disk):
    open_listed_disk(vm, disk)
    vm.wait_for_screen(re.compile(r"Partition: +N +New +D +Delete"))


def back_to_list(vm):
    vm.press("esc")
    return wait_for_frame(vm, "Select a disk")


def refuse_on_start_disk(vm, esp):
    """The disk the program started from takes no edit (the message box
    starts the text with a capital)."""
    open_disk(vm, esp)
    vm.press("z")
    vm.wait_for_screen("Korvane was started from this disk: it cannot be changed.")
    vm.wait_for_screen("Read only")
    vm.press("spc")
    screen = vm.wait_until(lambda s: s.find("Read only") is None and frame_complete(s),
                           "the message box to close")
    if screen.find("EFI system") is None or screen.find("changes not written") is not None:
        raise HarnessError(f"the start disk's table changed:\n{screen.text()}")
    back_to_list(vm)


def new_partition(vm, size_text, type_index, type_name, kind_choice=None, name=None):
    """N on the selected free area: kind (MBR), start (the proposed one),
    size, type by its place in the list, name (GPT)."""
    vm.press("n")
    if kind_choice is not None:
        choose(vm, kind_choice[0], kind_choice[1])
    screen = vm.wait_for_screen(re.compile(r"Start \(free: .* to .*\):"))
    start = re.search(r"Start \(free: (.*?) to ", screen.text())[1]
    if start != "1 MiB":
        raise HarnessError(f"the proposed start is {start}, want 1 MiB")
    vm.press("ret")
    vm.wait_for_screen(re.compile(r"Size \(512M, 20G\.\.\., rest = .*\):"))
    vm.wait_for_screen("  rest")  # the offered answer, selected: typing replaces it
    vm.type_text(size_text)
    vm.wait_until(lambda s: s.find(f"  {size_text}") is not None and s.find("  rest") is None,
                  f"the size field to read {size_text}")
    vm.press("ret")
    choose(vm, type_index, type_name)
    if name is not None:
        vm.wait_for_screen("Name (optional, 36 characters):")
        vm.type_text(name)
        vm.wait_for_screen(name)
        vm.press("ret")
    return vm.wait_for_screen("Partition 1 added.")


def write(vm, kind, disk):
    vm.press("ret")
    vm.wait_for_screen(f"Write the {kind} table to {disk.name} ({disk.size})? (Y/N)")
    vm.press("y")
    return vm.wait_for_screen("Written.", timeout=60)


def partition_row(screen, pattern):
    for line in screen.lines():
        if re.match(pattern, line):
            return line
    raise HarnessError(f"no row matching {pattern!r} on:\n{screen.text()}")


def make_gpt(vm, virt):
    open_disk(vm, virt)
    vm.wait_for_screen("No partition table.")
    vm.press("z")
    choose(vm, 0, "GPT")
    vm.wait_for_screen("New empty GPT table.")
    vm.wait_for_screen(re.compile(r"^  - +1\.0 MiB +\d+\.\d MiB +free space$"))
    screen = new_partition(vm, "8M", 7, "Linux filesystem", name=PART_NAME)
    partition_row(screen, rf"^  1\* +1\.0 MiB +8\.0 MiB +Linux filesystem +{PART_NAME}$")
    if screen.find("* = changes not written") is None:
        raise HarnessError("the header does not say the changes are not written")
    screen = write(vm, "GPT", virt)
    partition_row(screen, rf"^  1 +1\.0 MiB +8\.0 MiB +Linux filesystem +{PART_NAME}$")
    if screen.find("* = changes not written") is not None:
        raise HarnessError("the table is still marked changed after Written.")
    screen = back_to_list(vm)
    after = [d for d in disk_list(screen) if d.name == virt.name]
    if not after or (after[0].table, after[0].partitions) != ("GPT", 1):
        raise HarnessError(f"the disk list shows {after} after the write")


def make_mbr(vm, nvme):
    open_disk(vm, nvme)
    vm.wait_for_screen("No partition table.")
    vm.press("z")
    choose(vm, 1, "MBR")
    vm.wait_for_screen("New empty MBR table.")
    new_partition(vm, "4M", 2, "Linux", kind_choice=(0, "Primary"))
    vm.press("a")
    screen = vm.wait_for_screen("Partition 1 active.")
    partition_row(screen, r"^  1\* +1\.0 MiB +4\.0 MiB +Linux +active$")
    write(vm, "MBR", nvme)
    back_to_list(vm)


def check_gpt(path):
    problems = []
    fault = peers.sgdisk_verify(path)
    if fault is not None:
        problems.append(f"sgdisk -v: {fault}")
    table = peers.sfdisk_json(path) or {"label": None, "partitions": []}
    parts = table["partitions"]
    if table["label"] != "gpt" or len(parts) != 1:
        problems.append(f"sfdisk reads {table['label']} with {len(parts)} partitions")
    else:
        got = (parts[0]["start"], parts[0]["size"], parts[0]["type"].upper(),
               parts[0].get("name", ""))
        want = (2048, 8 * MiB // 512, LINUX_FILESYSTEM, PART_NAME)
        if got != want:
            problems.append(f"GPT partition (start, size, type, name) = {got}, want {want}")
    return problems


def check_mbr_4k(path):
    parts = peers.partx_list(path, 4096)
    if len(parts) != 1:
        return [f"partx finds {len(parts)} partitions on the NVMe disk, want 1"]
    got = (parts[0]["start"], parts[0]["size"], parts[0]["type"], parts[0]["flags"])
    want = (MiB // 4096, 4 * MiB // 4096, 0x83, 0x80)
    if got != want:
        return [f"MBR partition (start, size, type, boot flag) in 4096-byte blocks = {got}, "
                f"want {want}"]
    return []


def run(efi):
    with tempfile.TemporaryDirectory(prefix="kvwrite-") as workdir:
        virt_img, sata_img, nvme_img = make_disks(workdir)
        sata_before = file_digest(sata_img)
        drives = [qemu_harness.Drive(virt_img, "virtio"),
                  qemu_harness.Drive(sata_img, "ahci"),
                  qemu_harness.Drive(nvme_img, "nvme", block_size=4096)]
        with qemu_harness.Machine(efi, drives, timeout=280, vga=False,
                                  boot_index=False) as vm:
            esp, virt, sata, nvme = check_disk_list(vm)
            refuse_on_start_disk(vm, esp)
            make_gpt(vm, virt)
            print(f"GPT written after {vm.elapsed():.1f} s")
            make_mbr(vm, nvme)
            print(f"MBR written after {vm.elapsed():.1f} s")
            quit_to_firmware(vm)
            written = vm.serial_text().count("Written.")
            with vm._serial_cond:
                raw = bytes(vm._serial)
            vm.quit()
        # OVMF's terminal writes a cursor position in column 100 or beyond
        # with a broken digit (ESC[rr;:0H), which shows as stray text: the
        # program must never place the cursor there.
        if re.search(rb"\x1b\[\d+;[^\d]", raw):
            raise HarnessError("the program placed the cursor where OVMF's terminal "
                               "cannot address it")
        if written < 2:
            raise HarnessError(f"the serial output shows \"Written.\" {written} times")
        problems = check_gpt(virt_img) + check_mbr_4k(nvme_img)
        if file_digest(sata_img) != sata_before:
            problems.append("the SATA disk was changed")
    return problems


if __name__ == "__main__":
    sys.exit(qemu_harness.text_scenario_main(
        run, missing=peers.missing_tools(("sfdisk", "sgdisk", "partx")),
        errors=(peers.PeerError,)))
