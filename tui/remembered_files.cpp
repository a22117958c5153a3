// The backup file last used with each disk, the default answer of that
// disk's next Backup and Restore: one name for the whole program would offer
// one disk's table to another.
#include "platform/format.h"
#include "platform/strings.h"
#include "tui/command_dialogs.h"

namespace kv {

namespace {

constexpr int kRememberedDisks = 16;

struct RememberedFile {
    uint64_t key;
    char file[kFileNameSize];
};

RememberedFile g_files[kRememberedDisks];
int g_count;
int g_next_slot; // the oldest entry goes once every slot is taken

// Disk names follow the sorted handle list and shift when disks come or go;
// the device path stays with the disk.
uint64_t disk_key(const Disk* disk) {
    const char* text = disk->device_path != nullptr && disk->device_path[0] != '\0'
                           ? disk->device_path
                           : disk->name;
    uint64_t hash = 14695981039346656037ull;
    for (const char* p = text; *p != '\0'; p++)
        hash = (hash ^ (uint8_t)*p) * 1099511628211ull;
    return hash;
}

RememberedFile* find(const Disk* disk) {
    uint64_t key = disk_key(disk);
    for (int i = 0; i < g_count; i++)
        if (g_files[i].key == key) return &g_files[i];
    return nullptr;
}

} // namespace

const char* remembered_file(const Disk* disk) {
    const RememberedFile* entry = find(disk);
    return entry != nullptr ? entry->file : "";
}

void remember_file(const Disk* disk, const char* file) {
    RememberedFile* entry = find(disk);
    if (entry == nullptr) {
        if (g_count < kRememberedDisks) {
            entry = &g_files[g_count++];
        } else {
            entry = &g_files[g_next_slot];
            g_next_slot = (g_next_slot + 1) % kRememberedDisks;
        }
        entry->key = disk_key(disk);
    }
    format(entry->file, sizeof entry->file, "%s", file);
}

void forget_remembered_files() {
    g_count = 0;
    g_next_slot = 0;
}

} // namespace kv
