// Lays down partition tables in a sim::MemDisk for tests: MBRs with EBR
// chains and GPTs with valid CRCs, for any block size, entry count and entry
// size. Tests damage one field afterwards and call the fix_* helpers when the
// damage is meant to survive the checksums.
//
// The CRC and the byte layout here are written independently of the product
// code, so that a misreading in the product cannot cancel itself out.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/memdisk.h"

namespace kvtest {

using Guid = std::array<uint8_t, 16>;

// Bytes in GPT order from the text form, e.g.
// "C12A7328-F81F-11D2-BA4B-00A0C93EC93B".
Guid guid(const std::string& text);

extern const Guid kEspType;       // EFI system partition
extern const Guid kLinuxDataType; // Linux file system data

// Bitwise CRC-32 (IEEE, reflected), independent of the product's table.
uint32_t ref_crc32(const uint8_t* data, size_t length);

void put_le16(uint8_t* p, uint16_t v);
void put_le32(uint8_t* p, uint32_t v);
void put_le64(uint8_t* p, uint64_t v);
uint32_t get_le32(const uint8_t* p);
uint64_t get_le64(const uint8_t* p);

// One 16-byte MBR or EBR entry.
struct MbrEntry {
    uint8_t status = 0x00;
    uint8_t type = 0x00;
    uint32_t first = 0;
    uint32_t count = 0;
};

// Writes the entry into slot 1..4 of block `lba`; the rest stays as it is.
void put_mbr_entry(sim::MemDisk& disk, uint64_t lba, int slot, const MbrEntry& entry);
// Bytes 510 and 511 of block `lba`: 0x55 0xAA.
void put_boot_signature(sim::MemDisk& disk, uint64_t lba);

// Block 0: boot code left as it is, the disk signature, up to four entries
// (slot 1 first; missing ones empty) and 0x55 0xAA.
void write_mbr(sim::MemDisk& disk, const std::vector<MbrEntry>& slots,
               uint32_t disk_signature = 0x1234ABCD);

// Block 0 as a protective MBR over the whole disk.
void write_protective_mbr(sim::MemDisk& disk);

// One logical partition: its EBR block and the partition, both absolute.
struct Logical {
    uint64_t ebr;
    uint64_t start;
    uint32_t size;
    uint8_t type = 0x83;
    uint8_t status = 0x00;
};

// Writes one EBR per logical partition, in the order given, each linking to
// the next (link start relative to the extended partition, as on real
// disks). Every EBR's slot 1 is relative to its own block.
void write_ebr_chain(sim::MemDisk& disk, uint64_t extended_start,
                     const std::vector<Logical>& logicals, uint8_t link_type = 0x05);

struct GptEntry {
    uint32_t index = 0; // position in the array; the partition number is index + 1
    Guid type = {};
    Guid unique = {};
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t attributes = 0;
    std::u16string name;
};

struct GptPlan {
    uint32_t entry_count = 128;
    uint32_t entry_size = 128;
    Guid disk_guid = guid("8A1E5B3C-0D2F-4E6A-9B7C-1D2E3F405162");
    std::vector<GptEntry> entries;
    bool protective_mbr = true;
    bool primary = true;
    bool backup = true;
};

// Where write_gpt put things; the usable area follows the array sizes.
struct GptPlacement {
    uint64_t array_blocks;
    uint64_t primary_array;
    uint64_t backup_header;
    uint64_t backup_array;
    uint64_t first_usable;
    uint64_t last_usable;
};

GptPlacement gpt_placement(const sim::MemDisk& disk, const GptPlan& plan);

// Header at block 1, array at 2, backup array and header at the end.
GptPlacement write_gpt(sim::MemDisk& disk, const GptPlan& plan);

// Recomputes the array CRC of the header at `header_lba` from the array it
// points at, then the header CRC (over the header size it states).
void fix_gpt_crcs(sim::MemDisk& disk, uint64_t header_lba);
// Recomputes only the header CRC.
void fix_header_crc(sim::MemDisk& disk, uint64_t header_lba);

// The start of entry `index` in the array of the header at `header_lba`.
uint8_t* gpt_entry(sim::MemDisk& disk, uint64_t header_lba, uint32_t index);

} // namespace kvtest
