// The Backup and Restore commands: a file named by the user on one of the
// firmware's volumes, holding the blocks of a disk's partition table.
#include "disk/read_table.h"
#include "io/backup.h"
#include "platform/error.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/memory.h"
#include "platform/strings.h"
#include "platform/volumes.h"
#include "tui/command_dialogs.h"
#include "tui/dialogs.h"
#include "tui/partition_screen.h"

namespace kv {

namespace {

const char kNoVolume[] = "The file needs its volume, e.g. fs1:\\table.bin.";
constexpr uint64_t kMaxBackupFile = 67108864;
constexpr size_t kVolumeListSize = 240;
constexpr size_t kPromptSize = 320;
// The name, a few words and the disk's name.
constexpr size_t kSentenceSize = kFileNameSize + 80;

// "fs0, fs1 (ro)", cut to the buffer; "none" without volumes.
void volume_list(char* buffer, size_t size) {
    int count = volume_count();
    if (count == 0) {
        format(buffer, size, "none");
        return;
    }
    size_t used = 0;
    buffer[0] = '\0';
    for (int i = 0; i < count && used + 1 < size; i++) {
        const Volume* v = volume_at(i);
        int n = format(buffer + used, size - used, "%s%s%s", i > 0 ? ", " : "", v->name,
                       v->read_only ? " (ro)" : "");
        used += (size_t)n;
    }
}

// Asks for the file name with the volume list under the question. False
// when cancelled or when the answer names no volume (after saying so).
bool ask_file_name(DiskView* view, const char* title, const char* question, char* name) {
    char volumes[kVolumeListSize];
    volume_list(volumes, sizeof volumes);
    char prompt[kPromptSize];
    format(prompt, sizeof prompt, "%s\nVolumes: %s", question, volumes);
    redraw_behind(view);
    if (!input_box(false, title, prompt, name, kFileNameSize)) return false;
    if (!normalise_file_name(name, kFileNameSize)) {
        redraw_behind(view);
        message_box(true, title, kNoVolume);
        return false;
    }
    return true;
}

// The backup image of what the disk holds now, not of the edited table.
ErrorCode build_image_from_disk(const Disk* disk, uint8_t** image, size_t* image_size,
                                bool* no_table) {
    *no_table = false;
    PartitionTable table{};
    ErrorCode code = read_table(&disk->access, &table);
    if (code == ERR_OK && table.kind == TableKind::None) *no_table = true;
    if (code == ERR_OK && !*no_table) code = build_backup(&disk->access, &table, image, image_size);
    table_free(&table);
    return code;
}

ErrorCode save_file(const char* name, const uint8_t* image, size_t size) {
    FileHandle* file = nullptr;
    ErrorCode code = file_open(name, OPEN_WRITE | OPEN_CREATE | OPEN_TRUNCATE, &file);
    if (code != ERR_OK) return code;
    code = file_write_all(file, image, size);
    // The close writes out what the firmware still holds, so its failure
    // counts; a failed write is the more telling error, though.
    ErrorCode closed = file_close(file);
    code = code != ERR_OK ? code : closed;
    // A part of a backup is no backup: nothing of a failed one stays.
    if (code != ERR_OK) file_delete(name);
    return code;
}

constexpr size_t kTempNameSize = kFileNameSize + 8;

// Replaces an existing backup file so that one complete backup exists at
// every moment: the new one goes to a file beside it first, and the old
// one is removed only then. Where the firmware cannot rename, the new one
// is written once more under the old name. Fills `text` with what to tell
// the user on failure.
ErrorCode replace_file(const char* name, const uint8_t* image, size_t size, char* text,
                       size_t text_size) {
    char temp[kTempNameSize];
    format(temp, sizeof temp, "%s.new", name);
    ErrorCode code = save_file(temp, image, size);
    if (code != ERR_OK) {
        format(text, text_size, "%s: %s.", name, error_text(code));
        return code;
    }
    code = file_delete(name);
    if (code != ERR_OK) {
        file_delete(temp);
        format(text, text_size, "%s cannot be replaced on this volume: choose another name.", name);
        return code;
    }
    const char* leaf = name;
    for (const char* p = name; *p != '\0'; p++)
        if (*p == '\\' || *p == ':') leaf = p + 1;
    if (file_rename(temp, leaf) == ERR_OK) return ERR_OK;
    code = save_file(name, image, size);
    if (code == ERR_OK) {
        file_delete(temp);
        return ERR_OK;
    }
    format(text, text_size, "%s cannot be replaced on this volume: the backup is in %s.", name,
           temp);
    return code;
}

// The whole file into a new buffer. Files larger than any backup image are
// refused before anything is read.
ErrorCode load_file(const char* name, uint8_t** data, size_t* size) {
    *data = nullptr;
    *size = 0;
    FileStat stat{};
    ErrorCode code = file_stat(name, &stat);
    if (code != ERR_OK) return code;
    if (stat.is_directory) return ERR_IS_DIRECTORY;
    if (stat.size > kMaxBackupFile) return ERR_INVALID_PARAMETER;

    FileHandle* file = nullptr;
    code = file_open(name, OPEN_READ, &file);
    if (code != ERR_OK) return code;
    size_t want = (size_t)stat.size;
    uint8_t* buffer = (uint8_t*)xmalloc(want > 0 ? want : 1);
    size_t got = 0;
    while (code == ERR_OK && got < want) {
        size_t n = 0;
        code = file_read(file, buffer + got, want - got, &n);
        if (n == 0) break;
        got += n;
    }
    file_close(file);
    if (code == ERR_OK && got < want) code = ERR_IO;
    if (code != ERR_OK) {
        free(buffer);
        return code;
    }
    *data = buffer;
    *size = want;
    return ERR_OK;
}

// This disk's own remembered file, else its default name on the start
// volume or the first writable one; empty without such a volume.
void default_file_name(const Disk* disk, char* name) {
    name[0] = '\0';
    if (remembered_file(disk)[0] != '\0') {
        format(name, kFileNameSize, "%s", remembered_file(disk));
        return;
    }
    int chosen = boot_volume();
    if (chosen >= 0 && volume_at(chosen)->read_only) chosen = -1;
    for (int i = 0; chosen < 0 && i < volume_count(); i++)
        if (!volume_at(i)->read_only) chosen = i;
    if (chosen >= 0)
        format(name, kFileNameSize, "%s:\\korvane-%s.bin", volume_at(chosen)->name, disk->name);
}

} // namespace

bool normalise_file_name(char* name, size_t capacity) {
    char* colon = strchr(name, ':');
    if (colon == nullptr || colon == name) return false;
    for (char* p = name; p < colon; p++)
        if (*p >= 'A' && *p <= 'Z') *p = (char)(*p - 'A' + 'a');
    char* path = colon + 1;
    if (*path != '\\' && *path != '/') {
        size_t length = strlen(name);
        if (length + 2 > capacity) return false;
        memmove(path + 1, path, strlen(path) + 1);
        *path = '\\';
    }
    for (char* p = path; *p != '\0'; p++)
        if (*p == '/') *p = '\\';
    return true;
}

void backup_dialog(DiskView* view) {
    const char* title = "Backup";
    volume_scan();
    char name[kFileNameSize];
    default_file_name(view->disk, name);
    if (!ask_file_name(view, title, "Backup of the table on the disk, to file:", name)) return;

    FileStat existing{};
    bool exists = file_stat(name, &existing) == ERR_OK;
    if (exists) {
        redraw_behind(view);
        if (!confirm_box(true, title, "The file exists. Replace it? (Y/N)")) return;
    }

    uint8_t* image = nullptr;
    size_t image_size = 0;
    bool no_table = false;
    ErrorCode code = build_image_from_disk(view->disk, &image, &image_size, &no_table);
    if (no_table) {
        redraw_behind(view);
        message_box(true, title, "No partition table to back up.");
        return;
    }
    char text[kSentenceSize + kTempNameSize];
    // A directory is never replaced: the delete would take it if empty.
    if (code == ERR_OK && exists && existing.is_directory) code = ERR_IS_DIRECTORY;
    if (code != ERR_OK) {
        format(text, sizeof text, "%s: %s.", name, error_text(code));
    } else if (exists) {
        code = replace_file(name, image, image_size, text, sizeof text);
    } else {
        code = save_file(name, image, image_size);
        if (code != ERR_OK) format(text, sizeof text, "%s: %s.", name, error_text(code));
    }
    free(image);
    if (code != ERR_OK) {
        redraw_behind(view);
        message_box(true, title, text);
        return;
    }
    remember_file(view->disk, name);
    view_set_message(view, false, "Saved %s (%zu bytes).", name, image_size);
}

void restore_dialog(DiskView* view) {
    const char* title = "Restore";
    if (!write_guard(view)) return;
    volume_scan();
    char name[kFileNameSize];
    default_file_name(view->disk, name);
    if (!ask_file_name(view, title, "Restore from file:", name)) return;

    uint8_t* data = nullptr;
    size_t size = 0;
    ErrorCode code = load_file(name, &data, &size);
    if (code != ERR_OK) {
        char text[kSentenceSize];
        format(text, sizeof text, "%s could not be read: %s.", name, error_text(code));
        redraw_behind(view);
        message_box(true, title, text);
        return;
    }

    // A file that cannot be restored here is refused before any question.
    const char* refusal = check_backup(&view->disk->access, data, size);
    if (refusal != nullptr) {
        free(data);
        redraw_behind(view);
        message_box(true, title, refusal);
        return;
    }
    PartitionTable on_disk{};
    bool other_disk = read_table(&view->disk->access, &on_disk) == ERR_OK &&
                      backup_from_other_disk(&view->disk->access, data, size, &on_disk);
    table_free(&on_disk);

    char question[kSentenceSize + 80];
    format(question, sizeof question, "Restore %s to %s?%s%s (Y/N)", name, view->disk->name,
           view->table.dirty ? " Unwritten changes are lost." : "",
           other_disk ? " The backup was made on another disk." : "");
    if (!confirm_write(view, title, question)) {
        free(data);
        return;
    }

    const char* error = restore_backup(&view->disk->access, data, size);
    free(data);
    if (error != nullptr) {
        redraw_behind(view);
        message_box(true, title, error);
    }
    // Even a failed restore may have written some blocks: show what the
    // disk holds now.
    view_load(view);
    if (error != nullptr) return;
    remember_file(view->disk, name);
    view_set_message(view, false, "Restored from %s.", name);
}

} // namespace kv
