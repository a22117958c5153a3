#include "disk/types.h"
#include "edit/edit_ops.h"
#include "edit/size.h"
#include "io/write_table.h"
#include "platform/format.h"
#include "platform/strings.h"
#include "tui/command_dialogs.h"
#include "tui/dialogs.h"
#include "tui/main_program.h"
#include "tui/partition_screen.h"

namespace kv {

namespace {

constexpr uint32_t kWriteKey = 0x0D;

// The key as a command letter: a-z folded, both Enter characters as CR.
// 0 for keys that cannot be commands.
uint32_t command_letter(const KeyEvent* key) {
    if (key->ch > 0x7F) return 0;
    if (is_enter_key(key)) return kWriteKey;
    if (key->ch >= 'a' && key->ch <= 'z') return key->ch - 'a' + 'A';
    return key->ch;
}

void replace_table(DiskView* view, TableKind kind) {
    new_table(&view->table, &view->disk->access, kind);
    view->selected = 0;
    view_build_rows(view);
}

// A GPT too large to read is still a healthy table: replacing it is asked
// for, with the reason in the question.
bool replace_unread_table(DiskView* view, const char* title, const char* action) {
    uint32_t entries = view->table.unread_entry_count;
    if (entries == 0) return true;
    char question[200];
    format(question, sizeof question,
           "The GPT entry array holds %u entries, more than korvane reads. %s anyway? (Y/N)",
           (unsigned)entries, action);
    redraw_behind(view);
    return confirm_box(true, title, question);
}

void new_table_command(DiskView* view) {
    if (!write_guard(view)) return;
    if (!replace_unread_table(view, "New partition table", "Make a new table")) return;
    static const char* const kKinds[] = {"GPT", "MBR"};
    int choice = choice_box("New partition table", kKinds, 2, 0);
    if (choice < 0) return;
    replace_table(view, choice == 0 ? TableKind::Gpt : TableKind::Mbr);
    view_set_message(view, false, "New empty %s table.", kKinds[choice]);
}

void delete_table_command(DiskView* view) {
    if (!write_guard(view)) return;
    if (!replace_unread_table(view, "Delete table", "Delete the table")) return;
    replace_table(view, TableKind::None);
    view_set_message(view, false, "Partition table deleted.");
}

void delete_command(DiskView* view, const Partition* partition) {
    if (!write_guard(view)) return;
    int32_t number = partition->number;
    if (partition->kind == PartitionKind::Extended) {
        int logicals = 0;
        for (int32_t i = 0; i < view->table.partition_count; i++)
            if (view->table.partitions[i].kind == PartitionKind::Logical) logicals++;
        if (logicals > 0) {
            char question[160];
            format(question, sizeof question,
                   "Delete the extended partition and its %d logical partition%s? (Y/N)", logicals,
                   logicals == 1 ? "" : "s");
            if (!confirm_box(true, "Delete partition", question)) return;
        }
    }
    const char* error = delete_partition(&view->table, number);
    if (error != nullptr) {
        message_box(true, "Delete partition", error);
        return;
    }
    view_build_rows(view);
    view_set_message(view, false, "Partition %d deleted.", number);
}

// Where the partition's type stands in the list the Type dialog offers; 0
// when the list does not have it.
int type_position(TableKind kind, const Partition* partition) {
    const char* name = nullptr;
    uint8_t type_byte = 0;
    uint8_t type_guid[16];
    for (int i = 0; type_choice(kind, i, &name, &type_byte, type_guid); i++) {
        bool same = kind == TableKind::Gpt ? memcmp(type_guid, partition->type_guid, 16) == 0
                                           : type_byte == partition->mbr_type;
        if (same) return i;
    }
    return 0;
}

void type_command(DiskView* view, const Partition* partition) {
    if (!write_guard(view)) return;
    if (partition->kind == PartitionKind::Extended) {
        message_box(false, "Type", "The extended partition keeps its type.");
        return;
    }
    int32_t number = partition->number;
    uint8_t type_byte = partition->mbr_type;
    uint8_t type_guid[16];
    memcpy(type_guid, partition->type_guid, sizeof type_guid);
    if (!type_dialog(view, &type_byte, type_guid, type_position(view->table.kind, partition)))
        return;
    const char* error = set_type(&view->table, number, type_byte, type_guid);
    if (error != nullptr) {
        message_box(true, "Type", error);
        return;
    }
    view_set_message(view, false, "Partition %d: type changed.", number);
}

void rename_command(DiskView* view, const Partition* partition) {
    if (view->table.kind != TableKind::Gpt) {
        view_set_message(view, true, "MBR partitions have no name.");
        return;
    }
    if (!write_guard(view)) return;
    int32_t number = partition->number;
    char name[kPartitionNameSize];
    format(name, sizeof name, "%s", partition->name);
    if (!input_box(false, "Rename", "Name (36 characters):", name, sizeof name)) return;
    const char* error = set_name(&view->table, number, name);
    if (error != nullptr) {
        message_box(true, "Rename", error);
        return;
    }
    view_set_message(view, false, "Partition %d renamed.", number);
}

void active_command(DiskView* view, const Partition* partition) {
    if (view->table.kind != TableKind::Mbr) {
        view_set_message(view, true, "GPT partitions have no active flag.");
        return;
    }
    if (!write_guard(view)) return;
    int32_t number = partition->number;
    bool flag = !partition->active;
    const char* error = set_active(&view->table, number, flag);
    if (error != nullptr) {
        message_box(true, "Active", error);
        return;
    }
    view_set_message(view, false, flag ? "Partition %d active." : "Partition %d no longer active.",
                     number);
}

void write_command(DiskView* view) {
    // Damage that writing mends is written back as for a changed table.
    bool repair = view_offers_repair(view);
    if (!view->table.dirty && !repair) {
        view_set_message(view, false, "No changes to write.");
        return;
    }
    if (!write_guard(view)) return;
    const Disk* disk = view->disk;
    char size[32];
    char question[200];
    format_size(size, sizeof size, disk->size_bytes);
    if (repair)
        format(question, sizeof question, "Repair the %s table of %s (%s)? (Y/N)",
               table_kind_name(view->table.kind), disk->name, size);
    else if (view->table.kind == TableKind::None)
        format(question, sizeof question, "Delete the partition table of %s (%s)? (Y/N)",
               disk->name, size);
    else if (view->table.kind == TableKind::Gpt && view->table.backup_kept)
        format(question, sizeof question,
               "Write the %s table to %s (%s)? The backup GPT stays at block %llu, before the "
               "data at the end of the disk. (Y/N)",
               table_kind_name(view->table.kind), disk->name, size,
               (unsigned long long)view->table.backup_header_lba);
    else
        format(question, sizeof question, "Write the %s table to %s (%s)? (Y/N)",
               table_kind_name(view->table.kind), disk->name, size);
    if (!confirm_write(view, "Write", question)) return;

    WriteRefusal refusal;
    ErrorCode result = write_table(&disk->access, &view->table, &refusal);
    if (result != ERR_OK && refusal.blocks_written > 0) {
        // Part of the table is on the disk: what counts now is what the disk
        // holds, and the notes of the table read back say what that is.
        char text[kMessageSize];
        format(text, sizeof text, "The write stopped after %llu of %llu blocks: %s.",
               (unsigned long long)refusal.blocks_written, (unsigned long long)refusal.blocks_total,
               error_text(result));
        message_box(true, "Write", text);
        view_load(view);
        view_set_message(view, true, "%s", text);
        return;
    }
    if (result != ERR_OK) {
        // Nothing reached the disk: the table stays in memory, still changed,
        // so Write can be tried again. A refused table says what is wrong
        // with it.
        const char* why = refusal.text[0] != '\0' ? refusal.text : error_text(result);
        message_box(true, "Write", why);
        view_set_message(view, true, "Not written: %s.", why);
        return;
    }
    view_load(view);
    view_set_message(view, false, "Written.");
}

} // namespace

bool write_guard(DiskView* view) {
    if (view->disk->started_here) {
        message_box(false, "Read only",
                    "korvane was started from this disk: it cannot be changed.");
        return false;
    }
    if (view->disk->read_only) {
        message_box(false, "Read only", "The disk is write-protected.");
        return false;
    }
    return true;
}

bool view_offers_repair(const DiskView* view) {
    return !view->table.dirty && view->table.needs_repair && !view->disk->started_here &&
           !view->disk->read_only;
}

bool confirm_write(DiskView* view, const char* title, const char* question) {
    redraw_behind(view);
    if (confirm_box(true, title, question)) return true;
    view_set_message(view, false, "Nothing was written.");
    return false;
}

bool handle_command(DiskView* view, const KeyEvent* key) {
    Partition* partition = view_selected_partition(view);
    uint32_t letter = command_letter(key);

    switch (letter) {
    case 'N':
        if (view->selected >= 0 && view->selected < view->row_count &&
            view->rows[view->selected].is_free) {
            // The dialog rebuilds the rows, which frees the one it was given.
            Row area = view->rows[view->selected];
            new_partition_dialog(view, &area);
        } else if (view->table.kind == TableKind::None) {
            view_set_message(view, true, "No partition table: Z makes one.");
        } else {
            view_set_message(view, true, "Select a free area.");
        }
        return true;
    case 'D':
    case 'T':
    case 'R':
    case 'A':
    case 'W':
        if (partition == nullptr) {
            view_set_message(view, true, "Select a partition first.");
            return true;
        }
        break;
    case 'Z':
        new_table_command(view);
        return true;
    case 'X':
        delete_table_command(view);
        return true;
    case 'B':
        backup_dialog(view);
        return true;
    case 'S':
        restore_dialog(view);
        return true;
    case kWriteKey:
        write_command(view);
        return true;
    default:
        return false;
    }

    switch (letter) {
    case 'D':
        delete_command(view, partition);
        break;
    case 'T':
        type_command(view, partition);
        break;
    case 'R':
        rename_command(view, partition);
        break;
    case 'A':
        active_command(view, partition);
        break;
    default:
        wipe_dialog(view);
        break;
    }
    return true;
}

} // namespace kv
