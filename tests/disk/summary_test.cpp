#include "disk/summary.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/firmware.h"
#include "tests/disk/image_builder.h"

namespace {

using kvtest::MbrEntry;

class SummarizeDisks : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        baseline_ = sim::pool_blocks_live();
    }
    void TearDown() override {
        kv::release_summaries();
        EXPECT_EQ(sim::pool_blocks_live(), baseline_);
    }

    sim::MemDisk& add_disk(uint64_t blocks = 8192) {
        images_.push_back(std::make_unique<sim::MemDisk>(512, blocks));
        kv::Disk d{};
        d.access = *images_.back()->device();
        disks_.push_back(d);
        return *images_.back();
    }

    kv::DiskSummary* summarize() { return kv::summarize_disks(disks_.data(), int(disks_.size())); }

    std::vector<std::unique_ptr<sim::MemDisk>> images_;
    std::vector<kv::Disk> disks_;
    size_t baseline_ = 0;
};

TEST_F(SummarizeDisks, CountsPartitionsButNotTheExtendedOne) {
    sim::MemDisk& mbr = add_disk();
    kvtest::write_mbr(mbr, {MbrEntry{0x80, 0x83, 2048, 1024}, MbrEntry{0, 0x0F, 4096, 4096}});
    kvtest::write_ebr_chain(mbr, 4096, {{4096, 4097, 500}, {5000, 5001, 500}});

    sim::MemDisk& gpt = add_disk();
    kvtest::GptPlan plan;
    for (uint32_t i = 0; i < 3; i++) {
        kvtest::GptEntry e;
        e.index = i * 2; // gaps in the array do not count
        e.type = kvtest::kLinuxDataType;
        e.first = 2048 + i * 1024;
        e.last = e.first + 1023;
        plan.entries.push_back(e);
    }
    kvtest::write_gpt(gpt, plan);

    add_disk(); // blank

    kv::DiskSummary* s = summarize();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s[0].kind, int32_t(kv::TableKind::Mbr));
    EXPECT_EQ(s[0].partition_count, 3);
    EXPECT_EQ(s[1].kind, int32_t(kv::TableKind::Gpt));
    EXPECT_EQ(s[1].partition_count, 3);
    EXPECT_EQ(s[2].kind, int32_t(kv::TableKind::None));
    EXPECT_EQ(s[2].partition_count, 0);
}

TEST_F(SummarizeDisks, UnreadableDiskIsMinusOne) {
    sim::MemDisk& broken = add_disk();
    kvtest::write_mbr(broken, {MbrEntry{0, 0x83, 2048, 1024}});
    broken.fail_read(1, kv::ERR_IO, true);
    sim::MemDisk& fine = add_disk();
    kvtest::write_mbr(fine, {MbrEntry{0, 0x83, 2048, 1024}});
    kv::DiskSummary* s = summarize();
    EXPECT_EQ(s[0].kind, -1);
    EXPECT_EQ(s[0].partition_count, 0);
    EXPECT_EQ(s[1].kind, int32_t(kv::TableKind::Mbr));
    EXPECT_EQ(s[1].partition_count, 1);
}

TEST_F(SummarizeDisks, SecondFormRereadsOnlyTheShownDisk) {
    sim::MemDisk& a = add_disk();
    sim::MemDisk& b = add_disk();
    kv::DiskSummary* s = summarize();
    EXPECT_EQ(s[0].kind, int32_t(kv::TableKind::None));

    kvtest::write_mbr(a, {MbrEntry{0, 0x83, 2048, 1024}, MbrEntry{0, 0x83, 4096, 1024}});
    kvtest::write_mbr(b, {MbrEntry{0, 0x83, 2048, 1024}});
    b.reset_stats();
    EXPECT_EQ(kv::summarize_disks(disks_.data(), 2, 0), s);
    EXPECT_EQ(s[0].kind, int32_t(kv::TableKind::Mbr));
    EXPECT_EQ(s[0].partition_count, 2);
    EXPECT_EQ(s[1].kind, int32_t(kv::TableKind::None));
    EXPECT_EQ(b.stats().read_calls, 0u);

    // An index the array does not have is ignored.
    kv::summarize_disks(disks_.data(), 2, 2);
    kv::summarize_disks(disks_.data(), 2, -1);
    EXPECT_EQ(b.stats().read_calls, 0u);
}

TEST_F(SummarizeDisks, ReplacesThePreviousArray) {
    add_disk();
    summarize();
    size_t live = sim::pool_blocks_live();
    summarize();
    EXPECT_EQ(sim::pool_blocks_live(), live);
    EXPECT_EQ(kv::summarize_disks(disks_.data(), 0), nullptr);
    EXPECT_EQ(sim::pool_blocks_live(), baseline_);
}

} // namespace
