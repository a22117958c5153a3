#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/palette.h"
#include "tests/gui/main_screen_fixture.h"

namespace {

using kvtest::MainScreenTest;

class MainLayout : public MainScreenTest {
  protected:
    // The layout alone: no screen is needed for it.
    void lay_out(int32_t w, int32_t h) {
        gui_.width = w;
        gui_.height = h;
        kv::layout_main_screen(&gui_);
    }

    int setting() const {
        if (gui_.label_width > 0) return 0;
        return gui_.pad_left == 6 ? 1 : 2;
    }

    int row_of(int button) const {
        return (gui_.buttons[button].y - gui_.buttons[0].y) / (gui_.line_height + 12);
    }

    void add_notes(int count) {
        gui_.view.table.note_count = 0;
        for (int i = 0; i < count; i++)
            kv::add_note(&gui_.view.table, "note number %d", i + 1);
    }

    // A GPT of `count` 1 MiB partitions on a 64 MiB disk.
    static std::unique_ptr<sim::MemDisk> many_partitions(int count) {
        auto image = std::make_unique<sim::MemDisk>(512, 131072);
        kvtest::GptPlan plan;
        for (int i = 0; i < count; i++)
            plan.entries.push_back(kvtest::named_entry(uint32_t(i), kvtest::kLinuxDataType,
                                                       2048 + uint64_t(i) * 2048,
                                                       2048 + uint64_t(i) * 2048 + 2047, u""));
        kvtest::write_gpt(*image, plan);
        return image;
    }
};

bool inside(const kv::Rect& r, int32_t w, int32_t h) {
    return r.x >= 0 && r.y >= 0 && r.w > 0 && r.h > 0 && r.x + r.w <= w && r.y + r.h <= h;
}

TEST_F(MainLayout, FontGrowsWithTheScreenAndEveryPartFitsIt) {
    int smallest = 0, previous = 0;
    for (int32_t h = 480; h <= 2160; h += 13) {
        SCOPED_TRACE(h);
        lay_out(1920, h);
        const int font = kv::font_pixel_size(gui_.font_regular);
        if (smallest == 0) smallest = font;
        EXPECT_GE(font, previous) << "a taller screen got a smaller font";
        previous = font;
        EXPECT_EQ(kv::font_pixel_size(gui_.font_bold), font);
        EXPECT_TRUE(gui_.font_bold->bold);
        EXPECT_EQ(gui_.line_height, kv::font_line_height(gui_.font_regular));
        // The right side from top to bottom: usage bar, table, status line,
        // buttons; each inside the screen and below the one before.
        for (const kv::Rect& r :
             {gui_.panel, gui_.bar, gui_.rows_area, gui_.status_line, gui_.button_bar})
            EXPECT_TRUE(inside(r, 1920, h)) << r.x << "," << r.y << " " << r.w << "x" << r.h;
        EXPECT_LE(gui_.bar.y + gui_.bar.h, gui_.rows_area.y);
        EXPECT_LE(gui_.rows_area.y + gui_.rows_area.h, gui_.status_line.y);
        EXPECT_LE(gui_.status_line.y + gui_.status_line.h, gui_.button_bar.y);
        EXPECT_GE(gui_.rows_area.x, gui_.panel.x + gui_.panel.w);
        EXPECT_GE(gui_.visible_rows, 1);
    }
    EXPECT_GT(previous, smallest) << "the font never grew";

    // The disk column takes less than the right side and grows with the
    // width of the screen.
    int32_t column = 0;
    for (int32_t w = 640; w <= 2560; w += 40) {
        lay_out(w, 1080);
        EXPECT_LT(gui_.panel.w, w - gui_.panel.w) << w;
        EXPECT_GE(gui_.panel.w, column) << w;
        column = gui_.panel.w;
    }
}

TEST_F(MainLayout, NarrowScreensDropTheLabelColumnFirstThenShrinkTheButtons) {
    std::vector<int> seen;
    int previous = 0;
    for (int32_t w = 2400; w >= 300; w--) {
        lay_out(w, 480);
        const int s = setting();
        ASSERT_GE(s, previous) << "a narrower screen went back to a wider setting at " << w;
        previous = s;
        if (seen.empty() || seen.back() != s) seen.push_back(s);
        for (int i = 1; i < kv::kRescanButton; i++) {
            const kv::Rect& b = gui_.buttons[i];
            // A button past the right margin is only ever the first of its row.
            if (b.x + b.w > w - 8) {
                EXPECT_EQ(b.x, gui_.label_width + 14) << w << " " << i;
            }
        }
        EXPECT_EQ(row_of(0), 0) << w;
        EXPECT_EQ(gui_.buttons[0].x, gui_.label_width + 14) << w;
        if (s < 2) {
            // Until the last setting is forced, each group fits on one row.
            ASSERT_EQ(gui_.button_rows, 2) << w;
            for (int i = 0; i < kv::kRescanButton; i++) {
                EXPECT_EQ(row_of(i), i < 6 ? 0 : 1) << w << " " << i;
                EXPECT_LE(gui_.buttons[i].x + gui_.buttons[i].w, w - 8) << w << " " << i;
            }
        }
        // The buttons sit in the bar, the status line right above it.
        for (int i = 0; i < kv::kRescanButton; i++) {
            EXPECT_GE(gui_.buttons[i].y, gui_.button_bar.y);
            EXPECT_LE(gui_.buttons[i].y + gui_.buttons[i].h, gui_.button_bar.y + gui_.button_bar.h);
        }
        EXPECT_EQ(gui_.status_line.y + gui_.status_line.h, gui_.button_bar.y);
        EXPECT_EQ(gui_.button_bar.y + gui_.button_bar.h, 480);
    }
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
    // At 300 pixels even the small buttons overflow and wrap onto more rows.
    EXPECT_GT(gui_.button_rows, 2);
    EXPECT_EQ(gui_.label_width, 0);
}

TEST_F(MainLayout, SegmentsAreProportionalAndNeverNarrowerThanThreePixels) {
    add_disk(2, kvtest::gpt_disk_with_notes());
    start(1280, 800);
    kv::layout_main_screen(&gui_);
    const kv::DiskView& view = gui_.view;
    const uint64_t T = view.table.block_count;
    ASSERT_EQ(T, 131072u);
    // In disk order, inside the bar, each as wide as its share of the disk
    // within a pixel, but at least 3 pixels.
    bool one_block = false;
    int32_t previous_x0 = gui_.bar.x;
    for (int i = 0; i < view.row_count; i++) {
        const kv::Row& row = view.rows[i];
        uint64_t n = row.is_free ? row.size : view.table.partitions[row.partition_index].size;
        kv::Span span = kv::segment_span(&gui_, row);
        EXPECT_GE(span.x0, previous_x0) << i;
        EXPECT_LE(span.x1, gui_.bar.x + gui_.bar.w) << i;
        previous_x0 = span.x0;
        const double share = double(gui_.bar.w) * double(n) / double(T);
        const int32_t width = span.x1 - span.x0;
        if (share < 3) {
            EXPECT_EQ(width, 3) << i;
        } else {
            EXPECT_NEAR(width, share, 1.0) << i;
        }
        if (n == 1) one_block = true;
    }
    EXPECT_TRUE(one_block);

    // A damaged entry far beyond the disk: the product does not wrap into
    // a small or negative position.
    kv::Partition& p = gui_.view.table.partitions[0];
    p.start = uint64_t(1) << 62;
    p.size = uint64_t(1) << 62;
    kv::Row row{};
    row.partition_index = 0;
    kv::Span span = kv::segment_span(&gui_, row);
    EXPECT_GT(span.x0, gui_.bar.x + gui_.bar.w);
    EXPECT_GE(span.x1, span.x0 + 3);
}

TEST_F(MainLayout, TheSelectedRowIsAlwaysScrolledIntoView) {
    add_disk(2, many_partitions(40));
    start(640, 480);
    kv::DiskView& view = gui_.view;
    ASSERT_GE(view.row_count, 40);
    render();
    const int visible = gui_.visible_rows;
    ASSERT_LT(visible, view.row_count);

    view.selected = view.row_count - 1; // as End would
    std::vector<std::string> lines = render();
    EXPECT_EQ(view.first_visible, view.selected - visible + 1);
    const int32_t y = gui_.rows_area.y + visible * gui_.row_height + 1;
    EXPECT_EQ(sim::display_pixel(gui_.rows_area.x + 2, y), kv::kFocused);

    // The rows traced: every one, the ones scrolled away without a table
    // position but still with their place in the bar.
    std::vector<std::string> rows;
    for (const std::string& l : lines)
        if (l.rfind("row ", 0) == 0) rows.push_back(l);
    ASSERT_EQ(int(rows.size()), view.row_count);
    EXPECT_EQ(rows.front().find(" at "), std::string::npos) << rows.front();
    EXPECT_NE(rows.front().find(" bar "), std::string::npos);
    const std::string& last = rows.back();
    EXPECT_NE(last.find(" < at "), std::string::npos) << last;

    view.selected = view.first_visible + 1; // inside: nothing moves
    const int first = view.first_visible;
    render();
    EXPECT_EQ(view.first_visible, first);
    view.selected = 0; // as Home would
    render();
    EXPECT_EQ(view.first_visible, 0);
    EXPECT_EQ(sim::display_pixel(gui_.rows_area.x + 2, gui_.rows_area.y + gui_.row_height + 1),
              kv::kFocused);
}

TEST_F(MainLayout, NotesPushTheTableUpButLeaveItOneRow) {
    add_disk(2, many_partitions(40));
    start(1280, 800);
    int previous_rows = 0;
    for (int n = 0; n <= kv::kMaxNotes; n++) {
        add_notes(n);
        kv::layout_main_screen(&gui_);
        SCOPED_TRACE(n);
        EXPECT_EQ(gui_.notes_shown, n);
        EXPECT_EQ(gui_.notes_y, gui_.status_line.y - 6 - n * gui_.line_height);
        EXPECT_GE(gui_.notes_y, gui_.rows_area.y + gui_.rows_area.h + 6);
        EXPECT_EQ(gui_.rows_area.h, (gui_.visible_rows + 1) * gui_.row_height);
        // A note is one line height, less than a row: at most one row goes.
        if (n > 0) {
            EXPECT_TRUE(gui_.visible_rows == previous_rows ||
                        gui_.visible_rows == previous_rows - 1);
        }
        previous_rows = gui_.visible_rows;
    }
}

TEST_F(MainLayout, NotesThatWouldCoverTheLastRowAreLeftOut) {
    add_disk(2, many_partitions(40));
    start(640, 480);
    add_notes(kv::kMaxNotes);
    std::vector<std::string> lines = render();
    EXPECT_EQ(gui_.visible_rows, 1);
    const kv::Rect& table = gui_.rows_area;
    EXPECT_GE(gui_.notes_y, table.y + table.h + 6);
    EXPECT_GT(gui_.notes_shown, 0);
    EXPECT_LT(gui_.notes_shown, kv::kMaxNotes);
    EXPECT_EQ(gui_.notes_y + gui_.notes_shown * gui_.line_height, gui_.status_line.y - 6);

    // Nothing in the table's rectangle has the notes' colour, and the first
    // note is the one drawn first.
    for (int32_t y = table.y; y < table.y + table.h; y++)
        for (int32_t x = table.x; x < table.x + table.w; x++)
            ASSERT_NE(sim::display_pixel(x, y), kv::kWarningText) << x << "," << y;
    bool first_note_drawn = false;
    for (int32_t x = table.x; x < table.x + table.w && !first_note_drawn; x++)
        for (int32_t y = gui_.notes_y; y < gui_.notes_y + gui_.line_height; y++)
            if (sim::display_pixel(x, y) == kv::kWarningText) first_note_drawn = true;
    EXPECT_TRUE(first_note_drawn);
    // The trace still names every note.
    int notes = 0;
    for (const std::string& l : lines)
        if (l.rfind("note note number ", 0) == 0) notes++;
    EXPECT_EQ(notes, kv::kMaxNotes);
}

} // namespace
