// PLACEHOLDER: replaced by the partition screen implementation.
#include "tui/partition_screen.h"
namespace kv {
const Command kCommandTable[kCommandCount] = {};
void draw_partition_screen(DiskView*) {}
void redraw_behind(DiskView*) {}
bool handle_command(DiskView*, const KeyEvent*) { return false; }
bool confirm_write(DiskView*, const char*, const char*) { return false; }
bool write_guard(DiskView*) { return false; }
} // namespace kv
