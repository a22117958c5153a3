#!/usr/bin/env python3
"""The USB stick image, built by tools/make_usb_image.sh as the usb-image
target builds it, checked as a file and then booted by OVMF as a USB stick.

- The image: a GPT of at least 64 MiB that sgdisk -v finds clean, with one
  EFI system partition holding a FAT32 file system that fsck.fat finds
  clean and whose only file is EFI/BOOT/BOOTX64.EFI, a copy of korvane.efi.
- The boot: the image on a USB mass-storage device behind an xHCI
  controller, an empty virtio data disk beside it, no boot entry: the
  firmware finds the loader by the removable-media path. The disk list
  shows the stick as a USB disk "started from here: read only" and the
  data disk as writable; the stick's bytes are unchanged afterwards.

    e2e_usb_stick.py build/uefi/korvane.efi
"""

import os
import struct
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import qemu_harness
from qemu_harness import HarnessError, disk_list, file_digest, frame_complete

MiB = 1 << 20
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAKE_IMAGE = os.path.join(REPO, "tools", "make_usb_image.sh")
ESP_TYPE = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"


def make_usb_image(efi, image):
    done = subprocess.run([MAKE_IMAGE, efi, image], capture_output=True, text=True)
    if done.returncode != 0:
        raise HarnessError(f"make_usb_image.sh failed: {done.stderr.strip()}")
    return image


def volume_files(volume):
    """Every path on a FAT volume (mtools' image@@offset form), folders
    ending in "/"."""
    done = peers.run(["mdir", "-/", "-b", "-i", volume, "::/"])
    return sorted(line.strip().replace("::", "", 1) for line in done.stdout.splitlines()
                  if line.strip())


def fsck_fat(image, offset, size, workdir):
    """fsck.fat -n on a copy of the partition (it takes no offset);
    returns problems."""
    copy = os.path.join(workdir, "esp.fat")
    with open(image, "rb") as source, open(copy, "wb") as target:
        source.seek(offset)
        left = size
        while left:
            chunk = source.read(min(left, 4 * MiB))
            if not chunk:
                return ["the image ends inside its partition"]
            target.write(chunk)
            left -= len(chunk)
    done = peers.run(["fsck.fat", "-n", copy], check=False)
    os.remove(copy)
    if done.returncode != 0:
        return [f"fsck.fat -n: {(done.stdout + done.stderr).strip()}"]
    return []


def check_image(image, efi, workdir):
    """What the image must be before anything boots it; returns problems."""
    problems = []
    size = os.path.getsize(image)
    if size < 64 * MiB:
        problems.append(f"the image has {size} bytes, less than 64 MiB")
    verdict = peers.sgdisk_verify(image, strict=True)
    if verdict is not None:
        problems.append(f"sgdisk -v:\n{verdict}")
    table = peers.sfdisk_json(image) or {}
    parts = table.get("partitions", [])
    if table.get("label") != "gpt" or len(parts) != 1 or parts[0]["type"].upper() != ESP_TYPE:
        return problems + [f"not a GPT with one EFI system partition: {table}"]
    offset = parts[0]["start"] * 512
    boot = peers.read_block(image, parts[0]["start"])
    sectors_per_fat16 = struct.unpack_from("<H", boot, 22)[0]
    if boot[82:90] != b"FAT32   " or sectors_per_fat16 != 0 or boot[510:512] != b"\x55\xaa":
        problems.append(f"the partition does not hold FAT32: type field {boot[82:90]!r}")
    damage = fsck_fat(image, offset, parts[0]["size"] * 512, workdir)
    if damage:
        return problems + damage
    volume = f"{image}@@{offset}"
    files = [f for f in volume_files(volume) if not f.endswith("/")]
    if files != ["/EFI/BOOT/BOOTX64.EFI"]:
        problems.append(f"the volume holds {files}, want only /EFI/BOOT/BOOTX64.EFI")
    else:
        copy = os.path.join(workdir, "loader.efi")
        peers.run(["mcopy", "-n", "-i", volume, "::/EFI/BOOT/BOOTX64.EFI", copy])
        if file_digest(copy) != file_digest(efi):
            problems.append("EFI/BOOT/BOOTX64.EFI is not korvane.efi")
    return problems


def check_disk_list(screen):
    """The stick and the data disk as the disk list shows them; returns
    problems."""
    disks = disk_list(screen)
    stick = [d for d in disks if d.size == "64.0 MiB"]
    data = [d for d in disks if d.size == "32.0 MiB"]
    if len(disks) != 2 or len(stick) != 1 or len(data) != 1:
        return [f"want the 64 MiB stick and the 32 MiB data disk, the list shows {disks}"]
    problems = []
    got = (stick[0].kind, stick[0].table, stick[0].partitions, stick[0].state)
    if got != ("USB", "GPT", 1, "started from here: read only"):
        problems.append(f"the stick shows {got}")
    got = (data[0].kind, data[0].table, data[0].state)
    if got != ("disk", "no table", ""):
        problems.append(f"the data disk shows {got}, want a writable disk without a table")
    return problems


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} KORVANE_EFI", file=sys.stderr)
        return 2
    efi = sys.argv[1]
    # mtools would refuse a FAT whose geometry fields do not match the image.
    os.environ["MTOOLS_SKIP_CHECK"] = "1"
    try:
        with tempfile.TemporaryDirectory(prefix="kvusb-") as workdir:
            image = make_usb_image(efi, os.path.join(workdir, "korvane-usb.img"))
            problems = check_image(image, efi, workdir)
            if problems:
                raise HarnessError("the image:\n" + "\n".join(problems))
            before = file_digest(image)
            data = peers.make_image(os.path.join(workdir, "data.img"), 32 * MiB)
            with qemu_harness.Machine(None, drives=[qemu_harness.Drive(data)], boot_image=image,
                                      boot_bus="usb", boot_index=False, vga=False, timeout=110,
                                      timing_sensitive=False) as vm:
                screen = vm.wait_until(lambda s: len(disk_list(s)) >= 2 and frame_complete(s),
                                       "two disks in the disk list", timeout=100)
                print(f"disk list after {vm.elapsed():.1f} s:\n{screen.text()}")
                problems = check_disk_list(screen)
            if file_digest(image) != before:
                problems.append("the stick's image changed")
    except (HarnessError, peers.PeerError) as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
