#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "edit/size.h"
#include "gui/palette.h"
#include "tests/gui/main_screen_fixture.h"

namespace {

using kvtest::MainScreenTest;

std::string kind_of(const std::string& line) {
    return line.substr(0, line.find(' '));
}

// The line kinds with runs of the same kind folded: "row" x 7 is one "row".
std::vector<std::string> kinds(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (out.empty() || out.back() != kind_of(l)) out.push_back(kind_of(l));
    return out;
}

int count_kind(const std::vector<std::string>& lines, const std::string& kind) {
    int n = 0;
    for (const std::string& l : lines)
        n += kind_of(l) == kind;
    return n;
}

using MainRender = MainScreenTest;

TEST_F(MainRender, TraceFollowsTheScreenInItsOrder) {
    add_disk(2, kvtest::mbr_disk_with_logicals());
    start_from(add_disk(3, kvtest::gpt_disk_with_notes()));
    start(1920, 1080, 1);
    gui_.view.selected = 2;
    gui_.pointer_present = true;
    gui_.pointer_x = 10;
    gui_.pointer_y = 20;
    kv::view_set_message(&gui_.view, false, "Partition 3 renamed.");
    std::vector<std::string> lines = render();

    EXPECT_EQ(kinds(lines),
              (std::vector<std::string>{"window", "disk", "shows", "row", "note", "button",
                                        "buttons", "focus", "message", "pointer", "shown"}));
    EXPECT_EQ(lines.front(), "window 1920x1080 font 26");
    EXPECT_EQ(count_kind(lines, "disk"), 2);
    EXPECT_EQ(count_kind(lines, "row"), gui_.view.row_count);
    EXPECT_EQ(count_kind(lines, "note"), gui_.view.table.note_count);
    EXPECT_EQ(count_kind(lines, "button"), 13);

    // The disks: their texts, the open one marked, centres in the column.
    const std::string mid = std::to_string(gui_.panel.w / 2);
    const std::string mbr = gui_.disks[0].name, gpt = gui_.disks[1].name;
    EXPECT_EQ(lines[1].rfind("disk " + mbr + " disk 64.0 MiB MBR, 5 partitions at " + mid + ",", 0),
              0u)
        << lines[1];
    EXPECT_EQ(lines[2].rfind("disk " + gpt +
                                 " disk 64.0 MiB GPT, 5 partitions, started from here: read "
                                 "only < at " +
                                 mid + ",",
                             0),
              0u)
        << lines[2];
    EXPECT_EQ(lines[3], "shows " + gpt + " disk 64.0 MiB GPT");

    // The selected row with its table centre, which lies inside its row.
    std::string selected;
    for (const std::string& l : lines)
        if (l.find(" < at ") != std::string::npos && kind_of(l) == "row") selected = l;
    const int32_t row_y = gui_.rows_area.y + 3 * gui_.row_height;
    kv::Span span = kv::segment_span(&gui_, gui_.view.rows[2]);
    EXPECT_EQ(selected, "row 3 19.0 MiB 24.0 MiB Linux filesystem root < at " +
                            std::to_string(gui_.rows_area.x + gui_.rows_area.w / 2) + "," +
                            std::to_string(row_y + gui_.row_height / 2) + " bar " +
                            std::to_string((span.x0 + span.x1) / 2) + "," +
                            std::to_string(gui_.bar.y + gui_.bar.h / 2));

    // Rescan is the last button; the summary line covers it too.
    int32_t right = 0;
    for (const kv::Rect& b : gui_.buttons)
        right = std::max(right, b.x + b.w);
    const kv::Rect& rescan = gui_.buttons[kv::kRescanButton];
    const size_t buttons_line = lines.size() - 5;
    EXPECT_EQ(lines[buttons_line - 1], "button F5 Rescan at " +
                                           std::to_string(rescan.x + rescan.w / 2) + "," +
                                           std::to_string(rescan.y + rescan.h / 2));
    EXPECT_EQ(lines[buttons_line], "buttons 2 rows, right edge " + std::to_string(right));
    EXPECT_EQ(lines[buttons_line + 1], "focus partitions");
    EXPECT_EQ(lines[buttons_line + 2], "message Partition 3 renamed.");
    EXPECT_EQ(lines[buttons_line + 3], "pointer 10,20");
    EXPECT_EQ(lines.back(), "shown");
}

TEST_F(MainRender, PresentsWithOneCopyAndDrawsThePointerOverIt) {
    add_disk(2, kvtest::mbr_disk_with_logicals());
    start(1280, 800);
    sim::clear_display_blt_calls();
    render();
    ASSERT_EQ(sim::display_blt_calls().size(), 1u);
    const sim::BltCall& full = sim::display_blt_calls()[0];
    EXPECT_EQ(full.operation, EfiBltBufferToVideo);
    EXPECT_EQ(full.width, 1280u);
    EXPECT_EQ(full.height, 800u);
    EXPECT_EQ(full.destination_x + full.destination_y, 0u);
    // The back buffer is the picture on the screen.
    EXPECT_EQ(sim::picture_difference(sim::picture_from(gui_.back.pixels, 1280, 800, 1280),
                                      sim::display_picture()),
              "");

    gui_.pointer_present = true;
    gui_.pointer_x = 1275; // near the edge: only the visible part is copied
    gui_.pointer_y = 100;
    sim::clear_display_blt_calls();
    render();
    ASSERT_EQ(sim::display_blt_calls().size(), 2u);
    const sim::BltCall& pointer = sim::display_blt_calls()[1];
    EXPECT_EQ(pointer.destination_x, 1275u);
    EXPECT_EQ(pointer.width, 5u);
    EXPECT_EQ(pointer.status, EFI_SUCCESS);
    EXPECT_EQ(sim::display_pixel(1275, 100), 0x000000u);       // the cursor's tip
    EXPECT_NE(gui_.back.pixels[100 * 1280 + 1275], 0x000000u); // never in the back buffer
}

TEST_F(MainRender, WithoutDisksOnlyTheColumnAndTheButtonsAreTraced) {
    start(1280, 800);
    ASSERT_EQ(gui_.disk_count, 0);
    gui_.focus_disks = true;
    gui_.hovered_button = 11;
    std::vector<std::string> lines = render();
    EXPECT_EQ(kinds(lines),
              (std::vector<std::string>{"window", "button", "buttons", "focus", "shown"}));
    EXPECT_EQ(lines[12].find("button Esc Quit at "), 0u);
    EXPECT_EQ(lines[12].substr(lines[12].size() - 6), " hover");
    EXPECT_EQ(lines[lines.size() - 2], "focus disks");
    // The right side stays background.
    EXPECT_EQ(sim::display_pixel(gui_.bar.x + 5, gui_.bar.y + 5), kv::kScreenBackground);
}

TEST_F(MainRender, EmptyTablesAndUnreadableDisksSayWhyTheyAreEmpty) {
    auto blank = std::make_unique<sim::MemDisk>(512, 65536);
    EFI_HANDLE unreadable = add_disk(2, std::move(blank));
    auto full = std::make_unique<sim::MemDisk>(512, 65536);
    kvtest::write_mbr(*full, {kvtest::MbrEntry{0x00, 0x83, 1, 65535}});
    add_disk(3, std::move(full));
    start(1280, 800, 0);
    // Kind None: both the bar and the table say so.
    std::vector<std::string> lines = render();
    const std::string name = gui_.disks[0].name;
    EXPECT_EQ(lines[3], "shows " + name + " disk 32.0 MiB no table");
    EXPECT_EQ(count_kind(lines, "row"), 0);

    // A table without a free block: the one row of the table says so.
    kv::view_open(&gui_.view, &gui_.disks[1]);
    gui_.current_disk = 1;
    lines = render();
    EXPECT_EQ(count_kind(lines, "row"), 1);
    EXPECT_EQ(gui_.view.row_count, 1);

    // The disk fails to read: "unreadable", and nothing in the table.
    gui_.current_disk = 0;
    sim::fail_block_read(unreadable, 1, EFI_DEVICE_ERROR, true);
    EXPECT_FALSE(kv::view_open(&gui_.view, &gui_.disks[0]));
    lines = render();
    EXPECT_EQ(lines[3], "shows " + name + " disk 32.0 MiB unreadable");
    const int32_t row_y = gui_.rows_area.y + gui_.row_height;
    for (int32_t x = gui_.rows_area.x + 1; x < gui_.rows_area.x + gui_.rows_area.w - 1; x++)
        ASSERT_EQ(sim::display_pixel(x, row_y + gui_.row_height / 2), kv::kWhite) << x;
}

TEST_F(MainRender, DiskColumnScrollsToTheCurrentDisk) {
    for (int slot = 2; slot <= 9; slot++) {
        auto image = std::make_unique<sim::MemDisk>(512, 8192);
        kvtest::write_mbr(*image, {kvtest::MbrEntry{0x00, 0x83, 2048, 4096}});
        add_disk(slot, std::move(image));
    }
    start(640, 480, 7);
    std::vector<std::string> lines = render();
    EXPECT_GT(gui_.first_disk, 0);
    // The current disk is the last one traced, and its entry ends inside
    // the column.
    std::vector<std::string> disks;
    for (const std::string& l : lines)
        if (kind_of(l) == "disk") disks.push_back(l);
    ASSERT_FALSE(disks.empty());
    EXPECT_NE(
        disks.back().find(std::string(gui_.disks[7].name) + " disk 4.0 MiB MBR, 1 partition < at "),
        std::string::npos)
        << disks.back();
    const int32_t bottom = gui_.panel.y + gui_.panel.h;
    int32_t end = gui_.first_entry_y;
    for (int i = gui_.first_disk; i <= gui_.current_disk; i++)
        end += kv::disk_entry_height(&gui_, i) + gui_.entry_gap;
    EXPECT_LE(end, bottom);

    // The bar at the column's edge: its thumb at the end where the shown
    // entries are, the track at the other.
    const uint32_t edge = uint32_t(gui_.panel.w - 1);
    auto top_and_bottom = [&] {
        return std::pair{sim::display_pixel(edge, uint32_t(gui_.first_entry_y)),
                         sim::display_pixel(edge, uint32_t(bottom - 1))};
    };
    EXPECT_EQ(top_and_bottom(), std::pair(kv::kButtonBar, kv::kSegmentOutline));

    gui_.current_disk = 0; // back up: the column follows
    render();
    EXPECT_EQ(gui_.first_disk, 0);
    EXPECT_EQ(top_and_bottom(), std::pair(kv::kSegmentOutline, kv::kButtonBar));

    // As many disks as fit: no bar, the entry's own colour at the edge.
    gui_.disk_count = 2;
    gui_.current_disk = 1;
    render();
    EXPECT_EQ(top_and_bottom(), std::pair(kv::kWhite, kv::kWhite));
    gui_.disk_count = 8;
}

} // namespace
