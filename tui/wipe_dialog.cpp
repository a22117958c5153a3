// The Wipe command: after one warning, overwrites the selected partition
// twice and reports how it ended. The table itself is not touched.
#include "disk/types.h"
#include "edit/edit_ops.h"
#include "edit/size.h"
#include "io/wipe.h"
#include "platform/clock.h"
#include "platform/error.h"
#include "platform/format.h"
#include "tui/command_dialogs.h"
#include "tui/dialogs.h"
#include "tui/partition_screen.h"
#include "tui/wipe_progress.h"

namespace kv {

void wipe_dialog(DiskView* view) {
    const char* title = "Wipe";
    if (!write_guard(view)) return;
    const Partition* partition = view_selected_partition(view);
    int32_t number = partition ? partition->number : 0;
    const char* refusal = wipe_precheck(&view->table, number);
    if (refusal != nullptr) {
        redraw_behind(view);
        message_box(false, title, refusal);
        return;
    }
    // With nothing selected the check above passes only for a partition
    // numbered 0, which no reader makes; never copy through null.
    if (partition == nullptr) return;
    // The partition record is copied: nothing below may depend on the
    // array staying where it is.
    Partition target = *partition;
    uint32_t block_size = view->disk->access.block_size;
    // A damaged table may claim more than the disk holds; the engine refuses
    // such a range, and the texts must not show a wrapped size before that.
    uint64_t size_bytes = blocks_to_bytes(target.size, block_size);

    char type[48];
    type_text(&view->table, &target, type, sizeof type);
    char size_text[32];
    format_size(size_text, sizeof size_text, size_bytes);
    bool named = target.name[0] != '\0';
    char question[320];
    format(question, sizeof question, "Wipe partition %d of %s (%s, %s%s%s%s)? (Y/N)",
           target.number, view->disk->name, type, size_text, named ? ", \"" : "",
           named ? target.name : "", named ? "\"" : "");
    redraw_behind(view);
    if (!confirm_box(true, title, question)) {
        view_set_message(view, false, "Nothing was written.");
        return;
    }

    WipeProgress state{};
    state.view = view;
    state.number = target.number;
    state.size_bytes = size_bytes;
    state.start_ms = elapsed_ms();
    redraw_behind(view);
    ErrorCode code =
        wipe_blocks(&view->disk->access, target.start, target.size, wipe_progress, &state);
    uint64_t now = elapsed_ms();
    uint64_t elapsed = now > state.start_ms ? now - state.start_ms : 0;

    if (code == ERR_OK)
        view_set_message(view, false, "Partition %d wiped (%s, 2 passes, %llu s).", target.number,
                         size_text, (unsigned long long)((elapsed + 500) / 1000));
    else if (code == ERR_ABORTED)
        view_set_message(view, true, "Wipe of partition %d stopped in pass %d: partly overwritten.",
                         target.number, state.last_pass);
    else
        view_set_message(view, true, "Wipe of partition %d failed: %s.", target.number,
                         error_text(code));
}

} // namespace kv
