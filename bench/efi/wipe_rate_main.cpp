// kvwipebench.efi: the wipe's speed on the firmware, against the firmware's
// own write speed on the same disk in the same boot. Run by
// bench/wipe_rate_qemu.py; it prints lines beginning "kvwipebench".
//
// The disk is the first one the program may write (not the one it was
// started from); the range is its blocks from 1 MiB on, leaving 1 MiB at
// the end, at most 512 MiB. Each round times, over that range:
//   plain   WriteBlocks of a 4 MiB buffer of zeros, one after the other,
//           straight to Block I/O, and one FlushBlocks at the end;
//   wipe    the wipe engine through the disk's BlockDevice, both passes,
//           each from its first progress report to its last: from the
//           queue's pages, pass 1 with several writes in flight over Block
//           I/O 2 where the handle has it, else one at a time; with the
//           share of pass 1 spent waiting for the device and the time the
//           call took outside the passes (seed, pages taken and freed);
//   single  the engine again without the queue: one bounced and flushed
//           write at a time through the disk's `write`;
//   random  the generator alone filling one 4 MiB buffer as often as the
//           range needs: the most pass 1 can reach on this processor;
//   copy    the program's memcpy of 4 MiB as often: what the bounce buffer
//           of `write` costs.
// Rates are MB/s (10^6 bytes); ratios are of rates in the same round.
#include "disk/model.h"
#include "io/wipe.h"
#include "io/xoshiro.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/disks.h"
#include "platform/format.h"
#include "platform/globals.h"
#include "platform/startup.h"
#include "platform/strings.h"

namespace {

constexpr int kRounds = 3;
constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kMaxRange = 512 * kMiB;
constexpr uint64_t kPageSize = 4096;

void print(const char* line) {
    kv::console_write(line, kv::strlen(line));
}

uint64_t now_us() {
    uint64_t rate = kv::g_tsc_per_ms ? kv::g_tsc_per_ms : 1;
    return (kv::tsc_read() - kv::g_tsc_start) * 1000 / rate;
}

// Tenths of MB/s.
uint64_t rate10(uint64_t bytes, uint64_t us) {
    return us ? bytes * 10 / us : 0;
}

// "12.3"
void tenths(char* out, size_t size, uint64_t value) {
    kv::format(out, size, "%llu.%llu", (unsigned long long)(value / 10),
               (unsigned long long)(value % 10));
}

// "0.957": a / b to three places.
void ratio(char* out, size_t size, uint64_t a, uint64_t b) {
    uint64_t r = b ? a * 1000 / b : 0;
    kv::format(out, size, "%llu.%03llu", (unsigned long long)(r / 1000),
               (unsigned long long)(r % 1000));
}

// The pass the engine last reported.
int g_pass = 0;

// When each pass began and ended: its first report (done 0) and its last
// (done = total, which follows the flush).
struct PassTimes {
    uint64_t begin[3], end[3];
};

bool note_pass(void* context, int pass, uint64_t done, uint64_t total) {
    PassTimes* t = static_cast<PassTimes*>(context);
    g_pass = pass;
    if (done == 0) t->begin[pass] = now_us();
    if (done == total) t->end[pass] = now_us();
    return true;
}

// Plain 4 MiB writes of zeros through the disk's Block I/O; microseconds,
// 0 on failure.
uint64_t plain_writes(const kv::Disk& disk, uint64_t first, uint64_t count) {
    const kv::BlockIoDisk* io = static_cast<const kv::BlockIoDisk*>(disk.access.context);
    EFI_BLOCK_IO_PROTOCOL* block_io = io->block_io;
    uint64_t chunk = kv::kWipeChunkBytes / disk.access.block_size;
    EFI_PHYSICAL_ADDRESS buffer = 0;
    UINTN pages = kv::kWipeChunkBytes / kPageSize;
    if (EFI_ERROR(kv::g_bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, pages, &buffer)))
        return 0;
    void* data = reinterpret_cast<void*>(uintptr_t(buffer));
    kv::memset(data, 0, kv::kWipeChunkBytes);
    uint64_t start = now_us();
    EFI_STATUS status = EFI_SUCCESS;
    for (uint64_t done = 0; done < count && !EFI_ERROR(status);) {
        uint64_t n = count - done < chunk ? count - done : chunk;
        status = block_io->WriteBlocks(block_io, io->media_id, first + done,
                                       UINTN(n * disk.access.block_size), data);
        done += n;
    }
    if (!EFI_ERROR(status)) status = block_io->FlushBlocks(block_io);
    uint64_t us = now_us() - start;
    kv::g_bs->FreePages(buffer, pages);
    return EFI_ERROR(status) ? 0 : us;
}

// The disk's queue with its waits timed: how long the engine waited for
// the device, which is the part of a pass the generator did not overlap.
// Two readings of the clock a chunk cost nothing beside 4 MiB of writes.
const kv::WriteQueueOps* g_inner = nullptr;
uint64_t g_wait_us[3] = {};
// From the end of each wait to the next start: the engine filling a chunk.
uint64_t g_fill_us = 0, g_fill_blocks = 0, g_waited_at = 0;

void* timed_open(void* c, int n, size_t b) {
    return g_inner->open(c, n, b);
}
uint8_t* timed_buffer(void* q, int s) {
    return g_inner->buffer(q, s);
}
kv::ErrorCode timed_start(void* q, int s, uint64_t f, uint64_t n) {
    if (g_pass == 1 && g_waited_at) {
        g_fill_us += now_us() - g_waited_at;
        g_fill_blocks += n;
    }
    g_waited_at = 0;
    return g_inner->start(q, s, f, n);
}
kv::ErrorCode timed_wait(void* q, int s) {
    uint64_t t = now_us();
    kv::ErrorCode rc = g_inner->wait(q, s);
    g_waited_at = now_us();
    g_wait_us[g_pass] += g_waited_at - t;
    return rc;
}
kv::ErrorCode timed_write(void* q, int s, uint64_t f, uint64_t n) {
    return g_inner->write(q, s, f, n);
}
kv::ErrorCode timed_flush(void* q) {
    return g_inner->flush(q);
}
void timed_close(void* q) {
    g_inner->close(q);
}
kv::WriteQueueOps g_timed = {timed_open,  timed_buffer, timed_start, timed_wait,
                             timed_write, timed_flush,  timed_close, 0};

// The generator alone over `bytes`, in microseconds.
uint64_t generate(uint64_t bytes) {
    EFI_PHYSICAL_ADDRESS buffer = 0;
    UINTN pages = kv::kWipeChunkBytes / kPageSize;
    if (EFI_ERROR(kv::g_bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, pages, &buffer)))
        return 0;
    kv::Xoshiro256ss g = {{1, 2, 3, 4}};
    uint64_t start = now_us();
    for (uint64_t done = 0; done < bytes; done += kv::kWipeChunkBytes)
        kv::xoshiro_fill(&g, reinterpret_cast<uint8_t*>(uintptr_t(buffer)),
                         kv::kWipeChunkBytes / 8);
    uint64_t us = now_us() - start;
    kv::g_bs->FreePages(buffer, pages);
    return us;
}

// The program's memcpy over `bytes`, 4 MiB at a time, in microseconds.
uint64_t copy(uint64_t bytes) {
    EFI_PHYSICAL_ADDRESS buffer = 0;
    UINTN pages = 2 * kv::kWipeChunkBytes / kPageSize;
    if (EFI_ERROR(kv::g_bs->AllocatePages(AllocateAnyPages, EfiBootServicesData, pages, &buffer)))
        return 0;
    uint8_t* from = reinterpret_cast<uint8_t*>(uintptr_t(buffer));
    uint64_t start = now_us();
    for (uint64_t done = 0; done < bytes; done += kv::kWipeChunkBytes)
        kv::memcpy(from + kv::kWipeChunkBytes, from, kv::kWipeChunkBytes);
    uint64_t us = now_us() - start;
    kv::g_bs->FreePages(buffer, pages);
    return us;
}

// Both passes of the engine: pass 1 and pass 2 in microseconds, each from
// its first report to its last, and in *rest what the call took besides
// (the seed, the queue's pages taken and given back); false on failure.
bool wipe(const kv::BlockDevice* device, uint64_t first, uint64_t count, uint64_t* pass1,
          uint64_t* pass2, uint64_t* rest) {
    PassTimes t = {};
    uint64_t start = now_us();
    kv::ErrorCode rc = kv::wipe_blocks(device, first, count, note_pass, &t);
    uint64_t all = now_us() - start;
    *pass1 = t.end[1] - t.begin[1];
    *pass2 = t.end[2] - t.begin[2];
    *rest = all - *pass1 - *pass2;
    return rc == kv::ERR_OK;
}

int bench_main(int, char**) {
    kv::Disk* disks = nullptr;
    int count = kv::discover_disks(&disks);
    const kv::Disk* disk = nullptr;
    for (int i = 0; i < count && !disk; i++)
        if (disks[i].access.write) disk = &disks[i];
    if (!disk) {
        print("kvwipebench no writable disk\n");
        return 1;
    }
    uint64_t block_size = disk->access.block_size;
    uint64_t first = kMiB / block_size;
    uint64_t blocks = disk->access.block_count;
    if (blocks <= 3 * first) {
        print("kvwipebench the disk is too small\n");
        return 1;
    }
    uint64_t range = blocks - 2 * first;
    if (range > kMaxRange / block_size) range = kMaxRange / block_size;
    uint64_t bytes = range * block_size;
    bool queued = disk->access.queue != nullptr;
    int depth = queued ? disk->access.queue->depth : 0;

    char line[300];
    kv::format(line, sizeof line,
               "kvwipebench disk %s %s, %llu blocks of %llu bytes, range %llu MiB, "
               "queued writes %s, %d in flight\n",
               disk->name, disk->kind_label, (unsigned long long)blocks,
               (unsigned long long)block_size, (unsigned long long)(bytes / kMiB),
               queued ? "yes" : "no", depth);
    print(line);

    // The host backs a fresh image only where it has been written: one
    // untimed pass first, or the first round's plain writes would pay for it.
    if (!plain_writes(*disk, first, range)) {
        print("kvwipebench a write failed\n");
        return 1;
    }
    kv::BlockDevice single = disk->access;
    single.queue = nullptr;
    for (int round = 1; round <= kRounds; round++) {
        uint64_t plain = plain_writes(*disk, first, range);
        uint64_t random = generate(bytes);
        uint64_t copied = copy(bytes);
        uint64_t p1 = 0, p2 = 0, rest = 0, s1 = 0, s2 = 0, single_rest = 0;
        kv::BlockDevice timed = disk->access;
        if (queued) {
            g_inner = timed.queue;
            g_timed.depth = g_inner->depth;
            timed.queue = &g_timed;
        }
        g_wait_us[1] = g_wait_us[2] = g_fill_us = g_fill_blocks = g_waited_at = 0;
        bool ok = plain && wipe(&timed, first, range, &p1, &p2, &rest);
        if (ok && queued) ok = wipe(&single, first, range, &s1, &s2, &single_rest);
        if (!ok) {
            print("kvwipebench a write failed\n");
            return 1;
        }
        uint64_t rp = rate10(bytes, plain), r1 = rate10(bytes, p1), r2 = rate10(bytes, p2);
        char a[24], b[24], c[24], d[24], e[24], f[24], h[24], k[24], w[24], m[24];
        tenths(a, sizeof a, rp);
        tenths(b, sizeof b, r1);
        tenths(c, sizeof c, r2);
        ratio(d, sizeof d, r1, r2);
        ratio(e, sizeof e, r2, rp);
        tenths(f, sizeof f, rate10(bytes, random));
        ratio(h, sizeof h, r1, rate10(bytes, random));
        tenths(k, sizeof k, rate10(bytes, copied));
        ratio(w, sizeof w, g_wait_us[1], p1);
        tenths(m, sizeof m, rate10(g_fill_blocks * block_size, g_fill_us));
        kv::format(line, sizeof line,
                   "kvwipebench round %d plain %s MB/s, wipe pass 1 %s MB/s, pass 2 %s MB/s, "
                   "pass1/pass2 %s, pass2/plain %s, random %s MB/s, pass1/random %s, "
                   "copy %s MB/s, pass 1 waiting %s, generating in pass 1 %s MB/s, outside the "
                   "passes %llu ms\n",
                   round, a, b, c, d, e, f, h, k, w, m, (unsigned long long)(rest / 1000));
        print(line);
        if (queued) {
            uint64_t q1 = rate10(bytes, s1), q2 = rate10(bytes, s2);
            tenths(a, sizeof a, q1);
            tenths(b, sizeof b, q2);
            ratio(c, sizeof c, r1, q1);
            ratio(d, sizeof d, r2, q2);
            ratio(e, sizeof e, q2, rp);
            kv::format(line, sizeof line,
                       "kvwipebench round %d single pass 1 %s MB/s, pass 2 %s MB/s, "
                       "queued/single pass 1 %s, pass 2 %s, single pass2/plain %s\n",
                       round, a, b, c, d, e);
            print(line);
        }
    }
    print("kvwipebench done\n");
    kv::release_disks();
    return 0;
}

} // namespace

extern "C" EFI_STATUS EFIAPI efi_main(EFI_HANDLE image, EFI_SYSTEM_TABLE* st) {
    return kv::program_start(image, st, bench_main);
}
