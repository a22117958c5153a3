#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Two builds of the same sources give the same korvane.efi, USB stick image
and ISO, byte for byte: the uefi configuration built from scratch in two
build trees of different paths, at different times, each with its own image
folder. Prints the SHA-256 of each artefact of both builds.

    reproducible_build.py [WORKDIR]
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ARTEFACTS = ("uefi/korvane.efi", "images/usb/korvane-usb.img", "images/iso/korvane.iso")


def build(root):
    tree = os.path.join(root, "uefi")
    configure = ["cmake", "-S", REPO, "-B", tree, "-G", "Ninja",
                 f"-DCMAKE_TOOLCHAIN_FILE={REPO}/cmake/uefi-toolchain.cmake",
                 "-DCMAKE_BUILD_TYPE=Release", f"-DKV_IMAGE_DIR={root}/images"]
    for argv in (configure, ["cmake", "--build", tree, "-j2", "--target", "korvane",
                             "usb-image", "iso-image"]):
        done = subprocess.run(argv, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"{' '.join(argv)} failed:\n{done.stdout[-3000:]}{done.stderr}")
    digests = {}
    for name in ARTEFACTS:
        with open(os.path.join(root, name), "rb") as artefact:
            digests[name] = hashlib.sha256(artefact.read()).hexdigest()
    return digests


def main():
    work = tempfile.mkdtemp(prefix="kvrepro-", dir=sys.argv[1] if len(sys.argv) > 1 else None)
    try:
        # Different lengths, so that a build path inside an artefact would
        # also move everything after it.
        first = build(os.path.join(work, "a"))
        second = build(os.path.join(work, "second-build"))
    except RuntimeError as error:
        print(f"FAIL: {error}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(work, ignore_errors=True)
    failed = False
    for name in ARTEFACTS:
        print(f"{first[name]}  {name} (first build)\n{second[name]}  {name} (second build)")
        if first[name] != second[name]:
            print(f"FAIL: the two builds of {name} differ", file=sys.stderr)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
