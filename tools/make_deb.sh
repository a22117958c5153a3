#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian package from finished build outputs, without root
# (dpkg-deb --root-owner-group):
#
#   tools/make_deb.sh OUT_DIR VERSION EFI USB_IMAGE ISO HOST_TOOLS_DIR
#
# HOST_TOOLS_DIR holds korvane-sim and tools/kvdump, tools/kvedit (a host
# build tree). Writes OUT_DIR/korvane_VERSION_amd64.deb.
set -euo pipefail

if (($# != 6)); then
    echo "usage: $0 OUT_DIR VERSION EFI USB_IMAGE ISO HOST_TOOLS_DIR" >&2
    exit 2
fi
out=$1 version=$2 efi=$3 usb=$4 iso=$5 host=$6
repo=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/source_date.sh
source "$repo/tools/source_date.sh"
for file in "$efi" "$usb" "$iso" "$host/korvane-sim" "$host/tools/kvdump" "$host/tools/kvedit"; do
    [[ -f $file ]] || { echo "$0: $file is missing" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kvdeb.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
doc=$root/usr/share/doc/korvane
install -d "$root/DEBIAN" "$root/usr/bin" "$root/usr/sbin" "$root/usr/lib/korvane" \
    "$root/usr/share/korvane/systemd-boot" "$root/usr/share/man/man1" \
    "$root/usr/share/man/man8" "$root/etc/grub.d" "$doc"

install -m 644 "$efi" "$root/usr/lib/korvane/korvane.efi"
install -m 644 "$usb" "$root/usr/share/korvane/korvane-usb.img"
install -m 644 "$iso" "$root/usr/share/korvane/korvane.iso"
install -m 644 "$repo/dist/systemd-boot/korvane.conf" "$root/usr/share/korvane/systemd-boot/"
for tool in korvane-sim tools/kvdump tools/kvedit; do
    install -m 755 "$host/$tool" "$root/usr/bin/"
done
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root"/usr/bin/*
install -m 755 "$repo/tools/install-esp.sh" "$root/usr/sbin/korvane-install-esp"
install -m 755 "$repo/dist/grub.d/35_korvane" "$root/etc/grub.d/35_korvane"
for page in "$repo"/docs/man/*.[18]; do
    name=${page##*/}
    gzip -9n <"$page" >"$root/usr/share/man/man${name##*.}/$name.gz"
done
install -m 644 "$repo/dist/debian/copyright" "$doc/copyright"
gzip -9n <"$repo/dist/debian/changelog" >"$doc/changelog.gz"
install -m 644 "$repo/README.md" "$doc/README.md"
echo /etc/grub.d/35_korvane >"$root/DEBIAN/conffiles"

# The libraries the host tools link against, as Debian names them.
mkdir -p "$work/shlibs/debian"
printf 'Source: korvane\n\nPackage: korvane\nArchitecture: amd64\n' >"$work/shlibs/debian/control"
depends=$(cd "$work/shlibs" && dpkg-shlibdeps -O "$root"/usr/bin/* 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
[[ -n $depends ]] || { echo "$0: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

(cd "$root" && find usr etc -type f -exec md5sum {} + | LC_ALL=C sort -k 2) >"$root/DEBIAN/md5sums"
size=$(du -sk --exclude=DEBIAN "$root" | cut -f1)
cat >"$root/DEBIAN/control" <<CONTROL
Package: korvane
Version: $version
Architecture: amd64
Maintainer: Korvane developers <korvane@example.org>
Installed-Size: $size
Depends: $depends
Recommends: efibootmgr
Suggests: grub-efi-amd64 | systemd-boot
Section: admin
Priority: optional
Description: partition-table editor that runs before the operating system
 Korvane is an interactive editor for MBR and GPT partition tables that
 runs as a UEFI application on x86-64 PCs, before any operating system is
 loaded. It lists the disks the firmware exposes, points out damage in
 their tables, and creates, deletes, retypes and names partitions, writes
 new tables, backs up and restores the table blocks and wipes partitions,
 writing nothing before a confirmation.
 .
 This package holds the program for the machine's EFI system partition
 (korvane-install-esp, a GRUB menu entry and a systemd-boot entry), the
 USB stick and ISO images, and the host tools kvdump and kvedit, which
 print and edit the tables of disk images, and korvane-sim, which runs the
 program on disk images in a terminal.
CONTROL
chmod 644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums" "$root/DEBIAN/conffiles"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

mkdir -p "$out"
deb=$out/korvane_${version}_amd64.deb
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
echo "$deb: $(($(stat -c %s "$deb") >> 10)) KiB"
