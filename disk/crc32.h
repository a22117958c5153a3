// CRC-32 as used by GPT headers and arrays and by the backup file.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace kv {

// The reflected IEEE 802.3 CRC (polynomial 0xEDB88320). Pass 0 as `previous`
// for a fresh checksum, or an earlier result to continue over another piece.
// A length of 0 returns `previous` unchanged.
uint32_t crc32(uint32_t previous, const void* data, size_t length);

} // namespace kv
