#include "tui/partition_screen.h"

#include "disk/types.h"
#include "edit/size.h"
#include "platform/format.h"
#include "tui/dialogs.h"
#include "tui/main_program.h"
#include "tui/screen.h"
#include "tui/shared_rules.h"

namespace kv {

namespace {

const KeyHint kPartitionKeys[] = {{"N", "New"},    {"D", "Delete"}, {"T", "Type"},
                                  {"R", "Rename"}, {"A", "Active"}, {"W", "Wipe"}};
const KeyHint kDiskKeys[] = {{"Enter", "Write"}, {"Z", "New table"}, {"X", "Delete table"},
                             {"B", "Backup"},    {"S", "Restore"},   {"Esc", "Back"}};
const KeyBar kPartitionBar = {"Partition:", kPartitionKeys, 6};
const KeyBar kDiskBar = {"Disk:", kDiskKeys, 6};

constexpr int kListTop = 3;

void draw_header_line(const DiskView* view) {
    char size[32];
    char title[200];
    format_size(size, sizeof size, view->disk->size_bytes);
    format(title, sizeof title, "Korvane %s   %s  %s  %s  %s", kVersion, view->disk->name,
           view->disk->kind_label, size, table_kind_name(view->table.kind));
    draw_header(title, view_state_text(view));
}

int list_height(const DiskView* view) {
    int height = view->table.note_count > 0 ? g_rows - 7 - view->table.note_count : g_rows - 6;
    return height < 1 ? 1 : height;
}

void draw_row(DiskView* view, int index, int screen_row) {
    const Row* row = &view->rows[index];
    const PartitionTable* table = &view->table;
    char line[300];
    char start[32];
    char size[32];
    int foreground = COLOR_LIGHTGRAY;

    if (row->is_free) {
        format_size(start, sizeof start, blocks_to_bytes(row->start, table->block_size));
        format_size(size, sizeof size, blocks_to_bytes(row->size, table->block_size));
        format(line, sizeof line, "  %-4s %-11s %-11s %s", "-", start, size,
               row->logical ? "free space (for logical partitions)" : "free space");
        foreground = COLOR_DARKGRAY;
    } else {
        // Rows made stale by an edit that has not rebuilt them yet are skipped
        // rather than read past the array.
        if (row->partition_index < 0 || row->partition_index >= table->partition_count) return;
        const Partition* p = &table->partitions[row->partition_index];
        char number[16];
        char type[64];
        const char* flags = "";
        format(number, sizeof number, "%d%s", p->number, p->changed ? "*" : "");
        format_size(start, sizeof start, blocks_to_bytes(p->start, table->block_size));
        format_size(size, sizeof size, blocks_to_bytes(p->size, table->block_size));
        type_text(table, p, type, sizeof type);
        if (table->kind != TableKind::Gpt) {
            if (p->active)
                flags = "active";
            else if (p->kind == PartitionKind::Logical)
                flags = "logical";
        }
        format(line, sizeof line, "  %-4s %-11s %-11s %-22s %-8s %s", number, start, size, type,
               flags, table->kind == TableKind::Gpt ? p->name : "");
        if (p->changed) foreground = COLOR_YELLOW;
    }

    if (index == view->selected)
        put_text(0, screen_row, g_columns, COLOR_BLACK, COLOR_CYAN, line);
    else
        put_text(0, screen_row, g_columns, foreground, COLOR_BLACK, line);
}

void draw_rows(DiskView* view) {
    int height = list_height(view);
    if (view->selected < view->first_visible) view->first_visible = view->selected;
    if (view->selected >= view->first_visible + height)
        view->first_visible = view->selected - height + 1;
    if (view->first_visible < 0) view->first_visible = 0;

    if (view->row_count <= 0 || view->rows == nullptr) {
        put_text(2, kListTop, g_columns - 2, COLOR_LIGHTGRAY, COLOR_BLACK,
                 view->table.kind == TableKind::None ? "No partition table." : "No free space.");
        return;
    }
    for (int i = 0; i < height && view->first_visible + i < view->row_count; i++)
        draw_row(view, view->first_visible + i, kListTop + i);
}

void draw_notes(const DiskView* view) {
    int count = view->table.note_count;
    if (count > kMaxNotes) count = kMaxNotes;
    // On a short screen the list keeps its one row and the notes get only
    // the rows below it: painting a note over the list would hide the
    // selection. The first notes are kept.
    int room = g_rows - 3 - (kListTop + list_height(view));
    if (count > room) count = room < 0 ? 0 : room;
    for (int i = 0; i < count; i++)
        put_text_f(0, g_rows - 4 - (count - 1 - i), g_columns, COLOR_YELLOW, COLOR_BLACK,
                   "  Note: %s", view->table.notes[i].text);
}

} // namespace

void draw_partition_screen(DiskView* view) {
    draw_header_line(view);
    clear_body();
    bool gpt = view->table.kind == TableKind::Gpt;
    put_text_f(0, 2, g_columns, COLOR_WHITE, COLOR_BLACK, "  %-4s %-11s %-11s %-22s %-8s %s", "#",
               "Start", "Size", "Type", gpt ? "" : "Flags", gpt ? "Name" : "");
    draw_rows(view);
    draw_notes(view);
    if (view->message[0] != '\0')
        put_text_f(0, g_rows - 3, g_columns,
                   view->message_is_error ? COLOR_LIGHTRED : COLOR_LIGHTGREEN, COLOR_BLACK, "  %s",
                   view->message);
    draw_key_bars(&kPartitionBar, &kDiskBar);
}

void redraw_behind(DiskView* view) {
    if (g_screen_hooks != nullptr) {
        // The graphical front end draws its own screen; the text one must
        // not paint over it.
        if (g_screen_hooks->redraw != nullptr) g_screen_hooks->redraw(view);
        return;
    }
    draw_partition_screen(view);
}

} // namespace kv
