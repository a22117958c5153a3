#include "platform/rescan.h"

#include "platform/disks.h"
#include "platform/strings.h"

namespace kv {

namespace {

int choose(const Disk* disks, int count, const char* previous) {
    if (previous[0] != '\0')
        for (int i = 0; i < count; i++)
            if (strcmp(disks[i].name, previous) == 0) return i;
    for (int i = 0; i < count; i++)
        if (!disks[i].read_only && !disks[i].started_here) return i;
    return 0;
}

} // namespace

int choose_disk_after_rescan(DiskView* view, Disk** disks, int* disk_count,
                             DiskSummary** summaries) {
    // The shown Disk lives in the list that discovery is about to free.
    char previous[sizeof view->disk->name] = {};
    if (view->disk != nullptr) {
        memcpy(previous, view->disk->name, sizeof previous);
        previous[sizeof previous - 1] = '\0';
    }
    view_close(view);
    view->disk = nullptr;

    *disk_count = discover_disks(disks);
    *summaries = summarize_disks(*disks, *disk_count);

    int index = choose(*disks, *disk_count, previous);
    if (index >= *disk_count) {
        view_open(view, nullptr);
        return index;
    }
    if (!view_open(view, &(*disks)[index]))
        view_set_message(view, true, "The disk could not be read.");
    return index;
}

} // namespace kv
