#include "disk/view.h"

#include <stdarg.h>

#include "disk/read_table.h"
#include "edit/free_space.h"
#include "platform/format.h"
#include "platform/memory.h"
#include "platform/sort.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

namespace {

// Disk order. Equal starts only come from damaged tables (or empty
// partitions); partitions then go first in array order, so the list does not
// reshuffle from one rebuild to the next.
int compare_rows(const void* left, const void* right) {
    const Row* a = (const Row*)left;
    const Row* b = (const Row*)right;
    if (a->sort_key != b->sort_key) return a->sort_key < b->sort_key ? -1 : 1;
    if (a->is_free != b->is_free) return a->is_free ? 1 : -1;
    if (a->partition_index != b->partition_index)
        return a->partition_index < b->partition_index ? -1 : 1;
    return 0;
}

void drop_rows(DiskView* view) {
    free(view->rows);
    view->rows = nullptr;
    view->row_count = 0;
}

} // namespace

void view_build_rows(DiskView* view) {
    drop_rows(view);

    FreeArea* areas = nullptr;
    int area_count = list_free_areas(&view->table, &areas);
    if (area_count < 0) area_count = 0;
    int32_t partition_count = view->table.partitions ? view->table.partition_count : 0;
    if (partition_count < 0) partition_count = 0;

    // One spare row, so that an empty list still gets an array.
    size_t capacity = (size_t)partition_count + (size_t)area_count + 1;
    view->rows = (Row*)xcalloc(capacity, sizeof(Row));
    int32_t count = 0;
    for (int32_t i = 0; i < partition_count; i++) {
        Row* row = &view->rows[count++];
        row->partition_index = i;
        row->sort_key = view->table.partitions[i].start;
    }
    for (int i = 0; i < area_count; i++) {
        Row* row = &view->rows[count++];
        row->is_free = true;
        row->partition_index = -1;
        row->start = areas[i].start;
        row->size = areas[i].size;
        row->logical = areas[i].logical;
        row->sort_key = areas[i].start;
    }
    free(areas);
    sort(view->rows, (size_t)count, sizeof(Row), compare_rows);
    view->row_count = count;

    if (view->selected >= count) view->selected = count > 0 ? count - 1 : 0;
    if (view->selected < 0) view->selected = 0;
}

void view_select(DiskView* view, uint64_t start, bool is_free) {
    for (int32_t i = 0; i < view->row_count; i++)
        if (view->rows[i].sort_key == start && view->rows[i].is_free == is_free) view->selected = i;
}

bool view_load(DiskView* view) {
    // Always, not only when loaded: a table created on an unreadable disk
    // holds partitions too.
    clear_partitions(&view->table);
    ErrorCode result = ERR_INVALID_PARAMETER;
    if (view->disk != nullptr) result = read_table(&view->disk->access, &view->table);
    view->loaded = result == ERR_OK;
    if (view->loaded) {
        view_build_rows(view);
        return true;
    }
    clear_partitions(&view->table);
    memset(&view->table, 0, sizeof view->table);
    drop_rows(view);
    view->selected = 0;
    return false;
}

void view_close(DiskView* view) {
    drop_rows(view);
    // Whether loaded or not: a new table made after a failed load owns an
    // array as well.
    clear_partitions(&view->table);
    view->loaded = false;
}

bool view_open(DiskView* view, const Disk* disk) {
    view_close(view);
    memset(view, 0, sizeof *view);
    view->disk = disk;
    if (disk == nullptr) return false;
    return view_load(view);
}

Partition* view_selected_partition(DiskView* view) {
    if (view->rows == nullptr || view->selected < 0 || view->selected >= view->row_count)
        return nullptr;
    const Row* row = &view->rows[view->selected];
    if (row->is_free) return nullptr;
    // Rows left stale by an edit must not reach past the array.
    if (row->partition_index < 0 || row->partition_index >= view->table.partition_count)
        return nullptr;
    return &view->table.partitions[row->partition_index];
}

void view_set_message(DiskView* view, bool is_error, const char* format, ...) {
    view->message_is_error = is_error;
    view->message[0] = '\0';
    if (format == nullptr) return;
    va_list args;
    va_start(args, format);
    int full = vformat(view->message, kMessageSize, format, args);
    va_end(args);
    view->message[kMessageSize - 1] = '\0';
    // A partition name may be what the cut falls into.
    if (full >= (int)kMessageSize)
        view->message[utf8_whole_prefix(view->message, strlen(view->message))] = '\0';
}

} // namespace kv
