// The texts of the main screen's table cells, bar labels and disk entries,
// shared by the painting and the trace so that both say the same.
#include "disk/types.h"
#include "edit/size.h"
#include "gui/main_paint.h"
#include "gui/main_screen.h"
#include "platform/format.h"
#include "tui/main_program.h"
#include "tui/partition_screen.h"
#include "tui/shared_rules.h"

namespace kv {

namespace {

constexpr size_t kTypeTextSize = 48;

uint64_t bytes_of(const DiskView* view, uint64_t blocks) {
    return blocks_to_bytes(blocks, view->table.block_size);
}

} // namespace

const Partition* row_partition(const DiskView* view, const Row& row) {
    if (row.is_free) return nullptr;
    if (row.partition_index < 0 || row.partition_index >= view->table.partition_count)
        return nullptr;
    return &view->table.partitions[row.partition_index];
}

void row_cells(const DiskView* view, const Row& row, char cells[5][kCellSize]) {
    for (int k = 0; k < 5; k++)
        cells[k][0] = '\0';
    if (row.is_free) {
        format(cells[0], kCellSize, "-");
        format_size(cells[1], kCellSize, bytes_of(view, row.start));
        format_size(cells[2], kCellSize, bytes_of(view, row.size));
        format(cells[3], kCellSize, "%s",
               row.logical ? "free space (for logical partitions)" : "free space");
        return;
    }
    const Partition* p = row_partition(view, row);
    if (p == nullptr) return;
    format(cells[0], kCellSize, "%d%s", p->number, p->changed ? "*" : "");
    format_size(cells[1], kCellSize, bytes_of(view, p->start));
    format_size(cells[2], kCellSize, bytes_of(view, p->size));
    type_text(&view->table, p, cells[3], kCellSize);
    if (view->table.kind == TableKind::Gpt)
        format(cells[4], kCellSize, "%s", p->name);
    else if (p->active)
        format(cells[4], kCellSize, "active");
    else if (p->kind == PartitionKind::Logical)
        format(cells[4], kCellSize, "logical");
}

void segment_label(const DiskView* view, const Row& row, bool long_form,
                   char out[kSegmentLabelSize]) {
    out[0] = '\0';
    if (row.is_free) {
        if (!long_form) {
            format(out, kSegmentLabelSize, "free");
            return;
        }
        char size[32];
        format_size(size, sizeof size, bytes_of(view, row.size));
        format(out, kSegmentLabelSize, "free %s", size);
        return;
    }
    const Partition* p = row_partition(view, row);
    if (p == nullptr) return;
    char type[kTypeTextSize] = "";
    if (long_form) type_text(&view->table, p, type, sizeof type);
    format(out, kSegmentLabelSize, "%d%s%s%s", p->number, p->changed ? "*" : "", type[0] ? " " : "",
           type);
}

const char* disk_summary_text(const GuiState* gui, int index, char out[kDiskSummarySize]) {
    const DiskSummary* s = gui->summaries ? &gui->summaries[index] : nullptr;
    if (s == nullptr || s->kind < 0)
        format(out, kDiskSummarySize, "unreadable");
    else if (s->kind == int32_t(TableKind::None))
        format(out, kDiskSummarySize, "no table");
    else
        format(out, kDiskSummarySize, "%s, %d partition%s", table_kind_name(TableKind(s->kind)),
               s->partition_count, s->partition_count == 1 ? "" : "s");
    if (const char* state = disk_state_text(&gui->disks[index]); *state) return state;
    // Only the open disk's table is known well enough to tell.
    bool open = index == gui->current_disk && disk_shown(gui);
    return open && view_offers_repair(&gui->view) ? "needs repair" : nullptr;
}

} // namespace kv
