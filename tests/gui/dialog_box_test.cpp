// The dialog box: wrapping, placement, buttons, the dimmed screen behind it
// and its restoration, and the message and confirm dialogs' answers.
#include <gtest/gtest.h>

#include <string>

#include "gui/dialog_parts.h"
#include "tests/gui/dialog_fixture.h"

namespace {

using dialog_test::GuiDialog;

class DialogBox : public GuiDialog {
  protected:
    void SetUp() override { start(1280, 800, true); }

    // Opens and closes a box around text and keeps what it wrapped.
    std::vector<std::string> wrap(const char* text, bool warning = false) {
        kv::Dialog d{};
        static const char* const keys[] = {"Enter"};
        static const char* const labels[] = {"OK"};
        kv::dialog_open(&gui, &d, warning, "Wrap", text, 0, 1, keys, labels);
        std::vector<std::string> lines(d.lines, d.lines + d.line_count);
        text_area = d.text;
        kv::dialog_close(&gui, &d);
        return lines;
    }
    int32_t width(const std::string& s, bool bold = false) {
        return kv::text_width(bold ? gui.font_bold : gui.font_regular, s.c_str());
    }

    kv::Rect text_area{};
};

TEST_F(DialogBox, WrapsAtSpacesGreedilyAndDropsTheSpaces) {
    std::string text;
    for (int i = 0; i < 40; i++)
        text += "word" + std::to_string(i) + " ";
    text += "end";
    for (bool warning : {false, true}) {
        std::vector<std::string> lines = wrap(text.c_str(), warning);
        ASSERT_GE(lines.size(), 3u);
        std::string joined;
        for (size_t i = 0; i < lines.size(); i++) {
            const std::string& l = lines[i];
            EXPECT_LE(width(l, warning), text_area.w) << l;
            EXPECT_NE(l.front(), ' ');
            EXPECT_NE(l.back(), ' ');
            // Greedy: the next word would not have fitted on this line.
            if (i + 1 < lines.size()) {
                std::string next = lines[i + 1].substr(0, lines[i + 1].find(' '));
                EXPECT_GT(width(l + " " + next, warning), text_area.w) << l;
            }
            joined += (i ? " " : "") + l;
        }
        EXPECT_EQ(joined, text);
    }
}

TEST_F(DialogBox, KeepsSixteenLinesAndNoEmptyOnes) {
    std::string text;
    for (int i = 1; i <= 20; i++)
        text += "Line " + std::to_string(i) + "\n";
    std::vector<std::string> lines = wrap(text.c_str());
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[15], "Line 16");
    // The trace carries the whole text, line feeds as spaces.
    EXPECT_EQ(trace_starting("dialog Wrap: Line 1 Line 2 ").size(), 1u);

    EXPECT_EQ(wrap("First paragraph.\n\nSecond one.\n"),
              (std::vector<std::string>{"First paragraph.", "Second one."}));
    EXPECT_TRUE(wrap("").empty());
    // Spaces that start a paragraph are its own; only continuation lines
    // lose their leading spaces.
    EXPECT_EQ(wrap("  indented"), (std::vector<std::string>{"  indented"}));
}

TEST_F(DialogBox, CutsAWordWiderThanTheBoxAtCharacterBoundaries) {
    std::string ascii(300, 'W');
    std::vector<std::string> lines = wrap(ascii.c_str());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_LE(width(lines[0]), text_area.w);
    EXPECT_GT(width(lines[0] + "W"), text_area.w);

    std::string accented;
    for (int i = 0; i < 120; i++)
        accented += "\xC3\xA4\xE2\x82\xAC"; // two- and three-byte characters
    lines = wrap(accented.c_str());
    ASSERT_GE(lines.size(), 2u);
    std::string joined;
    for (const std::string& l : lines) {
        EXPECT_NE(static_cast<unsigned char>(l.front()) & 0xC0, 0x80)
            << "starts inside a character";
        EXPECT_LE(width(l), text_area.w);
        EXPECT_LE(l.size(), 199u);
        joined += l;
    }
    EXPECT_EQ(joined, accented);
}

TEST_F(DialogBox, WarningButtonsHitTestingAndTrace) {
    kv::Dialog d{};
    static const char* const keys[] = {"Y", "N"};
    static const char* const labels[] = {"Yes", "No"};
    kv::dialog_open(&gui, &d, true, "Write", "One line", 40, 2, keys, labels);
    EXPECT_LT(d.buttons[0].x + d.buttons[0].w, d.buttons[1].x) << "Yes left of No";
    // The first button of a warning is red; the second is not.
    auto face = [&](const kv::Rect& b) {
        return gui.back.pixels[(b.y + b.h / 2) * gui.width + b.x + b.w - 3];
    };
    kv::Pixel first = face(d.buttons[0]);
    kv::Pixel second = face(d.buttons[1]);
    EXPECT_EQ(first, 0xCF222Eu);
    EXPECT_EQ(second, 0xFFFFFFu);

    gui.pointer_x = d.buttons[1].x;
    gui.pointer_y = d.buttons[1].y + d.buttons[1].h - 1;
    EXPECT_EQ(kv::dialog_button_at(&gui, &d), 1);
    gui.pointer_x = d.buttons[1].x - 1;
    EXPECT_EQ(kv::dialog_button_at(&gui, &d), -1);
    kv::dialog_close(&gui, &d);

    std::vector<std::string> lines = trace_lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "dialog Write (warning): One line");
    EXPECT_EQ(lines[1], "dbutton Y Yes at " + std::to_string(d.buttons[0].x + d.buttons[0].w / 2) +
                            "," + std::to_string(d.buttons[0].y + d.buttons[0].h / 2));
    EXPECT_EQ(lines[2].rfind("dbutton N No at ", 0), 0u);
    EXPECT_EQ(lines[3], "dialog closed");
}

TEST_F(DialogBox, NarrowScreensKeepTwentyPixelsEachSide) {
    start(640, 480);
    kv::Dialog d{};
    static const char* const keys[] = {"Enter"};
    static const char* const labels[] = {"OK"};
    std::string text(2000, 'x');
    kv::dialog_open(&gui, &d, false, "Long", text.c_str(), 0, 1, keys, labels);
    EXPECT_LE(d.w, 600);
    EXPECT_GE(d.x, 20);
    EXPECT_EQ(d.line_count, 16);
    EXPECT_GT(480 - d.h, 15);
    EXPECT_EQ(d.y, (480 - d.h) / 2);
    kv::dialog_close(&gui, &d);
    // With room for an edit field too the box no longer fits with a margin:
    // it starts near the top instead of above the screen.
    kv::dialog_open(&gui, &d, false, "Long", text.c_str(), 40, 1, keys, labels);
    EXPECT_LE(480 - d.h, 15);
    EXPECT_EQ(d.y, 8);
    kv::dialog_close(&gui, &d);
}

TEST_F(DialogBox, DimsTheScreenAndRestoresItExactly) {
    sim::Picture before = sim::display_picture();
    kv::Pixel corner = before.pixels[before.width * 100 + 5];
    kv::Pixel dimmed = ((corner >> 16 & 0xFF) * 3 / 5) << 16 | ((corner >> 8 & 0xFF) * 3 / 5) << 8 |
                       (corner & 0xFF) * 3 / 5;
    size_t blocks = sim::pool_blocks_live();
    snapshot();
    key(0, 'x');
    run([] { kv::gui_message(false, "Note", "text"); });
    ASSERT_EQ(shots.size(), 1u);
    EXPECT_EQ(shots[0].pixels[shots[0].width * 100 + 5], dimmed);
    EXPECT_EQ(sim::picture_difference(before, sim::display_picture()), "");
    kv::trace_flush(); // the closing line still waits for the port
    EXPECT_EQ(sim::pool_blocks_live(), blocks) << "the saved screen was not freed";
}

} // namespace
