"""Disk images laid out by the tools people really use, made afresh by each
run (nothing is committed): hybrid installer ISOs from xorriso and
isohybrid, a GPT ISO with a forced-bootable MBR entry, a grub-mkrescue
image with its Apple partition map, a systemd-repart image, fdisk's chain of
logical partitions made out of disk order, and, where no tool writes one, a
backward EBR chain, a RAID member with md 1.0 metadata behind its GPT, an
HPFS boot sector and a GPT made for 4096-byte blocks.

Each builder takes a scratch directory and returns a Layout; a builder whose
tool is missing raises Missing.
"""

import os
import shutil
import struct
import subprocess

import damaged_images as di
import peers

MiB = 1 << 20
ISOHDPFX = "/usr/lib/ISOLINUX/isohdpfx.bin"
ISOLINUX = "/usr/lib/ISOLINUX/isolinux.bin"
MD_MAGIC = 0xA92B4EFC


class Missing(Exception):
    pass


class Layout:
    """An image and how it is to be judged: its block size, the peer that
    lists its partitions (sfdisk for 512-byte MBR and GPT, partx otherwise),
    the byte ranges that must survive any write ((offset, length, what)),
    and the no-op edit that a write follows."""

    def __init__(self, name, path, edit, keep=(), block_size=512, peers_agree=True):
        self.name = name
        # False where the peers take a boot sector's code for entries.
        self.peers_agree = peers_agree
        self.path = path
        self.edit = edit
        self.keep = list(keep)
        self.block_size = block_size


def _need(*tools):
    for tool in tools:
        if shutil.which(tool) is None and peers.find_tool(tool) is None:
            raise Missing(tool)


def _run(argv, cwd=None):
    done = subprocess.run(argv, capture_output=True, text=True, cwd=cwd, timeout=120)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)}: {done.stderr.strip()[-400:]}")


def _iso_tree(directory):
    """A small ISO tree with an EFI boot image and some file data."""
    tree = os.path.join(directory, "tree")
    if os.path.isdir(tree):
        return tree
    os.makedirs(os.path.join(tree, "isolinux"))
    shutil.copy(ISOLINUX, os.path.join(tree, "isolinux"))
    with open(os.path.join(tree, "data.bin"), "wb") as f:
        f.write(os.urandom(300 * 1024))
    efi = os.path.join(tree, "efi.img")
    peers.make_image(efi, 2 * MiB)
    _run(["mkfs.fat", "-n", "EFIBOOT", efi])
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    subprocess.run(["mmd", "-i", efi, "::/EFI", "::/EFI/BOOT"], check=True, env=env)
    loader = os.path.join(directory, "BOOTX64.EFI")
    with open(loader, "wb") as f:
        f.write(b"MZ" + bytes(1022))
    subprocess.run(["mcopy", "-i", efi, loader, "::/EFI/BOOT/BOOTX64.EFI"], check=True, env=env)
    return tree


def _boot_code(path):
    return (0, 440, "boot code")


def _entries(path):
    return (446, 64, "block-0 entries")


def hybrid_iso(directory):
    """xorriso's usual installer layout: a type-0 active entry from block 0
    over the whole ISO, an EFI entry inside it, a GPT header in block 1."""
    _need("xorriso", "mkfs.fat", "mcopy")
    if not os.path.exists(ISOHDPFX):
        raise Missing("isolinux")
    path = os.path.join(directory, "hybrid.iso")
    _run(["xorriso", "-as", "mkisofs", "-quiet", "-o", path, "-V", "HYBRID", "-isohybrid-mbr",
          ISOHDPFX, "-c", "isolinux/boot.cat", "-b", "isolinux/isolinux.bin", "-no-emul-boot",
          "-boot-load-size", "4", "-boot-info-table", "-eltorito-alt-boot", "-e", "efi.img",
          "-no-emul-boot", "-isohybrid-gpt-basdat", _iso_tree(directory)])
    size = os.path.getsize(path)
    return Layout("hybrid ISO (xorriso)", path, "active 1 on",
                  [_boot_code(path), _entries(path), (512, 512, "GPT header in block 1"),
                   (size - 512, 512, "backup GPT header"), (32768, 2048, "ISO volume descriptor")])


def isohybrid_uefi(directory):
    """syslinux's isohybrid --uefi over a plain El Torito ISO."""
    _need("xorriso", "isohybrid", "mkfs.fat", "mcopy")
    path = os.path.join(directory, "isohybrid.iso")
    _run(["xorriso", "-as", "mkisofs", "-quiet", "-o", path, "-V", "ISOHYBRID", "-c",
          "isolinux/boot.cat", "-b", "isolinux/isolinux.bin", "-no-emul-boot", "-boot-load-size",
          "4", "-boot-info-table", "-eltorito-alt-boot", "-e", "efi.img", "-no-emul-boot",
          _iso_tree(directory)])
    _run(["isohybrid", "--uefi", path])
    return Layout("isohybrid --uefi", path, "active 1 on",
                  [_boot_code(path), _entries(path), (32768, 2048, "ISO volume descriptor")])


def forced_bootable_gpt(directory):
    """A GPT ISO whose protective MBR also holds the active type-0 entry of
    xorriso's --mbr-force-bootable."""
    _need("xorriso", "mkfs.fat", "mcopy")
    path = os.path.join(directory, "bootable-gpt.iso")
    tree = _iso_tree(directory)
    _run(["xorriso", "-as", "mkisofs", "-quiet", "-o", path, "-V", "FORCED", "-e", "efi.img",
          "-no-emul-boot", "-append_partition", "2", "0xef", os.path.join(tree, "efi.img"),
          "-appended_part_as_gpt", "--mbr-force-bootable", tree])
    return Layout("GPT ISO with --mbr-force-bootable", path, "name 1 Gap0",
                  [_boot_code(path), (440, 4, "disk signature"), _entries(path),
                   (32768, 2048, "ISO volume descriptor")])


def grub_rescue(directory):
    """grub-mkrescue: an Apple partition map in blocks 4-16 and the GPT
    entry array at block 20, as its header says."""
    _need("grub-mkrescue", "xorriso", "mformat")
    if not os.path.isdir("/usr/lib/grub/x86_64-efi"):
        raise Missing("grub-efi-amd64-bin")
    root = os.path.join(directory, "grubroot", "boot", "grub")
    os.makedirs(root, exist_ok=True)
    with open(os.path.join(root, "grub.cfg"), "w") as f:
        f.write("menuentry rescue { true }\n")
    path = os.path.join(directory, "grub.iso")
    _run(["grub-mkrescue", "-o", path, os.path.join(directory, "grubroot")])
    with open(path, "rb") as f:
        image = f.read(64 * 512)
    apm = [b for b in range(1, 64) if image[b * 512:b * 512 + 2] == b"PM"]
    if not apm:
        raise RuntimeError("grub-mkrescue wrote no Apple partition map")
    return Layout("grub-mkrescue image", path, "name 2 \"EFI boot partition\"",
                  [_boot_code(path), (apm[0] * 512, (apm[-1] - apm[0] + 1) * 512,
                                      "Apple partition map")])


def repart_image(directory):
    """systemd-repart's own GPT: an ESP and a root partition."""
    _need("systemd-repart")
    definitions = os.path.join(directory, "repart.d")
    os.makedirs(definitions, exist_ok=True)
    with open(os.path.join(definitions, "10-esp.conf"), "w") as f:
        f.write("[Partition]\nType=esp\nSizeMinBytes=8M\nSizeMaxBytes=8M\n")
    with open(os.path.join(definitions, "20-root.conf"), "w") as f:
        f.write("[Partition]\nType=root\nLabel=system\n")
    path = os.path.join(directory, "repart.img")
    _run(["systemd-repart", "--empty=create", "--size=48M", "--dry-run=no",
          "--definitions=" + definitions, "--seed=6c0a2c39-2f53-4a33-93a4-7f7e4f8bb0a1", path])
    return Layout("systemd-repart image", path, "name 2 system")


def fdisk_out_of_order(directory):
    """fdisk's chain for logical partitions made at 80000, 12288, 40000: EBR
    10240 -> 80000, EBR 10241 -> 12288, EBR 37952 -> 40000."""
    _need("fdisk")
    path = peers.make_image(os.path.join(directory, "fdisk-order.img"), 100 * MiB)
    peers.fdisk_script(path, "o\nn\ne\n1\n10240\n\nn\nl\n80000\n+20M\nn\nl\n12288\n+10M\n"
                       "t\n6\n82\nn\nl\n40000\n+10M\nw\n")
    return Layout("fdisk chain out of disk order", path, "type 6 82")


def backward_chain(directory):
    """A chain whose links run backwards inside the extended partition:
    10240 -> 79999 -> 39999."""
    path = peers.make_image(os.path.join(directory, "backward.img"), 100 * MiB)
    di.put_entries(path, 0, [(0x05, 10240, 194560)])
    di.write_chain(path, 10240, [(10240, 12288, 8192), (79999, 81920, 8192),
                                 (39999, 40960, 8192)])
    return Layout("backward EBR links", path, "type 7 83")


def md_member(directory):
    """A RAID1 member with metadata 1.0: the array's GPT at the start, its
    backup at the array's end, the md superblock 8 KiB before the member's
    end, as mdadm puts it."""
    array_bytes = 60 * MiB
    member_bytes = array_bytes + MiB
    path = peers.make_image(os.path.join(directory, "md-member.img"), array_bytes)
    peers.sgdisk(path, "-o", "-n", "1:2048:+16M", "-t", "1:EF00", "-c", "1:esp",
                 "-n", "2:0:0", "-t", "2:FD00", "-c", "2:boot")
    with open(path, "r+b") as f:
        f.truncate(member_bytes)
        superblock = struct.pack("<IIII", MD_MAGIC, 1, 0, 0) + b"korvane:md0".ljust(32, b"\0")
        f.seek(((member_bytes - 8192) // 4096) * 4096)
        f.write(superblock.ljust(256, b"\x01"))
    return Layout("md 1.0 RAID member", path, "name 1 esp",
                  [(array_bytes, MiB, "md metadata")])


def whole_disk_fat(directory):
    """A FAT32 file system over the whole disk: no table to write."""
    _need("mkfs.fat")
    path = peers.make_image(os.path.join(directory, "whole-fat.img"), 64 * MiB)
    _run(["mkfs.fat", "-F", "32", path])
    return Layout("whole-disk FAT32", path, None, [(0, 2 * 512, "boot sector and FS info")])


def hpfs_boot_sector(directory):
    """An HPFS boot sector over the whole disk: its code runs through the
    partition entries' bytes."""
    path = peers.make_image(os.path.join(directory, "hpfs.img"), 16 * MiB)
    sector = bytearray(os.urandom(512))
    sector[0:3] = b"\xeb\x49\x90"
    sector[3:11] = b"IBM 20.0"
    sector[54:62] = b"HPFS    "
    for slot in range(4):
        sector[446 + 16 * slot] = 0x31  # a boot indicator no MBR has
    sector[510:512] = b"\x55\xaa"
    peers.write_block_bytes(path, 0, bytes(sector))
    return Layout("HPFS over the whole disk", path, None, [(0, 512, "boot sector")],
                  peers_agree=False)


def gpt_4k(directory):
    """A GPT made for 4096-byte blocks, which a 512-byte reading misses."""
    _need("fdisk")
    path = peers.make_image(os.path.join(directory, "gpt4k.img"), 64 * MiB)
    peers.fdisk_script(path, "g\nn\n1\n\n+8M\nw\n", sector_size=4096)
    return Layout("GPT for 4096-byte blocks", path, "name 1 data", block_size=4096)


BUILDERS = [hybrid_iso, isohybrid_uefi, forced_bootable_gpt, grub_rescue, repart_image,
            fdisk_out_of_order, backward_chain, md_member, whole_disk_fat, hpfs_boot_sector,
            gpt_4k]
