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

// In an EBR slot 1 describes the logical partition, slot 2 links onward.
constexpr int kEbrPartitionSlot = 1;
constexpr int kEbrLinkSlot = 2;
constexpr int kEbrChainLimit = 128;

// Offset of slot 1..4 inside the block.
constexpr size_t mbr_entry_offset(int slot) {
    return kMbrEntriesOffset + (size_t)(slot - 1) * kMbrEntrySize;
}

} // namespace kv
