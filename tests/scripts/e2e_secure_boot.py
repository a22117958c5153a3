#!/usr/bin/env python3
"""korvane.efi under Secure Boot that the firmware enforces.

Debian's OVMF build with the public test key enrolled (qemu_harness's
TEST_KEY and TEST_CERT; the key is for tests only, nothing shipped is
signed with it) boots the USB stick image of tools/make_usb_image.sh as a
USB stick:

- unsigned, the firmware refuses the loader: its boot manager reports
  "failed to load" for the stick with "Access Denied", and the program
  never starts;
- signed by tools/sign.sh (the image form, which signs the stick's
  loader), the program reaches its disk list and shows the stick as the
  disk it started from;
- sbverify --cert accepts tools/sign.sh's signed korvane.efi and rejects
  the unsigned one.

    e2e_secure_boot.py build/uefi/korvane.efi
"""

import os
import re
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers
import qemu_harness
from qemu_harness import HarnessError, disk_list, frame_complete
from korvane_version import BANNER

MiB = 1 << 20
REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MAKE_IMAGE = os.path.join(REPO, "tools", "make_usb_image.sh")
SIGN = os.path.join(REPO, "tools", "sign.sh")

# The boot manager's word on a loader that Secure Boot turned away.
REFUSED = re.compile(r'BdsDxe: failed to load Boot\w+ "[^"]*" from \S*/USB\([^\r\n]*: '
                     r"Access Denied")
NOTHING_LEFT = "BdsDxe: No bootable option or device was found."


def run(argv):
    done = subprocess.run(argv, capture_output=True, text=True)
    if done.returncode != 0:
        raise HarnessError(f"{' '.join(argv)} failed ({done.returncode}): "
                           f"{done.stderr.strip() or done.stdout.strip()}")
    return done


def test_key(workdir):
    """The test key without its passphrase, as sbsign reads it."""
    key = os.path.join(workdir, "test.key")
    run(["openssl", "rsa", "-passin", f"pass:{qemu_harness.TEST_KEY_PASSPHRASE}",
         "-in", qemu_harness.TEST_KEY, "-out", key])
    return key


def check_sbverify(efi, key, workdir):
    signed = os.path.join(workdir, "korvane.signed.efi")
    run([SIGN, key, qemu_harness.TEST_CERT, efi, signed])
    problems = []
    for path, want in ((signed, 0), (efi, 1)):
        done = subprocess.run(["sbverify", "--cert", qemu_harness.TEST_CERT, path],
                              capture_output=True, text=True)
        if (done.returncode != 0) != bool(want):
            problems.append(f"sbverify --cert {os.path.basename(path)}: status "
                            f"{done.returncode}: {(done.stdout + done.stderr).strip()}")
    return problems


def boot(image, workdir):
    data = peers.make_image(os.path.join(workdir, "data.img"), 32 * MiB)
    return qemu_harness.Machine(None, drives=[qemu_harness.Drive(data)], boot_image=image,
                                boot_bus="usb", boot_index=False, vga=False, timeout=100,
                                secure_boot=True, timing_sensitive=False)


def check_refused(image, workdir):
    with boot(image, workdir) as vm:
        vm.wait_for(REFUSED, timeout=90)
        text = vm.wait_for(NOTHING_LEFT, timeout=30)
        print(f"unsigned loader refused after {vm.elapsed():.1f} s:")
        print("\n".join(line for line in text.splitlines() if line.startswith("BdsDxe")))
    return [f"the unsigned program started: {text[-500:]}"] if BANNER in text else []


def check_started(image, workdir):
    with boot(image, workdir) as vm:
        screen = vm.wait_until(lambda s: len(disk_list(s)) >= 2 and frame_complete(s),
                               "two disks in the disk list", timeout=90)
        print(f"signed: disk list after {vm.elapsed():.1f} s:\n{screen.text()}")
    stick = [d for d in disk_list(screen) if d.kind == "USB"]
    if len(stick) != 1 or stick[0].state != "started from here: read only":
        return [f"the stick is not shown as the start disk: {disk_list(screen)}"]
    return []


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} KORVANE_EFI", file=sys.stderr)
        return 2
    efi = sys.argv[1]
    os.environ["MTOOLS_SKIP_CHECK"] = "1"
    try:
        with tempfile.TemporaryDirectory(prefix="kvsecure-") as workdir:
            key = test_key(workdir)
            problems = check_sbverify(efi, key, workdir)
            unsigned = os.path.join(workdir, "korvane-usb.img")
            signed = os.path.join(workdir, "korvane-usb.signed.img")
            run([MAKE_IMAGE, efi, unsigned])
            run([SIGN, key, qemu_harness.TEST_CERT, unsigned, signed])
            problems += check_refused(unsigned, workdir)
            problems += check_started(signed, workdir)
    except (HarnessError, peers.PeerError) as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
