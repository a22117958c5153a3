// The interactive program: the disk list and the way into a disk.
#pragma once
#include "disk/model.h"
#include "platform/version.h"

namespace kv {

// "GPT", "MBR" or "no table".
const char* table_kind_name(TableKind kind);

// The whole interactive program; returns 0.
int run_main();
void draw_disk_list(const Disk* disks, int count, int selected);
// The same, scrolled from *first (kept between frames by the caller) so that
// the selection is shown.
void draw_disk_list(const Disk* disks, int count, int selected, int* first);
// Runs the partition screen of one disk until the user leaves it.
void open_disk(const Disk* disk);

} // namespace kv
