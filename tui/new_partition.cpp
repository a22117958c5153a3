// The New partition command: kind, start, size, type and name for one free
// area, each checked before add_partition sees them.
#include "disk/model.h"
#include "disk/view.h"
#include "edit/edit_ops.h"
#include "edit/size.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "tui/command_dialogs.h"
#include "tui/dialogs.h"
#include "tui/partition_screen.h"

namespace kv {

namespace {

const char kTitle[] = "New partition";
constexpr size_t kAnswerSize = 64;

void refuse(DiskView* view, const char* text) {
    redraw_behind(view);
    message_box(true, kTitle, text);
}

bool has_extended(const PartitionTable* table) {
    for (int32_t i = 0; i < table->partition_count; i++)
        if (table->partitions[i].kind == PartitionKind::Extended) return true;
    return false;
}

// Asks for the kind on an MBR; false when the user cancels.
bool choose_kind(DiskView* view, const Row* area, PartitionKind* kind) {
    *kind = PartitionKind::Primary;
    if (view->table.kind != TableKind::Mbr) return true;
    if (area->logical) {
        *kind = PartitionKind::Logical;
        return true;
    }
    if (has_extended(&view->table)) return true;
    static const char* const kKinds[] = {"Primary", "Logical (creates the extended partition)"};
    redraw_behind(view);
    int choice = choice_box(kTitle, kKinds, 2, 0);
    if (choice < 0) return false;
    if (choice == 1) *kind = PartitionKind::Logical;
    return true;
}

// The typed start in blocks, rounded up to whole blocks and then to the
// alignment. False, after telling the user, for anything outside the area.
bool ask_start(DiskView* view, const Row* area, uint64_t proposed, uint64_t alignment,
               uint64_t* start) {
    uint32_t block_size = view->disk->access.block_size;
    uint64_t area_end = area->start + area->size;
    char proposed_text[32];
    char end_text[32];
    format_size_short(proposed_text, sizeof proposed_text, blocks_to_bytes(proposed, block_size));
    format_size(end_text, sizeof end_text, blocks_to_bytes(area_end, block_size));

    char prompt[128];
    format(prompt, sizeof prompt, "Start (free: %s to %s):", proposed_text, end_text);
    char answer[kAnswerSize];
    format(answer, sizeof answer, "%s", proposed_text);
    redraw_behind(view);
    if (!input_box(false, kTitle, prompt, answer, sizeof answer)) return false;

    uint64_t bytes = 0;
    bool rest = false;
    const char* error = parse_size(answer, block_size, &bytes, &rest);
    if (error == nullptr && rest) error = "the start must be a position, such as 1 MiB";
    if (error != nullptr) {
        refuse(view, error);
        return false;
    }

    uint64_t blocks = bytes / block_size + (bytes % block_size != 0 ? 1 : 0);
    // A start too large to align is past any disk; it fails the range check.
    bool in_area = true;
    uint64_t over = blocks % alignment;
    if (over != 0) {
        if (blocks > UINT64_MAX - (alignment - over))
            in_area = false;
        else
            blocks += alignment - over;
    }
    if (!in_area || blocks < area->start || blocks >= area_end) {
        char text[128];
        format(text, sizeof text, "The start must be in the free area, from %s.", proposed_text);
        refuse(view, text);
        return false;
    }
    *start = blocks;
    return true;
}

// The typed size in whole blocks, at most up to the area's end.
bool ask_size(DiskView* view, const Row* area, uint64_t start, uint64_t* size) {
    uint32_t block_size = view->disk->access.block_size;
    uint64_t largest = area->start + area->size - start;
    char largest_text[32];
    format_size(largest_text, sizeof largest_text, blocks_to_bytes(largest, block_size));

    char prompt[128];
    format(prompt, sizeof prompt, "Size (512M, 20G..., rest = %s):", largest_text);
    char answer[kAnswerSize];
    format(answer, sizeof answer, "rest");
    redraw_behind(view);
    if (!input_box(false, kTitle, prompt, answer, sizeof answer)) return false;

    uint64_t bytes = 0;
    bool rest = false;
    const char* error = parse_size(answer, block_size, &bytes, &rest);
    if (error != nullptr) {
        refuse(view, error);
        return false;
    }
    uint64_t blocks = rest ? largest : bytes / block_size;
    if (blocks == 0) {
        refuse(view, "The size is zero.");
        return false;
    }
    if (blocks > largest) {
        char text[128];
        format(text, sizeof text, "Too big: at most %s.", largest_text);
        refuse(view, text);
        return false;
    }
    *size = blocks;
    return true;
}

} // namespace

void new_partition_dialog(DiskView* view, const Row* area) {
    if (!write_guard(view)) return;
    // The row lives in the view's row array, which is rebuilt below.
    Row free_area = *area;
    if (view->disk->access.block_size == 0 || free_area.size == 0) return;

    uint64_t alignment = blocks_per_mib(&view->table);
    uint64_t proposed = free_area.start;
    PartitionKind kind = PartitionKind::Primary;
    if (!choose_kind(view, &free_area, &kind)) return;
    // A new extended partition needs the first unit for its EBR.
    if (kind == PartitionKind::Logical && !free_area.logical) proposed += alignment;
    if (proposed - free_area.start >= free_area.size) {
        refuse(view, "The free area is too small.");
        return;
    }

    Partition model{};
    model.kind = kind;
    if (!ask_start(view, &free_area, proposed, alignment, &model.start)) return;
    if (!ask_size(view, &free_area, model.start, &model.size)) return;
    if (!type_dialog(view, &model.mbr_type, model.type_guid, 0)) return;

    if (view->table.kind == TableKind::Gpt) {
        char name[kAnswerSize] = "";
        redraw_behind(view);
        if (!input_box(false, kTitle, "Name (optional, 36 characters):", name, sizeof name)) return;
        format(model.name, sizeof model.name, "%s", name);
    }

    const char* error = add_partition(&view->table, &view->disk->access, &model);
    if (error != nullptr) {
        refuse(view, error);
        return;
    }
    view_build_rows(view);
    view_select(view, model.start, false);
    const Partition* added = view_selected_partition(view);
    view_set_message(view, false, "Partition %d added.", added ? added->number : 0);
}

} // namespace kv
