#include "gui/dialog_parts.h"
#include "gui/event_loop.h"
#include "gui/font.h"
#include "gui/trace.h"
#include "tui/text_edit.h"

namespace kv {

namespace {

constexpr Pixel kFieldBorder = 0x1F6FEB;

// The width of the text before the cursor, measured in place by ending the
// text at the cursor for a moment.
int32_t width_before_cursor(const FontSize* font, TextEdit* e) {
    char at_cursor = e->text[e->cursor];
    e->text[e->cursor] = 0;
    int32_t w = text_width(font, e->text);
    e->text[e->cursor] = at_cursor;
    return w;
}

// Draws the field into the back buffer and copies only the field to the
// screen, so that typing never repaints the dialog.
void draw_field(GuiState* gui, const Rect& f, TextEdit* e) {
    Canvas* c = &gui->back;
    const FontSize* font = gui->font_regular;
    int32_t lh = gui->line_height;
    fill_round_rect(c, f.x, f.y, f.w, f.h, 4, kWhite, 2, kFieldBorder);
    clip_set(c, f.x + 4, f.y + 2, f.w - 8, f.h - 4);
    int32_t before = width_before_cursor(font, e);
    int32_t room = f.w - 24;
    // The text scrolls left so that the cursor stays inside the field.
    int32_t text_x = f.x + 8 - (before >= room ? before - room : 0);
    int32_t text_y = f.y + (f.h - lh) / 2;
    if (e->selected) {
        fill_rect(c, text_x - 2, text_y + 2, text_width(font, e->text) + 4, lh - 4, kSelection);
        text_draw(c, text_x, text_y, font, kWhite, e->text);
    } else {
        text_draw(c, text_x, text_y, font, kDialogText, e->text);
        fill_rect(c, text_x + before, text_y + 3, 2, lh - 6, kDialogText);
    }
    clip_reset(c);
    present_rect(gui, f);
    trace_field(e->text);
}

} // namespace

bool gui_input(bool warning, const char* title, const char* prompt, char* buffer, size_t capacity) {
    GuiState* gui = g_gui;
    if (!gui || !buffer || capacity == 0) return false;
    static const char* const keys[] = {"Enter", "Esc"};
    static const char* const labels[] = {"OK", "Cancel"};
    TextEdit edit;
    text_edit_init(&edit, buffer, capacity);
    Dialog d;
    dialog_open(gui, &d, warning, title, prompt, gui->line_height + 12, 2, keys, labels);
    draw_field(gui, d.extra, &edit);
    dialog_show(gui);
    bool accepted;
    for (;;) {
        KeyEvent key;
        if (wait_event(gui, &key, false) == kEventKey) {
            if (is_enter_key(&key)) {
                accepted = true;
                break;
            }
            if (is_escape_key(&key)) {
                accepted = false;
                break;
            }
            if (text_edit_key(&edit, &key)) {
                draw_field(gui, d.extra, &edit);
                show_pointer(gui);
            }
            continue;
        }
        int button = dialog_button_at(gui, &d);
        if (button >= 0) {
            accepted = button == 0;
            break;
        }
    }
    dialog_close(gui, &d);
    return accepted;
}

} // namespace kv
