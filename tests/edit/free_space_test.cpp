#include "edit/free_space.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "edit/edit_ops.h"
#include "tests/edit/edit_fixture.h"
#include "platform/memory.h"

// Found by argument-dependent lookup from the test macros.
namespace kv {
static bool operator==(const BlockRange& a, const BlockRange& b) {
    return a.first == b.first && a.last == b.last;
}
static bool operator==(const FreeArea& a, const FreeArea& b) {
    return a.start == b.start && a.size == b.size && a.logical == b.logical;
}
static std::ostream& operator<<(std::ostream& out, const BlockRange& r) {
    return out << "[" << r.first << ".." << r.last << "]";
}
static std::ostream& operator<<(std::ostream& out, const FreeArea& a) {
    return out << "{" << a.start << " +" << a.size << (a.logical ? " logical}" : "}");
}

} // namespace kv

namespace {

using kv::BlockRange;
using kv::FreeArea;
using kv::PartitionKind;
using kvtest::add_clean;
using kvtest::mbr_model;
using kvtest::partition;
using kvtest::TableSnapshot;
using kvtest::text_of;

constexpr uint64_t kMax = ~0ULL;
constexpr uint64_t k2TiBBlocks = 1ULL << 32;

const char kNoFitExtended[] = "the partition does not fit in the extended partition";
const char kTooMany[] = "too many partitions";
const char kNoRoomForTable[] =
    "the partition overlaps another one, or leaves no room for its table";
const char kNoSlot[] = "no room for an extended partition: the MBR already has four partitions";
const char kNoFreeArea[] = "the partition does not fit in a free area";
const char kTooEarly[] = "a logical partition must start at least 1 MiB into the free area";

std::vector<BlockRange> gaps_of(uint64_t first, uint64_t last, std::vector<BlockRange> used) {
    std::vector<BlockRange> gaps(used.size() + 1);
    int n = kv::free_gaps(first, last, used.data(), static_cast<int>(used.size()), gaps.data());
    gaps.resize(n < 0 ? 0 : n);
    return gaps;
}

class FreeSpaceTest : public kvtest::EditTest {
  protected:
    std::vector<FreeArea> areas() {
        FreeArea* raw = reinterpret_cast<FreeArea*>(1); // must be overwritten
        int n = kv::list_free_areas(&table_, &raw);
        std::vector<FreeArea> out;
        if (n > 0)
            out.assign(raw, raw + n);
        else
            EXPECT_EQ(raw, nullptr);
        kv::free(n > 0 ? raw : nullptr);
        return out;
    }

    std::vector<BlockRange> primary_gaps() {
        std::vector<BlockRange> gaps(kv::free_range_capacity(&table_));
        gaps.resize(kv::primary_free_ranges(&table_, gaps.data()));
        return gaps;
    }

    std::vector<BlockRange> extended_gaps() {
        const kv::Partition* extended = nullptr;
        for (int32_t i = 0; i < table_.partition_count && !extended; i++)
            if (table_.partitions[i].kind == PartitionKind::Extended)
                extended = &table_.partitions[i];
        EXPECT_NE(extended, nullptr);
        std::vector<BlockRange> gaps(kv::free_range_capacity(&table_));
        gaps.resize(kv::extended_free_ranges(&table_, extended, gaps.data()));
        return gaps;
    }

    // add_logical as add_partition calls it: last block from start and size.
    const char* add_logical(uint64_t start, uint64_t size, bool active = false) {
        kv::Partition model = mbr_model(start, size, 0x83, true);
        model.active = active;
        return kv::add_logical(&table_, &model, start + size - 1);
    }

    void expect_refused(uint64_t start, uint64_t size, const char* text) {
        TableSnapshot before(table_);
        EXPECT_EQ(text_of(add_logical(start, size)), text) << "start " << start << " size " << size;
        EXPECT_EQ(before.difference(table_), "");
    }

    // Extended partition (slot 1) from `start` with `size`, clean.
    void add_extended(uint64_t start, uint64_t size, int32_t slot = 1) {
        add_clean(&table_, partition(PartitionKind::Extended, slot, start, size, 0x05));
    }
    void add_read_logical(int32_t number, uint64_t ebr, uint64_t start, uint64_t size) {
        kv::Partition p = partition(PartitionKind::Logical, number, start, size);
        p.ebr_block = ebr;
        add_clean(&table_, p);
    }
};

TEST(FreeGaps, SortsUsedRangesAndReturnsTheUncoveredStretchesInOrder) {
    std::vector<BlockRange> used = {{50, 60}, {20, 30}};
    std::vector<BlockRange> gaps(3);
    ASSERT_EQ(kv::free_gaps(10, 100, used.data(), 2, gaps.data()), 3);
    EXPECT_EQ(gaps[0], (BlockRange{10, 19}));
    EXPECT_EQ(gaps[1], (BlockRange{31, 49}));
    EXPECT_EQ(gaps[2], (BlockRange{61, 100}));
    EXPECT_EQ(used[0], (BlockRange{20, 30}));
}

TEST(FreeGaps, OverlappingAndOutOfWindowRangesAreClippedWithoutDoubleGaps) {
    EXPECT_EQ(gaps_of(10, 100, {{90, 200}, {12, 40}, {5, 15}, {30, 35}}),
              (std::vector<BlockRange>{{41, 89}}));
    EXPECT_EQ(gaps_of(10, 100, {{0, 5}, {150, 160}}), (std::vector<BlockRange>{{10, 100}}));
    EXPECT_EQ(gaps_of(10, 29, {{10, 19}, {20, 29}}), (std::vector<BlockRange>{}));
    // One block free at each window edge.
    EXPECT_EQ(gaps_of(10, 29, {{11, 28}}), (std::vector<BlockRange>{{10, 10}, {29, 29}}));
}

TEST(FreeGaps, RangeEndingAtTheLastBlockNumberDoesNotWrapIntoANewGap) {
    EXPECT_EQ(gaps_of(0, kMax, {{100, kMax}}), (std::vector<BlockRange>{{0, 99}}));
    EXPECT_EQ(gaps_of(0, kMax, {{0, kMax}}), (std::vector<BlockRange>{}));
    EXPECT_EQ(gaps_of(kMax - 5, kMax, {{kMax - 3, kMax - 2}}),
              (std::vector<BlockRange>{{kMax - 5, kMax - 4}, {kMax - 1, kMax}}));
}

TEST(FreeGaps, EmptyWindowOrNegativeCountGivesNoGap) {
    BlockRange gaps[2];
    BlockRange used[1] = {{5, 6}};
    EXPECT_EQ(kv::free_gaps(10, 9, used, 1, gaps), 0);
    EXPECT_EQ(kv::free_gaps(1, 100, used, -1, gaps), 0);
    EXPECT_EQ(gaps_of(7, 7, {}), (std::vector<BlockRange>{{7, 7}}));
}

TEST(FreeGaps, InvertedRangeCoversNothingAndDoesNotSplitAGap) {
    EXPECT_EQ(gaps_of(1, 100, {{50, 49}}), (std::vector<BlockRange>{{1, 100}}));
}

TEST_F(FreeSpaceTest, EmptyMbrDiskHasOneAreaFromTheFirstMiB) {
    kvtest::empty_mbr(&table_, 1000000);
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{2048, 1000000 - 2048, false}}));
    EXPECT_EQ(primary_gaps(), (std::vector<BlockRange>{{1, 999999}}));

    kvtest::empty_mbr(&table_, 300000, 4096);
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{256, 300000 - 256, false}}));
}

TEST_F(FreeSpaceTest, MbrAreaOnADiskBeyond2TiBEndsAtTheLast32BitBlock) {
    kvtest::empty_mbr(&table_, k2TiBBlocks * 3);
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{2048, 4294967295ULL - 2048 + 1, false}}));
    kvtest::empty_mbr(&table_, k2TiBBlocks + 1);
    EXPECT_EQ(primary_gaps(), (std::vector<BlockRange>{{1, 4294967295ULL}}));
}

TEST_F(FreeSpaceTest, MbrDiskOfFewerThanTwoBlocksHasNoUsableWindow) {
    kvtest::empty_mbr(&table_, 0);
    EXPECT_TRUE(primary_gaps().empty());
    EXPECT_TRUE(areas().empty());
    kvtest::empty_mbr(&table_, 1);
    EXPECT_TRUE(primary_gaps().empty());
    kvtest::empty_mbr(&table_, 2);
    EXPECT_EQ(primary_gaps(), (std::vector<BlockRange>{{1, 1}}));
}

TEST_F(FreeSpaceTest, GapUnder1MiBAfterAlignmentIsNotListed) {
    const uint64_t n = 20480;
    kvtest::empty_mbr(&table_, n);
    // Tail gap 16385..20479: 4095 blocks, aligned start 18432 leaves 2048.
    add_clean(&table_, partition(PartitionKind::Primary, 1, 2048, 14337));
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{18432, 2048, false}}));
    // One block shorter at the end leaves 2047 after alignment.
    table_.block_count = n - 1;
    EXPECT_TRUE(areas().empty());
    // Blocks 1 to 2047 before the first MiB never form an area.
    table_.block_count = n;
    table_.partitions[0].start = 4096;
    table_.partitions[0].size = n - 4096;
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{2048, 2048, false}}));
    table_.partitions[0].start = 4095;
    table_.partitions[0].size = n - 4095;
    EXPECT_TRUE(areas().empty());
}

TEST_F(FreeSpaceTest, GptAreasRunFromTheFirstMiBToTheLastUsableBlock) {
    kvtest::SizedDevice disk(512, 1000000);
    kv::new_table(&table_, disk.device(), kv::TableKind::Gpt);
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{2048, (1000000 - 34) - 2048 + 1, false}}));
    EXPECT_EQ(primary_gaps(), (std::vector<BlockRange>{{34, 1000000 - 34}}));
}

TEST_F(FreeSpaceTest, GptWindowIsCutToTheDisk) {
    kvtest::SizedDevice disk(512, 100000);
    kv::new_table(&table_, disk.device(), kv::TableKind::Gpt);
    table_.last_usable = 5000000; // a header from a larger disk
    EXPECT_EQ(primary_gaps(), (std::vector<BlockRange>{{34, 99999}}));
}

TEST_F(FreeSpaceTest, TableOfNoKindHasNoAreas) {
    kvtest::empty_mbr(&table_, 100000);
    table_.kind = kv::TableKind::None;
    FreeArea* raw = reinterpret_cast<FreeArea*>(1);
    EXPECT_EQ(kv::list_free_areas(&table_, &raw), 0);
    EXPECT_EQ(raw, nullptr);
    EXPECT_TRUE(primary_gaps().empty());
}

TEST_F(FreeSpaceTest, LogicalAreaStartsAtTheNextMiBAfterTheExtendedStart) {
    kvtest::empty_mbr(&table_, 100000);
    add_extended(2048, 20480);
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{4096, 22527 - 4096 + 1, true},
                                              {22528, 100000 - 22528, false}}));
    // An unaligned extended start moves to the next boundary, not past it.
    table_.partitions[0].start = 3000;
    table_.partitions[0].size = 19528;
    EXPECT_EQ(areas().front(), (FreeArea{4096, 22527 - 4096 + 1, true}));
}

TEST_F(FreeSpaceTest, ExtendedRangesReserveTheFirstEbrAndTheBlockBeforeEachLogical) {
    kvtest::empty_mbr(&table_, 100000);
    add_extended(2048, 40960);
    add_read_logical(5, 2048, 4096, 2048);
    add_read_logical(6, 12287, 12288, 2048);
    EXPECT_EQ(extended_gaps(),
              (std::vector<BlockRange>{{2049, 4094}, {6144, 12286}, {14336, 43007}}));
    // Primaries ignore the logical partitions but not the extended one.
    EXPECT_EQ(primary_gaps(), (std::vector<BlockRange>{{1, 2047}, {43008, 99999}}));
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{8192, 12286 - 8192 + 1, true},
                                              {16384, 43007 - 16384 + 1, true},
                                              {43008, 100000 - 43008, false}}));
}

TEST_F(FreeSpaceTest, ExtendedPartitionPastTheDiskEndOffersNoRoomBeyondIt) {
    kvtest::empty_mbr(&table_, 100000);
    add_extended(2048, 200000);
    EXPECT_EQ(extended_gaps(), (std::vector<BlockRange>{{2049, 99999}}));
    EXPECT_EQ(areas(), (std::vector<FreeArea>{{4096, 100000 - 4096, true}}));
}

TEST_F(FreeSpaceTest, PartitionWhoseEndWouldWrapIsTreatedAsReachingTheEnd) {
    kvtest::empty_mbr(&table_, 1 << 20);
    add_clean(&table_, partition(PartitionKind::Primary, 1, 100000, kMax));
    add_clean(&table_, partition(PartitionKind::Primary, 2, 50000, 0)); // empty: uses nothing
    EXPECT_EQ(primary_gaps(), (std::vector<BlockRange>{{1, 99999}}));
}

TEST_F(FreeSpaceTest, FirstLogicalCreatesTheExtendedPartitionAroundIt) {
    kvtest::empty_mbr(&table_, 2097152); // 1 GiB
    ASSERT_EQ(add_logical(4096, 2048), nullptr);
    ASSERT_EQ(table_.partition_count, 2);
    const kv::Partition* ext = part(1);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->kind, PartitionKind::Extended);
    EXPECT_EQ(ext->start, 2048u);
    EXPECT_EQ(ext->size, 2097152u - 2048);
    EXPECT_EQ(ext->mbr_type, 0x05);
    EXPECT_FALSE(ext->active);
    EXPECT_TRUE(ext->changed);
    const kv::Partition* logical = part(5);
    ASSERT_NE(logical, nullptr);
    EXPECT_EQ(logical->kind, PartitionKind::Logical);
    EXPECT_EQ(logical->start, 4096u);
    EXPECT_EQ(logical->ebr_block, 2048u);
    EXPECT_TRUE(logical->changed);
    EXPECT_TRUE(table_.dirty);
}

TEST_F(FreeSpaceTest, NewExtendedTypeDependsOnWhetherItEndsBelowBlock16777216) {
    struct Case {
        uint64_t blocks;
        uint64_t extended_last;
        uint8_t type;
    };
    for (const Case& c : {Case{16777216, 16777215, 0x05}, Case{16777217, 16777216, 0x0F},
                          Case{k2TiBBlocks * 2, 4294967295ULL, 0x0F}}) {
        kvtest::empty_mbr(&table_, c.blocks);
        ASSERT_EQ(add_logical(4096, 2048), nullptr) << c.blocks;
        const kv::Partition* ext = part(1);
        ASSERT_NE(ext, nullptr);
        EXPECT_EQ(ext->start + ext->size - 1, c.extended_last) << c.blocks;
        EXPECT_EQ(ext->mbr_type, c.type) << c.blocks;
    }
}

TEST_F(FreeSpaceTest, ExtendedTakesTheLowestFreeSlotAndTheRestOfTheGap) {
    kvtest::empty_mbr(&table_, 100000);
    add_clean(&table_, partition(PartitionKind::Primary, 1, 2048, 2049));
    add_clean(&table_, partition(PartitionKind::Primary, 3, 50000, 10000));
    ASSERT_EQ(add_logical(8192, 1000), nullptr);
    const kv::Partition* ext = part(2);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->kind, PartitionKind::Extended);
    EXPECT_EQ(ext->start, 6144u); // 4097 rounded up to a MiB boundary
    EXPECT_EQ(ext->size, 49999u - 6144 + 1);
    EXPECT_EQ(part(5)->ebr_block, 6144u);
    // Non-logical partitions first by number, then the logical one.
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{1, 2, 3, 5}));
}

TEST_F(FreeSpaceTest, LogicalAtTheFirstAlignedBlockOfTheGapIsRefused) {
    kvtest::empty_mbr(&table_, 100000);
    expect_refused(2048, 2048, kTooEarly);
    // One block later leaves room for the EBR at 2048.
    EXPECT_EQ(add_logical(2049, 2048), nullptr);
    EXPECT_EQ(part(5)->ebr_block, 2048u);
}

TEST_F(FreeSpaceTest, LogicalStartingAtAGapsFirstBlockLeavesNoRoomForItsEbr) {
    kvtest::empty_mbr(&table_, 100000);
    add_extended(2048, 40960);
    add_read_logical(5, 2048, 4096, 2048);
    // The gap after partition 5 starts at 6144.
    expect_refused(6144, 2048, kNoRoomForTable);
    // Right after the first EBR, too.
    expect_refused(2049, 100, kNoRoomForTable);
    ASSERT_EQ(add_logical(6145, 2048), nullptr);
    EXPECT_EQ(part(6)->ebr_block, 6144u);
}

TEST_F(FreeSpaceTest, LogicalOverlappingAnotherOrItsEbrBlockIsRefused) {
    kvtest::empty_mbr(&table_, 100000);
    add_extended(2048, 40960);
    add_read_logical(5, 2048, 4096, 2048);
    add_read_logical(6, 10239, 10240, 2048);
    expect_refused(5000, 100, kNoRoomForTable);  // inside 5
    expect_refused(8192, 2048, kNoRoomForTable); // would cover 6's EBR block
    expect_refused(10240, 100, kNoRoomForTable); // at 6's start
    EXPECT_EQ(add_logical(8192, 2047), nullptr); // ends just before 6's EBR block
}

TEST_F(FreeSpaceTest, LogicalBetweenTwoOthersTakesItsNumberByStart) {
    kvtest::empty_mbr(&table_, 100000);
    add_extended(2048, 40960);
    add_read_logical(5, 2048, 4096, 2048);
    add_read_logical(6, 20479, 20480, 2048);
    ASSERT_EQ(add_logical(8192, 4096), nullptr);
    const kv::Partition* added = part(6);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->start, 8192u);
    EXPECT_EQ(added->ebr_block, 6144u);
    EXPECT_EQ(part(7)->start, 20480u);
    EXPECT_TRUE(part(7)->changed);  // renumbered
    EXPECT_FALSE(part(5)->changed); // untouched
}

TEST_F(FreeSpaceTest, LogicalMustLieInsideTheExtendedPartition) {
    kvtest::empty_mbr(&table_, 100000);
    add_extended(10240, 10240);
    expect_refused(10240, 100, kNoFitExtended);   // at the extended start
    expect_refused(5000, 100, kNoFitExtended);    // before it
    expect_refused(12288, 8193, kNoFitExtended);  // one block past its end
    EXPECT_EQ(add_logical(12288, 8192), nullptr); // up to its last block
}

TEST_F(FreeSpaceTest, FourPrimariesLeaveNoSlotForAnExtendedPartition) {
    kvtest::empty_mbr(&table_, 100000);
    for (int32_t i = 1; i <= 4; i++)
        add_clean(&table_, partition(PartitionKind::Primary, i, 2048 * i, 2048));
    expect_refused(50000, 2048, kNoSlot);
}

TEST_F(FreeSpaceTest, WithoutExtendedTheLogicalMustFitOneFreeGap) {
    kvtest::empty_mbr(&table_, 100000);
    add_clean(&table_, partition(PartitionKind::Primary, 1, 10240, 10240));
    expect_refused(15000, 100, kNoFreeArea);     // inside partition 1
    expect_refused(6144, 5000, kNoFreeArea);     // runs into partition 1
    expect_refused(4096, 0, kNoFreeArea);        // last block before start
    EXPECT_EQ(add_logical(4096, 6144), nullptr); // ends right before it
}

TEST_F(FreeSpaceTest, AHundredAndTwentyNinthLogicalIsRefused) {
    const uint64_t first = 4096;
    kvtest::empty_mbr(&table_, 1000000);
    add_extended(2048, 500000);
    for (int32_t i = 0; i < 127; i++)
        add_read_logical(5 + i, first + 16 * i - 1, first + 16 * i, 8);
    ASSERT_EQ(add_logical(first + 16 * 127, 8), nullptr);
    expect_refused(first + 16 * 128, 8, kTooMany);
}

TEST_F(FreeSpaceTest, TableOf256PartitionsIsRefusedBeforeAnyPlacementCheck) {
    kvtest::empty_mbr(&table_, 1000000);
    add_clean(&table_, partition(PartitionKind::Primary, 1, 2048, 2048));
    // Stray records (numbers past the MBR slots) still count.
    for (int32_t i = 0; i < 255; i++)
        add_clean(&table_, partition(PartitionKind::Primary, 100 + i, 500000 + i, 1));
    expect_refused(8192, 2048, kTooMany);
    table_.partition_count--;
    EXPECT_EQ(add_logical(8192, 2048), nullptr);
}

TEST_F(FreeSpaceTest, ChecksRunInTheirOrder) {
    kvtest::empty_mbr(&table_, 100000);
    for (int32_t i = 1; i <= 4; i++)
        add_clean(&table_, partition(PartitionKind::Primary, i, 2048 * i, 2048));
    // No slot decides before the placement, which would not fit either.
    expect_refused(2048, 2048, kNoSlot);
    kv::table_free(&table_);
    kvtest::empty_mbr(&table_, 100000);
    add_extended(10240, 10240);
    // Outside the extended partition decides before the count.
    for (int32_t i = 0; i < 128; i++)
        add_read_logical(5 + i, 10250 + 16 * i, 10251 + 16 * i, 8);
    expect_refused(5000, 10, kNoFitExtended);
    expect_refused(18000, 10, kTooMany);
}

TEST_F(FreeSpaceTest, NewActiveLogicalTakesTheFlagFromTheOthers) {
    kvtest::empty_mbr(&table_, 100000);
    kv::Partition primary = partition(PartitionKind::Primary, 1, 2048, 2048);
    primary.active = true;
    add_clean(&table_, primary);
    ASSERT_EQ(add_logical(8192, 2048, true), nullptr);
    EXPECT_FALSE(part(1)->active);
    EXPECT_TRUE(part(1)->changed);
    EXPECT_TRUE(part(5)->active);
}

} // namespace
