#!/usr/bin/env python3
"""Picks QEMU's accelerator: KVM only when it has just been seen running a
guest, otherwise TCG.

A /dev/kvm that opens is no proof that KVM works. Under nested
virtualisation QEMU can initialise KVM and then stop the guest at its first
instructions ("KVM internal error. Suberror: 1 ... emulation failure"), and
accel=kvm:tcg does not fall back then, because KVM started. So the probe
boots the same firmware on the same machine type with the candidate
accelerator and takes it only when the firmware's boot manager reports on
the serial port within a few seconds.

KV_ACCEL=tcg skips the probe; KV_ACCEL=NAME probes NAME instead of kvm (an
accelerator that cannot work here shows the fallback).

    python3 tests/scripts/qemu_accel.py    # prints the accelerator; the
                                           # reason goes to standard error
"""

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"

# OVMF with KVM reaches its boot manager in one to two seconds.
PROBE_SECONDS = 8

# The boot manager's first report: the firmware ran from the reset vector
# through to device selection.
_REACHED = re.compile(rb"BdsDxe: ")

# QEMU may keep running, with the guest stopped, after it prints one of
# these; the probe reports the whole line once it has ended.
_KVM_FAILED = re.compile(rb"[^\r\n]*(?:KVM internal error|failed to set MSR)[^\r\n]*[\r\n]")


def _die_with_parent():
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def probe(accel, seconds=PROBE_SECONDS, code=OVMF_CODE, vars_template=OVMF_VARS,
          machine_options="", extra_args=()):
    """Boots the firmware without disks under accel; returns None when it
    reached its boot manager in time, else why not (one line)."""
    with tempfile.TemporaryDirectory(prefix="kvprobe-") as workdir:
        variables = os.path.join(workdir, "vars.fd")
        shutil.copyfile(vars_template, variables)
        argv = ["qemu-system-x86_64", "-machine", f"q35,accel={accel}{machine_options}",
                "-m", "256", "-nodefaults", "-no-reboot", "-net", "none", "-display", "none",
                "-vga", "none", "-serial", "stdio", "-monitor", "none",
                "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={code}",
                "-drive", f"if=pflash,format=raw,unit=1,file={variables}", *extra_args]
        try:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        except OSError as error:
            return f"QEMU did not start: {error}"
        output = bytearray()
        deadline = time.monotonic() + seconds
        try:
            os.set_blocking(proc.stdout.fileno(), False)
            while True:
                if _REACHED.search(output):
                    return None
                failed = _KVM_FAILED.search(output)
                if failed:
                    return failed[0].decode("utf-8", "replace").strip()
                if proc.poll() is not None:
                    output += proc.stdout.read() or b""
                    if _REACHED.search(output):
                        return None
                    last = [line for line in output.decode("utf-8", "replace").splitlines()
                            if line.strip()]
                    return last[-1].strip() if last else f"QEMU exited ({proc.returncode})"
                if time.monotonic() >= deadline:
                    return f"no firmware output in {seconds} s"
                time.sleep(0.05)
                chunk = proc.stdout.read()
                if chunk:
                    output += chunk
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            proc.stdout.close()


def choose(machine_options="", code=OVMF_CODE, vars_template=OVMF_VARS, extra_args=()):
    """(accelerator, one line saying which and why) for a machine with this
    firmware and these q35 options."""
    wanted = os.environ.get("KV_ACCEL", "").strip() or "kvm"
    if wanted == "tcg":
        return "tcg", "QEMU runs on TCG (KV_ACCEL=tcg)"
    if wanted == "kvm" and not os.path.exists("/dev/kvm"):
        return "tcg", "QEMU runs on TCG: there is no /dev/kvm"
    started = time.monotonic()
    failure = probe(wanted, code=code, vars_template=vars_template,
                    machine_options=machine_options, extra_args=extra_args)
    if failure is not None:
        return "tcg", f"QEMU runs on TCG: the {wanted.upper()} probe failed ({failure})"
    return wanted, (f"QEMU runs on {wanted.upper()}: a probe guest reached the firmware's "
                    f"boot manager in {time.monotonic() - started:.1f} s")


def main():
    accel, line = choose()
    print(line, file=sys.stderr)
    print(accel)
    return 0


if __name__ == "__main__":
    sys.exit(main())
