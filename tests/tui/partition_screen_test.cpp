#include "tui/partition_screen.h"

#include <gtest/gtest.h>

#include <string>

#include "edit/edit_ops.h"
#include "edit/size.h"
#include "tests/tui/disk_screen_fixture.h"
#include "tui/main_program.h"

namespace {

using kvtest::DiskScreenTest;

constexpr uint8_t kNormal = 0x07;   // light gray on black
constexpr uint8_t kSelected = 0x30; // black on cyan
constexpr uint8_t kChanged = 0x0E;  // yellow on black
constexpr uint8_t kFree = 0x08;     // dark gray on black
const std::string kHeader = std::string(" Korvane ") + kv::kVersion;

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}
bool ends_with(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

class PartitionScreen : public DiskScreenTest {
  protected:
    void draw() { kv::draw_partition_screen(&view_); }
};

TEST_F(PartitionScreen, HeaderNamesTheDiskAndItsTable) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    draw();
    EXPECT_EQ(row(0), kHeader + "   blk1  NVMe  32.0 MiB  MBR");
    EXPECT_EQ(attr(1, 0), 0x1F); // white on blue
}

TEST_F(PartitionScreen, HeaderStateGivesWriteProtectionPrecedenceOverChanges) {
    struct Case {
        bool read_only;
        bool started_here;
        bool dirty;
        const char* right;
    };
    const Case cases[] = {
        {false, false, true, "* = changes not written"},
        {true, false, true, "write-protected"},
        {true, true, true, "started from here: read only"},
        {false, true, false, "started from here: read only"},
    };
    auto image = kvtest::mbr_disk(-1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.right);
        open(*image, c.read_only, c.started_here);
        view_.table.dirty = c.dirty;
        draw();
        EXPECT_TRUE(starts_with(row(0), kHeader + "   blk1")) << row(0);
        EXPECT_TRUE(ends_with(row(0), c.right)) << row(0);
        // The right part is yellow on blue and ends one cell before the edge.
        EXPECT_EQ(attr(int(kv::g_columns) - 2, 0), 0x1E);
        if (c.read_only || c.started_here) {
            EXPECT_EQ(row(0).find("changes"), std::string::npos);
        }
    }
}

TEST_F(PartitionScreen, MbrRowsShowFlagsChangesAndFreeAreas) {
    auto image = kvtest::mbr_disk(2);
    open(*image);
    ASSERT_EQ(kv::set_active(&view_.table, 1, true), nullptr);
    kv::view_build_rows(&view_);
    select_partition(5);
    draw();

    EXPECT_EQ(row(2), "  #    Start       Size        Type                   Flags");
    EXPECT_EQ(row(3), "  1*   1.0 MiB     2.0 MiB     Linux                  active");
    EXPECT_EQ(row(4), "  -    3.0 MiB     1.0 MiB     free space");
    EXPECT_EQ(row(5), "  2    4.0 MiB     28.0 MiB    Extended");
    EXPECT_EQ(row(6), "  5    5.0 MiB     2.0 MiB     Linux                  logical");
    EXPECT_EQ(row(7), "  6    8.0 MiB     2.0 MiB     Linux                  logical");
    EXPECT_EQ(row(8), "  -    11.0 MiB    21.0 MiB    free space (for logical partitions)");
    EXPECT_EQ(row(9), "");

    EXPECT_EQ(attr(0, 3), kChanged);
    EXPECT_EQ(attr(0, 4), kFree);
    EXPECT_EQ(attr(0, 5), kNormal);
    // The selection covers the whole row, not just its text.
    EXPECT_EQ(attr(0, 6), kSelected);
    EXPECT_EQ(attr(kv::g_columns - 1, 6), kSelected);
    EXPECT_EQ(attr(0, 8), kFree);
}

TEST_F(PartitionScreen, GptRowsShowNamesAndNeverFlags) {
    auto image = kvtest::gpt_disk(1);
    open(*image);
    // Set by hand: a GPT partition must not show the MBR flag even if the
    // record carries it.
    view_.table.partitions[0].active = true;
    select_free_row();
    draw();
    EXPECT_EQ(row(2), "  #    Start       Size        Type                            Name");
    EXPECT_EQ(row(3), "  1    1.0 MiB     1.0 MiB     Linux filesystem                root");
    EXPECT_TRUE(starts_with(row(4), "  -    2.0 MiB     ")) << row(4);
    EXPECT_TRUE(ends_with(row(4), " free space")) << row(4);
    EXPECT_EQ(attr(0, 3), kNormal);
    EXPECT_EQ(attr(0, 4), kSelected);
}

TEST_F(PartitionScreen, ListsNineteenRowsWithoutNotesAndSixteenWithTwo) {
    auto image = kvtest::gpt_disk(25);
    open(*image);
    ASSERT_EQ(view_.table.note_count, 0);
    ASSERT_EQ(view_.row_count, 26);
    draw();
    EXPECT_TRUE(starts_with(row(3), "  1 "));
    EXPECT_TRUE(starts_with(row(21), "  19 ")) << row(21);
    EXPECT_EQ(row(22), "");

    kv::add_note(&view_.table, "first oddity");
    kv::add_note(&view_.table, "second oddity");
    draw();
    EXPECT_TRUE(starts_with(row(18), "  16 ")) << row(18);
    EXPECT_EQ(row(19), "");
    EXPECT_EQ(row(20), "  Note: first oddity");
    EXPECT_EQ(row(21), "  Note: second oddity");
    EXPECT_EQ(attr(2, 20), 0x0E);
    EXPECT_EQ(attr(2, 21), 0x0E);
}

TEST_F(PartitionScreen, NotesOnAShortScreenNeverCoverTheList) {
    sim::set_text_modes({{40, 12}});
    kv::refresh_screen_size();
    auto image = kvtest::gpt_disk(3);
    open(*image);
    for (int i = 1; i <= kv::kMaxNotes; i++)
        kv::add_note(&view_.table, "oddity %d", i);
    ASSERT_EQ(view_.table.note_count, kv::kMaxNotes);
    view_.selected = 1;
    draw();
    EXPECT_TRUE(starts_with(row(2), "  #    Start")) << row(2);
    EXPECT_TRUE(starts_with(row(3), "  2 ")) << row(3);
    EXPECT_EQ(attr(0, 3), kSelected);
    // Rows 4 to 8 are left for notes: the first five, the last on row 8.
    for (int r = 4; r <= 8; r++)
        EXPECT_EQ(row(r), "  Note: oddity " + std::to_string(r - 3)) << r;
    EXPECT_EQ(row(9), "");

    // When all notes fit, they are drawn as before.
    view_.table.note_count = 2;
    draw();
    EXPECT_EQ(row(7), "  Note: oddity 1");
    EXPECT_EQ(row(8), "  Note: oddity 2");
}

TEST_F(PartitionScreen, FirstVisibleRowFollowsTheSelection) {
    auto image = kvtest::gpt_disk(25);
    open(*image);
    view_.selected = 25; // the free area after partition 25
    draw();
    EXPECT_EQ(view_.first_visible, 7);
    EXPECT_TRUE(starts_with(row(3), "  8 ")) << row(3);
    EXPECT_EQ(attr(0, 21), kSelected);

    view_.selected = 10; // still inside the window: no scrolling
    draw();
    EXPECT_EQ(view_.first_visible, 7);

    view_.selected = 3;
    draw();
    EXPECT_EQ(view_.first_visible, 3);
    EXPECT_TRUE(starts_with(row(3), "  4 ")) << row(3);
    EXPECT_EQ(attr(0, 3), kSelected);
}

TEST_F(PartitionScreen, EmptyListSaysWhy) {
    auto blank = std::make_unique<sim::MemDisk>(512, 65536);
    open(*blank);
    draw();
    EXPECT_EQ(row(3), "  No partition table.");
    EXPECT_EQ(row(2), "  #    Start       Size        Type                   Flags");

    // One MiB of disk has no aligned room after block 0.
    auto tiny = std::make_unique<sim::MemDisk>(512, 2048);
    kvtest::write_mbr(*tiny, {});
    open(*tiny);
    ASSERT_EQ(view_.row_count, 0);
    draw();
    EXPECT_EQ(row(3), "  No free space.");
}

TEST_F(PartitionScreen, StatusMessageColourTellsErrorsFromInformation) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    kv::view_set_message(&view_, false, "Partition %d deleted.", 1);
    draw();
    EXPECT_EQ(row(22), "  Partition 1 deleted.");
    EXPECT_EQ(attr(2, 22), 0x0A);

    kv::view_set_message(&view_, true, "Select a free area.");
    draw();
    EXPECT_EQ(row(22), "  Select a free area.");
    EXPECT_EQ(attr(2, 22), 0x0C);
}

TEST_F(PartitionScreen, KeyBarsTakeTheLastTwoRows) {
    // Wide enough for the bars with their titles.
    sim::set_text_modes({{100, 25}});
    kv::refresh_screen_size();
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    draw();
    EXPECT_TRUE(starts_with(row(23), " Partition:")) << row(23);
    for (const char* label : {"New", "Delete", "Type", "Rename", "Active", "Wipe"})
        EXPECT_NE(row(23).find(label), std::string::npos) << label;
    EXPECT_TRUE(starts_with(row(24), " Disk:")) << row(24);
    for (const char* label : {"Write", "New table", "Delete table", "Backup", "Restore", "Back"})
        EXPECT_NE(row(24).find(label), std::string::npos) << label;
}

TEST_F(PartitionScreen, BlockNumbersTooLargeForBytesShowTheLargestSize) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    // A damaged table: 2^55 blocks of 512 bytes is exactly 2^64 bytes, which
    // wraps to 0 when multiplied unchecked.
    view_.table.partitions[0].start = uint64_t(1) << 55;
    draw();
    char largest[32];
    kv::format_size(largest, sizeof largest, UINT64_MAX);
    EXPECT_TRUE(starts_with(row(3), std::string("  1    ") + largest)) << row(3);
}

using RedrawBehind = PartitionScreen;

TEST_F(RedrawBehind, UsesTheScreenHookInsteadOfTheConsole) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    kv::g_screen_hooks = &kvtest::kRecordingScreen;
    kv::redraw_behind(&view_);
    EXPECT_EQ(kvtest::g_script.of_kind("redraw").size(), 1u);
    EXPECT_EQ(kvtest::g_script.last_redrawn, &view_);
    EXPECT_EQ(row(0), "");

    kv::g_screen_hooks = nullptr;
    kv::redraw_behind(&view_);
    EXPECT_EQ(kvtest::g_script.of_kind("redraw").size(), 1u);
    EXPECT_TRUE(starts_with(row(0), kHeader)) << row(0);
}

} // namespace
