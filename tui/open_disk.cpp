#include "disk/view.h"
#include "platform/keyboard.h"
#include "tui/dialogs.h"
#include "tui/main_program.h"
#include "tui/partition_screen.h"
#include "tui/screen.h"
#include "tui/shared_rules.h"

namespace kv {

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
            if (view.table.dirty && !confirm_discard("Leave the disk")) continue;
            view_close(&view);
            return;
        }
        // A key that cannot move (Up on the first row) still reaches the
        // command handler, as every key that is not a move does.
        if (int index = moved_index(key.scan, view.selected, view.row_count); index >= 0) {
            view.selected = index;
            continue;
        }
        handle_command(&view, &key);
    }
}

} // namespace kv
