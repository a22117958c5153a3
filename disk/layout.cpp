#include "disk/layout.h"

namespace kv {

namespace {

// Both ends are inclusive, so that a range ending at 2^64 - 1 cannot wrap.
bool holds(uint64_t start, uint64_t size, uint64_t block) {
    return size != 0 && block >= start && block - start < size;
}

bool ranges_meet(uint64_t start, uint64_t size, uint64_t first, uint64_t count) {
    if (size == 0 || count == 0) return false;
    return first <= start ? start - first < count : first - start < size;
}

uint64_t gpt_array_blocks(const PartitionTable* table) {
    if (table->block_size == 0) return 0;
    uint64_t bytes = (uint64_t)table->entry_count * table->entry_size;
    return (bytes + table->block_size - 1) / table->block_size;
}

bool covers_gpt_block(const PartitionTable* table, uint64_t start, uint64_t size) {
    uint64_t array_blocks = gpt_array_blocks(table);
    // A damaged primary still had its header at block 1 and was looked for
    // there; a missing backup has no blocks to keep.
    if (holds(start, size, 1)) return true;
    if (ranges_meet(start, size, table->primary_array_lba, array_blocks)) return true;
    if (table->backup_array_lba == 0) return false;
    return holds(start, size, table->backup_header_lba) ||
           ranges_meet(start, size, table->backup_array_lba, array_blocks);
}

bool covers_mbr_block(const PartitionTable* table, uint64_t start, uint64_t size) {
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->kind == PartitionKind::Extended && holds(start, size, p->start)) return true;
    }
    int32_t count = table->ebr_count < kEbrChainLimit ? table->ebr_count : kEbrChainLimit;
    for (int32_t i = 0; i < count; i++)
        if (holds(start, size, table->ebr_blocks[i])) return true;
    return false;
}

bool outside_usable(const PartitionTable* table, const Partition* p) {
    return p->size == 0 || p->start < table->first_usable || p->start > table->last_usable ||
           p->size - 1 > table->last_usable - p->start;
}

} // namespace

bool covers_table_block(const PartitionTable* table, uint64_t start, uint64_t size) {
    if (holds(start, size, 0)) return true;
    switch (table->kind) {
    case TableKind::Gpt:
        return covers_gpt_block(table, start, size);
    case TableKind::Mbr:
        return covers_mbr_block(table, start, size);
    default:
        return false;
    }
}

bool partitions_overlap(const Partition* a, const Partition* b) {
    bool a_logical = a->kind == PartitionKind::Logical;
    bool b_logical = b->kind == PartitionKind::Logical;
    if ((a_logical && b->kind == PartitionKind::Extended) ||
        (b_logical && a->kind == PartitionKind::Extended))
        return false;
    return ranges_meet(a->start, a->size, b->start, b->size);
}

const Partition* overlapping_partition(const PartitionTable* table, int32_t index) {
    const Partition* own = &table->partitions[index];
    for (int32_t i = 0; i < table->partition_count; i++)
        if (i != index && partitions_overlap(own, &table->partitions[i]))
            return &table->partitions[i];
    return nullptr;
}

void note_layout_faults(PartitionTable* table) {
    for (int32_t i = 0; i < table->partition_count; i++)
        for (int32_t j = i + 1; j < table->partition_count; j++)
            if (partitions_overlap(&table->partitions[i], &table->partitions[j]))
                add_note(table, "partitions %d and %d overlap", (int)table->partitions[i].number,
                         (int)table->partitions[j].number);
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        bool covers = p->kind == PartitionKind::Extended
                          ? holds(p->start, p->size, 0)
                          : covers_table_block(table, p->start, p->size);
        if (table->kind == TableKind::Gpt && outside_usable(table, p)) covers = false;
        if (covers)
            add_note(table, "partition %d covers a block of the partition table", (int)p->number);
    }
}

} // namespace kv
