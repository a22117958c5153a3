#!/usr/bin/env python3
"""The font specimen on real firmware against the simulated screen.

kvspecimen.efi (built beside korvane.efi) draws the specimen on OVMF's
standard VGA screen, 1280 x 800, through the firmware's Blt. A QMP screen dump
of it must equal tests/gui/font_specimen.png, the picture the unit tests
draw through the simulated screen, pixel for pixel.

    e2e_font_specimen.py build/uefi/korvane.efi
"""

import os
import struct
import sys
import tempfile
import time
import zlib

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qemu_harness

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GOLDEN = os.path.join(REPO, "tests", "gui", "font_specimen.png")
DUMP_SECONDS = 60


def read_png(path):
    """(width, height, RGB bytes) of an 8-bit RGB or RGBA PNG."""
    data = open(path, "rb").read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise qemu_harness.HarnessError(f"{path} is not a PNG")
    at, idat = 8, b""
    while at < len(data):
        (length,) = struct.unpack(">I", data[at:at + 4])
        kind, body = data[at + 4:at + 8], data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            if depth != 8 or colour not in (2, 6) or interlace:
                raise qemu_harness.HarnessError(f"{path}: only 8-bit RGB(A) is read here")
        elif kind == b"IDAT":
            idat += body
    bpp = 3 if colour == 2 else 4
    raw = zlib.decompress(idat)
    stride = width * bpp
    previous = bytearray(stride)
    rgb = bytearray()
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            left = line[x - bpp] if x >= bpp else 0
            up = previous[x]
            corner = previous[x - bpp] if x >= bpp else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + up) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[x] = (line[x] + (left if pa <= pb and pa <= pc else
                                      up if pb <= pc else corner)) & 255
        previous = line
        if bpp == 4:
            del line[3::4]
        rgb += line
    return width, height, bytes(rgb)


def read_ppm(path):
    """(width, height, RGB bytes) of a binary PPM as QEMU writes it."""
    data = open(path, "rb").read()
    fields, at = [], 0
    while len(fields) < 4:
        while data[at:at + 1].isspace():
            at += 1
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[at:end])
        at = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise qemu_harness.HarnessError("the screen dump is not an 8-bit P6 PPM")
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[at + 1:at + 1 + width * height * 3]


def difference(expected, actual):
    """Empty when equal, else one line on the first difference."""
    if expected[:2] != actual[:2]:
        return f"sizes differ: expected {expected[0]}x{expected[1]}, got {actual[0]}x{actual[1]}"
    width, a, b = expected[0], expected[2], actual[2]
    if a == b:
        return ""
    differing = sum(1 for i in range(0, len(a), 3) if a[i:i + 3] != b[i:i + 3])
    first = next(i for i in range(0, len(a), 3) if a[i:i + 3] != b[i:i + 3]) // 3
    return (f"{differing} pixels differ, first at ({first % width}, {first // width}): "
            f"expected {a[first * 3:first * 3 + 3].hex()}, got {b[first * 3:first * 3 + 3].hex()}")


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} KORVANE_EFI", file=sys.stderr)
        return 2
    specimen_efi = os.path.join(os.path.dirname(os.path.abspath(sys.argv[1])), "kvspecimen.efi")
    try:
        if not os.path.isfile(specimen_efi):
            raise qemu_harness.HarnessError(f"missing {specimen_efi} (built with korvane.efi)")
        golden = read_png(GOLDEN)
        with tempfile.TemporaryDirectory(prefix="kvspecimen-") as work, \
                qemu_harness.Machine(specimen_efi, timeout=DUMP_SECONDS + 90) as vm:
            vm.wait_for("kvspecimen drawing", timeout=60)
            dump = os.path.join(work, "screen.ppm")
            deadline = time.monotonic() + DUMP_SECONDS
            while True:
                if "kvspecimen failed" in vm.serial_text():
                    raise qemu_harness.HarnessError("kvspecimen could not draw")
                vm.qmp("screendump", filename=dump)
                verdict = difference(golden, read_ppm(dump))
                if not verdict or time.monotonic() > deadline:
                    break
                time.sleep(1)
            if verdict:
                kept = os.path.join(tempfile.gettempdir(), "kvspecimen-screen.ppm")
                os.replace(dump, kept)
                raise qemu_harness.HarnessError(f"{verdict} (screen kept in {kept})")
            print(f"screen equals the simulated specimen after {vm.elapsed():.1f} s")
    except qemu_harness.HarnessError as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
