#include "disk/model.h"

#include <stdarg.h>

#include "platform/format.h"
#include "platform/memory.h"
#include "platform/sort.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

const char* table_kind_label(TableKind kind) {
    switch (kind) {
    case TableKind::Mbr:
        return "MBR";
    case TableKind::Gpt:
        return "GPT";
    default:
        return "no table";
    }
}

uint8_t* read_blocks(const BlockDevice* device, uint64_t first_block, uint64_t count) {
    if (device == nullptr || device->read == nullptr || device->block_size == 0) return nullptr;
    if (count == 0 || first_block >= device->block_count) return nullptr;
    if (count > device->block_count - first_block) return nullptr;
    if (count > (uint64_t)SIZE_MAX / device->block_size) return nullptr;
    size_t bytes = (size_t)count * device->block_size;
    uint8_t* buffer = (uint8_t*)xmalloc(bytes);
    if (device->read(device->context, first_block, count, buffer) != ERR_OK) {
        free(buffer);
        return nullptr;
    }
    return buffer;
}

void add_note(PartitionTable* table, const char* format, ...) {
    if (table->note_count < 0 || table->note_count >= kMaxNotes) return;
    char* text = table->notes[table->note_count].text;
    va_list args;
    va_start(args, format);
    int full = vformat(text, kNoteSize, format, args);
    va_end(args);
    text[kNoteSize - 1] = '\0';
    if (full >= (int)kNoteSize) text[utf8_whole_prefix(text, strlen(text))] = '\0';
    table->note_count++;
}

void clear_partitions(PartitionTable* table) {
    free(table->partitions);
    table->partitions = nullptr;
    table->partition_count = 0;
    table->partition_capacity = 0;
}

void table_free(PartitionTable* table) {
    free(table->partitions);
    memset(table, 0, sizeof *table);
}

Partition* append_partition(PartitionTable* table, const Partition* model) {
    // The model may be an element of this very array, which the growth below
    // can move.
    Partition copy;
    memcpy(&copy, model, sizeof copy);
    int32_t count = table->partition_count < 0 ? 0 : table->partition_count;
    if (table->partitions == nullptr || count >= table->partition_capacity) {
        int32_t capacity = count < 4 ? 8 : count * 2;
        table->partitions =
            (Partition*)xrealloc(table->partitions, (size_t)capacity * sizeof(Partition));
        table->partition_capacity = capacity;
    }
    Partition* added = &table->partitions[count];
    memcpy(added, &copy, sizeof *added);
    added->changed = true;
    table->partition_count = count + 1;
    table->dirty = true;
    return added;
}

static int compare_for_numbering(const void* left, const void* right) {
    const Partition* a = (const Partition*)left;
    const Partition* b = (const Partition*)right;
    bool a_logical = a->kind == PartitionKind::Logical;
    bool b_logical = b->kind == PartitionKind::Logical;
    if (a_logical != b_logical) return a_logical ? 1 : -1;
    if (a->number != b->number) return a->number < b->number ? -1 : 1;
    return a->start < b->start ? -1 : a->start > b->start ? 1 : 0;
}

void renumber_logicals(PartitionTable* table) {
    if (table->partitions == nullptr || table->partition_count <= 0) return;
    sort(table->partitions, (size_t)table->partition_count, sizeof(Partition),
         compare_for_numbering);
    int32_t next = kFirstLogicalNumber;
    for (int32_t i = 0; i < table->partition_count; i++) {
        Partition* p = &table->partitions[i];
        if (p->kind != PartitionKind::Logical) continue;
        if (p->number != next) {
            p->number = next;
            p->changed = true;
        }
        next++;
    }
}

const Partition* find_partition(const PartitionTable* table, int32_t number) {
    for (int32_t i = 0; i < table->partition_count; i++)
        if (table->partitions[i].number == number) return &table->partitions[i];
    return nullptr;
}

Partition* find_partition(PartitionTable* table, int32_t number) {
    return const_cast<Partition*>(find_partition(const_cast<const PartitionTable*>(table), number));
}

uint64_t blocks_per_mib(const PartitionTable* table) {
    if (table->block_size == 0 || table->block_size > kBytesPerMiB) return 1;
    return kBytesPerMiB / table->block_size;
}

} // namespace kv
