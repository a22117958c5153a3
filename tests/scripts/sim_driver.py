"""Drives the whole program through korvane-sim with scripted keys on disk
images, and reads the dumped screens back for the scenario tests.

    sim = sim_driver.Session(sys.argv, __file__)
    img = sim.image("gpt.img", 64 * MiB)
    run = sim.run([img], sim.open_disk(0) + sd.new_table("gpt"))
    run.expect("New empty GPT table.")

Every run is checked against the catalogue of the program's texts below
(TEXTS); the texts seen are saved per scenario file in the build tree, where
scenario_coverage.py finds them and fails when one was never seen.
"""

import hashlib
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import traceback

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
from korvane_version import VERSION

MiB = 1 << 20
GiB = 1 << 30
SKIP = 77
SCRIPT_DONE = 3  # korvane-sim's status when the program waits after the last key
DEFAULT_SIZE = (100, 30)

ESP = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
MS_BASIC = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
LINUX_FS = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"
LINUX_SWAP = "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"
LINUX_HOME = "933AC7E1-2EB4-4F13-B844-0E14E2AEF915"
APPLE_APFS = "7C3457EF-0000-11AA-AA11-00306543ECAC"
FREEBSD_UFS = "516E7CB6-6ECF-11D6-8FF8-00022D09712B"  # not in the type list

# Positions in the type lists.
GPT_TYPES = ["EFI system", "BIOS boot", "Microsoft reserved", "Microsoft basic data",
             "Windows recovery", "Windows LDM metadata", "Windows LDM data", "Linux filesystem",
             "Linux root (x86-64)", "Linux home", "Linux extended boot", "Linux swap",
             "Linux LVM", "Linux RAID", "Apple HFS+", "Apple APFS"]
MBR_TYPES = ["FAT32 (LBA)", "NTFS/exFAT", "Linux", "Linux swap", "EFI system", "Linux LVM",
             "Linux RAID", "FAT16 (LBA)", "FAT32", "FAT16", "Windows recovery", "Hidden NTFS",
             "Hidden FAT32 (LBA)", "Hidden FAT32", "Hidden FAT16 (LBA)", "Hidden FAT16",
             "Hidden FAT16 <32M", "Hidden FAT12", "FAT16 <32M", "FAT12", "Windows LDM", "FreeBSD",
             "OpenBSD", "Apple HFS+"]


# The program's own texts on the disk list, the partition screen and the
# command dialogs. Each entry is (text, how): "lit" is matched literally on a
# screen row or inside a dialog (where it may be wrapped), "re" is a regular
# expression for texts with numbers or names in them, "title" is a dialog's
# title (the whole text of a row of the list area, so that the same word in
# a key bar or a column head does not count). Entries that no scenario can
# reach would go to UNREACHABLE with the reason, and would not be required.
def _bar(*pairs):
    return r"\s+".join(re.escape(key) + r"\s+" + re.escape(label) for key, label in pairs)


TEXTS = [
    # Disk list.
    (f"Korvane {VERSION}", "lit"),
    ("Select a disk", "lit"),
    ("  Disk    Type   Size        Table     Partitions", "lit"),
    (_bar(("Enter", "Open"), ("R", "Rescan"), ("Q", "Quit")), "re"),
    (r"^  blk\d+ +\S+ +\d+\.\d [KMGT]iB +GPT +\d+ partitions\b", "re"),
    (r"^  blk\d+ +\S+ +\d+\.\d [KMGT]iB +MBR +1 partition\b(?!s)", "re"),
    (r"^  blk\d+ +\S+ +\d+\.\d [KMGT]iB +MBR +0 partitions\b", "re"),
    (r"^  blk\d+ +\S+ +\d+\.\d [KMGT]iB +no table *$", "re"),
    (r"^  blk\d+ +.*write-protected$", "re"),
    ("No disks found.", "lit"),
    ("Leave the disk", "title"),
    ("Discard the unwritten changes? (Y/N)", "lit"),
    # Partition screen.
    (rf"^ Korvane {re.escape(VERSION)}   blk\d+  \S+  \d+\.\d [KMGT]iB  GPT\b", "re"),
    (rf"^ Korvane {re.escape(VERSION)}   blk\d+  \S+  \d+\.\d [KMGT]iB  MBR\b", "re"),
    (rf"^ Korvane {re.escape(VERSION)}   blk\d+  \S+  \d+\.\d [KMGT]iB  no table\b", "re"),
    ("* = changes not written", "lit"),
    (r"^ Korvane .*write-protected$", "re"),
    ("  #    Start       Size        Type                   Flags", "lit"),
    ("  #    Start       Size        Type                            Name", "lit"),
    ("No partition table.", "lit"),
    ("No free space.", "lit"),
    (r"^  - +\d+\.\d [KMGT]iB +\d+\.\d [KMGT]iB +free space$", "re"),
    (r"^  - +\d+\.\d [KMGT]iB +\d+\.\d [KMGT]iB +free space \(for logical partitions\)$", "re"),
    (r"^  \d+\* ", "re"),
    (r"^  \d+ +.* active$", "re"),
    (r"^  \d+ +.* logical$", "re"),
    (r"^  Note: \S", "re"),
    ("Partition:" + r"\s+" + _bar(("N", "New"), ("D", "Delete"), ("T", "Type"), ("R", "Rename"),
                                  ("A", "Active"), ("W", "Wipe")), "re"),
    ("Disk:" + r"\s+" + _bar(("Enter", "Write"), ("Z", "New table"), ("X", "Delete table"),
                             ("B", "Backup"), ("S", "Restore"), ("Esc", "Back")), "re"),
    # Command keys.
    ("Nothing was written.", "lit"),
    ("No partition table: Z makes one.", "lit"),
    ("Select a free area.", "lit"),
    ("Select a partition first.", "lit"),
    ("Read only", "title"),
    ("The disk is write-protected.", "lit"),
    ("unreadable", "lit"),
    ("The disk could not be read.", "lit"),
    (r"Wipe of partition \d+ failed: [A-Za-z][A-Za-z /]*\.", "re"),
    ("Volumes: fs0 (ro)", "lit"),
    ("Volumes: none", "lit"),
    # The message box capitalises the text's first letter.
    ("Korvane was started from this disk: it cannot be changed.", "lit"),
    ("started from here: read only", "lit"),
    ("New partition table", "title"),
    ("New empty GPT table.", "lit"),
    ("New empty MBR table.", "lit"),
    ("Partition table deleted.", "lit"),
    ("Delete partition", "title"),
    ("Delete the extended partition and its 1 logical partition? (Y/N)", "lit"),
    (r"Delete the extended partition and its \d+ logical partitions\? \(Y/N\)", "re"),
    (r"Partition \d+ deleted\.", "re"),
    ("The extended partition keeps its type.", "lit"),
    (r"Partition \d+: type changed\.", "re"),
    ("MBR partitions have no name.", "lit"),
    ("Rename", "title"),
    ("Name (36 characters):", "lit"),
    (r"Partition \d+ renamed\.", "re"),
    ("GPT partitions have no active flag.", "lit"),
    ("Active", "title"),
    (r"Partition \d+ active\.", "re"),
    (r"Partition \d+ no longer active\.", "re"),
    ("No changes to write.", "lit"),
    ("the table needs repair: Enter writes it", "lit"),
    (r"Repair the GPT table of blk\d+ \(\d+\.\d [KMGT]iB\)\? \(Y/N\)", "re"),
    (r"The GPT entry array holds \d+ entries, more than korvane reads\. Make a new table "
     r"anyway\? \(Y/N\)", "re"),
    (r"Delete the partition table of blk\d+ \(\d+\.\d [KMGT]iB\)\? \(Y/N\)", "re"),
    (r"Write the GPT table to blk\d+ \(\d+\.\d [KMGT]iB\)\? \(Y/N\)", "re"),
    (r"Write the MBR table to blk\d+ \(\d+\.\d [KMGT]iB\)\? \(Y/N\)", "re"),
    ("Write", "title"),
    ("Written.", "lit"),
    (r"Not written: [a-z][a-zA-Z0-9/ ():;,]*\.", "re"),
    # New partition.
    ("New partition", "title"),
    ("Primary", "lit"),
    ("Logical (creates the extended partition)", "lit"),
    ("The free area is too small.", "lit"),
    (r"Start \(free: \d+ [MG]iB to \d+\.\d [KMGT]iB\):", "re"),
    ("The start must be a position, such as 1 MiB", "lit"),
    (r"The start must be in the free area, from \d+ [MG]iB\.", "re"),
    (r"Size \(512M, 20G\.\.\., rest = \d+\.\d [KMGT]iB\):", "re"),
    ("The size is zero.", "lit"),
    (r"Too big: at most \d+\.\d [KMGT]iB\.", "re"),
    ("Name (optional, 36 characters):", "lit"),
    (r"Partition \d+ added\.", "re"),
    # Type.
    ("Type", "title"),
    ("Other (type GUID)...", "lit"),
    ("Other (type byte)...", "lit"),
    ("Type GUID:", "lit"),
    ("Not a GUID.", "lit"),
    ("Type byte (hex):", "lit"),
    ("A byte from 01 to FF.", "lit"),
    # Backup.
    ("Backup", "title"),
    ("Backup of the table on the disk, to file:", "lit"),
    (r"Volumes: fs0\b", "re"),
    (r"fs0:\\korvane-blk\d+\.bin", "re"),
    ("The file needs its volume, e.g. fs1:\\table.bin.", "lit"),
    ("The file exists. Replace it? (Y/N)", "lit"),
    ("No partition table to back up.", "lit"),
    # A message that begins with a file name keeps it as typed.
    (r"\bfs\d+:\\\S*: [a-z][a-z ]*\.", "re"),
    (r"Saved fs\d+:\\\S+ \(\d+ bytes\)\.", "re"),
    # Restore.
    ("Restore", "title"),
    ("Restore from file:", "lit"),
    (r"\bfs\d+:\\\S* could not be read: [a-z][a-z ]*\.", "re"),
    (r"Restore fs\d+:\\\S+ to blk\d+\? The backup was made on another disk\. \(Y/N\)", "re"),
    (r"Restore fs\d+:\\\S+ to blk\d+\? \(Y/N\)", "re"),
    (r"Restore fs\d+:\\\S+ to blk\d+\? Unwritten changes are lost\. \(Y/N\)", "re"),
    ("This is not a korvane backup file", "lit"),
    (r"Restored from fs\d+:\\\S+\.", "re"),
    # Wipe.
    ("Wipe", "title"),
    ("Unwritten changes: write or discard them first", "lit"),
    ("Wipe the logical partitions one by one", "lit"),
    (r"Wipe partition \d+ of blk\d+ \([^,]+, \d+\.\d [KMGT]iB\)\? \(Y/N\)", "re"),
    (r'Wipe partition \d+ of blk\d+ \([^,]+, \d+\.\d [KMGT]iB, "[^"]+"\)\? \(Y/N\)', "re"),
    (r"Partition \d+ wiped \(\d+\.\d [KMGT]iB, 2 passes, \d+ s\)\.", "re"),
    (r"Wipe of partition \d+ stopped in pass 1: partly overwritten\.", "re"),
    ("Stop the wipe? (Y/N)", "lit"),
    (r"Wiping blk\d+ partition \d+  \(\d+\.\d [KMGT]iB\)", "re"),
    ("Esc: stop", "lit"),
]

UNREACHABLE = {}

# Keys of the disk list, the partition screen and the confirmations, as
# script tokens; every one must be pressed by some scenario.
KEYS = ["enter", "esc", "up", "down", "home", "end", "q", "Q", "r", "f5",
        "n", "N", "d", "t", "R", "a", "w", "z", "x", "b", "s", "y", "Y", "poll-esc"]


def text_id(entry):
    return entry[1] + ":" + entry[0]


class Frame:
    """One dumped screen: rows of text, trailing blanks removed."""

    def __init__(self, rows, columns):
        self.rows = rows
        self.columns = columns
        # All rows in one text, so that one search covers them; patterns
        # anchor on rows with ^ and $ in multi-line mode.
        self.whole = "\n".join(rows)
        self._box = None
        self._squashed = None

    def box_text(self):
        """What dialog boxes hold, each row's middle part joined by one blank,
        so that a wrapped sentence reads as one line again."""
        if self._box is None:
            width = min(self.columns, 74) - 4
            left = (self.columns - width) // 2
            parts = [row[left + 2:left + width].strip() for row in self.rows]
            self._box = " ".join(p for p in parts if p)
        return self._box

    def has(self, text):
        if text in self.whole:
            return True
        if self._squashed is None:
            self._squashed = _squash(self.box_text())
        return _squash(text) in self._squashed

    def has_title(self, title):
        """A dialog title: alone on a row of the list area, after a blank
        and followed by at least two blanks or the end of the row."""
        rx = _compiled(r"(^|\s)" + re.escape(title) + r"( {2,}|$)")
        return any(rx.search(row) for row in self.rows[3:-3])

    def has_kind(self, text, how):
        if how == "re":
            return self.has_re(text)
        if how == "title":
            return self.has_title(text)
        return self.has(text)

    def has_re(self, pattern):
        rx = _compiled(pattern)
        if rx.search(self.whole):
            return True
        return rx.search(self.box_text()) is not None

    def choice_items(self):
        """The items a choice list shows, top to bottom, or None when no
        list is open. The list's last row is "  Enter Choose   Esc Cancel"
        and its title row the first above the items."""
        for bottom, row in enumerate(self.rows):
            at = row.find("  Enter Choose   Esc Cancel")
            if at < 0:
                continue
            # Items are indented by two cells inside the box; the title row
            # above them by one, which ends the walk up.
            items = []
            for above in range(bottom - 1, 0, -1):
                line = self.rows[above]
                item = line[at + 2:at + 2 + 40]
                if line[at:at + 2].strip() or not item.strip():
                    break
                items.append(item.split("  ")[0].strip())
            return list(reversed(items))
        return None

    def row_with(self, text):
        for row in self.rows:
            if text in row:
                return row
        return None


_PATTERNS = {}


def _compiled(pattern):
    rx = _PATTERNS.get(pattern)
    if rx is None:
        rx = _PATTERNS[pattern] = re.compile(pattern, re.MULTILINE)
    return rx


def _squash(text):
    return re.sub(r"\s+", " ", text).strip()


class ScenarioFailure(AssertionError):
    pass


class Run:
    """The outcome of one korvane-sim run: exit status, output and frames."""

    def __init__(self, argv, done, columns, image_count):
        self.argv = argv
        self.image_count = image_count
        self.status = done.returncode
        self.stdout = done.stdout.decode("utf-8", "replace")
        self.stderr = done.stderr.decode("utf-8", "replace")
        self.frames = [Frame(rows, columns) for rows in split_frames(self.stdout)]

    def disk_name(self, index):
        """The program's name of the index-th image, from the disk list the
        run starts with. Names follow the firmware's handles, partition
        handles included, so they have gaps after partitioned images."""
        rows = self.frames[0].rows[3:] if self.frames else []
        names = [row.split()[0] for row in rows if re.match(r"^  blk\d+ ", row)]
        if len(names) < self.image_count:
            self.fail("the first screen does not list every image")
        return names[len(names) - self.image_count + index]

    @property
    def last(self):
        if not self.frames:
            self.fail("no screen was dumped")
        return self.frames[-1]

    def describe(self):
        shown = "\n".join(f"| {row}" for row in self.last.rows) if self.frames else "(none)"
        return (f"korvane-sim {' '.join(self.argv[1:])}\nstatus {self.status}, "
                f"{len(self.frames)} frames, stderr {self.stderr.strip()!r}\nlast screen:\n{shown}")

    def fail(self, message):
        raise ScenarioFailure(f"{message}\n{self.describe()}")

    def index_of(self, text, start=0, pattern=False):
        for i in range(start, len(self.frames)):
            frame = self.frames[i]
            if frame.has_re(text) if pattern else frame.has(text):
                return i
        return -1

    def expect(self, *texts, pattern=False):
        """Each text appears on some frame, in the order given (a later text
        on the same frame as the earlier one or after it)."""
        at, previous = 0, None
        for text in texts:
            # The same text twice in a row must come back on a later frame.
            found = self.index_of(text, at + (text == previous), pattern)
            previous = text
            if found < 0:
                where = f" after frame {at}" if at else ""
                self.fail(f"never shown{where}: {text!r}")
            at = found
        return at

    def expect_title(self, title):
        if not any(frame.has_title(title) for frame in self.frames):
            self.fail(f"no dialog titled {title!r}")

    def expect_choice(self, items):
        """Some frame shows a choice list holding exactly these items."""
        shown = [f.choice_items() for f in self.frames]
        if list(items) not in shown:
            lists = [s for s in shown if s is not None]
            self.fail(f"no choice list of {list(items)}; lists shown: {lists}")

    def expect_re(self, *patterns):
        return self.expect(*patterns, pattern=True)

    def appearances(self, text, pattern=False):
        """How many times a text came onto the screen (frames that show it
        after one that did not)."""
        count, shown = 0, False
        for frame in self.frames:
            now = frame.has_re(text) if pattern else frame.has(text)
            count += now and not shown
            shown = now
        return count

    def expect_never(self, text, pattern=False):
        if self.index_of(text, 0, pattern) >= 0:
            self.fail(f"shown but must not be: {text!r}")

    def expect_last(self, text, pattern=False):
        if not (self.last.has_re(text) if pattern else self.last.has(text)):
            self.fail(f"not on the last screen: {text!r}")

    def expect_status(self, status):
        if self.status != status:
            self.fail(f"exit status {self.status}, expected {status}")

    def status_line(self, frame=None):
        """The status message row (rows - 3) of a frame, stripped."""
        frame = frame or self.last
        row = len(frame.rows) - 3 if len(frame.rows) >= 3 else 0
        return frame.rows[row].strip() if row < len(frame.rows) else ""


def split_frames(stdout):
    """korvane-sim separates the frames it dumps by a line "----"."""
    frames, rows = [], []
    for line in stdout.split("\n"):
        if line == "----":
            frames.append(rows)
            rows = []
            continue
        rows.append(line.rstrip())
    if rows and rows[-1] == "":
        rows.pop()  # the final line feed
    if rows:
        frames.append(rows)
    return frames


def typed(text):
    """A token that types text character by character."""
    return "=" + text


def script(tokens):
    """The comma-separated key script of a token list; commas and
    backslashes inside a token are escaped."""
    out = []
    for token in tokens:
        if not token:
            raise ValueError("empty key token")
        out.append(token.replace("\\", "\\\\").replace(",", "\\,"))
    return ",".join(out)


def digest(path, skip=None):
    """SHA-256 of a file; with skip = (offset, length) of the bytes outside
    that range."""
    h = hashlib.sha256()
    size = os.path.getsize(path)
    ranges = [(0, size)] if skip is None else [(0, skip[0]), (skip[0] + skip[1], size)]
    with open(path, "rb") as f:
        for first, end in ranges:
            f.seek(first)
            left = max(0, end - first)
            while left:
                chunk = f.read(min(left, 1 << 20))
                if not chunk:
                    break
                h.update(chunk)
                left -= len(chunk)
    return h.hexdigest()


def sparse_copy(source, target):
    """Copies an image and keeps its holes."""
    subprocess.run(["cp", "--sparse=always", source, target], check=True)


def read_range(path, offset, length):
    with open(path, "rb") as f:
        f.seek(offset)
        return f.read(length)


def fill_pattern(path, offset, length, seed):
    """Writes recognisable pseudo-random bytes over a range."""
    data = random.Random(seed).randbytes(length)
    peers.write_block_bytes(path, offset, data)


def format_size(n):
    """A byte count as the program shows it: binary units, one truncated
    decimal."""
    if n < 1024:
        return f"{n} B"
    units = ["KiB", "MiB", "GiB", "TiB", "PiB"]
    value, divisions = n, 0
    while True:
        remainder = value % 1024
        value //= 1024
        divisions += 1
        if value <= 1023 or divisions == 5:
            break
    return f"{value}.{remainder * 10 // 1024} {units[divisions - 1]}"


# Key sequences of the commands.

def choose(index):
    """Picks an item of a choice list that opens at its first item."""
    return ["down"] * index + ["enter"]


def new_table(kind):
    return ["z"] + choose(0 if kind == "gpt" else 1)


def new_partition(size=None, type_keys=("enter",), name=None, kind=None, start=None):
    """N on a free area: kind (None: no question; "primary" or "logical"),
    start (None takes the proposal), size (None takes "rest"), the type list
    keys and, for GPT, the name (None: no name question, "" an empty name)."""
    keys = ["n"]
    if kind is not None:
        keys += choose(0 if kind == "primary" else 1)
    keys += ([typed(start)] if start is not None else []) + ["enter"]
    keys += ([typed(size)] if size is not None else []) + ["enter"]
    keys += list(type_keys)
    if name is not None:
        keys += ([typed(name)] if name else []) + ["enter"]
    return keys


def write(answer="y"):
    return ["enter", answer]


class Session:
    """One scenario file's run: the korvane-sim path, a scratch directory,
    the texts seen so far, and the failures met."""

    def __init__(self, argv, module_file):
        if len(argv) != 2:
            print(f"usage: {os.path.basename(module_file)} PATH/TO/korvane-sim", file=sys.stderr)
            sys.exit(2)
        self.sim = os.path.abspath(argv[1])
        self.module = os.path.splitext(os.path.basename(module_file))[0]
        self.module_file = os.path.abspath(module_file)
        self.tmp = tempfile.TemporaryDirectory(prefix=self.module + "-")
        self.dir = self.tmp.name
        self.seen = set()
        self.keys = set()
        self.failures = []
        self.runs = 0
        self._offset = None
        self._counter = 0
        self._templates = {}

    # Images and volumes.

    def path(self, name):
        return os.path.join(self.dir, name)

    def image(self, name, size, sfdisk=None, sgdisk=None):
        """A sparse zero image, optionally laid out by sfdisk (a script) or
        sgdisk (an argument list). sgdisk takes a second for every image it
        writes, so each layout is made once and copied."""
        path = self.path(name)
        key = (size, sfdisk, tuple(sgdisk or ()))
        template = self._templates.get(key)
        if template is None:
            template = peers.make_image(self.path(f"template-{len(self._templates)}.img"), size)
            if sfdisk is not None:
                peers.sfdisk_write(template, sfdisk)
            if sgdisk is not None:
                peers.sgdisk(template, *sgdisk)
            self._templates[key] = template
        sparse_copy(template, path)
        return path

    def volume(self, name="fs0"):
        path = self.path(name)
        os.makedirs(path, exist_ok=True)
        return path

    # Running.

    def disks_before_images(self):
        """How many disks korvane-sim lists before the images, found once
        from the disk list of a probe run with two images."""
        if self._offset is None:
            a = self.image("probe-a.img", 3 * MiB)
            b = self.image("probe-b.img", 5 * MiB)
            run = self._run([a, b], [], fs=None, size=DEFAULT_SIZE, record=False)
            rows = [r for r in run.frames[0].rows[3:] if re.match(r"^  blk\d+ ", r)]
            sizes = [" ".join(r.split()[2:4]) for r in rows]
            if sizes[-2:] != ["3.0 MiB", "5.0 MiB"]:
                run.fail("the probe images are not the last two disks of the list")
            self._offset = len(rows) - 2
            os.remove(a)
            os.remove(b)
        return self._offset

    def open_disk(self, index):
        """Keys that open the index-th image from the disk list."""
        return ["home"] + ["down"] * (self.disks_before_images() + index) + ["enter"]

    def run(self, images, keys, fs=None, size=DEFAULT_SIZE, status=SCRIPT_DONE, options=()):
        done = self._run(images, keys, fs, size, record=True, options=options)
        if status is not None:
            done.expect_status(status)
        return done

    def _run(self, images, keys, fs, size, record, options=()):
        argv = [self.sim] + list(options)
        if "--no-fs" not in options:
            if fs is None:
                fs = self.volume("fs0-" + str(self._counter))
                self._counter += 1
            argv += ["--fs", fs]
        if size is not None:
            argv += ["--size", f"{size[0]}x{size[1]}"]
        argv += list(images)
        argv += ["--keys", script(keys) if keys else "", "--dump-screens"]
        try:
            done = subprocess.run(argv, capture_output=True, timeout=120)
        except subprocess.TimeoutExpired:
            raise ScenarioFailure(f"korvane-sim did not finish: {' '.join(argv[1:])}")
        self.runs += 1
        result = Run(argv, done, size[0] if size else 80, len(images))
        if done.returncode not in (0, SCRIPT_DONE):
            result.fail("korvane-sim failed")
        if record:
            self.keys.update(keys)
            for frame in result.frames:
                for entry in TEXTS:
                    key = text_id(entry)
                    if key in self.seen:
                        continue
                    if frame.has_kind(*entry):
                        self.seen.add(key)
        return result

    # Peers.

    def table(self, path):
        """sfdisk's reading of an image (None without a table)."""
        return peers.sfdisk_json(path)

    def verify(self, path):
        """The peers find no fault in the table: sfdisk --verify for every
        table, sgdisk -v without a problem or warning for a GPT."""
        table = peers.sfdisk_json(path)
        if table is None:
            raise ScenarioFailure(f"{os.path.basename(path)}: sfdisk finds no table")
        fault = peers.sfdisk_verify(path)
        if fault is not None:
            raise ScenarioFailure(f"sfdisk --verify {os.path.basename(path)}: {fault}")
        fault = peers.sgdisk_verify(path, strict=True) if table["label"] == "gpt" else None
        if fault is not None:
            raise ScenarioFailure(f"sgdisk -v {os.path.basename(path)}: {fault}")
        return table

    def expect_partitions(self, path, label, expected):
        """The image holds exactly these partitions as sfdisk reads them:
        {number: (start, size, type, extra)} with extra the name (GPT) or
        the bootable flag (MBR); the peers find no fault."""
        table = self.verify(path)
        if table["label"] != label:
            raise ScenarioFailure(f"{os.path.basename(path)}: label {table['label']}, "
                                  f"expected {label}")
        got = {}
        for p in table["partitions"]:
            extra = p["name"] if label == "gpt" else p["bootable"]
            got[p["number"]] = (p["start"], p["size"], p["type"], extra)
        if got != expected:
            raise ScenarioFailure(f"{os.path.basename(path)} holds\n  {got}\nexpected\n  "
                                  f"{expected}")
        return table

    # Checks and bookkeeping.

    def check(self, condition, message):
        if not condition:
            raise ScenarioFailure(message)

    def equal(self, what, actual, expected):
        if actual != expected:
            raise ScenarioFailure(f"{what}: got {actual!r}, expected {expected!r}")

    def main(self, scenarios):
        """Runs every scenario, saves the texts seen, prints a summary and
        exits 0, 1 on a failure, 77 without the peer tools."""
        missing = peers.missing_tools()
        if missing:
            print(f"skipped: {', '.join(missing)} not installed")
            sys.exit(SKIP)
        if not os.access(self.sim, os.X_OK):
            print(f"{self.sim}: not an executable", file=sys.stderr)
            sys.exit(2)
        only = os.environ.get("KV_SCENARIO")  # a part of a name: run only those
        if only:
            scenarios = [s for s in scenarios if only in s.__name__]
        for scenario in scenarios:
            try:
                scenario(self)
                print(f"ok      {scenario.__name__}")
            except Exception as error:  # noqa: BLE001 - every failure is reported
                detail = str(error) if isinstance(error, ScenarioFailure) else \
                    traceback.format_exc()
                self.failures.append(scenario.__name__)
                print(f"FAILED  {scenario.__name__}\n{_indent(detail)}")
        if not only:
            self.save_seen()
        print(f"{len(scenarios) - len(self.failures)} of {len(scenarios)} scenarios passed, "
              f"{self.runs} runs")
        self.tmp.cleanup()
        sys.exit(1 if self.failures else 0)

    def save_seen(self):
        directory = coverage_dir(self.sim)
        os.makedirs(directory, exist_ok=True)
        record = {"fingerprint": fingerprint(self.sim, self.module_file),
                  "texts": sorted(self.seen), "keys": sorted(self.keys)}
        target = os.path.join(directory, self.module + ".json")
        temporary = target + ".tmp" + str(os.getpid())
        with open(temporary, "w") as f:
            json.dump(record, f, indent=1)
        os.replace(temporary, target)


def _indent(text):
    return "\n".join("    " + line for line in text.rstrip().split("\n"))


def coverage_dir(sim):
    return os.path.join(os.path.dirname(os.path.abspath(sim)), "scenario-texts")


def fingerprint(sim, module_file):
    """What a saved record of texts depends on: the runner binary (with the
    program linked in), the scenario file and this driver."""
    parts = []
    for path in (sim, module_file, os.path.abspath(__file__)):
        st = os.stat(path)
        parts.append(f"{os.path.basename(path)}:{st.st_size}:{st.st_mtime_ns}")
    return ";".join(parts)
