// PLACEHOLDER: replaced by the command dialogs implementation.
#include "tui/command_dialogs.h"
namespace kv {
char g_remembered_file[kFileNameSize];
void new_partition_dialog(DiskView*, const Row*) {}
bool type_dialog(DiskView*, uint8_t*, uint8_t*, int) { return false; }
void backup_dialog(DiskView*) {}
void restore_dialog(DiskView*) {}
void wipe_dialog(DiskView*) {}
bool normalise_file_name(char*, size_t) { return false; }
} // namespace kv
