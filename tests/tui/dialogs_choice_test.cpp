#include <string>
#include <vector>

#include "tests/tui/toolkit_fixture.h"

namespace toolkit_test {
namespace {

// 30 items on 25 rows: 19 visible, the title on row 1, items on rows 2 to
// 20, the key hint on row 21; 29 wide from column 25.
class TuiChoiceBox : public TuiToolkit {
  protected:
    std::vector<std::string> names;
    std::vector<const char*> items;
    int chosen = -2;

    void make_items(int count, const std::string& prefix = "Item ") {
        names.clear();
        items.clear();
        for (int i = 0; i < count; i++)
            names.push_back(prefix + (i < 10 ? "0" : "") + std::to_string(i));
        for (const std::string& n : names)
            items.push_back(n.c_str());
    }

    void run(int initial, const char* title = "Type") {
        run_dialog(
            [&] { chosen = kv::choice_box(title, items.data(), int(items.size()), initial); });
    }

    std::string item_row(int r) { return row(r).substr(25); }
};

TEST_F(TuiChoiceBox, ThirtyItemsOnTwentyFiveRowsShowNineteen) {
    make_items(30);
    type("\r");
    run(0);
    EXPECT_EQ(chosen, 0);
    EXPECT_EQ(item_row(1), " Type");
    EXPECT_EQ(item_row(2), "  Item 00");
    EXPECT_EQ(item_row(20), "  Item 18");
    EXPECT_EQ(item_row(21), "  Enter Choose   Esc Cancel");
    EXPECT_EQ(row(22), "");
    EXPECT_EQ(attr(25, 2), kWhiteOnBlue);
    EXPECT_EQ(attr(53, 2), kWhiteOnBlue);
    EXPECT_EQ(attr(25, 3), kBlackOnGray);
    EXPECT_EQ(attr(24, 3), kMarker);
    EXPECT_EQ(attr(54, 3), kMarker);
}

TEST_F(TuiChoiceBox, WindowFollowsTheSelectionDownAndStopsAtTheEnd) {
    make_items(30);
    for (int i = 0; i < 25; i++)
        press(kv::SCAN_DOWN);
    type("\r");
    run(0);
    EXPECT_EQ(chosen, 25);
    EXPECT_EQ(item_row(2), "  Item 07");
    EXPECT_EQ(item_row(20), "  Item 25");
    EXPECT_EQ(attr(25, 20), kWhiteOnBlue);

    for (int i = 0; i < 5; i++)
        press(kv::SCAN_DOWN);
    type("\r");
    run(27);
    EXPECT_EQ(chosen, 29);
}

TEST_F(TuiChoiceBox, PagesMoveByTheVisibleRowsAndStopAtTheEnds) {
    make_items(30);
    press(kv::SCAN_PAGE_DOWN);
    press(kv::SCAN_PAGE_DOWN);
    press(kv::SCAN_PAGE_UP);
    type("\r");
    run(0);
    EXPECT_EQ(chosen, 10);
    EXPECT_EQ(item_row(2), "  Item 10");

    press(kv::SCAN_PAGE_DOWN);
    type("\r");
    run(0);
    EXPECT_EQ(chosen, 19);

    press(kv::SCAN_PAGE_UP);
    type("\r");
    run(5);
    EXPECT_EQ(chosen, 0);
}

TEST_F(TuiChoiceBox, HomeEndAndUpAtTheTop) {
    make_items(30);
    press(kv::SCAN_END);
    type("\r");
    run(3);
    EXPECT_EQ(chosen, 29);
    EXPECT_EQ(item_row(2), "  Item 11");

    press(kv::SCAN_HOME);
    press(kv::SCAN_UP);
    type("j\r");
    run(17);
    EXPECT_EQ(chosen, 0);
}

TEST_F(TuiChoiceBox, EscapeCancels) {
    make_items(30);
    press(kv::SCAN_DOWN);
    press(kv::SCAN_ESC);
    run(0);
    EXPECT_EQ(chosen, -1);
    type("\x1b");
    run(4);
    EXPECT_EQ(chosen, -1);
}

TEST_F(TuiChoiceBox, InitialOutsideTheListStartsAtTheFirstItem) {
    make_items(30);
    type("\r");
    run(30);
    EXPECT_EQ(chosen, 0);
    type("\r");
    run(-3);
    EXPECT_EQ(chosen, 0);
}

TEST_F(TuiChoiceBox, InitialBelowTheWindowEndsTheWindowAtIt) {
    make_items(30);
    type("\r");
    run(25);
    EXPECT_EQ(chosen, 25);
    EXPECT_EQ(item_row(20), "  Item 25");
    EXPECT_EQ(attr(25, 20), kWhiteOnBlue);
}

TEST_F(TuiChoiceBox, WidthGrowsWithItemsAndTitleUpToTheScreen) {
    // Three items: the title on row 9, the items on rows 10 to 12.
    struct Case {
        std::string prefix;
        std::string title;
        int left;
        int width;
    } cases[] = {
        {"Item ", "Type", 25, 29},
        {std::string(38, 'w'), "Type", 17, 46},  // items of 40 cells
        {"Item ", std::string(50, 't'), 13, 54}, // the title decides
        {std::string(98, 'w'), "Type", 2, 76},   // cut to the screen
    };
    for (const Case& c : cases) {
        make_items(3, c.prefix);
        type("\r");
        run(0, c.title.c_str());
        int right = c.left + c.width - 1;
        EXPECT_EQ(attr(c.left - 1, 9), kMarker) << c.width;
        EXPECT_EQ(attr(c.left, 9), kWhiteOnBlue) << c.width;
        EXPECT_EQ(attr(right, 9), kWhiteOnBlue) << c.width;
        EXPECT_EQ(attr(right + 1, 9), kMarker) << c.width;
        EXPECT_EQ(attr(right, 11), kBlackOnGray) << c.width;
        EXPECT_EQ(attr(right + 1, 11), kMarker) << c.width;
        use_screen(80, 25);
    }
}

TEST_F(TuiChoiceBox, EmptyListIsCancelledWithoutWaiting) {
    const char* one_item[1] = {"only"};
    EXPECT_EQ(kv::choice_box("T", one_item, 0, 0), -1);
    EXPECT_EQ(kv::choice_box("T", nullptr, 3, 0), -1);
}

// The hooks receive every argument unchanged and their results come back;
// the text console is left alone.
std::string g_hook_log;
char* g_hook_buffer;
const char* const* g_hook_items;

const kv::DialogHooks kHooks = {
    [](bool warning, const char* title, const char* text) {
        g_hook_log += "m" + std::to_string(warning) + title + text + ";";
    },
    [](bool warning, const char* title, const char* text) {
        g_hook_log += "c" + std::to_string(warning) + title + text + ";";
        return true;
    },
    [](bool warning, const char* title, const char* prompt, char* buffer, size_t capacity) {
        g_hook_log +=
            "i" + std::to_string(warning) + title + prompt + std::to_string(capacity) + ";";
        g_hook_buffer = buffer;
        return true;
    },
    [](const char* title, const char* const* items, int count, int initial) {
        g_hook_log +=
            "h" + std::string(title) + std::to_string(count) + std::to_string(initial) + ";";
        g_hook_items = items;
        return 7;
    },
};

TEST_F(TuiToolkit, DialogsForwardToTheHooksWhenSet) {
    g_hook_log.clear();
    kv::g_dialog_hooks = &kHooks;
    char buffer[9] = "init";
    const char* items[2] = {"a", "b"};
    kv::message_box(true, "M", "lower case");
    EXPECT_TRUE(kv::confirm_box(false, "C", "Sure?"));
    EXPECT_TRUE(kv::input_box(true, "I", "Prompt:", buffer, sizeof buffer));
    EXPECT_EQ(kv::choice_box("H", items, 2, 1), 7);
    EXPECT_EQ(g_hook_log, "m1Mlower case;c0CSure?;i1IPrompt:9;hH21;");
    EXPECT_EQ(g_hook_buffer, buffer);
    EXPECT_EQ(g_hook_items, items);
    EXPECT_TRUE(sim::console_output().empty());
}

} // namespace
} // namespace toolkit_test
