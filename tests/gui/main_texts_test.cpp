#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/gui/main_screen_fixture.h"

namespace {

using kvtest::MainScreenTest;

class MainTexts : public MainScreenTest {
  protected:
    std::vector<std::string> cells(int row) {
        char out[5][kv::kCellSize];
        kv::row_cells(&gui_.view, gui_.view.rows[row], out);
        return {out[0], out[1], out[2], out[3], out[4]};
    }

    std::string label(int row, bool long_form) {
        char out[kv::kSegmentLabelSize];
        kv::segment_label(&gui_.view, gui_.view.rows[row], long_form, out);
        return out;
    }

    // The row of partition `number`.
    int row_of(int number) {
        for (int i = 0; i < gui_.view.row_count; i++) {
            const kv::Row& r = gui_.view.rows[i];
            if (!r.is_free && gui_.view.table.partitions[r.partition_index].number == number)
                return i;
        }
        ADD_FAILURE() << "no partition " << number;
        return 0;
    }

    // The first free row inside (logical) or outside the extended partition.
    int free_row(bool logical) {
        for (int i = 0; i < gui_.view.row_count; i++)
            if (gui_.view.rows[i].is_free && gui_.view.rows[i].logical == logical) return i;
        ADD_FAILURE() << "no free row";
        return 0;
    }
};

TEST_F(MainTexts, MbrCellsShowFlagsAndFreeRowsTheirKind) {
    add_disk(2, kvtest::mbr_disk_with_logicals());
    start(1280, 800);
    using V = std::vector<std::string>;
    EXPECT_EQ(cells(row_of(1)), (V{"1", "1.0 MiB", "8.0 MiB", "FAT32 (LBA)", "active"}));
    EXPECT_EQ(cells(row_of(2)), (V{"2", "9.0 MiB", "10.0 MiB", "Linux", ""}));
    EXPECT_EQ(cells(row_of(6)), (V{"6", "32.0 MiB", "4.0 MiB", "Linux swap", "logical"}));
    EXPECT_EQ(cells(free_row(false)), (V{"-", "19.0 MiB", "1.0 MiB", "free space", ""}));
    EXPECT_EQ(cells(free_row(true)),
              (V{"-", "54.0 MiB", "10.0 MiB", "free space (for logical partitions)", ""}));

    gui_.view.table.partitions[gui_.view.rows[row_of(2)].partition_index].changed = true;
    EXPECT_EQ(cells(row_of(2))[0], "2*");
    EXPECT_EQ(label(row_of(2), true), "2* Linux");
    EXPECT_EQ(label(row_of(2), false), "2*");
    EXPECT_EQ(label(row_of(6), true), "6 Linux swap");
    EXPECT_EQ(label(free_row(true), true), "free 10.0 MiB");
    EXPECT_EQ(label(free_row(true), false), "free");
}

TEST_F(MainTexts, DiskSummariesCountPartitionsAndCarryTheBadge) {
    add_disk(2, kvtest::mbr_disk_with_logicals());
    auto one = std::make_unique<sim::MemDisk>(512, 65536);
    kvtest::GptPlan plan;
    plan.entries = {kvtest::named_entry(0, kvtest::kLinuxDataType, 2048, 4095, u"a")};
    kvtest::write_gpt(*one, plan);
    start_from(add_disk(3, std::move(one)));
    add_disk(4, std::make_unique<sim::MemDisk>(512, 65536), true);
    EFI_HANDLE broken = add_disk(5, std::make_unique<sim::MemDisk>(512, 65536));
    sim::fail_block_read(broken, 1, EFI_DEVICE_ERROR, true);
    start(1280, 800);
    ASSERT_EQ(gui_.disk_count, 4);

    struct Expect {
        const char* summary;
        const char* badge;
    } expect[] = {
        {"MBR, 5 partitions", nullptr}, // the extended one is not counted
        {"GPT, 1 partition", "started from here: read only"},
        {"no table", "write-protected"},
        {"unreadable", nullptr},
    };
    for (int i = 0; i < 4; i++) {
        char out[kv::kDiskSummarySize];
        const char* badge = kv::disk_summary_text(&gui_, i, out);
        EXPECT_STREQ(out, expect[i].summary) << i;
        EXPECT_STREQ(badge, expect[i].badge) << i;
    }

    // The badges make the entries taller; the long one breaks after its
    // colon in a narrow column.
    kv::layout_main_screen(&gui_);
    EXPECT_EQ(kv::disk_entry_height(&gui_, 0), gui_.entry_base_height);
    EXPECT_EQ(kv::disk_entry_height(&gui_, 2), gui_.entry_base_height + gui_.line_height);
    EXPECT_EQ(kv::disk_entry_height(&gui_, 1), gui_.entry_base_height + gui_.line_height);
    gui_.width = 640;
    gui_.height = 480;
    kv::layout_main_screen(&gui_);
    EXPECT_EQ(kv::disk_entry_height(&gui_, 1), gui_.entry_base_height + 2 * gui_.line_height);
    EXPECT_EQ(kv::disk_entry_height(&gui_, 2), gui_.entry_base_height + gui_.line_height);
}

} // namespace
