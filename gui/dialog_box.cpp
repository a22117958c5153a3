#include "gui/dialog_parts.h"
#include "gui/font.h"
#include "gui/graphics.h"
#include "gui/main_screen.h"
#include "gui/pointer_cursor.h"
#include "gui/trace.h"
#include "platform/memory.h"
#include "platform/strings.h"

namespace kv {

namespace {

constexpr Pixel kButtonBorder = 0xD0D7DE;

// Saves the back buffer and darkens it in one pass: every channel to three
// fifths, so that the main screen stays readable behind the box but is
// clearly out of play.
void save_and_darken(Canvas* c, Pixel* saved) {
    static uint8_t fifths[256];
    if (fifths[255] == 0)
        for (int v = 0; v < 256; v++)
            fifths[v] = uint8_t(v * 3 / 5);
    size_t n = size_t(c->width) * size_t(c->height);
    Pixel* px = c->pixels;
    for (size_t i = 0; i < n; i++) {
        Pixel p = px[i];
        saved[i] = p;
        px[i] = Pixel(fifths[(p >> 16) & 0xFF]) << 16 | Pixel(fifths[(p >> 8) & 0xFF]) << 8 |
                fifths[p & 0xFF];
    }
}

size_t back_bytes(const GuiState* gui) {
    return size_t(gui->back.width) * size_t(gui->back.height) * sizeof(Pixel);
}

} // namespace

int32_t dialog_width(const GuiState* gui) {
    int32_t lh = gui->line_height;
    return gui->width - 39 > 26 * lh ? 26 * lh : gui->width - 40;
}

void draw_dialog_body(GuiState* gui, int32_t x, int32_t y, int32_t w, int32_t h, Pixel band,
                      const char* title) {
    Canvas* c = &gui->back;
    int32_t lh = gui->line_height;
    fill_round_rect(c, x, y, w, h, 8, kWhite, 1, kDialogBorder);
    fill_round_rect(c, x, y, w, lh + 16, 8, band, 0, 0);
    // The band's rounded bottom is covered again, so that only its top
    // corners stay round.
    fill_rect(c, x, y + lh + 8, w, 8, kWhite);
    fill_rect(c, x, y + lh + 8, 1, 8, kDialogBorder);
    fill_rect(c, x + w - 1, y + lh + 8, 1, 8, kDialogBorder);
    // A title longer than the box stops at its right margin.
    clip_set(c, x + lh, y, w - 2 * lh, lh + 8);
    text_draw(c, x + lh, y + 4, gui->font_bold, kWhite, title);
    clip_reset(c);
}

int32_t key_button_width(const GuiState* gui, const char* key, const char* label) {
    return scaled(gui, 6) + key_cap_width(gui, key) + scaled(gui, 8) +
           text_width(gui->font_regular, label) + scaled(gui, 12);
}

void draw_key_button(GuiState* gui, const Rect& r, const char* key, const char* label,
                     bool danger) {
    Canvas* c = &gui->back;
    const FontSize* font = gui->font_regular;
    Pixel face = danger ? kWarningBand : kWhite;
    Pixel border = danger ? kWarningBand : kButtonBorder;
    Pixel cap = danger ? kWhite : kNormalBand;
    Pixel key_colour = danger ? kWarningBand : kWhite;
    Pixel label_colour = danger ? kWhite : kDialogText;
    fill_round_rect(c, r.x, r.y, r.w, r.h, scaled(gui, 5), face, 1, border);
    const int32_t cap_x = r.x + scaled(gui, 6), cap_w = key_cap_width(gui, key);
    const int32_t inset = scaled(gui, 4), text_y = r.y + scaled(gui, 3);
    fill_round_rect(c, cap_x, r.y + inset, cap_w, r.h - 2 * inset, scaled(gui, 3), cap, 0, 0);
    text_draw(c, cap_x + (cap_w - text_width(font, key)) / 2, text_y, font, key_colour, key);
    text_draw(c, cap_x + cap_w + scaled(gui, 8), text_y, font, label_colour, label);
}

void show_pointer(GuiState* gui) {
    if (gui->pointer_present)
        pointer_draw(&gui->back, &gui->pointer, gui->pointer_x, gui->pointer_y, gui->scale);
}

void present_rect(GuiState* gui, const Rect& r) {
    blit_to_screen(gui->back.pixels, gui->back.width, r.x, r.y, r.x, r.y, r.w, r.h);
}

void present_all(GuiState* gui) {
    present_rect(gui, Rect{0, 0, gui->back.width, gui->back.height});
}

void dialog_show(GuiState* gui) {
    present_all(gui);
    show_pointer(gui);
    trace_dialog_shown();
}

void dialog_open(GuiState* gui, Dialog* d, bool warning, const char* title, const char* text,
                 int32_t extra, int button_count, const char* const* key_labels,
                 const char* const* button_labels) {
    Canvas* c = &gui->back;
    int32_t lh = gui->line_height;
    int32_t g = gui->half_line;
    d->warning = warning ? 1 : 0;
    d->saved = static_cast<Pixel*>(xmalloc(back_bytes(gui)));
    save_and_darken(c, d->saved);
    clip_reset(c);

    const FontSize* font = warning ? gui->font_bold : gui->font_regular;
    d->w = dialog_width(gui);
    d->line_count = dialog_wrap(font, d->w - 2 * lh, text, d->lines);
    int32_t n = d->line_count;
    const int32_t button_h = button_height(gui);
    d->h = (lh + 8) + g + n * lh + (extra > 0 ? g + extra : 0) + 2 * g + button_h;
    d->x = (gui->width - d->w) / 2;
    d->y = gui->height - d->h <= 15 ? 8 : (gui->height - d->h) / 2;
    int32_t text_y = d->y + lh + 8 + g;
    d->text = Rect{d->x + lh, text_y, d->w - 2 * lh, n * lh};
    d->extra = Rect{d->x + lh, text_y + n * lh + g, d->w - 2 * lh, extra};

    draw_dialog_body(gui, d->x, d->y, d->w, d->h, warning ? kWarningBand : kNormalBand, title);
    for (int k = 0; k < n; k++)
        text_draw(c, d->x + lh, text_y + k * lh, font, warning ? kWarningText : kDialogText,
                  d->lines[k]);

    d->button_count = button_count < 1 ? 1 : button_count > 2 ? 2 : button_count;
    int32_t right = d->x + d->w - lh;
    int32_t button_y = d->y + d->h - g - button_h;
    for (int i = d->button_count - 1; i >= 0; i--) {
        d->key_labels[i] = key_labels[i];
        d->button_labels[i] = button_labels[i];
        int32_t w = key_button_width(gui, key_labels[i], button_labels[i]);
        d->buttons[i] = Rect{right - w, button_y, w, button_h};
        right -= w + scaled(gui, 10);
    }
    for (int i = 0; i < d->button_count; i++)
        draw_key_button(gui, d->buttons[i], d->key_labels[i], d->button_labels[i],
                        warning && i == 0);

    trace_dialog(title, warning, text ? text : "");
    for (int i = 0; i < d->button_count; i++) {
        const Rect& r = d->buttons[i];
        trace_dbutton(d->key_labels[i], d->button_labels[i], r.x + r.w / 2, r.y + r.h / 2);
    }
}

void dialog_close(GuiState* gui, Dialog* dialog) {
    memcpy(gui->back.pixels, dialog->saved, back_bytes(gui));
    free(dialog->saved);
    dialog->saved = nullptr;
    present_all(gui);
    show_pointer(gui);
    trace_dialog_closed();
}

int dialog_button_at(const GuiState* gui, const Dialog* dialog) {
    for (int i = 0; i < dialog->button_count; i++)
        if (rect_contains(dialog->buttons[i], gui->pointer_x, gui->pointer_y)) return i;
    return -1;
}

} // namespace kv
