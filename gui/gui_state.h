// The one record of the running graphical front end: its canvases, fonts,
// disks, the open disk's view, the pointer and the layout that every render
// recomputes.
#pragma once

#include <stdint.h>

#include "disk/model.h"
#include "disk/summary.h"
#include "disk/view.h"
#include "gui/canvas.h"
#include "gui/font.h"
#include "tui/partition_screen.h"

namespace kv {

struct Rect {
    int32_t x, y, w, h;
};

// x <= px < x + w and y <= py < y + h.
inline bool rect_contains(const Rect& r, int32_t px, int32_t py) {
    return px >= r.x && px < r.x + r.w && py >= r.y && py < r.y + r.h;
}

// One button for each row of the command table, in its order.
constexpr int kButtonCount = kCommandCount;
constexpr int kRescanButton = kCommandCount - 1;
static_assert(kCommandTable[kRescanButton].scan == SCAN_F5,
              "the layout puts the last button, Rescan, in the disk column");

struct GuiState {
    int32_t width, height; // the screen
    Canvas back;           // exactly the screen's size
    Canvas pointer;        // 12 x 19 cursor cells at `scale`
    int32_t scale;

    const FontSize* font_regular;
    const FontSize* font_bold;
    int32_t line_height; // of the regular font (lh)
    int32_t half_line;   // lh / 2

    Disk* disks; // owned by the disk discovery
    int disk_count;
    int current_disk;
    int first_disk;
    DiskSummary* summaries; // one per disk
    DiskView view;

    bool focus_disks; // the keyboard works on the disk column, not the rows
    int hovered_button;

    bool pointer_present;
    bool button_down; // the left button at the previous pointer event
    int32_t pointer_x, pointer_y;

    // Layout, recomputed by every render.
    Rect panel, disk_header, bar, rows_area, status_line, button_bar;
    Rect buttons[kButtonCount];
    int32_t button_rows;
    int32_t first_entry_y;
    int32_t entry_base_height;
    int32_t entry_gap; // between two disk entries
    int32_t row_height;
    int32_t visible_rows;
    int32_t notes_y;
    // Notes drawn: the first ones, as many as fit between the table and the
    // status line.
    int32_t notes_shown;
    int32_t column_x[5];
    int32_t pad_left, pad_mid, pad_right;
    int32_t label_width;
};

// The paddings, key caps and gaps are drawn for line heights up to that of
// the 26-pixel font; a bigger font grows them in proportion, or its texts
// would touch their caps and frames.
constexpr int32_t kPaddingLineHeight = 38;
inline int32_t scaled(const GuiState* gui, int32_t px) {
    const int32_t grown = px * gui->line_height / kPaddingLineHeight;
    return grown > px ? grown : px;
}

// Set while the graphical front end runs: the dialog and screen hooks get no
// state argument.
extern GuiState* g_gui;

} // namespace kv
