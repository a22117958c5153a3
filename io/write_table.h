// Puts the partition table held in memory onto its disk: an MBR with its
// chain of extended boot records, a GPT behind a protective MBR with both
// copies, or, for a table of no kind, zeros over the blocks that hold table
// headers. The only code that writes partition-table structures.
#pragma once

#include "disk/model.h"
#include "platform/error.h"

namespace kv {

// Why the writer refused a table, as a short text for the front ends: which
// partitions and which rule. Empty when the failure was not the table's.
constexpr size_t kWriteRefusalSize = 100;
struct WriteRefusal {
    char text[kWriteRefusalSize];
    // How far the write got: blocks written, and blocks the whole write
    // takes. blocks_written is 0 when the disk was not touched.
    uint64_t blocks_written;
    uint64_t blocks_total;
};

// Writes `table` to `device` and returns 0, or the first error met. The table
// itself is not changed; the caller reads the disk again after a success.
//
// Everything is checked before the first block is written, so a refused table
// leaves the disk untouched: ERR_INVALID_PARAMETER when the table was made for
// another block size or block count than the device has now (a disk that grew
// must be read again first), or when it cannot be written so that it reads
// back as it is (a GPT partition outside the usable area, an MBR value beyond
// 32 bits, logical partitions whose boot records would land inside another
// partition or outside the extended one, duplicate numbers, ...).
// A table whose EBR chain was cut short by the reader is refused as well:
// the logical partitions after the cut were never read, and writing the
// chain would drop them. So is a table whose disk no longer holds what it
// was read from (changed from outside): the same blocks are read again and
// compared before the first write. Each of these refusals also fills
// `refusal` when one is given.
//
// The blocks go out in an order that keeps the old or the new table
// readable after any prefix of them: what the first block read (block 0,
// or the first EBR of a chain) points at is written before it.
// ERR_WRITE_PROTECTED when the device has no `write`. Any other code comes
// from the device; blocks written before a failure stay written.
ErrorCode write_table(const BlockDevice* device, const PartitionTable* table,
                      WriteRefusal* refusal = nullptr);

} // namespace kv
