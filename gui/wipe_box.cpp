#include "gui/dialog_parts.h"
#include "gui/event_loop.h"
#include "gui/font.h"
#include "gui/main_screen.h"
#include "gui/pointer.h"
#include "gui/trace.h"
#include "platform/format.h"
#include "platform/keyboard.h"

namespace kv {

namespace {

constexpr Pixel kBarFace = 0xE6E8EB;
constexpr Pixel kBarBorder = 0xD0D7DE;

// Where the last progress box put its Stop button; the stop check that
// follows between two chunks of the wipe tests clicks against it.
Rect g_stop_button;

} // namespace

void gui_wipe_progress(const char* title, int pass, int percent, const char* detail) {
    GuiState* gui = g_gui;
    if (!gui) return;
    Canvas* c = &gui->back;
    const FontSize* font = gui->font_regular;
    int32_t lh = gui->line_height;
    int32_t g = gui->half_line;
    int32_t bw = dialog_width(gui);
    const int32_t button_h = button_height(gui);
    int32_t bh = 4 * lh + 3 * g + 24 + button_h;
    int32_t x = (gui->width - bw) / 2;
    int32_t y = (gui->height - bh) / 2;
    clip_reset(c);
    draw_dialog_body(gui, x, y, bw, bh, kWarningBand, title);

    char line[64];
    format(line, sizeof line, "Pass %d of 2: %s", pass, pass == 1 ? "random data" : "zeros");
    int32_t line_y = y + lh + 8 + g;
    text_draw(c, x + lh, line_y, gui->font_bold, kDialogText, line);

    int32_t bar_x = x + lh, bar_y = line_y + lh + 4, bar_w = bw - 2 * lh;
    fill_round_rect(c, bar_x, bar_y, bar_w, lh, 4, kBarFace, 1, kBarBorder);
    int32_t p = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    // Even the first pixel of progress shows as a bar long enough to see
    // its rounded ends.
    if (p * bar_w >= 100) {
        int32_t fill = p * bar_w / 100;
        fill_round_rect(c, bar_x, bar_y, fill < 8 ? 8 : fill, lh, 4, kWarningBand, 0, 0);
    }
    char figure[16];
    format(figure, sizeof figure, "%d%%", percent);
    text_draw(c, bar_x + (bar_w - text_width(font, figure)) / 2, bar_y, font,
              percent >= 50 ? kWhite : kDialogText, figure);

    text_draw(c, x + lh, bar_y + lh + 8, font, kDialogText, detail ? detail : "");

    int32_t stop_w = key_button_width(gui, "Esc", "Stop");
    g_stop_button = Rect{x + bw - lh - stop_w, y + bh - g - button_h, stop_w, button_h};
    draw_key_button(gui, g_stop_button, "Esc", "Stop", false);

    present_rect(gui, Rect{x, y, bw, bh});
    show_pointer(gui);
    trace_wipe(title, pass, percent, detail ? detail : "", g_stop_button.x + g_stop_button.w / 2,
               g_stop_button.y + g_stop_button.h / 2);
}

bool gui_stop_requested() {
    GuiState* gui = g_gui;
    // The wipe never waits for input, so its lines go out here, as they
    // would have when written at once: an observer sees the progress (and
    // where the Stop button is) while the wipe runs.
    trace_flush();
    KeyEvent key;
    if (key_wait(&key, 0)) return is_escape_key(&key);
    if (!gui || !gui->pointer_present) return false;
    PointerEvent event;
    if (!pointer_poll(&event)) return false;
    bool press = (event.left && !gui->button_down) || event.pressed;
    gui->button_down = event.left;
    if (move_pointer(gui, event)) {
        show_pointer(gui);
        trace_pointer(gui->pointer_x, gui->pointer_y);
    }
    return press && rect_contains(g_stop_button, gui->pointer_x, gui->pointer_y);
}

} // namespace kv
