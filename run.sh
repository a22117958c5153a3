#!/usr/bin/env bash
# Builds korvane.efi and boots it on OVMF in QEMU from a FAT ESP, with three
# demo disks: an MBR disk with primary, extended and logical partitions
# (SATA), a GPT disk (virtio) and an empty disk with 4096-byte blocks (NVMe).
#
# With a display the machine opens in a QEMU window, where the program shows
# its graphical front end with a USB mouse (its screen trace comes out on
# this terminal); without one it runs on this terminal through the serial
# console (no graphics device, so the program shows its text screens here).
# Either way Ctrl-A X quits QEMU.
# The demo disks keep what was written to them; delete build/demo to start
# afresh.
set -euo pipefail
cd "$(dirname "$0")"

source tools/deps.sh
window=0
if [[ -n ${DISPLAY-}${WAYLAND_DISPLAY-} ]]; then
    KV_PACKAGES+=(qemu-system-gui)
    window=1
fi
kv_install_dependencies

cmake --preset uefi
cmake --build --preset uefi -j 2

demo=build/demo
mkdir -p "$demo"

if [[ ! -f $demo/mbr.img ]]; then
    truncate -s 64M "$demo/mbr.img.tmp"
    sfdisk --quiet "$demo/mbr.img.tmp" <<'TABLE'
label: dos
label-id: 0x4b56d001
start=1MiB, size=16MiB, type=c, bootable
size=16MiB, type=83
type=5
size=8MiB, type=83
size=8MiB, type=82
size=6MiB, type=7
TABLE
    mv "$demo/mbr.img.tmp" "$demo/mbr.img"
fi

if [[ ! -f $demo/gpt.img ]]; then
    truncate -s 128M "$demo/gpt.img.tmp"
    sfdisk --quiet "$demo/gpt.img.tmp" <<'TABLE'
label: gpt
size=32MiB, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, name="EFI system"
size=48MiB, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name="Linux data"
size=16MiB, type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F, name="swap"
TABLE
    mv "$demo/gpt.img.tmp" "$demo/gpt.img"
fi

if [[ ! -f $demo/empty.img ]]; then
    truncate -s 256M "$demo/empty.img"
fi

# The boot disk and the firmware variables start fresh on every run.
PYTHONDONTWRITEBYTECODE=1 python3 -c 'import sys; sys.path.insert(0, "tests/scripts"); import qemu_harness as q; q.make_esp(sys.argv[1], sys.argv[2])' \
    build/uefi/korvane.efi "$demo/esp.img"
cp /usr/share/OVMF/OVMF_VARS_4M.fd "$demo/vars.fd"

# KVM only when a short probe sees it run the firmware: a /dev/kvm that opens
# can still stop the guest at once (nested virtualisation), and accel=kvm:tcg
# does not fall back then. The probe says in one line which one runs.
accel=$(PYTHONDONTWRITEBYTECODE=1 python3 tests/scripts/qemu_accel.py)

if ((window)) && dpkg -s qemu-system-gui >/dev/null 2>&1; then
    # The firmware console is on this terminal as well; the graphics screen
    # and the USB mouse (taken by the program's own USB mouse driver, as
    # OVMF drives none) are in the window.
    console=(-display gtk -serial mon:stdio)
    mouse=(-device "qemu-xhci,id=xhci" -device "usb-mouse,bus=xhci.0")
else
    console=(-nographic -vga none)
    mouse=()
    cat <<'KEYS'
Korvane runs on this terminal through the firmware's serial console.
Give the terminal at least 100 columns and 31 rows. The arrow keys, Home,
End, Page Up, Page Down, Delete and F5 work in the PC-ANSI and the xterm
forms. Esc takes about 2 seconds to arrive. Backspace is Ctrl-H (OVMF hands
the DEL character over as Delete). Ctrl-A X quits QEMU.
KEYS
    sleep 2
fi

# The ESP has no boot index: with one, OVMF would connect that disk alone and
# the demo disks would stay invisible. In the first PCI slot after the chipset's
# own devices it is still the first disk OVMF boots from.
exec qemu-system-x86_64 -machine "q35,accel=$accel" -m 256 -no-reboot -net none \
    "${console[@]}" \
    -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
    -drive if=pflash,format=raw,unit=1,file="$demo/vars.fd" \
    -drive file="$demo/esp.img",format=raw,if=none,id=esp \
    -device virtio-blk-pci,drive=esp,addr=0x2 \
    -drive file="$demo/gpt.img",format=raw,if=none,id=gpt \
    -device virtio-blk-pci,drive=gpt,addr=0x3 \
    -drive file="$demo/empty.img",format=raw,if=none,id=empty \
    -device nvme,drive=empty,serial=kvdemo,addr=0x4,logical_block_size=4096,physical_block_size=4096 \
    -drive file="$demo/mbr.img",format=raw,if=none,id=mbr \
    -device ide-hd,drive=mbr,bus=ide.0 \
    "${mouse[@]}"
