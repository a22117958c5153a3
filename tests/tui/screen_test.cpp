#include "tests/tui/toolkit_fixture.h"

namespace toolkit_test {
namespace {

using kv::put_text;

class TuiPutText : public TuiToolkit {};

TEST_F(TuiPutText, FillsTheFieldInItsColoursAndLeavesTheNeighboursAlone) {
    put_text(5, 3, 10, kv::COLOR_YELLOW, kv::COLOR_BLUE, "abc");
    EXPECT_EQ(row(3), "     abc");
    for (int c = 5; c < 15; c++)
        EXPECT_EQ(attr(c, 3), kYellowOnBlue) << c;
    EXPECT_EQ(attr(4, 3), kMarker);
    EXPECT_EQ(attr(15, 3), kMarker);
}

TEST_F(TuiPutText, CutsTheTextToTheFieldInCharactersNotBytes) {
    put_text(0, 1, 4, kv::COLOR_WHITE, kv::COLOR_BLUE, "abcdefgh");
    put_text(0, 2, 2, kv::COLOR_WHITE, kv::COLOR_BLUE, "\xc3\xa9\xc3\xa9\xc3\xa9");
    EXPECT_EQ(row(1), "abcd");
    EXPECT_EQ(row(2), "\xc3\xa9\xc3\xa9");
    EXPECT_EQ(attr(4, 1), kMarker);
    EXPECT_EQ(attr(2, 2), kMarker);
}

TEST_F(TuiPutText, FieldPastTheRightEdgeIsCutWithoutWrapping) {
    put_text(75, 2, 10, kv::COLOR_WHITE, kv::COLOR_BLUE, "0123456789");
    EXPECT_EQ(row(2).substr(75), "01234");
    EXPECT_EQ(row(3), "");
    EXPECT_EQ(attr(0, 3), kMarker);
}

TEST_F(TuiPutText, NeverWritesTheBottomRightCell) {
    put_text(0, 0, 3, kv::COLOR_WHITE, kv::COLOR_BLUE, "top");
    put_text(0, 24, 80, kv::COLOR_WHITE, kv::COLOR_BLUE, std::string(80, 'x').c_str());
    EXPECT_EQ(row(24), std::string(79, 'x'));
    EXPECT_EQ(attr(78, 24), kWhiteOnBlue);
    EXPECT_EQ(attr(79, 24), kMarker);
    EXPECT_EQ(row(0), "top") << "the console scrolled";
    sim::clear_console_output();
    put_text(79, 24, 1, kv::COLOR_WHITE, kv::COLOR_BLUE, "y");
    EXPECT_TRUE(sim::console_output().empty());
    // Above the last row the last column is an ordinary cell.
    put_text(79, 23, 1, kv::COLOR_WHITE, kv::COLOR_BLUE, "z");
    EXPECT_EQ(row(23).substr(79), "z");
}

TEST_F(TuiPutText, DrawsNothingOutsideTheScreenOrWithoutWidth) {
    put_text(0, -1, 10, kv::COLOR_WHITE, kv::COLOR_BLUE, "a");
    put_text(0, 25, 10, kv::COLOR_WHITE, kv::COLOR_BLUE, "a");
    put_text(0, 3, 0, kv::COLOR_WHITE, kv::COLOR_BLUE, "a");
    put_text(0, 3, -4, kv::COLOR_WHITE, kv::COLOR_BLUE, "a");
    put_text(80, 3, 10, kv::COLOR_WHITE, kv::COLOR_BLUE, "a");
    EXPECT_TRUE(sim::console_output().empty());
}

TEST_F(TuiPutText, FieldLeftOfTheScreenLosesTheCellsOutside) {
    put_text(-2, 3, 5, kv::COLOR_WHITE, kv::COLOR_BLUE, "abcdef");
    EXPECT_EQ(row(3), "cde");
    EXPECT_EQ(attr(3, 3), kMarker);
}

TEST_F(TuiPutText, ControlCharactersShowAsQuestionMarks) {
    put_text(0, 5, 30, kv::COLOR_WHITE, kv::COLOR_BLUE, "ab\ncd\r\x1b[2J\x7f\t\xc0\x8a!");
    EXPECT_EQ(row(5), "ab?cd" + std::string(2, '?') + "[2J" + std::string(3, '?') + "!");
    EXPECT_EQ(row(6), "");
    EXPECT_EQ(attr(0, 6), kMarker);
    // C1 controls (U+0080-U+009F) as well; the letters around them stay.
    put_text(0, 8, 30, kv::COLOR_WHITE, kv::COLOR_BLUE,
             "x\xc2\x9b"
             "2Jy\xc2\x80\xc2\xa0\xc3\xa9");
    EXPECT_EQ(row(8), "x?2Jy?\u00a0\u00e9");
}

TEST_F(TuiPutText, NameWithALineBreakStaysInItsFieldOnOneRow) {
    put_text(10, 7, 12, kv::COLOR_BLACK, kv::COLOR_LIGHTGRAY, "EFI\n(Y/N)");
    EXPECT_EQ(row(7), std::string(10, ' ') + "EFI?(Y/N)");
    EXPECT_EQ(attr(21, 7), kBlackOnGray);
    EXPECT_EQ(attr(22, 7), kMarker);
    EXPECT_EQ(row(8), "");
}

TEST_F(TuiPutText, FormattedVariantComposesTheText) {
    kv::put_text_f(2, 4, 20, kv::COLOR_WHITE, kv::COLOR_BLUE, "Disk %d: %s", 3, "a\nb");
    EXPECT_EQ(row(4), "  Disk 3: a?b");
}

TEST_F(TuiToolkit, SegmentsAreCutAtTheEndColumnAndReturnTheNextColumn) {
    kv::text_cursor_to(3, 7);
    int next = kv::put_segment(3, 8, kv::COLOR_WHITE, kv::COLOR_BLUE, "hello world");
    EXPECT_EQ(next, 8);
    next = kv::put_segment(next, 20, kv::COLOR_BLACK, kv::COLOR_LIGHTGRAY, "x\ny");
    EXPECT_EQ(next, 11);
    EXPECT_EQ(kv::put_segment(next, next, kv::COLOR_BLACK, kv::COLOR_LIGHTGRAY, "z"), 11);
    EXPECT_EQ(row(7), "   hellox?y");
    EXPECT_EQ(attr(7, 7), kWhiteOnBlue);
    EXPECT_EQ(attr(8, 7), kBlackOnGray);
    EXPECT_EQ(row(8), "");
}

TEST_F(TuiToolkit, HeaderPutsTheRightTextAgainstTheLastColumn) {
    kv::draw_header("Korvane", "9.8.7");
    std::string r = row(0);
    EXPECT_EQ(r.substr(0, 8), " Korvane");
    EXPECT_EQ(r.substr(74), "9.8.7");
    EXPECT_EQ(attr(73, 0), kWhiteOnBlue);
    EXPECT_EQ(attr(74, 0), kYellowOnBlue);
    EXPECT_EQ(attr(79, 0), kYellowOnBlue);
}

TEST_F(TuiToolkit, ClearBodyBlanksOnlyTheRowsBetweenHeaderAndBars) {
    for (int r = 0; r < 25; r++)
        put_text(0, r, 5, kv::COLOR_WHITE, kv::COLOR_BLUE, "xxxxx");
    kv::clear_body();
    EXPECT_EQ(row(0), "xxxxx");
    EXPECT_EQ(row(23), "xxxxx");
    for (int r = 1; r <= 22; r++) {
        EXPECT_EQ(row(r), "") << r;
        EXPECT_EQ(attr(0, r), kGrayOnBlack) << r;
        EXPECT_EQ(attr(79, r), kGrayOnBlack) << r;
    }
}

TEST_F(TuiToolkit, ScreenSizeFollowsTheModeWithAFloorOf40By12) {
    use_screen(100, 31);
    EXPECT_EQ(kv::g_columns, 100);
    EXPECT_EQ(kv::g_rows, 31);
    use_screen(30, 10);
    EXPECT_EQ(kv::g_columns, 40);
    EXPECT_EQ(kv::g_rows, 12);
    sim::fail_query_mode(true);
    kv::refresh_screen_size();
    EXPECT_EQ(kv::g_columns, 80);
    EXPECT_EQ(kv::g_rows, 25);
}

class TuiKeyBars : public TuiToolkit {
  protected:
    // Widths of the upper bar: 55 with padded key names, 45 bare, 35
    // without titles; the lower bar is always narrower.
    const kv::KeyHint upper_pairs[5] = {
        {"N", "New"}, {"D", "Del"}, {"T", "Typ"}, {"W", "Wip"}, {"Q", "Quit"}};
    const kv::KeyHint lower_pairs[1] = {{"Esc", "Back"}};
    const kv::KeyBar upper{"Partition", upper_pairs, 5};
    const kv::KeyBar lower{"Disk", lower_pairs, 1};

    void draw_at(uint32_t columns) {
        use_screen(columns, 25);
        kv::draw_key_bars(&upper, &lower);
    }
};

TEST_F(TuiKeyBars, PaddedKeyNamesWithTitlesWhenTheyFit) {
    draw_at(80);
    EXPECT_EQ(row(23), " Partition  N  New   D  Del   T  Typ   W  Wip   Q  Quit");
    EXPECT_EQ(row(24), " Disk       Esc  Back");
    EXPECT_EQ(attr(10, 23), kBlackOnGray);
    EXPECT_EQ(attr(11, 23), kWhiteOnBlue);
    EXPECT_EQ(attr(13, 23), kWhiteOnBlue);
    EXPECT_EQ(attr(14, 23), kBlackOnGray);
    EXPECT_EQ(attr(78, 23), kBlackOnGray);
    EXPECT_EQ(attr(79, 23), kMarker);
    EXPECT_EQ(attr(78, 24), kBlackOnGray);
    EXPECT_EQ(attr(79, 24), kMarker);
}

TEST_F(TuiKeyBars, BareKeyNamesWhenPaddingDoesNotFit) {
    draw_at(50);
    EXPECT_EQ(row(23), " Partition N New  D Del  T Typ  W Wip  Q Quit");
    EXPECT_EQ(row(24), " Disk      Esc Back");
    EXPECT_EQ(attr(11, 23), kWhiteOnBlue);
    EXPECT_EQ(attr(12, 23), kBlackOnGray);
}

TEST_F(TuiKeyBars, TitlesDroppedWhenNothingElseFits) {
    draw_at(40);
    EXPECT_EQ(row(23), " N New  D Del  T Typ  W Wip  Q Quit");
    EXPECT_EQ(row(24), " Esc Back");
    EXPECT_EQ(attr(1, 24), kWhiteOnBlue);
    EXPECT_EQ(attr(3, 24), kWhiteOnBlue);
    EXPECT_EQ(attr(4, 24), kBlackOnGray);
}

TEST_F(TuiKeyBars, WidthEqualToTheColumnsDoesNotFit) {
    draw_at(55);
    EXPECT_EQ(row(23).substr(0, 13), " Partition N ");
}

TEST_F(TuiKeyBars, SingleBarGoesToTheLastRowAboveABlankRow) {
    use_screen(80, 25);
    kv::draw_key_bars(&lower, nullptr);
    EXPECT_EQ(row(23), "");
    EXPECT_EQ(attr(0, 23), kBlackOnGray);
    EXPECT_EQ(attr(78, 23), kBlackOnGray);
    EXPECT_EQ(row(24), " Disk  Esc  Back");
    EXPECT_EQ(attr(79, 24), kMarker);
}

} // namespace
} // namespace toolkit_test
