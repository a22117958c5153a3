#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Copies Korvane onto a mounted EFI system partition as EFI/korvane/korvane.efi
# and prints the command that adds it to the firmware's boot menu. Changes
# nothing else: no boot entry, no boot manager's configuration.
set -euo pipefail

prog=${0##*/}
usage="usage: $prog [--efi FILE] ESP_MOUNTPOINT"
here=$(cd "$(dirname "$0")" && pwd)
efi=
for candidate in /usr/lib/korvane/korvane.efi "$here/../build/uefi/korvane.efi"; do
    if [[ -f $candidate ]]; then
        efi=$candidate
        break
    fi
done
esp=
while (($#)); do
    case $1 in
    -h | --help)
        cat <<HELP
$usage

Copies the program to ESP_MOUNTPOINT/EFI/korvane/korvane.efi, where
ESP_MOUNTPOINT is the folder the EFI system partition is mounted on (often
/boot/efi or /efi), and prints the efibootmgr command that makes a firmware
boot entry for it. Nothing else on the partition or in the firmware changes.

  --efi FILE   the program to copy (default: ${efi:-/usr/lib/korvane/korvane.efi})
  -h, --help   this text

Exit status: 0 when copied, 1 when refused or the copy failed, 2 for a
wrong command line.
HELP
        exit 0
        ;;
    --efi)
        (($# >= 2)) || { echo "$prog: --efi needs a file; $usage" >&2; exit 2; }
        efi=$2
        shift 2
        ;;
    --efi=*)
        efi=${1#--efi=}
        shift
        ;;
    -*)
        echo "$prog: unknown option $1; $usage" >&2
        exit 2
        ;;
    *)
        [[ -z $esp ]] || { echo "$prog: one ESP_MOUNTPOINT only; $usage" >&2; exit 2; }
        esp=$1
        shift
        ;;
    esac
done
[[ -n $esp ]] || { echo "$usage" >&2; exit 2; }

refuse() {
    echo "$prog: $*; nothing was changed" >&2
    exit 1
}
[[ -n $efi && -f $efi ]] || refuse "the program ${efi:+$efi }is missing (--efi FILE)"
[[ -d $esp ]] || refuse "$esp is not a folder"
esp=$(cd "$esp" && pwd)
PATH=$PATH:/usr/sbin:/sbin

fstype=$(findmnt -n -o FSTYPE --target "$esp" 2>/dev/null || stat -f -c %T "$esp")
target=$(findmnt -n -o TARGET --target "$esp" 2>/dev/null || echo "$esp")
case $fstype in
vfat | msdos | fuse.fusefat) ;;
*) refuse "$esp is on $fstype, not on the FAT of an EFI system partition" ;;
esac
[[ $target == "$esp" ]] || refuse "$esp is not where a partition is mounted (that is $target)"
[[ -d $esp/EFI ]] || refuse "$esp has no EFI folder, so it is not an EFI system partition"
source_dev=$(findmnt -n -o SOURCE --target "$esp" 2>/dev/null || true)
parttype=
[[ $source_dev != /dev/* ]] || parttype=$(lsblk -n -d -o PARTTYPE "$source_dev" 2>/dev/null || true)
case ${parttype,,} in
"" | c12a7328-f81f-11d2-ba4b-00a0c93ec93b | 0xef) ;;
*) refuse "$source_dev is a partition of type $parttype, not an EFI system partition" ;;
esac

dest=$esp/EFI/korvane/korvane.efi
size=$(stat -c %s "$efi")
old=0
[[ ! -f $dest ]] || old=$(stat -c %s "$dest")
avail=$(df -P -B1 "$esp" | awk 'NR == 2 { print $4 }')
# Room for the new copy beside the old one, and for a folder.
if ((avail < size + 65536)); then
    refuse "$esp has $((avail >> 10)) KiB free, the program needs $(((size + 65536) >> 10)) KiB"
fi

mkdir -p "$esp/EFI/korvane"
cp "$efi" "$dest.new"
mv -f "$dest.new" "$dest"
sync -f "$dest" 2>/dev/null || sync
if ((old)); then
    echo "Replaced $dest ($old bytes) with $efi ($size bytes)."
else
    echo "Copied $efi to $dest ($size bytes)."
fi

disk=/dev/sdX
part=N
if [[ $source_dev == /dev/* ]]; then
    parent=$(lsblk -n -d -o PKNAME "$source_dev" 2>/dev/null || true)
    number=$(lsblk -n -d -o PARTN "$source_dev" 2>/dev/null || true)
    [[ -z $parent ]] || disk=/dev/$parent
    [[ -z ${number// /} ]] || part=${number// /}
fi
cat <<NEXT
To add Korvane to the firmware's boot menu, run (nothing has run it):

    sudo efibootmgr --create --disk $disk --part $part --label Korvane --loader '\\EFI\\korvane\\korvane.efi'

NEXT
if [[ $disk == /dev/sdX ]]; then
    echo "with the disk and partition number of the EFI system partition on $esp."
fi
if [[ -d $esp/loader/entries ]]; then
    entry=/usr/share/korvane/systemd-boot/korvane.conf
    [[ -f $entry ]] || entry=$here/../dist/systemd-boot/korvane.conf
    echo "For systemd-boot's menu instead: cp $entry $esp/loader/entries/"
fi
