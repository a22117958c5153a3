#include "disk/summary.h"
#include "edit/size.h"
#include "gui/event_loop.h"
#include "platform/console.h"
#include "platform/disks.h"
#include "platform/format.h"
#include "platform/keyboard.h"
#include "tui/dialogs.h"
#include "tui/main_program.h"
#include "tui/screen.h"
#include "tui/shared_rules.h"

namespace kv {

namespace {

const KeyHint kDiskListKeys[] = {{"Enter", "Open"}, {"R", "Rescan"}, {"Q", "Quit"}};
const KeyBar kDiskListBar = {nullptr, kDiskListKeys, 3};

// The table and partitions columns of one line. The table is read only for
// this line: the list must show what is on the disk now, and a view opened
// later reads it again anyway.
void describe_table(const Disk* disk, char* table_text, size_t table_size, char* count_text,
                    size_t count_size) {
    DiskSummary summary = summarize_disk(disk);
    count_text[0] = '\0';
    if (summary.kind < 0) {
        format(table_text, table_size, "unreadable");
        return;
    }
    TableKind kind = TableKind(summary.kind);
    format(table_text, table_size, "%s", table_kind_name(kind));
    if (kind != TableKind::None)
        format(count_text, count_size, "%d partition%s", summary.partition_count,
               summary.partition_count == 1 ? "" : "s");
}

// The texts of one line, column by column.
struct DiskLine {
    char size[32];
    char table[16];
    char partitions[32];
};

// Column widths: the usual ones, and when a line would then run past the
// screen (an 80-column console with a long state), each column only as
// wide as its widest text or heading.
struct Columns {
    int name, kind, size, table, partitions;
};

int text_cells(const char* s) {
    int n = 0;
    for (; *s; s++)
        if ((static_cast<unsigned char>(*s) & 0xC0) != 0x80) n++;
    return n;
}

int wider(int w, const char* s) {
    int n = text_cells(s);
    return n > w ? n : w;
}

Columns fit_columns(const Disk* disks, const DiskLine* lines, int first, int end) {
    Columns usual = {7, 6, 11, 9, 14};
    Columns tight = {text_cells("Disk"), text_cells("Type"), text_cells("Size"),
                     text_cells("Table"), text_cells("Partitions")};
    int widest = 0;
    for (int i = first; i < end; i++) {
        const DiskLine& l = lines[i - first];
        tight.name = wider(tight.name, disks[i].name);
        tight.kind = wider(tight.kind, disks[i].kind_label);
        tight.size = wider(tight.size, l.size);
        tight.table = wider(tight.table, l.table);
        tight.partitions = wider(tight.partitions, l.partitions);
        widest = wider(widest, disk_state_text(&disks[i]));
    }
    auto width = [&](const Columns& c) {
        return 2 + c.name + 1 + c.kind + 1 + c.size + 1 + c.table + 1 + c.partitions + 1 + widest;
    };
    // The last cell stays free: the console would scroll on it.
    return width(usual) < g_columns ? usual : tight;
}

} // namespace

const char* table_kind_name(TableKind kind) {
    return table_kind_label(kind);
}

void draw_disk_list(const Disk* disks, int count, int selected) {
    int first = 0;
    draw_disk_list(disks, count, selected, &first);
}

void draw_disk_list(const Disk* disks, int count, int selected, int* first) {
    char title[64];
    format(title, sizeof title, "Korvane %s", kVersion);
    draw_header(title, "Select a disk");
    clear_body();

    // The lines from row 3 up to the row above the last three; the list
    // scrolls so that the selection stays among them.
    int height = g_rows - 6;
    if (height < 1) height = 1;
    if (*first > selected) *first = selected;
    if (selected >= *first + height) *first = selected - height + 1;
    if (*first > count - height) *first = count - height;
    if (*first < 0) *first = 0;
    int end = *first + height < count ? *first + height : count;

    DiskLine lines[64];
    if (end - *first > 64) end = *first + 64;
    for (int i = *first; i < end; i++) {
        DiskLine& l = lines[i - *first];
        format_size(l.size, sizeof l.size, disks[i].size_bytes);
        describe_table(&disks[i], l.table, sizeof l.table, l.partitions, sizeof l.partitions);
    }
    Columns c = fit_columns(disks, lines, *first, end);
    put_text_f(0, 2, g_columns, COLOR_WHITE, COLOR_BLACK, "  %-*s %-*s %-*s %-*s %s", c.name,
               "Disk", c.kind, "Type", c.size, "Size", c.table, "Table", "Partitions");

    if (count <= 0) {
        put_text(2, 4, g_columns - 2, COLOR_LIGHTGRAY, COLOR_BLACK, "No disks found.");
    } else {
        for (int i = *first; i < end; i++) {
            const Disk* disk = &disks[i];
            const DiskLine& l = lines[i - *first];
            bool is_selected = i == selected;
            put_text_f(0, 3 + i - *first, g_columns, is_selected ? COLOR_BLACK : COLOR_LIGHTGRAY,
                       is_selected ? COLOR_CYAN : COLOR_BLACK, "  %-*s %-*s %-*s %-*s %-*s %s",
                       c.name, disk->name, c.kind, disk->kind_label, c.size, l.size, c.table,
                       l.table, c.partitions, l.partitions, disk_state_text(disk));
        }
        // Signs that the list goes on beyond what is shown.
        char more[40];
        if (*first > 0) {
            int n = format(more, sizeof more, "%d more above ", *first);
            put_text(g_columns - n - 1, 2, n, COLOR_YELLOW, COLOR_BLACK, more);
        }
        if (end < count) {
            format(more, sizeof more, "%d more below", count - end);
            put_text(2, 3 + height, g_columns - 2, COLOR_YELLOW, COLOR_BLACK, more);
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
    int first = 0;
    for (;;) {
        refresh_screen_size();
        Disk* disks = nullptr;
        int count = discover_disks(&disks);
        if (selected >= count) selected = count > 0 ? count - 1 : 0;
        draw_disk_list(disks, count, selected, &first);

        KeyEvent key;
        wait_key(&key);
        if (key.ch == 'q' || key.ch == 'Q' || is_escape_key(&key)) break;
        if (is_move_key(key.scan)) {
            int index = moved_index(key.scan, selected, count);
            if (index >= 0) selected = index;
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
