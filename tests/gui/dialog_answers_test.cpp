// The message, confirm and input dialogs answered with keys and clicks,
// the input field's editing, and the trace lines in their order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/keyboard.h"
#include "tests/gui/dialog_fixture.h"

namespace {

using dialog_test::GuiDialog;

class DialogAnswers : public GuiDialog {
  protected:
    void SetUp() override { start(1280, 800, true); }

    // Clicks the button the trace placed under `label` in the latest dialog.
    void click_button(const std::string& label) {
        when_waiting([this, label] {
            std::vector<std::string> buttons = trace_starting("dbutton ");
            for (auto it = buttons.rbegin(); it != buttons.rend(); ++it) {
                const std::string& line = *it;
                if (line.find(" " + label + " at ") == std::string::npos) continue;
                int32_t x = 0, y = 0;
                centre_of(line, &x, &y);
                push_click(x, y);
                return;
            }
            ADD_FAILURE() << "no button " << label;
        });
    }

    std::string input(const char* initial, size_t capacity = 32, bool* accepted = nullptr) {
        char buffer[64] = {};
        std::strcpy(buffer, initial);
        bool ok = false;
        run([&] { ok = kv::gui_input(false, "Name", "Partition name:", buffer, capacity); });
        if (accepted) *accepted = ok;
        return buffer;
    }
};

TEST_F(DialogAnswers, MessageCapitalisesButConfirmDoesNot) {
    key(0, 'q');
    run([] { kv::gui_message(true, "Backup", "the file is not a backup"); });
    key(0, 'n');
    bool yes = true;
    run([&] { yes = kv::gui_confirm(false, "Ask", "lower case? (Y/N)"); });
    EXPECT_FALSE(yes);
    std::vector<std::string> dialogs = trace_starting("dialog ");
    ASSERT_EQ(dialogs.size(), 6u);
    EXPECT_EQ(dialogs[0], "dialog Backup (warning): The file is not a backup");
    EXPECT_EQ(dialogs[3], "dialog Ask: lower case? (Y/N)");
}

TEST_F(DialogAnswers, ConfirmAnswersOnlyItsKeysAndButtons) {
    struct Case {
        std::vector<std::pair<uint16_t, char16_t>> keys;
        bool yes;
    };
    std::vector<Case> cases = {
        {{{0, 'a'}, {kv::SCAN_UP, 0}, {0, '\r'}, {0, 'Y'}}, true},
        {{{0, 'y'}}, true},
        {{{0, 'N'}}, false},
        {{{kv::SCAN_ESC, 0}}, false},
        {{{0, 0x1B}}, false},
    };
    for (const Case& c : cases) {
        for (auto [scan, ch] : c.keys)
            key(scan, ch);
        bool yes = !c.yes;
        run([&] { yes = kv::gui_confirm(true, "Write", "Write it? (Y/N)"); });
        EXPECT_EQ(yes, c.yes);
    }
    for (bool want : {true, false}) {
        // A click beside the buttons does nothing.
        click(5, 5);
        click_button(want ? "Yes" : "No");
        bool yes = !want;
        run([&] { yes = kv::gui_confirm(false, "Quit", "Quit? (Y/N)"); });
        EXPECT_EQ(yes, want);
    }
}

TEST_F(DialogAnswers, MessageClosesOnAnyKeyOrItsButtonOnly) {
    click(3, 3);
    click_button("OK");
    run([] { kv::gui_message(false, "Done", "Written."); });
    std::vector<std::string> lines = trace_lines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], "dialog Done: Written.");
    EXPECT_EQ(lines[1].rfind("dbutton Enter OK at ", 0), 0u);
    EXPECT_EQ(lines[2], "dialog shown");
    EXPECT_EQ(lines[3], "pointer 3,3");
    EXPECT_EQ(lines.back(), "dialog closed");
}

TEST_F(DialogAnswers, InputEditingFollowsTheTextToolkit) {
    // A letter first replaces the selected text.
    type("b");
    key(0, '\r');
    EXPECT_EQ(input("alpha"), "b");
    // Left first keeps it for editing.
    key(kv::SCAN_LEFT);
    type("X");
    key(0, '\n');
    EXPECT_EQ(input("alpha"), "alphXa");
    // Right at the end does nothing: the text stays, still selected.
    key(kv::SCAN_RIGHT);
    key(0, '\r');
    EXPECT_EQ(input("alpha"), "alpha");
    key(kv::SCAN_RIGHT);
    type("z");
    key(0, '\r');
    EXPECT_EQ(input("alpha"), "z");
    // Backspace at the start changes nothing and keeps the selection.
    key(kv::SCAN_HOME);
    key(0, 8);
    type("q");
    key(0, '\r');
    EXPECT_EQ(input("alpha"), "qalpha");
    key(0, 0x7F);
    key(0, 8);
    key(kv::SCAN_DELETE);
    key(0, '\r');
    EXPECT_EQ(input("\xC3\xA4\xE2\x82\xAC"
                    "b"),
              "\xC3\xA4");
    // Multi-byte characters move and delete as one.
    key(kv::SCAN_LEFT);
    key(kv::SCAN_LEFT);
    key(0, 8);
    key(0, '\r');
    EXPECT_EQ(input("\xC3\xA4\xE2\x82\xAC"
                    "b"),
              "\xE2\x82\xAC"
              "b");
    // No insertion may take the terminator's room.
    type("abcdefgh");
    key(0, '\r');
    EXPECT_EQ(input("", 5), "abcd");
    // Escape cancels but the buffer keeps what was typed.
    type("new");
    key(kv::SCAN_ESC);
    bool accepted = true;
    EXPECT_EQ(input("old", 32, &accepted), "new");
    EXPECT_FALSE(accepted);
}

TEST_F(DialogAnswers, InputButtonsAndFieldTrace) {
    key(kv::SCAN_LEFT);
    key(kv::SCAN_UP); // does nothing: no field line
    type("s");
    click_button("OK");
    bool accepted = false;
    EXPECT_EQ(input("data", 32, &accepted), "datsa");
    EXPECT_TRUE(accepted);
    std::vector<std::string> lines = trace_lines();
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "dialog Name: Partition name:");
    EXPECT_EQ(lines[1].rfind("dbutton Enter OK at ", 0), 0u);
    EXPECT_EQ(lines[2].rfind("dbutton Esc Cancel at ", 0), 0u);
    EXPECT_EQ(lines[3], "field data");
    EXPECT_EQ(lines[4], "dialog shown");
    EXPECT_EQ(lines[5], "field data");
    EXPECT_EQ(lines[6], "field datsa");
    EXPECT_EQ(lines[7].rfind("pointer ", 0), 0u);
    EXPECT_EQ(lines.back(), "dialog closed");

    click_button("Cancel");
    EXPECT_EQ(input("keep", 32, &accepted), "keep");
    EXPECT_FALSE(accepted);
}

TEST_F(DialogAnswers, InputFieldShowsSelectionThenCursorAndScrolls) {
    // The initial text sits on a blue band; End leaves the text unselected
    // with the cursor after it; a text wider than the field scrolls so that
    // the cursor stays 16 pixels inside its right edge.
    snapshot();
    key(kv::SCAN_END);
    snapshot();
    type(std::string(60, 'm'));
    snapshot();
    key(0, '\r');
    EXPECT_EQ(input("sel", 64), "sel" + std::string(60, 'm'));
    ASSERT_EQ(shots.size(), 3u);
    auto count = [](const sim::Picture& p, kv::Pixel colour) {
        size_t n = 0;
        for (kv::Pixel px : p.pixels)
            n += px == colour;
        return n;
    };
    EXPECT_GT(count(shots[0], 0x1F6FEB), count(shots[1], 0x1F6FEB) + 100);
    // The longest run of cursor colour down one column of the screen.
    auto bar = [&](const sim::Picture& p, int32_t x) {
        int32_t best = 0, run = 0;
        for (uint32_t y = 0; y < p.height; y++) {
            run = p.pixels[y * p.width + uint32_t(x)] == 0x1F2328 ? run + 1 : 0;
            best = std::max(best, run);
        }
        return best;
    };
    int32_t lh = gui.line_height;
    int32_t field_right = (1280 - 26 * lh) / 2 + 25 * lh;
    EXPECT_LT(bar(shots[1], field_right - 16), lh - 6);
    EXPECT_GE(bar(shots[2], field_right - 16), lh - 6);
}

} // namespace
