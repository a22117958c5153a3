#include "gui/event_loop.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gui/graphics.h"
#include "gui/gui_state.h"
#include "gui/pointer_cursor.h"
#include "gui/trace.h"
#include "sim/disks.h"
#include "sim/display.h"
#include "sim/firmware.h"
#include "sim/input_devices.h"
#include "sim/runner.h"
#include "tests/tui/disk_screen_fixture.h"
#include "tui/main_program.h"

namespace {

EFI_STATUS gui_entry(void*) {
    return kv::gui_run() ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS main_entry(void*) {
    return EFI_STATUS(kv::run_main());
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// The whole graphical front end on the simulated screen, driven by a script
// of keys and pointer tokens, and judged by its screen trace.
class EventLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        kv::trace_reset();
        devices_ = sim::attach_gui_devices();
    }

    void TearDown() override {
        kv::g_dialog_hooks = nullptr;
        kv::g_screen_hooks = nullptr;
    }

    static void add_disk(int slot, std::unique_ptr<sim::MemDisk> image) {
        sim::BlockDiskConfig c;
        c.pci_device = slot;
        sim::add_block_disk(std::move(image), c);
    }

    // Runs the script; the program must quit by itself at its end unless
    // `ends_waiting`.
    void run(const std::string& script, EFI_STATUS (*entry)(void*) = gui_entry,
             bool ends_waiting = false) {
        std::vector<sim::ScriptKey> keys;
        std::string error;
        ASSERT_TRUE(sim::parse_key_script(script, &keys, &error)) << error;
        sim::GuiRunOptions options;
        options.trace = true;
        lines_.clear();
        std::string text;
        sim::SessionEnd end = sim::run_scripted_gui(
            keys, devices_, options, [&](const std::string& s) { text += s; }, entry, nullptr,
            &error);
        EXPECT_EQ(error, "");
        EXPECT_EQ(end.keys_exhausted, ends_waiting) << script;
        for (size_t at = 0; at < text.size();) {
            size_t nl = text.find('\n', at);
            std::string line = text.substr(at, nl - at);
            if (starts_with(line, "gui: ")) lines_.push_back(line.substr(5));
            at = nl + 1;
        }
    }

    size_t count(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& l : lines_)
            n += starts_with(l, prefix) ? 1 : 0;
        return n;
    }

    // The last line with that prefix, or "".
    std::string last(const std::string& prefix) const {
        for (size_t i = lines_.size(); i-- > 0;)
            if (starts_with(lines_[i], prefix)) return lines_[i];
        return "";
    }

    // Dialogs opened (not their "shown" and "closed" lines).
    size_t dialogs(const std::string& text = "") const {
        size_t n = 0;
        for (const std::string& l : lines_)
            n += starts_with(l, "dialog " + text) && l != "dialog shown" && l != "dialog closed";
        return n;
    }

    // Per render, the number cell of its selected row ("-" for free space).
    std::vector<std::string> selections() const {
        std::vector<std::string> out;
        for (const std::string& l : lines_) {
            if (starts_with(l, "window ")) out.push_back("");
            if (starts_with(l, "row ") && l.find(" < ") != std::string::npos && !out.empty())
                out.back() = l.substr(4, l.find(' ', 4) - 4);
        }
        return out;
    }

    std::string selected_row() const {
        std::vector<std::string> all = selections();
        return all.empty() ? "" : all.back();
    }

    // The name and the centre the first render gave for disk entry `index`.
    std::string disk_name(size_t index) const {
        std::string line = disk_line(index);
        return line.substr(5, line.find(' ', 5) - 5);
    }

    std::string disk_line(size_t index) const {
        for (const std::string& l : lines_)
            if (starts_with(l, "disk ") && index-- == 0) return l;
        return "";
    }

    std::string disk_centre(size_t index) const {
        std::string line = disk_line(index);
        size_t at = line.rfind(" at ");
        if (at == std::string::npos) return "";
        std::string centre = line.substr(at + 4);
        int x = 0, y = 0;
        std::sscanf(centre.c_str(), "%d,%d", &x, &y);
        return std::to_string(x) + "," + std::to_string(y);
    }

    sim::GuiDevices devices_;
    std::vector<std::string> lines_;
};

TEST_F(EventLoop, ButtonsGiveExactlyTheCommandsOfTheirKeys) {
    struct Pair {
        const char* label;
        const char* key;
    };
    // On a GPT disk whose first row is free space; none of these opens a
    // dialog there, so each leaves its status message.
    const Pair pairs[] = {{"Delete", "d"},       {"Type", "t"},   {"Rename", "r"},
                          {"Active", "a"},       {"Wipe", "w"},   {"Write", "enter"},
                          {"Delete table", "x"}, {"Rescan", "f5"}};
    for (const Pair& p : pairs) {
        std::string by_key, by_click;
        for (bool click : {false, true}) {
            sim::reset();
            kv::trace_reset();
            devices_ = sim::attach_gui_devices();
            add_disk(2, kvtest::gpt_disk(0));
            run(std::string(click ? "click:" : "") + (click ? p.label : p.key) + ",esc,y");
            (click ? by_click : by_key) = last("message ");
        }
        EXPECT_NE(by_key, "") << p.label;
        EXPECT_EQ(by_click, by_key) << p.label;
    }
}

TEST_F(EventLoop, QuitAsksFirstOnlyWithUnwrittenChangesByKeyAndByClick) {
    add_disk(2, kvtest::gpt_disk(1));
    size_t pool = sim::pool_blocks_live(), pages = sim::pages_live();
    run("esc");
    // Leaving gives back everything the front end took.
    EXPECT_EQ(sim::pool_blocks_live(), pool);
    EXPECT_EQ(sim::pages_live(), pages);
    EXPECT_EQ(dialogs(), 0u);
    EXPECT_EQ(count("closed, text cursor "), 1u);

    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    add_disk(2, kvtest::gpt_disk(1));
    // Delete table, then Quit: no keeps the program running, yes ends it.
    run("x,click:Quit,n,f5,n,esc,y");
    EXPECT_EQ(dialogs("Quit (warning): Discard the unwritten changes? (Y/N)"), 2u);
    EXPECT_EQ(dialogs("Read the disks again (warning): Discard the unwritten changes? (Y/N)"), 1u);
    EXPECT_EQ(dialogs(), 3u);
    EXPECT_NE(last("shows blk0 ").find(" *"), std::string::npos);
    EXPECT_EQ(count("closed, text cursor"), 1u);
}

TEST_F(EventLoop, DiskClicksChangeTheDiskAndAskBeforeDroppingChanges) {
    add_disk(2, kvtest::gpt_disk(1));
    add_disk(3, kvtest::mbr_disk(2));
    run("esc");
    std::string first = disk_centre(0), second = disk_centre(1);
    std::string first_name = disk_name(0);
    ASSERT_NE(first, "");
    ASSERT_NE(second, "");

    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    add_disk(2, kvtest::gpt_disk(1));
    add_disk(3, kvtest::mbr_disk(2));
    // Changes, then the open disk (nothing), the other disk (asked: no, then
    // yes), and back with Page Up without changes (not asked).
    run("x,click=" + first + ",click=" + second + ",n,click=" + second + ",y,pgup,esc");
    EXPECT_EQ(dialogs("Change disk (warning): Discard the unwritten changes? (Y/N)"), 2u);
    EXPECT_EQ(dialogs(), 2u);
    EXPECT_TRUE(starts_with(last("shows "), "shows " + first_name + " ")) << last("shows ");
    // The click on a disk entry gave the disk column the keyboard.
    EXPECT_EQ(last("focus "), "focus disks");
}

TEST_F(EventLoop, ArrowsStopAtTheEndsAndEmptyListsIgnoreHomeAndEnd) {
    add_disk(2, kvtest::gpt_disk(2)); // rows: 1, 2, the free space after them
    run("up,end,down,home,down,esc");
    EXPECT_EQ(selections(), (std::vector<std::string>{"1", "1", "-", "-", "1", "2"}));

    // A disk without a table has no rows; with no disk at all the disk column
    // is empty too.
    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    add_disk(2, std::make_unique<sim::MemDisk>(512, 65536));
    run("home,end,tab,home,end,up,down,esc");
    EXPECT_EQ(count("row "), 0u);
    EXPECT_EQ(count("shown"), 8u);
    EXPECT_EQ(dialogs(), 0u);

    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    run("home,end,tab,home,end,pgdn,esc");
    EXPECT_EQ(count("shows "), 0u);
    EXPECT_EQ(last("focus "), "focus disks");
}

TEST_F(EventLoop, TabMovesTheKeyboardBetweenTheColumnAndTheRows) {
    add_disk(2, kvtest::gpt_disk(1));
    add_disk(3, kvtest::gpt_disk(2));
    // With the column focused Down opens the next disk; with the rows it
    // selects the next row.
    run("tab,down,tab,down,esc");
    std::string second = disk_name(1);
    EXPECT_TRUE(starts_with(last("shows "), "shows " + second + " ")) << last("shows ");
    EXPECT_EQ(last("focus "), "focus partitions");
    EXPECT_EQ(selected_row(), "2");
}

TEST_F(EventLoop, RowsAreSelectedInTheTableAndTheUsageBar) {
    add_disk(2, kvtest::gpt_disk(2));
    run("esc");
    // "row N ... at X,Y bar BX,BY": aim at the second partition both ways.
    std::string row2 = last("row 2 ");
    int tx = 0, ty = 0, bx = 0, by = 0;
    ASSERT_EQ(
        std::sscanf(row2.c_str() + row2.find(" at ") + 4, "%d,%d bar %d,%d", &tx, &ty, &bx, &by), 4)
        << row2;

    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    add_disk(2, kvtest::gpt_disk(2));
    run("click=" + std::to_string(bx) + "," + std::to_string(by) + ",esc");
    EXPECT_EQ(selected_row(), "2");

    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    add_disk(2, kvtest::gpt_disk(2));
    run("tab,click=" + std::to_string(tx) + "," + std::to_string(ty) + ",esc");
    EXPECT_EQ(selected_row(), "2");
    EXPECT_EQ(last("focus "), "focus partitions");
}

TEST_F(EventLoop, AClickBelowTheLastRowSelectsNothing) {
    add_disk(2, kvtest::gpt_disk(2));
    run("esc");
    const std::string before = selected_row();
    ASSERT_NE(before, "");
    // One row pitch below the last row, still inside the table.
    std::vector<int> ys;
    int x = 0;
    for (const std::string& l : lines_) {
        if (starts_with(l, "window ")) ys.clear();
        int y = 0;
        if (starts_with(l, "row ") &&
            std::sscanf(l.c_str() + l.find(" at ") + 4, "%d,%d", &x, &y) == 2)
            ys.push_back(y);
    }
    ASSERT_GE(ys.size(), 2u);
    const int below = ys.back() + (ys.back() - ys[ys.size() - 2]);

    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    add_disk(2, kvtest::gpt_disk(2));
    run("tab,click=" + std::to_string(x) + "," + std::to_string(below) + ",esc");
    EXPECT_EQ(selected_row(), before);
}

TEST_F(EventLoop, TheDiskColumnShowsATableAsWrittenByACommand) {
    // Delete table, then write it: the disk's entry must say what a fresh
    // start on a disk without a table says.
    add_disk(2, kvtest::gpt_disk(1));
    run("x,enter,y,esc");
    const std::string first = disk_line(0);
    const std::string written = last("disk ");

    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    add_disk(2, std::make_unique<sim::MemDisk>(512, 65536));
    run("esc");
    EXPECT_EQ(written, disk_line(0));
    EXPECT_NE(written, first);
}

TEST_F(EventLoop, HoverRendersOnlyWhenTheButtonUnderThePointerChanges) {
    add_disk(2, kvtest::gpt_disk(1));
    run("esc");
    std::string quit = last("button Esc Quit at ");
    int x = 0, y = 0;
    ASSERT_EQ(std::sscanf(quit.c_str(), "button Esc Quit at %d,%d", &x, &y), 2);
    std::string on = std::to_string(x) + "," + std::to_string(y);
    std::string beside = std::to_string(x + 1) + "," + std::to_string(y);

    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    add_disk(2, kvtest::gpt_disk(1));
    run("move=" + on + ",move=" + beside + ",move=5,5,esc");
    // Start, onto Quit, off it again; the move along Quit only moves the pointer.
    EXPECT_EQ(count("shown"), 3u);
    EXPECT_EQ(count("button Esc Quit at " + on + " hover"), 1u);
    EXPECT_EQ(last("pointer "), "pointer 5,5");
    EXPECT_EQ(count("pointer " + beside), 1u);
}

TEST_F(EventLoop, RunMainTakesTheGraphicalFrontEndWhenTheScreenAllowsIt) {
    add_disk(2, kvtest::gpt_disk(1));
    run("esc", main_entry);
    EXPECT_EQ(count("pointer devices: firmware 1, korvane's USB driver 0"), 1u);
    EXPECT_EQ(count("closed, text cursor"), 1u);
    // The text front end never drew its disk list.
    EXPECT_EQ(sim::console_output_utf8().find("Select a disk"), std::string::npos);

    // Below 640 x 480 the text front end runs instead (and takes q).
    sim::reset();
    kv::trace_reset();
    devices_ = sim::attach_gui_devices();
    sim::set_display(639, 480);
    add_disk(2, kvtest::gpt_disk(1));
    run("q", main_entry);
    EXPECT_EQ(count(""), 0u);
    EXPECT_NE(sim::console_output_utf8().find("Select a disk"), std::string::npos);
}

// On a remote console without any pointing device the status line says
// once why the mouse does nothing.
TEST_F(EventLoop, WithoutAPointerTheStatusLineSaysKeyboardOnlyOnce) {
    const EFI_GUID absolute = EFI_ABSOLUTE_POINTER_PROTOCOL_GUID;
    sim::uninstall_protocol(devices_.pointer, absolute);
    add_disk(2, kvtest::gpt_disk(1));
    run("tab,tab,esc");
    EXPECT_EQ(count("pointer devices: firmware 0, korvane's USB driver 0"), 1u);
    size_t said = 0;
    for (const std::string& l : lines_)
        if (starts_with(l, "message ") && l.find("keyboard only") != std::string::npos) said++;
    EXPECT_EQ(said, 1u);
    EXPECT_GE(count("shown"), 3u);
}

TEST_F(EventLoop, WithoutRoomForTheBackBufferTheTextFrontEndRuns) {
    add_disk(2, kvtest::gpt_disk(1));
    // A 1280 x 800 back buffer needs 4 MB.
    sim::set_memory_limit(3u << 20);
    run("q", main_entry);
    EXPECT_EQ(count(""), 0u);
    EXPECT_NE(sim::console_output_utf8().find("Select a disk"), std::string::npos);
    EXPECT_FALSE(kv::graphics_active());
    EXPECT_TRUE(sim::console_cursor_visible());
}

// ---- The pointer on its own ----

kv::GuiState sized(int32_t w, int32_t h) {
    kv::GuiState g{};
    g.width = w;
    g.height = h;
    g.pointer_x = w / 2;
    g.pointer_y = h / 2;
    return g;
}

TEST(MovePointer, AbsolutePositionsSpanTheScreenAndMotionIsClamped) {
    kv::GuiState g = sized(1280, 800);
    kv::PointerEvent e{};
    e.absolute = true;
    e.ax = 65535;
    e.ay = 65535;
    EXPECT_TRUE(kv::move_pointer(&g, e));
    EXPECT_EQ(g.pointer_x, 1279);
    EXPECT_EQ(g.pointer_y, 799);
    EXPECT_FALSE(kv::move_pointer(&g, e)) << "the same place is no move";
    e.ax = 0;
    e.ay = 32768; // 32768 * 799 / 65535 = 399.5...
    EXPECT_TRUE(kv::move_pointer(&g, e));
    EXPECT_EQ(g.pointer_x, 0);
    EXPECT_EQ(g.pointer_y, 399);

    kv::PointerEvent r{};
    r.dx = -5;
    r.dy = INT32_MAX; // no overflow past the edge
    EXPECT_TRUE(kv::move_pointer(&g, r));
    EXPECT_EQ(g.pointer_x, 0);
    EXPECT_EQ(g.pointer_y, 799);
    r.dx = INT32_MIN;
    r.dy = 0;
    EXPECT_FALSE(kv::move_pointer(&g, r));
    r.dx = 7;
    r.dy = -9;
    EXPECT_TRUE(kv::move_pointer(&g, r));
    EXPECT_EQ(g.pointer_x, 7);
    EXPECT_EQ(g.pointer_y, 790);
    r.dx = INT32_MAX; // a large move right stops on the last column
    r.dy = 0;
    EXPECT_TRUE(kv::move_pointer(&g, r));
    EXPECT_EQ(g.pointer_x, 1279);
    EXPECT_EQ(g.pointer_y, 790);
}

// wait_event over a firmware absolute pointer whose states the test gives.
class WaitEvent : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        kv::trace_reset();
        sim::AbsolutePointerConfig c;
        c.max_x = c.max_y = 65535;
        pointer_ = sim::add_absolute_pointer(c);
    }

    void push(int32_t ax, int32_t ay, bool left) {
        EFI_ABSOLUTE_POINTER_STATE s = {};
        s.CurrentX = UINT64(ax);
        s.CurrentY = UINT64(ay);
        s.ActiveButtons = left ? 1 : 0;
        sim::push_absolute_state(pointer_, s);
    }

    // Events until a key ends them: 'k' for a key, 'c' for a click.
    static EFI_STATUS collect(void* out) {
        auto* events = static_cast<std::string*>(out);
        kv::GuiState g = sized(640, 480);
        g.pointer_present = kv::pointer_open() > 0;
        kv::canvas_init(&g.back, 640, 480);
        kv::pointer_canvas_init(&g.pointer, 1);
        for (;;) {
            kv::KeyEvent key;
            int e = kv::wait_event(&g, &key, false);
            if (e == kv::kEventKey) break;
            char at[32];
            std::snprintf(at, sizeof at, "c%d,%d ", g.pointer_x, g.pointer_y);
            *events += at;
        }
        kv::canvas_free(&g.back);
        kv::canvas_free(&g.pointer);
        kv::pointer_close();
        return EFI_SUCCESS;
    }

    std::string run() {
        // The key comes once the pointer has delivered everything.
        sim::set_idle_hook([this] {
            if (sim::pointer_states_left(pointer_) > 0) return false;
            sim::push_key(0, u'q');
            return true;
        });
        std::string events;
        sim::run_image(collect, &events);
        sim::set_idle_hook({});
        return events;
    }

    EFI_HANDLE pointer_ = nullptr;
};

TEST_F(WaitEvent, APressClicksOnceWhereverItHappensAndHoldingDoesNotClickAgain) {
    // Press on the spot (no motion), release; press elsewhere, hold while
    // moving, release; press again.
    push(32768, 32768, true); // 639 * 32768 / 65535 = 319: the start x is 320
    push(32768, 32768, false);
    push(0, 0, true);
    push(65535, 0, true);
    push(65535, 65535, true);
    push(65535, 65535, false);
    push(65535, 65535, true);
    EXPECT_EQ(run(), "c319,239 c0,0 c639,479 ");

    // A press that does not move the pointer at all.
    SetUp();
    push(int32_t((320ull * 65535 + 638) / 639), int32_t((240ull * 65535 + 478) / 479), true);
    EXPECT_EQ(run(), "c320,240 ");
}

} // namespace
