// Reading the disks again for the graphical front end and choosing which one
// to show afterwards.
#pragma once

#include "disk/model.h"
#include "disk/summary.h"
#include "disk/view.h"

namespace kv {

// Closes `view`, rebuilds the disk list (*disks, *disk_count) and the
// summaries, and opens the disk to show: the one with the name the view
// showed before, else the first disk that may be written, else disk 0. A
// disk that cannot be read leaves the view empty with the error message
// "The disk could not be read."; with no disks the view is just empty.
// Returns the index of the chosen disk (0 when there is none).
int choose_disk_after_rescan(DiskView* view, Disk** disks, int* disk_count,
                             DiskSummary** summaries);

} // namespace kv
