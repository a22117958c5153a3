// The choice list: how many rows it shows, its scroll bar, moving with keys,
// choosing with clicks, and its trace lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/keyboard.h"
#include "tests/gui/dialog_fixture.h"

namespace {

using dialog_test::GuiDialog;

class DialogChoice : public GuiDialog {
  protected:
    void SetUp() override { start(1280, 800, true); }

    void make_items(int count) {
        names.clear();
        for (int i = 0; i < count; i++)
            names.push_back("Type " + std::to_string(i));
        items.clear();
        for (const std::string& n : names)
            items.push_back(n.c_str());
    }
    int choose(int initial) {
        int result = -2;
        run([&] {
            result = kv::gui_choice("Partition type", items.data(), int(items.size()), initial);
        });
        return result;
    }
    // The item lines of the latest drawing of the list.
    std::vector<std::string> last_items() {
        std::vector<std::string> lines = trace_lines(), out;
        size_t end = lines.size();
        while (end > 0 && lines[end - 1] != "dialog shown")
            end--;
        ASSERT_DIALOG_SHOWN(end);
        size_t begin = end - 1;
        while (begin > 0 && lines[begin - 1].rfind("item ", 0) == 0)
            begin--;
        return std::vector<std::string>(lines.begin() + long(begin), lines.begin() + long(end - 1));
    }
    static void ASSERT_DIALOG_SHOWN(size_t end) { EXPECT_GT(end, 0u) << "no dialog shown"; }

    std::vector<std::string> names;
    std::vector<const char*> items;
};

TEST_F(DialogChoice, ThirtyItemsOnA1080ScreenShowFourteenAndAScrollBar) {
    start(1920, 1080, true, 20);
    ASSERT_EQ(gui.line_height, 29);
    make_items(30);
    snapshot();
    key(0, '\r');
    EXPECT_EQ(choose(0), 0);
    std::vector<std::string> shown = trace_starting("item ");
    ASSERT_EQ(shown.size(), 14u);
    EXPECT_EQ(shown[0].rfind("item Type 0 at ", 0), 0u);
    EXPECT_EQ(shown[0].substr(shown[0].size() - 2), " <");
    EXPECT_EQ(shown[13].rfind("item Type 13 at ", 0), 0u);
    int32_t x0, y0, x1, y1;
    centre_of(shown[0].substr(0, shown[0].size() - 2), &x0, &y0);
    centre_of(shown[1], &x1, &y1);
    EXPECT_EQ(x0, 1920 / 2);
    EXPECT_EQ(y1 - y0, 33);
    // The thumb sits at the top of the track at the list's right edge.
    ASSERT_EQ(shots.size(), 1u);
    const sim::Picture& p = shots[0];
    auto px = [&](int32_t x, int32_t y) { return p.pixels[size_t(y) * p.width + size_t(x)]; };
    int32_t right = 1920 / 2 + 13 * 29 - 29; // list x + w, the box being 26 lh wide
    int32_t top = y0 - 33 / 2;
    EXPECT_EQ(px(right - 3, top + 1), 0x8C959Fu);
    EXPECT_EQ(px(right - 3, y0 + 13 * 33), 0xE9ECEFu);

    // Eight items need no scroll bar.
    make_items(8);
    snapshot();
    key(kv::SCAN_ESC);
    EXPECT_EQ(choose(3), -1);
    const sim::Picture& q = shots[1];
    for (int32_t y = top; y < top + 8 * 33; y += 7)
        EXPECT_NE(q.pixels[size_t(y) * q.width + size_t(right - 3)], 0xE9ECEFu);
}

TEST_F(DialogChoice, KeysMoveTheSelectionAndTheWindowFollows) {
    make_items(30);
    // (height - 12 lh) / (lh + 4) rows on this screen.
    int visible = (800 - 12 * gui.line_height) / (gui.line_height + 4);
    ASSERT_LT(visible, 14);
    struct Step {
        uint16_t scan;
        int selected;
        int first;
    };
    std::vector<Step> steps = {
        {kv::SCAN_UP, 0, 0},
        {kv::SCAN_DOWN, 1, 0},
        {kv::SCAN_PAGE_DOWN, 1 + visible, 2},
        {kv::SCAN_PAGE_DOWN, 1 + 2 * visible, 2 + visible},
        {kv::SCAN_END, 29, 30 - visible},
        {kv::SCAN_DOWN, 29, 30 - visible},
        {kv::SCAN_PAGE_DOWN, 29, 30 - visible},
        {kv::SCAN_PAGE_UP, 29 - visible, 29 - visible},
        {kv::SCAN_HOME, 0, 0},
        {kv::SCAN_PAGE_UP, 0, 0},
    };
    std::vector<std::vector<std::string>> drawn;
    for (const Step& s : steps) {
        key(s.scan);
        when_waiting([&] { drawn.push_back(last_items()); });
    }
    key(0, '\n');
    EXPECT_EQ(choose(0), 0);
    ASSERT_EQ(drawn.size(), steps.size());
    for (size_t i = 0; i < steps.size(); i++) {
        const std::vector<std::string>& lines = drawn[i];
        ASSERT_EQ(lines.size(), size_t(visible)) << i;
        EXPECT_EQ(lines[0].rfind("item Type " + std::to_string(steps[i].first) + " at ", 0), 0u)
            << i;
        int marked = -1;
        for (size_t k = 0; k < lines.size(); k++)
            if (lines[k].substr(lines[k].size() - 2) == " <") marked = steps[i].first + int(k);
        EXPECT_EQ(marked, steps[i].selected) << i;
    }
}

TEST_F(DialogChoice, InitialIndexIsKeptInViewOrBecomesTheFirst) {
    make_items(30);
    key(0, '\r');
    EXPECT_EQ(choose(25), 25);
    std::vector<std::string> first = trace_starting("item ");
    // The window ends at an initial item below its first page.
    EXPECT_EQ(first.back().rfind("item Type 25 at ", 0), 0u);
    EXPECT_EQ(first.back().substr(first.back().size() - 2), " <");
    for (int bad : {-1, 30, 1000}) {
        key(0, '\r');
        EXPECT_EQ(choose(bad), 0) << bad;
    }
    items.clear();
    EXPECT_EQ(kv::gui_choice("Empty", items.data(), 0, 0), -1);
}

TEST_F(DialogChoice, ClicksChooseRowsAndButtons) {
    make_items(5);
    // A click on a row chooses it at once.
    when_waiting([&] {
        std::vector<std::string> rows = trace_starting("item Type 3 at ");
        ASSERT_EQ(rows.size(), 1u);
        int32_t x, y;
        centre_of(rows[0], &x, &y);
        push_click(x, y);
    });
    EXPECT_EQ(choose(0), 3);

    // "Choose" takes the selection moved by a key; "Cancel" gives -1.
    for (const char* button : {"Choose", "Cancel"}) {
        key(kv::SCAN_DOWN);
        when_waiting([&, button] {
            std::vector<std::string> lines = trace_starting(std::string("dbutton Esc ") + button);
            if (lines.empty()) lines = trace_starting(std::string("dbutton Enter ") + button);
            ASSERT_FALSE(lines.empty());
            int32_t x, y;
            centre_of(lines.back(), &x, &y);
            push_click(x, y);
        });
        EXPECT_EQ(choose(1), button[1] == 'h' ? 2 : -1) << button;
    }
}

} // namespace
