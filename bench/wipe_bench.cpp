// Throughput of the wipe engine on a 1 GiB memory disk, a 1 GiB file disk in
// /dev/shm and a device that discards what it is given, against a plain
// xoshiro256** loop filling a 4 MiB buffer 256 times. Every figure is the
// best of `runs` (the first argument, default 3), as other load on the host
// only ever slows a run down.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "io/wipe.h"
#include "io/xoshiro.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kBytes = 1ull << 30;
constexpr uint32_t kBlockSize = 512;

double mb_per_s(uint64_t bytes, Clock::duration d) {
    double s = std::chrono::duration<double>(d).count();
    return s > 0 ? bytes / s / 1e6 : 0;
}

struct Timing {
    Clock::time_point start, pass2, end;
};

bool note_pass2(void* ctx, int pass, uint64_t done, uint64_t) {
    if (pass == 2 && done == 0) static_cast<Timing*>(ctx)->pass2 = Clock::now();
    return true;
}

struct Result {
    double pass1, pass2, whole;
};

Result time_wipe(kv::BlockDevice* dev) {
    Timing t;
    t.start = Clock::now();
    kv::ErrorCode rc = kv::wipe_blocks(dev, 0, dev->block_count, note_pass2, &t);
    t.end = Clock::now();
    if (rc != kv::ERR_OK) std::fprintf(stderr, "wipe failed: %d\n", rc);
    return {mb_per_s(kBytes, t.pass2 - t.start), mb_per_s(kBytes, t.end - t.pass2),
            mb_per_s(2 * kBytes, t.end - t.start)};
}

// Accepts every write and keeps nothing: what the engine alone costs.
kv::ErrorCode discard_write(void*, uint64_t, uint64_t, const void*) {
    return kv::ERR_OK;
}

void fixed_random(void*, void* buf, size_t n) {
    for (size_t i = 0; i < n; i++)
        static_cast<uint8_t*>(buf)[i] = (uint8_t)(i * 37 + 1);
}

volatile uint64_t g_sink;

// The plain loop the engine is measured against: state in locals, one
// 8-byte store per output, no unrolling by hand.
double reference_fill() {
    std::vector<uint64_t> buf(kv::kWipeChunkBytes / 8);
    uint64_t s0 = 1, s1 = 2, s2 = 3, s3 = 4;
    auto rotl = [](uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
    auto start = Clock::now();
    for (uint64_t done = 0; done < kBytes; done += kv::kWipeChunkBytes) {
        uint64_t* p = buf.data();
        for (size_t i = 0; i < buf.size(); i++) {
            p[i] = rotl(s1 * 5, 7) * 9;
            uint64_t t = s1 << 17;
            s2 ^= s0;
            s3 ^= s1;
            s1 ^= s2;
            s0 ^= s3;
            s2 ^= t;
            s3 = rotl(s3, 45);
        }
        g_sink = g_sink + p[done % buf.size()];
    }
    return mb_per_s(kBytes, Clock::now() - start);
}

// Writes every byte of the file once, untimed.
bool fill_with_zeros(const std::string& path) {
    std::vector<uint8_t> buf(kv::kWipeChunkBytes, 0);
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    bool ok = true;
    for (uint64_t off = 0; ok && off < kBytes; off += buf.size())
        ok = pwrite(fd, buf.data(), buf.size(), (off_t)off) == (ssize_t)buf.size();
    close(fd);
    return ok;
}

// The same two passes of 4 MiB pwrites over a fresh sparse file with no
// generator and no device layer: the most the file disk can reach.
double raw_pwrite(const std::string& path) {
    std::vector<uint8_t> buf(kv::kWipeChunkBytes, 0x5A);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || ftruncate(fd, kBytes) != 0) return 0;
    auto start = Clock::now();
    for (int pass = 0; pass < 2; pass++)
        for (uint64_t off = 0; off < kBytes; off += buf.size())
            if (pwrite(fd, buf.data(), buf.size(), (off_t)off) != (ssize_t)buf.size()) return 0;
    double rate = mb_per_s(2 * kBytes, Clock::now() - start);
    close(fd);
    unlink(path.c_str());
    return rate;
}

double library_fill() {
    std::vector<uint8_t> buf(kv::kWipeChunkBytes);
    kv::Xoshiro256ss g{{1, 2, 3, 4}};
    auto start = Clock::now();
    for (uint64_t done = 0; done < kBytes; done += kv::kWipeChunkBytes) {
        kv::xoshiro_fill(&g, buf.data(), buf.size() / 8);
        g_sink = g_sink + buf[done % buf.size()];
    }
    return mb_per_s(kBytes, Clock::now() - start);
}

Result best(const Result& a, const Result& b) {
    return {std::max(a.pass1, b.pass1), std::max(a.pass2, b.pass2), std::max(a.whole, b.whole)};
}

void print(const char* name, const Result& r, double reference) {
    std::printf("%-22s pass 1 %8.0f MB/s  pass 2 %8.0f MB/s  whole %8.0f MB/s  pass1/ref %.2f\n",
                name, r.pass1, r.pass2, r.whole, r.pass1 / reference);
}

} // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    sim::reset();
    double reference = 0, library = 0;
    for (int i = 0; i < runs; i++) {
        reference = std::max(reference, reference_fill());
        library = std::max(library, library_fill());
    }
    std::printf("reference fill loop    %8.0f MB/s\n", reference);
    std::printf("xoshiro_fill           %8.0f MB/s  ratio %.2f\n", library, library / reference);

    kv::BlockDevice null_dev{};
    null_dev.write = discard_write;
    null_dev.random = fixed_random;
    null_dev.block_size = kBlockSize;
    null_dev.block_count = kBytes / kBlockSize;
    Result r{};
    for (int i = 0; i < runs; i++)
        r = best(r, time_wipe(&null_dev));
    // Its pass 2 does no work at all, so only pass 1 means anything.
    std::printf("%-22s pass 1 %8.0f MB/s%45spass1/ref %.2f\n", "discarding device", r.pass1, "",
                r.pass1 / reference);

    {
        sim::MemDisk mem(kBlockSize, kBytes / kBlockSize);
        r = {};
        for (int i = 0; i < runs; i++)
            r = best(r, time_wipe(mem.device()));
        print("memory disk 1 GiB", r, reference);
    }

    // A fresh sparse file each run, as shred_compare.sh gives shred.
    std::string path = "/dev/shm/korvane-wipe-bench-" + std::to_string(getpid()) + ".img";
    r = {};
    for (int i = 0; i < runs; i++) {
        std::string error;
        auto file = sim::FileDisk::create(path, kBlockSize, kBytes / kBlockSize, &error);
        if (!file) {
            std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        r = best(r, time_wipe(file->device()));
        file.reset();
        unlink(path.c_str());
    }
    print("file disk 1 GiB", r, reference);

    // The same file written in full beforehand, as a disk image or a used
    // partition is: the kernel no longer allocates pages during the wipe.
    Result populated = {};
    for (int i = 0; i < runs; i++) {
        std::string error;
        auto file = sim::FileDisk::create(path, kBlockSize, kBytes / kBlockSize, &error);
        if (!file || !fill_with_zeros(path)) {
            std::fprintf(stderr, "cannot create %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        populated = best(populated, time_wipe(file->device()));
        file.reset();
        unlink(path.c_str());
    }
    print("populated file 1 GiB", populated, reference);
    double raw = 0;
    for (int i = 0; i < runs; i++)
        raw = std::max(raw, raw_pwrite(path));
    std::printf("plain pwrite, 2 passes                                              whole %8.0f "
                "MB/s  file/pwrite %.2f\n",
                raw, r.whole / raw);
    // Bytes written over time (2 GiB for the two passes); bench/shred_compare.sh
    // reads this line.
    std::printf("file whole MB/s %.0f\n", r.whole);
    std::printf("populated whole MB/s %.0f\n", populated.whole);
    return 0;
}
