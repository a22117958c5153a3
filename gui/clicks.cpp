// What a click on the main screen does: a command button acts as its key,
// the disk column opens a disk, the usage bar and the table select a row.
#include "gui/event_loop.h"
#include "gui/main_screen.h"
#include "tui/partition_screen.h"

namespace kv {

namespace {

// The disk entry under y, or -1 for a gap between entries or the room
// below the last one.
int disk_entry_at(const GuiState* gui, int32_t y) {
    int32_t top = gui->first_entry_y;
    for (int i = gui->first_disk > 0 ? gui->first_disk : 0; i < gui->disk_count; i++) {
        int32_t h = disk_entry_height(gui, i);
        if (y >= top && y < top + h) return i;
        top += h + gui->entry_gap;
        if (top > y) break;
    }
    return -1;
}

void select_row(GuiState* gui, int index) {
    gui->view.selected = index;
    gui->focus_disks = false;
    gui->view.message[0] = '\0';
}

void click_bar(GuiState* gui, int32_t x) {
    const DiskView* view = &gui->view;
    for (int i = 0; i < view->row_count; i++) {
        const Row& row = view->rows[i];
        if (!row.is_free &&
            view->table.partitions[row.partition_index].kind == PartitionKind::Extended)
            continue;
        Span span = segment_span(gui, row);
        if (x >= span.x0 && x < span.x1) {
            select_row(gui, i);
            return;
        }
    }
}

void click_table(GuiState* gui, int32_t y) {
    int32_t first_row_y = gui->rows_area.y + gui->row_height;
    if (y < first_row_y || gui->row_height <= 0) return;
    int index = (y - first_row_y) / gui->row_height + gui->view.first_visible;
    if (index < gui->view.row_count) select_row(gui, index);
}

} // namespace

bool handle_click(GuiState* gui) {
    int32_t x = gui->pointer_x, y = gui->pointer_y;
    for (int i = 0; i < kButtonCount; i++) {
        if (!rect_contains(gui->buttons[i], x, y)) continue;
        KeyEvent key = {kCommandTable[i].ch, kCommandTable[i].scan, 0};
        return handle_key(gui, key);
    }
    if (rect_contains(gui->panel, x, y) && y >= gui->first_entry_y) {
        int index = disk_entry_at(gui, y);
        if (index >= 0) {
            gui->focus_disks = true;
            gui->view.message[0] = '\0';
            change_disk(gui, index);
        }
        return true;
    }
    if (rect_contains(gui->bar, x, y)) {
        if (gui->view.row_count > 0) click_bar(gui, x);
        return true;
    }
    if (rect_contains(gui->rows_area, x, y)) click_table(gui, y);
    return true;
}

} // namespace kv
