#include "tui/shared_rules.h"

#include "platform/keyboard.h"
#include "tui/dialogs.h"
#include "tui/partition_screen.h"

namespace kv {

const char* disk_state_text(const Disk* disk) {
    if (disk->started_here) return "started from here: read only";
    if (disk->read_only) return "write-protected";
    return "";
}

const char* view_state_text(const DiskView* view) {
    if (const char* state = disk_state_text(view->disk); *state) return state;
    if (view->table.dirty) return "* = changes not written";
    if (view_offers_repair(view)) return "the table needs repair: Enter writes it";
    return "";
}

bool confirm_discard(const char* title) {
    return confirm_box(true, title, "Discard the unwritten changes? (Y/N)");
}

int moved_index(uint16_t scan, int index, int count) {
    switch (scan) {
    case SCAN_UP:
        return index - 1 >= 0 && index - 1 < count ? index - 1 : -1;
    case SCAN_DOWN:
        return index + 1 >= 0 && index + 1 < count ? index + 1 : -1;
    case SCAN_HOME:
        return count > 0 ? 0 : -1;
    case SCAN_END:
        return count > 0 ? count - 1 : -1;
    default:
        return -1;
    }
}

bool is_move_key(uint16_t scan) {
    return scan == SCAN_UP || scan == SCAN_DOWN || scan == SCAN_HOME || scan == SCAN_END;
}

} // namespace kv
