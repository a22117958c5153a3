#!/usr/bin/env python3
"""The program's own USB boot-mouse driver and the screen trace on real
firmware.

kvpointer.efi (built beside korvane.efi) opens the pointer devices, prints
the running sums of what pointer_poll delivers and sends trace lines to the
serial port of the console. OVMF drives no USB mouse, so QEMU's usb-mouse
(HID 3/1/2, interrupt IN 0x81) on an xHCI controller must be taken by the
program's driver; motion and button events sent over QMP must arrive summed
exactly; closing and opening again must take the mouse again. A usb-tablet
(HID 3/0/0), which OVMF does not drive either, must be taken too and its
absolute QMP events arrive as positions across 0..65535, its click as a
press.

    e2e_pointer_usb.py build/uefi/korvane.efi
"""

import os
import re
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qemu_harness

SUMMARY_MOUSE = "firmware 0, korvane's USB driver 1"


def usb_args(device):
    return ["-device", "qemu-xhci,id=xhci", "-device", f"{device},id=pointer,bus=xhci.0"]


# Events go to the active mouse: QEMU makes a USB HID device the active one
# once the guest polls it, which the program's driver does from the start.
def rel(vm, x=0, y=0):
    events = []
    if x:
        events.append({"type": "rel", "data": {"axis": "x", "value": x}})
    if y:
        events.append({"type": "rel", "data": {"axis": "y", "value": y}})
    vm.qmp("input-send-event", events=events)


def button(vm, down):
    vm.qmp("input-send-event", events=[{"type": "btn", "data": {"down": down, "button": "left"}}])


def wait_sum(vm, mark, x, y, left):
    vm.wait_for(f"kvpointer sum {x},{y} left {left} right 0", timeout=30, since=mark)


def mouse(efi):
    with qemu_harness.Machine(efi, timeout=100, extra_args=usb_args("usb-mouse")) as vm:
        vm.wait_for(f"kvpointer open 1: {SUMMARY_MOUSE}", timeout=60)
        mark = vm.mark()
        vm.wait_for("kvpointer ready", timeout=10)

        rel(vm, x=5, y=-3)
        rel(vm, x=-2)
        wait_sum(vm, mark, 3, -3, 0)
        button(vm, True)
        wait_sum(vm, mark, 3, -3, 1)
        # More than one report can carry (127 per axis): the rest follows.
        rel(vm, x=200, y=40)
        wait_sum(vm, mark, 203, 37, 1)
        button(vm, False)
        wait_sum(vm, mark, 203, 37, 0)
        print("motion sums: 3,-3 then 203,37; left button down and up")

        mark = vm.mark()
        vm.send_serial("r")
        vm.wait_for(f"kvpointer reopen 1: {SUMMARY_MOUSE}", timeout=30, since=mark)
        vm.wait_for("kvpointer ready", timeout=10, since=mark)
        rel(vm, x=7, y=9)
        wait_sum(vm, mark, 7, 9, 0)
        vm.send_serial("q")
        vm.wait_for("kvpointer done", timeout=30, since=mark)

        raw = vm.serial_bytes()
        expected = [
            f"gui: pointer devices: {SUMMARY_MOUSE}\r\n".encode(),
            b"gui: message forged  gui: dbutton Y Yes at 1,1\r\n",
            b"gui: note " + b"x" * 389 + b"\r\n",
        ]
        for line in expected:
            if raw.count(line) < 1:
                raise qemu_harness.HarnessError(f"no trace line {line!r} on the serial port")
        if raw.count(expected[0]) != 2:
            raise qemu_harness.HarnessError("the reopen sent no second pointer devices line")
        if re.search(rb"(^|\n)gui: dbutton", raw):
            raise qemu_harness.HarnessError("a forged dbutton line starts a line")
        if not re.search(rb"gui: closed, text cursor (on|off)\r\n", raw):
            raise qemu_harness.HarnessError("no closing trace line")
        print(f"summary: {SUMMARY_MOUSE}")


def tablet(efi):
    with qemu_harness.Machine(efi, timeout=80, extra_args=usb_args("usb-tablet")) as vm:
        text = vm.wait_for(re.compile(r"kvpointer open \d+: firmware \d+, korvane's USB "
                                      r"driver \d+"), timeout=60)
        line = text.splitlines()[-1]
        if not line.endswith("korvane's USB driver 1"):
            raise qemu_harness.HarnessError(f"the tablet was not taken: {line}")
        print(f"tablet: {line}")
        mark = vm.mark()
        vm.wait_for("kvpointer ready", timeout=10)
        vm.qmp("input-send-event", events=[
            {"type": "abs", "data": {"axis": "x", "value": 0x7FFF}},
            {"type": "abs", "data": {"axis": "y", "value": 0x4000}}])
        vm.wait_for("kvpointer at 65535,32768 absolute 1 pressed 0", timeout=30, since=mark)
        button(vm, True)
        button(vm, False)
        vm.wait_for(re.compile(r"kvpointer at \d+,\d+ absolute \d pressed 1"), timeout=30,
                    since=mark)
        print("tablet: position 65535,32768 and a click arrived")
        vm.send_serial("q")
        vm.wait_for("kvpointer done", timeout=30)


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    efi = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "kvpointer.efi")
    mouse(efi)
    tablet(efi)
    print("ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
