// The writer on odd and damaged tables: refusals that name the partitions
// and the rule and leave every byte of the disk as it was, stale hybrid
// entries, and an MBR write cut short after any number of writes.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "edit/edit_ops.h"
#include "io/write_table.h"
#include "sim/memdisk.h"
#include "tests/disk/image_builder.h"
#include "tests/io/write_fixture.h"

namespace {

using kv::PartitionKind;
using kv::TableKind;
using Bytes = std::vector<uint8_t>;
using Notes = std::vector<std::string>;
using WriteRefusals = kvtest::WriteTableTest;

kv::Partition part(PartitionKind kind, int32_t number, uint64_t start, uint64_t size,
                   uint64_t ebr = 0) {
    kv::Partition p{};
    p.kind = kind;
    p.number = number;
    p.start = start;
    p.size = size;
    p.mbr_type = kind == PartitionKind::Extended ? 0x0F : 0x83;
    p.ebr_block = ebr;
    std::memcpy(p.type_guid, kvtest::kLinuxDataType.data(), 16);
    return p;
}

TEST_F(WriteRefusals, NameThePartitionsAndTheRule) {
    struct Case {
        TableKind kind;
        std::vector<kv::Partition> parts;
        const char* why;
    };
    const PartitionKind P = PartitionKind::Primary, E = PartitionKind::Extended,
                        L = PartitionKind::Logical;
    const Case cases[] = {
        {TableKind::Mbr,
         {part(P, 1, 2048, 10), part(P, 1, 4096, 10)},
         "two partitions use MBR slot 1"},
        {TableKind::Mbr, {part(P, 6, 2048, 10)}, "partition 6 has no slot in the MBR (1 to 4)"},
        {TableKind::Mbr, {part(P, 2, 2048, 0)}, "partition 2 has no blocks"},
        {TableKind::Mbr,
         {part(P, 3, 1ull << 32, 10)},
         "partition 3 lies beyond what an MBR can address: use GPT"},
        {TableKind::Mbr,
         {part(E, 1, 0, 5000), part(L, 5, 100, 10)},
         "the extended partition cannot start at block 0"},
        {TableKind::Mbr,
         {part(E, 1, 10000, 50000), part(L, 5, 10000, 10)},
         "logical partition 5 begins at its extended boot record"},
        {TableKind::Mbr,
         {part(E, 1, 10000, 50000), part(L, 5, 10100, 100, 10000), part(L, 6, 10150, 100, 10149)},
         "logical partitions 5 and 6 overlap"},
        {TableKind::Mbr,
         {part(E, 1, 10000, 50000), part(L, 5, 10100, 100, 10000), part(L, 6, 10200, 100, 10150)},
         "logical partition 6 leaves no block for its boot record after partition 5"},
        {TableKind::Mbr,
         {part(E, 1, 10000, 50000), part(L, 5, 10100, 100, 10000), part(L, 6, 60001, 100, 60000)},
         "logical partition 6 lies outside its extended partition"},
        {TableKind::Gpt,
         {part(P, 1, 33, 10)},
         "partition 1 lies outside the usable area of the disk"},
        {TableKind::Gpt,
         {part(P, 4, 2048, 10), part(P, 4, 4096, 10)},
         "two partitions have the number 4"},
        {TableKind::Gpt,
         {part(P, 129, 2048, 10)},
         "partition 129 has no entry in the GPT (1 to 128)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.why);
        sim::MemDisk disk(512, 65536);
        kv::new_table(&table_, disk.device(), c.kind);
        for (const kv::Partition& p : c.parts)
            kv::append_partition(&table_, &p);
        Bytes before = disk.image();
        kv::WriteRefusal refusal;
        EXPECT_EQ(kv::write_table(disk.device(), &table_, &refusal), kv::ERR_INVALID_PARAMETER);
        EXPECT_STREQ(refusal.text, c.why);
        EXPECT_LE(std::strlen(refusal.text), 99u);
        EXPECT_TRUE(disk.image() == before);
    }
}

// A disk of fewer than 68 blocks of 512 bytes has no room for both copies
// of a 128-entry array with a usable block between them.
TEST_F(WriteRefusals, GptOnATinyDiskSaysItIsTooSmall) {
    for (uint64_t blocks : {1, 67}) {
        SCOPED_TRACE(blocks);
        sim::MemDisk disk(512, blocks);
        kv::new_table(&table_, disk.device(), TableKind::Gpt);
        Bytes before = disk.image();
        kv::WriteRefusal refusal;
        EXPECT_EQ(kv::write_table(disk.device(), &table_, &refusal), kv::ERR_INVALID_PARAMETER);
        EXPECT_EQ(std::string(refusal.text), "the disk is too small for a GPT (" +
                                                 std::to_string(blocks) + " blocks; at least 68)");
        EXPECT_TRUE(disk.image() == before);
    }
    sim::MemDisk disk(512, 68);
    kv::new_table(&table_, disk.device(), TableKind::Gpt);
    kv::WriteRefusal refusal;
    EXPECT_EQ(kv::write_table(disk.device(), &table_, &refusal), kv::ERR_OK);
    EXPECT_STREQ(refusal.text, "");
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(back_.kind, TableKind::Gpt);
    EXPECT_EQ(notes(back_), Notes{});
}

// Deleting a GPT partition that a hybrid MBR also describes clears that
// entry; entries that still match stay, and the rest of block 0 too.
TEST_F(WriteRefusals, StaleHybridEntriesAreCleared) {
    sim::MemDisk disk(512, 10000);
    kvtest::GptPlan plan;
    plan.protective_mbr = false;
    plan.entries = {{0, kvtest::kEspType, {}, 2048, 3071, 0, u"esp"},
                    {1, kvtest::kLinuxDataType, {}, 3072, 5119, 0, u"data"},
                    {2, kvtest::kLinuxDataType, {}, 5120, 6143, 0, u"more"}};
    kvtest::write_gpt(disk, plan);
    for (int i = 0; i < 440; i++)
        disk.block(0)[i] = static_cast<uint8_t>(i * 5 + 1);
    kvtest::write_mbr(disk,
                      {{0x00, 0xEF, 2048, 1024}, {0x80, 0x07, 3072, 2048}, {0x00, 0xEE, 1, 2047}});
    Bytes block0(disk.block(0), disk.block(0) + 512);
    ASSERT_EQ(kv::read_table(disk.device(), &table_), kv::ERR_OK);
    ASSERT_TRUE(table_.hybrid);

    // Nothing stale yet: block 0 is not even written.
    ASSERT_EQ(kv::set_name(&table_, 3, "renamed"), nullptr);
    disk.reset_stats();
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(disk.stats().write_calls, 4u);
    EXPECT_TRUE(Bytes(disk.block(0), disk.block(0) + 512) == block0);

    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    ASSERT_EQ(kv::delete_partition(&back_, 2), nullptr);
    ASSERT_EQ(kv::write_table(disk.device(), &back_), kv::ERR_OK);
    std::memset(block0.data() + 446 + 16, 0, 16);
    EXPECT_TRUE(Bytes(disk.block(0), disk.block(0) + 512) == block0);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(back_.partition_count, 2);
    EXPECT_EQ(notes(back_),
              Notes{"hybrid MBR: block 0 also describes partitions for legacy systems"});
}

// An MBR write cut short after any number of writes leaves the old table or
// the new one: the EBRs go out from the last to the first, then block 0,
// and the stale GPT header is cleared last.
TEST_F(WriteRefusals, MbrWriteCutShortAfterAnyPrefixStillReads) {
    sim::MemDisk base(512, 65536);
    kv::new_table(&table_, base.device(), TableKind::Mbr);
    kv::Partition old_parts[] = {
        part(PartitionKind::Primary, 1, 2048, 4096), part(PartitionKind::Extended, 2, 8192, 40000),
        part(PartitionKind::Logical, 5, 8200, 1000), part(PartitionKind::Logical, 6, 20000, 1000)};
    for (const kv::Partition& p : old_parts)
        kv::append_partition(&table_, &p);
    // A stale GPT header in the last block, to be cleared last.
    std::memcpy(base.block(65535), "EFI PART", 8);
    ASSERT_EQ(kv::write_table(base.device(), &table_), kv::ERR_OK);
    std::memcpy(base.block(65535), "EFI PART", 8);

    kv::PartitionTable edited{};
    ASSERT_EQ(kv::read_table(base.device(), &edited), kv::ERR_OK);
    ASSERT_EQ(kv::delete_partition(&edited, 6), nullptr);
    for (uint64_t start : {12000u, 16000u, 30000u}) {
        kv::Partition model = part(PartitionKind::Logical, 0, start, 1000);
        ASSERT_EQ(kv::add_partition(&edited, base.device(), &model), nullptr);
    }
    // Writes: the EBRs of 8, 7, 6 and 5, block 0, the stale header.
    const int kWrites = 6;
    for (int n = 1; n <= kWrites + 1; n++) {
        SCOPED_TRACE(n);
        sim::MemDisk disk(512, base.image());
        disk.fail_write(n, kv::ERR_NO_MEDIA);
        kv::ErrorCode rc = kv::write_table(disk.device(), &edited);
        EXPECT_EQ(rc, n <= kWrites ? kv::ERR_NO_MEDIA : kv::ERR_OK);
        ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
        ASSERT_EQ(back_.kind, TableKind::Mbr);
        // The first EBR, the fourth write, switches from the old chain to the
        // new one; the primary entries are the same in both.
        EXPECT_EQ(kvtest::table_differences(n <= 4 ? table_ : edited, back_), Notes{});
        EXPECT_EQ(notes(back_), Notes{});
    }
    kv::table_free(&edited);
}

} // namespace
