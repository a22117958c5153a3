#include <cstring>

#include "tests/tui/toolkit_fixture.h"

namespace toolkit_test {
namespace {

// On 80 x 25 with a one-line prompt the box is 6 rows high from row 9: the
// field is on row 13 from column 7, 66 cells wide, the key hint on row 14.
constexpr int kFieldRow = 13;
constexpr int kFieldColumn = 7;

class TuiInputBox : public TuiToolkit {
  protected:
    char buffer[64] = {};
    bool accepted = false;

    void run(const char* initial, size_t capacity = 64) {
        std::strcpy(buffer, initial);
        run_dialog([&] { accepted = kv::input_box(false, "Name", "Name:", buffer, capacity); });
    }
};

TEST_F(TuiInputBox, LetterFirstReplacesTheInitialText) {
    type("x\r");
    run("abc");
    EXPECT_TRUE(accepted);
    EXPECT_STREQ(buffer, "x");
    EXPECT_EQ(row(14), "       Enter OK    Esc Cancel");
}

TEST_F(TuiInputBox, LeftOrEndFirstKeepTheTextForEditing) {
    press(kv::SCAN_LEFT);
    type("x\r");
    run("abc");
    EXPECT_STREQ(buffer, "abxc");
    press(kv::SCAN_END);
    type("y\r");
    run("abc");
    EXPECT_STREQ(buffer, "abcy");
    press(kv::SCAN_HOME);
    type("z\r");
    run("abc");
    EXPECT_STREQ(buffer, "zabc");
}

TEST_F(TuiInputBox, RightAtTheEndOrOtherIdleKeysKeepTheSelection) {
    press(kv::SCAN_RIGHT);
    press(kv::SCAN_UP);
    press(kv::SCAN_F5);
    type("\x01");
    press(kv::SCAN_DELETE);
    type("x\r");
    run("abc");
    EXPECT_STREQ(buffer, "x");
}

TEST_F(TuiInputBox, MovesAndDeletesWholeUtf8Characters) {
    press(kv::SCAN_LEFT);
    press(kv::SCAN_LEFT);
    type("\x08\r");
    run("a\xc3\xa9"
        "b");
    EXPECT_STREQ(buffer, "\xc3\xa9"
                         "b");

    press(kv::SCAN_HOME);
    press(kv::SCAN_DELETE);
    press(kv::SCAN_DELETE);
    type("\x7f");
    sim::push_key(0, u'\u20ac');
    type("\n");
    run("a\xc3\xa9"
        "b");
    EXPECT_TRUE(accepted);
    EXPECT_STREQ(buffer, "\xe2\x82\xac"
                         "b");
}

TEST_F(TuiInputBox, BackspaceAtTheEndRemovesTheLastCharacter) {
    type("\x7f\x08\r");
    run("ab\xc3\xa9");
    EXPECT_STREQ(buffer, "a");
}

TEST_F(TuiInputBox, InsertionMustLeaveRoomForTheTerminator) {
    press(kv::SCAN_END);
    type("de\r");
    run("abc", 5);
    EXPECT_STREQ(buffer, "abcd");

    press(kv::SCAN_END);
    sim::push_key(0, u'\u00e9');
    type("\r");
    run("abc", 5);
    EXPECT_STREQ(buffer, "abc");
}

TEST_F(TuiInputBox, FullBufferCanStillBeReplaced) {
    type("x\r");
    run("abc", 4);
    EXPECT_STREQ(buffer, "x");
}

TEST_F(TuiInputBox, RefusedInsertionStillEndsTheSelection) {
    sim::push_key(0, u'\u00e9');
    type("b\r");
    run("a", 2);
    EXPECT_STREQ(buffer, "a");
}

TEST_F(TuiInputBox, EscapeCancelsButKeepsWhatWasTyped) {
    type("x");
    press(kv::SCAN_ESC);
    run("abc");
    EXPECT_FALSE(accepted);
    EXPECT_STREQ(buffer, "x");
    type("y\x1b");
    run("abc");
    EXPECT_FALSE(accepted);
    EXPECT_STREQ(buffer, "y");
}

TEST_F(TuiInputBox, InitialTextIsSelectedUntilEditingStarts) {
    press(kv::SCAN_UP);
    press(kv::SCAN_ESC);
    run("abc");
    EXPECT_EQ(row(kFieldRow), "       abc");
    for (int c = kFieldColumn; c < kFieldColumn + 3; c++)
        EXPECT_EQ(attr(c, kFieldRow), kWhiteOnBlue) << c;
    EXPECT_EQ(attr(kFieldColumn + 3, kFieldRow), kBlackOnGray);
    EXPECT_EQ(attr(kFieldColumn + 65, kFieldRow), kBlackOnGray);
    EXPECT_EQ(attr(kFieldColumn + 66, kFieldRow), kBlackOnGray) << "box border";

    press(kv::SCAN_LEFT);
    press(kv::SCAN_ESC);
    run("abc");
    EXPECT_EQ(attr(kFieldColumn, kFieldRow), kBlackOnGray);
}

TEST_F(TuiInputBox, CursorIsShownWhileOpenAndHiddenAfter) {
    std::vector<bool> visible;
    std::vector<int> columns;
    sim::set_idle_hook([&] {
        visible.push_back(sim::console_cursor_visible());
        columns.push_back(cursor_column());
        return false;
    });
    sim::push_key_at(10000000, kv::SCAN_LEFT, 0);
    sim::push_key_at(20000000, 0, u'\r');
    run("abc");
    sim::set_idle_hook(nullptr);
    ASSERT_EQ(visible.size(), 2u);
    EXPECT_TRUE(visible[0]);
    EXPECT_TRUE(visible[1]);
    EXPECT_EQ(columns[0], kFieldColumn + 3);
    EXPECT_EQ(columns[1], kFieldColumn + 2);
    EXPECT_FALSE(sim::console_cursor_visible());
}

TEST_F(TuiInputBox, LongTextScrollsSoTheCursorStaysInTheLastCell) {
    use_screen(40, 12);
    // Box from row 3: field on row 7 from column 4, 32 cells.
    const char* text = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    press(kv::SCAN_ESC);
    run(text);
    EXPECT_EQ(row(7), "    9abcdefghijklmnopqrstuvwxyzABCD");
    EXPECT_EQ(cursor_column(), 4 + 31);
    EXPECT_EQ(cursor_row(), 7);

    press(kv::SCAN_HOME);
    press(kv::SCAN_ESC);
    run(text);
    EXPECT_EQ(row(7), "    0123456789abcdefghijklmnopqrstuv");
    EXPECT_EQ(cursor_column(), 4);

    // Exactly as wide as the field: the first character scrolls out.
    press(kv::SCAN_ESC);
    run("0123456789abcdefghijklmnopqrstuv");
    EXPECT_EQ(row(7), "    123456789abcdefghijklmnopqrstuv");
    EXPECT_EQ(cursor_column(), 4 + 31);
}

TEST_F(TuiInputBox, UnterminatedInitialTextIsCutToTheCapacity) {
    std::memset(buffer, 'q', sizeof buffer);
    press(kv::SCAN_END);
    type("\r");
    run_dialog([&] { accepted = kv::input_box(false, "T", "P", buffer, 4); });
    EXPECT_STREQ(buffer, "qqq");
}

} // namespace
} // namespace toolkit_test
