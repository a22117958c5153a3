// Where everything of the main screen goes, from the screen size and the
// font alone: every render recomputes it, so a resized mode or a changed
// note count needs no bookkeeping.
#include "gui/main_screen.h"
#include "tui/partition_screen.h"

namespace kv {

namespace {

struct ButtonSetting {
    bool label_column;
    int32_t pad_left, pad_mid, pad_right, spacing;
};

// Tried in order until both groups fit on one row each: first the label
// column goes, then the margins shrink.
constexpr ButtonSetting kSettings[] = {
    {true, 6, 8, 12, 8},
    {false, 6, 8, 12, 8},
    {false, 4, 5, 6, 4},
};
constexpr int kSettingCount = sizeof kSettings / sizeof kSettings[0];

int32_t max32(int32_t a, int32_t b) {
    return a > b ? a : b;
}

int32_t min32(int32_t a, int32_t b) {
    return a < b ? a : b;
}

int32_t font_size_for(int32_t height) {
    if (height <= 600) return 16;
    if (height <= 900) return 20;
    if (height <= 1300) return 26;
    if (height <= 1700) return 32;
    if (height <= 2000) return 40;
    return 52;
}

bool groups_fit(const GuiState* gui, int32_t spacing) {
    for (int group = 0; group < 2; group++) {
        int32_t width = gui->label_width + 14 - spacing;
        for (int i = 0; i < kRescanButton; i++)
            if (kCommandTable[i].group == group) width += button_width(gui, i) + spacing;
        if (width > gui->width - 8) return false;
    }
    return true;
}

int32_t choose_setting(GuiState* gui) {
    int32_t label_column =
        max32(text_width(gui->font_regular, "Partition:"), text_width(gui->font_regular, "Disk:")) +
        20;
    const ButtonSetting* s = nullptr;
    for (int k = 0; k < kSettingCount; k++) {
        s = &kSettings[k];
        gui->label_width = s->label_column ? label_column : 0;
        gui->pad_left = s->pad_left;
        gui->pad_mid = s->pad_mid;
        gui->pad_right = s->pad_right;
        if (groups_fit(gui, s->spacing)) break;
    }
    return s->spacing;
}

// Buttons 0..11 in table order; a new group or a button that would end past
// the right margin starts a new row. Returns the number of rows.
int32_t place_buttons(GuiState* gui, int32_t spacing) {
    const int32_t left = gui->label_width + 14;
    int32_t row[kRescanButton];
    int32_t x = left, r = 0;
    for (int i = 0; i < kRescanButton; i++) {
        int32_t w = button_width(gui, i);
        if (i > 0) {
            const Rect& previous = gui->buttons[i - 1];
            x = previous.x + previous.w + spacing;
            if (kCommandTable[i].group != kCommandTable[i - 1].group || x + w > gui->width - 8) {
                x = left;
                r++;
            }
        }
        gui->buttons[i] = Rect{x, 0, w, gui->line_height + 6};
        row[i] = r;
    }
    const int32_t rows = r + 1;
    const int32_t pitch = gui->line_height + 12;
    for (int i = 0; i < kRescanButton; i++)
        gui->buttons[i].y = gui->height - rows * pitch - 2 + row[i] * pitch;
    return rows;
}

void place_columns(GuiState* gui) {
    static const int32_t kPermille[5] = {0, 63, 215, 367, 658};
    const FontSize* f = gui->font_regular;
    const int32_t c1 = text_width(f, "00*") + 14;
    const int32_t s = text_width(f, "000.0 MiB") + 14;
    const int32_t t = text_width(f, "Linux filesystem");
    const int32_t w = gui->rows_area.w;
    const int32_t minimum[5] = {0, c1, c1 + s, c1 + 2 * s, min32(c1 + 2 * s + t + 14, w - 60)};
    for (int k = 0; k < 5; k++)
        gui->column_x[k] = gui->rows_area.x + 10 + max32(w * kPermille[k] / 1000, minimum[k]);
}

// The table gets what the notes leave, but always one row; notes that
// would then land on the table are left out, the first ones kept.
void place_table_and_notes(GuiState* gui) {
    const int32_t lh = gui->line_height;
    const int32_t bottom = gui->status_line.y - 6;
    int32_t notes = gui->view.disk != nullptr ? gui->view.table.note_count : 0;
    if (notes < 0) notes = 0;
    if (notes > kMaxNotes) notes = kMaxNotes;

    gui->notes_y = bottom - notes * lh;
    gui->visible_rows =
        max32(1, (gui->notes_y - 6 - gui->rows_area.y - gui->row_height) / gui->row_height);
    gui->rows_area.h = (gui->visible_rows + 1) * gui->row_height;

    const int32_t table_end = gui->rows_area.y + gui->rows_area.h + 6;
    if (gui->notes_y < table_end) {
        int32_t room = lh > 0 ? (bottom - table_end) / lh : 0;
        notes = min32(notes, max32(room, 0));
        gui->notes_y = bottom - notes * lh;
    }
    gui->notes_shown = notes;
}

} // namespace

int32_t button_width(const GuiState* gui, int index) {
    const Command& c = kCommandTable[index];
    return gui->pad_left + text_width(gui->font_regular, c.key_name) + 8 + gui->pad_mid +
           text_width(gui->font_regular, c.label) + gui->pad_right;
}

void layout_main_screen(GuiState* gui) {
    const int32_t W = gui->width, H = gui->height;
    const int32_t size = font_size_for(H);
    gui->font_regular = font_pick(size, false);
    gui->font_bold = font_pick(size, true);
    const int32_t lh = font_line_height(gui->font_regular);
    const int32_t g = lh / 2;
    gui->line_height = lh;
    gui->half_line = g;

    const int32_t spacing = choose_setting(gui);
    const int32_t rows = place_buttons(gui, spacing);
    const int32_t pitch = lh + 12;
    gui->button_rows = rows;
    gui->button_bar = Rect{0, H - rows * pitch - 6, W, rows * pitch + 6};
    gui->status_line = Rect{0, gui->button_bar.y - lh - 8, W, lh + 8};

    const int32_t k = W >= 800 ? 10 : 8;
    const int32_t panel_w = max32(k * lh, min32(W * 300 / 1280, 14 * lh));
    gui->panel = Rect{0, lh + 8, panel_w, gui->status_line.y - (lh + 8)};
    gui->first_entry_y = gui->panel.y + lh + 16;
    const int32_t rescan_w = button_width(gui, kRescanButton);
    gui->buttons[kRescanButton] = Rect{panel_w - 10 - rescan_w, gui->panel.y + 5, rescan_w, lh + 6};

    const int32_t x = panel_w + g + 2;
    const int32_t width = W - g - 2 - x;
    gui->disk_header = Rect{x, lh + 18, width, lh};
    gui->bar = Rect{x, 2 * lh + 26, width, 2 * lh + 6};
    gui->row_height = lh + 4;
    gui->rows_area = Rect{x, gui->bar.y + gui->bar.h + g + 8, width, 0};
    gui->entry_base_height = 2 * lh + 8;
    place_table_and_notes(gui);
    place_columns(gui);
}

} // namespace kv
