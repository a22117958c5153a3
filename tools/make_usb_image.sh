#!/usr/bin/env bash
# Writes a disk image for a USB stick: a GPT with one FAT32 EFI system
# partition that holds the program as the removable-media loader
# EFI/BOOT/BOOTX64.EFI and nothing else. Firmware boots such a stick from
# its boot menu without any boot entry. Needs no root and no loop device:
# sfdisk lays out the table, mkfs.fat and mtools work on the image file.
#
#   tools/make_usb_image.sh EFI_FILE IMAGE [SIZE_MIB]
set -euo pipefail

if (($# < 2 || $# > 3)); then
    echo "usage: $0 EFI_FILE IMAGE [SIZE_MIB]" >&2
    exit 2
fi
efi=$1
image=$2
size_mib=${3:-64}
# FAT32 needs at least 65525 clusters; with 512-byte clusters the smallest
# volume is about 33 MiB, so 64 MiB leaves room for the table and its backup.
if ! [[ $size_mib =~ ^[0-9]+$ ]] || ((size_mib < 64)); then
    echo "$0: the image needs at least 64 MiB" >&2
    exit 2
fi
if [[ ! -f $efi ]]; then
    echo "$0: $efi: no such file" >&2
    exit 1
fi
PATH=$PATH:/usr/sbin:/sbin
# shellcheck source=tools/source_date.sh
source "$(dirname "$0")/source_date.sh"

# The partition starts at 1 MiB and ends 1 MiB before the end of the disk,
# where the backup table lives.
start_mib=1
fs_mib=$((size_mib - 2 * start_mib))
tmp="$image.tmp"
trap 'rm -f "$tmp" "$tmp.log"' EXIT
mkdir -p "$(dirname "$image")"
rm -f "$tmp"
truncate -s "${size_mib}M" "$tmp"
# Fixed GUIDs and volume ID, so that the image is the same on every build.
sfdisk --quiet --no-reread --no-tell-kernel --wipe always "$tmp" <<TABLE
label: gpt
label-id: 4B56414E-0001-4B56-8000-4B4F5256414E
first-lba: 34
start=${start_mib}MiB, size=${fs_mib}MiB, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=4B56414E-0002-4B56-8000-4B4F5256414E, name="EFI system partition"
TABLE
# The hidden-sector count tells the file system where its partition starts.
if ! mkfs.fat --invariant -i 4B56414E -F 32 -S 512 -s 1 -n KORVANE -h $((start_mib * 2048)) --offset=$((start_mib * 2048)) \
    "$tmp" $((fs_mib * 1024)) >"$tmp.log" 2>&1; then
    cat "$tmp.log" >&2
    exit 1
fi
volume="$tmp@@$((start_mib << 20))"
mmd -i "$volume" ::/EFI ::/EFI/BOOT
mcopy -i "$volume" "$efi" ::/EFI/BOOT/BOOTX64.EFI
rm -f "$tmp.log"
mv "$tmp" "$image"
trap - EXIT
echo "$image: ${size_mib} MiB, EFI/BOOT/BOOTX64.EFI from $efi"
