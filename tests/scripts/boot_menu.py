#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Korvane started from a boot manager's menu on the machine's ESP, the way
a distribution package installs it: EFI/korvane/korvane.efi beside the
real boot manager as the removable-media loader EFI/BOOT/BOOTX64.EFI.

- systemd-boot: Debian's systemd-bootx64.efi, with dist/systemd-boot's
  entry as loader/entries/korvane.conf, made the default with timeout 0.
- grub: a GRUB image made by grub-mkstandalone whose configuration is what
  the shipped dist/grub.d/35_korvane prints, its entry the default with
  timeout 0.

The boot manager must start the program without a key: its disk list shows
the ESP's disk as the one it was started from, read only.

    boot_menu.py systemd-boot|grub build/uefi/korvane.efi
"""

import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qemu_harness
from qemu_harness import HarnessError, disk_list, frame_complete

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SYSTEMD_BOOT = "/usr/lib/systemd/boot/efi/systemd-bootx64.efi"
GRUB_MODULES = "normal search search_fs_file fat part_gpt chain test echo"


def run(argv, **kwargs):
    done = subprocess.run(argv, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise HarnessError(f"{' '.join(argv)} failed: {done.stderr.strip()}")
    return done.stdout


def systemd_boot(workdir):
    if not os.path.isfile(SYSTEMD_BOOT):
        raise HarnessError(f"missing {SYSTEMD_BOOT} (package systemd-boot-efi)")
    loader = os.path.join(workdir, "loader.conf")
    with open(loader, "w") as conf:
        conf.write("default korvane.conf\ntimeout 0\n")
    return SYSTEMD_BOOT, {
        "loader/loader.conf": loader,
        "loader/entries/korvane.conf": os.path.join(REPO, "dist/systemd-boot/korvane.conf")}


def grub(workdir):
    menu = run([os.path.join(REPO, "dist/grub.d/35_korvane")])
    cfg = os.path.join(workdir, "grub.cfg")
    with open(cfg, "w") as conf:
        conf.write("set timeout=0\nset default=korvane\n" + menu)
    image = os.path.join(workdir, "grubx64.efi")
    run(["grub-mkstandalone", "-O", "x86_64-efi", "-o", image,
         f"--install-modules={GRUB_MODULES}", f"--modules={GRUB_MODULES}",
         "--locales=", "--fonts=", "--themes=", f"boot/grub/grub.cfg={cfg}"])
    return image, {}


MANAGERS = {"systemd-boot": systemd_boot, "grub": grub}


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in MANAGERS:
        print(f"usage: {sys.argv[0]} {'|'.join(MANAGERS)} KORVANE_EFI", file=sys.stderr)
        return 2
    manager, efi = sys.argv[1], sys.argv[2]
    try:
        with tempfile.TemporaryDirectory(prefix="kvmenu-") as workdir:
            loader, files = MANAGERS[manager](workdir)
            files["EFI/korvane/korvane.efi"] = efi
            with qemu_harness.Machine(loader, esp_files=files, vga=False, timeout=110,
                                      timing_sensitive=False) as vm:
                screen = vm.wait_until(lambda s: disk_list(s) and frame_complete(s),
                                       "the disk list", timeout=100)
                print(f"disk list after {vm.elapsed():.1f} s:\n{screen.text()}")
    except HarnessError as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    got = [(d.size, d.state) for d in disk_list(screen)]
    if got != [("64.0 MiB", "started from here: read only")]:
        print(f"FAIL: want the 64 MiB ESP, started from here; the list shows {got}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
