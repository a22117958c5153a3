"""Runs korvane.efi on real firmware: QEMU (TCG) with OVMF.

A Machine owns one temporary directory and exactly one QEMU process. Closing
it, leaving its with-block or passing its hard deadline ends that process by
its own id and removes the directory, so a hung guest cannot outlive a test.

    with Machine(efi, drives=[Drive("disk.img")]) as vm:
        vm.wait_for("Korvane 0.2.1")
        vm.send_keys("esc")

The serial port is the firmware console in both directions: wait_for reads
what the program prints and send_serial types into it. Keys can also go in
through the emulated keyboard over QMP (send_keys).
"""

import json
import os
import re
import shutil
import socket
import subprocess
import tempfile
import threading
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"
ESP_TYPE_GUID = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
ESP_START_MIB = 1

# Terminal control sequences the firmware's console driver mixes into the
# text: CSI sequences (colours, cursor moves) and character-set selection.
_ESCAPES = re.compile(rb"\x1b\[[0-9;?=<>]*[ -/]*[@-~]|\x1b[()][0-9A-Za-z]|\x1b[=>78c]")


class HarnessError(Exception):
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


class Drive:
    """A raw disk image attached to the guest.

    interface is "virtio" (virtio-blk) or "ahci" (a SATA port of the q35
    chipset's controller). Only virtio disks can be read-only: QEMU refuses a
    write-protected SATA disk.
    """

    def __init__(self, path, interface="virtio", read_only=False):
        if interface not in ("virtio", "ahci"):
            raise HarnessError(f"unknown drive interface {interface!r}")
        if read_only and interface != "virtio":
            raise HarnessError("a read-only drive must be a virtio disk")
        self.path = path
        self.interface = interface
        self.read_only = read_only


def boot(efi_path, drives=(), **options):
    """Starts a Machine; the caller closes it (or uses it in a with-block)."""
    return Machine(efi_path, drives, **options).start()


class Machine:
    def __init__(self, efi_path, drives=(), timeout=60, memory_mib=256, esp_files=None,
                 display=False, extra_args=()):
        for needed in (efi_path, OVMF_CODE, OVMF_VARS):
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
        self.workdir = None
        self.esp_path = None
        self.qmp_path = None
        self.proc = None
        self.started_at = None
        self._serial = bytearray()
        self._serial_cond = threading.Condition()
        self._reader = None
        self._watchdog = None
        self._qmp = None
        self._qmp_file = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _command_line(self):
        args = [
            "qemu-system-x86_64", "-machine", "q35,accel=tcg", "-m", str(self.memory_mib),
            "-nodefaults", "-no-reboot", "-net", "none", "-device", "VGA",
            "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={OVMF_CODE}",
            "-drive", f"if=pflash,format=raw,unit=1,file={os.path.join(self.workdir, 'vars.fd')}",
            "-serial", "stdio", "-monitor", "none",
            "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
            "-drive", f"file={self.esp_path},format=raw,if=none,id=esp",
            "-device", "virtio-blk-pci,drive=esp,bootindex=0",
        ]
        args += ["-display", "gtk" if self.display else "none"]
        ahci_port = 0
        for index, drive in enumerate(self.drives):
            ident = f"disk{index}"
            plan = f"file={drive.path},format=raw,if=none,id={ident}"
            if drive.read_only:
                plan += ",readonly=on"
            args += ["-drive", plan]
            if drive.interface == "virtio":
                args += ["-device", f"virtio-blk-pci,drive={ident}"]
            else:
                args += ["-device", f"ide-hd,drive={ident},bus=ide.{ahci_port}"]
                ahci_port += 1
        return args + self.extra_args

    def start(self):
        """Builds the ESP and starts QEMU; returns the machine."""
        self.workdir = tempfile.mkdtemp(prefix="kvqemu-")
        try:
            shutil.copyfile(OVMF_VARS, os.path.join(self.workdir, "vars.fd"))
            self.esp_path = make_esp(self.efi_path, os.path.join(self.workdir, "esp.img"),
                                     files=self.esp_files)
            self.qmp_path = os.path.join(self.workdir, "qmp.sock")
            self.started_at = time.monotonic()
            self.proc = subprocess.Popen(self._command_line(), stdin=subprocess.PIPE,
                                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
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
                self._serial_cond.notify_all()

    def _kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()

    def elapsed(self):
        return time.monotonic() - self.started_at

    def serial_text(self):
        """Everything the guest printed so far, without terminal escapes."""
        with self._serial_cond:
            raw = bytes(self._serial)
        return _ESCAPES.sub(b"", raw).decode("utf-8", "replace")

    def wait_for(self, text, timeout=None):
        """Blocks until text (a string or compiled regex) appears on the serial
        console; returns the serial text up to and including the match.
        Raises HarnessError with the tail of the output on time-out or exit."""
        limit = self.timeout - self.elapsed() if timeout is None else timeout
        deadline = time.monotonic() + limit
        while True:
            found = self._find(text)
            if found is not None:
                return found
            with self._serial_cond:
                remaining = deadline - time.monotonic()
                exited = self.proc.poll() is not None and not self._reader.is_alive()
                if remaining <= 0 or exited:
                    break
                self._serial_cond.wait(min(remaining, 0.5))
        why = "QEMU exited" if self.proc.poll() is not None else f"no match in {limit:.0f} s"
        tail = self.serial_text()[-2000:]
        raise HarnessError(f"waiting for {text!r}: {why}; serial output ends with:\n{tail}")

    def _find(self, text):
        clean = self.serial_text()
        if isinstance(text, str):
            at = clean.find(text)
            return None if at < 0 else clean[:at + len(text)]
        match = text.search(clean)
        return None if match is None else clean[:match.end()]

    def send_serial(self, data):
        """Types into the firmware console through the serial port."""
        if isinstance(data, str):
            data = data.encode("utf-8")
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

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
        self._qmp = sock
        self._qmp_file = sock.makefile("rb")
        json.loads(self._qmp_file.readline())  # greeting
        self._qmp.sendall(b'{"execute": "qmp_capabilities"}\n')
        self._qmp_reply()

    def _qmp_reply(self):
        while True:
            line = self._qmp_file.readline()
            if not line:
                raise HarnessError("QMP connection closed")
            message = json.loads(line)
            if "event" in message:
                continue
            if "error" in message:
                raise HarnessError(f"QMP error: {message['error']}")
            return message.get("return")

    def send_keys(self, *keys, hold_ms=50):
        """Presses keys on the emulated keyboard one after another. Each key is
        a QEMU key code name ("a", "ret", "esc", "up") or a chord joined by
        "-" ("ctrl-c")."""
        for key in keys:
            codes = [{"type": "qcode", "data": name} for name in key.split("-")]
            self.qmp("send-key", keys=codes, **{"hold-time": hold_ms})
            time.sleep(0.05)

    def close(self):
        if self._watchdog is not None:
            self._watchdog.cancel()
        if self.proc is not None:
            # A quit through QMP lets QEMU finish the guest's last disk writes;
            # the kill is for a QEMU that does not answer.
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
            self.proc.stdout.close()
        if self._qmp is not None:
            self._qmp_file.close()
            self._qmp.close()
            self._qmp = None
        if self.workdir is not None:
            shutil.rmtree(self.workdir, ignore_errors=True)
            self.workdir = None
