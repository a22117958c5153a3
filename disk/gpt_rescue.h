// The reader's answers to disks whose GPT survives only in part: a backup
// copy behind a blank start, and hybrid entries that no longer match.
#pragma once

#include "disk/model.h"

namespace kv {

// A disk without MBR signature and without a primary header may still carry
// a sound backup GPT in its last block (a stray clear of its first blocks).
// When it does, the table is loaded from it, marked for repair and noted as
// such; otherwise the table stays as it was.
void load_gpt_behind_blank_start(const BlockDevice* device, PartitionTable* table);

// For a GPT read behind a hybrid MBR: an MBR entry that matches no GPT
// partition is stale, and the writer clears it, so the table needs repair.
void note_stale_hybrid_entries(PartitionTable* table);

} // namespace kv
