// Disk images with partition tables, ready to hand to the simulated Block
// I/O, and the fixture that checks a test left no pool blocks or pages
// behind.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/disks.h"
#include "sim/firmware.h"
#include "tests/disk/image_builder.h"

namespace kvtest {

inline std::unique_ptr<sim::MemDisk> blank_image(uint64_t blocks, uint32_t block_size = 512) {
    return std::make_unique<sim::MemDisk>(block_size, blocks);
}

inline std::unique_ptr<sim::MemDisk>
gpt_image(uint64_t blocks, const std::vector<GptEntry>& entries, uint32_t block_size = 512) {
    auto image = blank_image(blocks, block_size);
    GptPlan plan;
    plan.entries = entries;
    write_gpt(*image, plan);
    return image;
}

inline GptEntry gpt_entry(uint32_t index, uint64_t first, uint64_t last, const char* unique) {
    GptEntry e;
    e.index = index;
    e.type = kLinuxDataType;
    e.unique = guid(unique);
    e.first = first;
    e.last = last;
    return e;
}

// An MBR; with `logicals`, slot 2 is an extended partition from
// `extended_start` to the end of the disk holding them.
inline std::unique_ptr<sim::MemDisk> mbr_image(uint64_t blocks, const std::vector<MbrEntry>& slots,
                                               uint32_t signature = 0xBE1AFDFA,
                                               uint64_t extended_start = 0,
                                               const std::vector<Logical>& logicals = {}) {
    auto image = blank_image(blocks);
    std::vector<MbrEntry> all = slots;
    if (!logicals.empty()) {
        all.resize(2);
        all[1] = MbrEntry{0, 0x05, uint32_t(extended_start), uint32_t(blocks - extended_start)};
        write_ebr_chain(*image, extended_start, logicals);
    }
    write_mbr(*image, all, signature);
    return image;
}

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        pool_baseline_ = sim::pool_blocks_live();
    }
    void TearDown() override {
        EXPECT_EQ(sim::pool_blocks_live(), pool_baseline_);
        EXPECT_EQ(sim::pages_live(), 0u);
    }

    EFI_BOOT_SERVICES* bs() const { return sim::system_table()->BootServices; }

    size_t pool_baseline_ = 0;
};

} // namespace kvtest
