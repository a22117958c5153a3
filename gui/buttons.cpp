// The command buttons: a key cap with the key's name and the command's
// label, on the bar at the bottom (Rescan sits in the disk column's title).
#include "gui/main_paint.h"
#include "gui/main_screen.h"
#include "gui/palette.h"
#include "tui/partition_screen.h"

namespace kv {

void draw_button(GuiState* gui, int index) {
    const Rect& r = gui->buttons[index];
    const Command& c = kCommandTable[index];
    Canvas* back = &gui->back;
    const int32_t radius = scaled(gui, 5);
    if (index == gui->hovered_button)
        fill_round_rect(back, r.x, r.y, r.w, r.h, radius, kHoveredFace, 2, kFocused);
    else
        fill_round_rect(back, r.x, r.y, r.w, r.h, radius, kWhite, 1, kBorder);
    const FontSize* f = gui->font_regular;
    const int32_t cap_w = key_cap_width(gui, c.key_name);
    const int32_t inset = scaled(gui, 4), text_y = r.y + scaled(gui, 3);
    fill_round_rect(back, r.x + gui->pad_left, r.y + inset, cap_w, r.h - 2 * inset, scaled(gui, 3),
                    kTitleBand, 0, 0);
    text_draw(back, r.x + gui->pad_left + (cap_w - text_width(f, c.key_name)) / 2, text_y, f,
              kWhite, c.key_name);
    text_draw(back, r.x + gui->pad_left + cap_w + gui->pad_mid, text_y, f, kText, c.label);
}

void paint_button_bar(GuiState* gui) {
    const Rect& bar = gui->button_bar;
    fill_rect(&gui->back, bar.x, bar.y, bar.w, bar.h, kButtonBar);
    if (gui->label_width != 0) {
        constexpr int kWriteButton = 6; // the first of the disk's group
        const int32_t x = scaled(gui, 14), down = scaled(gui, 3);
        text_draw(&gui->back, x, gui->buttons[0].y + down, gui->font_regular, kSecondaryText,
                  "Partition:");
        text_draw(&gui->back, x, gui->buttons[kWriteButton].y + down, gui->font_regular,
                  kSecondaryText, "Disk:");
    }
    for (int i = 0; i < kRescanButton; i++)
        draw_button(gui, i);
}

} // namespace kv
