#include "io/write_table.h"

#include <stdarg.h>

#include "disk/mbr_layout.h"
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

ErrorCode write_table(const BlockDevice* device, const PartitionTable* table,
                      WriteRefusal* refusal) {
    WriteRefusal unused;
    if (refusal == nullptr) refusal = &unused;
    refusal->text[0] = '\0';
    if (device == nullptr || table == nullptr) return ERR_INVALID_PARAMETER;
    // A table read or created for another geometry would put the backup GPT
    // or the EBRs in the wrong place: the disk must be read again first.
    if (table->block_size != device->block_size || table->block_count != device->block_count)
        return refuse(refusal, "the disk has changed since its table was read: read it again");
    // Every block image holds at least an MBR's 512 bytes.
    if (device->block_size < kMbrSize || device->block_count == 0) return ERR_INVALID_PARAMETER;
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

} // namespace kv
