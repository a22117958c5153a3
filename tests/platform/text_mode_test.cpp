#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/globals.h"
#include "sim/firmware.h"

namespace {

class TextScreen : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        out = sim::system_table()->ConOut;
    }
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = nullptr;
};

using TextModeChoose = TextScreen;

TEST_F(TextModeChoose, PicksTheSmallestModeThatFits) {
    sim::set_text_modes({{80, 25}, {100, 31}, {128, 40}, {100, 25}});
    ASSERT_TRUE(kv::text_mode_choose(100, 25));
    EXPECT_EQ(kv::text_mode_current(), 3);
    EXPECT_EQ(sim::screen_columns(), 100u);
    EXPECT_EQ(sim::screen_rows(), 25u);
}

TEST_F(TextModeChoose, FewerColumnsWinOverFewerRows) {
    sim::set_text_modes({{80, 25}, {128, 26}, {100, 40}});
    ASSERT_TRUE(kv::text_mode_choose(100, 25));
    EXPECT_EQ(kv::text_mode_current(), 2);
}

TEST_F(TextModeChoose, EqualSizesKeepTheLowerModeNumber) {
    sim::set_text_modes({{80, 25}, {100, 31}, {100, 31}});
    ASSERT_TRUE(kv::text_mode_choose(100, 25));
    EXPECT_EQ(kv::text_mode_current(), 1);
}

TEST_F(TextModeChoose, SkipsModesTheFirmwareCannotShow) {
    sim::set_text_modes({{80, 25}, {0, 0}, {100, 31}});
    ASSERT_TRUE(kv::text_mode_choose(100, 25));
    EXPECT_EQ(kv::text_mode_current(), 2);
}

TEST_F(TextModeChoose, NoFittingModeChangesNothing) {
    size_t clears = sim::console_clear_count();
    EXPECT_FALSE(kv::text_mode_choose(100, 25));
    EXPECT_EQ(kv::text_mode_current(), 0);
    EXPECT_EQ(sim::console_clear_count(), clears);
}

TEST_F(TextModeChoose, BestModeAlreadyCurrentChangesNothing) {
    sim::set_text_modes({{100, 25}, {128, 40}});
    size_t clears = sim::console_clear_count();
    EXPECT_FALSE(kv::text_mode_choose(100, 25));
    EXPECT_EQ(kv::text_mode_current(), 0);
    EXPECT_EQ(sim::console_clear_count(), clears);
}

EFI_STATUS EFIAPI refuse_mode(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL*, UINTN) {
    return EFI_DEVICE_ERROR;
}

TEST_F(TextModeChoose, FailedSwitchReportsFalse) {
    sim::set_text_modes({{80, 25}, {100, 31}});
    auto set_mode = out->SetMode;
    out->SetMode = refuse_mode;
    EXPECT_FALSE(kv::text_mode_choose(100, 25));
    out->SetMode = set_mode;
    EXPECT_EQ(kv::text_mode_current(), 0);
}

TEST_F(TextScreen, SizeFollowsTheCurrentMode) {
    sim::set_text_modes({{80, 25}, {100, 31}});
    int columns = 0, rows = 0;
    kv::text_size(&columns, &rows);
    EXPECT_EQ(columns, 80);
    EXPECT_EQ(rows, 25);
    kv::text_mode_set(1);
    kv::text_size(&columns, &rows);
    EXPECT_EQ(columns, 100);
    EXPECT_EQ(rows, 31);
}

TEST_F(TextScreen, SizeIs80By25WhenQueryModeFails) {
    sim::set_text_modes({{80, 25}, {100, 31}});
    kv::text_mode_set(1);
    sim::fail_query_mode(true);
    int columns = 0, rows = 0;
    kv::text_size(&columns, &rows);
    EXPECT_EQ(columns, 80);
    EXPECT_EQ(rows, 25);
}

TEST_F(TextScreen, ModeSetSkipsTheCurrentMode) {
    sim::set_text_modes({{80, 25}, {100, 31}});
    kv::console_write("kept", 4);
    size_t clears = sim::console_clear_count();
    kv::text_mode_set(0);
    EXPECT_EQ(sim::console_clear_count(), clears);
    EXPECT_EQ(sim::screen_text(0), "kept");
    kv::text_mode_set(1);
    EXPECT_EQ(kv::text_mode_current(), 1);
    EXPECT_EQ(sim::screen_text(0), "");
}

TEST_F(TextScreen, ColourPacksForegroundAndBackground) {
    kv::text_set_color(14, 1);
    EXPECT_EQ(sim::console_attribute(), 0x1Eu);
    // Out-of-range parts are cut to their fields; a background of 8 or more
    // would otherwise set the blink bit, which SetAttribute refuses.
    kv::text_set_color(0x1F, 0x0F);
    EXPECT_EQ(sim::console_attribute(), 0x7Fu);
    kv::text_set_color(3, 8);
    EXPECT_EQ(sim::console_attribute(), 0x03u);
}

TEST_F(TextScreen, RestoreAttributeUsesTheOneSavedAtStartUp) {
    kv::g_saved_attribute = 0x1E;
    kv::text_set_color(15, 4);
    kv::text_restore_attribute();
    EXPECT_EQ(sim::console_attribute(), 0x1Eu);
}

TEST_F(TextScreen, ClearBlanksInTheCurrentColourAndHomesTheCursor) {
    kv::console_write("hello\nworld", 11);
    kv::text_set_color(15, 1);
    kv::text_clear();
    EXPECT_EQ(sim::screen_text(0), "");
    EXPECT_EQ(sim::screen_text(1), "");
    EXPECT_EQ(sim::screen_attribute(0, 0), 0x1F);
    EXPECT_EQ(sim::screen_attribute(79, 24), 0x1F);
    EXPECT_EQ(out->Mode->CursorColumn, 0);
    EXPECT_EQ(out->Mode->CursorRow, 0);
}

TEST_F(TextScreen, CursorMovesAndShows) {
    kv::text_cursor_to(5, 3);
    kv::console_write("x", 1);
    EXPECT_EQ(sim::screen_text(3), "     x");
    kv::text_cursor_to(-1, 0); // refused by the firmware: cursor stays
    EXPECT_EQ(out->Mode->CursorColumn, 6);
    EXPECT_EQ(out->Mode->CursorRow, 3);
    kv::text_cursor_show(true);
    EXPECT_TRUE(sim::console_cursor_visible());
    kv::text_cursor_show(false);
    EXPECT_FALSE(sim::console_cursor_visible());
}

} // namespace
