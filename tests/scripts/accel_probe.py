#!/usr/bin/env python3
"""The accelerator probe of qemu_accel, which run.sh and the QEMU tests
trust to keep them off a KVM that cannot run a guest.

With stand-ins for qemu-system-x86_64 on PATH:
- a QEMU that reports a KVM internal error and then keeps running with the
  guest stopped (as on a host with nested virtualisation) fails the probe
  with that error, not with the time-out;
- a QEMU that exits at once fails it with its last line;
- firmware that says nothing fails it when the time is up;
- firmware that reaches its boot manager passes it;
- choose() falls back to TCG with a line that says why.
With the real QEMU: OVMF on TCG passes the probe; an accelerator QEMU does
not know fails it.

    accel_probe.py
"""

import os
import stat
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qemu_accel

STAND_INS = {
    "kvm_stops": 'echo "KVM internal error. Suberror: 1" >&2; echo "emulation failure" >&2; '
                 "exec sleep 60",
    "exits": 'echo "qemu-system-x86_64: failed to set MSR 0x10a to 0x0" >&2; exit 1',
    "silent": "exec sleep 60",
    "boots": 'printf "\\033[2JBdsDxe: loading Boot0001\\r\\n"; exec sleep 60',
}


def stand_in_environment(workdir, body, base):
    """base with a qemu-system-x86_64 of that shell body first on PATH."""
    folder = os.path.join(workdir, body)
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "qemu-system-x86_64")
    with open(path, "w") as script:
        script.write(f"#!/bin/sh\n{STAND_INS[body]}\n")
    os.chmod(path, stat.S_IRWXU)
    return dict(base, PATH=folder + os.pathsep + base.get("PATH", os.defpath))


def main():
    problems = []
    saved = dict(os.environ)
    expected = {
        "kvm_stops": "KVM internal error. Suberror: 1",
        "exits": "qemu-system-x86_64: failed to set MSR 0x10a to 0x0",
        "silent": "no firmware output in 3 s",
        "boots": None,
    }
    with tempfile.TemporaryDirectory(prefix="kvaccel-") as workdir:
        try:
            for body, want in expected.items():
                os.environ.clear()
                os.environ.update(stand_in_environment(workdir, body, saved))
                got = qemu_accel.probe("kvm", seconds=3 if body == "silent" else 30)
                print(f"{body}: {got}")
                if got != want:
                    problems.append(f"a QEMU that {body}: probe says {got!r}, want {want!r}")
            # Not "kvm": that name would skip the probe on a host without /dev/kvm.
            os.environ.clear()
            os.environ.update(stand_in_environment(workdir, "kvm_stops", saved),
                              KV_ACCEL="stand-in")
            accel, line = qemu_accel.choose()
            print(line)
            if accel != "tcg" or "KVM internal error" not in line:
                problems.append(f"choose() on a stopping KVM gives {accel}, {line!r}")
        finally:
            os.environ.clear()
            os.environ.update(saved)

    got = qemu_accel.probe("tcg", seconds=90)
    print(f"OVMF on TCG: {got}")
    if got is not None:
        problems.append(f"OVMF on TCG fails the probe: {got}")
    got = qemu_accel.probe("no-such-accelerator", seconds=30)
    print(f"unknown accelerator: {got}")
    if got is None or "no-such-accelerator" not in got:
        problems.append(f"an unknown accelerator gives {got!r}")
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
