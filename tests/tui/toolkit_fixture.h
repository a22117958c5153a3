// Shared set-up for the text toolkit tests: a fresh simulated console of a
// chosen size, filled with a marker colour that the toolkit never uses, so
// that "untouched" cells can be told apart from written ones.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/console.h"
#include "platform/globals.h"
#include "sim/firmware.h"
#include "tui/dialogs.h"
#include "tui/screen.h"

namespace toolkit_test {

constexpr uint8_t kMarker = 0x03; // cyan on black
constexpr uint8_t kWhiteOnBlue = 0x1F;
constexpr uint8_t kYellowOnBlue = 0x1E;
constexpr uint8_t kBlackOnGray = 0x70;
constexpr uint8_t kGrayOnBlack = 0x07;
constexpr uint8_t kYellowOnRed = 0x4E;
constexpr uint8_t kWhiteOnRed = 0x4F;

class TuiToolkit : public ::testing::Test {
  protected:
    void SetUp() override { use_screen(80, 25); }
    void TearDown() override { kv::g_dialog_hooks = nullptr; }

    static void use_screen(uint32_t columns, uint32_t rows) {
        sim::reset();
        sim::set_text_modes({{columns, rows}});
        kv::refresh_screen_size();
        kv::text_set_color(kv::COLOR_CYAN, kv::COLOR_BLACK);
        kv::text_clear();
        sim::clear_console_output();
    }

    static std::string row(int r) { return sim::screen_text(size_t(r)); }
    static uint8_t attr(int column, int r) {
        return sim::screen_attribute(size_t(column), size_t(r));
    }
    static int cursor_column() { return kv::g_st->ConOut->Mode->CursorColumn; }
    static int cursor_row() { return kv::g_st->ConOut->Mode->CursorRow; }

    // Runs a dialog as the loaded image: a dialog that keeps waiting after
    // the pushed keys ends the run instead of the test process.
    template <class F> static void run_dialog(F f) {
        sim::RunResult r = sim::run_image(
            [](void* ctx) -> EFI_STATUS {
                (*static_cast<F*>(ctx))();
                return EFI_SUCCESS;
            },
            &f);
        EXPECT_FALSE(r.exited) << "the dialog waited for more keys than were pushed";
        EXPECT_EQ(sim::keys_left(), 0u);
    }

    static void type(const char* text) {
        for (const char* p = text; *p; p++)
            sim::push_key(0, char16_t(static_cast<unsigned char>(*p)));
    }
    // As a keyboard reports it, with a valid shift state.
    static void press(uint16_t scan) { sim::push_key(scan, 0, EFI_SHIFT_STATE_VALID); }
};

} // namespace toolkit_test
