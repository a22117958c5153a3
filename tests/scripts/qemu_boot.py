#!/usr/bin/env python3
"""Smoke test on real firmware: OVMF loads korvane.efi from the removable-media
path of an ESP and the program's banner reaches the serial console."""

import os
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qemu_harness  # noqa: E402

BANNER = "Korvane 0.2.1"


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} KORVANE_EFI", file=sys.stderr)
        return 2
    try:
        with qemu_harness.Machine(sys.argv[1], timeout=60, timing_sensitive=False) as vm:
            vm.wait_for(BANNER)
            print(f"banner after {vm.elapsed():.1f} s")
    except qemu_harness.HarnessError as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
