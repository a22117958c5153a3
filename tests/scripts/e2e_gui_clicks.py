#!/usr/bin/env python3
"""The graphical front end on real firmware, driven by the mouse alone.

korvane.efi runs on OVMF with the standard VGA screen (1280 x 800) and a
USB mouse on an xHCI controller, beside an empty 64 MiB virtio disk. The
screen trace on the serial port tells where everything is; the script moves
the pointer there with relative QMP motion events (correcting with the
trace's "pointer X,Y" lines), and clicks: New table, GPT, New, OK, OK,
"Linux filesystem", OK, Write, Yes, waits for "message Written.", clicks
Quit and waits for "closed, text cursor". sgdisk -v must then find the
partition on the disk. The screen right after the write, taken with QMP
screendump, must equal korvane-sim --gui's picture after the same clicks on
the same disks, pixel for pixel.

    e2e_gui_clicks.py build/uefi/korvane.efi

korvane-sim is taken from $KV_KORVANE_SIM, else from the current directory
(ctest runs tests in the host build tree), else from build/host.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e_font_specimen as pictures
import peers
import qemu_harness
from qemu_harness import HarnessError

MiB = 1 << 20
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LINUX_FILESYSTEM = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"
# The clicks, by the labels the trace gives; both runs make the same ones.
CLICKS = ["New table", "GPT", "New", "OK", "OK", "Linux filesystem", "OK", "Write", "Yes"]


def korvane_sim():
    for candidate in (os.environ.get("KV_KORVANE_SIM"), os.path.join(os.getcwd(), "korvane-sim"),
                      os.path.join(REPO, "build", "host", "korvane-sim")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    raise HarnessError("korvane-sim not found (set KV_KORVANE_SIM)")


class Trace:
    """The "gui: " lines of the serial output, read as they come."""

    def __init__(self, vm):
        self.vm = vm

    def lines(self, since=0):
        # The console's own output (the escape sequences of its clearing
        # when graphics end) can stand before a trace line on the same line.
        text = self.vm.serial_bytes(since).decode("utf-8", "replace")
        return re.findall(r"gui: ([^\r\n]*)\r\n", text)

    def wait(self, pattern, since, timeout=60):
        """The first trace line after `since` that matches, once it came."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            for line in self.lines(since):
                if regex.search(line):
                    return line
            if time.monotonic() > deadline:
                tail = "\n  ".join(self.lines()[-20:])
                raise HarnessError(f"no trace line /{pattern}/ within {timeout} s; last:\n  "
                                   f"{tail}")
            time.sleep(0.2)


def labelled_centre(lines, label):
    """Where the last drawing put the button, dialog button or list item
    `label`: a dialog's own elements first while one is open."""
    dialog, main = {}, {}
    for line in lines:
        m = re.match(r"(button|dbutton) \S+ (.+) at (\d+),(\d+)( hover)?$", line)
        if m:
            (main if m.group(1) == "button" else dialog)[m.group(2)] = (int(m.group(3)),
                                                                        int(m.group(4)))
            continue
        m = re.match(r"item (.+) at (\d+),(\d+)( <)?$", line)
        if m:
            dialog[m.group(1)] = (int(m.group(2)), int(m.group(3)))
        elif line == "dialog closed":
            dialog = {}
        elif line.startswith("dialog ") and line != "dialog shown":
            dialog = {}
    if label in dialog:
        return dialog[label]
    if label in main:
        return main[label]
    raise HarnessError(f"nothing labelled {label!r} on the screen")


class Mouse:
    def __init__(self, vm, trace):
        self.vm = vm
        self.trace = trace
        self.x, self.y = 640, 400  # the program starts with the pointer in the middle

    def move_to(self, x, y):
        for _ in range(8):
            if (self.x, self.y) == (x, y):
                return
            mark = self.vm.mark()
            events = []
            if x != self.x:
                events.append({"type": "rel", "data": {"axis": "x", "value": x - self.x}})
            if y != self.y:
                events.append({"type": "rel", "data": {"axis": "y", "value": y - self.y}})
            self.vm.qmp("input-send-event", events=events)
            # A move ends with the pointer's line, also when it re-rendered
            # the screen for a new hovered button; a long one comes in
            # several reports.
            self.trace.wait(r"^pointer \d+,\d+$", mark, timeout=30)
            time.sleep(0.5)
            moves = [line for line in self.trace.lines(mark)
                     if re.match(r"^pointer \d+,\d+$", line)]
            self.x, self.y = map(int, moves[-1].split()[1].split(","))
        raise HarnessError(f"the pointer did not reach {x},{y} (at {self.x},{self.y})")

    def click(self, answer):
        """Presses the left button, holds it until the trace line `answer`
        shows that the program saw the press (a busy guest may poll the
        mouse less often than a short click lasts), and releases it."""
        mark = self.vm.mark()
        for down in (True, False):
            self.vm.qmp("input-send-event",
                        events=[{"type": "btn", "data": {"down": down, "button": "left"}}])
            if down:
                self.trace.wait(answer, mark)


def simulated_picture(esp, disk, workdir):
    """korvane-sim --gui's last picture after the same clicks on copies of
    the same disks."""
    esp_copy = os.path.join(workdir, "sim-esp.img")
    disk_copy = os.path.join(workdir, "sim-disk.img")
    shutil.copyfile(esp, esp_copy)
    shutil.copyfile(disk, disk_copy)
    shot = os.path.join(workdir, "sim.png")
    keys = ",".join("click:" + label for label in CLICKS)
    done = subprocess.run([korvane_sim(), "--gui", "--trace", "--screenshot", shot,
                           esp_copy + ":boot", disk_copy, "--keys", keys],
                          capture_output=True, timeout=120)
    if done.returncode != 3:
        raise HarnessError(f"korvane-sim --gui ended with {done.returncode}: "
                           f"{done.stderr.decode(errors='replace')}")
    trace = [line[5:] for line in done.stdout.decode().split("\n") if line.startswith("gui: ")]
    return pictures.read_png(shot), trace


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    efi = sys.argv[1]
    try:
        with tempfile.TemporaryDirectory(prefix="kvgui-") as work:
            disk = peers.make_image(os.path.join(work, "disk.img"), 64 * MiB)
            blank = os.path.join(work, "blank.img")
            shutil.copyfile(disk, blank)
            usb = ["-device", "qemu-xhci,id=xhci", "-device", "usb-mouse,bus=xhci.0"]
            with qemu_harness.Machine(efi, drives=[qemu_harness.Drive(disk)], timeout=170,
                                      boot_index=False, extra_args=usb) as vm:
                trace = Trace(vm)
                trace.wait(r"^pointer devices: firmware \d+, korvane's USB driver 1$", 0,
                           timeout=90)
                trace.wait(r"^shown$", 0)
                print(f"first screen after {vm.elapsed():.1f} s")
                mouse = Mouse(vm, trace)
                for label in CLICKS:
                    mouse.move_to(*labelled_centre(trace.lines(), label))
                    # Each click draws something: a dialog, a list, or the screen.
                    mouse.click(r"^(shown|dialog shown)$")
                trace.wait(r"^message Written\.$", 0)
                time.sleep(1)  # the rest of that render: "pointer", "shown"
                dump = os.path.join(work, "screen.ppm")
                vm.qmp("screendump", filename=dump)
                real = pictures.read_ppm(dump)
                print(f"written after {vm.elapsed():.1f} s")

                mouse.move_to(*labelled_centre(trace.lines(), "Quit"))
                mouse.click(r"^closed, text cursor (on|off)$")
                print(f"closed after {vm.elapsed():.1f} s")
                esp = vm.esp_path
                vm.quit()
                simulated, sim_trace = simulated_picture(esp, blank, work)

            verdict = pictures.difference(simulated, real)
            if verdict:
                kept = os.path.join(tempfile.gettempdir(), "kvgui-screen.ppm")
                shutil.copyfile(dump, kept)
                raise HarnessError(f"the screen differs from korvane-sim's: {verdict} "
                                   f"(screen kept in {kept})")
            fault = peers.sgdisk_verify(disk, strict=True)
            if fault is not None:
                raise HarnessError(f"sgdisk -v: {fault}")
            table = peers.sfdisk_json(disk)
            parts = [(p["start"], p["type"]) for p in table["partitions"]] if table else []
            if parts != [(2048, LINUX_FILESYSTEM)]:
                raise HarnessError(f"the disk holds {parts}, expected one Linux filesystem "
                                   f"partition at block 2048")
            print("screen equals korvane-sim's; sgdisk -v finds the partition")
    except HarnessError as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
