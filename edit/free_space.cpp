#include "edit/free_space.h"

#include "disk/mbr_layout.h"
#include "platform/memory.h"
#include "platform/sort.h"
#include "platform/strings.h"

namespace kv {

namespace {

const char kNoFitExtended[] = "the partition does not fit in the extended partition";
const char kTooMany[] = "too many partitions";
const char kNoRoomForTable[] =
    "the partition overlaps another one, or leaves no room for its table";
const char kNoSlotForExtended[] =
    "no room for an extended partition: the MBR already has four partitions";
const char kNoFreeArea[] = "the partition does not fit in a free area";
const char kLogicalTooEarly[] = "a logical partition must start at least 1 MiB into the free area";

constexpr uint64_t kLastBlock = ~0ULL;
constexpr int kMaxWorkingRanges = 512;

// The blocks a partition occupies; false for an empty one.
bool occupied(const Partition* p, BlockRange* range) {
    if (p->size == 0) return false;
    range->first = p->start;
    range->last = p->size - 1 > kLastBlock - p->start ? kLastBlock : p->start + p->size - 1;
    return true;
}

int compare_first(const void* left, const void* right) {
    uint64_t a = ((const BlockRange*)left)->first;
    uint64_t b = ((const BlockRange*)right)->first;
    return a < b ? -1 : a > b ? 1 : 0;
}

int compare_start(const void* left, const void* right) {
    uint64_t a = ((const FreeArea*)left)->start;
    uint64_t b = ((const FreeArea*)right)->start;
    return a < b ? -1 : a > b ? 1 : 0;
}

// x rounded up to a multiple of `unit`; false when that is past 2^64 - 1.
bool round_up(uint64_t x, uint64_t unit, uint64_t* out) {
    uint64_t rest = x % unit;
    if (rest == 0) {
        *out = x;
        return true;
    }
    if (x > kLastBlock - (unit - rest)) return false;
    *out = x + (unit - rest);
    return true;
}

// The smallest multiple of `unit` strictly above x.
bool multiple_above(uint64_t x, uint64_t unit, uint64_t* out) {
    uint64_t next = x / unit + 1;
    if (next > kLastBlock / unit) return false;
    *out = next * unit;
    return true;
}

BlockRange* new_ranges(int count) {
    return (BlockRange*)xmalloc((size_t)(count > 0 ? count : 1) * sizeof(BlockRange));
}

const Partition* first_extended(const PartitionTable* table) {
    for (int32_t i = 0; i < table->partition_count; i++)
        if (table->partitions[i].kind == PartitionKind::Extended) return &table->partitions[i];
    return nullptr;
}

int logical_count(const PartitionTable* table) {
    int count = 0;
    for (int32_t i = 0; i < table->partition_count; i++)
        if (table->partitions[i].kind == PartitionKind::Logical) count++;
    return count;
}

bool too_many_partitions(const PartitionTable* table) {
    return 2 * (int64_t)table->partition_count + 2 > kMaxWorkingRanges ||
           logical_count(table) >= kEbrChainLimit;
}

// The smallest MBR slot (1 to 4) that no partition uses, or 0.
int32_t free_mbr_slot(const PartitionTable* table) {
    for (int32_t slot = 1; slot <= 4; slot++)
        if (find_partition(table, slot) == nullptr) return slot;
    return 0;
}

// Emits the area from `start` to the gap's end when at least `unit` blocks
// remain there.
void emit_area(const BlockRange& gap, uint64_t start, uint64_t unit, bool logical, FreeArea* areas,
               int* count) {
    if (gap.last < start || gap.last - start < unit - 1) return;
    uint64_t span = gap.last - start;
    areas[*count].start = start;
    areas[*count].size = span == kLastBlock ? kLastBlock : span + 1;
    areas[*count].logical = logical;
    (*count)++;
}

// The number a new logical partition starting at `start` takes: in a chain
// in disk order, its place by start (the later ones move up by one, marked
// changed); in a chain that another tool made out of order, the next number
// after the last, so that no existing partition is renumbered.
int32_t new_logical_number(PartitionTable* table, uint64_t start) {
    int32_t last = kFirstLogicalNumber - 1;
    int32_t place = 0;
    bool in_order = true;
    uint64_t previous_start = 0;
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->kind != PartitionKind::Logical) continue;
        if (p->number > last) last = p->number;
        if (p->start < previous_start) in_order = false;
        previous_start = p->start;
        if (p->start > start && (place == 0 || p->number < place)) place = p->number;
    }
    if (!in_order || place == 0) return last + 1;
    for (int32_t i = 0; i < table->partition_count; i++) {
        Partition* p = &table->partitions[i];
        if (p->kind != PartitionKind::Logical || p->number < place) continue;
        p->number++;
        p->changed = true;
    }
    return place;
}

// Appends the model as a logical partition whose EBR goes at `ebr_block`,
// then gives it its number among the others. A new active partition takes
// the flag from whichever had it, as only one may boot.
void append_logical(PartitionTable* table, const Partition* model, uint64_t ebr_block) {
    int32_t number = new_logical_number(table, model->start);
    Partition* added = append_partition(table, model);
    added->number = number;
    added->kind = PartitionKind::Logical;
    added->ebr_block = ebr_block;
    if (added->active) {
        for (int32_t i = 0; i < table->partition_count - 1; i++) {
            Partition* other = &table->partitions[i];
            if (!other->active) continue;
            other->active = false;
            other->changed = true;
        }
    }
    renumber_logicals(table);
}

} // namespace

int free_gaps(uint64_t window_first, uint64_t window_last, BlockRange* used, int count,
              BlockRange* gaps) {
    if (count < 0 || window_last < window_first) return 0;
    if (count > 1) sort(used, (size_t)count, sizeof(BlockRange), compare_first);
    int found = 0;
    uint64_t next = window_first;
    for (int i = 0; i < count; i++) {
        const BlockRange& range = used[i];
        // An inverted range covers nothing; letting it through would split a
        // gap in two.
        if (range.last < range.first) continue;
        if (next < range.first) {
            gaps[found].first = next;
            gaps[found].last = range.first - 1 < window_last ? range.first - 1 : window_last;
            found++;
        }
        // Also stops a range ending at 2^64 - 1 from wrapping `next` to 0.
        if (range.last >= window_last) return found;
        if (range.last + 1 > next) next = range.last + 1;
    }
    if (next <= window_last) {
        gaps[found].first = next;
        gaps[found].last = window_last;
        found++;
    }
    return found;
}

int free_range_capacity(const PartitionTable* table) {
    int32_t count = table->partition_count < 0 ? 0 : table->partition_count;
    if (count > (INT32_MAX - 2) / 2) return INT32_MAX;
    return 2 * count + 2;
}

bool usable_window(const PartitionTable* table, BlockRange* window) {
    window->first = 1;
    window->last = 0;
    if (table->block_count == 0) return false;
    uint64_t disk_last = table->block_count - 1;
    if (table->kind == TableKind::Mbr) {
        window->first = 1;
        window->last = disk_last < kMbrBlockLimit - 1 ? disk_last : kMbrBlockLimit - 1;
    } else if (table->kind == TableKind::Gpt) {
        window->first = table->first_usable;
        window->last = table->last_usable < disk_last ? table->last_usable : disk_last;
    } else {
        return false;
    }
    return window->first <= window->last;
}

int primary_free_ranges(const PartitionTable* table, BlockRange* gaps) {
    BlockRange window;
    if (!usable_window(table, &window)) return 0;
    BlockRange* used = new_ranges(table->partition_count);
    int count = 0;
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->kind != PartitionKind::Logical && occupied(p, &used[count])) count++;
    }
    int found = free_gaps(window.first, window.last, used, count, gaps);
    free(used);
    return found;
}

int extended_free_ranges(const PartitionTable* table, const Partition* extended, BlockRange* gaps) {
    BlockRange window;
    BlockRange inside;
    if (!usable_window(table, &window) || !occupied(extended, &inside)) return 0;
    // An extended partition that runs past the disk or the 32-bit limit has
    // no room there that a logical partition could use.
    if (inside.last > window.last) inside.last = window.last;
    if (inside.first > inside.last) return 0;

    BlockRange* used = new_ranges(table->partition_count + 1);
    used[0].first = inside.first;
    used[0].last = inside.first;
    int count = 1;
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->kind != PartitionKind::Logical || !occupied(p, &used[count])) continue;
        if (used[count].first > 0) used[count].first--;
        count++;
    }
    int found = free_gaps(inside.first, inside.last, used, count, gaps);
    free(used);
    return found;
}

int list_free_areas(const PartitionTable* table, FreeArea** areas) {
    *areas = nullptr;
    if (table->kind != TableKind::Mbr && table->kind != TableKind::Gpt) return 0;
    uint64_t unit = blocks_per_mib(table);
    int capacity = free_range_capacity(table);
    BlockRange* gaps = new_ranges(capacity);
    FreeArea* out = (FreeArea*)xmalloc((size_t)capacity * sizeof(FreeArea));
    int count = 0;

    int found = primary_free_ranges(table, gaps);
    for (int i = 0; i < found; i++) {
        uint64_t start;
        if (round_up(gaps[i].first, unit, &start))
            emit_area(gaps[i], start, unit, false, out, &count);
    }
    const Partition* extended = first_extended(table);
    if (extended != nullptr) {
        found = extended_free_ranges(table, extended, gaps);
        for (int i = 0; i < found; i++) {
            // The gap's first block stays free for the EBR.
            uint64_t start;
            if (multiple_above(gaps[i].first, unit, &start))
                emit_area(gaps[i], start, unit, true, out, &count);
        }
    }
    free(gaps);
    if (count == 0) {
        free(out);
        return 0;
    }
    sort(out, (size_t)count, sizeof(FreeArea), compare_start);
    *areas = out;
    return count;
}

const char* add_logical(PartitionTable* table, const Partition* model, uint64_t last_block) {
    uint64_t start = model->start;
    const Partition* extended = first_extended(table);

    if (extended != nullptr) {
        BlockRange inside;
        if (!occupied(extended, &inside) || inside.first >= start || inside.last < last_block ||
            last_block < start)
            return kNoFitExtended;
        if (too_many_partitions(table)) return kTooMany;
        BlockRange* gaps = new_ranges(free_range_capacity(table));
        int found = extended_free_ranges(table, extended, gaps);
        const BlockRange* gap = nullptr;
        for (int i = 0; i < found && gap == nullptr; i++)
            if (gaps[i].first < start && start <= gaps[i].last) gap = &gaps[i];
        bool fits = gap != nullptr && gap->last >= last_block;
        uint64_t ebr_block = fits ? gap->first : 0;
        free(gaps);
        if (!fits) return kNoRoomForTable;
        append_logical(table, model, ebr_block);
        return nullptr;
    }

    int32_t slot = free_mbr_slot(table);
    if (slot == 0) return kNoSlotForExtended;
    if (too_many_partitions(table)) return kTooMany;
    BlockRange* gaps = new_ranges(free_range_capacity(table));
    int found = primary_free_ranges(table, gaps);
    BlockRange gap = {1, 0};
    for (int i = 0; i < found && gap.first > gap.last; i++)
        if (gaps[i].first <= start && start <= gaps[i].last) gap = gaps[i];
    free(gaps);
    if (gap.first > gap.last || gap.last < last_block || last_block < start) return kNoFreeArea;
    uint64_t first;
    if (!round_up(gap.first, blocks_per_mib(table), &first) || first >= start)
        return kLogicalTooEarly;

    Partition container;
    memset(&container, 0, sizeof container);
    container.number = slot;
    container.kind = PartitionKind::Extended;
    container.start = first;
    container.size = gap.last - first + 1;
    container.mbr_type = gap.last < kExtendedLbaFrom ? kTypeExtended : kTypeExtendedLba;
    append_partition(table, &container);
    append_logical(table, model, first);
    return nullptr;
}

} // namespace kv
