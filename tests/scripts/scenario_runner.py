#!/usr/bin/env python3
"""korvane-sim itself: its refusals, its exit statuses, the shape of the
screens it dumps, how it attaches images (write-protected, 4096-byte blocks)
and the start volume, and the terminal it drives when no script is given.

usage: scenario_runner.py PATH/TO/korvane-sim

Exits 0 when every case passes, 1 otherwise.
"""

import errno
import fcntl
import os
import pty
import re
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import traceback

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
from korvane_version import BANNER

MiB = 1 << 20
RUNNER_ERROR = 2
SCRIPT_DONE = 3
HEADER = BANNER


class Failure(AssertionError):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Runner:
    def __init__(self, path, directory):
        self.path = path
        self.dir = directory
        self.count = 0

    def file(self, name, size=None, data=None):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            if data is not None:
                f.write(data)
            else:
                f.truncate(size)
        return path

    def fresh_dir(self):
        self.count += 1
        path = os.path.join(self.dir, f"fs{self.count}")
        os.mkdir(path)
        return path

    def run(self, *args, fs="fresh", env=None):
        argv = [self.path]
        if fs == "fresh":
            fs = self.fresh_dir()
        if fs is not None:
            argv += ["--fs", fs]
        argv += list(args)
        done = subprocess.run(argv, capture_output=True, timeout=60, stdin=subprocess.DEVNULL,
                              env=env)
        return done.returncode, done.stdout.decode(), done.stderr.decode()


def frames_of(stdout):
    frames = stdout.split("----\n")
    return [f.split("\n")[:-1] for f in frames]


def disk_rows(screen):
    return [row for row in screen if re.match(r"^  blk\d+ ", row)]


def describe(status, out, err):
    return f"status {status}\nstdout:\n{out}\nstderr:\n{err}"


# ---- Refusals ----

def expect_refusal(result, message_pattern):
    status, out, err = result
    check(status == RUNNER_ERROR, f"expected status 2\n{describe(*result)}")
    check(out == "", f"nothing belongs on stdout for a refusal\n{describe(*result)}")
    lines = err.split("\n")
    check(len(lines) == 2 and lines[1] == "", f"expected one line on stderr\n{describe(*result)}")
    check(re.fullmatch("korvane-sim: " + message_pattern, lines[0]),
          f"stderr {lines[0]!r} does not match {message_pattern!r}")


def refuses_missing_image(r):
    missing = os.path.join(r.dir, "missing.img")
    expect_refusal(r.run("--keys", "q", missing),
                   re.escape(missing) + ": No such file or directory")


def refuses_partial_blocks(r):
    odd = r.file("odd.img", 1000 * 1024 + 100)
    expect_refusal(r.run("--keys", "q", odd),
                   re.escape(odd) + r": its size, 1024100 bytes, is not a whole number of "
                   r"512-byte blocks")
    # Whole 512-byte blocks but not whole 4096-byte ones.
    half = r.file("half.img", 6 * 512)
    expect_refusal(r.run("--keys", "q", half + ":4096"),
                   re.escape(half) + r": its size, 3072 bytes, is not a whole number of "
                   r"4096-byte blocks")


def refuses_unwritable_dir(r):
    image = r.file("ok.img", MiB)
    if os.geteuid() == 0:
        locked = "/proc"  # root may write anywhere but there
    else:
        locked = r.fresh_dir()
        os.chmod(locked, 0o555)
    expect_refusal(r.run("--keys", "q", image, fs=locked),
                   re.escape(locked) + r": cannot write there: .+")
    missing = os.path.join(r.dir, "no-such-dir")
    expect_refusal(r.run("--keys", "q", image, fs=missing),
                   re.escape(missing) + ": No such file or directory")
    expect_refusal(r.run("--keys", "q", image, fs=image), re.escape(image) + ": not a directory")


def refuses_bad_command_lines(r):
    image = r.file("ok2.img", MiB)
    expect_refusal(r.run("--bogus", image), "unknown option --bogus")
    expect_refusal(r.run("--size", "wide", image),
                   r"--size wide: expected WxH, each from 1 to 1000")
    expect_refusal(r.run("--dump-screen", image), "--dump-screen needs --keys")
    expect_refusal(r.run("--keys", "enter,bogus", image),
                   r'--keys: key 2 "bogus": unknown key')
    expect_refusal(r.run("--keys", "a,,b", image), "--keys: key 2 is empty")


# ---- Statuses and screens ----

def exhausted_script_ends_with_3(r):
    image = r.file("plain.img", 4 * MiB)
    status, out, err = r.run("--keys", "down,up", "--dump-screen", image)
    check(status == SCRIPT_DONE, f"expected status 3\n{describe(status, out, err)}")
    check(err == "", f"unexpected stderr {err!r}")
    screens = frames_of(out)
    check(len(screens) == 1, f"--dump-screen printed {len(screens)} frames")
    screen = screens[0]
    # 80 x 25 unless asked otherwise: one line per row, no trailing blanks.
    check(len(screen) == 25, f"{len(screen)} rows dumped, expected 25")
    check(all(len(row) <= 80 and not row.endswith(" ") for row in screen),
          "a dumped row is too long or ends in a blank")
    check(screen[0].startswith(" " + HEADER), f"first row {screen[0]!r}")
    check(len(disk_rows(screen)) == 1, "the image is not in the disk list")


def every_frame_is_dumped(r):
    image = r.file("frames.img", 4 * MiB)
    status, out, _ = r.run("--keys", "down,up,r", "--dump-screens", image)
    check(status == SCRIPT_DONE, f"status {status}")
    screens = frames_of(out)
    # One frame per key handed over, and the one the program waited on last.
    check(len(screens) == 4, f"{len(screens)} frames, expected 4")
    check(all(len(s) == 25 and s[0].startswith(" " + HEADER) for s in screens),
          "a frame is not a whole disk list")


def asked_size_is_the_console(r):
    image = r.file("wide.img", 4 * MiB)
    status, out, _ = r.run("--size", "120x40", "--keys", "", "--dump-screen", image)
    check(status == SCRIPT_DONE, f"status {status}")
    screen = frames_of(out)[0]
    # The program takes the smallest mode of at least 100 x 25: this one.
    check(len(screen) == 40, f"{len(screen)} rows, expected 40")
    check(any(len(row) > 80 for row in screen), "nothing beyond column 80: not 120 wide")
    check(all(len(row) <= 120 for row in screen), "a row is wider than 120")
    # Below 100 columns the program stays in 80 x 25.
    status, out, _ = r.run("--size", "90x50", "--keys", "", "--dump-screen", image)
    check(len(frames_of(out)[0]) == 25, "90x50 was chosen over 80x25")


def program_end_gives_its_status(r):
    image = r.file("quit.img", 4 * MiB)
    status, out, err = r.run("--keys", "q,x,y", "--dump-screen", image)
    check(status == 0, f"expected status 0\n{describe(status, out, err)}")
    # The program clears the screen as it leaves.
    check(frames_of(out) == [[""] * 25], "the last screen is not the cleared console")
    status, out, _ = r.run("--keys", "q", image)
    check(status == 0 and out == "", "without a dump option nothing is printed")


# ---- Attaching ----

def read_only_and_block_size_attach(r):
    plain = r.file("a.img", 3 * MiB)
    protected = r.file("b.img", 5 * MiB)
    # A GPT laid out for 4096-byte blocks is a table only when read so.
    gpt4k = r.file("c.img", 8 * MiB)
    peers.fdisk_script(gpt4k, "g\nn\n\n\n+2M\nw\n", sector_size=4096)
    status, out, _ = r.run("--keys", "", "--dump-screen", plain, protected + ":ro",
                           gpt4k + ":4096", gpt4k)
    check(status == SCRIPT_DONE, f"status {status}")
    rows = disk_rows(frames_of(out)[0])
    check(len(rows) == 4, f"{len(rows)} disks listed:\n" + "\n".join(rows))
    check(" 3.0 MiB " in rows[0] and "write-protected" not in rows[0],
          f"plain image: {rows[0]!r}")
    check(re.search(r" 5\.0 MiB .*write-protected$", rows[1]), f"protected image: {rows[1]!r}")
    check(re.search(r" 8\.0 MiB +GPT +1 partition\b", rows[2]), f"4096-byte image: {rows[2]!r}")
    check(re.search(r" 8\.0 MiB +no table", rows[3]), f"same image in 512: {rows[3]!r}")
    check(not any("started from here" in row for row in rows),
          "an image disk is taken for the one the program started from")
    names = [int(row.split()[0][3:]) for row in rows]
    check(names == sorted(names), f"disks not in command-line order: {names}")

    # Opened: the header says write-protected, and the partition of the
    # 4096-byte disk starts at 1 MiB (256 blocks of 4096).
    status, out, _ = r.run("--keys", "home,down,enter", "--dump-screen", plain, protected + ":ro")
    screen = frames_of(out)[0]
    check(re.match(r"^ Korvane .* 5\.0 MiB .*write-protected$", screen[0]),
          f"header {screen[0]!r}")
    status, out, _ = r.run("--keys", "enter", "--dump-screen", gpt4k + ":4096")
    screen = frames_of(out)[0]
    check(any(re.match(r"^  1 +1\.0 MiB +2\.0 MiB ", row) for row in screen),
          "partition 1 of the 4096-byte disk:\n" + "\n".join(screen))


def default_volume_is_kept_only_with_files(r):
    tmp = os.path.join(r.dir, "tmpdir")
    os.mkdir(tmp)
    env = dict(os.environ, TMPDIR=tmp)
    image = r.file("gpt.img", 8 * MiB)
    peers.sfdisk_write(image, "label: gpt\nsize=2M\n")
    status, _, err = r.run("--keys", "q", image, fs=None, env=env)
    check(status == 0 and err == "", f"status {status}, stderr {err!r}")
    check(os.listdir(tmp) == [], f"an empty temporary volume was left: {os.listdir(tmp)}")
    # A backup with the proposed name lands on fs0, the start volume, which
    # is then kept.
    status, out, err = r.run("--keys", "enter,b,enter", "--dump-screen", image, fs=None, env=env)
    check(status == SCRIPT_DONE, f"status {status}")
    kept = os.listdir(tmp)
    check(len(kept) == 1, f"temporary volumes: {kept}")
    volume = os.path.join(tmp, kept[0])
    check(err == f"korvane-sim: the files saved on fs0 are in {volume}\n", f"stderr {err!r}")
    saved = os.listdir(volume)
    check(len(saved) == 1 and re.fullmatch(r"korvane-blk\d+\.bin", saved[0]),
          f"files on fs0: {saved}")
    check(f"Saved fs0:\\{saved[0]}" in out, "no 'Saved' message on the last screen")


# ---- The terminal ----

class Screen:
    """Just enough of a terminal to follow korvane-sim's drawing: cursor
    moves, clearing, colours (ignored) and text. The runner sends only the
    cells that change, so words on the wire are no proof of what shows."""

    SEQUENCE = re.compile(r"\x1b\[([0-9;?]*)([A-Za-z])")

    def __init__(self, columns, rows):
        self.columns, self.rows = columns, rows
        self.cells = [[" "] * columns for _ in range(rows)]
        self.row = self.column = 0
        self.raw = b""

    def feed(self, data):
        self.raw += data
        text = data.decode("utf-8", "replace")
        at = 0
        while at < len(text):
            match = self.SEQUENCE.match(text, at)
            if match:
                self._sequence(match.group(1), match.group(2))
                at = match.end()
                continue
            if text[at] >= " " and self.row < self.rows and self.column < self.columns:
                self.cells[self.row][self.column] = text[at]
                self.column += 1
            at += 1

    def _sequence(self, parameters, final):
        if final == "H":
            numbers = [int(n) if n else 1 for n in (parameters or "1;1").split(";")]
            self.row, self.column = numbers[0] - 1, numbers[1] - 1
        elif final == "J" and parameters == "2":
            self.cells = [[" "] * self.columns for _ in range(self.rows)]

    def text(self):
        return "\n".join("".join(row).rstrip() for row in self.cells)


def read_until(fd, screen, pattern, timeout=10.0, raw=False):
    """Reads from the pty until what the screen shows (or, with raw, the
    bytes received) matches."""
    end = time.time() + timeout
    while time.time() < end:
        if re.search(pattern, screen.raw) if raw else re.search(pattern, screen.text()):
            return True
        ready, _, _ = select.select([fd], [], [], 0.05)
        if ready:
            try:
                data = os.read(fd, 65536)
            except OSError as error:
                if error.errno == errno.EIO:  # the child has gone
                    break
                raise
            if not data:
                break
            screen.feed(data)
    return bool(re.search(pattern, screen.raw) if raw else re.search(pattern, screen.text()))


def spawn_on_pty(argv, columns=100, rows=30):
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(argv[0], argv)
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
    return pid, fd


def wait_exit(pid, timeout=10.0):
    end = time.time() + timeout
    while time.time() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.02)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    raise Failure("korvane-sim did not end")


def cooked(fd):
    lflag = termios.tcgetattr(fd)[3]
    return bool(lflag & termios.ICANON) and bool(lflag & termios.ECHO)


def terminal_session(r):
    image = r.file("tty.img", 4 * MiB)
    pid, fd = spawn_on_pty([r.path, "--fs", r.fresh_dir(), image], 100, 30)
    screen = Screen(100, 30)
    try:
        check(read_until(fd, screen, r"Select a disk"), "no disk list:\n" + screen.text())
        check(b"\x1b[?1049h" in screen.raw, "the alternate screen was not entered")
        # The header's colours: white on blue.
        check(b"\x1b[0;97;44m " + HEADER.encode() in screen.raw, "header not in its colours")
        check(not cooked(fd), "the terminal is not in raw mode while the program runs")
        # The console took the terminal's size: the header reaches column 100.
        check(len(screen.text().split("\n")[0]) > 90, "the console is not 100 columns wide")
        # Arrow keys and Enter open the disk; a lone Esc leaves it.
        os.write(fd, b"\x1b[B\x1b[A\r")
        check(read_until(fd, screen, r"Delete table"), "the disk did not open:\n" + screen.text())
        check("No partition table." in screen.text(), "the blank image's screen:\n" + screen.text())
        os.write(fd, b"\x1b")
        check(read_until(fd, screen, r"Select a disk"),
              "Esc did not lead back to the disk list:\n" + screen.text())
        check("Delete table" not in screen.text(), "the partition screen was not painted over")
        os.write(fd, b"q")
        check(read_until(fd, screen, rb"\x1b\[\?1049l$", raw=True),
              "the alternate screen was not left at the end")
        status = wait_exit(pid)
        check(os.waitstatus_to_exitcode(status) == 0, f"exit status {status}")
        check(cooked(fd), "the terminal mode was not restored")
    finally:
        os.close(fd)


def interrupt_restores_terminal(r):
    image = r.file("intr.img", 4 * MiB)
    pid, fd = spawn_on_pty([r.path, "--fs", r.fresh_dir(), image])
    screen = Screen(100, 30)
    try:
        check(read_until(fd, screen, r"Select a disk"), "no disk list")
        os.write(fd, b"\x03")  # Ctrl-C
        check(read_until(fd, screen, rb"\x1b\[\?1049l$", raw=True),
              "the alternate screen was not left")
        status = wait_exit(pid)
        check(os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGINT,
              f"not ended by SIGINT: {status}")
        check(cooked(fd), "the terminal mode was not restored after Ctrl-C")
    finally:
        os.close(fd)


def piped_input_ends_like_a_script(r):
    image = r.file("pipe.img", 4 * MiB)
    argv = [r.path, "--fs", r.fresh_dir(), image]
    done = subprocess.run(argv, input=b"\x1b[B", capture_output=True, timeout=60)
    check(done.returncode == SCRIPT_DONE, f"status {done.returncode} when the input ran out")
    check(b"Select a disk" in done.stdout, "nothing drawn on a piped stdout")
    done = subprocess.run(argv, input=b"q", capture_output=True, timeout=60)
    check(done.returncode == 0, f"status {done.returncode} after q")


CASES = [refuses_missing_image, refuses_partial_blocks, refuses_unwritable_dir,
         refuses_bad_command_lines, exhausted_script_ends_with_3, every_frame_is_dumped,
         asked_size_is_the_console, program_end_gives_its_status,
         read_only_and_block_size_attach, default_volume_is_kept_only_with_files,
         terminal_session, interrupt_restores_terminal, piped_input_ends_like_a_script]


def main():
    if len(sys.argv) != 2:
        print("usage: scenario_runner.py PATH/TO/korvane-sim", file=sys.stderr)
        return 2
    runner = os.path.abspath(sys.argv[1])
    failures = 0
    with tempfile.TemporaryDirectory(prefix="scenario_runner-") as directory:
        r = Runner(runner, directory)
        for case in CASES:
            try:
                case(r)
                print(f"ok      {case.__name__}")
            except Exception as error:  # noqa: BLE001 - every failure is reported
                failures += 1
                detail = str(error) if isinstance(error, Failure) else traceback.format_exc()
                print(f"FAILED  {case.__name__}\n    " + detail.replace("\n", "\n    "))
    print(f"{len(CASES) - failures} of {len(CASES)} cases passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
