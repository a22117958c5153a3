// Where a disk has room: the gaps between partitions inside the area a table
// may use, the gaps inside the MBR extended partition, and from them the
// MiB-aligned free areas that the front ends list and offer. Also places a
// new logical partition, creating the extended partition around the first.
//
// Tables may come from damaged disks, so every block sum here saturates
// instead of wrapping: a partition that would run past 2^64 simply runs to
// the last block number, and an empty one (size 0) uses no block.
#pragma once

#include <stdint.h>

#include "disk/model.h"

namespace kv {

// Inclusive on both ends.
struct BlockRange {
    uint64_t first;
    uint64_t last;
};

struct FreeArea {
    uint64_t start;
    uint64_t size;
    bool logical; // inside the extended partition: logical partitions only
};

// Sorts `used` in place by first block, then writes the gaps of the window
// that no used range covers, in ascending order, into `gaps` (room for
// count + 1 ranges). Returns the number of gaps; 0 for an empty window or a
// negative count.
int free_gaps(uint64_t window_first, uint64_t window_last, BlockRange* used, int count,
              BlockRange* gaps);

// Room the output of primary_free_ranges and extended_free_ranges needs:
// 2 * partition_count + 2 ranges.
int free_range_capacity(const PartitionTable* table);

// The blocks a table may use: GPT first to last usable block, MBR block 1 to
// min(block_count, 2^32) - 1, both cut to the disk. False (and an empty
// range) for a table of no kind or a window with no block.
bool usable_window(const PartitionTable* table, BlockRange* window);

// Gaps of the usable window outside every partition that is not logical (the
// extended partition counts as used).
int primary_free_ranges(const PartitionTable* table, BlockRange* gaps);

// Gaps inside `extended` (cut to the usable window) with the blocks for EBRs
// counted as used: its first block, and the block before every logical
// partition.
int extended_free_ranges(const PartitionTable* table, const Partition* extended, BlockRange* gaps);

// The free areas of at least 1 MiB after aligning their start, sorted by
// start, in a new array that the caller frees. Null and 0 when there are
// none, and always for a table of no kind.
int list_free_areas(const PartitionTable* table, FreeArea** areas);

// Adds `model` (start, size, mbr_type and active are used) as a logical
// partition ending at `last_block`, creating the extended partition around it
// when the table has none. Returns null on success; otherwise an error text,
// and the table is left exactly as it was.
const char* add_logical(PartitionTable* table, const Partition* model, uint64_t last_block);

} // namespace kv
