"""Runs korvane.efi on real firmware: QEMU with OVMF.

A Machine owns one temporary directory and exactly one QEMU process. Closing
it, leaving its with-block or passing its hard deadline ends that process by
its own id and removes the directory, so a hung guest cannot outlive a test.

    with Machine(efi, drives=[Drive("disk.img")]) as vm:
        vm.wait_for(BANNER)
        vm.send_keys("esc")

The serial port is the firmware console in both directions: wait_for reads
what the program prints and send_serial types into it. Keys can also go in
through the emulated PS/2 keyboard over QMP (press, type_text, send_keys).

Without a graphics device (vga=False) the console is the serial port alone
and the program draws its text screens there with PC-ANSI cursor and colour
sequences; screen() rebuilds that screen as a terminal would show it (with
python3-pyte), and wait_for_screen waits until it shows a text.
"""

import ctypes
import json
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

try:
    import pyte
except ImportError:
    # Debian's python3-pyte sits in the system interpreter's folder, which a
    # python3 from a version manager earlier on PATH does not search.
    if os.path.isdir("/usr/lib/python3/dist-packages"):
        sys.path.append("/usr/lib/python3/dist-packages")
    try:
        import pyte
    except ImportError:
        pyte = None

import qemu_accel
from korvane_version import BANNER

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
# Debian's OVMF build that enforces Secure Boot, with a test key enrolled in
# PK, KEK and db. The key pair is public: it is for tests only.
OVMF_CODE_SECURE = "/usr/share/OVMF/OVMF_CODE_4M.snakeoil.fd"
OVMF_VARS_SECURE = "/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd"
TEST_KEY = "/usr/share/ovmf/PkKek-1-snakeoil.key"
TEST_KEY_PASSPHRASE = "snakeoil"
TEST_CERT = "/usr/share/ovmf/PkKek-1-snakeoil.pem"
ESP_TYPE_GUID = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
ESP_START_MIB = 1

# Terminal control sequences the firmware's console driver mixes into the
# text: CSI sequences (colours, cursor moves) and character-set selection.
_ESCAPES = re.compile(rb"\x1b\[[0-9;?=<>]*[ -/]*[@-~]|\x1b[()][0-9A-Za-z]|\x1b[=>78c]")

# The firmware's mode switch, ESC [ = 3 h, which pyte would print as text.
_MODE_SEQUENCE = re.compile(rb"\x1b\[=[0-9;]*[A-Za-z]")

# The boot manager's line just before it hands over to a loaded image: the
# program's screen starts after the last one.
_IMAGE_START = re.compile(rb"BdsDxe: starting [^\r\n]*\r?\n")

# Big enough for every text mode the firmware offers on the serial terminal.
SCREEN_COLUMNS = 160
SCREEN_ROWS = 64

# The program draws a frame as a burst of output and then waits for a key:
# screens are read only once the serial port has been quiet this long, which
# keeps most reads out of half-drawn frames (frame_complete is sure of it).
SETTLE_SECONDS = 0.3

# A key sent over QMP reaches the program 0.1 to 0.3 s later. Keys sent
# closer together than this spacing still arrive, in order, but ever later
# behind each other.
KEY_SPACING = 0.15

# Characters by the key that types them on a US layout (QEMU key code names);
# letters and digits are their own names.
_CHARACTER_KEYS = {
    " ": "spc", ".": "dot", ",": "comma", "-": "minus", "=": "equal", "/": "slash",
    "\\": "backslash", ";": "semicolon", "'": "apostrophe", "`": "grave_accent",
    "[": "bracket_left", "]": "bracket_right", ":": "shift-semicolon", "_": "shift-minus",
    "+": "shift-equal", "?": "shift-slash", '"': "shift-apostrophe", "!": "shift-1",
    "@": "shift-2", "#": "shift-3", "$": "shift-4", "%": "shift-5", "^": "shift-6",
    "&": "shift-7", "*": "shift-8", "(": "shift-9", ")": "shift-0", "|": "shift-backslash",
    "<": "shift-comma", ">": "shift-dot", "{": "shift-bracket_left",
    "}": "shift-bracket_right", "~": "shift-grave_accent", "\n": "ret", "\t": "tab",
}

# Other spellings accepted by press() for QEMU's key names.
_KEY_ALIASES = {
    "enter": "ret", "return": "ret", "escape": "esc", "space": "spc", "pageup": "pgup",
    "pagedown": "pgdn", "del": "delete", "bs": "backspace",
}

# What a terminal on the serial port sends for a key that has no character,
# in the PC-ANSI forms the firmware's terminal driver decodes (it reads the
# xterm forms ESC [ 5 ~ and ESC O P as Esc and characters). A lone ESC is
# taken as the Esc key only after the driver's escape time-out (about 2 s);
# DEL (0x7F) arrives as the Delete key, so Backspace is 0x08.
SERIAL_KEYS = {
    "up": b"\x1b[A", "down": b"\x1b[B", "right": b"\x1b[C", "left": b"\x1b[D",
    "home": b"\x1b[H", "end": b"\x1b[F", "pgup": b"\x1b[I", "pgdn": b"\x1b[G",
    "insert": b"\x1b[@", "delete": b"\x1b[X", "f1": b"\x1b[M", "f2": b"\x1b[N",
    "f3": b"\x1b[O", "f4": b"\x1b[P", "f5": b"\x1b[Q", "f6": b"\x1b[R", "f7": b"\x1b[S",
    "f8": b"\x1b[T", "f9": b"\x1b[U", "f10": b"\x1b[V", "ret": b"\r", "esc": b"\x1b",
    "backspace": b"\x08",
}


class HarnessError(Exception):
    pass


def _die_with_parent():
    """Runs in the child before QEMU starts: the kernel kills QEMU when the
    test process ends in any way, also by a signal that leaves no time to
    close the Machine."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _run(argv, **kwargs):
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    done = subprocess.run(argv, env=env, capture_output=True, text=True, **kwargs)
    if done.returncode != 0:
        raise HarnessError(f"{' '.join(argv)} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


def make_esp(efi_path, image_path, size_mib=64, files=None):
    """Writes a GPT disk image with one FAT EFI system partition that holds
    efi_path as the removable-media loader EFI/BOOT/BOOTX64.EFI.

    files maps further paths on the volume ("dir/name.bin") to host files.
    """
    if size_mib < 8:
        raise HarnessError("an ESP image needs at least 8 MiB")
    fs_mib = size_mib - 2 * ESP_START_MIB  # leave room for the backup GPT
    with open(image_path, "wb") as image:
        image.truncate(size_mib << 20)
    _run(["sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", image_path],
         input=f"label: gpt\nstart={ESP_START_MIB}MiB, size={fs_mib}MiB, "
               f"type={ESP_TYPE_GUID}, name=\"EFI system\"\n")
    _run(["mkfs.fat", f"--offset={(ESP_START_MIB << 20) // 512}", "-n", "KVESP",
          image_path, str(fs_mib * 1024)])
    volume = f"{image_path}@@{ESP_START_MIB << 20}"
    _run(["mmd", "-i", volume, "::/EFI", "::/EFI/BOOT"])
    _run(["mcopy", "-i", volume, efi_path, "::/EFI/BOOT/BOOTX64.EFI"])
    for target, source in (files or {}).items():
        parts = target.strip("/").split("/")
        for depth in range(1, len(parts)):
            folder = "::/" + "/".join(parts[:depth])
            probe = subprocess.run(["mdir", "-i", volume, folder], capture_output=True,
                                   env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
            if probe.returncode != 0:
                _run(["mmd", "-i", volume, folder])
        _run(["mcopy", "-o", "-i", volume, source, "::/" + "/".join(parts)])
    return image_path


class TextScreen:
    """The screen a terminal on the serial port shows, rebuilt from the bytes
    the firmware's console sends: cells with their characters and colours.

    Without pyte only the text is kept, with the escape sequences removed
    and no idea of positions: find and text still work on it, rows and
    colours do not (has_cells is False)."""

    def __init__(self, columns=SCREEN_COLUMNS, rows=SCREEN_ROWS):
        self.has_cells = pyte is not None
        self._held = b""
        if self.has_cells:
            self._screen = pyte.Screen(columns, rows)
            self._stream = pyte.ByteStream(self._screen)
        else:
            self._plain = bytearray()

    def feed(self, data):
        data = self._held + data
        # An escape sequence cut by the end of the chunk waits for the rest.
        cut = data.rfind(b"\x1b", max(0, len(data) - 32))
        if cut >= 0 and not _ESCAPES.match(data, cut) and not _MODE_SEQUENCE.match(data, cut):
            data, self._held = data[:cut], data[cut:]
        else:
            self._held = b""
        data = _MODE_SEQUENCE.sub(b"", data)
        if self.has_cells:
            self._stream.feed(data)
        else:
            self._plain += _ESCAPES.sub(b"", data)

    def lines(self):
        """The rows as texts without trailing blanks."""
        if self.has_cells:
            return [line.rstrip() for line in self._screen.display]
        return self._plain.decode("utf-8", "replace").replace("\r", "").split("\n")

    def text(self):
        lines = self.lines()
        while lines and not lines[-1]:
            lines.pop()
        return "\n".join(lines)

    def find(self, text):
        """(row, column) of the first place the text or regex shows, or None."""
        for row, line in enumerate(self.lines()):
            if isinstance(text, str):
                column = line.find(text)
                if column >= 0:
                    return row, column
            else:
                match = text.search(line)
                if match:
                    return row, match.start()
        return None

    def cursor(self):
        """(row, column) of the terminal's cursor."""
        if not self.has_cells:
            raise HarnessError("the cursor position needs python3-pyte")
        return self._screen.cursor.y, self._screen.cursor.x

    def colours(self, row, column):
        """(foreground, background) of one cell as pyte names them: "black",
        "blue", "cyan", "white" (light gray; bright white has bold set) and
        so on; the foreground is prefixed "bright " when bold."""
        if not self.has_cells:
            raise HarnessError("cell colours need python3-pyte")
        cell = self._screen.buffer[row][column]
        return ("bright " if cell.bold else "") + cell.fg, cell.bg


class Drive:
    """A raw disk image attached to the guest.

    interface is "virtio" (virtio-blk), "ahci" (a SATA port of the q35
    chipset's controller) or "nvme" (an NVMe controller with one namespace).
    block_size (512 or 4096) is the logical and physical block size the disk
    reports; SATA disks have 512-byte blocks only. Only virtio disks can be
    read-only: QEMU refuses a write-protected SATA disk.
    """

    def __init__(self, path, interface="virtio", read_only=False, block_size=512, blkdebug=None):
        if interface not in ("virtio", "ahci", "nvme"):
            raise HarnessError(f"unknown drive interface {interface!r}")
        if read_only and interface != "virtio":
            raise HarnessError("a read-only drive must be a virtio disk")
        if block_size not in (512, 4096):
            raise HarnessError(f"unsupported block size {block_size}")
        if block_size != 512 and interface == "ahci":
            raise HarnessError("a SATA disk has 512-byte blocks")
        self.path = path
        self.interface = interface
        self.read_only = read_only
        self.block_size = block_size
        # A blkdebug rule file: QEMU itself injects the faults it names.
        self.blkdebug = blkdebug


def blkdebug_fail_write(path, nth):
    """Writes a blkdebug rule file that fails the nth write request with
    EIO, and every later one, as a disk that died or lost power would."""
    rules = []
    for state in range(1, nth):
        rules.append(f'[set-state]\nevent = "write_aio"\nstate = "{state}"\n'
                     f'new_state = "{state + 1}"\n')
    rules.append(f'[inject-error]\nevent = "write_aio"\nstate = "{nth}"\nerrno = "5"\n')
    with open(path, "w") as f:
        f.write("\n".join(rules))
    return path


def boot(efi_path, drives=(), **options):
    """Starts a Machine; the caller closes it (or uses it in a with-block)."""
    return Machine(efi_path, drives, **options).start()


class Machine:
    """One QEMU with OVMF, the ESP built from efi_path, and the drives.

    vga=False leaves the machine without a graphics device: the firmware
    console is then the serial port alone, so the program runs its text
    front end there. boot_index=True gives the ESP boot index 0, with which
    OVMF connects that disk alone and the drives get no Block I/O; with
    False the ESP sits in the first PCI slot after the host bridge's own
    devices and the drives in the slots after it, so OVMF connects them all
    and still boots the ESP first.

    boot_image is a finished disk image to boot instead of an ESP built
    from efi_path (which may then be None); boot_bus="usb" attaches the
    boot disk as a USB stick (an xHCI controller in the ESP's slot with a
    USB mass-storage device) instead of a virtio disk; "cd" makes it a CD
    drive on the SATA controller and "scsi-cd" one on virtio-SCSI, each with
    boot_image as its disc. secure_boot=True
    boots the firmware that enforces Secure Boot with the test key enrolled
    (TEST_KEY, TEST_CERT). timing_sensitive=False lets the machine run on
    KVM when a probe shows that KVM works here (qemu_accel); a test whose
    keys or waits are tuned to TCG's pace keeps TCG.
    """

    ESP_SLOT = 0x2

    def __init__(self, efi_path, drives=(), timeout=60, memory_mib=256, esp_files=None,
                 display=False, extra_args=(), vga=True, boot_index=True, boot_image=None,
                 boot_bus="virtio", secure_boot=False, timing_sensitive=True):
        if boot_bus not in ("virtio", "usb", "cd", "scsi-cd"):
            raise HarnessError(f"unknown boot bus {boot_bus!r}")
        self.ovmf_code = OVMF_CODE_SECURE if secure_boot else OVMF_CODE
        self.ovmf_vars = OVMF_VARS_SECURE if secure_boot else OVMF_VARS
        for needed in (boot_image or efi_path, self.ovmf_code, self.ovmf_vars):
            if not os.path.isfile(needed):
                raise HarnessError(f"missing {needed}")
        if shutil.which("qemu-system-x86_64") is None:
            raise HarnessError("qemu-system-x86_64 is not installed")
        self.efi_path = efi_path
        self.drives = list(drives)
        self.timeout = timeout
        self.memory_mib = memory_mib
        self.esp_files = esp_files
        self.display = display
        self.extra_args = list(extra_args)
        self.vga = vga
        self.boot_index = boot_index
        self.boot_image = boot_image
        self.boot_bus = boot_bus
        self.secure_boot = secure_boot
        self.timing_sensitive = timing_sensitive
        self.accel = "tcg"
        self.workdir = None
        self.esp_path = None
        self.qmp_path = None
        self.proc = None
        self.started_at = None
        self._serial = bytearray()
        self._serial_cond = threading.Condition()
        self._last_output = 0.0
        self._reader = None
        self._watchdog = None
        self._qmp = None
        self._qmp_file = None
        self._screen = None
        self._screen_begin = -1
        self._screen_fed = 0

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _command_line(self):
        args = [
            "qemu-system-x86_64", "-machine", f"q35,accel={self.accel}{self._machine_options()}",
            "-m", str(self.memory_mib), "-nodefaults", "-no-reboot", "-net", "none",
            *self._firmware_args(),
            "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={self.ovmf_code}",
            "-drive", f"if=pflash,format=raw,unit=1,file={os.path.join(self.workdir, 'vars.fd')}",
            "-serial", "stdio", "-monitor", "none",
            "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            "-drive", f"file={self.esp_path},format=raw,if=none,id=esp{self._boot_media()}",
        ]
        args += ["-device", "VGA"] if self.vga else ["-vga", "none"]
        boot = ",bootindex=0" if self.boot_index else ""
        if self.boot_bus == "usb":
            place = "" if self.boot_index else f",addr={self.ESP_SLOT:#x}"
            args += ["-device", f"qemu-xhci,id=kvxhci{place}",
                     "-device", f"usb-storage,drive=esp,bus=kvxhci.0{boot}"]
        elif self.boot_bus == "cd":
            # The last port of the chipset's SATA controller, clear of the
            # drives' ports.
            args += ["-device", f"ide-cd,drive=esp,bus=ide.5{boot}"]
        elif self.boot_bus == "scsi-cd":
            place = "" if self.boot_index else f",addr={self.ESP_SLOT:#x}"
            args += ["-device", f"virtio-scsi-pci,id=kvscsi{place}",
                     "-device", f"scsi-cd,drive=esp,bus=kvscsi.0{boot}"]
        elif self.boot_index:
            args += ["-device", f"virtio-blk-pci,drive=esp{boot}"]
        else:
            args += ["-device", f"virtio-blk-pci,drive=esp,addr={self.ESP_SLOT:#x}"]
        args += ["-display", "gtk" if self.display else "none"]
        ahci_port = 0
        slot = self.ESP_SLOT + 1
        for index, drive in enumerate(self.drives):
            ident = f"disk{index}"
            plan = f"file={drive.path},format=raw,if=none,id={ident}"
            if drive.blkdebug is not None:
                plan = (f"file.driver=blkdebug,file.config={drive.blkdebug},"
                        f"file.image.filename={drive.path},format=raw,if=none,id={ident}"
                        ",werror=report")
            if drive.read_only:
                plan += ",readonly=on"
            args += ["-drive", plan]
            place = "" if self.boot_index else f",addr={slot:#x}"
            sizes = (f",logical_block_size={drive.block_size}"
                     f",physical_block_size={drive.block_size}")
            if drive.interface == "virtio":
                args += ["-device", f"virtio-blk-pci,drive={ident}{place}{sizes}"]
                slot += 1
            elif drive.interface == "nvme":
                args += ["-device", f"nvme,drive={ident},serial=kv{ident}{place}{sizes}"]
                slot += 1
            else:
                args += ["-device", f"ide-hd,drive={ident},bus=ide.{ahci_port}"]
                ahci_port += 1
        return args + self.extra_args

    def _boot_media(self):
        return ",media=cdrom,readonly=on" if self.boot_bus in ("cd", "scsi-cd") else ""

    def _machine_options(self):
        # The firmware keeps its Secure Boot variables in flash that only
        # system management mode may write.
        return ",smm=on" if self.secure_boot else ""

    def _firmware_args(self):
        if not self.secure_boot:
            return []
        return ["-global", "driver=cfi.pflash01,property=secure,value=on"]

    def start(self):
        """Builds the ESP and starts QEMU; returns the machine."""
        if not self.timing_sensitive:
            self.accel, line = qemu_accel.choose(self._machine_options(), self.ovmf_code,
                                                 self.ovmf_vars, self._firmware_args())
            print(line)
        self.workdir = tempfile.mkdtemp(prefix="kvqemu-")
        try:
            shutil.copyfile(self.ovmf_vars, os.path.join(self.workdir, "vars.fd"))
            if self.boot_image is not None:
                self.esp_path = self.boot_image
            else:
                self.esp_path = make_esp(self.efi_path, os.path.join(self.workdir, "esp.img"),
                                         files=self.esp_files)
            self.qmp_path = os.path.join(self.workdir, "qmp.sock")
            self.started_at = time.monotonic()
            self.proc = subprocess.Popen(self._command_line(), stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                         preexec_fn=_die_with_parent)
        except BaseException:
            shutil.rmtree(self.workdir, ignore_errors=True)
            raise
        self._reader = threading.Thread(target=self._read_serial, daemon=True)
        self._reader.start()
        self._watchdog = threading.Timer(self.timeout, self._kill)
        self._watchdog.daemon = True
        self._watchdog.start()
        return self

    def _read_serial(self):
        fd = self.proc.stdout.fileno()
        while True:
            chunk = os.read(fd, 4096)
            with self._serial_cond:
                if not chunk:
                    self._serial_cond.notify_all()
                    return
                self._serial += chunk
                self._last_output = time.monotonic()
                self._serial_cond.notify_all()

    def _kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()

    def elapsed(self):
        return time.monotonic() - self.started_at

    def _remaining(self, timeout):
        return self.timeout - self.elapsed() if timeout is None else timeout

    def mark(self):
        """A place in the serial output: wait_for(..., since=mark) looks only
        at what came after it."""
        with self._serial_cond:
            return len(self._serial)

    def serial_text(self, since=0):
        """Everything the guest printed so far, without terminal escapes."""
        with self._serial_cond:
            raw = bytes(self._serial[since:])
        return _ESCAPES.sub(b"", raw).decode("utf-8", "replace")

    def serial_bytes(self, since=0):
        """Everything the guest sent so far, exactly as it arrived."""
        with self._serial_cond:
            return bytes(self._serial[since:])

    def _wait(self, probe, what, timeout, settle=0.0):
        """Calls probe whenever serial output arrives until it returns
        something other than None, taken only once the output has been quiet
        for settle seconds; raises HarnessError on time-out or when QEMU has
        gone."""
        limit = self._remaining(timeout)
        deadline = time.monotonic() + limit
        while True:
            with self._serial_cond:
                quiet = time.monotonic() - self._last_output
            if quiet >= settle:
                found = probe()
                if found is not None:
                    return found
            with self._serial_cond:
                remaining = deadline - time.monotonic()
                exited = self.proc.poll() is not None and not self._reader.is_alive()
                if remaining <= 0 or exited:
                    break
                pause = 0.5 if quiet >= settle else settle - quiet
                self._serial_cond.wait(min(remaining, pause))
        found = probe()
        if found is not None:
            return found
        why = "QEMU exited" if self.proc.poll() is not None else f"no match in {limit:.0f} s"
        raise HarnessError(f"waiting for {what}: {why}; {self._evidence()}")

    def _evidence(self):
        screen = self.screen()
        if screen is not None and screen.has_cells:
            return "the screen shows:\n" + screen.text()
        return "serial output ends with:\n" + self.serial_text()[-2000:]

    def wait_for(self, text, timeout=None, since=0):
        """Blocks until text (a string or compiled regex) appears on the serial
        console; returns the serial text up to and including the match.
        Raises HarnessError with the tail of the output on time-out or exit."""
        return self._wait(lambda: self._find(text, since), repr(text), timeout)

    def _find(self, text, since=0):
        clean = self.serial_text(since)
        if isinstance(text, str):
            at = clean.find(text)
            return None if at < 0 else clean[:at + len(text)]
        match = text.search(clean)
        return None if match is None else clean[:match.end()]

    def screen(self):
        """The screen of the image the firmware started last, as a terminal
        on the serial port shows it now; None before any image started."""
        with self._serial_cond:
            starts = list(_IMAGE_START.finditer(self._serial, max(self._screen_begin, 0)))
            if starts and starts[-1].end() != self._screen_begin:
                self._screen = TextScreen()
                self._screen_begin = self._screen_fed = starts[-1].end()
            if self._screen is None:
                return None
            fresh = bytes(self._serial[self._screen_fed:])
            self._screen_fed = len(self._serial)
        self._screen.feed(fresh)
        return self._screen

    def wait_for_screen(self, text, timeout=30, settle=SETTLE_SECONDS):
        """Blocks until the rebuilt screen, drawn to the end (no output for
        settle seconds), shows text (a string or a regex matched line by
        line) and returns the screen."""
        def probe():
            screen = self.screen()
            return screen if screen is not None and screen.find(text) is not None else None
        return self._wait(probe, f"{text!r} on the screen", timeout, settle)

    def wait_until(self, condition, what, timeout=30, settle=SETTLE_SECONDS):
        """Blocks until condition(screen) is true of a drawn screen and
        returns the screen."""
        def probe():
            screen = self.screen()
            return screen if screen is not None and condition(screen) else None
        return self._wait(probe, what, timeout, settle)

    def send_serial(self, data):
        """Types into the firmware console through the serial port."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def serial_key(self, name):
        """Sends one key with no character (SERIAL_KEYS) through the serial
        terminal."""
        if name not in SERIAL_KEYS:
            raise HarnessError(f"no serial sequence for {name!r}")
        self.send_serial(SERIAL_KEYS[name])

    def qmp(self, command, **arguments):
        """Runs one QMP command and returns its result."""
        if self._qmp is None:
            self._qmp_connect()
        request = {"execute": command}
        if arguments:
            request["arguments"] = arguments
        self._qmp.sendall(json.dumps(request).encode() + b"\n")
        return self._qmp_reply()

    def _qmp_connect(self):
        deadline = time.monotonic() + 10
        while True:
            sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                sock.connect(self.qmp_path)
                break
            except OSError:
                sock.close()
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    raise HarnessError("QMP socket did not come up")
                time.sleep(0.1)
        # A QEMU that stops answering must not hold a test past its deadline.
        sock.settimeout(30)
        self._qmp = sock
        self._qmp_file = sock.makefile("rb")
        json.loads(self._qmp_file.readline())  # greeting
        self._qmp.sendall(b'{"execute": "qmp_capabilities"}\n')
        self._qmp_reply()

    def _qmp_reply(self):
        while True:
            try:
                line = self._qmp_file.readline()
            except OSError as error:
                raise HarnessError(f"QMP did not answer: {error}")
            if not line:
                raise HarnessError("QMP connection closed")
            message = json.loads(line)
            if "event" in message:
                continue
            if "error" in message:
                raise HarnessError(f"QMP error: {message['error']}")
            return message.get("return")

    def send_keys(self, *keys, hold_ms=50, spacing=0.05):
        """Presses keys on the emulated keyboard one after another. Each key is
        a QEMU key code name ("a", "ret", "esc", "up") or a chord joined by
        "-" ("ctrl-c")."""
        for key in keys:
            codes = [{"type": "qcode", "data": name} for name in key.split("-")]
            self.qmp("send-key", keys=codes, **{"hold-time": hold_ms})
            time.sleep(spacing)

    def press(self, *keys, spacing=KEY_SPACING):
        """Presses keys by name: QEMU key names and chords as for send_keys,
        the spellings "enter", "escape", "pageup", "pagedown", "space", and
        single characters (so "Q" is shift-q and ":" is shift-semicolon)."""
        self.send_keys(*(key_code(key) for key in keys), spacing=spacing)

    def type_text(self, text, spacing=KEY_SPACING):
        """Types a text character by character on the emulated keyboard."""
        self.send_keys(*(key_code(ch) for ch in text), spacing=spacing)

    def quit(self):
        """Ends QEMU (politely first, so that the guest's last disk writes
        reach the images) but keeps the work directory, so that the ESP
        image can still be read."""
        if self._watchdog is not None:
            self._watchdog.cancel()
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self.qmp("quit")
            except (HarnessError, OSError, ValueError):
                pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        if self._reader is not None:
            self._reader.join(timeout=5)
            self._reader = None
            self.proc.stdout.close()
        if self._qmp is not None:
            self._qmp_file.close()
            self._qmp.close()
            self._qmp = None

    def close(self):
        self.quit()
        if self.workdir is not None:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None


def key_code(key):
    """The QEMU key code (or chord) for a key name or a single character."""
    if len(key) == 1:
        if "a" <= key <= "z" or "0" <= key <= "9":
            return key
        if "A" <= key <= "Z":
            return "shift-" + key.lower()
        if key in _CHARACTER_KEYS:
            return _CHARACTER_KEYS[key]
        raise HarnessError(f"no key types {key!r}")
    return _KEY_ALIASES.get(key.lower(), key)


# The text front end, read from a rebuilt screen.

_DISK_LINE = re.compile(r"^  (blk\d+) +(\S+) +(\d+(?:\.\d)? (?:B|KiB|MiB|GiB|TiB|PiB)) +"
                        r"(GPT|MBR|no table|unreadable)(?: +(\d+) partitions?)?(?: +(\S.*))?$")


class ListedDisk:
    """One line of the disk list."""

    def __init__(self, match, row, selected):
        self.name, self.kind, self.size, self.table = match[1], match[2], match[3], match[4]
        self.partitions = None if match[5] is None else int(match[5])
        self.state = match[6] or ""
        self.row = row
        self.selected = selected

    def __repr__(self):
        return (f"{self.name} {self.kind} {self.size} {self.table} "
                f"partitions={self.partitions} state={self.state!r}")


def disk_list(screen):
    """The disks the disk list shows, top to bottom; selected is known only
    when the screen has cell colours (the selected line is on cyan)."""
    found = []
    for row, line in enumerate(screen.lines()):
        match = _DISK_LINE.match(line)
        if match:
            selected = screen.has_cells and screen.colours(row, 0)[1] == "cyan"
            found.append(ListedDisk(match, row, selected))
    return found


def frame_complete(screen):
    """Whether a whole screen (not a dialog) of the text front end is drawn
    to its end: each frame draws its key bars last, on the bottom rows, and
    leaves the cursor there. A pause in the output alone does not tell, as
    a busy host can stall the guest in the middle of a frame."""
    lines = screen.lines()
    last = max((row for row, line in enumerate(lines) if line.strip()), default=-1)
    return last >= 0 and screen.cursor()[0] == last


def wait_for_frame(vm, text, timeout=30):
    """Waits for a whole screen that shows text (a string or a regex)."""
    return vm.wait_until(lambda s: s.find(text) is not None and frame_complete(s),
                         f"a whole screen showing {text!r}", timeout)


def select_disk(vm, name, timeout=30):
    """Moves the disk list's selection to the named disk (Home, then Down as
    often as needed) and waits until the screen shows it selected."""
    screen = wait_for_frame(vm, "Select a disk", timeout)
    names = [disk.name for disk in disk_list(screen)]
    if name not in names:
        raise HarnessError(f"{name} is not in the disk list:\n{screen.text()}")
    vm.press("home", *["down"] * names.index(name))
    vm.wait_until(lambda s: frame_complete(s) and
                  any(d.selected and d.name == name for d in disk_list(s)),
                  f"{name} selected in the disk list", timeout)


def choose(vm, index, item, timeout=30):
    """Picks entry index of the choice list on screen, whose text is item:
    Home, Down index times, a check that the entry is the highlighted one
    (white on blue), Enter."""
    vm.wait_for_screen(item, timeout)
    vm.press("home", *["down"] * index)

    def highlighted(screen):
        for row, line in enumerate(screen.lines()):
            # The box pads its entries with blanks, so an entry is followed by
            # two of them, unlike a longer entry that starts with the same word.
            column = (line + "  ").find(f"  {item}  ")
            if column >= 0 and screen.colours(row, column + 2)[1] == "blue":
                return True
        return False

    if vm.screen().has_cells:
        vm.wait_until(highlighted, f"{item!r} highlighted in the choice list", timeout)
    vm.press("ret")


def file_digest(path):
    with open(path, "rb") as image:
        return hashlib.sha256(image.read()).hexdigest()


def listed(disks, kind, size):
    """The one listed disk of that bus label and size."""
    matches = [d for d in disks if d.kind == kind and d.size == size]
    if len(matches) != 1:
        raise HarnessError(f"{len(matches)} disks listed as {kind} {size}: {disks}")
    return matches[0]


def open_listed_disk(vm, disk):
    """Selects the disk on the disk list and opens it; returns once its
    partition screen is complete."""
    select_disk(vm, disk.name)
    vm.press("ret")
    return wait_for_frame(vm, f"{BANNER}   {disk.name}  {disk.kind}  {disk.size}  "
                              f"{disk.table}")


def quit_to_firmware(vm):
    """Q on the disk list: waits until the firmware's boot manager takes over
    again, which shows the program returned."""
    end = vm.mark()
    vm.press("q")
    vm.wait_for(re.compile(r"BdsDxe: \w+"), timeout=30, since=end)


def text_scenario_main(body, missing=(), errors=()):
    """The main of a scenario on the text front end: one argument (the
    korvane.efi to boot), python3-pyte and the peer tools named in missing
    present, then body(efi_path), which returns a list of problems. Prints
    each problem, or the error that ended the run (HarnessError, a timed-out
    tool, or one of errors), and the time taken; returns the exit status:
    0 without problems, 1 with any, 2 for a wrong command line."""
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} KORVANE_EFI", file=sys.stderr)
        return 2
    if pyte is None:
        print("FAIL: python3-pyte is missing (tools/deps.sh installs it)", file=sys.stderr)
        return 1
    if missing:
        print(f"FAIL: missing {', '.join(missing)}", file=sys.stderr)
        return 1
    began = time.monotonic()
    try:
        problems = body(sys.argv[1])
    except (HarnessError, subprocess.TimeoutExpired, *errors) as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    print(f"done in {time.monotonic() - began:.1f} s")
    return 1 if problems else 0
