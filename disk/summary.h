// What the graphical disk list shows beside each disk: the kind of its table
// and how many partitions it holds.
#pragma once

#include <stdint.h>

#include "disk/model.h"

namespace kv {

struct DiskSummary {
    int32_t kind;            // a TableKind value, or -1 when the table could not be read
    int32_t partition_count; // primary, logical and GPT partitions; the extended one is not counted
};

// Reads the disk's table now and sums it up.
DiskSummary summarize_disk(const Disk* disk);

// Reads every disk's table and replaces the program-wide summary array with
// one entry per disk. Returns the array (null when count is 0); it stays
// valid until the next call or release_summaries.
DiskSummary* summarize_disks(const Disk* disks, int count);

// Reads only disk `shown` again, after a write changed it, and updates its
// entry in the current array. An index the array does not have changes
// nothing. Returns the array.
DiskSummary* summarize_disks(const Disk* disks, int count, int shown);

void release_summaries();

} // namespace kv
