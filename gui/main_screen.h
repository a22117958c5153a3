// The graphical main screen: layout, painting and its trace lines.
#pragma once

#include <stdint.h>

#include "gui/gui_state.h"

namespace kv {

// Recomputes every rectangle of the layout from the screen size and fonts
// (picks the fonts too).
void layout_main_screen(GuiState* gui);
// Lays out, paints the back buffer, presents it, draws the pointer and
// writes the render's trace lines.
void render_main_screen(GuiState* gui);

int32_t button_width(const GuiState* gui, int index);
// The key cap's width around a key name, and a button's height; the
// dialogs' buttons share them.
int32_t key_cap_width(const GuiState* gui, const char* key_name);
int32_t button_height(const GuiState* gui);
void draw_button(GuiState* gui, int index);
int32_t disk_entry_height(const GuiState* gui, int index);

struct Span {
    int32_t x0, x1;
};
Span segment_span(const GuiState* gui, const Row& row);

constexpr int kCellSize = 112; // 111 bytes and the NUL
void row_cells(const DiskView* view, const Row& row, char cells[5][kCellSize]);
constexpr int kSegmentLabelSize = 80;
void segment_label(const DiskView* view, const Row& row, bool long_form,
                   char out[kSegmentLabelSize]);
constexpr int kDiskSummarySize = 64;
// The summary text (without the " *" of unwritten changes); the badge or
// null.
const char* disk_summary_text(const GuiState* gui, int index, char out[kDiskSummarySize]);

} // namespace kv
