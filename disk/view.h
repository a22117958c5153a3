// The working state a front end keeps for the disk it shows: the loaded
// table, its partitions and free areas as rows in disk order, the selected
// row, the scroll position and the one-line status message. Both front ends
// share the record and these operations and differ only in drawing it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "disk/model.h"

namespace kv {

constexpr size_t kMessageSize = 240; // 239 bytes and the NUL

// One line of the list: a partition (by index into the table's array) or a
// free area. Rows name partitions by index, so every change to the array
// makes them stale until view_build_rows runs again.
struct Row {
    bool is_free;
    int32_t partition_index; // -1 for a free area
    uint64_t start;          // free areas only
    uint64_t size;           // free areas only, in blocks
    bool logical;            // free areas only: inside the extended partition
    uint64_t sort_key;       // the partition's or the area's first block
};

// Created zeroed (`DiskView view{};`), pointed at a disk and loaded.
struct DiskView {
    const Disk* disk; // not owned
    PartitionTable table;
    bool loaded; // the last read_table on this view succeeded
    Row* rows;   // owned
    int32_t row_count;
    int32_t selected;      // 0 when there are no rows
    int32_t first_visible; // kept by the front ends
    char message[kMessageSize];
    bool message_is_error;
};

// Rebuilds the rows from the table: one per partition and one per free area,
// sorted by first block. A selection past the new end moves to the last row
// (0 when there is none); a smaller one keeps its position.
void view_build_rows(DiskView* view);

// Selects the row with that first block and kind; when several match the
// last one wins, and when none does the selection stays.
void view_select(DiskView* view, uint64_t start, bool is_free);

// Reads the table from the disk again, which also discards every unwritten
// change, and rebuilds the rows. On failure the table is emptied (kind None),
// the view has no rows and false comes back; reporting it is the caller's.
bool view_load(DiskView* view);

// Frees the rows and the partitions and marks the view not loaded. The disk,
// selection and message stay; view_open or view_load may follow.
void view_close(DiskView* view);

// Closes the view, zeroes it, points it at `disk` and loads it. A null disk
// leaves the view empty and returns false.
bool view_open(DiskView* view, const Disk* disk);

// The selected row's partition, or null when there are no rows or the row is
// a free area. Valid until the partition array changes.
Partition* view_selected_partition(DiskView* view);

// Formats the status message, cut to 239 bytes without splitting a UTF-8
// character, and sets its kind.
void view_set_message(DiskView* view, bool is_error, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

} // namespace kv
