#include "io/write_table.h"

#include <stdarg.h>

#include "disk/mbr_layout.h"
#include "disk/read_table.h"
#include "io/table_writers.h"
#include "platform/format.h"
#include "platform/memory.h"

namespace kv {

namespace {

// Deleting a table clears block 0 and the two places a GPT header can be;
// entry arrays and EBRs stay, since nothing finds them without a header.
ErrorCode write_no_table(const BlockDevice* device) {
    uint8_t* zeros = (uint8_t*)xcalloc(1, device->block_size);
    ErrorCode rc = write_blocks(device, 0, 1, zeros);
    if (rc == ERR_OK && device->block_count > 2) {
        rc = write_blocks(device, 1, 1, zeros);
        if (rc == ERR_OK) rc = write_blocks(device, device->block_count - 1, 1, zeros);
    }
    free(zeros);
    return rc;
}

} // namespace

ErrorCode write_blocks(const BlockDevice* device, uint64_t first, uint64_t count,
                       const uint8_t* buffer) {
    if (device->write == nullptr) return ERR_WRITE_PROTECTED;
    return device->write(device->context, first, count, buffer);
}

ErrorCode refuse(WriteRefusal* refusal, const char* format, ...) {
    va_list args;
    va_start(args, format);
    vformat(refusal->text, sizeof refusal->text, format, args);
    va_end(args);
    return ERR_INVALID_PARAMETER;
}

namespace {

ErrorCode write_kind(const BlockDevice* device, const PartitionTable* table,
                     WriteRefusal* refusal) {
    switch (table->kind) {
    case TableKind::None:
        return write_no_table(device);
    case TableKind::Mbr:
        return write_mbr_table(device, table, refusal);
    case TableKind::Gpt:
        return write_gpt_table(device, table, refusal);
    }
    // A kind that is none of the three is a damaged record, not a request to
    // clear the disk.
    return ERR_INVALID_PARAMETER;
}

// Counts the blocks a writer puts on the disk. A rehearsal writes nothing
// and takes every block, so the same writer run over it first checks the
// whole table and tells how many blocks the write takes.
struct Tally {
    const BlockDevice* disk;
    bool rehearsal;
    uint64_t blocks;
};

ErrorCode tally_write(void* context, uint64_t first, uint64_t count, const void* buffer) {
    Tally* tally = (Tally*)context;
    ErrorCode rc = ERR_OK;
    if (!tally->rehearsal) rc = tally->disk->write(tally->disk->context, first, count, buffer);
    if (rc == ERR_OK) tally->blocks += count;
    return rc;
}

ErrorCode tally_read(void* context, uint64_t first, uint64_t count, void* buffer) {
    const BlockDevice* disk = ((Tally*)context)->disk;
    return disk->read(disk->context, first, count, buffer);
}

BlockDevice tallied(Tally* tally) {
    BlockDevice device = *tally->disk;
    device.read = tally_read;
    device.write = tally->rehearsal || tally->disk->write != nullptr ? tally_write : nullptr;
    device.random = nullptr; // writers make no new identifiers
    device.context = tally;
    return device;
}

} // namespace

ErrorCode write_table(const BlockDevice* device, const PartitionTable* table,
                      WriteRefusal* refusal) {
    WriteRefusal unused;
    if (refusal == nullptr) refusal = &unused;
    refusal->text[0] = '\0';
    refusal->blocks_written = 0;
    refusal->blocks_total = 0;
    if (device == nullptr || table == nullptr) return ERR_INVALID_PARAMETER;
    // A table read or created for another geometry would put the backup GPT
    // or the EBRs in the wrong place: the disk must be read again first.
    if (table->block_size != device->block_size || table->block_count != device->block_count)
        return refuse(refusal, "the disk has changed since its table was read: read it again");
    // Every block image holds at least an MBR's 512 bytes.
    if (device->block_size < kMbrSize || device->block_count == 0) return ERR_INVALID_PARAMETER;

    Tally rehearsal{device, true, 0};
    BlockDevice dry = tallied(&rehearsal);
    ErrorCode rc = write_kind(&dry, table, refusal);
    if (rc != ERR_OK) return rc;
    // Another program, or another run of this one, may have changed the
    // table since it was read: writing the stale one would lose that.
    if (!disk_still_matches(device, table))
        return refuse(refusal, "the disk has changed since its table was read; read it again "
                               "(Rescan) before writing");

    Tally done{device, false, 0};
    BlockDevice disk = tallied(&done);
    rc = write_kind(&disk, table, refusal);
    refusal->blocks_written = done.blocks;
    refusal->blocks_total = rehearsal.blocks > done.blocks ? rehearsal.blocks : done.blocks;
    return rc;
}

} // namespace kv
