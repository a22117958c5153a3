#include "disk/layout.h"

#include "platform/memory.h"
#include "platform/strings.h"

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

// A partition as the overlap sweep sees it: its first and last block, the
// last one cut at 2^64 - 1 rather than wrapped, and its place in the array.
struct Span {
    uint64_t first;
    uint64_t last;
    int32_t index;
};

// Bottom-up merge sort by first block: n log n whatever the order on disk,
// where the array order of a hostile table could make a Shell sort crawl.
void sort_spans(Span* spans, Span* scratch, size_t count) {
    Span* from = spans;
    Span* to = scratch;
    for (size_t width = 1; width < count; width *= 2) {
        for (size_t lo = 0; lo < count; lo += 2 * width) {
            size_t mid = lo + width < count ? lo + width : count;
            size_t hi = mid + width < count ? mid + width : count;
            size_t a = lo, b = mid, out = lo;
            while (a < mid && b < hi)
                to[out++] = from[b].first < from[a].first ? from[b++] : from[a++];
            while (a < mid)
                to[out++] = from[a++];
            while (b < hi)
                to[out++] = from[b++];
        }
        Span* t = from;
        from = to;
        to = t;
    }
    if (from != spans) memcpy(spans, from, count * sizeof(Span));
}

// Marks every partition of the set that shares a block with another one of
// it. After sorting by first block, a span meets an earlier one exactly when
// it starts at or before the furthest last block seen so far, and the span
// that reached furthest is then one it meets.
void mark_meeting(Span* spans, Span* scratch, size_t count, bool* marked) {
    sort_spans(spans, scratch, count);
    const Span* furthest = nullptr;
    for (size_t k = 0; k < count; k++) {
        const Span* s = &spans[k];
        if (furthest && s->first <= furthest->last) {
            marked[s->index] = true;
            marked[furthest->index] = true;
        }
        if (!furthest || s->last > furthest->last) furthest = s;
    }
}

// The partitions that overlap at least one other. A logical partition and
// an extended one never count as overlapping, so the pairs that do are
// those within the non-logical ones and those within the non-extended ones.
bool* overlapping_ones(const PartitionTable* table) {
    size_t n = (size_t)table->partition_count;
    bool* marked = static_cast<bool*>(xcalloc(n, sizeof(bool)));
    Span* spans = static_cast<Span*>(xcalloc(n, sizeof(Span)));
    Span* scratch = static_cast<Span*>(xcalloc(n, sizeof(Span)));
    const PartitionKind kLeftOut[] = {PartitionKind::Logical, PartitionKind::Extended};
    for (PartitionKind left_out : kLeftOut) {
        size_t count = 0;
        for (size_t i = 0; i < n; i++) {
            const Partition* p = &table->partitions[i];
            if (p->size == 0 || p->kind == left_out) continue;
            uint64_t last =
                p->size - 1 > UINT64_MAX - p->start ? UINT64_MAX : p->start + p->size - 1;
            spans[count++] = Span{p->start, last, (int32_t)i};
        }
        mark_meeting(spans, scratch, count, marked);
    }
    free(spans);
    free(scratch);
    return marked;
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
    // Pairs are noted in array order until the notes are full. Only a
    // partition known to overlap another is paired with the rest, and each
    // such search either adds a note or finds only partners that an earlier
    // one already noted, so few searches run however large the table.
    if (table->partition_count > 1) {
        bool* overlaps = overlapping_ones(table);
        for (int32_t i = 0; i < table->partition_count && table->note_count < kMaxNotes; i++) {
            if (!overlaps[i]) continue;
            for (int32_t j = i + 1; j < table->partition_count && table->note_count < kMaxNotes;
                 j++)
                if (partitions_overlap(&table->partitions[i], &table->partitions[j]))
                    add_note(table, "partitions %d and %d overlap",
                             (int)table->partitions[i].number, (int)table->partitions[j].number);
        }
        free(overlaps);
    }
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
