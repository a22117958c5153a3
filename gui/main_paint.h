// The pieces of one render of the main screen, shared by the files that
// paint its parts and the one that traces it. Each painter works on the
// layout that layout_main_screen left in the state.
#pragma once

#include <stdint.h>

#include "gui/gui_state.h"

namespace kv {

// A disk is open: the right side shows it.
inline bool disk_shown(const GuiState* gui) {
    return gui->disk_count > 0 && gui->view.disk != nullptr;
}

// The partition a row names, or null for a free row or a row left stale by
// an edit that has not rebuilt the rows yet.
const Partition* row_partition(const DiskView* view, const Row& row);

// Scrolls the column to the current disk, paints the entries and leaves
// the clip reset. The Rescan button is drawn by the caller.
void paint_disk_entries(GuiState* gui);
void paint_usage_bar(GuiState* gui);
// Also scrolls the selected row into view.
void paint_table(GuiState* gui);
void paint_notes(GuiState* gui);
void paint_button_bar(GuiState* gui);

// The render's trace lines, from "window" to "shown".
void trace_main_screen(const GuiState* gui);

} // namespace kv
