#include "disk/gpt_rescue.h"

#include "disk/bytes.h"
#include "disk/mbr_layout.h"
#include "disk/read_table.h"
#include "platform/format.h"
#include "platform/memory.h"

namespace kv {

void load_gpt_behind_blank_start(const BlockDevice* device, PartitionTable* table) {
    if (table->block_count <= 2) return;
    uint8_t* header = nullptr;
    uint8_t* array = nullptr;
    const char* reason = nullptr;
    bool found = check_gpt_header(device, table->block_count - 1, &header, &array, &reason);
    free(header);
    free(array);
    if (!found) return;
    int32_t first_note = table->note_count;
    load_gpt(device, table);
    if (table->kind != TableKind::Gpt) return;
    // The primary header's own note would only say that block 1 is not a
    // header; what the user needs to know is that the whole start is gone.
    if (first_note < table->note_count)
        format(table->notes[first_note].text, kNoteSize,
               "the start of the disk is blank; the backup GPT is used");
    else
        add_note(table, "the start of the disk is blank; the backup GPT is used");
    table->needs_repair = true;
}

void note_stale_hybrid_entries(PartitionTable* table) {
    if (table->kind != TableKind::Gpt || !table->hybrid) return;
    for (int slot = 1; slot <= kMbrSlots; slot++) {
        const uint8_t* entry = table->block0 + mbr_entry_offset(slot);
        uint8_t type = entry[kEntryType];
        if (type == kTypeEmpty || type == kTypeProtective) continue;
        uint32_t start = load_le32(entry + kEntryFirstBlock);
        uint32_t size = load_le32(entry + kEntryBlockCount);
        bool matched = false;
        for (int32_t i = 0; i < table->partition_count && !matched; i++)
            matched = table->partitions[i].start == start && table->partitions[i].size == size;
        if (matched) continue;
        add_note(table, "hybrid MBR entry %d matches no GPT partition", slot);
        table->needs_repair = true;
    }
}

} // namespace kv
