#include "edit/edit_ops.h"

#include "disk/gpt_layout.h"
#include "disk/layout.h"
#include "disk/mbr_layout.h"
#include "edit/free_space.h"
#include "platform/memory.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

namespace {

const char kNoTable[] = "the disk has no partition table: create one first";
const char kSizeZero[] = "the size is zero";
const char kBeyondDisk[] = "the partition goes beyond the end of the disk";
const char kChooseType[] = "choose a partition type";
const char kOutsideUsable[] = "the partition lies outside the usable area of the disk";
const char kOverlaps[] = "the partition overlaps another one";
const char kTableFull[] = "the partition table is full";
const char kNameTooLong[] = "the name is too long (at most 36 characters)";
const char kExtendedByLogical[] = "the extended partition is created by adding a logical partition";
const char kBeyond2TiB[] = "an MBR cannot address beyond 2 TiB: use GPT";
const char kBlock0[] = "block 0 holds the partition table";
const char kFourPrimaries[] =
    "an MBR holds at most four primary partitions, the extended one included";
const char kNoSuchPartition[] = "there is no such partition";
const char kExtendedKeepsExtendedType[] = "the extended partition can only have an extended type";
const char kOnlyExtendedType[] = "only the extended partition can have an extended type";
const char kOnlyGptName[] = "only GPT partitions have a name";
const char kOnlyMbrActive[] = "only MBR partitions have the active flag";
const char kExtendedNotActive[] = "the extended partition cannot be active";
const char kUnwritten[] = "unwritten changes: write or discard them first";
const char kWipeLogicals[] = "wipe the logical partitions one by one";
const char kWipeTableBlock[] = "the partition covers a block of the partition table";

constexpr uint64_t kLastBlock = ~0ULL;
constexpr uint32_t kDefaultBlockSize = 512;
// A source that keeps answering 0 must not hang the program; the signature
// then stays merely non-zero instead of random.
constexpr int kSignatureAttempts = 64;
constexpr uint32_t kFallbackSignature = 0x4B560201;

void fill_random(const BlockDevice* device, void* buffer, size_t size) {
    memset(buffer, 0, size);
    if (device != nullptr && device->random != nullptr)
        device->random(device->context, buffer, size);
}

// Version 4 (random), variant 1; byte positions in on-disk order.
void random_guid(const BlockDevice* device, uint8_t guid[16]) {
    fill_random(device, guid, 16);
    guid[7] = (uint8_t)((guid[7] & 0x0F) | 0x40);
    guid[8] = (uint8_t)((guid[8] & 0x3F) | 0x80);
}

uint32_t random_signature(const BlockDevice* device) {
    for (int attempt = 0; attempt < kSignatureAttempts; attempt++) {
        uint8_t bytes[4];
        fill_random(device, bytes, sizeof bytes);
        uint32_t value = (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                         (uint32_t)bytes[3] << 24;
        if (value != 0) return value;
    }
    return kFallbackSignature;
}

bool all_zero(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; i++)
        if (bytes[i] != 0) return false;
    return true;
}

// The partitions that cover any block from start to last. Empty partitions
// cover nothing; one that would run past 2^64 runs to the last block.
bool overlaps_any(const PartitionTable* table, uint64_t start, uint64_t last,
                  bool include_logical) {
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->size == 0) continue;
        if (!include_logical && p->kind == PartitionKind::Logical) continue;
        uint64_t p_last = p->size - 1 > kLastBlock - p->start ? kLastBlock : p->start + p->size - 1;
        if (p->start <= last && start <= p_last) return true;
    }
    return false;
}

int32_t smallest_free_number(const PartitionTable* table, uint32_t limit) {
    int32_t top = limit > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)limit;
    for (int32_t n = 1; n <= top; n++)
        if (find_partition(table, n) == nullptr) return n;
    return 0;
}

// UTF-16 units of the name as the writer will store it: one per character.
size_t name_units(const char* name) {
    size_t units = 0;
    free(utf8_to_utf16(name, &units));
    return units;
}

// Copies at most kPartitionNameSize - 1 bytes of `name`, never ending inside
// a UTF-8 sequence.
void store_name(char* out, const char* name) {
    size_t length = 0;
    size_t room = kPartitionNameSize - 1;
    while (name[length] != '\0') {
        size_t available = 0;
        while (available < 4 && name[length + available] != '\0')
            available++;
        size_t step;
        utf8_decode(name + length, available, &step);
        if (length + step > room) break;
        length += step;
    }
    memcpy(out, name, length);
    memset(out + length, 0, kPartitionNameSize - length);
}

int32_t index_of(const PartitionTable* table, int32_t number) {
    for (int32_t i = 0; i < table->partition_count; i++)
        if (table->partitions[i].number == number) return i;
    return -1;
}

void clear_other_active(PartitionTable* table, int32_t keep) {
    for (int32_t i = 0; i < table->partition_count; i++) {
        Partition* p = &table->partitions[i];
        if (i == keep || !p->active) continue;
        p->active = false;
        p->changed = true;
    }
}

const char* add_gpt(PartitionTable* table, const BlockDevice* device, const Partition* model,
                    uint64_t last) {
    if (all_zero(model->type_guid, sizeof model->type_guid)) return kChooseType;
    if (model->start < table->first_usable || last > table->last_usable) return kOutsideUsable;
    if (overlaps_any(table, model->start, last, true)) return kOverlaps;
    int32_t number = smallest_free_number(table, table->entry_count);
    if (number == 0) return kTableFull;
    // The model's buffer need not be terminated.
    char name[kPartitionNameSize];
    memcpy(name, model->name, sizeof name);
    name[kPartitionNameSize - 1] = '\0';
    if (name_units(name) > (size_t)kMaxNameUnits) return kNameTooLong;

    Partition* added = append_partition(table, model);
    added->number = number;
    added->kind = PartitionKind::Primary;
    added->ebr_block = 0;
    added->active = false; // a GPT has no active flag to write
    memcpy(added->name, name, sizeof name);
    random_guid(device, added->unique_guid);
    return nullptr;
}

const char* add_mbr(PartitionTable* table, const Partition* model, uint64_t last) {
    if (model->mbr_type == 0) return kChooseType;
    if (is_extended_type(model->mbr_type)) return kExtendedByLogical;
    if (last >= kMbrBlockLimit) return kBeyond2TiB;
    if (model->start == 0) return kBlock0;
    if (model->kind == PartitionKind::Logical) return add_logical(table, model, last);
    // The extended partition counts, so a primary stays clear of the logicals.
    if (overlaps_any(table, model->start, last, false)) return kOverlaps;
    int32_t slot = smallest_free_number(table, 4);
    if (slot == 0) return kFourPrimaries;

    Partition* added = append_partition(table, model);
    added->number = slot;
    added->kind = PartitionKind::Primary;
    added->ebr_block = 0;
    if (added->active) clear_other_active(table, table->partition_count - 1);
    renumber_logicals(table);
    return nullptr;
}

} // namespace

void new_table(PartitionTable* table, const BlockDevice* device, TableKind kind) {
    // The disk is still the one that was read: the writer's check against
    // a change from outside holds for the new table too.
    uint32_t fingerprint = table->read_fingerprint;
    bool fingerprinted = table->fingerprinted;
    table_free(table);
    table->read_fingerprint = fingerprint;
    table->fingerprinted = fingerprinted;
    table->kind = kind;
    table->block_size = device->block_size;
    table->block_count = device->block_count;
    table->dirty = true;
    if (kind == TableKind::Mbr) {
        // block0 stays zero: the written MBR carries no boot code.
        table->mbr_signature = random_signature(device);
    } else if (kind == TableKind::Gpt) {
        random_guid(device, table->disk_guid);
        table->entry_count = kGptDefaultEntryCount;
        table->entry_size = kGptMinEntrySize;
        table->primary_array_lba = kGptPrimaryArrayBlock;
        uint64_t block_size = table->block_size != 0 ? table->block_size : kDefaultBlockSize;
        uint64_t array_bytes = (uint64_t)kGptDefaultEntryCount * kGptMinEntrySize;
        uint64_t array_blocks = (array_bytes + block_size - 1) / block_size;
        uint64_t count = table->block_count;
        table->first_usable = kGptPrimaryArrayBlock + array_blocks;
        table->last_usable = 2 * array_blocks + 3 < count ? count - 2 - array_blocks : 0;
        // On a disk too small for the layout these stay 0 rather than wrap;
        // the writer refuses such a table anyway.
        table->backup_header_lba = count > 0 ? count - 1 : 0;
        table->backup_array_lba = count > array_blocks + 1 ? count - 1 - array_blocks : 0;
    }
}

const char* add_partition(PartitionTable* table, const BlockDevice* device,
                          const Partition* model) {
    if (table->kind != TableKind::Mbr && table->kind != TableKind::Gpt) return kNoTable;
    if (model->size == 0) return kSizeZero;
    if (model->size - 1 > kLastBlock - model->start) return kBeyondDisk;
    uint64_t last = model->start + model->size - 1;
    if (last >= table->block_count) return kBeyondDisk;
    if (table->kind == TableKind::Gpt) return add_gpt(table, device, model, last);
    return add_mbr(table, model, last);
}

const char* delete_partition(PartitionTable* table, int32_t number) {
    int32_t index = index_of(table, number);
    if (index < 0) return kNoSuchPartition;
    // Logical partitions belong to the first extended partition, the only one
    // whose chain was read; a further one comes away alone.
    bool holds_logicals = false;
    if (table->partitions[index].kind == PartitionKind::Extended) {
        holds_logicals = true;
        for (int32_t i = 0; i < index; i++)
            if (table->partitions[i].kind == PartitionKind::Extended) holds_logicals = false;
    }
    int32_t kept = 0;
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (i == index || (holds_logicals && p->kind == PartitionKind::Logical)) continue;
        if (kept != i) memcpy(&table->partitions[kept], p, sizeof *p);
        kept++;
    }
    table->partition_count = kept;
    table->dirty = true;
    renumber_logicals(table);
    return nullptr;
}

const char* set_type(PartitionTable* table, int32_t number, uint8_t type_byte,
                     const uint8_t type_guid[16]) {
    Partition* p = find_partition(table, number);
    if (p == nullptr) return kNoSuchPartition;
    if (table->kind == TableKind::Gpt) {
        if (type_guid == nullptr || all_zero(type_guid, 16)) return kChooseType;
        memcpy(p->type_guid, type_guid, 16);
    } else {
        if (type_byte == 0) return kChooseType;
        bool extended = p->kind == PartitionKind::Extended;
        if (extended != is_extended_type(type_byte))
            return extended ? kExtendedKeepsExtendedType : kOnlyExtendedType;
        p->mbr_type = type_byte;
    }
    p->changed = true;
    table->dirty = true;
    return nullptr;
}

const char* set_name(PartitionTable* table, int32_t number, const char* name) {
    Partition* p = find_partition(table, number);
    if (p == nullptr) return kNoSuchPartition;
    if (table->kind != TableKind::Gpt) return kOnlyGptName;
    if (name == nullptr) name = "";
    if (name_units(name) > (size_t)kMaxNameUnits) return kNameTooLong;
    store_name(p->name, name);
    p->changed = true;
    table->dirty = true;
    return nullptr;
}

const char* set_active(PartitionTable* table, int32_t number, bool flag) {
    int32_t index = index_of(table, number);
    if (index < 0) return kNoSuchPartition;
    if (table->kind != TableKind::Mbr) return kOnlyMbrActive;
    Partition* p = &table->partitions[index];
    if (p->kind == PartitionKind::Extended) return kExtendedNotActive;
    if (flag) clear_other_active(table, index);
    p->active = flag;
    p->changed = true;
    table->dirty = true;
    return nullptr;
}

const char* wipe_precheck(const PartitionTable* table, int32_t number) {
    const Partition* p = find_partition(table, number);
    if (p == nullptr) return kNoSuchPartition;
    if (table->dirty) return kUnwritten;
    if (p->kind == PartitionKind::Extended) return kWipeLogicals;
    // A damaged table may describe a partition over its own blocks or over
    // another partition: wiping it would take those with it.
    if (p->size == 0) return kSizeZero;
    if (p->start >= table->block_count || p->size > table->block_count - p->start)
        return kBeyondDisk;
    if (covers_table_block(table, p->start, p->size)) return kWipeTableBlock;
    if (overlapping_partition(table, (int32_t)(p - table->partitions)) != nullptr) return kOverlaps;
    return nullptr;
}

} // namespace kv
