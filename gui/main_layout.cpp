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
        int32_t width = gui->label_width + scaled(gui, 14) - spacing;
        for (int i = 0; i < kRescanButton; i++)
            if (kCommandTable[i].group == group) width += button_width(gui, i) + spacing;
        if (width > gui->width - scaled(gui, 8)) return false;
    }
    return true;
}

int32_t choose_setting(GuiState* gui) {
    int32_t label_column =
        max32(text_width(gui->font_regular, "Partition:"), text_width(gui->font_regular, "Disk:")) +
        scaled(gui, 20);
    const ButtonSetting* s = nullptr;
    for (int k = 0; k < kSettingCount; k++) {
        s = &kSettings[k];
        gui->label_width = s->label_column ? label_column : 0;
        gui->pad_left = scaled(gui, s->pad_left);
        gui->pad_mid = scaled(gui, s->pad_mid);
        gui->pad_right = scaled(gui, s->pad_right);
        if (groups_fit(gui, scaled(gui, s->spacing))) break;
    }
    return scaled(gui, s->spacing);
}

// Buttons 0..11 in table order; a new group or a button that would end past
// the right margin starts a new row. Returns the number of rows.
int32_t place_buttons(GuiState* gui, int32_t spacing) {
    const int32_t left = gui->label_width + scaled(gui, 14);
    int32_t row[kRescanButton];
    int32_t x = left, r = 0;
    for (int i = 0; i < kRescanButton; i++) {
        int32_t w = button_width(gui, i);
        if (i > 0) {
            const Rect& previous = gui->buttons[i - 1];
            x = previous.x + previous.w + spacing;
            if (kCommandTable[i].group != kCommandTable[i - 1].group ||
                x + w > gui->width - scaled(gui, 8)) {
                x = left;
                r++;
            }
        }
        gui->buttons[i] = Rect{x, 0, w, button_height(gui)};
        row[i] = r;
    }
    const int32_t rows = r + 1;
    const int32_t pitch = gui->line_height + scaled(gui, 12);
    for (int i = 0; i < kRescanButton; i++)
        gui->buttons[i].y = gui->height - rows * pitch - scaled(gui, 2) + row[i] * pitch;
    return rows;
}

void place_columns(GuiState* gui) {
    static const int32_t kPermille[5] = {0, 63, 215, 367, 658};
    const FontSize* f = gui->font_regular;
    const int32_t gap = scaled(gui, 14);
    const int32_t c1 = text_width(f, "00*") + gap;
    const int32_t s = text_width(f, "000.0 MiB") + gap;
    const int32_t t = text_width(f, "Linux filesystem");
    const int32_t w = gui->rows_area.w;
    const int32_t minimum[5] = {0, c1, c1 + s, c1 + 2 * s,
                                min32(c1 + 2 * s + t + gap, w - scaled(gui, 60))};
    for (int k = 0; k < 5; k++)
        gui->column_x[k] =
            gui->rows_area.x + scaled(gui, 10) + max32(w * kPermille[k] / 1000, minimum[k]);
}

// The table gets what the notes leave, but always one row; notes that
// would then land on the table are left out, the first ones kept.
void place_table_and_notes(GuiState* gui) {
    const int32_t lh = gui->line_height;
    const int32_t margin = scaled(gui, 6);
    const int32_t bottom = gui->status_line.y - margin;
    int32_t notes = gui->view.disk != nullptr ? gui->view.table.note_count : 0;
    if (notes < 0) notes = 0;
    if (notes > kMaxNotes) notes = kMaxNotes;

    gui->notes_y = bottom - notes * lh;
    gui->visible_rows =
        max32(1, (gui->notes_y - margin - gui->rows_area.y - gui->row_height) / gui->row_height);
    gui->rows_area.h = (gui->visible_rows + 1) * gui->row_height;

    const int32_t table_end = gui->rows_area.y + gui->rows_area.h + margin;
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
    return gui->pad_left + key_cap_width(gui, c.key_name) + gui->pad_mid +
           text_width(gui->font_regular, c.label) + gui->pad_right;
}

int32_t key_cap_width(const GuiState* gui, const char* key_name) {
    return text_width(gui->font_regular, key_name) + scaled(gui, 8);
}

int32_t button_height(const GuiState* gui) {
    return gui->line_height + scaled(gui, 6);
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
    const int32_t pitch = lh + scaled(gui, 12);
    gui->button_rows = rows;
    const int32_t bar_h = rows * pitch + scaled(gui, 6);
    gui->button_bar = Rect{0, H - bar_h, W, bar_h};
    const int32_t status_h = lh + scaled(gui, 8);
    gui->status_line = Rect{0, gui->button_bar.y - status_h, W, status_h};

    // A screen fewer than 30 lines wide (2048 x 2048 with its 52-pixel
    // font) is as narrow as 640 x 480 for its texts.
    const int32_t k = W >= 800 && W >= 30 * lh ? 10 : 8;
    const int32_t panel_w = max32(k * lh, min32(W * 300 / 1280, 14 * lh));
    const int32_t panel_y = lh + scaled(gui, 8);
    gui->panel = Rect{0, panel_y, panel_w, gui->status_line.y - panel_y};
    gui->first_entry_y = panel_y + lh + scaled(gui, 16);
    const int32_t rescan_w = button_width(gui, kRescanButton);
    gui->buttons[kRescanButton] = Rect{panel_w - scaled(gui, 10) - rescan_w,
                                       panel_y + scaled(gui, 5), rescan_w, button_height(gui)};

    const int32_t x = panel_w + g + 2;
    const int32_t width = W - g - 2 - x;
    gui->disk_header = Rect{x, lh + scaled(gui, 18), width, lh};
    gui->bar = Rect{x, 2 * lh + scaled(gui, 26), width, 2 * lh + scaled(gui, 6)};
    gui->row_height = lh + scaled(gui, 4);
    gui->rows_area = Rect{x, gui->bar.y + gui->bar.h + g + scaled(gui, 8), width, 0};
    gui->entry_base_height = 2 * lh + scaled(gui, 8);
    gui->entry_gap = scaled(gui, 4);
    place_table_and_notes(gui);
    place_columns(gui);
}

} // namespace kv
