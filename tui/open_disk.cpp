#include "disk/view.h"
#include "platform/keyboard.h"
#include "tui/dialogs.h"
#include "tui/main_program.h"
#include "tui/partition_screen.h"
#include "tui/screen.h"

namespace kv {

namespace {

// Moves the selection for the keys that do so; false for a key the command
// handler must see (a move that cannot happen included).
bool move_selection(DiskView* view, const KeyEvent* key) {
    switch (key->scan) {
    case SCAN_UP:
        if (view->selected <= 0) return false;
        view->selected--;
        return true;
    case SCAN_DOWN:
        if (view->selected + 1 >= view->row_count) return false;
        view->selected++;
        return true;
    case SCAN_HOME:
        view->selected = 0;
        return true;
    case SCAN_END:
        if (view->row_count <= 0) return false;
        view->selected = view->row_count - 1;
        return true;
    default:
        return false;
    }
}

} // namespace

void open_disk(const Disk* disk) {
    if (disk == nullptr) return;
    DiskView view{};
    if (!view_open(&view, disk)) {
        view_close(&view);
        message_box(true, disk->name, "The disk could not be read.");
        return;
    }

    for (;;) {
        refresh_screen_size();
        redraw_behind(&view);

        KeyEvent key;
        wait_key(&key);
        // A status message answers the last key only.
        view.message[0] = '\0';
        view.message_is_error = false;

        if (is_escape_key(&key)) {
            if (view.table.dirty &&
                !confirm_box(true, "Leave the disk", "Discard the unwritten changes? (Y/N)"))
                continue;
            view_close(&view);
            return;
        }
        if (move_selection(&view, &key)) continue;
        handle_command(&view, &key);
    }
}

} // namespace kv
