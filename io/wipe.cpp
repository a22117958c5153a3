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

// Where one pass writes its chunks one at a time: the device's own `write`
// (copied and flushed each time), or a queue's slot written in place and
// flushed once at the end.
struct Writer {
    ErrorCode (*write)(void* self, uint64_t first_block, uint64_t block_count,
                       const uint8_t* buffer);
    void* self;
    ErrorCode (*flush)(void* self); // null when each write is durable
};

ErrorCode run_pass(const Writer& out, uint32_t block_size, uint64_t first, uint64_t count, int pass,
                   Xoshiro256ss* g, uint8_t* buffer, WipeProgressFn progress, void* context) {
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
        ErrorCode rc = out.write(out.self, first + done, n, buffer);
        done += n;
        if (rc == ERR_OK && done == count && out.flush) rc = out.flush(out.self);
        if (rc != ERR_OK) return rc;
        if (progress && !progress(context, pass, done, count)) return ERR_ABORTED;
    }
    return ERR_OK;
}

ErrorCode device_write(void* self, uint64_t first_block, uint64_t block_count,
                       const uint8_t* buffer) {
    const BlockDevice* device = static_cast<const BlockDevice*>(self);
    return device->write(device->context, first_block, block_count, buffer);
}

// The most chunks a queued wipe keeps in flight (32 MiB): while seven are
// written the generator fills the eighth. EDK2's NVMe driver hands requests
// to the controller and sees them complete only on its timer's ticks, so a
// chunk spends one or two ticks in flight whatever its size; on OVMF three
// chunks reached half of the plain write rate, eight most of it. A queue
// says how many it can use.
constexpr int kQueueSlots = 8;

struct Queued {
    const WriteQueueOps* ops;
    void* queue;
    int slots;
    uint64_t blocks[kQueueSlots]; // in flight per slot; 0 for an idle slot
    int next;                     // the slot for the next chunk, the oldest in flight
};

// Slot 0 written in place: the buffer is its pages.
ErrorCode slot_write(void* self, uint64_t first_block, uint64_t block_count, const uint8_t*) {
    Queued* q = static_cast<Queued*>(self);
    return q->ops->write(q->queue, 0, first_block, block_count);
}

ErrorCode slot_flush(void* self) {
    Queued* q = static_cast<Queued*>(self);
    return q->ops->flush(q->queue);
}

// Waits for the write in the slot, if any. *finished gets its blocks (0
// when the slot was idle).
ErrorCode settle(Queued* q, int slot, uint64_t* finished) {
    *finished = q->blocks[slot];
    if (*finished == 0) return ERR_OK;
    q->blocks[slot] = 0;
    return q->ops->wait(q->queue, slot);
}

// One pass with writes in flight. Slots are used in turn, so the slot the
// next chunk needs holds the oldest write: its completion is what the
// progress reports, in order, and a chunk counts as done only once the
// device said so. The last report of a pass follows the flush.
ErrorCode run_pass_queued(Queued* q, const BlockDevice* device, uint64_t first, uint64_t count,
                          int pass, Xoshiro256ss* g, WipeProgressFn progress, void* context) {
    uint64_t chunk_blocks = kWipeChunkBytes / device->block_size;
    if (progress && !progress(context, pass, 0, count)) return ERR_ABORTED;
    uint64_t started = 0, done = 0;
    while (done < count) {
        uint64_t finished = 0;
        ErrorCode rc = settle(q, q->next, &finished);
        if (rc != ERR_OK) return rc;
        if (finished > 0) {
            done += finished;
            if (done == count) rc = q->ops->flush(q->queue);
            if (rc != ERR_OK) return rc;
            if (progress && !progress(context, pass, done, count)) return ERR_ABORTED;
        }
        if (started < count) {
            uint64_t n = count - started < chunk_blocks ? count - started : chunk_blocks;
            if (pass == 1)
                xoshiro_fill(g, q->ops->buffer(q->queue, q->next),
                             ((size_t)(n * device->block_size) + 7) / 8);
            rc = q->ops->start(q->queue, q->next, first + started, n);
            if (rc != ERR_OK) return rc;
            q->blocks[q->next] = n;
            started += n;
        }
        q->next = (q->next + 1) % q->slots;
    }
    return ERR_OK;
}

// Only the random pass keeps writes in flight, to generate while they are
// written. The zeros have nothing to overlap, and the firmware's blocking
// writes end sooner than its queued ones: EDK2's NVMe driver polls for them
// rather than waiting for its timer, and on OVMF ran 1.6 times as fast.
ErrorCode wipe_queued(Queued* q, const BlockDevice* device, uint64_t first, uint64_t count,
                      Xoshiro256ss* g, WipeProgressFn progress, void* context) {
    Writer one = {slot_write, q, slot_flush};
    uint8_t* slot0 = q->ops->buffer(q->queue, 0);
    ErrorCode rc = q->slots > 1 ? run_pass_queued(q, device, first, count, 1, g, progress, context)
                                : run_pass(one, device->block_size, first, count, 1, g, slot0,
                                           progress, context);
    if (rc == ERR_OK) {
        memset(slot0, 0, kWipeChunkBytes);
        rc = run_pass(one, device->block_size, first, count, 2, g, slot0, progress, context);
    }
    if (rc != ERR_OK) {
        // A stop or a failure leaves writes in flight: nothing is reported
        // before each has ended, and one that failed is the outcome rather
        // than the stop. What was written is flushed as the other path does.
        for (int i = 0; i < q->slots; i++) {
            uint64_t finished = 0;
            ErrorCode late = settle(q, i, &finished);
            if (rc == ERR_ABORTED && late != ERR_OK) rc = late;
        }
        ErrorCode flushed = q->ops->flush(q->queue);
        if (rc == ERR_ABORTED && flushed != ERR_OK) rc = flushed;
    }
    q->ops->close(q->queue);
    return rc;
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
    if (device->queue) {
        int slots = device->queue->depth;
        if (slots < 1 || slots > kQueueSlots) slots = kQueueSlots;
        // Short of memory, fewer slots still spare the copies; one slot
        // writes as the blocking queue does.
        for (; slots >= 1; slots /= 2) {
            Queued q = {device->queue,
                        device->queue->open(device->context, slots, kWipeChunkBytes),
                        slots,
                        {},
                        0};
            if (q.queue) return wipe_queued(&q, device, first, count, &g, progress, context);
        }
    }
    uint8_t* buffer = static_cast<uint8_t*>(xmalloc(kWipeChunkBytes));
    Writer own = {device_write, const_cast<BlockDevice*>(device), nullptr};
    ErrorCode rc =
        run_pass(own, device->block_size, first, count, 1, &g, buffer, progress, context);
    if (rc == ERR_OK) {
        memset(buffer, 0, kWipeChunkBytes);
        rc = run_pass(own, device->block_size, first, count, 2, &g, buffer, progress, context);
    }
    free(buffer);
    return rc;
}

} // namespace kv
