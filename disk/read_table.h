// Reading a disk's partition table into the model. Everything on the disk is
// untrusted: damage and oddities become notes on the table, never failures.
#pragma once

#include <stdint.h>

#include "disk/model.h"
#include "platform/error.h"

namespace kv {

// Clears `table` (its partition array must already be released) and fills it
// from the disk: an MBR with its EBR chain, a GPT behind a protective, hybrid
// or missing MBR, or kind None. Returns 0 whenever block 0 could be
// examined, ERR_INVALID_PARAMETER for a block size below 512 or an empty
// disk, ERR_IO when block 0 cannot be read; on those two only `block_size`
// and `block_count` are set. The table comes back clean (nothing changed).
// The table also carries a fingerprint of every block read for it.
ErrorCode read_table(const BlockDevice* device, PartitionTable* table);

// Reads the disk again as read_table did for `table` and tells whether the
// same blocks hold the same bytes. A table that was not read from a disk
// (fingerprinted false) has nothing to compare and always matches.
bool disk_still_matches(const BlockDevice* device, const PartitionTable* table);

// read_table without the fingerprint: what the tap in read_table reads through.
ErrorCode read_table_blocks(const BlockDevice* device, PartitionTable* table);

// Whether block 0 (at least 512 bytes) carries the signature of an NTFS,
// exFAT or FAT boot sector. Meaningful only where byte 0 is a jump
// instruction (0xE9 or 0xEB).
bool looks_like_filesystem(const uint8_t* block0);

// Validates the GPT header in `block` and its entry array. On success hands
// over both as new buffers that the caller frees (the header is one block,
// the array whole blocks). On failure nothing stays allocated and `reason`
// holds a short text that completes "the primary GPT ..." or "the backup
// GPT ...".
bool check_gpt_header(const BlockDevice* device, uint64_t block, uint8_t** header, uint8_t** array,
                      const char** reason);

// Fills the GPT fields, partitions and notes of a table that read_table has
// just cleared, choosing between the primary and the backup copy.
void load_gpt(const BlockDevice* device, PartitionTable* table);

} // namespace kv
