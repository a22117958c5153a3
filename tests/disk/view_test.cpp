#include "disk/view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "edit/edit_ops.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"
#include "tests/disk/image_builder.h"

namespace {

using kvtest::GptEntry;
using kvtest::GptPlan;
using kvtest::Logical;
using kvtest::MbrEntry;

constexpr uint64_t kDiskBlocks = 65536;

GptEntry linux_entry(uint32_t index, uint64_t first, uint64_t last) {
    GptEntry e;
    e.index = index;
    e.type = kvtest::kLinuxDataType;
    e.unique[0] = uint8_t(index + 1);
    e.first = first;
    e.last = last;
    return e;
}

// A view over a MemDisk, with the heap checked for leftovers at the end.
class ViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        baseline_ = sim::pool_blocks_live();
    }
    void TearDown() override {
        kv::view_close(&view_);
        EXPECT_EQ(sim::pool_blocks_live(), baseline_);
    }

    // Points the view at `image` and loads it.
    bool open(sim::MemDisk& image) {
        disk_ = kv::Disk{};
        std::strcpy(disk_.name, "blk0");
        disk_.access = *image.device();
        return kv::view_open(&view_, &disk_);
    }

    GptPlan gpt(std::vector<GptEntry> entries) {
        GptPlan plan;
        plan.entries = std::move(entries);
        return plan;
    }

    // Each row as "p<number>@start", "free@start+size" or
    // "logical-free@start+size".
    std::vector<std::string> rows() const {
        std::vector<std::string> out;
        for (int32_t i = 0; i < view_.row_count; i++) {
            const kv::Row& r = view_.rows[i];
            if (r.is_free) {
                EXPECT_EQ(r.partition_index, -1);
                out.push_back(std::string(r.logical ? "logical-free@" : "free@") +
                              std::to_string(r.start) + "+" + std::to_string(r.size));
            } else {
                const kv::Partition& p = view_.table.partitions[r.partition_index];
                EXPECT_EQ(r.sort_key, p.start);
                out.push_back("p" + std::to_string(p.number) + "@" + std::to_string(p.start));
            }
        }
        return out;
    }

    int32_t selected_number() {
        const kv::Partition* p = kv::view_selected_partition(&view_);
        return p == nullptr ? -1 : p->number;
    }

    kv::Disk disk_{};
    kv::DiskView view_{};
    size_t baseline_ = 0;
};

TEST_F(ViewTest, EmptyGptGivesOneFreeRowWithoutSelectedPartition) {
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::GptPlacement place = kvtest::write_gpt(image, gpt({}));
    ASSERT_TRUE(open(image));
    EXPECT_TRUE(view_.loaded);
    EXPECT_EQ(rows(), (std::vector<std::string>{"free@2048+" +
                                                std::to_string(place.last_usable - 2048 + 1)}));
    EXPECT_EQ(view_.rows[0].sort_key, 2048u);
    EXPECT_EQ(view_.selected, 0);
    EXPECT_EQ(kv::view_selected_partition(&view_), nullptr);
}

TEST_F(ViewTest, MbrRowsInterleavePartitionsAndFreeAreasInDiskOrder) {
    // Slot order differs from disk order on purpose: slot 3 comes first on
    // the disk and slot 1 last.
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::write_mbr(image, {MbrEntry{0, 0x83, 40960, 8192}, MbrEntry{0, 0x05, 8192, 24576},
                              MbrEntry{0x80, 0x07, 2048, 4096}});
    kvtest::write_ebr_chain(image, 8192, {Logical{8192, 10240, 4096}, Logical{20480, 22528, 2048}});
    ASSERT_TRUE(open(image));
    EXPECT_EQ(rows(), (std::vector<std::string>{"p3@2048", "free@6144+2048", "p2@8192", "p5@10240",
                                                "logical-free@16384+6143", "p6@22528",
                                                "logical-free@26624+6144", "free@32768+8192",
                                                "p1@40960", "free@49152+16384"}));
}

TEST_F(ViewTest, DiskWithoutTableHasNoRows) {
    sim::MemDisk image(512, kDiskBlocks);
    ASSERT_TRUE(open(image));
    EXPECT_EQ(view_.table.kind, kv::TableKind::None);
    EXPECT_EQ(view_.row_count, 0);
    EXPECT_EQ(view_.selected, 0);
    EXPECT_EQ(kv::view_selected_partition(&view_), nullptr);
}

TEST_F(ViewTest, SelectedPartitionFollowsTheRowNotTheArrayIndex) {
    // Entry 0 lies after entry 1, so row 0 is partition 2.
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::write_gpt(image, gpt({linux_entry(0, 8192, 10239), linux_entry(1, 2048, 4095)}));
    ASSERT_TRUE(open(image));
    ASSERT_EQ(rows(),
              (std::vector<std::string>{"p2@2048", "free@4096+4096", "p1@8192",
                                        "free@10240+" + std::to_string(view_.rows[3].size)}));
    EXPECT_EQ(selected_number(), 2);
    view_.selected = 1;
    EXPECT_EQ(kv::view_selected_partition(&view_), nullptr);
    view_.selected = 2;
    EXPECT_EQ(selected_number(), 1);
}

TEST_F(ViewTest, DeletingTheSelectedLastPartitionMovesSelectionToNewLastRow) {
    // The last partition reaches the end of the usable area, so its row is
    // the last one and deleting it merges it with the gap before it.
    sim::MemDisk image(512, kDiskBlocks);
    GptPlan plan = gpt({});
    uint64_t last_usable = kvtest::gpt_placement(image, plan).last_usable;
    plan.entries = {linux_entry(0, 2048, 4095), linux_entry(1, 8192, last_usable)};
    kvtest::write_gpt(image, plan);
    ASSERT_TRUE(open(image));
    ASSERT_EQ(view_.row_count, 3);
    view_.selected = 2;
    ASSERT_EQ(selected_number(), 2);

    ASSERT_EQ(kv::delete_partition(&view_.table, 2), nullptr);
    kv::view_build_rows(&view_);
    ASSERT_EQ(rows(), (std::vector<std::string>{
                          "p1@2048", "free@4096+" + std::to_string(last_usable - 4096 + 1)}));
    EXPECT_EQ(view_.selected, 1);
    EXPECT_EQ(kv::view_selected_partition(&view_), nullptr);
}

TEST_F(ViewTest, SelectionBeforeTheEndKeepsItsPositionAfterRebuild) {
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::write_gpt(image, gpt({linux_entry(0, 2048, 4095), linux_entry(1, 8192, 10239),
                                  linux_entry(2, 12288, 14335)}));
    ASSERT_TRUE(open(image));
    // p1, free, p2, free, p3, free
    ASSERT_EQ(view_.row_count, 6);
    view_.selected = 2;
    ASSERT_EQ(kv::delete_partition(&view_.table, 2), nullptr);
    kv::view_build_rows(&view_);
    // p1, free, p3, free: the position stays and now holds p3.
    ASSERT_EQ(view_.row_count, 4);
    EXPECT_EQ(view_.selected, 2);
    EXPECT_EQ(selected_number(), 3);
}

TEST_F(ViewTest, SelectFindsNewPartitionByStartAndKind) {
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::write_gpt(image, gpt({linux_entry(0, 2048, 4095)}));
    ASSERT_TRUE(open(image));

    kv::Partition model{};
    model.start = 16384;
    model.size = 2048;
    std::memcpy(model.type_guid, kvtest::kLinuxDataType.data(), 16);
    ASSERT_EQ(kv::add_partition(&view_.table, image.device(), &model), nullptr);
    kv::view_build_rows(&view_);
    // p1, free before, p2, free after.
    ASSERT_EQ(view_.row_count, 4);
    EXPECT_EQ(view_.selected, 0);

    // The free area before the new partition does not share its start, and
    // the kind must match too.
    kv::view_select(&view_, 16384, true);
    EXPECT_EQ(view_.selected, 0);
    kv::view_select(&view_, 16384, false);
    EXPECT_EQ(view_.selected, 2);
    EXPECT_EQ(selected_number(), 2);
    kv::view_select(&view_, 4096, true);
    EXPECT_EQ(view_.selected, 1);
    kv::view_select(&view_, 12345, false);
    EXPECT_EQ(view_.selected, 1);
}

TEST_F(ViewTest, SelectTakesTheLastOfRowsSharingAStart) {
    // A damaged table: two entries begin at the same block.
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::write_gpt(image, gpt({linux_entry(0, 2048, 4095), linux_entry(1, 2048, 6143)}));
    ASSERT_TRUE(open(image));
    ASSERT_GE(view_.row_count, 2);
    kv::view_select(&view_, 2048, false);
    EXPECT_EQ(view_.selected, 1);
    EXPECT_EQ(view_.rows[0].sort_key, 2048u);
    EXPECT_FALSE(view_.rows[0].is_free);
}

TEST_F(ViewTest, LoadDiscardsUnwrittenChanges) {
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::write_gpt(image, gpt({linux_entry(0, 2048, 4095), linux_entry(1, 8192, 10239)}));
    ASSERT_TRUE(open(image));
    ASSERT_EQ(kv::delete_partition(&view_.table, 1), nullptr);
    kv::view_build_rows(&view_);
    ASSERT_TRUE(view_.table.dirty);

    EXPECT_TRUE(kv::view_load(&view_));
    EXPECT_TRUE(view_.loaded);
    EXPECT_FALSE(view_.table.dirty);
    EXPECT_EQ(view_.table.partition_count, 2);
    for (int32_t i = 0; i < view_.table.partition_count; i++)
        EXPECT_FALSE(view_.table.partitions[i].changed);
    EXPECT_EQ(rows()[0], "p1@2048");
}

TEST_F(ViewTest, FailedLoadLeavesAnEmptyViewOfNoTable) {
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::write_gpt(image, gpt({linux_entry(0, 2048, 4095), linux_entry(1, 8192, 10239)}));
    ASSERT_TRUE(open(image));
    view_.selected = 3;
    kv::view_set_message(&view_, false, "Written.");

    // The disk goes away: every read from now on fails.
    image.fail_read(1, kv::ERR_IO, true);
    EXPECT_FALSE(kv::view_load(&view_));
    EXPECT_FALSE(view_.loaded);
    EXPECT_EQ(view_.rows, nullptr);
    EXPECT_EQ(view_.row_count, 0);
    EXPECT_EQ(view_.selected, 0);
    EXPECT_EQ(kv::view_selected_partition(&view_), nullptr);
    kv::PartitionTable zero{};
    EXPECT_EQ(std::memcmp(&view_.table, &zero, sizeof zero), 0);
    // Reporting the failure is the caller's job.
    EXPECT_STREQ(view_.message, "Written.");

    // The editing operations see a table of no kind.
    kv::Partition model{};
    model.start = 2048;
    model.size = 2048;
    EXPECT_STREQ(kv::add_partition(&view_.table, image.device(), &model),
                 "the disk has no partition table: create one first");
}

TEST_F(ViewTest, BlockSizeBelow512DoesNotLoad) {
    sim::MemDisk image(256, kDiskBlocks);
    EXPECT_FALSE(open(image));
    EXPECT_FALSE(view_.loaded);
    EXPECT_EQ(view_.table.block_size, 0u);
    EXPECT_EQ(view_.row_count, 0);
}

TEST_F(ViewTest, CloseFreesRowsAndPartitions) {
    sim::MemDisk image(512, kDiskBlocks);
    kvtest::write_gpt(image, gpt({linux_entry(0, 2048, 4095), linux_entry(1, 8192, 10239)}));
    ASSERT_TRUE(open(image));
    ASSERT_GT(sim::pool_blocks_live(), baseline_);
    kv::view_close(&view_);
    EXPECT_EQ(sim::pool_blocks_live(), baseline_);
    EXPECT_FALSE(view_.loaded);
    EXPECT_EQ(view_.rows, nullptr);
    EXPECT_EQ(view_.row_count, 0);
    EXPECT_EQ(view_.table.partitions, nullptr);
    EXPECT_EQ(view_.table.partition_count, 0);

    // A closed view loads again.
    EXPECT_TRUE(kv::view_load(&view_));
    EXPECT_EQ(view_.table.partition_count, 2);
}

TEST_F(ViewTest, CloseFreesATableCreatedAfterAFailedLoad) {
    // An unreadable disk can still be given a new table; its partitions
    // belong to the view although the view never loaded.
    sim::MemDisk image(512, kDiskBlocks);
    image.fail_read(1, kv::ERR_IO, true);
    ASSERT_FALSE(open(image));
    kv::new_table(&view_.table, image.device(), kv::TableKind::Mbr);
    kv::Partition model{};
    model.start = 2048;
    model.size = 4096;
    model.mbr_type = 0x83;
    ASSERT_EQ(kv::add_partition(&view_.table, image.device(), &model), nullptr);
    kv::view_build_rows(&view_);
    ASSERT_EQ(selected_number(), 1);

    kv::view_close(&view_);
    EXPECT_EQ(sim::pool_blocks_live(), baseline_);
    EXPECT_EQ(view_.table.partition_count, 0);
}

TEST_F(ViewTest, OpenStartsFromAZeroedView) {
    sim::MemDisk first(512, kDiskBlocks);
    kvtest::write_gpt(first, gpt({linux_entry(0, 2048, 4095)}));
    sim::MemDisk second(512, kDiskBlocks);
    kvtest::write_mbr(second, {MbrEntry{0, 0x83, 2048, 2048}});
    ASSERT_TRUE(open(first));
    view_.selected = 1;
    view_.first_visible = 1;
    kv::view_set_message(&view_, true, "error");

    kv::Disk other{};
    other.access = *second.device();
    ASSERT_TRUE(kv::view_open(&view_, &other));
    EXPECT_EQ(view_.disk, &other);
    EXPECT_EQ(view_.table.kind, kv::TableKind::Mbr);
    EXPECT_EQ(view_.selected, 0);
    EXPECT_EQ(view_.first_visible, 0);
    EXPECT_STREQ(view_.message, "");
    EXPECT_FALSE(view_.message_is_error);

    EXPECT_FALSE(kv::view_open(&view_, nullptr));
    EXPECT_EQ(view_.disk, nullptr);
    EXPECT_EQ(view_.row_count, 0);
}

TEST_F(ViewTest, MessageIsFormattedWithItsKind) {
    kv::view_set_message(&view_, false, "Partition %d added.", 5);
    EXPECT_STREQ(view_.message, "Partition 5 added.");
    EXPECT_FALSE(view_.message_is_error);
    kv::view_set_message(&view_, true, "Not written: %s.", "device error");
    EXPECT_STREQ(view_.message, "Not written: device error.");
    EXPECT_TRUE(view_.message_is_error);
}

TEST_F(ViewTest, LongMessageIsCutAt239BytesOnACharacterBoundary) {
    std::string long_text(300, 'x');
    kv::view_set_message(&view_, false, "%s", long_text.c_str());
    EXPECT_EQ(std::string(view_.message), std::string(239, 'x'));

    // "é" would straddle the cut: byte 239 is its first byte.
    std::string straddling = std::string(238, 'a') + "\xC3\xA9" + "tail";
    kv::view_set_message(&view_, false, "%s", straddling.c_str());
    EXPECT_EQ(std::string(view_.message), std::string(238, 'a'));

    // A three-byte character that ends exactly at the limit stays whole.
    std::string fitting = std::string(236, 'a') + "\xE2\x82\xAC" + "tail";
    kv::view_set_message(&view_, false, "%s", fitting.c_str());
    EXPECT_EQ(std::string(view_.message), std::string(236, 'a') + "\xE2\x82\xAC");

    // Two bytes of a four-byte character are dropped, not left dangling.
    std::string four = std::string(237, 'a') + "\xF0\x9F\x98\x80";
    kv::view_set_message(&view_, false, "%s", four.c_str());
    EXPECT_EQ(std::string(view_.message), std::string(237, 'a'));
}

} // namespace
