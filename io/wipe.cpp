#include "io/wipe.h"

#include "io/xoshiro.h"
#include "platform/memory.h"
#include "platform/strings.h"

namespace kv {

namespace {

// An all-zero seed would make the generator write zeros for ever. A source
// that gives nothing else this many times in a row is broken, and waiting
// on it would hang the program.
constexpr int kSeedAttempts = 16;

bool draw_seed(const BlockDevice* device, Xoshiro256ss* g) {
    uint8_t seed[32];
    for (int i = 0; i < kSeedAttempts; i++) {
        device->random(device->context, seed, sizeof seed);
        if (xoshiro_seed(g, seed)) return true;
    }
    return false;
}

ErrorCode run_pass(const BlockDevice* device, uint64_t first, uint64_t count, int pass,
                   Xoshiro256ss* g, uint8_t* buffer, WipeProgressFn progress, void* context) {
    uint32_t block_size = device->block_size;
    uint64_t chunk_blocks = kWipeChunkBytes / block_size;
    if (progress && !progress(context, pass, 0, count)) return ERR_ABORTED;
    uint64_t done = 0;
    while (done < count) {
        uint64_t n = count - done < chunk_blocks ? count - done : chunk_blocks;
        if (pass == 1) {
            // Block sizes that are not a multiple of 8 round up to whole
            // words; the buffer has room, as 4 MiB is itself a multiple of 8.
            size_t bytes = (size_t)(n * block_size);
            xoshiro_fill(g, buffer, (bytes + 7) / 8);
        }
        ErrorCode rc = device->write(device->context, first + done, n, buffer);
        if (rc != ERR_OK) return rc;
        done += n;
        if (progress && !progress(context, pass, done, count)) return ERR_ABORTED;
    }
    return ERR_OK;
}

} // namespace

ErrorCode wipe_blocks(const BlockDevice* device, uint64_t first, uint64_t count,
                      WipeProgressFn progress, void* context) {
    if (!device->write) return ERR_WRITE_PROTECTED;
    // A block size of 0 would divide by zero, and one above the chunk would
    // make chunks of no blocks and never finish.
    if (device->block_size == 0 || device->block_size > kWipeChunkBytes)
        return ERR_INVALID_PARAMETER;
    // Written as a subtraction so that first + count cannot wrap past 2^64.
    if (count == 0 || first >= device->block_count || count > device->block_count - first)
        return ERR_INVALID_PARAMETER;

    Xoshiro256ss g;
    if (!draw_seed(device, &g)) return ERR_IO;
    uint8_t* buffer = static_cast<uint8_t*>(xmalloc(kWipeChunkBytes));
    ErrorCode rc = run_pass(device, first, count, 1, &g, buffer, progress, context);
    if (rc == ERR_OK) {
        memset(buffer, 0, kWipeChunkBytes);
        rc = run_pass(device, first, count, 2, &g, buffer, progress, context);
    }
    free(buffer);
    return rc;
}

} // namespace kv
