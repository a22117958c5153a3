#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""tools/install-esp.sh on real FAT file systems, mounted without root
through FUSE (fusefat): it copies the program to EFI/korvane/korvane.efi on
an ESP with room and leaves everything else as it was; it refuses a folder
that is not a FAT mount, a FAT without an EFI folder and one without room,
changing nothing. Exits 77 (skipped) where FUSE cannot mount.

    install_esp.py build/uefi/korvane.efi
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
INSTALL = os.path.join(REPO, "tools", "install-esp.sh")
ENV = dict(os.environ, MTOOLS_SKIP_CHECK="1")


def run(argv, check=True):
    done = subprocess.run(argv, capture_output=True, text=True, env=ENV)
    if check and done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)}: {done.stderr.strip()}")
    return done


def fat(path, kib, folders=()):
    run(["mkfs.fat", "-C", path, str(kib)])
    for folder in folders:
        run(["mmd", "-i", path, "::/" + folder])
    return path


def digest(path):
    with open(path, "rb") as data:
        return hashlib.sha256(data.read()).hexdigest()


def contents(image, work):
    """Every file on the volume with the digest of its bytes."""
    found = {}
    for name in run(["mdir", "-/", "-b", "-i", image, "::/"]).stdout.split():
        if name.endswith("/"):
            found[name] = None
        else:
            copy = os.path.join(work, "copy")
            run(["mcopy", "-n", "-i", image, name, copy])
            found[name] = digest(copy)
    return found


class Mounted:
    def __init__(self, image, point):
        self.image, self.point = image, point

    def __enter__(self):
        os.makedirs(self.point, exist_ok=True)
        run(["fusefat", "-o", "rw+", self.image, self.point])
        return self.point

    def __exit__(self, *exc):
        run(["fusermount", "-u", self.point], check=False)


def install(efi, esp):
    return run([INSTALL, "--efi", efi, esp], check=False)


def main():
    efi = sys.argv[1]
    if shutil.which("fusefat") is None or not os.path.exists("/dev/fuse"):
        print("SKIP: fusefat or /dev/fuse missing")
        return 77
    problems = []
    with tempfile.TemporaryDirectory(prefix="kvesp-") as work:
        point = os.path.join(work, "esp")
        probe = fat(os.path.join(work, "probe.img"), 1024)
        try:
            with Mounted(probe, point):
                pass
        except RuntimeError as error:
            print(f"SKIP: FUSE cannot mount here: {error}")
            return 77

        for argv, status in ((["--help"], 0), (["--bogus", point], 2), ([], 2)):
            done = run([INSTALL, *argv], check=False)
            lines = done.stderr.strip().splitlines()
            if done.returncode != status or (status == 2 and len(lines) != 1):
                problems.append(f"install-esp {argv}: status {done.returncode}, "
                                f"stderr {done.stderr!r}")

        plain = os.path.join(work, "plain")
        os.makedirs(os.path.join(plain, "EFI"))
        done = install(efi, plain)
        if done.returncode != 1 or os.listdir(os.path.join(plain, "EFI")):
            problems.append(f"a folder that is no FAT mount: {done.returncode} {done.stdout}")

        # Each refusal leaves the volume as it was.
        refused = {"a FAT without an EFI folder": fat(os.path.join(work, "noefi.img"), 4096),
                   "a FAT without room": fat(os.path.join(work, "small.img"), 512, ["EFI"])}
        for what, image in refused.items():
            before = digest(image)
            with Mounted(image, point):
                done = install(efi, point)
            if done.returncode != 1 or digest(image) != before:
                problems.append(f"{what}: status {done.returncode}, {done.stderr.strip()}")

        esp = fat(os.path.join(work, "esp.img"), 4096, ["EFI", "EFI/BOOT"])
        run(["mcopy", "-i", esp, INSTALL, "::/EFI/BOOT/BOOTX64.EFI"])
        before = contents(esp, work)
        with Mounted(esp, point):
            done = install(efi, point)
        print(done.stdout + done.stderr)
        after = contents(esp, work)
        want = digest(efi)
        added = {k: v for k, v in after.items() if before.get(k, "") != v}
        kept = all(after.get(k) == v for k, v in before.items())
        if done.returncode != 0 or not kept or \
                added != {"::/EFI/korvane/": None, "::/EFI/korvane/korvane.efi": want}:
            problems.append(f"the install: status {done.returncode}, changed {added}")
        if ("efibootmgr --create" not in done.stdout
                or "\\EFI\\korvane\\korvane.efi" not in done.stdout):
            problems.append("no efibootmgr command printed")
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
