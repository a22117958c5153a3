// read_table itself: the readers see the disk through a tap that folds every
// block they read into the table's fingerprint, so that the writer can tell
// whether the disk still holds what the table was read from.
#include "disk/bytes.h"
#include "disk/crc32.h"
#include "disk/read_table.h"

namespace kv {

namespace {

struct Tap {
    const BlockDevice* disk;
    uint32_t crc;
};

// Where each read went and how it ended counts too: a block that could not
// be read before and can now changes the table as much as new bytes do.
ErrorCode tap_read(void* context, uint64_t first_block, uint64_t block_count, void* buffer) {
    Tap* tap = (Tap*)context;
    const BlockDevice* disk = tap->disk;
    ErrorCode rc = disk->read(disk->context, first_block, block_count, buffer);
    uint8_t head[20];
    store_le64(head, first_block);
    store_le64(head + 8, block_count);
    store_le32(head + 16, (uint32_t)rc);
    tap->crc = crc32(tap->crc, head, sizeof head);
    if (rc == ERR_OK) tap->crc = crc32(tap->crc, buffer, (size_t)(block_count * disk->block_size));
    return rc;
}

void tap_random(void* context, void* buffer, size_t byte_count) {
    const BlockDevice* disk = ((Tap*)context)->disk;
    disk->random(disk->context, buffer, byte_count);
}

} // namespace

ErrorCode read_table(const BlockDevice* device, PartitionTable* table) {
    Tap tap{device, 0};
    BlockDevice seen = *device;
    seen.read = tap_read;
    seen.write = nullptr; // reading writes nothing
    seen.random = device->random != nullptr ? tap_random : nullptr;
    seen.context = &tap;
    ErrorCode rc = read_table_blocks(&seen, table);
    table->read_fingerprint = tap.crc;
    table->fingerprinted = rc == ERR_OK;
    return rc;
}

bool disk_still_matches(const BlockDevice* device, const PartitionTable* table) {
    if (!table->fingerprinted) return true;
    PartitionTable now{};
    ErrorCode rc = read_table(device, &now);
    bool same = rc == ERR_OK && now.read_fingerprint == table->read_fingerprint;
    table_free(&now);
    return same;
}

} // namespace kv
