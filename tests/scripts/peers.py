"""Peer partitioning tools as test oracles, for any test that wants to check
a disk image against a second opinion: lay out images with sfdisk, sgdisk or
fdisk, read them back with sfdisk -J or partx, run kvdump, and compare.

Everything here uses the standard library and the Debian fdisk and gdisk
packages only. Images are sparse files, so multi-terabyte disks cost nothing.

    with tempfile.TemporaryDirectory() as tmp:
        img = peers.make_image(os.path.join(tmp, "d.img"), 64 << 20)
        peers.sfdisk_write(img, "label: dos\\nstart=2048, size=4096, type=83\\n")
        problems = peers.compare_with_sfdisk(peers.kvdump(tool, img), peers.sfdisk_json(img))
"""

import json
import os
import re
import shutil
import struct
import subprocess

SBIN_DIRS = ("/usr/sbin", "/sbin")
PEER_TOOLS = ("sfdisk", "sgdisk", "fdisk", "partx")


class PeerError(Exception):
    pass


def find_tool(name):
    """The path of a peer tool, also looking in the sbin directories that a
    non-root PATH may lack; None when it is not installed."""
    found = shutil.which(name)
    if found:
        return found
    for directory in SBIN_DIRS:
        candidate = os.path.join(directory, name)
        if os.access(candidate, os.X_OK):
            return candidate
    return None


def missing_tools(names=PEER_TOOLS):
    return [name for name in names if find_tool(name) is None]


def run(argv, input_text=None, check=True):
    """Runs a command with the C locale (so messages and number formats are
    stable) and returns the finished process."""
    tool = find_tool(argv[0]) or argv[0]
    env = dict(os.environ, LC_ALL="C", LANG="C")
    done = subprocess.run([tool] + list(argv[1:]), input=input_text, capture_output=True,
                          text=True, env=env, timeout=120)
    if check and done.returncode != 0:
        raise PeerError(f"{' '.join(argv)} failed ({done.returncode}): "
                        f"{done.stderr.strip() or done.stdout.strip()}")
    return done


def make_image(path, size_bytes):
    """Creates (or truncates) a sparse, zero-filled image."""
    with open(path, "wb") as image:
        image.truncate(size_bytes)
    return path


# Making tables.

def sfdisk_write(path, script):
    """Writes a table described by an sfdisk script ("label: dos", lines of
    "start=..., size=..., type=..., bootable, name=...")."""
    run(["sfdisk", "--quiet", "--no-reread", "--no-tell-kernel", "--wipe", "never", path],
        input_text=script)
    return path


def sgdisk(path, *args):
    """Runs sgdisk over an image, e.g. sgdisk(img, "-o", "-n", "1:2048:+1M")."""
    run(["sgdisk"] + list(args) + [path])
    return path


def fdisk_script(path, keystrokes, sector_size=512):
    """Drives interactive fdisk with keystrokes on standard input (one answer
    a line, blank lines take the default). The only peer that can lay out an
    image with a sector size other than 512."""
    run(["fdisk", "-b", str(sector_size), "--wipe", "never", path], input_text=keystrokes)
    return path


# Reading tables.

def _hex_byte(text):
    return int(text, 16)


def sfdisk_json(path):
    """sfdisk's reading of a 512-byte-sector image, normalised:
    {"label": "dos"|"gpt", "id", "firstlba", "lastlba", "sectorsize",
     "partitions": [{"number", "start", "size", "type", "bootable", "name",
                     "uuid", "attrs"}]}
    with "type" an int for dos and an upper-case GUID text for gpt. Returns
    None when sfdisk finds no table."""
    done = run(["sfdisk", "-J", path], check=False)
    if done.returncode != 0 or not done.stdout.strip():
        return None
    table = json.loads(done.stdout)["partitiontable"]
    label = table["label"]
    out = {
        "label": label,
        "id": table.get("id"),
        "firstlba": table.get("firstlba"),
        "lastlba": table.get("lastlba"),
        "sectorsize": table.get("sectorsize", 512),
        "partitions": [],
    }
    device = table.get("device", path)
    for entry in table.get("partitions", []):
        node = entry["node"]
        number = int(node[len(device):]) if node.startswith(device) else int(
            "".join(ch for ch in node if ch.isdigit()) or 0)
        type_field = entry["type"]
        out["partitions"].append({
            "number": number,
            "start": entry["start"],
            "size": entry["size"],
            "type": _hex_byte(type_field) if label == "dos" else type_field.upper(),
            "bootable": bool(entry.get("bootable", False)),
            "name": entry.get("name", ""),
            "uuid": entry.get("uuid", "").upper(),
            "attrs": entry.get("attrs", ""),
        })
    return out


def partx_list(path, sector_size):
    """partx's reading of an image with any sector size: a list of
    {"number", "start", "size", "type", "flags", "name"} in units of
    sector_size (partx itself always counts 512-byte sectors). "type" is an
    int for MBR types and an upper-case GUID text for GPT types; "flags" is
    the MBR boot indicator or the GPT attribute bits."""
    done = run(["partx", "-S", str(sector_size), "-o", "NR,START,SECTORS,TYPE,FLAGS,NAME", "-g",
                "-P", path])
    scale = sector_size // 512
    out = []
    for line in done.stdout.splitlines():
        fields = dict(_pairs(line))
        if not fields:
            continue
        type_field = fields["TYPE"]
        out.append({
            "number": int(fields["NR"]),
            "start": int(fields["START"]) // scale,
            "size": int(fields["SECTORS"]) // scale,
            "type": int(type_field, 16) if type_field.startswith("0x") else type_field.upper(),
            "flags": int(fields.get("FLAGS") or "0", 16),
            "name": fields.get("NAME", ""),
        })
    return out


def fdisk_details(path, sector_size):
    """The header facts of fdisk --list-details ("Disk identifier", "First
    usable LBA", "Alternative LBA", ...) as a dict of texts, read with any
    sector size. Numbers stay texts: the caller knows which ones are."""
    done = run(["fdisk", "-b", str(sector_size), "--list-details", path])
    details = {}
    for line in done.stdout.splitlines():
        if not line.strip():
            if details.get("Disklabel type"):
                break  # the partition rows follow
            continue
        key, sep, value = line.partition(": ")
        if sep:
            details[key.strip()] = value.strip()
    return details


def _pairs(line):
    """Parses partx -P output: KEY="value" separated by blanks, with \\xNN
    escapes inside the value."""
    i = 0
    while i < len(line):
        while i < len(line) and line[i] == " ":
            i += 1
        eq = line.find("=\"", i)
        if eq < 0:
            return
        key = line[i:eq]
        j = eq + 2
        raw = bytearray()
        while j < len(line) and line[j] != "\"":
            if line.startswith("\\x", j):
                raw.append(int(line[j + 2:j + 4], 16))
                j += 4
            else:
                raw += line[j].encode()
                j += 1
        yield key, raw.decode("utf-8", "replace")
        i = j + 1


def read_block(path, lba, block_size=512):
    with open(path, "rb") as image:
        image.seek(lba * block_size)
        return image.read(block_size)


def write_block_bytes(path, offset, data):
    """Overwrites bytes in place, for planting damage in an image."""
    with open(path, "r+b") as image:
        image.seek(offset)
        image.write(data)


def mbr_entries(block):
    """The four 16-byte entries of an MBR or EBR block as dicts of
    {"slot", "boot", "type", "first", "count"}; None without 0x55 0xAA."""
    if len(block) < 512 or block[510:512] != b"\x55\xaa":
        return None
    out = []
    for slot in range(4):
        raw = block[446 + 16 * slot:446 + 16 * (slot + 1)]
        boot, ptype, first, count = raw[0], raw[4], *struct.unpack_from("<II", raw, 8)
        out.append({"slot": slot + 1, "boot": boot, "type": ptype, "first": first,
                    "count": count})
    return out


# The program's own reading.

def kvdump(tool, path, block_size=None):
    """Runs kvdump and returns its JSON as a dict; raises PeerError with the
    tool's message when it fails."""
    argv = [tool, path]
    if block_size is not None:
        argv += ["--block-size", str(block_size)]
    done = subprocess.run(argv, capture_output=True, timeout=120)
    if done.returncode != 0:
        raise PeerError(f"kvdump {path} failed ({done.returncode}): "
                        f"{done.stderr.decode('utf-8', 'replace').strip()}")
    return json.loads(done.stdout.decode("utf-8"))


# Comparing.

def compare_with_sfdisk(dump, peer):
    """Differences between kvdump's and sfdisk's readings, as texts (empty
    when they agree): kind, disk id, usable range, and per partition number
    the start, size, type, bootable flag, name, unique GUID and attributes."""
    problems = []
    if peer is None:
        if dump["kind"] != "none":
            problems.append(f"sfdisk finds no table, kvdump finds {dump['kind']}")
        return problems
    expected_kind = {"dos": "mbr", "gpt": "gpt"}.get(peer["label"], peer["label"])
    if dump["kind"] != expected_kind:
        return [f"kind: kvdump {dump['kind']}, sfdisk {peer['label']}"]
    if dump["block_size"] != peer["sectorsize"]:
        problems.append(f"block size: kvdump {dump['block_size']}, sfdisk {peer['sectorsize']}")
    if expected_kind == "mbr":
        if peer["id"] is not None and dump["mbr_signature"] != int(peer["id"], 16):
            problems.append(f"disk id: kvdump {dump['mbr_signature']:#x}, sfdisk {peer['id']}")
    else:
        if peer["id"] is not None and dump["disk_guid"] != peer["id"].upper():
            problems.append(f"disk GUID: kvdump {dump['disk_guid']}, sfdisk {peer['id']}")
        for key, peer_key in (("first_usable", "firstlba"), ("last_usable", "lastlba")):
            if peer[peer_key] is not None and dump[key] != peer[peer_key]:
                problems.append(f"{key}: kvdump {dump[key]}, sfdisk {peer[peer_key]}")

    ours = {p["number"]: p for p in dump["partitions"]}
    theirs = {p["number"]: p for p in peer["partitions"]}
    if sorted(ours) != sorted(theirs):
        problems.append(f"partition numbers: kvdump {sorted(ours)}, sfdisk {sorted(theirs)}")
    for number in sorted(set(ours) & set(theirs)):
        mine, other = ours[number], theirs[number]
        checks = [("start", mine["start"], other["start"]),
                  ("size", mine["size"], other["size"])]
        if expected_kind == "mbr":
            checks += [("type", mine["type_byte"], other["type"]),
                       ("bootable", mine["active"], other["bootable"])]
        else:
            checks += [("type", mine["type_guid"], other["type"]),
                       ("name", mine["name"], other["name"]),
                       ("unique GUID", mine["unique_guid"], other["uuid"]),
                       ("attributes", attribute_text(mine["attributes"]), other["attrs"])]
        for what, a, b in checks:
            if a != b:
                problems.append(f"partition {number} {what}: kvdump {a!r}, sfdisk {b!r}")
    return problems


def compare_with_partx(dump, peer):
    """Differences between kvdump's reading and partx_list's: numbers, start,
    size, type and the boot flag (MBR) or attributes (GPT) of every
    partition."""
    problems = []
    ours = {p["number"]: p for p in dump["partitions"]}
    theirs = {p["number"]: p for p in peer}
    if sorted(ours) != sorted(theirs):
        problems.append(f"partition numbers: kvdump {sorted(ours)}, partx {sorted(theirs)}")
    for number in sorted(set(ours) & set(theirs)):
        mine, other = ours[number], theirs[number]
        if dump["kind"] == "gpt":
            mine_type, mine_flags = mine["type_guid"], mine["attributes"]
        else:
            mine_type, mine_flags = mine["type_byte"], 0x80 if mine["active"] else 0
        for what, a, b in (("start", mine["start"], other["start"]),
                           ("size", mine["size"], other["size"]),
                           ("type", mine_type, other["type"]),
                           ("flags", mine_flags, other["flags"])):
            if a != b:
                problems.append(f"partition {number} {what}: kvdump {a!r}, partx {b!r}")
    return problems


# sfdisk shows the three attribute bits the UEFI specification names, then
# the type-specific bits 48-63 as GUID:NN.
_ATTRIBUTE_NAMES = {0: "RequiredPartition", 1: "NoBlockIOProtocol", 2: "LegacyBIOSBootable"}


def attribute_text(value):
    """The attribute flags as sfdisk -J spells them ("" when none are set)."""
    words = [_ATTRIBUTE_NAMES[bit] for bit in sorted(_ATTRIBUTE_NAMES) if value >> bit & 1]
    high = [str(bit) for bit in range(48, 64) if value >> bit & 1]
    if high:
        words.append("GUID:" + ",".join(high))
    return " ".join(words)


def sfdisk_verify(path):
    """None when sfdisk --verify finds no error in the table, else its output."""
    done = run(["sfdisk", "--verify", path], check=False)
    if done.returncode != 0 or "No errors detected" not in done.stdout:
        return f"{done.stdout.strip()} {done.stderr.strip()}".strip()
    return None


# A partition that runs to the last usable block ends where it must, not on
# a MiB: sgdisk's caution about that is no fault.
_END_CAUTION = re.compile(r"Caution: Partition \d+ doesn't end on a \d+-sector boundary\."
                          r"[^\n]*\n[^\n]*tools\.")


def sgdisk_verify(path, strict=False):
    """None when sgdisk -v finds no problem in a GPT, else its output. With
    strict, any caution or warning other than the one above counts too."""
    done = run(["sgdisk", "-v", path], check=False)
    text = done.stdout + done.stderr
    bad = []
    if strict:
        judged = _END_CAUTION.sub("", text)
        bad = [w for w in ("Caution", "Warning", "ERROR", "corrupt", "Problem") if w in judged]
    if done.returncode != 0 or "No problems found" not in text or bad:
        return text.strip()
    return None


class Judgement:
    """The problems found while judging images in one directory."""

    def __init__(self, directory):
        self.directory = directory
        self.problems = []

    def image(self, name, size):
        return make_image(os.path.join(self.directory, name), size)

    def expect(self, what, actual, expected):
        if actual != expected:
            self.problems.append(f"{what}: got {actual!r}, expected {expected!r}")
