// The commands that need more than one question: New partition, Type,
// Backup, Restore and Wipe.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "disk/view.h"

namespace kv {

constexpr size_t kFileNameSize = 200;
// The last file backed up to or restored from for this disk (empty when
// none): the default answer of its next Backup and Restore.
const char* remembered_file(const Disk* disk);
void remember_file(const Disk* disk, const char* file);
void forget_remembered_files();

void new_partition_dialog(DiskView* view, const Row* area);
// In: the current type; out: the chosen one. False when cancelled or refused.
bool type_dialog(DiskView* view, uint8_t* type_byte, uint8_t type_guid[16], int initial);
void backup_dialog(DiskView* view);
void restore_dialog(DiskView* view);
void wipe_dialog(DiskView* view);

// "FS1:dir/t.bin" -> "fs1:\dir\t.bin" in place. False when the answer names
// no volume. The buffer must hold one more byte than the text.
bool normalise_file_name(char* name, size_t capacity);

} // namespace kv
