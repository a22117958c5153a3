// The entry point of table reading: classifies block 0, hands GPT disks to
// load_gpt and reads MBR tables with their chain of extended boot records.
#include "disk/bytes.h"
#include "disk/gpt_layout.h"
#include "disk/gpt_rescue.h"
#include "disk/layout.h"
#include "disk/mbr_layout.h"
#include "disk/read_table.h"
#include "platform/memory.h"
#include "platform/strings.h"

namespace kv {

namespace {

constexpr uint8_t kJumpShort = 0xEB;
constexpr uint8_t kJumpNear = 0xE9;

// File-system boot sector signatures inside block 0.
constexpr size_t kOemNameOffset = 3;
constexpr size_t kOemNameSize = 8;
constexpr size_t kFat16TypeOffset = 54;
constexpr size_t kFat32TypeOffset = 82;

struct MbrEntry {
    uint8_t status;
    uint8_t type;
    uint32_t first_block;
    uint32_t block_count;
};

MbrEntry decode_entry(const uint8_t* block, int slot) {
    const uint8_t* e = block + mbr_entry_offset(slot);
    MbrEntry entry;
    entry.status = e[kEntryStatus];
    entry.type = e[kEntryType];
    entry.first_block = load_le32(e + kEntryFirstBlock);
    entry.block_count = load_le32(e + kEntryBlockCount);
    return entry;
}

// An entry with blocks is a partition whatever its type: hybrid ISO images
// describe the whole image with a type-0 entry, and every other reader lists
// it, so skipping it would offer the image's files as free space.
bool entry_in_use(const MbrEntry& e) {
    return e.block_count != 0;
}

bool all_zero(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; i++)
        if (bytes[i] != 0) return false;
    return true;
}

bool has_mbr_magic(const uint8_t* block) {
    return block[kMbrMagicOffset] == kMbrMagic0 && block[kMbrMagicOffset + 1] == kMbrMagic1;
}

bool is_boot_sector(const uint8_t* block0) {
    return (block0[0] == kJumpShort || block0[0] == kJumpNear) && looks_like_filesystem(block0);
}

// A partition found on the disk is not a change: append_partition marks it
// as one, so the marks are taken back.
void append_as_read(PartitionTable* table, const Partition* model) {
    Partition* added = append_partition(table, model);
    added->changed = false;
    table->dirty = false;
}

// Logical partitions behind this point were never read: a table written
// from what was read would drop them.
void mark_chain_cut(PartitionTable* table, ChainCut reason, uint64_t block) {
    table->chain_cut = true;
    table->chain_cut_reason = reason;
    table->chain_cut_block = block;
}

enum class Block0 {
    Blank,      // no 0x55 0xAA: maybe a GPT without MBR, else an empty disk
    Invalid,    // ends like an MBR but is not a usable one
    Protective, // announces a GPT
    Mbr,
};

// Entries that describe real partitions: at least one in use, each after
// block 0, of at least one block, on the disk and apart from the others. Boot
// loaders that copy a file system's parameter block into the MBR keep such a
// table behind it, which a boot sector's code and padding never form.
bool plausible_entries(const uint8_t* block0, uint64_t disk_blocks) {
    MbrEntry used[kMbrSlots];
    int count = 0;
    for (int slot = 1; slot <= kMbrSlots; slot++) {
        MbrEntry e = decode_entry(block0, slot);
        if (e.type == kTypeEmpty && e.block_count == 0) continue;
        uint64_t end = (uint64_t)e.first_block + e.block_count;
        if (e.first_block == 0 || e.block_count == 0 || end > disk_blocks) return false;
        for (int i = 0; i < count; i++) {
            uint64_t other_end = (uint64_t)used[i].first_block + used[i].block_count;
            if (e.first_block < other_end && used[i].first_block < end) return false;
        }
        used[count++] = e;
    }
    return count > 0;
}

Block0 classify_block0(const uint8_t* block0, uint64_t disk_blocks, bool* hybrid) {
    *hybrid = false;
    if (!has_mbr_magic(block0)) return Block0::Blank;
    bool flags_valid = true;
    bool protective = false;
    bool others = false;
    for (int slot = 1; slot <= kMbrSlots; slot++) {
        MbrEntry e = decode_entry(block0, slot);
        if ((e.status & 0x7F) != 0) flags_valid = false;
        if (e.type == kTypeProtective)
            protective = true;
        else if (e.type != kTypeEmpty)
            others = true;
    }
    if (!flags_valid) return Block0::Invalid;
    if (protective) {
        *hybrid = others;
        return Block0::Protective;
    }
    if (is_boot_sector(block0) && !plausible_entries(block0, disk_blocks)) return Block0::Invalid;
    return Block0::Mbr;
}

// Block 0 holds no usable MBR: a GPT header in block 1 still makes a GPT
// disk. Otherwise, when block 0 ended like an MBR, say why it was refused.
void probe_gpt(const BlockDevice* device, PartitionTable* table, const uint8_t* block0,
               bool diagnose) {
    uint8_t* block1 = read_blocks(device, kGptPrimaryBlock, 1);
    bool signed_gpt = block1 != nullptr && memcmp(block1, kGptSignature, kGptSignatureSize) == 0;
    free(block1);
    if (signed_gpt) {
        load_gpt(device, table);
        if (table->kind == TableKind::Gpt) {
            add_note(table, "the protective MBR is missing");
            table->needs_repair = true;
        }
        return;
    }
    if (!diagnose) {
        load_gpt_behind_blank_start(device, table);
        return;
    }
    if (is_boot_sector(block0))
        add_note(table, "no partition table: a file system covers the whole disk");
    else
        add_note(table, "block 0 ends like an MBR, but its partition entries are invalid");
}

bool already_visited(const PartitionTable* table, uint64_t block) {
    for (int32_t i = 0; i < table->ebr_count; i++)
        if (table->ebr_blocks[i] == block) return true;
    return false;
}

// Follows the EBR chain of the first extended partition. Links may point in
// either direction (fdisk places EBRs in the order partitions were made), so
// the walk ends at a block already visited or after the budget.
void read_logicals(const BlockDevice* device, PartitionTable* table) {
    const Partition* extended = nullptr;
    for (int32_t i = 0; i < table->partition_count && extended == nullptr; i++)
        if (table->partitions[i].kind == PartitionKind::Extended) extended = &table->partitions[i];
    if (extended == nullptr) return;
    // Both are below 2^33: sums of 32-bit fields.
    const uint64_t first = extended->start;
    const uint64_t end = extended->start + extended->size;
    // Block 0 is the MBR itself: following it would read the primary
    // entries as a logical partition and a link.
    if (first == 0) {
        add_note(table, "invalid extended boot record at block %llu", 0ULL);
        mark_chain_cut(table, ChainCut::Invalid, 0);
        return;
    }

    uint64_t current = first;
    int32_t number = kFirstLogicalNumber;
    for (;;) {
        uint8_t* ebr = read_blocks(device, current, 1);
        if (ebr == nullptr) {
            add_note(table, "cannot read the extended boot record at block %llu",
                     (unsigned long long)current);
            mark_chain_cut(table, ChainCut::Unreadable, current);
            return;
        }
        bool valid = has_mbr_magic(ebr);
        // A first EBR of zeros is an extended partition that never had a
        // logical one: nothing behind it can be found, so nothing is lost.
        bool blank = !valid && current == first && all_zero(ebr, kMbrSize);
        MbrEntry logical = decode_entry(ebr, kEbrPartitionSlot);
        MbrEntry link = decode_entry(ebr, kEbrLinkSlot);
        free(ebr);
        if (!valid) {
            add_note(table, "invalid extended boot record at block %llu",
                     (unsigned long long)current);
            if (!blank) mark_chain_cut(table, ChainCut::Invalid, current);
            return;
        }
        table->ebr_blocks[table->ebr_count++] = current;
        if (entry_in_use(logical)) {
            Partition p{};
            p.number = number;
            p.kind = PartitionKind::Logical;
            p.start = current + logical.first_block;
            p.size = logical.block_count;
            p.mbr_type = logical.type;
            p.active = logical.status == kStatusActive;
            p.ebr_block = current;
            append_as_read(table, &p);
            if (p.start + p.size > end)
                add_note(table, "logical partition %d goes beyond its extended partition",
                         (int)number);
            number++;
        }
        if (!is_extended_type(link.type) || link.block_count == 0) return;
        uint64_t next = first + link.first_block;
        if (next >= end) {
            add_note(table,
                     "the chain of logical partitions points outside its extended partition");
            mark_chain_cut(table, ChainCut::BadLink, current);
            return;
        }
        // A loop holds nothing that was not read: the written chain ends
        // where the loop closed.
        if (already_visited(table, next)) {
            add_note(table, "the chain of logical partitions loops back to block %llu",
                     (unsigned long long)next);
            return;
        }
        if (table->ebr_count == kEbrChainLimit) {
            mark_chain_cut(table, ChainCut::TooLong, next);
            add_note(table, "the chain of logical partitions is too long; stopped after %d",
                     kEbrChainLimit);
            return;
        }
        current = next;
    }
}

// An MBR made for 512-byte blocks (an ISO image on a CD, a stick image on a
// disk with larger blocks) runs past the end when counted in larger blocks,
// though every entry fits in 512-byte units: one note says so instead of a
// note per partition.
bool made_for_smaller_blocks(const PartitionTable* table, const uint8_t* block0) {
    if (table->block_size <= kMbrSize) return false;
    const uint64_t disk_bytes = table->block_count * table->block_size;
    bool beyond = false;
    for (int slot = 1; slot <= kMbrSlots; slot++) {
        MbrEntry e = decode_entry(block0, slot);
        if (!entry_in_use(e)) continue;
        uint64_t end = (uint64_t)e.first_block + e.block_count;
        if (end * kMbrSize > disk_bytes) return false;
        if (end > table->block_count) beyond = true;
    }
    return beyond;
}

void read_mbr(const BlockDevice* device, PartitionTable* table, const uint8_t* block0) {
    table->kind = TableKind::Mbr;
    table->mbr_signature = load_le32(block0 + kMbrSignatureOffset);
    const bool smaller_blocks = made_for_smaller_blocks(table, block0);
    if (smaller_blocks)
        add_note(table, "the MBR was made for 512-byte blocks; this disk has %u-byte blocks",
                 (unsigned)table->block_size);
    bool seen_extended = false;
    for (int slot = 1; slot <= kMbrSlots; slot++) {
        MbrEntry e = decode_entry(block0, slot);
        if (!entry_in_use(e)) continue;
        bool extended = is_extended_type(e.type);
        Partition p{};
        p.number = slot;
        p.kind = extended ? PartitionKind::Extended : PartitionKind::Primary;
        p.start = e.first_block;
        p.size = e.block_count;
        p.mbr_type = e.type;
        p.active = e.status == kStatusActive;
        append_as_read(table, &p);
        if (p.start + p.size > table->block_count && !smaller_blocks)
            add_note(table, "partition %d goes beyond the end of the disk", slot);
        if (extended && seen_extended)
            add_note(table, "more than one extended partition; only the first one is read");
        seen_extended = seen_extended || extended;
    }
    read_logicals(device, table);
    note_layout_faults(table);
}

} // namespace

bool looks_like_filesystem(const uint8_t* block0) {
    const uint8_t* oem = block0 + kOemNameOffset;
    return memcmp(oem, "NTFS    ", kOemNameSize) == 0 ||
           memcmp(oem, "EXFAT   ", kOemNameSize) == 0 ||
           memcmp(block0 + kFat16TypeOffset, "FAT", 3) == 0 ||
           memcmp(block0 + kFat16TypeOffset, "HPFS", 4) == 0 ||
           memcmp(block0 + kFat32TypeOffset, "FAT32", 5) == 0;
}

ErrorCode read_table_blocks(const BlockDevice* device, PartitionTable* table) {
    // Frees nothing when the caller has released the array, as it should;
    // a stale one is not leaked by the clear below.
    clear_partitions(table);
    memset(table, 0, sizeof *table);
    table->block_size = device->block_size;
    table->block_count = device->block_count;
    if (table->block_size < kMbrSize || table->block_count == 0) return ERR_INVALID_PARAMETER;

    uint8_t* block0 = read_blocks(device, 0, 1);
    if (block0 == nullptr) return ERR_IO;
    memcpy(table->block0, block0, kBlock0Size);

    bool hybrid = false;
    switch (classify_block0(block0, table->block_count, &hybrid)) {
    case Block0::Blank:
        probe_gpt(device, table, block0, false);
        break;
    case Block0::Invalid:
        probe_gpt(device, table, block0, true);
        break;
    case Block0::Protective:
        table->hybrid = hybrid;
        load_gpt(device, table);
        if (hybrid && table->kind == TableKind::Gpt)
            add_note(table, "hybrid MBR: block 0 also describes partitions for legacy systems");
        note_stale_hybrid_entries(table);
        break;
    case Block0::Mbr:
        read_mbr(device, table, block0);
        break;
    }
    free(block0);
    return ERR_OK;
}

} // namespace kv
