#!/usr/bin/env python3
"""Writes disk images with the program's own writer (through kvedit and
kvroundtrip) and lets other partitioning tools judge them: sfdisk -J must
list the same partitions as kvdump (start, size, type, name, boot flag,
unique GUID), sfdisk --verify must find no error, and sgdisk -v no problem
in a GPT. Also checks that kvedit writes nothing when an operation is
refused. Images use 512-byte blocks, the only size sfdisk and sgdisk read.

usage: oracle_write.py TOOLS_DIR   (the directory holding kvedit, kvdump and
                                    kvroundtrip)

Exits 0 when every case agrees, 1 otherwise, 77 when a peer tool is missing.
"""

import hashlib
import os
import subprocess
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peers

MiB = 1 << 20
GiB = 1 << 30
TiB = 1 << 40
SKIP = 77
SECTORS_PER_MIB = MiB // 512
# sfdisk reads at most this many MBR partitions (4 primary, 56 logical); the
# program follows up to 128 EBRs.
SFDISK_MBR_LIMIT = 60

ESP = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B"
LINUX_FS = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"
LINUX_SWAP = "0657FD6D-A4AB-43C4-84E5-0933C84B4F4F"
MS_BASIC = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
# Not in the program's catalogue: typed as a GUID.
FREEBSD_UFS = "516E7CB6-6ECF-11D6-8FF8-00022D09712B"


class Case(peers.Judgement):
    def __init__(self, tools, directory):
        super().__init__(directory)
        self.tools = tools

    def kvedit(self, path, script, status=0):
        done = subprocess.run([self.tools["kvedit"], path, script], capture_output=True,
                              text=True, timeout=60)
        if done.returncode != status:
            self.problems.append(f"kvedit {script!r}: status {done.returncode}, "
                                 f"stderr {done.stderr.strip()!r}")
        return done

    def judge(self, path, what):
        """The peers' verdict on an image the program wrote: the same
        partitions as kvdump, no notes from kvdump, a clean sfdisk --verify
        and, for a GPT, a clean sgdisk -v. Returns kvdump's reading."""
        dump = peers.kvdump(self.tools["kvdump"], path)
        peer = peers.sfdisk_json(path)
        shown = dump
        if dump["kind"] == "mbr" and len(dump["partitions"]) > SFDISK_MBR_LIMIT:
            shown = dict(dump, partitions=[p for p in dump["partitions"]
                                           if p["number"] <= SFDISK_MBR_LIMIT])
        self.problems += [f"{what}: {p}" for p in peers.compare_with_sfdisk(shown, peer)]
        self.expect(f"{what}: kvdump notes", dump["notes"], [])
        if dump["kind"] == "none":
            return dump
        fault = peers.sfdisk_verify(path)
        if fault is not None:
            self.problems.append(f"{what}: sfdisk --verify: {fault}")
        fault = peers.sgdisk_verify(path) if dump["kind"] == "gpt" else None
        if fault is not None:
            self.problems.append(f"{what}: sgdisk -v: {fault}")
        return dump

    def expect_partitions(self, path, expected):
        """sfdisk's own listing against what the script asked for: a dict of
        number -> (start, size, type, bootable or name)."""
        peer = peers.sfdisk_json(path)
        if peer is None:
            self.problems.append("sfdisk finds no table")
            return
        seen = {}
        for p in peer["partitions"]:
            extra = p["bootable"] if peer["label"] == "dos" else p["name"]
            seen[p["number"]] = (p["start"], p["size"], p["type"], extra)
        self.expect("partitions as sfdisk lists them", seen, expected)


def digest(path):
    with open(path, "rb") as image:
        return hashlib.sha256(image.read()).hexdigest()


# Tables made with kvedit scripts.

def mbr_with_logical_partitions(case):
    img = case.image("mbr.img", 512 * MiB)
    case.kvedit(img, "new mbr; add 1M 100M 0c; add 101M 50M linux; "
                     "add logical 200M 60M linux; add logical 300M 40M 'Linux swap'; "
                     "add logical 400M rest 8e; active 5; write")
    case.kvedit(img, 'type 6 fd; delete 2; add primary 101M 20M "NTFS/exFAT"; '
                     "active 1; write")
    mib = SECTORS_PER_MIB
    disk_end = 512 * mib
    case.expect_partitions(img, {
        1: (mib, 100 * mib, 0x0C, True),
        2: (101 * mib, 20 * mib, 0x07, False),
        3: (151 * mib, disk_end - 151 * mib, 0x05, False),
        5: (200 * mib, 60 * mib, 0x83, False),
        6: (300 * mib, 40 * mib, 0xFD, False),
        7: (400 * mib, disk_end - 400 * mib, 0x8E, False),
    })
    case.judge(img, "mbr")


def mbr_logical_deleted_from_the_middle(case):
    """Deleting the first logical partition moves the first EBR to the start
    of the extended partition and renumbers the others."""
    img = case.image("chain.img", 256 * MiB)
    case.kvedit(img, "new mbr; add logical 10M 10M 83; add logical 30M 10M 83; "
                     "add logical 50M 10M 83; add logical 70M 10M 83; write")
    case.kvedit(img, "delete 5; delete 6; write")
    mib = SECTORS_PER_MIB
    case.expect_partitions(img, {
        1: (mib, 255 * mib, 0x05, False),
        5: (30 * mib, 10 * mib, 0x83, False),
        6: (70 * mib, 10 * mib, 0x83, False),
    })
    dump = case.judge(img, "chain")
    first = [p for p in dump["partitions"] if p["number"] == 5]
    case.expect("first EBR", first[0]["ebr_block"] if first else None, mib)


def gpt_with_named_partitions(case):
    img = case.image("gpt.img", 1 * GiB)
    case.kvedit(img, 'new gpt; add 1M 100M "EFI system" "EFI system partition"; '
                     f'add 101M 200M {LINUX_FS} root; add 301M 8M {FREEBSD_UFS} '
                     '"Donn\u00e9es \u65e5\u672c"; add 400M rest "Linux swap" swap; write')
    case.kvedit(img, 'name 2 "a name of exactly thirty-six chars!!"; '
                     'type 4 "Microsoft basic data"; '
                     'delete 3; add 320M 1M "Linux filesystem"; write')
    mib = SECTORS_PER_MIB
    last_usable = GiB // 512 - 34
    case.expect_partitions(img, {
        1: (mib, 100 * mib, ESP, "EFI system partition"),
        2: (101 * mib, 200 * mib, LINUX_FS, "a name of exactly thirty-six chars!!"),
        3: (320 * mib, mib, LINUX_FS, ""),
        4: (400 * mib, last_usable - 400 * mib + 1, MS_BASIC, "swap"),
    })
    dump = case.judge(img, "gpt")
    case.expect("first usable", dump["first_usable"], 34)
    case.expect("last usable", dump["last_usable"], last_usable)


def mbr_over_a_former_gpt(case):
    """sgdisk's GPT replaced by an MBR: both GPT headers go, so no tool finds
    a GPT any more."""
    img = case.image("former-gpt.img", 256 * MiB)
    peers.sgdisk(img, "-o", "-n", "1:2048:+100M", "-t", "1:8300")
    case.kvedit(img, "new mbr; add 1M 50M 83; write")
    case.expect("block 1", peers.read_block(img, 1)[:8], bytes(8))
    case.expect("last block", peers.read_block(img, 256 * MiB // 512 - 1)[:8], bytes(8))
    case.expect_partitions(img, {1: (2048, 50 * SECTORS_PER_MIB, 0x83, False)})
    case.judge(img, "mbr over gpt")


def gpt_over_a_former_mbr(case):
    img = case.image("former-mbr.img", 256 * MiB)
    peers.sfdisk_write(img, "label: dos\nstart=2048, size=100M, type=83, bootable\n"
                            "start=206848, type=5\nstart=208896, size=10M, type=82\n")
    case.kvedit(img, f"new gpt; add 1M 10M {ESP}; write")
    case.expect_partitions(img, {1: (2048, 10 * SECTORS_PER_MIB, ESP, "")})
    case.judge(img, "gpt over mbr")


def deleted_table(case):
    img = case.image("deleted.img", 64 * MiB)
    peers.sgdisk(img, "-o", "-n", "1:2048:+10M")
    case.kvedit(img, "new none; write")
    case.judge(img, "deleted")
    case.expect("sfdisk's reading", peers.sfdisk_json(img), None)


def gpt_beyond_2_tib(case):
    """A sparse 3 TiB image: the protective MBR stops at 2^32 - 1 blocks."""
    img = case.image("big.img", 3 * TiB)
    case.kvedit(img, "new gpt; add 1M 1T 'Linux filesystem'; add 2T rest 'Linux filesystem'; write")
    entries = peers.mbr_entries(peers.read_block(img, 0))
    case.expect("protective entry", (entries[0]["type"], entries[0]["first"], entries[0]["count"]),
                (0xEE, 1, 0xFFFFFFFF))
    case.judge(img, "3 TiB gpt")


def refusals_write_nothing(case):
    """A refused operation, even one followed by `write`, leaves the image as
    it was and says why in one line."""
    img = case.image("refuse.img", 64 * MiB)
    case.kvedit(img, "new mbr; add 1M 10M 83; write")
    before = digest(img)
    for script, text in (
            ("add 5M 10M 83; write", "the partition overlaps another one"),
            ("add 20M 10M 0x0f; write", "the extended partition is created by adding"),
            ("name 1 x; write", "only GPT partitions have a name"),
            ("delete 9; write", "there is no such partition"),
            ("type 1 nonsense; write", "unknown partition type"),
            ("new gpt; add 1M 100M 'EFI system'; write", "goes beyond the end of the disk"),
            ("frobnicate; write", "unknown operation"),
            ("add 1M; write", "expected: add"),
            ('name 1 "open; write', "not closed")):
        done = case.kvedit(img, script, status=1)
        message = done.stderr.strip()
        if "\n" in message or text not in message or not message.startswith("kvedit: "):
            case.problems.append(f"{script!r}: stderr {message!r}")
        case.expect(f"image after {script!r}", digest(img), before)
    # Without `write` nothing is written either.
    case.kvedit(img, "delete 1; new gpt")
    case.expect("image after a script without write", digest(img), before)


# Tables made by random edit sequences.

def random_edit_sequences(kind, rounds, size, label):
    def run(case):
        img = case.image(f"random-{kind}.img", size)
        for seed in range(1, rounds + 1):
            done = subprocess.run([case.tools["kvroundtrip"], img, "--kind", kind, "--seed",
                                   str(seed), "--steps", "80"],
                                  capture_output=True, text=True, errors="replace", timeout=60)
            if done.returncode != 0:
                case.problems.append(f"seed {seed}: {done.stderr.strip()}")
                return
            before = len(case.problems)
            case.judge(img, f"seed {seed}")
            if len(case.problems) > before:
                case.problems.append(f"seed {seed} wrote:\n{done.stdout}")
                return
    run.__name__ = f"random_{kind}_edits_on_{label}"
    return run


CASES = [mbr_with_logical_partitions, mbr_logical_deleted_from_the_middle,
         gpt_with_named_partitions, mbr_over_a_former_gpt, gpt_over_a_former_mbr, deleted_table,
         gpt_beyond_2_tib, refusals_write_nothing,
         random_edit_sequences("mbr", 25, 256 * MiB, "256_mib"),
         random_edit_sequences("gpt", 25, 256 * MiB, "256_mib"),
         random_edit_sequences("mbr", 10, 3 * TiB, "3_tib"),
         random_edit_sequences("gpt", 10, 3 * TiB, "3_tib")]


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} TOOLS_DIR", file=sys.stderr)
        return 2
    missing = peers.missing_tools(("sfdisk", "sgdisk"))
    if missing:
        print(f"SKIP: peer tools not installed: {', '.join(missing)}")
        return SKIP
    tools = {name: os.path.join(os.path.abspath(sys.argv[1]), name)
             for name in ("kvedit", "kvdump", "kvroundtrip")}
    absent = [name for name, path in tools.items() if not os.access(path, os.X_OK)]
    if absent:
        print(f"FAIL: not built: {', '.join(absent)}")
        print("0 passed, 1 failed")
        return 1
    passed = failed = 0
    for run_case in CASES:
        with tempfile.TemporaryDirectory(prefix="kv-oracle-write-") as directory:
            case = Case(tools, directory)
            try:
                run_case(case)
            except Exception:  # a peer or a tool failing is this case's failure
                case.problems.append(traceback.format_exc().strip())
        if case.problems:
            failed += 1
            print(f"FAIL {run_case.__name__}")
            for problem in case.problems:
                print(f"    {problem}")
        else:
            passed += 1
            print(f"ok   {run_case.__name__}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
