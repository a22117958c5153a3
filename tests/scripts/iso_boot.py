#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The ISO image, built by tools/make_iso.sh as the iso-image target builds
it, booted by OVMF from one kind of drive, with no boot entry:

- cd: a CD drive on the SATA controller (El Torito);
- scsi-cd: a CD drive on virtio-SCSI (El Torito);
- usb: the ISO file as a USB stick (the hybrid table's EFI partition).

The ISO holds the program in its tree and, through its hybrid MBR, an EFI
system partition (the El Torito image) that holds it too: OVMF also finds
El Torito on a USB disk, so only this check shows that a stick's firmware
can boot it. The program's disk list shows the drive as the disk it was started from,
read only, with the drive's bus; the image's bytes are unchanged. On the
CD drives kvlist.efi (built beside korvane.efi), started from an ISO made
the same way, confirms that discovery sees 2048-byte blocks there.

    iso_boot.py cd|scsi-cd|usb build/uefi/korvane.efi
"""

import json
import os
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qemu_harness
from qemu_harness import HarnessError, disk_list, file_digest, frame_complete

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAKE_ISO = os.path.join(REPO, "tools", "make_iso.sh")
# The bus label the disk list gives each drive, and its block size.
BUSES = {"cd": ("SATA", 2048), "scsi-cd": ("SCSI", 2048), "usb": ("USB", 512)}


def make_iso(efi, iso):
    done = subprocess.run([MAKE_ISO, efi, iso], capture_output=True, text=True)
    if done.returncode != 0:
        raise HarnessError(f"make_iso.sh failed: {done.stderr.strip()}")
    return iso


def check_layout(iso, efi, workdir):
    """The program in the ISO tree and on the FAT volume that the hybrid
    MBR's EFI partition points at. Returns problems."""
    problems = []
    table = json.loads(subprocess.run(["sfdisk", "--json", iso], capture_output=True,
                                      text=True).stdout or "{}").get("partitiontable", {})
    esp = [p for p in table.get("partitions", []) if p["type"] == "ef"]
    copies = {"the ISO tree": ["xorriso", "-indev", iso, "-osirrox", "on", "-extract",
                               "/EFI/BOOT/BOOTX64.EFI"]}
    if len(esp) != 1:
        problems.append(f"want one EFI partition in the hybrid MBR: {table}")
    else:
        copies["the EFI partition"] = ["mcopy", "-n", "-i", f"{iso}@@{esp[0]['start'] * 512}",
                                       "::/EFI/BOOT/BOOTX64.EFI"]
    for where, argv in copies.items():
        copy = os.path.join(workdir, "copy.efi")
        subprocess.run(argv + [copy], capture_output=True,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        if not os.path.isfile(copy) or file_digest(copy) != file_digest(efi):
            problems.append(f"EFI/BOOT/BOOTX64.EFI in {where} is not the program")
        else:
            os.remove(copy)
    return problems


def boot(iso, bus, **options):
    return qemu_harness.Machine(None, boot_image=iso, boot_bus=bus, vga=False,
                                timing_sensitive=False, **options)


def check_listing(kvlist_iso, bus, size):
    """kvlist's line for the drive: the start disk, read only, the bus's
    block size. Returns problems."""
    label, block_size = BUSES[bus]
    with boot(kvlist_iso, bus, timeout=90) as vm:
        text = vm.wait_for("kvlist done", timeout=80)
    lines = re.findall(r"^disk \S+ .*$", text.replace("\r", ""), re.MULTILINE)
    print("kvlist:\n" + "\n".join(lines))
    want = f"kind={label} size={size} bs={block_size} ro=1 here=1"
    if not any(want in line for line in lines):
        return [f"no disk line with {want!r}"]
    return []


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in BUSES:
        print(f"usage: {sys.argv[0]} {'|'.join(BUSES)} KORVANE_EFI", file=sys.stderr)
        return 2
    bus, efi = sys.argv[1], sys.argv[2]
    label, block_size = BUSES[bus]
    problems = []
    try:
        with tempfile.TemporaryDirectory(prefix="kviso-") as workdir:
            iso = make_iso(efi, os.path.join(workdir, "korvane.iso"))
            size = os.path.getsize(iso)
            before = file_digest(iso)
            problems += check_layout(iso, efi, workdir)
            with boot(iso, bus, timeout=110) as vm:
                screen = vm.wait_until(lambda s: disk_list(s) and frame_complete(s),
                                       "the disk list", timeout=100)
                print(f"disk list after {vm.elapsed():.1f} s:\n{screen.text()}")
            disks = disk_list(screen)
            mib = f"{size / (1 << 20):.1f} MiB"
            got = [(d.kind, d.size, d.state) for d in disks]
            if got != [(label, mib, "started from here: read only")]:
                problems.append(f"want only the {label} drive of {mib}, started from here, "
                                f"read only; the list shows {disks}")
            if file_digest(iso) != before:
                problems.append("the ISO changed")
            if block_size != 512:
                kvlist = os.path.join(os.path.dirname(os.path.abspath(efi)), "kvlist.efi")
                problems += check_listing(make_iso(kvlist, os.path.join(workdir, "kvlist.iso")),
                                          bus, size)
    except HarnessError as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
