#include "io/backup.h"

#include "disk/bytes.h"
#include "disk/crc32.h"
#include "disk/gpt_layout.h"
#include "platform/memory.h"
#include "platform/strings.h"

namespace kv {

namespace {

struct BlockRange {
    uint64_t first;
    uint32_t blocks;
};

struct RangeList {
    BlockRange* items;
    uint32_t count;
    uint32_t capacity;
};

// Keeps a range only if it starts on the disk and no kept range starts at the
// same block; its length is cut at the end of the disk.
void add_range(RangeList* list, const BlockDevice* device, uint64_t first, uint64_t blocks) {
    if (blocks == 0 || first >= device->block_count || list->count == list->capacity) return;
    for (uint32_t i = 0; i < list->count; i++)
        if (list->items[i].first == first) return;
    uint64_t room = device->block_count - first;
    if (blocks > room) blocks = room;
    list->items[list->count++] = {first, (uint32_t)blocks};
}

// Fills the list in image order. Fails only for a GPT array larger than the
// reader accepts, whose block count might not fit a range head.
bool collect_ranges(const BlockDevice* device, const PartitionTable* table, RangeList* list) {
    add_range(list, device, 0, 1);
    if (table->kind == TableKind::Mbr) {
        for (int32_t i = 0; i < table->partition_count; i++) {
            const Partition& p = table->partitions[i];
            if (p.kind == PartitionKind::Logical) add_range(list, device, p.ebr_block, 1);
            if (p.kind == PartitionKind::Extended) add_range(list, device, p.start, 1);
        }
        return true;
    }
    uint64_t array_bytes = (uint64_t)table->entry_count * table->entry_size;
    if (array_bytes > kGptMaxArrayBytes) return false;
    uint64_t array_blocks = (array_bytes + device->block_size - 1) / device->block_size;
    add_range(list, device, kGptPrimaryBlock, 1);
    add_range(list, device, table->primary_array_lba, array_blocks);
    add_range(list, device, table->backup_header_lba, 1);
    if (table->backup_array_lba != 0)
        add_range(list, device, table->backup_array_lba, array_blocks);
    return true;
}

// Total image size, or false when it would not fit in memory addresses.
bool image_size_of(const RangeList* list, uint32_t block_size, size_t* size) {
    uint64_t total = kBackupHeaderSize + kBackupCrcSize;
    for (uint32_t i = 0; i < list->count; i++) {
        // Both factors are below 2^32, so the product cannot wrap.
        uint64_t piece = (uint64_t)list->items[i].blocks * block_size;
        if (piece > UINT64_MAX - kRangeHeadSize || piece + kRangeHeadSize > UINT64_MAX - total)
            return false;
        total += piece + kRangeHeadSize;
    }
    if (total > SIZE_MAX) return false;
    *size = (size_t)total;
    return true;
}

} // namespace

ErrorCode build_backup(const BlockDevice* device, const PartitionTable* table, uint8_t** image,
                       size_t* image_size) {
    *image = nullptr;
    *image_size = 0;
    if (table->kind != TableKind::Mbr && table->kind != TableKind::Gpt) return ERR_NOT_FOUND;
    if (device->block_size == 0) return ERR_INVALID_PARAMETER;

    // Block 0 and the GPT need five ranges at most; an MBR adds one per
    // partition at most.
    uint32_t capacity = 5;
    if (table->kind == TableKind::Mbr && table->partition_count > 0)
        capacity += (uint32_t)table->partition_count;
    RangeList list = {(BlockRange*)xmalloc((size_t)capacity * sizeof(BlockRange)), 0, capacity};
    size_t size = 0;
    if (!collect_ranges(device, table, &list) || !image_size_of(&list, device->block_size, &size)) {
        free(list.items);
        return ERR_INVALID_PARAMETER;
    }

    uint8_t* out = (uint8_t*)xmalloc(size);
    memcpy(out + kBackupMagicOffset, kBackupMagic, kBackupMagicSize);
    store_le32(out + kBackupVersionOffset, kBackupVersion);
    store_le32(out + kBackupBlockSizeOffset, device->block_size);
    store_le64(out + kBackupBlockCountOffset, device->block_count);
    store_le32(out + kBackupRangeCountOffset, list.count);

    size_t pos = kBackupHeaderSize;
    for (uint32_t i = 0; i < list.count; i++) {
        const BlockRange& r = list.items[i];
        store_le64(out + pos + kRangeFirstBlock, r.first);
        store_le32(out + pos + kRangeBlockCount, r.blocks);
        pos += kRangeHeadSize;
        // Whatever the device reports, a failed read is an I/O error here.
        if (device->read == nullptr ||
            device->read(device->context, r.first, r.blocks, out + pos) != ERR_OK) {
            free(out);
            free(list.items);
            return ERR_IO;
        }
        pos += (size_t)r.blocks * device->block_size;
    }
    free(list.items);
    store_le32(out + pos, crc32(0, out, pos));

    *image = out;
    *image_size = size;
    return ERR_OK;
}

} // namespace kv
