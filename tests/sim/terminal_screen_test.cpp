#include "sim/terminal_screen.h"

#include <gtest/gtest.h>

#include <string>

#include "sim/firmware.h"

namespace {

using sim::ScreenImage;
using sim::ScreenPainter;

ScreenImage blank(size_t columns, size_t rows) {
    ScreenImage s;
    s.columns = columns;
    s.rows = rows;
    s.cells.assign(columns * rows, sim::ScreenCell{u' ', 0x07});
    return s;
}

void put(ScreenImage* s, size_t column, size_t row, const std::u16string& text,
         uint8_t attribute = 0x07) {
    for (size_t i = 0; i < text.size(); i++)
        s->cells[row * s->columns + column + i] = sim::ScreenCell{text[i], attribute};
}

TEST(ScreenPainter, FirstPaintClearsAndDrawsEveryCellInItsColours) {
    ScreenImage s = blank(4, 2);
    put(&s, 0, 0, u"ab", 0x1F); // white on blue
    put(&s, 0, 1, u"c", 0x4E);  // yellow on red
    ScreenPainter p;
    std::string out = p.paint(s, 80, 25);
    EXPECT_EQ(out.rfind("\x1b[0m\x1b[2J", 0), 0u);
    EXPECT_NE(out.find("\x1b[1;1H\x1b[0;97;44mab\x1b[0;37;40m  "), std::string::npos) << out;
    EXPECT_NE(out.find("\x1b[2;1H\x1b[0;93;41mc"), std::string::npos) << out;
    EXPECT_NE(out.find("\x1b[?25l"), std::string::npos);
}

TEST(ScreenPainter, EveryUefiColourMapsToItsAnsiColour) {
    // UEFI order: black blue green cyan red magenta brown light-gray, then
    // the bright ones; ANSI order: black red green yellow blue magenta cyan
    // white.
    const int fg[16] = {30, 34, 32, 36, 31, 35, 33, 37, 90, 94, 92, 96, 91, 95, 93, 97};
    const int bg[8] = {40, 44, 42, 46, 41, 45, 43, 47};
    for (int b = 0; b < 8; b++) {
        for (int f = 0; f < 16; f++) {
            ScreenImage s = blank(1, 1);
            put(&s, 0, 0, u"x", uint8_t(b << 4 | f));
            std::string sgr =
                "\x1b[0;" + std::to_string(fg[f]) + ";" + std::to_string(bg[b]) + "mx";
            EXPECT_NE(ScreenPainter().paint(s, 80, 25).find(sgr), std::string::npos)
                << "attribute " << (b << 4 | f);
        }
    }
}

TEST(ScreenPainter, LaterPaintsSendOnlyTheCellsThatChanged) {
    ScreenImage s = blank(10, 3);
    put(&s, 0, 0, u"hello");
    ScreenPainter p;
    p.paint(s, 80, 25);
    EXPECT_EQ(p.paint(s, 80, 25), "");
    put(&s, 7, 2, u"Z", 0x70);
    std::string out = p.paint(s, 80, 25);
    EXPECT_EQ(out, "\x1b[3;8H\x1b[0;30;47mZ");
    // A changed attribute alone is a change.
    put(&s, 7, 2, u"Z", 0x07);
    EXPECT_EQ(p.paint(s, 80, 25), "\x1b[3;8H\x1b[0;37;40mZ");
    // Neighbouring changes need no second move.
    put(&s, 1, 1, u"xy");
    EXPECT_EQ(p.paint(s, 80, 25), "\x1b[2;2H\x1b[0;37;40mxy");
}

TEST(ScreenPainter, InvalidateDrawsEverythingAgain) {
    ScreenImage s = blank(3, 1);
    put(&s, 0, 0, u"abc");
    ScreenPainter p;
    p.paint(s, 80, 25);
    p.invalidate();
    std::string out = p.paint(s, 80, 25);
    EXPECT_NE(out.find("\x1b[2J"), std::string::npos);
    EXPECT_NE(out.find("abc"), std::string::npos);
    // So does a change of the console's size.
    ScreenImage wider = blank(4, 1);
    put(&wider, 0, 0, u"abc");
    EXPECT_NE(p.paint(wider, 80, 25).find("\x1b[2J"), std::string::npos);
}

TEST(ScreenPainter, CursorFollowsTheConsole) {
    ScreenImage s = blank(10, 5);
    ScreenPainter p;
    p.paint(s, 80, 25);
    s.cursor_visible = true;
    s.cursor_column = 3;
    s.cursor_row = 4;
    EXPECT_EQ(p.paint(s, 80, 25), "\x1b[5;4H\x1b[?25h");
    // Still shown: only the position is sent again.
    EXPECT_EQ(p.paint(s, 80, 25), "\x1b[5;4H");
    s.cursor_visible = false;
    EXPECT_EQ(p.paint(s, 80, 25), "\x1b[?25l");
}

TEST(ScreenPainter, ClipsToTheTerminal) {
    ScreenImage s = blank(6, 3);
    put(&s, 0, 0, u"abcdef");
    put(&s, 0, 2, u"ghi");
    s.cursor_visible = true;
    s.cursor_column = 5;
    ScreenPainter p;
    std::string out = p.paint(s, 4, 2);
    EXPECT_NE(out.find("abcd"), std::string::npos);
    EXPECT_EQ(out.find('e'), std::string::npos);
    EXPECT_EQ(out.find('g'), std::string::npos);
    // A cursor outside the terminal is hidden rather than put somewhere else.
    EXPECT_NE(out.find("\x1b[?25l"), std::string::npos);
    EXPECT_EQ(out.find("\x1b[?25h"), std::string::npos);
}

TEST(ScreenPainter, ControlsInCellsCannotDriveTheTerminal) {
    ScreenImage s = blank(4, 1);
    put(&s, 0, 0, u"\x1b\x07\x9b\xD800");
    ScreenPainter p;
    std::string out = p.paint(s, 80, 25);
    EXPECT_NE(out.find("???\xEF\xBF\xBD"), std::string::npos) << out;
    EXPECT_EQ(out.find('\x07'), std::string::npos);
    EXPECT_EQ(out.find("\xC2\x9B"), std::string::npos);
}

TEST(ScreenPainter, WideCharacterIsFollowedByAnExplicitMove) {
    ScreenImage s = blank(4, 1);
    put(&s, 0, 0, u"中ab");
    ScreenPainter p;
    std::string out = p.paint(s, 80, 25);
    EXPECT_NE(out.find("中\x1b[1;2Hab"), std::string::npos) << out;
}

TEST(ScreenCapture, TakesTheConsoleGridCursorAndText) {
    sim::reset();
    EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL* out = sim::system_table()->ConOut;
    out->SetAttribute(out, 0x1E);
    std::u16string text = u"A\tb";
    out->SetCursorPosition(out, 2, 1);
    out->OutputString(out, text.data());
    out->EnableCursor(out, TRUE);
    ScreenImage s = sim::capture_screen();
    ASSERT_EQ(s.columns, 80u);
    ASSERT_EQ(s.rows, 25u);
    EXPECT_EQ(s.cells[80 + 2].ch, u'A');
    EXPECT_EQ(s.cells[80 + 3].ch, u'\t');
    EXPECT_EQ(s.cells[80 + 2].attribute, 0x1E);
    EXPECT_EQ(s.cells[0].attribute, 0x07);
    EXPECT_EQ(s.cursor_column, 5u);
    EXPECT_EQ(s.cursor_row, 1u);
    EXPECT_TRUE(s.cursor_visible);
    // As text: one line per row, blanks at the end dropped, controls shown.
    std::string dump = sim::screen_as_text(s);
    EXPECT_EQ(dump, "\n  A?b\n" + std::string(23, '\n'));
}

} // namespace
