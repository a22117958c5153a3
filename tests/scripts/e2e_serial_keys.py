#!/usr/bin/env python3
"""Keys from a serial terminal that OVMF passes on undecoded.

OVMF's terminal driver decodes only the PC-ANSI key sequences; xterm's Home
(ESC [ 1 ~) and End (ESC [ 4 ~) reach the program as an Esc followed by
ordinary characters. On the disk list that Esc used to quit the program.
The script boots korvane.efi on the serial console with one data disk beside
the ESP, types End and then Home as a terminal in tmux sends them, and
checks that the program still runs and moved the selection each time. On
the data disk it then types a file name into the Backup dialog and deletes
its last character with Backspace as a terminal sends it (DEL, which OVMF
turns into a Delete key), and the one before with Ctrl-H; back on the disk
list a lone Esc still quits to the firmware.

    e2e_serial_keys.py build/uefi/korvane.efi
"""

import os
import re
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import qemu_harness
from qemu_harness import (HarnessError, disk_list, frame_complete, listed,
                          open_listed_disk, wait_for_frame)

MiB = 1 << 20


def selected_row(vm, moved_from, what):
    """Waits for a whole disk list whose selection left row moved_from."""
    screen = vm.wait_until(
        lambda s: frame_complete(s) and any(d.selected and d.row != moved_from
                                            for d in disk_list(s)),
        what, timeout=60)
    return [d.row for d in disk_list(screen) if d.selected][0]


def shows(screen, text, gone):
    return screen.find(text) is not None and screen.find(gone) is None


def backspace_in_a_field(vm, disk):
    """Types into the Backup dialog's file name over the serial line, then
    deletes backwards with DEL and with Ctrl-H."""
    open_listed_disk(vm, disk)
    vm.send_serial(b"b")
    vm.wait_for_screen("Backup of the table on the disk, to file:")
    vm.send_serial(b"xyzq")
    vm.wait_for_screen("xyzq")
    for key, left, gone in ((b"\x7f", "xyz", "xyzq"), (b"\x08", "xy", "xyz")):
        vm.send_serial(key)
        vm.wait_until(lambda s: shows(s, left, gone),
                      f"{key!r} taking the last character off {gone!r}")
        print(f"{key!r} in the file name: {gone!r} became {left!r}")
    vm.send_serial(b"\x1b")
    vm.wait_until(lambda s: s.find("Backup of the table") is None and frame_complete(s),
                  "Esc closing the dialog")
    vm.send_serial(b"\x1b")
    wait_for_frame(vm, "Select a disk")


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    try:
        with tempfile.TemporaryDirectory(prefix="kvkeys-") as workdir:
            disk = peers.make_image(os.path.join(workdir, "virt.img"), 16 * MiB)
            peers.sfdisk_write(disk, "label: gpt\nstart=1MiB, size=4MiB\n")
            drives = [qemu_harness.Drive(disk, "virtio")]
            with qemu_harness.Machine(sys.argv[1], drives, timeout=200, vga=False,
                                      boot_index=False) as vm:
                screen = vm.wait_until(lambda s: len(disk_list(s)) >= 2 and frame_complete(s),
                                       "two disks in the disk list", timeout=120)
                first = [d.row for d in disk_list(screen) if d.selected][0]
                vm.send_serial(b"\x1b[4~")
                last = selected_row(vm, first, "End (ESC [ 4 ~) moving the selection")
                print(f"End moved the selection from row {first} to row {last}")
                vm.send_serial(b"\x1b[1~")
                home = selected_row(vm, last, "Home (ESC [ 1 ~) moving the selection")
                if home != first:
                    raise HarnessError(f"Home selected row {home}, not {first}")
                print("Home moved it back; the program still runs")
                backspace_in_a_field(vm, listed(disk_list(vm.screen()), "disk", "16.0 MiB"))
                end = vm.mark()
                vm.send_serial(b"\x1b")
                vm.wait_for(re.compile(r"BdsDxe: \w+"), timeout=60, since=end)
                print(f"a lone Esc quit after {vm.elapsed():.1f} s")
                vm.quit()
    except (HarnessError, peers.PeerError) as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    print("ok")
    return 0


if __name__ == "__main__":
    time.tzset()
    sys.exit(main())
