// Damaged and unusual layouts that the reader must neither hide nor
// misread: a chain longer than the reader follows, partitions over each
// other or over the table's own blocks, and a real MBR behind a copied
// file-system parameter block.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "disk/layout.h"
#include "disk/read_table.h"
#include "sim/firmware.h"
#include "tests/disk/image_builder.h"
#include "tests/disk/read_fixture.h"

namespace {

using kvtest::Logical;
using kvtest::Notes;

class DamagedTableTest : public kvtest::ReadTableTest {};

TEST_F(DamagedTableTest, ChainCutByTheLimitIsMarkedAndItsBlocksKept) {
    // An EBR every 16 blocks, each followed by its logical partition.
    sim::MemDisk disk(512, 4096);
    kvtest::write_mbr(disk, {{0x00, 0x05, 16, 140 * 16}});
    std::vector<Logical> chain;
    for (uint64_t i = 0; i < 140; i++)
        chain.push_back({16 + 16 * i, 17 + 16 * i, 15});
    kvtest::write_ebr_chain(disk, 16, chain);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.partition_count, 1 + 128);
    EXPECT_TRUE(table_.chain_cut);
    ASSERT_EQ(table_.ebr_count, 128);
    EXPECT_EQ(table_.ebr_blocks[0], 16u);
    EXPECT_EQ(table_.ebr_blocks[127], 16u + 16 * 127);
    EXPECT_EQ(notes(), Notes{"the chain of logical partitions is too long; stopped after 128"});

    // A chain of exactly 128 is read whole and not marked.
    std::memset(disk.block(16 + 16 * 127) + 446 + 16, 0, 16);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_FALSE(table_.chain_cut);
    EXPECT_EQ(table_.ebr_count, 128);
    EXPECT_EQ(notes(), Notes{});
}

TEST_F(DamagedTableTest, OverlapsAndTableBlocksAreNotedWithTheirNumbers) {
    // Primaries over each other, and one from block 0.
    sim::MemDisk disk(512, 40000);
    kvtest::write_mbr(disk, {{0x00, 0x83, 0, 4096},
                             {0x00, 0x83, 4096, 1000},
                             {0x00, 0x83, 2048 + 10000, 10000},
                             {0x00, 0x83, 15000, 10000}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(notes(), (Notes{"partitions 3 and 4 overlap",
                              "partition 1 covers a block of the partition table"}));

    // Logical partitions: 5 starts at its own EBR, 6 and 7 overlap, and 7
    // covers the EBR of 8. The extended partition holding them is no
    // overlap.
    kvtest::write_mbr(disk, {{0x00, 0x83, 100, 900}, {0x00, 0x0F, 1000, 30000}});
    kvtest::write_ebr_chain(
        disk, 1000, {{1000, 1000, 100}, {2000, 2001, 500}, {2400, 2401, 599}, {2995, 3001, 100}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(table_.partition_count, 6);
    EXPECT_EQ(notes(), (Notes{"partitions 6 and 7 overlap",
                              "partition 5 covers a block of the partition table",
                              "partition 6 covers a block of the partition table",
                              "partition 7 covers a block of the partition table"}));
}

TEST_F(DamagedTableTest, OverlappingGptEntriesAreNoted) {
    sim::MemDisk disk(512, 4096);
    kvtest::GptPlan plan;
    plan.entries = {{0, kvtest::kLinuxDataType, {}, 100, 300, 0, u"a"},
                    {1, kvtest::kLinuxDataType, {}, 200, 400, 0, u"b"},
                    {4, kvtest::kLinuxDataType, {}, 401, 500, 0, u"c"},
                    // Outside the usable area: that note only, no second one.
                    {5, kvtest::kLinuxDataType, {}, 2, 20, 0, u"d"}};
    kvtest::write_gpt(disk, plan);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(notes(), (Notes{"partition 6 lies outside the usable area of the disk",
                              "partitions 1 and 2 overlap"}));
}

// Block 0 of an sfdisk-made table behind a FAT32 parameter block copied by
// a boot loader: jump, OEM name, "FAT32   " at byte 82, code up to 446.
void put_fat32_boot_code(sim::MemDisk& disk) {
    uint8_t* b = disk.block(0);
    const uint8_t jump[] = {0xEB, 0x63, 0x90};
    std::memcpy(b, jump, sizeof jump);
    std::memcpy(b + 3, "MSWIN4.1", 8);
    std::memcpy(b + 82, "FAT32   ", 8);
    for (int i = 90; i < 440; i++)
        b[i] = static_cast<uint8_t>(i * 7);
}

TEST_F(DamagedTableTest, PlausibleEntriesBehindABootSectorAreAnMbr) {
    sim::MemDisk disk(512, 1 << 20);
    put_fat32_boot_code(disk);
    kvtest::write_mbr(disk, {{0x80, 0x0C, 2048, 200000},
                             {0x00, 0x83, 202048, 200000},
                             {0x00, 0x82, 402048, 100000},
                             {0x00, 0x05, 502048, 500000}});
    std::vector<Logical> chain;
    for (uint64_t i = 0; i < 4; i++)
        chain.push_back({502048 + 100000 * i, 504096 + 100000 * i, 90000});
    kvtest::write_ebr_chain(disk, 502048, chain);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Mbr);
    EXPECT_EQ(table_.partition_count, 8);
    EXPECT_EQ(notes(), Notes{});

    // Any entry that a table would not have makes it a boot sector again:
    // one from block 0, one past the disk, one of no blocks, two that
    // overlap.
    const std::vector<kvtest::MbrEntry> refused[] = {
        {{0x00, 0x0C, 0, 2048}},
        {{0x00, 0x0C, 2048, 1 << 20}},
        {{0x00, 0x0C, 2048, 100}, {0x00, 0x83, 4096, 0}},
        {{0x00, 0x0C, 2048, 4096}, {0x00, 0x83, 4096, 100}},
        {},
    };
    for (const auto& entries : refused) {
        SCOPED_TRACE(entries.size());
        kvtest::write_mbr(disk, entries);
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(table_.kind, kv::TableKind::None);
        EXPECT_EQ(notes(), Notes{"no partition table: a file system covers the whole disk"});
    }
}

// The pairs are found without comparing every partition with every other;
// against the plain pairwise definition, on crowded random tables (every
// kind, empty partitions, ends at the top of the block range), the notes
// must be the same pairs in the same order.
TEST(OverlapNotes, SameAsComparingEveryPair) {
    sim::reset();
    std::mt19937_64 rng(24);
    const kv::PartitionKind kinds[] = {kv::PartitionKind::Primary, kv::PartitionKind::Logical,
                                       kv::PartitionKind::Extended};
    for (int round = 0; round < 400; round++) {
        kv::PartitionTable table{};
        table.kind = kv::TableKind::Gpt;
        table.last_usable = UINT64_MAX;
        int n = 1 + int(rng() % 40);
        bool high = round % 4 == 3; // near the top, where an end could wrap
        for (int i = 0; i < n; i++) {
            kv::Partition p{};
            p.number = i + 1;
            p.kind = kinds[rng() % 3];
            p.start = (high ? UINT64_MAX - 2000 : 1) + rng() % 1000;
            p.size = rng() % 7 == 0 ? 0 : rng() % (round < 200 ? 60 : 4000);
            kv::append_partition(&table, &p);
        }
        std::vector<std::string> expected;
        for (int i = 0; i < n; i++)
            for (int j = i + 1; j < n; j++) {
                const kv::Partition& a = table.partitions[i];
                const kv::Partition& b = table.partitions[j];
                bool nested = (a.kind == kv::PartitionKind::Logical) !=
                                  (b.kind == kv::PartitionKind::Logical) &&
                              (a.kind == kv::PartitionKind::Extended ||
                               b.kind == kv::PartitionKind::Extended);
                unsigned __int128 a_end = (unsigned __int128)a.start + a.size;
                unsigned __int128 b_end = (unsigned __int128)b.start + b.size;
                if (!nested && a.size && b.size && a.start < b_end && b.start < a_end)
                    expected.push_back("partitions " + std::to_string(a.number) + " and " +
                                       std::to_string(b.number) + " overlap");
            }
        if (expected.size() > size_t(kv::kMaxNotes)) expected.resize(kv::kMaxNotes);
        kv::note_layout_faults(&table);
        std::vector<std::string> got;
        for (int i = 0; i < table.note_count; i++)
            if (std::strstr(table.notes[i].text, " overlap")) got.push_back(table.notes[i].text);
        EXPECT_EQ(got, expected) << "round " << round;
        kv::table_free(&table);
    }
}

} // namespace
