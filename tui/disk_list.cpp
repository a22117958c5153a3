#include "disk/read_table.h"
#include "edit/size.h"
#include "gui/event_loop.h"
#include "platform/console.h"
#include "platform/disks.h"
#include "platform/format.h"
#include "platform/keyboard.h"
#include "tui/dialogs.h"
#include "tui/main_program.h"
#include "tui/screen.h"

namespace kv {

namespace {

const KeyHint kDiskListKeys[] = {{"Enter", "Open"}, {"R", "Rescan"}, {"Q", "Quit"}};
const KeyBar kDiskListBar = {nullptr, kDiskListKeys, 3};

// The table and partitions columns of one line. The table is read only for
// this line: the list must show what is on the disk now, and a view opened
// later reads it again anyway.
void describe_table(const Disk* disk, char* table_text, size_t table_size, char* count_text,
                    size_t count_size) {
    PartitionTable table{};
    count_text[0] = '\0';
    if (read_table(&disk->access, &table) != ERR_OK) {
        format(table_text, table_size, "unreadable");
    } else {
        format(table_text, table_size, "%s", table_kind_name(table.kind));
        if (table.kind != TableKind::None) {
            int count = 0;
            for (int32_t i = 0; i < table.partition_count; i++)
                if (table.partitions[i].kind != PartitionKind::Extended) count++;
            format(count_text, count_size, "%d partition%s", count, count == 1 ? "" : "s");
        }
    }
    table_free(&table);
}

const char* disk_state(const Disk* disk) {
    if (disk->started_here) return "started from here: read only";
    if (disk->read_only) return "write-protected";
    return "";
}

} // namespace

const char* table_kind_name(TableKind kind) {
    return table_kind_label(kind);
}

void draw_disk_list(const Disk* disks, int count, int selected) {
    char title[64];
    format(title, sizeof title, "Korvane %s", kVersion);
    draw_header(title, "Select a disk");
    clear_body();
    put_text_f(0, 2, g_columns, COLOR_WHITE, COLOR_BLACK, "  %-7s %-6s %-11s %-9s %s", "Disk",
               "Type", "Size", "Table", "Partitions");

    if (count <= 0) {
        put_text(2, 4, g_columns - 2, COLOR_LIGHTGRAY, COLOR_BLACK, "No disks found.");
    } else {
        for (int i = 0; i < count && 3 + i < g_rows - 3; i++) {
            const Disk* disk = &disks[i];
            char size[32];
            char table[16];
            char partitions[32];
            format_size(size, sizeof size, disk->size_bytes);
            describe_table(disk, table, sizeof table, partitions, sizeof partitions);
            bool is_selected = i == selected;
            put_text_f(0, 3 + i, g_columns, is_selected ? COLOR_BLACK : COLOR_LIGHTGRAY,
                       is_selected ? COLOR_CYAN : COLOR_BLACK, "  %-7s %-6s %-11s %-9s %-14s %s",
                       disk->name, disk->kind_label, size, table, partitions, disk_state(disk));
        }
    }
    draw_key_bars(&kDiskListBar, nullptr);
}

int run_main() {
    if (gui_run()) return 0;

    int saved_mode = text_mode_current();
    bool mode_changed = text_mode_choose(100, 25);
    text_cursor_show(false);

    int selected = 0;
    for (;;) {
        refresh_screen_size();
        Disk* disks = nullptr;
        int count = discover_disks(&disks);
        if (selected >= count) selected = count > 0 ? count - 1 : 0;
        draw_disk_list(disks, count, selected);

        KeyEvent key;
        wait_key(&key);
        if (key.ch == 'q' || key.ch == 'Q' || is_escape_key(&key)) break;
        if (key.scan == SCAN_UP) {
            if (selected > 0) selected--;
        } else if (key.scan == SCAN_DOWN) {
            if (selected + 1 < count) selected++;
        } else if (key.scan == SCAN_HOME) {
            selected = 0;
        } else if (key.scan == SCAN_END) {
            if (count > 0) selected = count - 1;
        } else if (is_enter_key(&key) && count > 0) {
            open_disk(&disks[selected]);
        }
        // Every other key, R among them, only leads to the next pass, which
        // enumerates the disks again.
    }

    release_disks();
    text_restore_attribute();
    text_clear();
    if (mode_changed) text_mode_set(saved_mode);
    text_cursor_show(true);
    return 0;
}

} // namespace kv
