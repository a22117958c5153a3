// Where a table's own blocks lie and which partitions get in each other's
// way. The reader turns what it finds into notes; the wipe uses the same
// answers to refuse ranges that would destroy the table or another
// partition.
#pragma once

#include <stdint.h>

#include "disk/model.h"

namespace kv {

// Whether blocks start .. start + size - 1 hold a block that the table as
// read keeps its structures in: block 0; for a GPT both headers and entry
// arrays; for an MBR the first block of each extended partition and every
// EBR of the chain. False for a size of 0.
bool covers_table_block(const PartitionTable* table, uint64_t start, uint64_t size);

// Whether two partitions claim a common block. A logical partition never
// overlaps an extended one: lying inside it is its place. Empty partitions
// overlap nothing.
bool partitions_overlap(const Partition* a, const Partition* b);

// The first other partition that overlaps the one at `index`, or null.
const Partition* overlapping_partition(const PartitionTable* table, int32_t index);

// Adds a note for every pair of overlapping partitions and for every
// partition over a table block. Extended partitions hold EBRs by design, so
// for them only block 0 counts; a GPT partition already noted as outside the
// usable area gets no second note.
void note_layout_faults(PartitionTable* table);

} // namespace kv
