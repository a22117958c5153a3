// Where the fields of an MBR or EBR block and of its 16-byte partition
// entries lie. Only the first 512 bytes of a block carry them, whatever the
// block size. The reader and the writer share these offsets.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

constexpr size_t kMbrSize = 512;
constexpr size_t kMbrBootCodeSize = 440;
constexpr size_t kMbrSignatureOffset = 440; // 32-bit disk signature
constexpr size_t kMbrEntriesOffset = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr int kMbrSlots = 4;
constexpr size_t kMbrMagicOffset = 510; // 0x55 then 0xAA
constexpr uint8_t kMbrMagic0 = 0x55;
constexpr uint8_t kMbrMagic1 = 0xAA;
static_assert(kMbrEntriesOffset + kMbrSlots * kMbrEntrySize == kMbrMagicOffset);

// Offsets inside one partition entry.
constexpr size_t kEntryStatus = 0; // 0x80 active, 0x00 inactive
constexpr size_t kEntryFirstChs = 1;
constexpr size_t kEntryType = 4;
constexpr size_t kEntryLastChs = 5;
constexpr size_t kEntryFirstBlock = 8;  // 32-bit
constexpr size_t kEntryBlockCount = 12; // 32-bit

constexpr uint8_t kStatusActive = 0x80;
constexpr uint8_t kTypeEmpty = 0x00;
constexpr uint8_t kTypeProtective = 0xEE;
// The extended-partition types: CHS-era, LBA and the Linux one. New
// containers get 0x05 when they end below kExtendedLbaFrom, else 0x0F;
// an EBR's link entry always has 0x05.
constexpr uint8_t kTypeExtended = 0x05;
constexpr uint8_t kTypeExtendedLba = 0x0F;
constexpr uint8_t kTypeLinuxExtended = 0x85;
constexpr uint64_t kExtendedLbaFrom = 0x1000000;

// The one test for an extended-partition type byte.
constexpr bool is_extended_type(uint8_t type) {
    return type == kTypeExtended || type == kTypeExtendedLba || type == kTypeLinuxExtended;
}

// The largest start or size a 32-bit entry field holds; no MBR partition
// reaches kMbrBlockLimit.
constexpr uint64_t kMax32 = 0xFFFFFFFF;
constexpr uint64_t kMbrBlockLimit = kMax32 + 1;

// In an EBR slot 1 describes the logical partition, slot 2 links onward.
constexpr int kEbrPartitionSlot = 1;
constexpr int kEbrLinkSlot = 2;
// The reader follows no longer chain, so the editor makes none: a 129th
// logical partition would vanish the next time the disk is read.
constexpr int kEbrChainLimit = 128;

// Offset of slot 1..4 inside the block.
constexpr size_t mbr_entry_offset(int slot) {
    return kMbrEntriesOffset + (size_t)(slot - 1) * kMbrEntrySize;
}

} // namespace kv
