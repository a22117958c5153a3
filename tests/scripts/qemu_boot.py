#!/usr/bin/env python3
"""Smoke test on real firmware: OVMF loads korvane.efi from the removable-media
path of an ESP. With the standard VGA screen the graphical front end starts
and its first render reaches the serial console as screen trace lines;
without a graphics device the text front end's banner does."""

import os
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qemu_harness
from korvane_version import BANNER


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} KORVANE_EFI", file=sys.stderr)
        return 2
    try:
        with qemu_harness.Machine(sys.argv[1], timeout=60, timing_sensitive=False) as vm:
            vm.wait_for("gui: window 1280x800 font 20")
            vm.wait_for("gui: shown")
            print(f"graphical front end after {vm.elapsed():.1f} s")
        with qemu_harness.Machine(sys.argv[1], timeout=60, vga=False,
                                  timing_sensitive=False) as vm:
            vm.wait_for(BANNER)
            print(f"text banner after {vm.elapsed():.1f} s")
    except qemu_harness.HarnessError as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
