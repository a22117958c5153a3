#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Writes an ISO 9660 image of the program for a virtual or real CD drive, a
# BMC's virtual media or a stick that boots ISO files: an El Torito EFI boot
# image (a small FAT volume holding EFI/BOOT/BOOTX64.EFI), the same file in
# the ISO tree, and a hybrid MBR and GPT that point at the boot image, so
# that the ISO written to a stick as it is boots as well. Needs no root.
#
#   tools/make_iso.sh EFI_FILE ISO
set -euo pipefail

if (($# != 2)); then
    echo "usage: $0 EFI_FILE ISO" >&2
    exit 2
fi
efi=$1
iso=$2
if [[ ! -f $efi ]]; then
    echo "$0: $efi: no such file" >&2
    exit 1
fi
PATH=$PATH:/usr/sbin:/sbin
# shellcheck source=tools/source_date.sh
source "$(dirname "$0")/source_date.sh"
# The hybrid MBR's boot code; a PC without UEFI finds no loader behind it.
mbr=/usr/lib/ISOLINUX/isohdpfx.bin
for tool in xorriso mkfs.fat mcopy; do
    command -v "$tool" >/dev/null || { echo "$0: $tool is not installed" >&2; exit 1; }
done
[[ -f $mbr ]] || { echo "$0: $mbr is missing (package isolinux)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kviso.XXXXXX")
trap 'rm -rf "$work"' EXIT
tree=$work/tree
mkdir -p "$tree/EFI/BOOT" "$tree/boot"
cp "$efi" "$tree/EFI/BOOT/BOOTX64.EFI"

# The boot image: the loader with 512 KiB to spare, in whole MiB.
efi_kib=$((($(stat -c %s "$efi") + 1023) / 1024))
fat_kib=$((((efi_kib + 512 + 1023) / 1024) * 1024))
fat=$tree/boot/efiboot.img
if ! mkfs.fat --invariant -i 4B56414E -C -n KORVANE "$fat" "$fat_kib" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    exit 1
fi
mmd -i "$fat" ::/EFI ::/EFI/BOOT
mcopy -i "$fat" "$efi" ::/EFI/BOOT/BOOTX64.EFI
# xorriso takes every date from the files' own times under SOURCE_DATE_EPOCH.
find "$tree" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

mkdir -p "$(dirname "$iso")"
if ! xorriso -as mkisofs -o "$iso.tmp" -iso-level 3 -R -J -V KORVANE \
    -publisher Korvane -A "Korvane partition editor" \
    -isohybrid-mbr "$mbr" -e boot/efiboot.img -no-emul-boot -isohybrid-gpt-basdat \
    "$tree" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    rm -f "$iso.tmp"
    exit 1
fi
mv "$iso.tmp" "$iso"
echo "$iso: $(($(stat -c %s "$iso") >> 10)) KiB, EFI/BOOT/BOOTX64.EFI from $efi"
