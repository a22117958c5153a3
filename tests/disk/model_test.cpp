#include "disk/model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"

namespace {

class ModelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        baseline_ = sim::pool_blocks_live();
    }
    void TearDown() override { kv::table_free(&table_); }

    size_t live_blocks() const { return sim::pool_blocks_live() - baseline_; }

    kv::PartitionTable table_{};
    size_t baseline_ = 0;
};

kv::Partition make_partition(kv::PartitionKind kind, int32_t number, uint64_t start,
                             uint64_t size = 2048) {
    kv::Partition p{};
    p.kind = kind;
    p.number = number;
    p.start = start;
    p.size = size;
    return p;
}

// Appends and then clears the marks, as a freshly read table would have them.
void add_clean(kv::PartitionTable* table, const kv::Partition& p) {
    kv::append_partition(table, &p)->changed = false;
    table->dirty = false;
}

std::vector<int32_t> numbers(const kv::PartitionTable& table) {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < table.partition_count; i++)
        out.push_back(table.partitions[i].number);
    return out;
}

void remove_at(kv::PartitionTable* table, int32_t index) {
    std::memmove(&table->partitions[index], &table->partitions[index + 1],
                 (table->partition_count - index - 1) * sizeof(kv::Partition));
    table->partition_count--;
}

TEST(TableKindLabel, NamesMbrAndGptAndEverythingElseAsNoTable) {
    EXPECT_STREQ(kv::table_kind_label(kv::TableKind::None), "no table");
    EXPECT_STREQ(kv::table_kind_label(kv::TableKind::Mbr), "MBR");
    EXPECT_STREQ(kv::table_kind_label(kv::TableKind::Gpt), "GPT");
    EXPECT_STREQ(kv::table_kind_label(static_cast<kv::TableKind>(7)), "no table");
}

TEST(IsExtendedType, AcceptsOnlyTheThreeExtendedBytes) {
    for (int t = 0; t < 256; t++) {
        bool expected = t == 0x05 || t == 0x0F || t == 0x85;
        EXPECT_EQ(kv::is_extended_type(static_cast<uint8_t>(t)), expected) << "type " << t;
    }
}

TEST_F(ModelTest, NinthNoteIsDroppedAndFirstEightKeepTheirOrder) {
    for (int i = 1; i <= 9; i++)
        kv::add_note(&table_, "note %d of %s", i, "nine");
    ASSERT_EQ(table_.note_count, 8);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(std::string(table_.notes[i].text), "note " + std::to_string(i + 1) + " of nine");
}

TEST_F(ModelTest, LongNoteIsCutAt99Characters) {
    std::string long_text(150, 'x');
    long_text[98] = 'y';
    long_text[99] = 'z';
    kv::add_note(&table_, "%s", long_text.c_str());
    ASSERT_EQ(table_.note_count, 1);
    EXPECT_EQ(std::string(table_.notes[0].text), long_text.substr(0, 99));
}

TEST_F(ModelTest, NoteOfExactly99CharactersIsKeptWhole) {
    std::string text(99, 'a');
    kv::add_note(&table_, "%s", text.c_str());
    EXPECT_EQ(std::string(table_.notes[0].text), text);
}

TEST_F(ModelTest, CutNoteDoesNotEndInsideAUtf8Sequence) {
    // 97 ASCII bytes then a 3-byte character: the cut at 99 would split it.
    std::string text = std::string(97, 'a') + "\xE2\x82\xAC" + "tail";
    kv::add_note(&table_, "%s", text.c_str());
    EXPECT_EQ(std::string(table_.notes[0].text), std::string(97, 'a'));

    // A 2-byte character that ends exactly at the cut survives.
    std::string fits = std::string(97, 'b') + "\xC3\xA9" + "tail";
    kv::add_note(&table_, "%s", fits.c_str());
    EXPECT_EQ(std::string(table_.notes[1].text), std::string(97, 'b') + "\xC3\xA9");
}

class ReadBlocksTest : public ModelTest {
  protected:
    ReadBlocksTest() : disk_(512, 16) {
        for (uint64_t b = 0; b < 16; b++)
            std::memset(disk_.block(b), static_cast<int>(0xA0 + b), 512);
    }
    sim::MemDisk disk_;
};

TEST_F(ReadBlocksTest, ReadsTheRequestedBlocksIntoANewBuffer) {
    uint8_t* data = kv::read_blocks(disk_.device(), 14, 2);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[0], 0xAE);
    EXPECT_EQ(data[511], 0xAE);
    EXPECT_EQ(data[512], 0xAF);
    EXPECT_EQ(data[1023], 0xAF);
    EXPECT_EQ(disk_.stats().read_calls, 1u);
    EXPECT_EQ(disk_.stats().read_blocks, 2u);
    EXPECT_EQ(live_blocks(), 1u);
    kv::free(data);
    EXPECT_EQ(live_blocks(), 0u);
}

TEST_F(ReadBlocksTest, RefusesRangesOutsideTheDeviceWithoutReading) {
    EXPECT_EQ(kv::read_blocks(disk_.device(), 0, 0), nullptr);
    EXPECT_EQ(kv::read_blocks(disk_.device(), 16, 1), nullptr);
    EXPECT_EQ(kv::read_blocks(disk_.device(), 100, 1), nullptr);
    EXPECT_EQ(kv::read_blocks(disk_.device(), 15, 2), nullptr);
    EXPECT_EQ(kv::read_blocks(disk_.device(), 1, UINT64_MAX), nullptr);
    EXPECT_EQ(disk_.stats().read_calls, 0u);
    EXPECT_EQ(live_blocks(), 0u);
}

TEST_F(ReadBlocksTest, ReadErrorGivesNullAndFreesTheBuffer) {
    disk_.fail_read(1, kv::ERR_NO_MEDIA);
    EXPECT_EQ(kv::read_blocks(disk_.device(), 0, 4), nullptr);
    EXPECT_EQ(disk_.stats().read_calls, 1u);
    EXPECT_EQ(live_blocks(), 0u);
}

TEST_F(ModelTest, ReadBlocksSizesTheBufferByTheDeviceBlockSize) {
    sim::MemDisk big(4096, 4);
    std::memset(big.block(3), 0x5C, 4096);
    uint8_t* data = kv::read_blocks(big.device(), 2, 2);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(data[4095], 0x00);
    EXPECT_EQ(data[4096], 0x5C);
    EXPECT_EQ(data[8191], 0x5C);
    kv::free(data);
}

TEST_F(ModelTest, AppendCopiesTheTemplateAndMarksChangedAndDirty) {
    kv::Partition model = make_partition(kv::PartitionKind::Primary, 3, 4096, 8192);
    model.mbr_type = 0x83;
    model.active = true;
    model.attributes = 0x8000000000000001ULL;
    std::memset(model.type_guid, 0x11, 16);
    std::memset(model.unique_guid, 0x22, 16);
    std::strcpy(model.name, "Données");

    kv::Partition* added = kv::append_partition(&table_, &model);
    ASSERT_EQ(table_.partition_count, 1);
    ASSERT_EQ(added, &table_.partitions[0]);
    EXPECT_TRUE(added->changed);
    EXPECT_TRUE(table_.dirty);
    kv::Partition expected = model;
    expected.changed = true;
    EXPECT_EQ(std::memcmp(added, &expected, sizeof expected), 0);
}

TEST_F(ModelTest, AppendKeepsEarlierRecordsWhileTheArrayGrows) {
    for (int32_t i = 0; i < 100; i++) {
        kv::Partition p = make_partition(kv::PartitionKind::Primary, i + 1, 2048u * (i + 1));
        kv::append_partition(&table_, &p);
    }
    ASSERT_EQ(table_.partition_count, 100);
    for (int32_t i = 0; i < 100; i++) {
        EXPECT_EQ(table_.partitions[i].number, i + 1);
        EXPECT_EQ(table_.partitions[i].start, 2048u * (i + 1));
    }
    EXPECT_EQ(live_blocks(), 1u);
}

TEST_F(ModelTest, AppendAcceptsATemplateFromTheSameArray) {
    // Fill up to exactly a growth point, so the append must move the array.
    int32_t n = 0;
    do {
        n++;
        kv::Partition p = make_partition(kv::PartitionKind::Primary, n, 100u * n);
        kv::append_partition(&table_, &p);
    } while (table_.partition_count < table_.partition_capacity);
    kv::Partition* copy = kv::append_partition(&table_, &table_.partitions[0]);
    EXPECT_EQ(copy->number, 1);
    EXPECT_EQ(copy->start, 100u);
    EXPECT_EQ(table_.partitions[n - 1].number, n);
}

TEST_F(ModelTest, AppendAfterAnArrayInstalledWithoutCapacityReallocates) {
    table_.partitions = static_cast<kv::Partition*>(kv::xcalloc(2, sizeof(kv::Partition)));
    table_.partitions[0].number = 1;
    table_.partitions[1].number = 2;
    table_.partition_count = 2;
    kv::Partition p = make_partition(kv::PartitionKind::Primary, 3, 0);
    kv::append_partition(&table_, &p);
    EXPECT_EQ(numbers(table_), (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(ModelTest, ClearPartitionsFreesTheArrayAndKeepsTheRest) {
    table_.kind = kv::TableKind::Mbr;
    kv::add_note(&table_, "kept");
    kv::Partition p = make_partition(kv::PartitionKind::Primary, 1, 2048);
    kv::append_partition(&table_, &p);
    kv::clear_partitions(&table_);
    EXPECT_EQ(table_.partitions, nullptr);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_EQ(live_blocks(), 0u);
    EXPECT_EQ(table_.kind, kv::TableKind::Mbr);
    EXPECT_EQ(table_.note_count, 1);
    EXPECT_TRUE(table_.dirty);

    kv::append_partition(&table_, &p);
    EXPECT_EQ(table_.partition_count, 1);
}

TEST_F(ModelTest, TableFreeReleasesTheArrayAndEmptiesTheTable) {
    table_.kind = kv::TableKind::Gpt;
    kv::add_note(&table_, "gone");
    kv::Partition p = make_partition(kv::PartitionKind::Primary, 1, 2048);
    kv::append_partition(&table_, &p);
    kv::table_free(&table_);
    EXPECT_EQ(live_blocks(), 0u);
    EXPECT_EQ(table_.kind, kv::TableKind::None);
    EXPECT_EQ(table_.partitions, nullptr);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_EQ(table_.note_count, 0);
    EXPECT_FALSE(table_.dirty);
}

TEST_F(ModelTest, RenumberingLogicalsAlreadyInOrderChangesNothing) {
    add_clean(&table_, make_partition(kv::PartitionKind::Extended, 1, 2048, 100000));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 5, 4096));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 6, 8192));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 7, 16384));
    kv::renumber_logicals(&table_);
    EXPECT_EQ(numbers(table_), (std::vector<int32_t>{1, 5, 6, 7}));
    for (int32_t i = 0; i < table_.partition_count; i++)
        EXPECT_FALSE(table_.partitions[i].changed) << "index " << i;
}

TEST_F(ModelTest, DeletingTheMiddleLogicalRenumbersTheNextOne) {
    add_clean(&table_, make_partition(kv::PartitionKind::Extended, 2, 2048, 100000));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 5, 4096));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 6, 8192));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 7, 16384));
    remove_at(&table_, 2);
    kv::renumber_logicals(&table_);
    ASSERT_EQ(numbers(table_), (std::vector<int32_t>{2, 5, 6}));
    EXPECT_FALSE(table_.partitions[1].changed);
    EXPECT_EQ(table_.partitions[2].start, 16384u);
    EXPECT_TRUE(table_.partitions[2].changed);
}

TEST_F(ModelTest, RenumberPutsOthersByNumberThenLogicalsByStart) {
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 9, 300000));
    add_clean(&table_, make_partition(kv::PartitionKind::Primary, 4, 900000));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 5, 100000));
    add_clean(&table_, make_partition(kv::PartitionKind::Extended, 2, 50000, 500000));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 6, 200000));
    add_clean(&table_, make_partition(kv::PartitionKind::Primary, 1, 2048));
    kv::renumber_logicals(&table_);

    ASSERT_EQ(numbers(table_), (std::vector<int32_t>{1, 2, 4, 5, 6, 7}));
    EXPECT_EQ(table_.partitions[1].kind, kv::PartitionKind::Extended);
    const uint64_t starts[] = {2048, 50000, 900000, 100000, 200000, 300000};
    const bool changed[] = {false, false, false, false, false, true};
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(table_.partitions[i].start, starts[i]) << "index " << i;
        EXPECT_EQ(table_.partitions[i].changed, changed[i]) << "index " << i;
    }
}

TEST_F(ModelTest, RenumberKeepsAChainMadeOutOfDiskOrder) {
    // Another tool's chain: 5 lies after 6 on the disk. Its numbers are what
    // the operating systems use, so they stay; a gap in them closes.
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 7, 20000));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 5, 80000));
    add_clean(&table_, make_partition(kv::PartitionKind::Logical, 6, 40000));
    kv::renumber_logicals(&table_);
    EXPECT_EQ(numbers(table_), (std::vector<int32_t>{5, 6, 7}));
    EXPECT_EQ(table_.partitions[0].start, 80000u);
    EXPECT_EQ(table_.partitions[2].start, 20000u);
    for (int i = 0; i < 3; i++)
        EXPECT_FALSE(table_.partitions[i].changed) << "index " << i;
}

TEST_F(ModelTest, FindPartitionReturnsTheFirstMatchOrNull) {
    EXPECT_EQ(kv::find_partition(&table_, 1), nullptr);
    add_clean(&table_, make_partition(kv::PartitionKind::Primary, 1, 2048));
    add_clean(&table_, make_partition(kv::PartitionKind::Primary, 3, 4096));
    add_clean(&table_, make_partition(kv::PartitionKind::Primary, 3, 8192));
    kv::Partition* found = kv::find_partition(&table_, 3);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->start, 4096u);
    EXPECT_EQ(kv::find_partition(&table_, 2), nullptr);
    const kv::PartitionTable& view = table_;
    EXPECT_EQ(kv::find_partition(&view, 1), &table_.partitions[0]);
}

TEST(BlocksPerMib, DividesOneMibByTheBlockSize) {
    kv::PartitionTable table{};
    table.block_size = 512;
    EXPECT_EQ(kv::blocks_per_mib(&table), 2048u);
    table.block_size = 4096;
    EXPECT_EQ(kv::blocks_per_mib(&table), 256u);
    // Never 0, since callers divide by it.
    table.block_size = 0;
    EXPECT_EQ(kv::blocks_per_mib(&table), 1u);
    table.block_size = 2 * 1048576;
    EXPECT_EQ(kv::blocks_per_mib(&table), 1u);
}

} // namespace
