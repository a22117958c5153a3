// The screen trace of one render: what an observer on the serial line needs
// to follow the main screen and aim at it, in a fixed order.
#include "edit/size.h"
#include "gui/main_paint.h"
#include "gui/main_screen.h"
#include "gui/trace.h"
#include "tui/main_program.h"
#include "tui/partition_screen.h"

namespace kv {

namespace {

int32_t centre_x(const Rect& r) {
    return r.x + r.w / 2;
}

int32_t centre_y(const Rect& r) {
    return r.y + r.h / 2;
}

// The same walk as the painting: entries from the first shown while they
// start above the column's bottom.
void trace_disks(const GuiState* gui) {
    const int32_t bottom = gui->panel.y + gui->panel.h;
    int32_t y = gui->first_entry_y;
    for (int i = gui->first_disk > 0 ? gui->first_disk : 0; i < gui->disk_count && y < bottom;
         i++) {
        const Disk& disk = gui->disks[i];
        const int32_t height = disk_entry_height(gui, i);
        char summary[kDiskSummarySize];
        const char* badge = disk_summary_text(gui, i, summary);
        char size[32];
        format_size(size, sizeof size, disk.size_bytes);
        trace_disk(disk.name, disk.kind_label, size, summary, badge,
                   disk_shown(gui) && i == gui->current_disk, gui->panel.w / 2, y + height / 2);
        y += height + gui->entry_gap;
    }
}

void trace_open_disk(const GuiState* gui) {
    const DiskView& view = gui->view;
    char size[32];
    format_size(size, sizeof size, view.disk->size_bytes);
    trace_shows(view.disk->name, view.disk->kind_label, size,
                view.loaded ? table_kind_name(view.table.kind) : "unreadable", view.table.dirty,
                view_offers_repair(&view));

    for (int i = 0; i < view.row_count; i++) {
        char cells[5][kCellSize];
        row_cells(&view, view.rows[i], cells);
        const Span span = segment_span(gui, view.rows[i]);
        TraceRow row = {};
        row.number = cells[0];
        row.start = cells[1];
        row.size = cells[2];
        row.type = cells[3];
        row.last = cells[4];
        row.selected = i == view.selected;
        row.on_screen = i >= view.first_visible && i < view.first_visible + gui->visible_rows;
        row.x = centre_x(gui->rows_area);
        row.y =
            gui->rows_area.y + (i - view.first_visible + 1) * gui->row_height + gui->row_height / 2;
        row.bar_x = (span.x0 + span.x1) / 2;
        row.bar_y = centre_y(gui->bar);
        trace_row(row);
    }
    for (int i = 0; i < view.table.note_count && i < kMaxNotes; i++)
        trace_note(view.table.notes[i].text);
}

void trace_all_buttons(const GuiState* gui) {
    int32_t right = 0;
    for (int i = 0; i < kButtonCount; i++) {
        const Rect& b = gui->buttons[i];
        trace_button(kCommandTable[i].key_name, kCommandTable[i].label, centre_x(b), centre_y(b),
                     i == gui->hovered_button);
        if (b.x + b.w > right) right = b.x + b.w;
    }
    trace_buttons(gui->button_rows, right);
}

} // namespace

void trace_main_screen(const GuiState* gui) {
    trace_window(gui->width, gui->height, font_pixel_size(gui->font_regular));
    trace_disks(gui);
    if (disk_shown(gui)) trace_open_disk(gui);
    trace_all_buttons(gui);
    trace_focus(gui->focus_disks);
    if (gui->view.message[0] != '\0') trace_message(gui->view.message);
    if (gui->pointer_present) trace_pointer(gui->pointer_x, gui->pointer_y);
    trace_shown();
}

} // namespace kv
