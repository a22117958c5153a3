#include <cstring>

#include "tests/tui/toolkit_fixture.h"

namespace toolkit_test {
namespace {

class TuiDialogBox : public TuiToolkit {};

TEST_F(TuiDialogBox, OnA80By25ScreenIs70WideWith66CellsOfText) {
    std::string text = std::string(66, 'a') + " " + std::string(3, 'b');
    kv::Box box = kv::dialog_box(false, "Title", text.c_str(), 0);
    EXPECT_EQ(box.width, 70);
    EXPECT_EQ(box.left, 5);
    EXPECT_EQ(box.height, 5);
    EXPECT_EQ(box.top, 10);
    EXPECT_EQ(row(10), "      Title");
    EXPECT_EQ(row(12), std::string(7, ' ') + std::string(66, 'a'));
    EXPECT_EQ(row(13), std::string(7, ' ') + "bbb");
    EXPECT_EQ(attr(5, 10), kWhiteOnBlue);
    EXPECT_EQ(attr(74, 10), kWhiteOnBlue);
    EXPECT_EQ(attr(5, 14), kBlackOnGray);
    EXPECT_EQ(attr(74, 14), kBlackOnGray);
    EXPECT_EQ(attr(4, 12), kMarker);
    EXPECT_EQ(attr(75, 12), kMarker);
    EXPECT_EQ(attr(5, 15), kMarker);
    EXPECT_EQ(box.foreground, kv::COLOR_BLACK);
    EXPECT_EQ(box.background, kv::COLOR_LIGHTGRAY);
}

TEST_F(TuiDialogBox, OnA40By12ScreenIs36WideWith32CellsOfText) {
    use_screen(40, 12);
    kv::Box box = kv::dialog_box(true, "Warn", std::string(40, 'b').c_str(), 1);
    EXPECT_EQ(box.width, 36);
    EXPECT_EQ(box.left, 2);
    EXPECT_EQ(box.height, 6);
    EXPECT_EQ(box.top, 3);
    EXPECT_EQ(row(5), "    " + std::string(32, 'b'));
    EXPECT_EQ(row(6), "    " + std::string(8, 'b'));
    EXPECT_EQ(attr(2, 3), kYellowOnRed);
    EXPECT_EQ(attr(37, 8), kWhiteOnRed);
    EXPECT_EQ(box.foreground, kv::COLOR_WHITE);
    EXPECT_EQ(box.background, kv::COLOR_RED);
}

TEST_F(TuiDialogBox, WrapsAtTheLastSpaceUpToAndIncludingTheWidth) {
    use_screen(40, 12);
    std::string text = std::string(20, 'x') + " " + std::string(11, 'y') + "    " + "zz z";
    kv::Box box = kv::dialog_box(false, "T", text.c_str(), 0);
    EXPECT_EQ(box.height, 5);
    EXPECT_EQ(row(box.top + 2), "    " + std::string(20, 'x') + " " + std::string(11, 'y'));
    EXPECT_EQ(row(box.top + 3), "    zz z");
}

TEST_F(TuiDialogBox, LineFeedsSplitParagraphsAndATrailingOneAddsNoLine) {
    kv::Box box = kv::dialog_box(false, "T", "one\n\ntwo\n", 0);
    EXPECT_EQ(box.height, 6);
    EXPECT_EQ(row(box.top + 2), "       one");
    EXPECT_EQ(row(box.top + 3), "");
    EXPECT_EQ(attr(10, box.top + 3), kBlackOnGray);
    EXPECT_EQ(row(box.top + 4), "       two");
}

TEST_F(TuiDialogBox, OtherControlCharactersShowAsQuestionMarks) {
    kv::Box box = kv::dialog_box(false, "T", "a\tb\rc", 0);
    EXPECT_EQ(box.height, 4);
    EXPECT_EQ(row(box.top + 2), "       a?b?c");
}

TEST_F(TuiDialogBox, KeepsAtMost16LinesAndStartsAtRow1WhenTooTall) {
    std::string text;
    for (int i = 1; i <= 20; i++)
        text += "line " + std::to_string(i) + "\n";
    kv::Box box = kv::dialog_box(false, "T", text.c_str(), 0);
    EXPECT_EQ(box.height, 19);
    EXPECT_EQ(box.top, 3);
    EXPECT_EQ(row(20), "       line 16");
    EXPECT_EQ(row(21), "");
    EXPECT_EQ(attr(5, 21), kBlackOnGray);
    EXPECT_EQ(attr(5, 22), kMarker);

    use_screen(40, 12);
    box = kv::dialog_box(false, "T", text.c_str(), 0);
    EXPECT_EQ(box.top, 1);
    EXPECT_EQ(row(11), "    line 9");
}

class TuiMessageBox : public TuiToolkit {};

TEST_F(TuiMessageBox, CapitalisesTheFirstLetterAndWaitsForAKey) {
    const char* text = "cannot open the file";
    sim::push_key(kv::SCAN_UP, 0);
    run_dialog([&] { kv::message_box(false, "Restore", text); });
    // Height 1 + 1 + 3 on 25 rows: top 10, the last row 14.
    EXPECT_EQ(row(12), "       Cannot open the file");
    EXPECT_EQ(row(14), "       Press a key.");
    EXPECT_EQ(attr(7, 14), kBlackOnGray);
}

TEST_F(TuiMessageBox, OnlyALowerCaseAsciiLetterIsChanged) {
    sim::push_key(0, u'q');
    sim::push_key(0, u'q');
    run_dialog([] {
        kv::message_box(true, "A", "1 partition");
        kv::message_box(true, "B", "\xc3\xa9t\xc3\xa9");
    });
    EXPECT_EQ(row(12), "       \xc3\xa9t\xc3\xa9");
    EXPECT_EQ(attr(7, 12), kWhiteOnRed);
    EXPECT_EQ(attr(5, 10), kYellowOnRed);
}

TEST_F(TuiMessageBox, CopiesAtMost399BytesWithoutSplittingACharacter) {
    std::string text = std::string(398, 'a') + "\xc3\xa9" + "tail";
    sim::push_key(0, u' ');
    run_dialog([&] { kv::message_box(false, "T", text.c_str()); });
    // 398 cells wrap into six lines of 66 and one of 2 (rows 9 to 15); the
    // cut character must not leave a stray byte behind.
    EXPECT_EQ(row(15), "       aa");
    EXPECT_EQ(row(17), "       Press a key.");
}

class TuiConfirmBox : public TuiToolkit {};

TEST_F(TuiConfirmBox, IgnoresOtherKeysUntilYesOrNo) {
    bool answer = false;
    sim::push_key(kv::SCAN_DOWN, 0);
    type("qx\r");
    type("Y");
    run_dialog([&] { answer = kv::confirm_box(true, "Write", "Write it? (Y/N)"); });
    EXPECT_TRUE(answer);
    EXPECT_EQ(row(12), "       Write it? (Y/N)");
    EXPECT_EQ(attr(5, 13), kWhiteOnRed);
    EXPECT_EQ(attr(5, 14), kMarker);
}

TEST_F(TuiConfirmBox, LowerCaseAnswersAndBothEscapeFormsSayNo) {
    bool answers[5] = {false, true, true, true, true};
    type("y");
    type("n");
    type("N");
    press(kv::SCAN_ESC);
    type("\x1b");
    run_dialog([&] {
        for (bool& a : answers)
            a = kv::confirm_box(false, "T", "Sure? (Y/N)");
    });
    EXPECT_TRUE(answers[0]);
    for (int i = 1; i < 5; i++)
        EXPECT_FALSE(answers[i]) << i;
}

} // namespace
} // namespace toolkit_test
