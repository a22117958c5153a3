// The wipe progress box: its bar and percentage, its trace line, and the
// stop check by key and by a click on Stop.
#include <gtest/gtest.h>

#include <string>

#include "platform/keyboard.h"
#include "tests/gui/dialog_fixture.h"

namespace {

using dialog_test::GuiDialog;

constexpr kv::Pixel kRed = 0xCF222E;

class WipeBox : public GuiDialog {
  protected:
    void SetUp() override { start(1280, 800, true); }

    // The bar's row through its middle, from the box geometry.
    struct Bar {
        int32_t x, y, w;
    };
    Bar bar() const {
        int32_t lh = gui.line_height, g = gui.half_line;
        int32_t bw = 26 * lh, bh = 5 * lh + 3 * g + 30;
        int32_t x = (gui.width - bw) / 2, y = (gui.height - bh) / 2;
        return Bar{x + lh, y + lh + 8 + g + lh + 4, bw - 2 * lh};
    }
    // Red pixels along a row near the bar's top, above the percentage.
    int32_t red_run() const {
        Bar b = bar();
        int32_t n = 0;
        for (int32_t x = b.x; x < b.x + b.w; x++)
            n += screen(x, b.y + 4) == kRed ? 1 : 0;
        return n;
    }
    bool has_colour(kv::Pixel colour) const {
        Bar b = bar();
        for (int32_t y = b.y; y < b.y + gui.line_height; y++)
            for (int32_t x = b.x + b.w / 2 - 40; x < b.x + b.w / 2 + 40; x++)
                if (screen(x, y) == colour) return true;
        return false;
    }
};

TEST_F(WipeBox, BarFillStartsAtEightPixelsAndTheFigureTurnsWhite) {
    start(1280, 800, false); // no white cursor over the bar
    Bar b = bar();
    // The first percent that makes a whole pixel of fill (1 on any screen
    // of 640 pixels or more).
    int one_pixel = (100 + b.w - 1) / b.w;
    kv::gui_wipe_progress("Wiping", 1, 0, "detail");
    EXPECT_EQ(red_run(), 0);
    // 1% of a bar this wide is a few pixels; the fill is still 8 wide.
    kv::gui_wipe_progress("Wiping", 1, one_pixel, "detail");
    ASSERT_LT(one_pixel * b.w / 100, 8);
    EXPECT_EQ(red_run(), 8);

    kv::gui_wipe_progress("Wiping", 2, 49, "detail");
    EXPECT_NEAR(red_run(), 49 * b.w / 100, 2);
    EXPECT_FALSE(has_colour(0xFFFFFF)) << "white figure below 50%";
    kv::gui_wipe_progress("Wiping", 2, 50, "detail");
    EXPECT_TRUE(has_colour(0xFFFFFF)) << "dark figure at 50%";
    // Out-of-range percentages clamp the bar, not the figure.
    kv::gui_wipe_progress("Wiping", 2, 140, "detail");
    EXPECT_NEAR(red_run(), b.w, 2);
    kv::gui_wipe_progress("Wiping", 2, -5, "detail");
    EXPECT_EQ(red_run(), 0);

    std::vector<std::string> lines = trace_starting("wipe ");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("wipe Wiping pass 2 -5% detail stop at ", 0), 0u);
    EXPECT_EQ(trace_starting("wipe Wiping pass 1 0% detail stop at ").size(), 1u);
}

TEST_F(WipeBox, StopIsAskedForByEscapeOrAClickOnStop) {
    kv::gui_wipe_progress("Wiping", 1, 10, "12 MiB of 100 MiB");
    int32_t x = 0, y = 0;
    centre_of(trace_starting("wipe ").back(), &x, &y);
    EXPECT_FALSE(kv::gui_stop_requested()) << "nothing happened";
    sim::push_key(0, 'a');
    EXPECT_FALSE(kv::gui_stop_requested());
    sim::push_key(kv::SCAN_ESC, 0);
    EXPECT_TRUE(kv::gui_stop_requested());

    // A press outside Stop moves the pointer but does not stop; nor does
    // holding the button while moving onto Stop; a fresh press on it does.
    push_pointer(x - 200, y, true);
    EXPECT_FALSE(kv::gui_stop_requested());
    EXPECT_EQ(trace_lines().back(), "pointer " + std::to_string(x - 200) + "," + std::to_string(y));
    push_pointer(x, y, true);
    EXPECT_FALSE(kv::gui_stop_requested());
    EXPECT_EQ(trace_lines().back(), "pointer " + std::to_string(x) + "," + std::to_string(y));
    push_pointer(x, y, false);
    EXPECT_FALSE(kv::gui_stop_requested());
    push_pointer(x, y, true);
    EXPECT_TRUE(kv::gui_stop_requested());
}

TEST_F(WipeBox, WithoutAPointerOnlyKeysCount) {
    start(1280, 800, false);
    kv::gui_wipe_progress("Wiping", 1, 10, "");
    EXPECT_FALSE(kv::gui_stop_requested());
    sim::push_key(0, 0x1B);
    EXPECT_TRUE(kv::gui_stop_requested());
    EXPECT_TRUE(trace_starting("pointer").empty());
}

} // namespace
