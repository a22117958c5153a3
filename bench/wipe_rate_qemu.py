#!/usr/bin/env python3
"""The wipe's rate on real firmware: boots kvwipebench.efi in QEMU with OVMF
(TCG unless KV_ACCEL says otherwise) with one blank disk on each of virtio,
AHCI and NVMe in turn, and prints the program's figures and, per interface,
the spread over its rounds. A benchmark, not a test: nothing is judged.

    bench/wipe_rate_qemu.py build/uefi/kvwipebench.efi [--disk-mib 1024]
        [--boots 1] [--interfaces virtio,ahci,nvme]

Each boot runs three rounds (plain writes, the wipe, and the wipe through
the disk's own write, without the queue); every ratio is of two rates of
the same round. The disk images are sparse files in /dev/shm where it exists (else
TMPDIR), so that the host's own disk does not take part.
"""

import argparse
import os
import re
import sys
import tempfile

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "scripts"))
import qemu_harness  # noqa: E402
from qemu_harness import Drive, HarnessError  # noqa: E402

MiB = 1 << 20
NUMBER = r"([0-9.]+)"
ROUND = re.compile(r"kvwipebench round (\d+) plain {0} MB/s, wipe pass 1 {0} MB/s, pass 2 {0} "
                   r"MB/s, pass1/pass2 {0}, pass2/plain {0}, random {0} MB/s, pass1/random {0}, "
                   r"copy {0} MB/s, pass 1 waiting {0}, generating in pass 1 {0} MB/s, outside the "
                   r"passes {0} ms"
                   .format(NUMBER))
SINGLE = re.compile(r"kvwipebench round (\d+) single pass 1 {0} MB/s, pass 2 {0} MB/s, "
                    r"queued/single pass 1 {0}, pass 2 {0}, single pass2/plain {0}"
                    .format(NUMBER))
ROUND_FIELDS = ("plain MB/s", "pass 1 MB/s", "pass 2 MB/s", "pass1/pass2", "pass2/plain",
                "random MB/s", "pass1/random", "copy MB/s", "pass 1 waiting",
                "generating in pass 1 MB/s", "outside passes ms")
SINGLE_FIELDS = ("single pass 1 MB/s", "single pass 2 MB/s", "queued/single pass 1",
                 "queued/single pass 2", "single pass2/plain")


def run_boot(efi, interface, disk_mib, workdir, boot):
    image = os.path.join(workdir, f"{interface}-{boot}.img")
    with open(image, "wb") as f:
        f.truncate(disk_mib * MiB)
    # Three rounds of up to 512 MiB plain, 1 GiB wipe and 1 GiB wipe without
    # the queue, at TCG's pace.
    with qemu_harness.Machine(efi, [Drive(image, interface)], timeout=1800, vga=False,
                              boot_index=False, memory_mib=512) as vm:
        text = vm.wait_for(re.compile(r"kvwipebench (done|no writable disk|the disk is too "
                                      r"small|a write failed)"), timeout=1790)
        vm.quit()
    os.unlink(image)
    lines = [line.strip() for line in text.splitlines() if line.strip().startswith("kvwipebench")]
    if not lines or not lines[-1].endswith("done"):
        raise HarnessError(f"{interface}: {lines[-1] if lines else 'no output'}")
    return lines


def spread(values):
    return f"{min(values):.3f} .. {max(values):.3f}" if values else "-"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("efi")
    parser.add_argument("--disk-mib", type=int, default=1024)
    parser.add_argument("--boots", type=int, default=1)
    parser.add_argument("--interfaces", default="virtio,ahci,nvme")
    args = parser.parse_args()
    summary = {}
    where = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(prefix="kvwipebench-", dir=where) as work:
        for interface in args.interfaces.split(","):
            figures = {}
            for boot in range(args.boots):
                print(f"== {interface}, boot {boot + 1}", flush=True)
                for line in run_boot(args.efi, interface, args.disk_mib, work, boot):
                    print(line, flush=True)
                    for pattern, fields in ((ROUND, ROUND_FIELDS), (SINGLE, SINGLE_FIELDS)):
                        match = pattern.fullmatch(line)
                        if match:
                            for name, value in zip(fields, match.groups()[1:]):
                                figures.setdefault(name, []).append(float(value))
            summary[interface] = figures
    print("\nspread over all rounds (min .. max)")
    for interface, figures in summary.items():
        print(f"{interface}:")
        for name in ROUND_FIELDS + SINGLE_FIELDS:
            if name in figures:
                print(f"  {name:22} {spread(figures[name])}  ({len(figures[name])} rounds)")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except HarnessError as e:
        print(f"wipe_rate_qemu: {e}", file=sys.stderr)
        sys.exit(1)
