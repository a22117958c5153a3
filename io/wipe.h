// Overwrites a block range twice, first with pseudo-random data and then
// with zeros, in 4 MiB writes, reporting progress after every write.
#pragma once

#include <stdint.h>

#include "disk/model.h"
#include "platform/error.h"

namespace kv {

constexpr uint32_t kWipeChunkBytes = 4194304;

// Progress of one pass: `done` of `total` blocks written. Called with done = 0
// when a pass starts and after every write; returning false stops the wipe.
typedef bool (*WipeProgressFn)(void* context, int pass, uint64_t done, uint64_t total);

// Wipes blocks first .. first + count - 1 of the device; `progress` may be
// null. Returns 0 after both passes, ERR_ABORTED when progress asked to stop,
// ERR_WRITE_PROTECTED when the device has no write (checked before anything
// else happens), ERR_INVALID_PARAMETER for an empty range, one not wholly on
// the disk, or a block size of 0 or above 4 MiB, ERR_IO when the device's
// random source keeps giving all-zero seeds, or else the code of the first
// failed write. Blocks written before a stop or a failure stay overwritten.
ErrorCode wipe_blocks(const BlockDevice* device, uint64_t first, uint64_t count,
                      WipeProgressFn progress, void* context);

} // namespace kv
