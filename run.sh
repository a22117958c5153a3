#!/usr/bin/env bash
# Builds korvane.efi and boots it on OVMF in QEMU with two demo disks: an MBR
# disk with primary, extended and logical partitions and a GPT disk. The
# firmware console is on this terminal (Ctrl-A X quits QEMU); with a display
# the graphics screen opens in a window too. The demo disks keep what was
# written to them; delete build/demo to start afresh.
set -euo pipefail
cd "$(dirname "$0")"

source tools/deps.sh
if [[ -n ${DISPLAY-}${WAYLAND_DISPLAY-} ]]; then
    KV_PACKAGES+=(qemu-system-gui)
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

# The boot disk and the firmware variables start fresh on every run.
PYTHONDONTWRITEBYTECODE=1 python3 -c 'import sys; sys.path.insert(0, "tests/scripts"); import qemu_harness as q; q.make_esp(sys.argv[1], sys.argv[2])' \
    build/uefi/korvane.efi "$demo/esp.img"
cp /usr/share/OVMF/OVMF_VARS_4M.fd "$demo/vars.fd"

accel=tcg
if [[ -r /dev/kvm && -w /dev/kvm ]]; then
    accel=kvm:tcg
fi
display=(-display none)
if [[ -n ${DISPLAY-}${WAYLAND_DISPLAY-} ]] && dpkg -s qemu-system-gui >/dev/null 2>&1; then
    display=(-display gtk)
fi

exec qemu-system-x86_64 -machine "q35,accel=$accel" -m 256 -no-reboot -net none \
    "${display[@]}" -serial mon:stdio \
    -drive if=pflash,format=raw,unit=0,readonly=on,file=/usr/share/OVMF/OVMF_CODE_4M.fd \
    -drive if=pflash,format=raw,unit=1,file="$demo/vars.fd" \
    -drive file="$demo/esp.img",format=raw,if=none,id=esp \
    -device virtio-blk-pci,drive=esp,bootindex=0 \
    -drive file="$demo/mbr.img",format=raw,if=none,id=mbr \
    -device ide-hd,drive=mbr,bus=ide.0 \
    -drive file="$demo/gpt.img",format=raw,if=none,id=gpt \
    -device virtio-blk-pci,drive=gpt \
    -device qemu-xhci,id=xhci -device usb-mouse,bus=xhci.0
