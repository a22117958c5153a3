// Writes a GPT: the primary entry array and header, the backup array and
// header at the end of the disk as it is now, then the protective MBR. The
// order keeps a readable table on the disk after any prefix of the writes: a
// new primary array is not trusted before its header, the old backup stays
// valid until the new primary is complete, and an MBR that the GPT replaces
// stays in force until block 0 is written.
#include "disk/bytes.h"
#include "disk/crc32.h"
#include "disk/gpt_layout.h"
#include "disk/mbr_layout.h"
#include "io/table_writers.h"
#include "platform/memory.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

namespace {

struct GptLayout {
    uint64_t array_bytes;
    uint64_t array_blocks;
    uint64_t primary_array;
    uint64_t last_usable;
    uint64_t backup_array;
    uint64_t backup_header;
};

// Where the primary array goes: where the header as read had it, when that
// still lies between the header and the first usable block (boot images
// keep other structures, an Apple partition map for one, in front of a
// later array); else, and for a new table, right after the header.
uint64_t primary_array_block(const PartitionTable* table, uint64_t array_blocks) {
    uint64_t lba = table->primary_array_lba;
    if (lba > kGptPrimaryBlock && lba <= table->first_usable &&
        array_blocks <= table->first_usable - lba)
        return lba;
    return kGptPrimaryArrayBlock;
}

// Where the backup header goes: the end of the disk as it is now, unless
// the reader found data behind the backup and it has to stay.
uint64_t backup_header_block(const BlockDevice* device, const PartitionTable* table) {
    if (table->backup_kept && table->backup_header_lba > kGptPrimaryBlock &&
        table->backup_header_lba < device->block_count)
        return table->backup_header_lba;
    return device->block_count - 1;
}

// The sizes follow the device, so a disk that was enlarged and read again
// gets its backup at the new end. Refuses a layout that the reader would
// call impossible, so the written table is always read back.
ErrorCode plan_layout(const BlockDevice* device, const PartitionTable* table, GptLayout* layout,
                      WriteRefusal* refusal) {
    uint64_t array_bytes = (uint64_t)table->entry_count * table->entry_size;
    if (table->entry_size < kGptMinEntrySize || table->entry_size % 8 != 0 ||
        table->entry_count == 0 || array_bytes > kGptMaxArrayBytes)
        return refuse(refusal,
                      "the GPT entry array has an impossible size (%u entries of %u bytes)",
                      table->entry_count, table->entry_size);
    uint64_t array_blocks = (array_bytes + device->block_size - 1) / device->block_size;
    // Block 0, the primary header and array before the usable area; the
    // backup array and header after it.
    uint64_t reserved = kGptPrimaryArrayBlock + array_blocks;
    if (device->block_count < 2 * reserved)
        return refuse(refusal, "the disk is too small for a GPT (%llu blocks; at least %llu)",
                      (unsigned long long)device->block_count, 2 * (unsigned long long)reserved);
    if (table->first_usable < reserved)
        return refuse(refusal, "the first usable block lies inside the GPT entry array");
    uint64_t backup_header = backup_header_block(device, table);
    if (backup_header < 2 * reserved - 1)
        return refuse(refusal, "the backup GPT at block %llu leaves no room for the table",
                      (unsigned long long)backup_header);
    uint64_t last_usable = backup_header - 1 - array_blocks;
    if (last_usable < table->first_usable)
        return refuse(refusal, "the first usable block lies beyond the last usable one");
    layout->array_bytes = array_bytes;
    layout->array_blocks = array_blocks;
    layout->primary_array = primary_array_block(table, array_blocks);
    layout->last_usable = last_usable;
    layout->backup_header = backup_header;
    layout->backup_array = backup_header - array_blocks;
    return ERR_OK;
}

bool all_zero(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; i++)
        if (bytes[i] != 0) return false;
    return true;
}

// The name as UTF-16LE, cut to the field's 36 units. The record's buffer is
// terminated here in case a caller filled all 112 bytes.
void encode_name(uint8_t* field, const char* name) {
    char text[kPartitionNameSize];
    memcpy(text, name, sizeof text);
    text[kPartitionNameSize - 1] = '\0';
    size_t units = 0;
    char16_t* wide = utf8_to_utf16(text, &units);
    if (units > (size_t)kGptNameUnits) units = kGptNameUnits;
    for (size_t i = 0; i < units; i++)
        store_le16(field + 2 * i, (uint16_t)wide[i]);
    free(wide);
}

// Fills the zeroed array. Refuses a partition outside the usable area, of
// no blocks, without a type (the reader would skip its entry) or with a
// number that is outside the array or already taken.
ErrorCode fill_array(const PartitionTable* table, const GptLayout* layout, uint8_t* array,
                     WriteRefusal* refusal) {
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->number < 1 || (uint32_t)p->number > table->entry_count)
            return refuse(refusal, "partition %d has no entry in the GPT (1 to %u)", p->number,
                          table->entry_count);
        if (p->size == 0) return refuse(refusal, "partition %d has no blocks", p->number);
        if (p->start < table->first_usable || p->start > layout->last_usable ||
            p->size - 1 > layout->last_usable - p->start)
            return refuse(refusal, "partition %d lies outside the usable area of the disk",
                          p->number);
        if (all_zero(p->type_guid, sizeof p->type_guid))
            return refuse(refusal, "partition %d has no type", p->number);
        uint8_t* entry = array + (uint64_t)(p->number - 1) * table->entry_size;
        if (!all_zero(entry + kGptEntryTypeGuid, sizeof p->type_guid))
            return refuse(refusal, "two partitions have the number %d", p->number);
        memcpy(entry + kGptEntryTypeGuid, p->type_guid, sizeof p->type_guid);
        memcpy(entry + kGptEntryUniqueGuid, p->unique_guid, sizeof p->unique_guid);
        store_le64(entry + kGptEntryFirstLba, p->start);
        store_le64(entry + kGptEntryLastLba, p->start + p->size - 1);
        store_le64(entry + kGptEntryAttributes, p->attributes);
        encode_name(entry + kGptEntryName, p->name);
    }
    return ERR_OK;
}

void build_header(const PartitionTable* table, const GptLayout* layout, uint32_t array_crc,
                  uint64_t my_lba, uint64_t alternate_lba, uint64_t array_lba, uint8_t* block) {
    memcpy(block + kGptSignatureOffset, kGptSignature, kGptSignatureSize);
    store_le32(block + kGptRevisionOffset, kGptRevision10);
    store_le32(block + kGptHeaderSizeOffset, kGptMinHeaderSize);
    store_le64(block + kGptMyLbaOffset, my_lba);
    store_le64(block + kGptAlternateLbaOffset, alternate_lba);
    store_le64(block + kGptFirstUsableOffset, table->first_usable);
    store_le64(block + kGptLastUsableOffset, layout->last_usable);
    memcpy(block + kGptDiskGuidOffset, table->disk_guid, sizeof table->disk_guid);
    store_le64(block + kGptArrayLbaOffset, array_lba);
    store_le32(block + kGptEntryCountOffset, table->entry_count);
    store_le32(block + kGptEntrySizeOffset, table->entry_size);
    store_le32(block + kGptArrayCrcOffset, array_crc);
    store_le32(block + kGptHeaderCrcOffset, crc32(0, block, kGptMinHeaderSize));
}

// One 0xEE entry over the whole disk, as far as 32 bits reach.
void build_protective_mbr(const BlockDevice* device, const PartitionTable* table, uint8_t* block) {
    // The disk signature stays: some firmware and loaders name the disk by it.
    memcpy(block, table->block0, kMbrBootCodeSize + 4);
    uint64_t last = device->block_count - 1;
    uint32_t size = last > kMax32 ? (uint32_t)kMax32 : (uint32_t)last;
    encode_mbr_entry(block + mbr_entry_offset(1), false, kTypeProtective,
                     (uint32_t)kGptPrimaryBlock, size, kGptPrimaryBlock);
    block[kMbrMagicOffset] = kMbrMagic0;
    block[kMbrMagicOffset + 1] = kMbrMagic1;
}

// Whether some partition has exactly this start and size.
bool matches_partition(const PartitionTable* table, uint32_t start, uint32_t size) {
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->start == start && p->size == size) return true;
    }
    return false;
}

// A hybrid MBR describes partitions for legacy systems and is kept, but an
// entry whose GPT partition was deleted or moved would expose whatever comes
// to lie there under the old type: such entries are cleared, and nothing
// else of block 0 changes. Block 0 is not written when every entry still
// matches.
ErrorCode prune_hybrid_mbr(const BlockDevice* device, const PartitionTable* table) {
    uint8_t* block0 = read_blocks(device, 0, 1);
    if (block0 == nullptr) return ERR_IO;
    bool changed = false;
    for (int slot = 1; slot <= kMbrSlots; slot++) {
        uint8_t* entry = block0 + mbr_entry_offset(slot);
        uint8_t type = entry[kEntryType];
        if (type == kTypeEmpty || type == kTypeProtective) continue;
        if (matches_partition(table, load_le32(entry + kEntryFirstBlock),
                              load_le32(entry + kEntryBlockCount)))
            continue;
        memset(entry, 0, kMbrEntrySize);
        changed = true;
    }
    ErrorCode rc = changed ? write_blocks(device, 0, 1, block0) : ERR_OK;
    free(block0);
    return rc;
}

// Block 0 as read holds more than a lone 0xEE entry: a hybrid MBR, or an
// active or sized entry that some PCs need to boot the disk at all. It is
// kept rather than rebuilt.
bool keeps_block0(const PartitionTable* table) {
    if (table->hybrid) return true;
    const uint8_t* block0 = table->block0;
    if (block0[kMbrMagicOffset] != kMbrMagic0 || block0[kMbrMagicOffset + 1] != kMbrMagic1)
        return false;
    bool protective = false;
    bool others = false;
    for (int slot = 1; slot <= kMbrSlots; slot++) {
        const uint8_t* entry = block0 + mbr_entry_offset(slot);
        if (entry[kEntryType] == kTypeProtective && !protective) {
            protective = true;
            continue;
        }
        if (entry[kEntryType] != kTypeEmpty || entry[kEntryStatus] != 0 ||
            load_le32(entry + kEntryBlockCount) != 0)
            others = true;
    }
    return protective && others;
}

ErrorCode write_gpt_block0(const BlockDevice* device, const PartitionTable* table, uint8_t* block) {
    if (keeps_block0(table)) return prune_hybrid_mbr(device, table);
    memset(block, 0, device->block_size);
    build_protective_mbr(device, table, block);
    return write_blocks(device, 0, 1, block);
}

// Both copies, primary first. Until block 0 changes, a disk that held an MBR
// still reads as that MBR, so its protective MBR comes last.
ErrorCode write_gpt_blocks(const BlockDevice* device, const PartitionTable* table,
                           const GptLayout* layout, const uint8_t* array, uint8_t* block) {
    uint32_t array_crc = crc32(0, array, (size_t)layout->array_bytes);
    ErrorCode rc = write_blocks(device, layout->primary_array, layout->array_blocks, array);
    if (rc != ERR_OK) return rc;
    memset(block, 0, device->block_size);
    build_header(table, layout, array_crc, kGptPrimaryBlock, layout->backup_header,
                 layout->primary_array, block);
    rc = write_blocks(device, kGptPrimaryBlock, 1, block);
    if (rc != ERR_OK) return rc;

    rc = write_blocks(device, layout->backup_array, layout->array_blocks, array);
    if (rc != ERR_OK) return rc;
    memset(block, 0, device->block_size);
    build_header(table, layout, array_crc, layout->backup_header, kGptPrimaryBlock,
                 layout->backup_array, block);
    rc = write_blocks(device, layout->backup_header, 1, block);
    if (rc != ERR_OK) return rc;
    return write_gpt_block0(device, table, block);
}

} // namespace

ErrorCode write_gpt_table(const BlockDevice* device, const PartitionTable* table,
                          WriteRefusal* refusal) {
    GptLayout layout{};
    ErrorCode rc = plan_layout(device, table, &layout, refusal);
    if (rc != ERR_OK) return rc;
    // At most 1 MiB plus a block, so the size fits size_t anywhere.
    size_t array_buffer = (size_t)(layout.array_blocks * device->block_size);
    uint8_t* array = (uint8_t*)xcalloc(1, array_buffer);
    rc = fill_array(table, &layout, array, refusal);
    if (rc != ERR_OK) {
        free(array);
        return rc;
    }
    uint8_t* block = (uint8_t*)xcalloc(1, device->block_size);
    rc = write_gpt_blocks(device, table, &layout, array, block);
    free(block);
    free(array);
    return rc;
}

} // namespace kv
