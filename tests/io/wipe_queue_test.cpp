// The wipe from the queue's own pages on the simulated firmware, through
// the disk that discovery makes: over Block I/O 2 several chunks in flight,
// each completing later by its event, over plain Block I/O one at a time.
// Whatever stops it, nothing may be reported before the device said so,
// and nothing may be left in flight or held when it returns.
#include <gtest/gtest.h>

#include <functional>
#include <utility>
#include <vector>

#include "io/wipe.h"
#include "platform/disks.h"
#include "sim/disks.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"

namespace {

constexpr uint64_t kBlocks = 131072; // 64 MiB
constexpr uint64_t kChunk = kv::kWipeChunkBytes / 512;
constexpr uint64_t kFirst = 2048;
constexpr uint64_t kChunks = 12;                          // writes a pass
constexpr uint64_t kCount = (kChunks - 1) * kChunk + 100; // the last chunk is short

struct Wipe {
    std::vector<std::pair<int, uint64_t>> reports;
    uint64_t most_in_flight = 0;
    std::function<bool(int, uint64_t)> on_report; // false stops the wipe
};

class WipeQueue : public ::testing::Test {
  protected:
    void start(bool block_io2, sim::Bus bus = sim::Bus::Nvme) {
        kv::release_disks(); // before the firmware that holds the list goes
        sim::reset();
        sim::set_rng(true); // the same seed for every run
        auto image = std::make_unique<sim::MemDisk>(512, kBlocks);
        image_ = image.get();
        memset(image_->block(0), 0xAA, kBlocks * 512);
        sim::BlockDiskConfig c;
        c.bus = bus;
        c.block_io2 = block_io2;
        disk_ = sim::add_block_disk(std::move(image), c);
        kv::Disk* list = nullptr;
        ASSERT_EQ(kv::discover_disks(&list), 1);
        device_ = &list[0].access;
        // EDK2's ATA bus runs one request at a time: no Block I/O 2 there.
        ASSERT_EQ(device_->queue == &kv::kBlockIo2Queue, block_io2 && bus != sim::Bus::Sata);
        events_ = sim::live_events();
    }

    void TearDown() override { kv::release_disks(); }

    kv::ErrorCode wipe(Wipe* run) {
        run_ = run;
        kv::ErrorCode rc = kv::wipe_blocks(device_, kFirst, kCount, &report, this);
        const sim::BlockIoLog& log = sim::block_io_log(disk_);
        EXPECT_EQ(log.in_flight, 0u) << "a request outlived the wipe";
        EXPECT_EQ(log.stale_buffers, 0u) << "a buffer was given back while being written";
        EXPECT_EQ(sim::pages_live(), 0u);
        EXPECT_EQ(sim::live_events(), events_);
        return rc;
    }

    // Progress reports must follow completions: the blocks reported done
    // were written, and nothing was written outside the range.
    static bool report(void* self, int pass, uint64_t done, uint64_t total) {
        WipeQueue* t = static_cast<WipeQueue*>(self);
        const sim::BlockIoLog& log = sim::block_io_log(t->disk_);
        EXPECT_EQ(total, kCount);
        EXPECT_GE(log.blocks_written, (pass - 1) * kCount + done) << pass << " " << done;
        Wipe* run = t->run_;
        run->reports.emplace_back(pass, done);
        run->most_in_flight = std::max(run->most_in_flight, log.in_flight);
        return !run->on_report || run->on_report(pass, done);
    }

    bool range_is(uint8_t value) const {
        for (uint64_t i = 0; i < kCount * 512; i++)
            if (image_->block(kFirst)[i] != value) return false;
        return true;
    }

    bool outside_untouched() const {
        for (uint64_t lba : {kFirst - 1, kFirst + kCount})
            for (int i = 0; i < 512; i++)
                if (image_->block(lba)[i] != 0xAA) return false;
        return true;
    }

    sim::MemDisk* image_ = nullptr;
    EFI_HANDLE disk_ = nullptr;
    const kv::BlockDevice* device_ = nullptr;
    size_t events_ = 0;
    Wipe* run_ = nullptr;
};

// Against the path that copies each chunk and flushes each write: the same
// reports and, stopped before the zeros, the same random bytes on the
// disk; over Block I/O 2 more than one chunk was in flight.
TEST_F(WipeQueue, WritesWhatTheOneAtATimePathWritesWithChunksInFlight) {
    auto before_zeros = [](int pass, uint64_t) { return pass == 1; };
    struct Path {
        bool block_io2, queue;
    };
    const Path paths[] = {{false, false}, {false, true}, {true, true}};
    std::vector<uint8_t> random[3];
    std::vector<std::pair<int, uint64_t>> reports[3];
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        start(paths[i].block_io2);
        kv::BlockDevice copying = *device_;
        if (!paths[i].queue) copying.queue = nullptr;
        device_ = &copying;
        Wipe run;
        run.on_report = before_zeros;
        EXPECT_EQ(wipe(&run), kv::ERR_ABORTED);
        reports[i] = run.reports;
        random[i].assign(image_->block(kFirst), image_->block(kFirst) + kCount * 512);
        EXPECT_EQ(run.most_in_flight >= 2, paths[i].block_io2);
        if (i > 0) {
            EXPECT_EQ(reports[i], reports[0]);
            EXPECT_EQ(random[i], random[0]);
        }
        EXPECT_TRUE(outside_untouched());
    }

    // Each pass is flushed once, before its last report, on either queue,
    // and on the Block I/O 2 queue with room for only one slot of pages.
    for (int path = 0; path < 3; path++) {
        start(path > 0);
        if (path == 2) sim::set_memory_limit(sim::memory_in_use() + 6 * kv::kWipeChunkBytes / 4);
        Wipe whole;
        EXPECT_EQ(wipe(&whole), kv::ERR_OK);
        EXPECT_TRUE(range_is(0));
        EXPECT_TRUE(outside_untouched());
        EXPECT_EQ(whole.reports.back(), std::make_pair(2, kCount));
        std::string pass = std::string(kChunks, 'W') + "F";
        EXPECT_EQ(sim::block_io_log(disk_).ops, pass + pass);
    }
}

// A request that fails in flight, one the driver refuses at once, and a
// flush that fails: the wipe ends with that error, reports no block of the
// failed chunk or after it as done, and leaves nothing in flight.
TEST_F(WipeQueue, AFailedRequestStopsTheWipeWithItsError) {
    struct Case {
        const char* what;
        std::function<void(EFI_HANDLE, Wipe*)> arm;
        kv::ErrorCode expected;
        uint64_t most_done; // blocks of pass 1 reported at most
    };
    const Case cases[] = {
        {"the third write fails when it completes",
         [](EFI_HANDLE d, Wipe*) { sim::fail_block_write(d, 3, EFI_DEVICE_ERROR); }, kv::ERR_IO,
         2 * kChunk},
        {"the last write of pass 2 fails",
         [](EFI_HANDLE d, Wipe*) { sim::fail_block_write(d, 2 * kChunks, EFI_WRITE_PROTECTED); },
         kv::ERR_WRITE_PROTECTED, kCount},
        {"the medium goes after two chunks: refused at once and in flight",
         [](EFI_HANDLE d, Wipe* run) {
             run->on_report = [d](int, uint64_t done) {
                 if (done == 2 * kChunk) sim::remove_media(d);
                 return true;
             };
         },
         kv::ERR_NO_MEDIA, 2 * kChunk},
        {"the flush after pass 1 fails",
         [](EFI_HANDLE d, Wipe*) { sim::fail_block_flush(d, 1, EFI_DEVICE_ERROR); }, kv::ERR_IO,
         (kChunks - 1) * kChunk},
    };
    for (bool block_io2 : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(block_io2);
            start(block_io2);
            Wipe run;
            c.arm(disk_, &run);
            EXPECT_EQ(wipe(&run), c.expected);
            uint64_t most = 0;
            for (auto [pass, done] : run.reports)
                if (pass == 1) most = std::max(most, done);
            EXPECT_EQ(most, c.most_done);
            EXPECT_TRUE(outside_untouched());
        }
}

// A stop waits for the writes in flight and flushes them; a write that
// failed meanwhile is the outcome instead of the stop.
TEST_F(WipeQueue, AStopWaitsForTheWritesInFlight) {
    start(true);
    Wipe stop;
    stop.on_report = [](int, uint64_t done) { return done < kChunk; };
    EXPECT_EQ(wipe(&stop), kv::ERR_ABORTED);
    EXPECT_EQ(stop.reports.back(), std::make_pair(1, kChunk));
    const sim::BlockIoLog& log = sim::block_io_log(disk_);
    // The chunks started behind the first were written whole and flushed,
    // and no other was started.
    EXPECT_EQ(log.ops, std::string(log.writes, 'W') + "F");
    EXPECT_GT(log.writes, 1u);
    EXPECT_LT(log.writes, kChunks);
    EXPECT_EQ(log.blocks_written, log.writes * kChunk);
    EXPECT_TRUE(outside_untouched());

    start(true);
    sim::fail_block_write(disk_, 2, EFI_DEVICE_ERROR);
    Wipe failed;
    failed.on_report = [](int, uint64_t done) { return done < kChunk; };
    EXPECT_EQ(wipe(&failed), kv::ERR_IO);
    const std::string& ops = sim::block_io_log(disk_).ops;
    EXPECT_EQ(ops.substr(0, 2), "Ww");
    EXPECT_EQ(ops.find('w', 2), std::string::npos);
    EXPECT_EQ(ops.back(), 'F');

    // One write at a time: nothing is written after the chunk the stop
    // followed.
    start(false);
    Wipe blocking;
    blocking.on_report = [](int, uint64_t done) { return done < kChunk; };
    EXPECT_EQ(wipe(&blocking), kv::ERR_ABORTED);
    EXPECT_EQ(sim::block_io_log(disk_).ops, "WF");
}

} // namespace
