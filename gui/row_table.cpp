// The table of rows under the usage bar, and the notes below it.
#include "gui/main_paint.h"
#include "gui/main_screen.h"
#include "gui/palette.h"
#include "platform/format.h"

namespace kv {

namespace {

void paint_row(GuiState* gui, int index, int32_t y) {
    const Rect& area = gui->rows_area;
    const DiskView* view = &gui->view;
    const Row& row = view->rows[index];
    const bool selected = index == view->selected;
    Pixel background = index % 2 == 0 ? kWhite : kOddRow;
    Pixel colour = kText;
    if (row.is_free) {
        colour = kSecondaryText;
    } else if (const Partition* p = row_partition(view, row)) {
        if (p->changed) colour = kWarningText;
    }
    if (selected && !gui->focus_disks) {
        background = kFocused;
        colour = kWhite;
    } else if (selected) {
        background = kUnfocused;
    }
    fill_rect(&gui->back, area.x, y, area.w, gui->row_height, background);

    char cells[5][kCellSize];
    row_cells(view, row, cells);
    const int32_t text_y = y + scaled(gui, 2);
    for (int k = 0; k < 5; k++) {
        if (cells[k][0] == '\0') continue;
        // A long text may run on into empty columns, never into a filled
        // one; what is cut off shows as an ellipsis.
        int32_t end = area.x + area.w - scaled(gui, 4);
        for (int j = k + 1; j < 5; j++)
            if (cells[j][0] != '\0') {
                end = gui->column_x[j] - scaled(gui, 8);
                break;
            }
        const int32_t room = end - gui->column_x[k];
        clip_set(&gui->back, gui->column_x[k], y, room, gui->row_height);
        text_draw_fitted(&gui->back, gui->column_x[k], text_y, gui->font_regular, colour, cells[k],
                         room);
    }
    clip_reset(&gui->back);
}

} // namespace

void paint_table(GuiState* gui) {
    const Rect& area = gui->rows_area;
    DiskView* view = &gui->view;
    const int32_t rh = gui->row_height;
    Canvas* back = &gui->back;

    fill_rect(back, area.x, area.y, area.w, rh, kHeaderRow);
    const char* headers[5] = {"#", "Start", "Size", "Type",
                              view->table.kind == TableKind::Gpt ? "Name" : "Flags"};
    for (int k = 0; k < 5; k++)
        text_draw(back, gui->column_x[k], area.y + scaled(gui, 2), gui->font_bold, kText,
                  headers[k]);

    if (view->selected < view->first_visible) view->first_visible = view->selected;
    if (view->selected >= view->first_visible + gui->visible_rows)
        view->first_visible = view->selected - gui->visible_rows + 1;
    if (view->first_visible < 0) view->first_visible = 0;

    int32_t drawn = 0;
    if (view->row_count <= 0 || view->rows == nullptr) {
        const int32_t y = area.y + rh;
        fill_rect(back, area.x, y, area.w, rh, kWhite);
        if (view->loaded)
            text_draw(back, gui->column_x[0], y + scaled(gui, 2), gui->font_regular, kSecondaryText,
                      view->table.kind == TableKind::None ? "No partition table."
                                                          : "No free space.");
        drawn = 1;
    } else {
        for (int i = view->first_visible;
             i < view->row_count && i < view->first_visible + gui->visible_rows; i++)
            paint_row(gui, i, area.y + (++drawn) * rh);
    }
    draw_frame(back, area.x, area.y, area.w, (drawn + 1) * rh, 1, kBorder);
}

void paint_notes(GuiState* gui) {
    for (int i = 0; i < gui->notes_shown && i < gui->view.table.note_count; i++) {
        char line[140];
        format(line, sizeof line, "Note: %s", gui->view.table.notes[i].text);
        text_draw(&gui->back, gui->rows_area.x, gui->notes_y + i * gui->line_height,
                  gui->font_regular, kWarningText, line);
    }
}

} // namespace kv
