#!/usr/bin/env python3
"""Checks korvane.efi's PE headers for what Secure Boot loaders expect.

Firmware that maps images with page protections, and shim's loader for
images it verifies against a machine-owner key, refuse or break images
that do not have: sections aligned to the 4 KiB page, the NX-compatible
DLL characteristic, no section that is both writable and executable, and a
base relocation table (the image is loaded wherever the firmware finds
room). The relocations must also describe real pointers: every 64-bit
fixup inside the image, holding an address inside the image.

The same check then runs on copies with one of these properties broken,
and must find each fault: a check that cannot fail proves nothing.

    pe_check.py build/uefi/korvane.efi
"""

import struct
import sys

PAGE = 4096
MACHINE_X64 = 0x8664
PE32_PLUS = 0x20B
SUBSYSTEM_EFI_APPLICATION = 10
RELOCS_STRIPPED = 0x0001
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DIRECTORY_BASERELOC = 5
REL_ABSOLUTE = 0
REL_DIR64 = 10

# Offsets inside the PE32+ optional header.
OPT_MAGIC = 0
OPT_IMAGE_BASE = 24
OPT_SECTION_ALIGNMENT = 32
OPT_FILE_ALIGNMENT = 36
OPT_SIZE_OF_IMAGE = 56
OPT_SIZE_OF_HEADERS = 60
OPT_SUBSYSTEM = 68
OPT_DLL_CHARACTERISTICS = 70
OPT_NUMBER_OF_RVA_AND_SIZES = 108
OPT_DATA_DIRECTORIES = 112


class Layout:
    """Where the headers sit in one image."""

    def __init__(self, data):
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.file_header = self.pe + 4
        self.optional = self.file_header + 20
        count, optional_size = struct.unpack_from("<H12xH", data, self.file_header + 2)
        self.section_count = count
        self.sections = self.optional + optional_size

    def section(self, index):
        return self.sections + 40 * index


def _sections(data, layout):
    found = []
    for index in range(layout.section_count):
        at = layout.section(index)
        name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_size, rva, raw_size, raw_at = struct.unpack_from("<IIII", data, at + 8)
        flags = struct.unpack_from("<I", data, at + 36)[0]
        found.append((name, rva, virtual_size, raw_at, raw_size, flags))
    return found


def _file_offset(sections, rva, length):
    """The file offset of length bytes at rva, or None when they are not
    all inside one section's stored bytes."""
    for _name, start, size, raw_at, raw_size, _flags in sections:
        if start <= rva and rva + length <= start + min(size, raw_size):
            return raw_at + rva - start
    return None


def check(data):
    """The problems of an image as a list of texts; empty when it is fine."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return ["no DOS header"]
    layout = Layout(data)
    if data[layout.pe:layout.pe + 4] != b"PE\0\0":
        return ["no PE signature"]
    problems = []
    machine, characteristics = struct.unpack_from("<H16xH", data, layout.file_header)
    opt = layout.optional
    if machine != MACHINE_X64 or struct.unpack_from("<H", data, opt + OPT_MAGIC)[0] != PE32_PLUS:
        return ["not a PE32+ x86-64 image"]
    image_base = struct.unpack_from("<Q", data, opt + OPT_IMAGE_BASE)[0]
    section_alignment, file_alignment = struct.unpack_from("<II", data,
                                                           opt + OPT_SECTION_ALIGNMENT)
    size_of_image, size_of_headers = struct.unpack_from("<II", data, opt + OPT_SIZE_OF_IMAGE)
    subsystem, dll = struct.unpack_from("<HH", data, opt + OPT_SUBSYSTEM)
    directory_count = struct.unpack_from("<I", data, opt + OPT_NUMBER_OF_RVA_AND_SIZES)[0]

    if subsystem != SUBSYSTEM_EFI_APPLICATION:
        problems.append(f"subsystem {subsystem}, not an EFI application")
    if section_alignment % PAGE:
        problems.append(f"section alignment {section_alignment:#x} is not a multiple of the "
                        f"{PAGE:#x} page")
    if not dll & NX_COMPAT:
        problems.append("the NX-compatible DLL characteristic is not set")
    if not dll & DYNAMIC_BASE:
        problems.append("the dynamic-base DLL characteristic is not set")
    if characteristics & RELOCS_STRIPPED:
        problems.append("the file header says the relocations are stripped")

    sections = _sections(data, layout)
    end = size_of_headers
    for name, rva, size, raw_at, raw_size, flags in sections:
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            problems.append(f"section {name} is writable and executable")
        if section_alignment and rva % section_alignment or rva % PAGE:
            problems.append(f"section {name} starts at {rva:#x}, not on a page")
        if rva < end:
            problems.append(f"section {name} at {rva:#x} overlaps what comes before it")
        if file_alignment and raw_at % file_alignment:
            problems.append(f"section {name}'s bytes are not file-aligned")
        end = rva + size
    if sections and size_of_image < end:
        problems.append(f"size of image {size_of_image:#x} ends before the last section")

    if directory_count <= DIRECTORY_BASERELOC:
        return problems + ["no base relocation directory"]
    reloc_rva, reloc_size = struct.unpack_from("<II", data,
                                               opt + OPT_DATA_DIRECTORIES + 8 * DIRECTORY_BASERELOC)
    if reloc_size == 0:
        return problems + ["the base relocation table is empty"]
    table = _file_offset(sections, reloc_rva, reloc_size)
    if table is None:
        return problems + ["the base relocation table is not inside a section"]
    fixups, at = 0, 0
    while at < reloc_size:
        if reloc_size - at < 8:
            problems.append(f"relocation block at {at:#x} is cut short")
            break
        page, block_size = struct.unpack_from("<II", data, table + at)
        if block_size < 8 or block_size % 4 or at + block_size > reloc_size:
            problems.append(f"relocation block at {at:#x} has size {block_size}")
            break
        if page % PAGE:
            problems.append(f"relocation block at {at:#x} is for {page:#x}, not a page")
        for entry_at in range(table + at + 8, table + at + block_size, 2):
            entry = struct.unpack_from("<H", data, entry_at)[0]
            kind, target = entry >> 12, page + (entry & 0xFFF)
            if kind == REL_ABSOLUTE:
                continue
            if kind != REL_DIR64:
                problems.append(f"relocation of type {kind} at {target:#x}")
                continue
            fixups += 1
            where = _file_offset(sections, target, 8)
            if where is None:
                problems.append(f"relocation at {target:#x} is outside the image's sections")
                continue
            pointer = struct.unpack_from("<Q", data, where)[0]
            if not image_base <= pointer < image_base + size_of_image:
                problems.append(f"relocation at {target:#x} holds {pointer:#x}, not an address "
                                "in the image")
        at += block_size
    if fixups == 0 and not problems:
        problems.append("the base relocation table has no fixups")
    return problems


def _set(data, offset, fmt, value):
    struct.pack_into(fmt, data, offset, value)


def broken_copies(data):
    """(what is broken, a copy with just that broken, a word the problem
    must name)."""
    layout = Layout(data)
    opt = layout.optional
    dll_at = opt + OPT_DLL_CHARACTERISTICS
    sections = _sections(data, layout)
    copies = []

    copy = bytearray(data)
    _set(copy, dll_at, "<H", struct.unpack_from("<H", data, dll_at)[0] & ~NX_COMPAT)
    copies.append(("NX flag cleared", copy, "NX"))

    copy = bytearray(data)
    writable = next(i for i, s in enumerate(sections) if s[5] & SCN_MEM_WRITE)
    flags_at = layout.section(writable) + 36
    _set(copy, flags_at, "<I", sections[writable][5] | SCN_MEM_EXECUTE)
    copies.append((f"{sections[writable][0]} made executable", copy, "writable and executable"))

    copy = bytearray(data)
    _set(copy, opt + OPT_SECTION_ALIGNMENT, "<I", 0x200)
    for index, section in enumerate(sections):
        _set(copy, layout.section(index) + 12, "<I", section[1] - 0x200 * (index + 1))
    copies.append(("sections packed at 512 bytes", copy, "alignment"))

    copy = bytearray(data)
    _set(copy, opt + OPT_DATA_DIRECTORIES + 8 * DIRECTORY_BASERELOC + 4, "<I", 0)
    copies.append(("relocation directory emptied", copy, "relocation"))

    copy = bytearray(data)
    reloc_entry = opt + OPT_DATA_DIRECTORIES + 8 * DIRECTORY_BASERELOC
    reloc_rva = struct.unpack_from("<I", data, reloc_entry)[0]
    table = _file_offset(sections, reloc_rva, 8)
    page = struct.unpack_from("<I", data, table)[0]
    _set(copy, table, "<I", page + 0x10000000)
    copies.append(("first relocation block moved out of the image", copy, "relocation"))
    return copies


def main():
    if len(sys.argv) != 2:
        print(f"usage: {sys.argv[0]} EFI_FILE", file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as image:
        data = image.read()
    failed = False
    for problem in check(data):
        print(f"FAIL: {sys.argv[1]}: {problem}", file=sys.stderr)
        failed = True
    if failed:
        return 1
    for what, copy, word in broken_copies(data):
        found = check(bytes(copy))
        if not any(word.lower() in problem.lower() for problem in found):
            print(f"FAIL: the check misses a copy with the {what}: {found}", file=sys.stderr)
            failed = True
        else:
            print(f"{what}: {found[0]}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
