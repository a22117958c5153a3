// Feeds arbitrary disk images to read_table. Input: one byte whose low bit
// picks 512- or 4096-byte blocks, then the image, zero-padded to whole
// blocks and to at least kMinBlocks. The reader must not crash, read outside
// its buffers, loop, or leave a pool block behind, and a table written back
// unchanged must read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "disk/read_table.h"
#include "io/write_table.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"

namespace {

constexpr size_t kMinBlocks = 4;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader's buffers come from the simulated firmware pool.
    static const bool firmware_ready = [] {
        sim::reset();
        return true;
    }();
    (void)firmware_ready;
    if (size == 0) return 0;

    const uint32_t block_size = (data[0] & 1) ? 4096 : 512;
    data++;
    size--;
    size_t blocks = (size + block_size - 1) / block_size;
    if (blocks < kMinBlocks) blocks = kMinBlocks;
    std::vector<uint8_t> image(blocks * block_size, 0);
    if (size > 0) std::memcpy(image.data(), data, size);

    sim::MemDisk disk(block_size, std::move(image));
    const size_t live_before = sim::pool_blocks_live();
    kv::PartitionTable table{};
    kv::ErrorCode status = kv::read_table(disk.device(), &table);
    if (status != kv::ERR_OK) std::abort(); // geometry is valid and reads cannot fail here
    if (table.note_count < 0 || table.note_count > kv::kMaxNotes) std::abort();
    for (int i = 0; i < table.note_count; i++)
        if (std::strlen(table.notes[i].text) >= kv::kNoteSize) std::abort();
    // Both schemes yield partitions in ascending number order, so numbers are
    // unique exactly when they rise.
    for (int i = 0; i < table.partition_count; i++) {
        const kv::Partition& p = table.partitions[i];
        if (std::strlen(p.name) >= kv::kPartitionNameSize || p.changed) std::abort();
        if (i > 0 && p.number <= table.partitions[i - 1].number) std::abort();
    }
    if (table.dirty) std::abort();
    // The EBRs read: on the disk, never block 0, each once (links may run
    // backwards, but a loop ends the walk).
    if (table.ebr_count < 0 || table.ebr_count > kv::kEbrChainLimit) std::abort();
    if (table.chain_cut && table.chain_cut_reason == kv::ChainCut::TooLong &&
        table.ebr_count != kv::kEbrChainLimit)
        std::abort();
    if (!table.chain_cut && table.chain_cut_reason != kv::ChainCut::Unknown) std::abort();
    for (int i = 0; i < table.ebr_count; i++) {
        uint64_t block = table.ebr_blocks[i];
        if (block == 0 || block >= table.block_count) std::abort();
        for (int j = 0; j < i; j++)
            if (table.ebr_blocks[j] == block) std::abort();
    }
    // Writing back what was read, unchanged, either is refused or reads back
    // as the same partitions under the same numbers: a no-op write never
    // drops or renumbers a partition.
    kv::WriteRefusal refusal;
    if (table.kind != kv::TableKind::None &&
        kv::write_table(disk.device(), &table, &refusal) == kv::ERR_OK) {
        kv::PartitionTable again{};
        if (kv::read_table(disk.device(), &again) != kv::ERR_OK) std::abort();
        if (again.kind != table.kind || again.partition_count != table.partition_count)
            std::abort();
        for (int i = 0; i < table.partition_count; i++) {
            const kv::Partition& a = table.partitions[i];
            const kv::Partition& b = again.partitions[i];
            if (a.number != b.number || a.start != b.start || a.size != b.size ||
                a.mbr_type != b.mbr_type || a.kind != b.kind)
                std::abort();
        }
        kv::table_free(&again);
    }
    kv::table_free(&table);
    if (sim::pool_blocks_live() != live_before) std::abort();
    return 0;
}
