// Keys on the main screen, and moving between disks.
#include "disk/summary.h"
#include "gui/event_loop.h"
#include "gui/main_screen.h"
#include "platform/rescan.h"
#include "platform/strings.h"
#include "tui/partition_screen.h"
#include "tui/shared_rules.h"

namespace kv {

namespace {

// Commands may reach the current disk: its index is valid and its view open.
bool current_disk_open(const GuiState* gui) {
    return gui->current_disk >= 0 && gui->current_disk < gui->disk_count &&
           gui->view.disk != nullptr;
}

bool unwritten_changes(const GuiState* gui) {
    return current_disk_open(gui) && gui->view.table.dirty;
}

// With unwritten changes, shows the screen as it is and asks before they
// are dropped; true when there are none or the user lets them go.
bool may_discard(GuiState* gui, const char* title) {
    if (!unwritten_changes(gui)) return true;
    render_main_screen(gui);
    return confirm_discard(title);
}

void rescan(GuiState* gui) {
    if (!may_discard(gui, "Read the disks again")) return;
    gui->current_disk =
        choose_disk_after_rescan(&gui->view, &gui->disks, &gui->disk_count, &gui->summaries);
    view_set_message(&gui->view, false, "Disks read again.");
}

} // namespace

void open_disk(GuiState* gui, int index) {
    view_close(&gui->view);
    memset(&gui->view, 0, sizeof gui->view);
    gui->current_disk = index;
    if (index < 0 || index >= gui->disk_count) return;
    gui->view.disk = &gui->disks[index];
    if (!view_load(&gui->view)) view_set_message(&gui->view, true, "The disk could not be read.");
}

void change_disk(GuiState* gui, int index) {
    if (index < 0 || index >= gui->disk_count || index == gui->current_disk) return;
    if (!may_discard(gui, "Change disk")) return;
    open_disk(gui, index);
}

bool handle_key(GuiState* gui, const KeyEvent& key) {
    gui->view.message[0] = '\0';
    if (is_escape_key(&key)) return !may_discard(gui, "Quit");
    if (key.ch == '\t') {
        gui->focus_disks = !gui->focus_disks;
        return true;
    }
    if (key.scan == SCAN_F5) {
        rescan(gui);
        return true;
    }
    if (key.scan == SCAN_PAGE_UP || key.scan == SCAN_PAGE_DOWN) {
        change_disk(gui, gui->current_disk + (key.scan == SCAN_PAGE_UP ? -1 : 1));
        return true;
    }
    if (is_move_key(key.scan)) {
        if (gui->focus_disks) {
            int index = moved_index(key.scan, gui->current_disk, gui->disk_count);
            if (index >= 0) change_disk(gui, index);
        } else {
            int index = moved_index(key.scan, gui->view.selected, gui->view.row_count);
            if (index >= 0) gui->view.selected = index;
        }
        return true;
    }
    if (current_disk_open(gui) && gui->view.loaded && handle_command(&gui->view, &key))
        gui->summaries = summarize_disks(gui->disks, gui->disk_count, gui->current_disk);
    return true;
}

} // namespace kv
