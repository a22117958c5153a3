// Writes an MBR table: one extended boot record (EBR) per logical partition,
// linked in order of start, then block 0 with the primary and extended
// entries. Every value is checked to fit its 32-bit field and every EBR to land
// in a free block of the extended partition before anything is written.
#include "disk/bytes.h"
#include "disk/gpt_layout.h"
#include "disk/mbr_layout.h"
#include "io/table_writers.h"
#include "platform/memory.h"
#include "platform/sort.h"
#include "platform/strings.h"

namespace kv {

namespace {

// CHS fields assume 255 heads and 63 sectors a track. From the first block
// that 1024 cylinders cannot reach they hold the marker FE FF FF.
constexpr uint64_t kChsHeads = 255;
constexpr uint64_t kChsSectors = 63;
constexpr uint64_t kChsBlocksPerCylinder = kChsHeads * kChsSectors;
constexpr uint64_t kChsLimit = 1024 * kChsBlocksPerCylinder;
constexpr size_t kChsSize = 3;
constexpr uint8_t kChsBeyond[kChsSize] = {0xFE, 0xFF, 0xFF};

void encode_chs(uint8_t* out, uint64_t block) {
    if (block >= kChsLimit) {
        memcpy(out, kChsBeyond, kChsSize);
        return;
    }
    uint64_t cylinder = block / kChsBlocksPerCylinder;
    out[0] = (uint8_t)((block / kChsSectors) % kChsHeads);
    out[1] = (uint8_t)((block % kChsSectors + 1) | ((cylinder >> 2) & 0xC0));
    out[2] = (uint8_t)(cylinder & 0xFF);
}

void finish_block(uint8_t* block) {
    block[kMbrMagicOffset] = kMbrMagic0;
    block[kMbrMagicOffset + 1] = kMbrMagic1;
}

struct LogicalSlot {
    const Partition* partition;
    uint64_t ebr;
};

struct MbrPlan {
    const Partition* slots[kMbrSlots];
    const Partition* extended; // the one whose chain is written, or null
    LogicalSlot* logicals;     // in chain order (by number), owned
    int logical_count;
};

// A partition whose entry reads back as itself: a size of at least one
// block (an entry without blocks is an empty slot, whatever its type), both
// fields within 32 bits.
ErrorCode check_entry(const Partition* p, WriteRefusal* refusal) {
    if (p->size == 0) return refuse(refusal, "partition %d has no blocks", p->number);
    if (p->size > kMax32 || p->start > kMax32)
        return refuse(refusal, "partition %d lies beyond what an MBR can address: use GPT",
                      p->number);
    return ERR_OK;
}

ErrorCode plan_slots(const PartitionTable* table, MbrPlan* plan, WriteRefusal* refusal) {
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->kind == PartitionKind::Logical) continue;
        // The number is the slot: one outside 1-4 has no entry to go to, and
        // a second partition in a slot would silently replace the first.
        if (p->number < 1 || p->number > kMbrSlots)
            return refuse(refusal, "partition %d has no slot in the MBR (1 to 4)", p->number);
        if (plan->slots[p->number - 1] != nullptr)
            return refuse(refusal, "two partitions use MBR slot %d", p->number);
        ErrorCode rc = check_entry(p, refusal);
        if (rc != ERR_OK) return rc;
        plan->slots[p->number - 1] = p;
    }
    // The reader follows the extended partition in the lowest slot only.
    for (int slot = 0; slot < kMbrSlots && plan->extended == nullptr; slot++)
        if (plan->slots[slot] != nullptr && plan->slots[slot]->kind == PartitionKind::Extended)
            plan->extended = plan->slots[slot];
    return ERR_OK;
}

int compare_logical_number(const void* left, const void* right) {
    const Partition* a = ((const LogicalSlot*)left)->partition;
    const Partition* b = ((const LogicalSlot*)right)->partition;
    if (a->number != b->number) return a->number < b->number ? -1 : 1;
    return a->start < b->start ? -1 : a->start > b->start ? 1 : 0;
}

// The logical partition that holds `block`, or null.
const Partition* logical_holding(const MbrPlan* plan, uint64_t block) {
    for (int i = 0; i < plan->logical_count; i++) {
        const Partition* q = plan->logicals[i].partition;
        if (block >= q->start && block - q->start < q->size) return q;
    }
    return nullptr;
}

// The last block of the logical partition that lies closest before `p` on
// the disk, or the first EBR's block when none does.
uint64_t end_before(const MbrPlan* plan, const Partition* p) {
    uint64_t last = plan->extended->start;
    for (int i = 0; i < plan->logical_count; i++) {
        const Partition* q = plan->logicals[i].partition;
        if (q->start < p->start && q->start + q->size - 1 > last) last = q->start + q->size - 1;
    }
    return last;
}

// Whether `block` can hold the EBR of the partition at `index`: after the
// first EBR, before the partition itself, in no logical partition and no
// other EBR chosen so far.
bool ebr_fits(const MbrPlan* plan, int index, uint64_t block) {
    const Partition* p = plan->logicals[index].partition;
    if (block <= plan->extended->start || block >= p->start) return false;
    if (logical_holding(plan, block) != nullptr) return false;
    for (int i = 0; i < index; i++)
        if (plan->logicals[i].ebr == block) return false;
    return true;
}

// Chooses the EBR block of every logical partition, keeping the chain in
// the order of the partitions' numbers: a chain written in another order
// than it was read would renumber partitions that the user never touched.
// The first EBR is the extended partition's first block; a later one keeps
// its block if that lies in the gap before its partition on the disk, else
// takes the block just before its partition. Refuses overlapping logical
// partitions and an EBR that would land in a partition, outside the
// extended partition or the disk, or beyond the 32-bit fields.
ErrorCode plan_logicals(const BlockDevice* device, const PartitionTable* table, MbrPlan* plan,
                        WriteRefusal* refusal) {
    const Partition* extended = plan->extended;
    // Block 0 holds the MBR itself, and the first EBR must be on the disk.
    if (extended->start == 0)
        return refuse(refusal, "the extended partition cannot start at block 0");
    if (extended->start >= device->block_count)
        return refuse(refusal, "the extended partition starts beyond the end of the disk");
    uint64_t extended_end = extended->start + extended->size;

    int count = 0;
    for (int32_t i = 0; i < table->partition_count; i++)
        if (table->partitions[i].kind == PartitionKind::Logical) count++;
    // The reader stops after this many EBRs; further partitions would vanish.
    if (count > kEbrChainLimit)
        return refuse(refusal, "an MBR chain holds at most %d logical partitions", kEbrChainLimit);
    if (count == 0) return ERR_OK;

    plan->logicals = (LogicalSlot*)xcalloc((size_t)count, sizeof(LogicalSlot));
    for (int32_t i = 0; i < table->partition_count; i++)
        if (table->partitions[i].kind == PartitionKind::Logical)
            plan->logicals[plan->logical_count++].partition = &table->partitions[i];
    sort(plan->logicals, (size_t)count, sizeof(LogicalSlot), compare_logical_number);

    for (int i = 0; i < count; i++) {
        const Partition* p = plan->logicals[i].partition;
        ErrorCode rc = check_entry(p, refusal);
        if (rc != ERR_OK) return rc;
        for (int j = 0; j < i; j++) {
            const Partition* q = plan->logicals[j].partition;
            if (p->start <= q->start + q->size - 1 && q->start <= p->start + p->size - 1)
                return refuse(refusal, "logical partitions %d and %d overlap", q->number,
                              p->number);
        }
    }
    for (int i = 0; i < count; i++) {
        const Partition* p = plan->logicals[i].partition;
        uint64_t ebr = extended->start;
        if (i == 0) {
            if (p->start <= ebr)
                return refuse(refusal,
                              p->start == ebr
                                  ? "logical partition %d begins at its extended boot record"
                                  : "logical partition %d begins before its extended partition",
                              p->number);
        } else if (p->ebr_block > end_before(plan, p) && ebr_fits(plan, i, p->ebr_block)) {
            ebr = p->ebr_block;
        } else if (p->start > 0 && ebr_fits(plan, i, p->start - 1)) {
            ebr = p->start - 1;
        } else {
            const Partition* holder = p->start > 0 ? logical_holding(plan, p->start - 1) : nullptr;
            if (holder != nullptr)
                return refuse(refusal,
                              "logical partition %d leaves no block for its boot record "
                              "after partition %d",
                              p->number, holder->number);
            return refuse(refusal, "logical partition %d leaves no block for its boot record",
                          p->number);
        }
        if (ebr >= extended_end || ebr >= device->block_count)
            return refuse(refusal, "logical partition %d lies outside its extended partition",
                          p->number);
        if (p->start - ebr > kMax32)
            return refuse(refusal, "logical partition %d lies too far from its boot record",
                          p->number);
        plan->logicals[i].ebr = ebr;
    }
    // An EBR inside the first logical partition was not checked above: the
    // first EBR is fixed, so only later ones are tested against partitions.
    if (const Partition* over_first = logical_holding(plan, extended->start))
        return refuse(refusal, "logical partition %d begins before its extended partition",
                      over_first->number);
    // Each link spans from the next EBR to the end of the next partition.
    for (int i = 1; i < count; i++) {
        const LogicalSlot* next = &plan->logicals[i];
        if (next->partition->start - next->ebr > kMax32 - next->partition->size)
            return refuse(refusal, "logical partition %d lies too far from its boot record",
                          next->partition->number);
    }
    return ERR_OK;
}

// Zeros a GPT header left in `block` by an earlier table, so that the disk
// is not taken for a GPT without its protective MBR. A block inside one of
// the new partitions belongs to that partition's data and stays as it is.
ErrorCode remove_stale_gpt_header(const BlockDevice* device, const PartitionTable* table,
                                  uint64_t block) {
    if (block >= device->block_count) return ERR_OK;
    for (int32_t i = 0; i < table->partition_count; i++) {
        const Partition* p = &table->partitions[i];
        if (p->start <= block && block - p->start < p->size) return ERR_OK;
    }
    uint8_t* old = read_blocks(device, block, 1);
    if (old == nullptr) return ERR_OK;
    bool stale = memcmp(old + kGptSignatureOffset, kGptSignature, kGptSignatureSize) == 0;
    ErrorCode rc = ERR_OK;
    if (stale) {
        memset(old, 0, device->block_size);
        rc = write_blocks(device, block, 1, old);
    }
    free(old);
    return rc;
}

// Whether the entry of `slot` in block 0 as read already says what `p`
// says: then its bytes stay as they were, CHS fields included, and a write
// that changes nothing in it leaves it alone.
bool entry_as_read(const PartitionTable* table, int slot, const Partition* p) {
    const uint8_t* e = table->block0 + mbr_entry_offset(slot);
    return e[kEntryStatus] == (p->active ? kStatusActive : 0x00) && e[kEntryType] == p->mbr_type &&
           load_le32(e + kEntryFirstBlock) == p->start &&
           load_le32(e + kEntryBlockCount) == p->size;
}

// The reader stopped before the end of the chain: the logical partitions
// behind the cut were never read, and a chain written from this table would
// end where reading stopped and drop them.
ErrorCode refuse_cut_chain(const PartitionTable* table, WriteRefusal* refusal) {
    unsigned long long block = table->chain_cut_block;
    switch (table->chain_cut_reason) {
    case ChainCut::TooLong:
        return refuse(refusal,
                      "logical partitions after the first %d were not read: writing "
                      "would lose them",
                      kEbrChainLimit);
    case ChainCut::Unreadable:
        return refuse(refusal,
                      "the EBR at block %llu cannot be read: writing would lose the "
                      "logical partitions after it",
                      block);
    case ChainCut::Invalid:
        return refuse(refusal,
                      "the EBR at block %llu is invalid: writing would lose the "
                      "logical partitions after it",
                      block);
    case ChainCut::BadLink:
        return refuse(refusal,
                      "the EBR at block %llu links outside the extended partition: "
                      "writing would lose what follows",
                      block);
    case ChainCut::Unknown:
        break;
    }
    return refuse(refusal, "the chain of logical partitions was not read to its end: writing "
                           "would lose the rest");
}

void build_block0(const PartitionTable* table, const MbrPlan* plan, uint8_t* block) {
    memcpy(block, table->block0, kMbrBootCodeSize);
    store_le32(block + kMbrSignatureOffset, table->mbr_signature);
    for (int slot = 1; slot <= kMbrSlots; slot++) {
        const Partition* p = plan->slots[slot - 1];
        if (p == nullptr) continue;
        if (entry_as_read(table, slot, p))
            memcpy(block + mbr_entry_offset(slot), table->block0 + mbr_entry_offset(slot),
                   kMbrEntrySize);
        else
            encode_mbr_entry(block + mbr_entry_offset(slot), p->active, p->mbr_type,
                             (uint32_t)p->start, (uint32_t)p->size, p->start);
    }
    finish_block(block);
}

ErrorCode write_ebr_chain(const BlockDevice* device, const MbrPlan* plan, uint8_t* block) {
    uint64_t base = plan->extended->start;
    if (plan->logical_count == 0) {
        // An empty chain: a lone signature says "no logical partitions".
        memset(block, 0, device->block_size);
        finish_block(block);
        return write_blocks(device, base, 1, block);
    }
    // From the last EBR to the first: each link then points at an EBR that
    // is already on the disk, and the first EBR, which the reader starts
    // from, switches from the old chain to the new one in a single write.
    for (int i = plan->logical_count - 1; i >= 0; i--) {
        const LogicalSlot* own = &plan->logicals[i];
        const Partition* p = own->partition;
        memset(block, 0, device->block_size);
        encode_mbr_entry(block + mbr_entry_offset(kEbrPartitionSlot), p->active, p->mbr_type,
                         (uint32_t)(p->start - own->ebr), (uint32_t)p->size, p->start);
        if (i + 1 < plan->logical_count) {
            const LogicalSlot* next = &plan->logicals[i + 1];
            uint64_t span = next->partition->start - next->ebr + next->partition->size;
            encode_mbr_entry(block + mbr_entry_offset(kEbrLinkSlot), false, kTypeExtended,
                             (uint32_t)(next->ebr - base), (uint32_t)span, next->ebr);
        }
        finish_block(block);
        ErrorCode rc = write_blocks(device, own->ebr, 1, block);
        if (rc != ERR_OK) return rc;
    }
    return ERR_OK;
}

} // namespace

void encode_mbr_entry(uint8_t* entry, bool active, uint8_t type, uint32_t start, uint32_t size,
                      uint64_t first_block) {
    entry[kEntryStatus] = active ? kStatusActive : 0x00;
    encode_chs(entry + kEntryFirstChs, first_block);
    entry[kEntryType] = type;
    encode_chs(entry + kEntryLastChs, size == 0 ? first_block : first_block + size - 1);
    store_le32(entry + kEntryFirstBlock, start);
    store_le32(entry + kEntryBlockCount, size);
}

ErrorCode write_mbr_table(const BlockDevice* device, const PartitionTable* table,
                          WriteRefusal* refusal) {
    MbrPlan plan;
    memset(&plan, 0, sizeof plan);
    ErrorCode planned = plan_slots(table, &plan, refusal);
    // The logical partitions after the cut were never read: a new chain
    // would end where reading stopped and lose them.
    if (planned == ERR_OK && plan.extended != nullptr && table->chain_cut)
        planned = refuse_cut_chain(table, refusal);
    if (planned == ERR_OK && plan.extended != nullptr)
        planned = plan_logicals(device, table, &plan, refusal);
    if (planned != ERR_OK) {
        free(plan.logicals);
        return planned;
    }

    // Block 0 decides which table the disk holds: the chain it points at goes
    // out before it, and a GPT it replaces is cleared only after it.
    uint8_t* block = (uint8_t*)xcalloc(1, device->block_size);
    ErrorCode rc = ERR_OK;
    if (plan.extended != nullptr) rc = write_ebr_chain(device, &plan, block);
    if (rc == ERR_OK) {
        memset(block, 0, device->block_size);
        build_block0(table, &plan, block);
        rc = write_blocks(device, 0, 1, block);
    }
    if (rc == ERR_OK) rc = remove_stale_gpt_header(device, table, kGptPrimaryBlock);
    if (rc == ERR_OK) rc = remove_stale_gpt_header(device, table, device->block_count - 1);
    free(block);
    free(plan.logicals);
    return rc;
}

} // namespace kv
