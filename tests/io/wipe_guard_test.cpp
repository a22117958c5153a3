// The checks before a wipe on damaged tables: a partition over the table's
// own blocks or over another partition is refused, so that wiping it cannot
// destroy the table or someone else's data. The property test lays down
// random MBR and GPT layouts full of such faults and wipes every partition
// that is let through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "disk/read_table.h"
#include "edit/edit_ops.h"
#include "io/wipe.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"
#include "tests/disk/image_builder.h"

namespace {

using kvtest::Logical;
using kvtest::MbrEntry;

const std::string kTableBlock = "the partition covers a block of the partition table";
const std::string kOverlaps = "the partition overlaps another one";

class WipeGuard : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { kv::table_free(&table_); }

    void read(sim::MemDisk& disk) {
        kv::table_free(&table_);
        ASSERT_EQ(kv::read_table(disk.device(), &table_), kv::ERR_OK);
    }
    std::string precheck(int32_t number) {
        const char* refusal = kv::wipe_precheck(&table_, number);
        return refusal ? refusal : "";
    }

    kv::PartitionTable table_{};
};

TEST_F(WipeGuard, PartitionsOverTableBlocksAreRefused) {
    sim::MemDisk disk(512, 16384);
    // Entry 1 from block 0 over the MBR itself.
    kvtest::write_mbr(disk, {{0x00, 0x83, 0, 4096}, {0x00, 0x83, 4096, 2048}});
    read(disk);
    EXPECT_EQ(precheck(1), kTableBlock);
    EXPECT_EQ(precheck(2), "");

    // Logical 5 begins at its own EBR; 6 covers the EBR of 7.
    kvtest::write_mbr(disk, {{0x00, 0x05, 2048, 8192}});
    kvtest::write_ebr_chain(
        disk, 2048, {{2048, 2048, 1000}, {4096, 4097, 1000}, {5000, 5050, 40}, {6000, 6001, 100}});
    read(disk);
    ASSERT_EQ(table_.partition_count, 5);
    EXPECT_EQ(precheck(5), kTableBlock);
    EXPECT_EQ(precheck(6), kTableBlock);
    EXPECT_EQ(precheck(7), kOverlaps); // inside 6
    EXPECT_EQ(precheck(8), "");
}

TEST_F(WipeGuard, OverlappingGptPartitionsAreRefused) {
    sim::MemDisk disk(512, 32768);
    kvtest::GptPlan plan;
    plan.entries = {{0, kvtest::kLinuxDataType, {}, 100, 300, 0, u"a"},
                    {1, kvtest::kLinuxDataType, {}, 200, 400, 0, u"b"},
                    {2, kvtest::kLinuxDataType, {}, 401, 500, 0, u"c"},
                    {3, kvtest::kLinuxDataType, {}, 32767 - 40, 32767 - 30, 0, u"d"},
                    {4, kvtest::kLinuxDataType, {}, 600, 599, 0, u"e"}};
    kvtest::write_gpt(disk, plan);
    read(disk);
    EXPECT_EQ(precheck(1), kOverlaps);
    EXPECT_EQ(precheck(2), kOverlaps);
    EXPECT_EQ(precheck(3), "");
    EXPECT_EQ(precheck(4), kTableBlock); // the backup array
    EXPECT_EQ(precheck(5), "the size is zero");
}

// Blocks where the layout keeps its structures, known from how the test laid
// it down rather than from the reader.
struct Layout {
    std::set<uint64_t> table_blocks;
};

Layout random_mbr(sim::MemDisk& disk, std::mt19937_64& rng) {
    Layout out;
    out.table_blocks.insert(0);
    auto pick = [&rng](uint64_t low, uint64_t high) {
        return std::uniform_int_distribution<uint64_t>(low, high)(rng);
    };
    const uint64_t blocks = disk.block_count();
    std::vector<MbrEntry> slots;
    int primaries = int(pick(1, 4));
    bool with_extended = pick(0, 2) != 0;
    for (int i = 0; i < primaries; i++) {
        bool extended = with_extended && i == primaries - 1;
        uint64_t start = pick(0, blocks - 2);
        uint64_t size = pick(1, extended ? blocks - start : 600);
        slots.push_back({0x00, uint8_t(extended ? 0x05 : 0x83), uint32_t(start), uint32_t(size)});
    }
    kvtest::write_mbr(disk, slots);
    const MbrEntry& last = slots.back();
    if (!with_extended || last.first == 0) return out;
    // A chain that moves forward inside the extended partition, so every EBR
    // is read; its partitions may start at their own EBR, overrun the next
    // ones or leave the extended partition.
    std::vector<Logical> chain;
    uint64_t ebr = last.first;
    uint64_t end = uint64_t(last.first) + last.count;
    while (ebr < end && chain.size() < 6) {
        Logical l{ebr, ebr + pick(0, 40), uint32_t(pick(1, 300))};
        chain.push_back(l);
        out.table_blocks.insert(ebr);
        ebr += pick(1, 200);
    }
    kvtest::write_ebr_chain(disk, last.first, chain);
    return out;
}

Layout random_gpt(sim::MemDisk& disk, std::mt19937_64& rng) {
    auto pick = [&rng](uint64_t low, uint64_t high) {
        return std::uniform_int_distribution<uint64_t>(low, high)(rng);
    };
    const uint64_t blocks = disk.block_count();
    kvtest::GptPlan plan;
    int count = int(pick(1, 6));
    for (int i = 0; i < count; i++) {
        uint64_t first = pick(0, blocks - 1);
        uint64_t last = std::min(blocks - 1, first + pick(0, 400));
        plan.entries.push_back({uint32_t(i), kvtest::kLinuxDataType, {}, first, last, 0, u"p"});
    }
    kvtest::GptPlacement at = kvtest::write_gpt(disk, plan);
    Layout out;
    out.table_blocks = {0, 1, at.backup_header};
    for (uint64_t i = 0; i < at.array_blocks; i++) {
        out.table_blocks.insert(at.primary_array + i);
        out.table_blocks.insert(at.backup_array + i);
    }
    return out;
}

bool inside(const kv::Partition& p, uint64_t block) {
    return block >= p.start && block - p.start < p.size;
}

TEST_F(WipeGuard, RandomLayoutsNeverLoseATableBlockOrAnotherPartition) {
    std::mt19937_64 rng(15);
    int wiped = 0;
    int refused = 0;
    for (int round = 0; round < 300; round++) {
        SCOPED_TRACE(round);
        sim::MemDisk disk(512, 2048, round + 1);
        // Non-zero everywhere, so that the final zeros of a wipe show in
        // every block it wrote.
        std::fill(disk.image().begin(), disk.image().end(), 0xA5);
        bool gpt = round % 2 == 1;
        Layout layout = gpt ? random_gpt(disk, rng) : random_mbr(disk, rng);
        read(disk);
        for (int32_t i = 0; i < table_.partition_count; i++) {
            const kv::Partition target = table_.partitions[i];
            if (kv::wipe_precheck(&table_, target.number) != nullptr) {
                refused++;
                continue;
            }
            sim::MemDisk copy(512, disk.image());
            ASSERT_EQ(kv::wipe_blocks(copy.device(), target.start, target.size, nullptr, nullptr),
                      kv::ERR_OK);
            wiped++;
            for (uint64_t b = 0; b < disk.block_count(); b++) {
                if (std::memcmp(copy.block(b), disk.block(b), 512) == 0) continue;
                ASSERT_TRUE(inside(target, b)) << "block " << b;
                ASSERT_EQ(layout.table_blocks.count(b), 0u) << "table block " << b;
                for (int32_t j = 0; j < table_.partition_count; j++) {
                    const kv::Partition& other = table_.partitions[j];
                    bool holds_it = other.kind == kv::PartitionKind::Extended &&
                                    target.kind == kv::PartitionKind::Logical;
                    if (j == i || holds_it) continue;
                    ASSERT_FALSE(inside(other, b))
                        << "block " << b << " of partition " << other.number;
                }
            }
        }
    }
    // Both outcomes occur often, so the property was really exercised.
    EXPECT_GT(wiped, 100);
    EXPECT_GT(refused, 100);
}

} // namespace
