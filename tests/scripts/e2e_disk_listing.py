#!/usr/bin/env python3
"""Disk discovery and the volume scan on real firmware, against the simulated
firmware that the unit tests trust.

kvlist.efi (built beside korvane.efi) prints one line per disk and one per
volume and returns. OVMF runs it with disks on virtio, SATA (AHCI), NVMe with
4096-byte blocks, USB storage, a read-only virtio disk and an empty DVD drive
attached; kvlist_host prints the same listing on the simulated firmware with
the same images. The two must agree line for line, and both must tell what
the images are: names, bus labels, sizes, block sizes, read-only, the disk
the program started from, and the FAT volumes on the partitions.

    e2e_disk_listing.py build/uefi/korvane.efi

kvlist_host is taken from $KV_KVLIST_HOST, else from the current directory
(ctest runs tests in the host build tree), else from build/host.
"""

import difflib
import os
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import qemu_harness

MiB = 1 << 20
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ROOT = "PciRoot(0x0)"
DVD_PATH = f"{ROOT}/Pci(0x1F,0x2)/Sata(0x2,0xFFFF,0x0)"
ESP_SLOT = 0x2
KINDS = {"virtio": "disk", "sata": "SATA", "nvme": "NVMe", "usb": "USB"}


class Disk:
    """One attached image: how QEMU attaches it, how kvlist_host is told
    about it, and the device path text OVMF gives it."""

    def __init__(self, name, bus, slot, path, size_mib=0, block_size=512, read_only=False,
                 removable=False):
        self.name = name
        self.bus = bus
        self.slot = slot
        self.path = path
        self.size = size_mib * MiB
        self.block_size = block_size
        self.read_only = read_only
        self.removable = removable
        self.file = None
        self.boot = False
        self.volumes = []  # (label, partition number as partx counts it)

    def qemu_args(self, ident):
        drive = f"file={self.file},format=raw,if=none,id={ident}"
        if self.read_only:
            drive += ",readonly=on"
        sizes = f",logical_block_size={self.block_size},physical_block_size={self.block_size}"
        if self.bus == "virtio":
            device = [f"virtio-blk-pci,drive={ident},addr={self.slot:#x}"]
        elif self.bus == "sata":
            device = [f"ahci,id=ahci{ident},addr={self.slot:#x}",
                      f"ide-hd,drive={ident},bus=ahci{ident}.0"]
        elif self.bus == "nvme":
            device = [f"nvme,drive={ident},serial={ident},addr={self.slot:#x}" + sizes]
        else:
            device = [f"qemu-xhci,id=xhci{ident},addr={self.slot:#x}",
                      f"usb-storage,drive={ident},bus=xhci{ident}.0"
                      f",removable={'on' if self.removable else 'off'}"]
        args = ["-drive", drive]
        for d in device:
            args += ["-device", d]
        return args

    def host_spec(self):
        plan = (f"file={self.file},bus={self.bus},pci={self.slot:x},bs={self.block_size}"
                f",ro={int(self.read_only)},removable={int(self.removable)}")
        return plan + (",boot=1" if self.boot else "")


def fat(image, offset, size, label, sector=512):
    """Puts a FAT file system made by mkfs.fat at a byte offset of an image."""
    with tempfile.TemporaryDirectory() as tmp:
        volume = os.path.join(tmp, "fat.img")
        peers.run(["mkfs.fat", "-C", "-S", str(sector), "-h", str(offset // sector), "-n", label,
                   volume, str(size // 1024)])
        with open(volume, "rb") as source:
            data = source.read()
    with open(image, "r+b") as target:
        target.seek(offset)
        target.write(data)


def make_images(workdir):
    """The extra disks, each with a table and FAT volumes at known places."""
    def image(disk):
        disk.file = peers.make_image(os.path.join(workdir, disk.name + ".img"), disk.size)
        return disk.file

    gpt = Disk("gpt", "virtio", 0x3, f"{ROOT}/Pci(0x3,0x0)", 64)
    peers.sfdisk_write(image(gpt), "label: gpt\nstart=1MiB, size=16MiB\nsize=8MiB\n")
    fat(gpt.file, 1 * MiB, 16 * MiB, "KVGPT")
    gpt.volumes = [("KVGPT", 1)]

    # Primary, extended and two logicals: the firmware gives the extended
    # partition a handle of its own and nests the logicals under it.
    sata = Disk("sata", "sata", 0x4, f"{ROOT}/Pci(0x4,0x0)/Sata(0x0,0xFFFF,0x0)", 48)
    peers.sfdisk_write(image(sata), "label: dos\nstart=1MiB, size=16MiB, type=6\n"
                       "start=20MiB, type=5\nstart=21MiB, size=8MiB, type=6\n"
                       "start=30MiB, size=4MiB, type=83\n")
    fat(sata.file, 1 * MiB, 16 * MiB, "KVSATA")
    fat(sata.file, 21 * MiB, 8 * MiB, "KVLOGIC")
    sata.volumes = [("KVSATA", 1), ("KVLOGIC", 5)]

    nvme = Disk("nvme", "nvme", 0x5,
                f"{ROOT}/Pci(0x5,0x0)/NVMe(0x1,00-00-00-00-00-00-00-00)", 32, block_size=4096)
    peers.fdisk_script(image(nvme), "g\nn\n1\n\n+8M\nw\n", sector_size=4096)
    fat(nvme.file, 1 * MiB, 8 * MiB, "KVNVME", sector=4096)
    nvme.volumes = [("KVNVME", 1)]

    ro = Disk("ro", "virtio", 0x6, f"{ROOT}/Pci(0x6,0x0)", 16, read_only=True)
    peers.sfdisk_write(image(ro), "label: gpt\nstart=1MiB, size=8MiB\n")
    fat(ro.file, 1 * MiB, 8 * MiB, "KVRO")
    ro.volumes = [("KVRO", 1)]

    # The one partition sits in slot 2: the firmware numbers by slot.
    usb = Disk("usb", "usb", 0x7, f"{ROOT}/Pci(0x7,0x0)/USB(0x0,0x0)", 32, removable=True)
    peers.sfdisk_write(image(usb), "label: dos\nstart=1MiB, size=8MiB, type=c\n")
    with open(usb.file, "r+b") as f:
        f.seek(446)
        first = f.read(16)
        f.seek(446)
        f.write(bytes(16) + first)
    fat(usb.file, 1 * MiB, 8 * MiB, "KVUSB")
    usb.volumes = [("KVUSB", 2)]
    return [gpt, sata, nvme, ro, usb]


class ListingMachine(qemu_harness.Machine):
    """The harness's machine with the ESP's disk pinned to a PCI slot and
    without a boot index: with one, OVMF connects that disk alone and the
    others never get Block I/O. OVMF then finds the ESP through its
    removable-media boot options."""

    def _command_line(self):
        args = super()._command_line()
        for i, arg in enumerate(args):
            if arg.startswith("virtio-blk-pci,drive=esp"):
                args[i] = f"virtio-blk-pci,drive=esp,addr={ESP_SLOT:#x}"
                return args
        raise qemu_harness.HarnessError("the harness attaches the ESP in an unknown way")


def listing(text):
    """The lines between "kvlist start" and "kvlist done"."""
    lines = [line.rstrip("\r") for line in text.splitlines()]
    try:
        first = lines.index("kvlist start")
        last = lines.index("kvlist done", first)
    except ValueError:
        raise qemu_harness.HarnessError(f"no whole listing in:\n{text[-3000:]}")
    return lines[first + 1:last]


def host_tool():
    for candidate in (os.environ.get("KV_KVLIST_HOST"), os.path.abspath("kvlist_host"),
                      os.path.join(REPO, "build", "host", "kvlist_host")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise qemu_harness.HarnessError("kvlist_host not found (set KV_KVLIST_HOST)")


DISK_LINE = re.compile(r"disk (blk\d+) kind=(\S+) size=(\d+) bs=(\d+) ro=([01]) here=([01]) "
                       r"path=(.*)$")
VOLUME_LINE = re.compile(r'volume (fs\d+) label="([^"]*)" ro=([01]) removable=([01]) '
                         r"boot=([01]) path=(.*)$")


def check_against_images(lines, disks):
    """What the listing must say about the attached images; returns problems."""
    problems = []
    found_disks, found_volumes = {}, []
    for line in lines:
        if (m := DISK_LINE.match(line)):
            found_disks[m[7]] = m
        elif (m := VOLUME_LINE.match(line)):
            found_volumes.append(m)
        else:
            problems.append(f"unexpected line {line!r}")

    # Names follow the order of all Block I/O handles by device path text:
    # each disk's partitions (extended and logicals included) come right
    # after it, and the empty DVD drive takes a place too.
    partitions = {d.path: peers.partx_list(d.file, d.block_size) for d in disks}
    index, names = 0, {}
    for path in sorted([DVD_PATH] + [d.path for d in disks]):
        names[path] = f"blk{index}"
        index += 1 + len(partitions.get(path, []))

    if DVD_PATH in found_disks:
        problems.append("the empty DVD drive is listed")
    for d in disks:
        m = found_disks.get(d.path)
        if m is None:
            problems.append(f"no disk line for {d.name} ({d.path})")
            continue
        want = (names[d.path], KINDS[d.bus], os.path.getsize(d.file), d.block_size,
                int(d.read_only), int(d.boot))
        got = (m[1], m[2], int(m[3]), int(m[4]), int(m[5]), int(m[6]))
        if got != want:
            problems.append(f"{d.name}: (name, kind, size, bs, ro, here) = {got}, want {want}")
    if len(found_disks) != len(disks):
        problems.append(f"{len(found_disks)} disks listed, {len(disks)} attached")

    wanted = {}
    for d in disks:
        table = {p["number"]: p for p in partitions[d.path]}
        for label, number in d.volumes:
            wanted[label] = (d, table[number])
    paths = [m[6] for m in found_volumes]
    for i, m in enumerate(found_volumes):
        if m[1] != f"fs{i}" or paths[i] != sorted(paths)[i]:
            problems.append(f"volume {m[1]} at place {i} of the sorted list: {m[0]!r}")
        if m[2] not in wanted:
            problems.append(f"unexpected volume {m[0]!r}")
            continue
        d, part = wanted.pop(m[2])
        want = (int(d.read_only), int(d.removable), int(d.boot))
        got = (int(m[3]), int(m[4]), int(m[5]))
        if got != want:
            problems.append(f"volume {m[2]}: (ro, removable, boot) = {got}, want {want}")
        place = f",0x{part['start']:X},0x{part['size']:X})"
        if not (paths[i].startswith(d.path + "/HD(") and paths[i].endswith(place)):
            problems.append(f"volume {m[2]} path {paths[i]} is not on {d.path} ending {place}")
    problems += [f"volume {label} not listed" for label in wanted]
    return problems


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} KORVANE_EFI", file=sys.stderr)
        return 2
    kvlist_efi = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "kvlist.efi")
    try:
        if not os.path.isfile(kvlist_efi):
            raise qemu_harness.HarnessError(f"missing {kvlist_efi} (built with korvane.efi)")
        tool = host_tool()
        with tempfile.TemporaryDirectory(prefix="kvlist-") as workdir:
            disks = make_images(workdir)
            extra = ["-device", "ide-cd,bus=ide.2"]  # an empty DVD drive on the chipset's AHCI
            for number, d in enumerate(disks):
                extra += d.qemu_args(f"d{number}")
            with ListingMachine(kvlist_efi, extra_args=extra, timeout=240,
                                timing_sensitive=False) as vm:
                real = listing(vm.wait_for("kvlist done", timeout=220))
                print(f"listing after {vm.elapsed():.1f} s")
                esp = Disk("esp", "virtio", ESP_SLOT, f"{ROOT}/Pci({ESP_SLOT:#x},0x0)")
                esp.file, esp.boot, esp.volumes = vm.esp_path, True, [("KVESP", 1)]
                disks.insert(0, esp)
                argv = [tool, "--empty", "bus=sata,pci=1f.2,port=2,bs=2048"]
                for d in disks:
                    argv += ["--disk", d.host_spec()]
                done = subprocess.run(argv, capture_output=True, text=True, timeout=120)
                if done.returncode != 0:
                    raise qemu_harness.HarnessError(f"kvlist_host failed: {done.stderr}")
                simulated = listing(done.stdout)
                problems = check_against_images(real, disks)
    except (qemu_harness.HarnessError, peers.PeerError, subprocess.TimeoutExpired) as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1

    print("OVMF:\n  " + "\n  ".join(real))
    if simulated != real:
        problems.append("the simulated firmware lists otherwise:\n" + "\n".join(
            difflib.unified_diff(real, simulated, "OVMF", "sim", lineterm="")))
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
