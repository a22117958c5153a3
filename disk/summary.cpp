#include "disk/summary.h"

#include "disk/read_table.h"
#include "platform/memory.h"

namespace kv {

namespace {

DiskSummary* g_summaries;
int g_summary_count;

} // namespace

DiskSummary summarize_disk(const Disk* disk) {
    PartitionTable table{};
    DiskSummary summary = {-1, 0};
    if (read_table(&disk->access, &table) == ERR_OK) {
        summary.kind = (int32_t)table.kind;
        for (int32_t i = 0; i < table.partition_count; i++)
            if (table.partitions[i].kind != PartitionKind::Extended) summary.partition_count++;
    }
    table_free(&table);
    return summary;
}

void release_summaries() {
    free(g_summaries);
    g_summaries = nullptr;
    g_summary_count = 0;
}

DiskSummary* summarize_disks(const Disk* disks, int count) {
    release_summaries();
    if (count <= 0) return nullptr;
    g_summaries = (DiskSummary*)xcalloc((size_t)count, sizeof(DiskSummary));
    g_summary_count = count;
    for (int i = 0; i < count; i++)
        g_summaries[i] = summarize_disk(&disks[i]);
    return g_summaries;
}

DiskSummary* summarize_disks(const Disk* disks, int count, int shown) {
    if (shown >= 0 && shown < count && shown < g_summary_count)
        g_summaries[shown] = summarize_disk(&disks[shown]);
    return g_summaries;
}

} // namespace kv
