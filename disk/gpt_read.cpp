// Reading a GUID Partition Table: validating the primary and backup copies,
// choosing one, and turning its used entries into partitions.
#include "disk/bytes.h"
#include "disk/crc32.h"
#include "disk/gpt_layout.h"
#include "disk/layout.h"
#include "disk/read_table.h"
#include "platform/memory.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

namespace {

constexpr uint64_t kGptMinBlockSize = 512;
constexpr uint64_t kGptMaxBlockSize = 65536;
constexpr uint64_t kTailProbeBytes = 1048576;

// The fields this reader uses, decoded from a header that passed its
// signature, size and checksum checks.
struct GptHeader {
    uint64_t my_lba;
    uint64_t alternate_lba;
    uint64_t first_usable;
    uint64_t last_usable;
    uint64_t array_lba;
    uint32_t entry_count;
    uint32_t entry_size;
    uint32_t array_crc;
};

GptHeader decode_header(const uint8_t* h) {
    GptHeader header;
    header.my_lba = load_le64(h + kGptMyLbaOffset);
    header.alternate_lba = load_le64(h + kGptAlternateLbaOffset);
    header.first_usable = load_le64(h + kGptFirstUsableOffset);
    header.last_usable = load_le64(h + kGptLastUsableOffset);
    header.array_lba = load_le64(h + kGptArrayLbaOffset);
    header.entry_count = load_le32(h + kGptEntryCountOffset);
    header.entry_size = load_le32(h + kGptEntrySizeOffset);
    header.array_crc = load_le32(h + kGptArrayCrcOffset);
    return header;
}

// Both factors are 32-bit, so the product cannot wrap in 64 bits.
uint64_t array_bytes(const GptHeader& h) {
    return (uint64_t)h.entry_count * h.entry_size;
}

bool layout_possible(const GptHeader& h, uint64_t block_count) {
    return h.last_usable >= h.first_usable && h.last_usable < block_count &&
           h.entry_size >= kGptMinEntrySize && h.entry_size % 8 == 0 && h.entry_count >= 1;
}

// A sound header whose array exceeds what the reader allocates: a table
// this program cannot show, which is not the same as a damaged one.
const char kArrayTooLarge[] = "has an entry array larger than korvane reads";

// Checks the header block as read from `block`, up to but not including its
// entry array. The CRC field is zeroed for the checksum and put back.
bool header_sound(const BlockDevice* device, uint64_t block, uint8_t* header, const char** reason) {
    *reason = "has no GPT signature";
    if (memcmp(header + kGptSignatureOffset, kGptSignature, kGptSignatureSize) != 0) return false;

    *reason = "has an invalid size";
    uint32_t header_size = load_le32(header + kGptHeaderSizeOffset);
    if (header_size < kGptMinHeaderSize || header_size > device->block_size) return false;

    *reason = "has a wrong checksum";
    uint32_t stored_crc = load_le32(header + kGptHeaderCrcOffset);
    store_le32(header + kGptHeaderCrcOffset, 0);
    uint32_t actual_crc = crc32(0, header, header_size);
    store_le32(header + kGptHeaderCrcOffset, stored_crc);
    if (actual_crc != stored_crc) return false;

    GptHeader h = decode_header(header);
    *reason = "is not where it says it is";
    if (h.my_lba != block) return false;

    *reason = "describes an impossible layout";
    if (!layout_possible(h, device->block_count)) return false;
    *reason = kArrayTooLarge;
    return array_bytes(h) <= kGptMaxArrayBytes;
}

// Reads the whole entry array in one call; its size was bounded by
// layout_possible, and read_blocks refuses a range that leaves the disk.
uint8_t* read_array(const BlockDevice* device, const uint8_t* header, const char** reason) {
    GptHeader h = decode_header(header);
    uint64_t bytes = array_bytes(h);
    uint64_t blocks = (bytes + device->block_size - 1) / device->block_size;
    *reason = "has an unreadable partition array";
    uint8_t* array = read_blocks(device, h.array_lba, blocks);
    if (array == nullptr) return nullptr;
    *reason = "has a partition array with a wrong checksum";
    if (crc32(0, array, (size_t)bytes) != h.array_crc) {
        free(array);
        return nullptr;
    }
    return array;
}

struct GptCopy {
    bool valid;
    const char* reason;
    uint8_t* header;
    uint8_t* array;
};

void free_copy(GptCopy* copy) {
    free(copy->header);
    free(copy->array);
}

bool copies_differ(const GptCopy& a, const GptCopy& b) {
    GptHeader ha = decode_header(a.header);
    GptHeader hb = decode_header(b.header);
    return memcmp(a.header + kGptDiskGuidOffset, b.header + kGptDiskGuidOffset, 16) != 0 ||
           ha.array_crc != hb.array_crc || ha.entry_count != hb.entry_count;
}

bool all_zero(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (bytes[i] != 0) return false;
    return true;
}

void decode_name(const uint8_t* field, char* name) {
    char16_t units[kGptNameUnits];
    for (int i = 0; i < kGptNameUnits; i++)
        units[i] = (char16_t)load_le16(field + 2 * size_t(i));
    char* text = utf16_to_utf8(units, kGptNameUnits);
    size_t length = strlen(text);
    // 36 units give at most 108 bytes, so the cut is only a safeguard.
    if (length > kPartitionNameSize - 1) length = kPartitionNameSize - 1;
    memcpy(name, text, length);
    name[length] = '\0';
    free(text);
}

void add_entries(PartitionTable* table, const uint8_t* array) {
    for (uint32_t i = 0; i < table->entry_count; i++) {
        const uint8_t* entry = array + (size_t)i * table->entry_size;
        if (all_zero(entry + kGptEntryTypeGuid, 16)) continue;
        uint64_t first = load_le64(entry + kGptEntryFirstLba);
        uint64_t last = load_le64(entry + kGptEntryLastLba);
        Partition p{};
        p.number = (int32_t)(i + 1);
        p.kind = PartitionKind::Primary;
        p.start = first;
        p.size = last < first ? 0 : last - first + 1;
        memcpy(p.type_guid, entry + kGptEntryTypeGuid, 16);
        memcpy(p.unique_guid, entry + kGptEntryUniqueGuid, 16);
        p.attributes = load_le64(entry + kGptEntryAttributes);
        decode_name(entry + kGptEntryName, p.name);
        // A partition found on the disk is not a change.
        Partition* added = append_partition(table, &p);
        added->changed = false;
        table->dirty = false;
        if (last < first || first < table->first_usable || last > table->last_usable)
            add_note(table, "partition %d lies outside the usable area of the disk", p.number);
    }
}

// A GPT written for another block size has its header at that size's byte
// offset (block 1 in its units). Returns that size, or 0.
uint32_t foreign_block_size(const BlockDevice* device) {
    for (uint64_t size = kGptMinBlockSize; size <= kGptMaxBlockSize; size *= 2) {
        if (size == device->block_size) continue;
        uint64_t block = size / device->block_size;
        uint64_t offset = size % device->block_size;
        uint8_t* data = read_blocks(device, block, 1);
        if (data == nullptr) continue;
        bool found = memcmp(data + offset, kGptSignature, kGptSignatureSize) == 0;
        free(data);
        if (found) return (uint32_t)size;
    }
    return 0;
}

// Whether any of the blocks after `backup_lba`, up to the last MiB of the
// disk, holds data. RAID members and firmware RAID keep their metadata
// there, behind the array's own backup GPT.
bool data_after_backup(const BlockDevice* device, uint64_t backup_lba) {
    uint64_t first = backup_lba + 1;
    uint64_t tail = kTailProbeBytes / device->block_size;
    if (tail == 0) tail = 1;
    if (device->block_count - first > tail) first = device->block_count - tail;
    uint64_t count = device->block_count - first;
    if (count == 0) return false;
    uint8_t* data = read_blocks(device, first, count);
    // Unreadable: assume the worst and leave it alone.
    if (data == nullptr) return true;
    bool found = !all_zero(data, (size_t)(count * device->block_size));
    free(data);
    return found;
}

// The table stays of kind None, but the note says why instead of calling a
// healthy GPT damaged.
void note_unread_array(const BlockDevice* device, PartitionTable* table, uint64_t block) {
    uint8_t* header = read_blocks(device, block, 1);
    uint32_t entries = header != nullptr ? load_le32(header + kGptEntryCountOffset) : 0;
    free(header);
    table->unread_entry_count = entries;
    add_note(table, "the GPT entry array holds %u entries, more than korvane reads",
             (unsigned)entries);
}

} // namespace

bool check_gpt_header(const BlockDevice* device, uint64_t block, uint8_t** header_out,
                      uint8_t** array_out, const char** reason) {
    *header_out = nullptr;
    *array_out = nullptr;
    *reason = "cannot be read";
    // A block too small for a header cannot hold one; this also keeps the
    // signature and field loads inside the buffer.
    if (device->block_size < kGptMinHeaderSize) return false;
    uint8_t* header = read_blocks(device, block, 1);
    if (header == nullptr) return false;
    uint8_t* array =
        header_sound(device, block, header, reason) ? read_array(device, header, reason) : nullptr;
    if (array == nullptr) {
        free(header);
        return false;
    }
    *header_out = header;
    *array_out = array;
    return true;
}

void load_gpt(const BlockDevice* device, PartitionTable* table) {
    GptCopy primary{};
    GptCopy backup{};
    primary.valid = check_gpt_header(device, kGptPrimaryBlock, &primary.header, &primary.array,
                                     &primary.reason);

    // The backup's place is known from a sound primary; without one it can
    // only be the last block. Blocks 0 and 1 never hold a backup: accepting
    // the primary as its own backup would hide that no backup exists.
    uint64_t last_block = table->block_count - 1;
    uint64_t backup_lba =
        primary.valid ? load_le64(primary.header + kGptAlternateLbaOffset) : last_block;
    backup.reason = "cannot be found";
    if (backup_lba > kGptPrimaryBlock && backup_lba < table->block_count)
        backup.valid =
            check_gpt_header(device, backup_lba, &backup.header, &backup.array, &backup.reason);

    if (!primary.valid && !backup.valid) {
        uint32_t made_for = foreign_block_size(device);
        if (primary.reason == kArrayTooLarge)
            note_unread_array(device, table, kGptPrimaryBlock);
        else if (backup.reason == kArrayTooLarge)
            note_unread_array(device, table, backup_lba);
        else if (made_for != 0)
            add_note(table, "the GPT was made for %u-byte blocks; this disk has %u-byte blocks",
                     (unsigned)made_for, (unsigned)device->block_size);
        else
            add_note(table, "the protective MBR announces a GPT, but both GPT copies are damaged");
        free_copy(&primary);
        free_copy(&backup);
        return;
    }
    // Every case below but two sound copies in their places is one that
    // writing the shown copy back mends.
    table->needs_repair = true;
    if (!backup.valid) {
        add_note(table, "the backup GPT %s", backup.reason);
    } else if (!primary.valid) {
        add_note(table, "the primary GPT %s; the backup copy is used", primary.reason);
    } else {
        table->needs_repair = false;
        // A backup kept before tail metadata is where it belongs: writing
        // would not move it, so there is nothing to repair.
        if (backup_lba != last_block && data_after_backup(device, backup_lba)) {
            table->backup_kept = true;
            add_note(table, "the backup GPT lies before data at the end of the disk (RAID "
                            "metadata?) and stays there");
        } else if (backup_lba != last_block) {
            add_note(table, "the backup GPT is not in the last block (the disk was enlarged?)");
            table->needs_repair = true;
        }
        if (copies_differ(primary, backup)) {
            add_note(table, "the primary and backup GPT differ; the primary one is shown");
            table->needs_repair = true;
        }
    }

    const GptCopy& shown = primary.valid ? primary : backup;
    GptHeader h = decode_header(shown.header);
    // A later revision keeps the fields read here where they are and adds
    // its own behind them, so the table is shown; a Write makes it 1.0.
    uint32_t revision = load_le32(shown.header + kGptRevisionOffset);
    if (revision != kGptRevision10)
        add_note(table, "the GPT header has revision %u.%u; korvane knows 1.0", revision >> 16,
                 revision & 0xFFFF);
    memcpy(table->disk_guid, shown.header + kGptDiskGuidOffset, 16);
    table->first_usable = h.first_usable;
    table->last_usable = h.last_usable;
    table->entry_count = h.entry_count;
    table->entry_size = h.entry_size;
    table->primary_array_lba =
        primary.valid ? decode_header(primary.header).array_lba : kGptPrimaryArrayBlock;
    table->backup_header_lba = backup_lba;
    table->backup_array_lba = backup.valid ? decode_header(backup.header).array_lba : 0;
    table->kind = TableKind::Gpt;
    add_entries(table, shown.array);
    note_layout_faults(table);

    free_copy(&primary);
    free_copy(&backup);
}

} // namespace kv
