// The graphical dialogs on a simulated screen: a GuiState as the front end
// sets it up, the screen trace captured from a serial console, keys and a
// mouse that act while a dialog waits, and golden pictures.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "gui/canvas.h"
#include "gui/font.h"
#include "gui/graphics.h"
#include "gui/gui_dialogs.h"
#include "gui/gui_state.h"
#include "gui/pointer.h"
#include "gui/pointer_cursor.h"
#include "gui/trace.h"
#include "platform/version.h"
#include "sim/display.h"
#include "sim/firmware.h"
#include "sim/input_devices.h"
#include "sim/picture.h"
#include "sim/serial.h"
#include "tests/gui/golden.h"

namespace dialog_test {

constexpr kv::Pixel kBackground = 0xF6F8FA;

class GuiDialog : public ::testing::Test {
  protected:
    void TearDown() override { stop(); }

    // A fresh firmware with a screen of w x h, the front end's fonts for
    // that height, and a background with a few marks to show the dimming.
    // font_size 0: the main screen's choice for the height.
    void start(int32_t w, int32_t h, bool mouse = false, int32_t font_size = 0) {
        stop();
        sim::reset();
        kv::trace_reset();
        port_ = sim::add_serial_port();
        sim::set_console_out({sim::gop_console_path(), sim::serial_console_path()});
        sim::set_display(uint32_t(w), uint32_t(h));
        if (mouse) {
            // Absolute, so that a click lands where it is aimed whatever
            // the pointer did before.
            sim::AbsolutePointerConfig c;
            c.max_x = c.max_y = 65535;
            mouse_ = sim::add_absolute_pointer(c);
        }
        ASSERT_TRUE(kv::font_load());
        int32_t sw = 0, sh = 0;
        ASSERT_TRUE(kv::graphics_start(&sw, &sh));
        gui = kv::GuiState{};
        gui.width = sw;
        gui.height = sh;
        gui.scale = kv::screen_scale(sh);
        ASSERT_TRUE(kv::canvas_init(&gui.back, sw, sh));
        ASSERT_TRUE(kv::pointer_canvas_init(&gui.pointer, gui.scale));
        int32_t size = sh <= 600 ? 16 : sh <= 900 ? 20 : sh <= 1300 ? 26 : sh <= 1700 ? 32 : 40;
        if (font_size) size = font_size;
        gui.font_regular = kv::font_pick(size, false);
        gui.font_bold = kv::font_pick(size, true);
        ASSERT_NE(gui.font_regular, nullptr);
        gui.line_height = kv::font_line_height(gui.font_regular);
        gui.half_line = gui.line_height / 2;
        gui.hovered_button = -1;
        gui.pointer_x = sw / 2;
        gui.pointer_y = sh / 2;
        if (mouse) gui.pointer_present = kv::pointer_open() > 0;
        kv::g_gui = &gui;
        started_ = true;
        kv::fill_rect(&gui.back, 0, 0, sw, sh, kBackground);
        kv::fill_rect(&gui.back, 0, 0, sw, gui.line_height + 7, 0x1B4F9C);
        kv::fill_rect(&gui.back, 20, sh - 60, sw - 40, 40, 0x2DA44E);
        kv::text_draw(&gui.back, 14, 3, gui.font_bold, 0xFFFFFF,
                      (std::string("Korvane ") + kv::kVersion).c_str());
        kv::blit_to_screen(gui.back.pixels, sw, 0, 0, 0, 0, sw, sh);
        if (gui.pointer_present)
            kv::pointer_draw(&gui.back, &gui.pointer, gui.pointer_x, gui.pointer_y, gui.scale);
        // The next action waits until the dialog has taken in the last one.
        sim::set_key_read_hook([this] {
            if (waits_.empty() || sim::keys_left() > 0) return;
            if (mouse_ && sim::pointer_states_left(mouse_) > 0) return;
            std::function<void()> next = waits_.front();
            waits_.pop_front();
            next();
        });
    }

    void stop() {
        if (!started_) return;
        started_ = false;
        sim::set_key_read_hook(nullptr);
        kv::g_gui = nullptr;
        if (gui.pointer_present) kv::pointer_close();
        kv::canvas_free(&gui.pointer);
        kv::canvas_free(&gui.back);
        kv::graphics_end();
    }

    // Runs f as the loaded image: a dialog that waits once every scripted
    // action is used up ends the run, and the test fails.
    template <class F> void run(F f) {
        sim::RunResult r = sim::run_image(
            [](void* ctx) -> EFI_STATUS {
                (*static_cast<F*>(ctx))();
                return EFI_SUCCESS;
            },
            &f);
        EXPECT_FALSE(r.exited) << "the dialog waited for more input than was given";
        EXPECT_TRUE(waits_.empty()) << "the dialog ended before every action was used";
    }

    // Each action runs when the dialog next waits for a key.
    void when_waiting(std::function<void()> action) { waits_.push_back(std::move(action)); }
    void key(uint16_t scan, char16_t ch = 0) {
        when_waiting([scan, ch] { sim::push_key(scan, ch, scan ? EFI_SHIFT_STATE_VALID : 0); });
    }
    void type(const std::string& text) {
        for (unsigned char c : text)
            key(0, char16_t(c));
    }
    // Moves to (x, y) with the button down, then lets it go.
    void click(int32_t x, int32_t y) {
        when_waiting([this, x, y] { push_click(x, y); });
    }
    void push_click(int32_t x, int32_t y) {
        push_pointer(x, y, true);
        push_pointer(x, y, false);
    }
    void push_pointer(int32_t x, int32_t y, bool left) {
        // The smallest device position that the front end maps to (x, y).
        uint64_t ax = (uint64_t(x) * 65535 + uint64_t(gui.width) - 2) / uint64_t(gui.width - 1);
        uint64_t ay = (uint64_t(y) * 65535 + uint64_t(gui.height) - 2) / uint64_t(gui.height - 1);
        sim::push_absolute_state(mouse_, {ax, ay, 0, left ? 1u : 0u});
    }
    void snapshot() {
        when_waiting([this] { shots.push_back(sim::display_picture()); });
    }

    std::vector<std::string> trace_lines() const {
        std::vector<std::string> out;
        kv::trace_flush();
        std::string bytes = sim::serial_output(port_);
        size_t at = 0;
        for (size_t end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
            out.push_back(bytes.substr(at + 5, end - at - 5)); // after "gui: "
        return out;
    }
    std::vector<std::string> trace_starting(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& line : trace_lines())
            if (line.rfind(prefix, 0) == 0) out.push_back(line);
        return out;
    }

    // The centre a trace line gives at its end ("... at X,Y").
    static void centre_of(const std::string& line, int32_t* x, int32_t* y) {
        size_t at = line.rfind(" at ");
        ASSERT_NE(at, std::string::npos) << line;
        ASSERT_EQ(std::sscanf(line.c_str() + at, " at %d,%d", x, y), 2) << line;
    }

    kv::Pixel screen(int32_t x, int32_t y) const {
        return sim::display_pixel(uint32_t(x), uint32_t(y));
    }

    static void expect_golden(const std::string& name, const sim::Picture& shot) {
        kvtest::expect_golden(name, shot);
    }

    EFI_HANDLE mouse_handle() const { return mouse_; }

    kv::GuiState gui{};
    std::vector<sim::Picture> shots;

  private:
    bool started_ = false;
    EFI_HANDLE port_ = nullptr;
    EFI_HANDLE mouse_ = nullptr;
    std::deque<std::function<void()>> waits_;
};

} // namespace dialog_test
