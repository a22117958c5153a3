#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Debian package, made by tools/make_deb.sh as the deb target makes it
(from korvane.efi, its USB and ISO images and this host tree's tools):

- lintian reports no error and no warning;
- unpacked into a scratch root, it holds every file users are told about,
  and the tools run from there: kvdump reads the packaged ISO at 2048-byte
  blocks, each tool's --help exits 0 and a wrong option exits 2 with one
  line;
- every manual page renders without a warning from man.

    deb_package.py KORVANE_EFI HOST_TREE
"""

import json
import os
import subprocess
import sys
import tempfile
from korvane_version import VERSION

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TOOLS = os.path.join(REPO, "tools")
SHIPPED = ["usr/lib/korvane/korvane.efi", "usr/share/korvane/korvane-usb.img",
           "usr/share/korvane/korvane.iso", "usr/share/korvane/systemd-boot/korvane.conf",
           "usr/bin/kvdump", "usr/bin/kvedit", "usr/bin/korvane-sim",
           "usr/sbin/korvane-install-esp", "etc/grub.d/35_korvane",
           "usr/share/doc/korvane/copyright", "usr/share/doc/korvane/changelog.gz",
           "usr/share/man/man8/korvane.8.gz", "usr/share/man/man8/korvane-install-esp.8.gz",
           "usr/share/man/man1/kvdump.1.gz", "usr/share/man/man1/kvedit.1.gz",
           "usr/share/man/man1/korvane-sim.1.gz"]


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=600, **kwargs)


def must(argv):
    done = run(argv)
    if done.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed: {done.stdout}{done.stderr}")
    return done.stdout


def main():
    efi, host = sys.argv[1], sys.argv[2]
    problems = []
    try:
        with tempfile.TemporaryDirectory(prefix="kvdebtest-") as work:
            usb, iso = os.path.join(work, "korvane-usb.img"), os.path.join(work, "korvane.iso")
            must([os.path.join(TOOLS, "make_usb_image.sh"), efi, usb])
            must([os.path.join(TOOLS, "make_iso.sh"), efi, iso])
            must([os.path.join(TOOLS, "make_deb.sh"), work, VERSION, efi, usb, iso, host])
            deb = os.path.join(work, f"korvane_{VERSION}_amd64.deb")

            lint = run(["lintian", "--no-tag-display-limit", deb])
            print(f"lintian: {lint.stdout.strip() or 'nothing to report'}")
            bad = [line for line in lint.stdout.splitlines() if line[:2] in ("E:", "W:")]
            if lint.returncode != 0 or bad:
                problems.append(f"lintian ({lint.returncode}): {bad or lint.stderr.strip()}")

            root = os.path.join(work, "root")
            must(["dpkg-deb", "-x", deb, root])
            missing = [p for p in SHIPPED if not os.path.isfile(os.path.join(root, p))]
            if missing:
                problems.append(f"not in the package: {missing}")

            dump = run([os.path.join(root, "usr/bin/kvdump"), "--block-size", "2048",
                        os.path.join(root, "usr/share/korvane/korvane.iso")])
            table = json.loads(dump.stdout) if dump.returncode == 0 else {}
            if table.get("block_size") != 2048 or table.get("block_count", 0) * 2048 != \
                    os.path.getsize(iso):
                problems.append(f"the installed kvdump on the ISO: {dump.returncode} "
                                f"{dump.stderr.strip()} {table}")

            for tool in ("usr/bin/kvdump", "usr/bin/kvedit", "usr/bin/korvane-sim",
                         "usr/sbin/korvane-install-esp"):
                path = os.path.join(root, tool)
                helped = run([path, "--help"])
                if helped.returncode != 0 or "usage:" not in helped.stdout or helped.stderr:
                    problems.append(f"{tool} --help: {helped.returncode} {helped.stderr!r}")
                wrong = run([path, "--no-such-option", "x"])
                lines = wrong.stderr.strip().splitlines()
                if wrong.returncode != 2 or len(lines) != 1 or wrong.stdout:
                    problems.append(f"{tool} --no-such-option: {wrong.returncode} {lines}")

            for page in sorted(p for p in SHIPPED if "/man/" in p):
                shown = run(["man", "--warnings", "-l", os.path.join(root, page)],
                            env=dict(os.environ, MANWIDTH="80", MAN_KEEP_FORMATTING=""))
                if shown.returncode != 0 or shown.stderr.strip() or "SEE ALSO" not in shown.stdout:
                    problems.append(f"man -l {page}: {shown.stderr.strip()}")
    except (RuntimeError, ValueError) as error:
        problems.append(str(error))
    for problem in problems:
        print(f"FAIL: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
