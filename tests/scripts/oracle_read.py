#!/usr/bin/env python3
"""Reads disk images that sfdisk, sgdisk and fdisk laid out with kvdump (the
program's own reader) and checks that both sides see the same partitions,
and that the reader's notes say what is unusual about each image.

usage: oracle_read.py KVDUMP

Exits 0 when every case agrees, 1 otherwise, 77 when a peer tool is missing.
"""

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

HYBRID_NOTE = "hybrid MBR: block 0 also describes partitions for legacy systems"
NO_PMBR_NOTE = "the protective MBR is missing"
PRIMARY_BAD_NOTE = "the primary GPT has a wrong checksum; the backup copy is used"

# Uncatalogued by the program: shown by the start of its GUID.
FREEBSD_UFS = "516E7CB6-6ECF-11D6-8FF8-00022D09712B"


class Case(peers.Judgement):
    """One image, judged by a peer, with the program's extra expectations."""

    def __init__(self, tool, directory):
        super().__init__(directory)
        self.tool = tool

    def agree_with_sfdisk(self, dump, path):
        self.problems += peers.compare_with_sfdisk(dump, peers.sfdisk_json(path))

    def partition(self, dump, number):
        for p in dump["partitions"]:
            if p["number"] == number:
                return p
        self.problems.append(f"partition {number} is missing")
        return None

    def expect_clean(self, dump):
        """A table just read: nothing marked changed."""
        changed = [p["number"] for p in dump["partitions"] if p["changed"]]
        self.expect("partitions marked changed", changed, [])

    def expect_ebrs(self, dump, path, block_size):
        """Each logical partition's ebr_block holds an EBR whose first entry
        points at that partition: checks the chain against the raw image."""
        for p in dump["partitions"]:
            if p["kind"] != "logical":
                continue
            entries = peers.mbr_entries(peers.read_block(path, p["ebr_block"], block_size))
            if entries is None:
                self.problems.append(f"partition {p['number']}: no EBR at {p['ebr_block']}")
                continue
            self.expect(f"partition {p['number']} start from its EBR",
                        p["ebr_block"] + entries[0]["first"], p["start"])

    def expect_gpt_geometry(self, dump, block_count, array_blocks):
        """The layout sgdisk makes: 128 entries right after the header, the
        usable area right after the array."""
        self.expect("kind", dump["kind"], "gpt")
        self.expect("block_count", dump["block_count"], block_count)
        self.expect("entry_count", dump["entry_count"], 128)
        self.expect("entry_size", dump["entry_size"], 128)
        self.expect("primary_array_lba", dump["primary_array_lba"], 2)
        self.expect("backup_header_lba", dump["backup_header_lba"], block_count - 1)
        self.expect("backup_array_lba", dump["backup_array_lba"], block_count - 1 - array_blocks)
        self.expect("first_usable", dump["first_usable"], 2 + array_blocks)
        self.expect("last_usable", dump["last_usable"], block_count - 2 - array_blocks)


def mbr_with_logical_partitions(case):
    path = case.image("mbr.img", 64 * MiB)
    lines = ["label: dos", "label-id: 0x4b56dead", ""]
    # Slot 3 stays empty: numbers follow the slots, not the order of use.
    layout = [(1, "start=2048, size=20480, type=c"),
              (2, "start=22528, size=20480, type=83, bootable"),
              (4, "start=43008, size=81920, type=f"),
              (5, "start=45056, size=10240, type=82"),
              (6, "start=57344, size=10240, type=7, bootable"),
              (7, "start=69632, size=10240, type=9c"),
              (8, "start=81920, size=40960, type=83")]
    lines += [f"{path}{n} : {fields}" for n, fields in layout]
    peers.sfdisk_write(path, "\n".join(lines) + "\n")
    dump = peers.kvdump(case.tool, path)
    case.agree_with_sfdisk(dump, path)
    case.expect("kind", dump["kind"], "mbr")
    case.expect("mbr_signature", dump["mbr_signature"], 0x4B56DEAD)
    case.expect("kinds", [(p["number"], p["kind"]) for p in dump["partitions"]],
                [(1, "primary"), (2, "primary"), (4, "extended"), (5, "logical"),
                 (6, "logical"), (7, "logical"), (8, "logical")])
    case.expect("type texts", [p["type_text"] for p in dump["partitions"]],
                ["FAT32 (LBA)", "Linux", "Extended (LBA)", "Linux swap", "NTFS/exFAT",
                 "type 9C", "Linux"])
    first_logical = case.partition(dump, 5)
    if first_logical:
        case.expect("first EBR", first_logical["ebr_block"], 43008)
    case.expect_ebrs(dump, path, 512)
    case.expect_clean(dump)
    case.expect("notes", dump["notes"], [])


def gpt_with_named_partitions(case):
    path = case.image("gpt.img", 64 * MiB)
    peers.sgdisk(path, "-o", "-U", "AAAA0000-1111-2222-3333-444455556666",
                 "-n", "1:2048:+8M", "-t", "1:EF00", "-c", "1:EFI system partition",
                 "-A", "1:set:0",
                 "-n", "2:0:+8M", "-t", "2:8300", "-c", '2:root "quoted" back\\slash',
                 "-n", "3:0:+4M", "-t", "3:8200", "-c", "3:sw\u00e4p \u2211",
                 "-n", "4:0:+4M", "-t", "4:0700", "-c", "4:" + "N" * 36,
                 "-n", "6:0:+4M", "-t", f"6:{FREEBSD_UFS}",
                 "-n", "7:0:+4M", "-t", "7:8E00", "-A", "7:set:60", "-A", "7:set:63",
                 "-A", "7:set:2")
    dump = peers.kvdump(case.tool, path)
    case.agree_with_sfdisk(dump, path)
    case.expect_gpt_geometry(dump, 64 * MiB // 512, 32)
    case.expect("disk_guid", dump["disk_guid"], "AAAA0000-1111-2222-3333-444455556666")
    case.expect("hybrid", dump["hybrid"], False)
    case.expect("type texts", [(p["number"], p["type_text"]) for p in dump["partitions"]],
                [(1, "EFI system"), (2, "Linux filesystem"), (3, "Linux swap"),
                 (4, "Microsoft basic data"), (6, FREEBSD_UFS[:18] + "..."), (7, "Linux LVM")])
    case.expect("kinds", {p["kind"] for p in dump["partitions"]}, {"primary"})
    case.expect_clean(dump)
    case.expect("notes", dump["notes"], [])


def mbr_with_4096_byte_sectors(case):
    path = case.image("mbr4k.img", 256 * MiB)
    # o: new MBR; primary 1 (active), extended 2, two logicals, the first
    # made swap; w: write.
    keys = "\n".join(["o",
                      "n", "p", "1", "256", "+16M",
                      "a",
                      "n", "e", "2", "", "+100M",
                      "n", "l", "", "+20M",
                      "t", "5", "82",
                      "n", "l", "", "+10M",
                      "w", ""])
    peers.fdisk_script(path, keys, sector_size=4096)
    dump = peers.kvdump(case.tool, path, block_size=4096)
    peer = peers.partx_list(path, 4096)
    case.problems += peers.compare_with_partx(dump, peer)
    case.expect("kind", dump["kind"], "mbr")
    case.expect("block_size", dump["block_size"], 4096)
    case.expect("block_count", dump["block_count"], 256 * MiB // 4096)
    case.expect("active", [p["number"] for p in dump["partitions"] if p["active"]], [1])
    case.expect("partition count", len(dump["partitions"]), 4)
    case.expect_ebrs(dump, path, 4096)
    case.expect("notes", dump["notes"], [])


def gpt_with_4096_byte_sectors(case):
    path = case.image("gpt4k.img", 256 * MiB)
    keys = "\n".join(["g",
                      "n", "1", "", "+32M", "t", "1", "1",
                      "n", "2", "", "+64M",
                      "n", "3", "", "",
                      "w", ""])
    peers.fdisk_script(path, keys, sector_size=4096)
    dump = peers.kvdump(case.tool, path, block_size=4096)
    case.problems += peers.compare_with_partx(dump, peers.partx_list(path, 4096))
    details = peers.fdisk_details(path, 4096)
    block_count = 256 * MiB // 4096
    case.expect("kind", dump["kind"], "gpt")
    case.expect("block_count", dump["block_count"], block_count)
    case.expect("disk_guid", dump["disk_guid"], details.get("Disk identifier", "").upper())
    for key, label in (("first_usable", "First usable LBA"), ("last_usable", "Last usable LBA"),
                       ("backup_header_lba", "Alternative LBA"),
                       ("primary_array_lba", "Partition entries starting LBA"),
                       ("entry_count", "Allocated partition entries")):
        case.expect(key, str(dump[key]), details.get(label))
    # 128 entries of 128 bytes fill four 4096-byte blocks before the header.
    case.expect("backup_array_lba", dump["backup_array_lba"], block_count - 1 - 4)
    case.expect("partition count", len(dump["partitions"]), 3)
    case.expect("type of 1", dump["partitions"][0]["type_text"] if dump["partitions"] else None,
                "EFI system")
    case.expect("notes", dump["notes"], [])


def hybrid_mbr(case):
    path = case.image("hybrid.img", 64 * MiB)
    peers.sgdisk(path, "-o", "-n", "1:2048:+8M", "-t", "1:0700", "-n", "2:0:+8M",
                 "-t", "2:8300", "-n", "3:0:+8M", "-t", "3:8200")
    peers.sgdisk(path, "-h", "1:2")
    entries = peers.mbr_entries(peers.read_block(path, 0)) or []
    types = sorted(e["type"] for e in entries if e["type"])
    if types != [0x07, 0x83, 0xEE]:
        case.problems.append(f"sgdisk -h made MBR types {types}: the image is not hybrid")
    dump = peers.kvdump(case.tool, path)
    case.agree_with_sfdisk(dump, path)
    case.expect("kind", dump["kind"], "gpt")
    case.expect("hybrid", dump["hybrid"], True)
    case.expect("notes", dump["notes"], [HYBRID_NOTE])


def gpt_over_2_tib(case):
    size = 3 * TiB
    path = case.image("big.img", size)
    # Partition 2 crosses block 2^32, the limit of an MBR's 32-bit fields.
    peers.sgdisk(path, "-o", "-n", "1:2048:+1T", "-t", "1:8300", "-n", "2:0:+1536G",
                 "-t", "2:0700", "-c", "2:data", "-n", "3:0:0", "-t", "3:8E00")
    dump = peers.kvdump(case.tool, path)
    case.agree_with_sfdisk(dump, path)
    case.expect_gpt_geometry(dump, size // 512, 32)
    p2 = case.partition(dump, 2)
    if p2 and not p2["start"] < 1 << 32 < p2["start"] + p2["size"]:
        case.problems.append(f"partition 2 ({p2['start']}+{p2['size']}) does not cross 2^32")
    case.expect("notes", dump["notes"], [])


def mbr_over_2_tib(case):
    size = 5 * TiB // 2
    path = case.image("bigmbr.img", size)
    # The last partition ends on block 2^32 - 1, the last one an MBR reaches.
    last = (1 << 32) - 1
    peers.sfdisk_write(path, "label: dos\n"
                       "start=2048, size=1073741824, type=83\n"
                       f"start=1073743872, size={last - 1073743872 + 1}, type=7\n")
    dump = peers.kvdump(case.tool, path)
    case.agree_with_sfdisk(dump, path)
    case.expect("block_count", dump["block_count"], size // 512)
    p2 = case.partition(dump, 2)
    if p2:
        case.expect("end of partition 2", p2["start"] + p2["size"] - 1, last)
    case.expect("notes", dump["notes"], [])


def gpt_with_damaged_primary(case):
    path = case.image("damaged.img", 64 * MiB)
    peers.sgdisk(path, "-o", "-n", "1:2048:+8M", "-c", "1:first", "-n", "2:0:+8M",
                 "-c", "2:second")
    # One byte of the disk GUID in the primary header: its checksum fails.
    header = peers.read_block(path, 1)
    peers.write_block_bytes(path, 512 + 56, bytes([header[56] ^ 0xFF]))
    dump = peers.kvdump(case.tool, path)
    case.agree_with_sfdisk(dump, path)
    case.expect("kind", dump["kind"], "gpt")
    case.expect("primary_array_lba", dump["primary_array_lba"], 2)
    case.expect("notes", dump["notes"], [PRIMARY_BAD_NOTE])


def gpt_without_protective_mbr(case):
    path = case.image("nopmbr.img", 64 * MiB)
    peers.sgdisk(path, "-o", "-n", "1:2048:+8M", "-c", "1:only")
    before = peers.sfdisk_json(path)
    peers.write_block_bytes(path, 0, bytes(512))
    dump = peers.kvdump(case.tool, path)
    # The peer refuses a GPT without its protective MBR: judge by what it
    # read before block 0 was cleared.
    case.problems += peers.compare_with_sfdisk(dump, before)
    case.expect("notes", dump["notes"], [NO_PMBR_NOTE])


def blank_disk(case):
    path = case.image("blank.img", 8 * MiB)
    dump = peers.kvdump(case.tool, path)
    case.agree_with_sfdisk(dump, path)
    case.expect("kind", dump["kind"], "none")
    case.expect("partitions", dump["partitions"], [])
    case.expect("notes", dump["notes"], [])


def kvdump_refuses_bad_input(case):
    """Failures are a one-line message on stderr and exit status 1; a wrong
    command line has status 2."""
    odd = case.image("odd.img", 1000)
    fine = case.image("fine.img", MiB)
    for argv, word, status in (
            ([os.path.join(case.directory, "absent.img")], "No such file", 1),
            ([odd], "multiple", 1),
            ([fine, "--block-size", "1000"], "power of two", 1),
            ([fine, "--block-size", "256"], "power of two", 1),
            ([fine, "--block-size", "0x200"], "power of two", 1),
            ([case.directory], "not a regular file", 1),
            ([case.image("empty.img", 0)], "empty", 1),
            ([], "usage", 2),
            ([fine, "--bogus"], "--bogus", 2)):
        done = subprocess.run([case.tool] + argv, capture_output=True, text=True, timeout=60)
        message = done.stderr.strip()
        if done.returncode != status or done.stdout or "\n" in message or word not in message:
            case.problems.append(f"kvdump {' '.join(argv)}: status {done.returncode}, "
                                 f"stdout {done.stdout!r}, stderr {message!r}")


CASES = [mbr_with_logical_partitions, gpt_with_named_partitions, mbr_with_4096_byte_sectors,
         gpt_with_4096_byte_sectors, hybrid_mbr, gpt_over_2_tib, mbr_over_2_tib,
         gpt_with_damaged_primary, gpt_without_protective_mbr, blank_disk,
         kvdump_refuses_bad_input]


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} KVDUMP", file=sys.stderr)
        return 2
    missing = peers.missing_tools()
    if missing:
        print(f"SKIP: peer tools not installed: {', '.join(missing)}")
        return SKIP
    tool = os.path.abspath(sys.argv[1])
    if not os.access(tool, os.X_OK):
        print(f"FAIL: no kvdump at {tool}: build it first")
        print("0 passed, 1 failed")
        return 1
    passed = failed = 0
    for run_case in CASES:
        with tempfile.TemporaryDirectory(prefix="kv-oracle-") as directory:
            case = Case(tool, directory)
            try:
                run_case(case)
            except Exception:  # a peer or kvdump failing is this case's failure
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
