// What the writers of the three table kinds share. Private to io/: callers
// use write_table, which has already checked that the table was made for
// this device and that its block size is at least 512.
#pragma once

#include <stdint.h>

#include "disk/model.h"
#include "io/write_table.h"
#include "platform/error.h"

namespace kv {

// Writes `count` blocks; ERR_WRITE_PROTECTED when the device has no `write`.
ErrorCode write_blocks(const BlockDevice* device, uint64_t first, uint64_t count,
                       const uint8_t* buffer);

// One 16-byte MBR or EBR entry. `first_block` is the absolute block that the
// CHS fields describe (it differs from `start` inside an EBR); the last CHS
// is that of first_block + size - 1.
void encode_mbr_entry(uint8_t* entry, bool active, uint8_t type, uint32_t start, uint32_t size,
                      uint64_t first_block);

// Fills the refusal with the composed text and returns ERR_INVALID_PARAMETER.
ErrorCode refuse(WriteRefusal* refusal, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// `refusal` is never null here.
ErrorCode write_mbr_table(const BlockDevice* device, const PartitionTable* table,
                          WriteRefusal* refusal);
ErrorCode write_gpt_table(const BlockDevice* device, const PartitionTable* table,
                          WriteRefusal* refusal);

} // namespace kv
