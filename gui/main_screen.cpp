// One render of the main screen: layout, the whole picture into the back
// buffer, one copy to the screen, the pointer over it, then the trace.
#include "gui/main_screen.h"

#include "edit/size.h"
#include "gui/graphics.h"
#include "gui/main_paint.h"
#include "gui/palette.h"
#include "gui/pointer_cursor.h"
#include "platform/format.h"
#include "tui/main_program.h"
#include "tui/partition_screen.h"
#include "tui/shared_rules.h"

namespace kv {

namespace {

const char* title_badge(const GuiState* gui) {
    if (!disk_shown(gui)) return nullptr;
    const char* state = view_state_text(&gui->view);
    return *state ? state : nullptr;
}

void paint_title(GuiState* gui) {
    Canvas* back = &gui->back;
    fill_rect(back, 0, 0, gui->width, gui->height, kScreenBackground);
    fill_rect(back, 0, 0, gui->width, gui->line_height + scaled(gui, 7), kTitleBand);
    char title[64];
    format(title, sizeof title, "Korvane %s", kVersion);
    const int32_t margin = scaled(gui, 14), top = scaled(gui, 3);
    text_draw(back, margin, top, gui->font_bold, kWhite, title);
    if (const char* badge = title_badge(gui))
        text_draw(back, gui->width - margin - text_width(gui->font_regular, badge), top,
                  gui->font_regular, kBadgeBright, badge);
}

void paint_disk_column(GuiState* gui) {
    const Rect& panel = gui->panel;
    fill_rect(&gui->back, panel.x, panel.y, panel.w, panel.h, kWhite);
    fill_rect(&gui->back, panel.w, panel.y, 1, panel.h, kBorder);
    text_draw(&gui->back, scaled(gui, 14), panel.y + scaled(gui, 8), gui->font_bold, kText,
              "Disks");
    draw_button(gui, kRescanButton);
    paint_disk_entries(gui);
}

void paint_disk_header(GuiState* gui) {
    const Disk* disk = gui->view.disk;
    char size[32];
    format_size(size, sizeof size, disk->size_bytes);
    const char* texts[4] = {disk->name, disk->kind_label, size,
                            gui->view.loaded ? table_kind_name(gui->view.table.kind)
                                             : "unreadable"};
    int32_t x = gui->disk_header.x;
    for (const char* text : texts)
        x = text_draw(&gui->back, x, gui->disk_header.y, gui->font_bold, kText, text) +
            2 * gui->half_line;
}

void paint_status_line(GuiState* gui) {
    const Rect& line = gui->status_line;
    fill_rect(&gui->back, 0, line.y, gui->width, 1, kBorder);
    if (gui->view.message[0] != '\0')
        text_draw(&gui->back, scaled(gui, 14), line.y + scaled(gui, 4), gui->font_regular,
                  gui->view.message_is_error ? kError : kInformation, gui->view.message);
}

} // namespace

void render_main_screen(GuiState* gui) {
    layout_main_screen(gui);
    clip_reset(&gui->back);
    paint_title(gui);
    paint_disk_column(gui);
    if (disk_shown(gui)) {
        paint_disk_header(gui);
        paint_usage_bar(gui);
        paint_table(gui);
        paint_notes(gui);
    }
    paint_status_line(gui);
    paint_button_bar(gui);

    blit_to_screen(gui->back.pixels, gui->back.width, 0, 0, 0, 0, gui->width, gui->height);
    if (gui->pointer_present)
        pointer_draw(&gui->back, &gui->pointer, gui->pointer_x, gui->pointer_y, gui->scale);
    trace_main_screen(gui);
}

} // namespace kv
