"""Driving the graphical front end through korvane-sim --gui: the screen
trace of a run, the positions of disk entries and table rows found from a
probe run, and the peers' verdict on the images afterwards.

Scenario files use it as

    sim = gd.GuiSession(sys.argv, __file__)
    sim.main([scenario, ...])
"""

import re
import subprocess

import sim_driver as sd

SCREEN = (1280, 800)


class GuiRun:
    """One korvane-sim --gui --trace run: the trace lines without "gui: "."""

    def __init__(self, argv, done):
        self.argv = argv
        self.status = done.returncode
        self.stdout = done.stdout.decode("utf-8", "replace")
        self.stderr = done.stderr.decode("utf-8", "replace")
        self.lines = [line[5:] for line in self.stdout.split("\n") if line.startswith("gui: ")]

    def fail(self, message):
        tail = "\n".join(self.lines[-40:])
        raise sd.ScenarioFailure(f"{message}\n  command: {' '.join(self.argv[1:])}\n"
                                 f"  status {self.status}, stderr: {self.stderr.strip()}\n"
                                 f"  last trace lines:\n{tail}")

    def index_of(self, text, start=0):
        for i in range(start, len(self.lines)):
            if self.lines[i].startswith(text):
                return i
        return -1

    def expect(self, *texts):
        """Each text begins a trace line, in this order."""
        at = 0
        for text in texts:
            found = self.index_of(text, at)
            if found < 0:
                self.fail(f"no trace line {text!r} (in order)")
            at = found + 1

    def count(self, text):
        return sum(1 for line in self.lines if line.startswith(text))

    def last(self, text):
        for line in reversed(self.lines):
            if line.startswith(text):
                return line
        return ""

    def centre(self, line):
        m = re.search(r" at (\d+),(\d+)", line)
        if not m:
            self.fail(f"no centre in {line!r}")
        return int(m.group(1)), int(m.group(2))


# The kinds of trace line, each by the words it starts with.
KINDS = ["pointer devices:", "window", "disk", "shows", "row", "note", "button", "buttons",
         "focus", "message", "pointer", "shown", "dialog", "dbutton", "field", "item",
         "dialog shown", "dialog closed", "wipe", "closed, text cursor"]


def kind_of(line):
    best = ""
    for kind in KINDS:
        if (line == kind or line.startswith(kind + " ")) and len(kind) > len(best):
            best = kind
    return best


def click(x, y):
    return f"click={x},{y}"


class GuiSession(sd.Session):
    """A scenario file's runs of the graphical front end."""

    def __init__(self, argv, module_file):
        super().__init__(argv, module_file)
        self._rows = None
        self.kinds = set()  # kinds of trace lines seen, by their first words
        self.clicked = set()  # labels clicked with click:LABEL
        self.buttons = set()  # labels of the command buttons shown

    def save_seen(self):
        # The texts of the text front end's screens are not shown here.
        pass

    def gui(self, images, tokens, fs=None, size=SCREEN, options=(), quits=True):
        argv = [self.sim, "--gui", "--trace", "--size", f"{size[0]}x{size[1]}"]
        if fs is None:
            fs = self.volume("fs0-" + str(self._counter))
            self._counter += 1
        argv += ["--fs", fs] + list(options) + list(images)
        argv += ["--keys", sd.script(tokens)]
        try:
            done = subprocess.run(argv, capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            raise sd.ScenarioFailure(f"korvane-sim did not finish: {' '.join(argv[1:])}")
        self.runs += 1
        run = GuiRun(argv, done)
        for line in run.lines:
            self.kinds.add(kind_of(line))
            m = re.match(r"button \S+ (.+) at \d+,\d+( hover)?$", line)
            if m:
                self.buttons.add(m.group(1))
        self.clicked.update(t[len("click:"):] for t in tokens if t.startswith("click:"))
        expected = 0 if quits else sd.SCRIPT_DONE
        if run.status != expected:
            run.fail(f"korvane-sim ended with {run.status}, expected {expected}")
        if quits and not run.last("closed, text cursor"):
            run.fail("the program did not close the graphical front end")
        return run

    def disk_click(self, images, index):
        """The click on the disk entry of images[index]."""
        run = self.gui(images, ["esc"])
        lines = [line for line in run.lines[:run.index_of("shown")] if line.startswith("disk ")]
        before = len(lines) - len(images)
        return click(*run.centre(lines[before + index]))

    def row_click(self, index, size=SCREEN):
        """The click on table row `index` (0 the first row shown)."""
        x, y, pitch = self._row_geometry(size)
        return click(x, y + index * pitch)

    def row_pitch(self, size=SCREEN):
        return self._row_geometry(size)[2]

    def _row_geometry(self, size):
        if self._rows is None:
            probe = self.image("probe-rows.img", 16 * sd.MiB,
                               sgdisk=["-o", "-n", "1:2048:+1M", "-n", "2:0:+1M"])
            run = self.gui([probe], ["esc"], size=size)
            first = run.centre(run.last("row 1 "))
            second = run.centre(run.last("row 2 "))
            self._rows = (first[0], first[1], second[1] - first[1])
        return self._rows
