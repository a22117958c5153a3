#include "io/backup.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/read_table.h"
#include "platform/memory.h"
#include "sim/firmware.h"
#include "sim/memdisk.h"
#include "tests/disk/image_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kvtest::get_le32;
using kvtest::get_le64;
using kvtest::put_le32;
using kvtest::put_le64;

constexpr uint64_t kDiskBytes = 4 * 1048576; // 8192 blocks of 512, 1024 of 4096

struct Range {
    uint64_t first;
    uint32_t blocks;
    Bytes data;
};

// A backup file as the test writes it, independently of the product. Range
// data is taken as given, so a range can announce more blocks than it holds.
struct FilePlan {
    std::string magic = "KORVANE1";
    uint32_t version = 1;
    uint32_t block_size = 512;
    uint64_t block_count = kDiskBytes / 512;
    std::optional<uint32_t> count; // default: the number of ranges
    std::vector<Range> ranges;
    Bytes tail; // between the last range and the CRC
};

void reseal(Bytes& file) {
    put_le32(file.data() + file.size() - 4, kvtest::ref_crc32(file.data(), file.size() - 4));
}

Bytes encode(const FilePlan& plan) {
    Bytes f(28, 0);
    std::memcpy(f.data(), plan.magic.data(), 8);
    put_le32(f.data() + 8, plan.version);
    put_le32(f.data() + 12, plan.block_size);
    put_le64(f.data() + 16, plan.block_count);
    put_le32(f.data() + 24, plan.count.value_or((uint32_t)plan.ranges.size()));
    for (const Range& r : plan.ranges) {
        uint8_t head[12];
        put_le64(head, r.first);
        put_le32(head + 8, r.blocks);
        f.insert(f.end(), head, head + 12);
        f.insert(f.end(), r.data.begin(), r.data.end());
    }
    f.insert(f.end(), plan.tail.begin(), plan.tail.end());
    f.resize(f.size() + 4);
    reseal(f);
    return f;
}

// Reads a file the product wrote, asserting its framing on the way.
struct Parsed {
    uint32_t version = 0;
    uint32_t block_size = 0;
    uint64_t block_count = 0;
    std::vector<Range> ranges;
};

Parsed parse(const Bytes& f) {
    Parsed p;
    EXPECT_GE(f.size(), 32u);
    if (f.size() < 32) return p;
    EXPECT_EQ(std::string(f.begin(), f.begin() + 8), "KORVANE1");
    EXPECT_EQ(get_le32(f.data() + f.size() - 4), kvtest::ref_crc32(f.data(), f.size() - 4));
    p.version = get_le32(f.data() + 8);
    p.block_size = get_le32(f.data() + 12);
    p.block_count = get_le64(f.data() + 16);
    uint32_t n = get_le32(f.data() + 24);
    size_t pos = 28;
    for (uint32_t i = 0; i < n; i++) {
        if (pos + 12 > f.size() - 4) {
            ADD_FAILURE() << "range head " << i << " runs past the payload";
            return p;
        }
        Range r{get_le64(f.data() + pos), get_le32(f.data() + pos + 8), {}};
        pos += 12;
        size_t bytes = (size_t)r.blocks * p.block_size;
        if (pos + bytes > f.size() - 4) {
            ADD_FAILURE() << "range data " << i << " runs past the payload";
            return p;
        }
        r.data.assign(f.begin() + pos, f.begin() + pos + bytes);
        pos += bytes;
        p.ranges.push_back(std::move(r));
    }
    EXPECT_EQ(pos, f.size() - 4) << "payload not used up";
    return p;
}

using Extent = std::pair<uint64_t, uint32_t>;

std::vector<Extent> extents(const Parsed& p) {
    std::vector<Extent> out;
    for (const Range& r : p.ranges)
        out.push_back({r.first, r.blocks});
    return out;
}

Bytes blocks_of(sim::MemDisk& disk, uint64_t first, uint64_t count) {
    const uint8_t* b = disk.block(first);
    return Bytes(b, b + count * disk.block_size());
}

// Every byte of the disk gets a value that depends on its block, so that a
// block zeroed or copied to the wrong place shows.
void fill_pattern(sim::MemDisk& disk) {
    for (uint64_t lba = 0; lba < disk.block_count(); lba++) {
        uint8_t* b = disk.block(lba);
        for (uint32_t i = 0; i < disk.block_size(); i++)
            b[i] = (uint8_t)(lba * 7 + i * 13 + 1);
    }
}

bool all_zero(sim::MemDisk& disk, uint64_t lba) {
    const uint8_t* b = disk.block(lba);
    for (uint32_t i = 0; i < disk.block_size(); i++)
        if (b[i] != 0) return false;
    return true;
}

// A primary partition, and an extended one to the end of the disk with three
// logical partitions; the second and third EBRs lie inside the extended
// partition, not at its start.
struct MbrLayout {
    uint64_t extended;
    std::vector<kvtest::Logical> logicals;
};

MbrLayout write_mbr_layout(sim::MemDisk& disk) {
    fill_pattern(disk);
    uint64_t n = disk.block_count();
    MbrLayout at{n / 2, {}};
    kvtest::write_mbr(disk, {{0x80, 0x0C, 64, (uint32_t)(n / 4)},
                             {0x00, 0x05, (uint32_t)at.extended, (uint32_t)(n - at.extended)}});
    for (uint64_t ebr : {at.extended, at.extended + 200, at.extended + 400})
        at.logicals.push_back({ebr, ebr + 1, 100});
    kvtest::write_ebr_chain(disk, at.extended, at.logicals);
    return at;
}

kvtest::GptPlan gpt_spec(uint64_t n) {
    kvtest::GptPlan plan;
    plan.entries = {
        {0, kvtest::kEspType, kvtest::guid("11111111-2222-3333-4444-555555555555"), n / 4,
         n / 2 - 1, 0, u"EFI"},
        {3, kvtest::kLinuxDataType, kvtest::guid("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"), n / 2,
         n - 40, 0, u"root"},
    };
    return plan;
}

kvtest::GptPlacement write_gpt_layout(sim::MemDisk& disk) {
    fill_pattern(disk);
    return kvtest::write_gpt(disk, gpt_spec(disk.block_count()));
}

class BackupTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset();
        baseline_ = sim::pool_blocks_live();
    }
    void TearDown() override { EXPECT_EQ(sim::pool_blocks_live(), baseline_); }

    // The table read from the disk just now, and its backup image.
    Bytes backup(sim::MemDisk& disk) {
        kv::PartitionTable table{};
        EXPECT_EQ(kv::read_table(disk.device(), &table), kv::ERR_OK);
        uint8_t* image = nullptr;
        size_t size = 0;
        EXPECT_EQ(kv::build_backup(disk.device(), &table, &image, &size), kv::ERR_OK);
        kv::table_free(&table);
        Bytes out;
        if (image) out.assign(image, image + size);
        kv::free(image);
        return out;
    }

    // The refusal text, or "" for success; the counters start at zero.
    std::string restore(sim::MemDisk& disk, const Bytes& file) {
        disk.reset_stats();
        const char* text = kv::restore_backup(disk.device(), file.data(), file.size());
        return text ? text : "";
    }

    size_t baseline_ = 0;
};

class BackupBlockSizeTest : public BackupTest, public ::testing::WithParamInterface<uint32_t> {
  protected:
    std::unique_ptr<sim::MemDisk> fresh_disk() {
        return std::make_unique<sim::MemDisk>(GetParam(), kDiskBytes / GetParam());
    }
    uint64_t array_blocks() const { return 16384 / GetParam(); }
};

INSTANTIATE_TEST_SUITE_P(BlockSizes, BackupBlockSizeTest, ::testing::Values(512u, 4096u));

// build_backup

TEST_P(BackupBlockSizeTest, MbrImageHoldsBlockZeroAndOneBlockPerEbr) {
    auto disk = fresh_disk();
    MbrLayout at = write_mbr_layout(*disk);
    Bytes file = backup(*disk);
    Parsed p = parse(file);
    EXPECT_EQ(p.version, 1u);
    EXPECT_EQ(p.block_size, GetParam());
    EXPECT_EQ(p.block_count, disk->block_count());
    // The first EBR sits at the extended partition's start: one range for both.
    std::vector<Extent> want = {
        {0, 1}, {at.extended, 1}, {at.logicals[1].ebr, 1}, {at.logicals[2].ebr, 1}};
    ASSERT_EQ(extents(p), want);
    for (const Range& r : p.ranges)
        EXPECT_EQ(r.data, blocks_of(*disk, r.first, r.blocks)) << "block " << r.first;

    // With the first EBR's own entry empty no logical partition points at
    // the extended partition's start, yet its EBR is still part of the chain.
    kvtest::put_mbr_entry(*disk, at.extended, 1, {});
    EXPECT_EQ(extents(parse(backup(*disk))), want);
}

TEST_P(BackupBlockSizeTest, GptImageHoldsHeadersAndBothArraysInOrder) {
    auto disk = fresh_disk();
    kvtest::GptPlacement at = write_gpt_layout(*disk);
    Parsed p = parse(backup(*disk));
    uint64_t last = disk->block_count() - 1;
    uint32_t a = (uint32_t)array_blocks();
    ASSERT_EQ(at.array_blocks, a);
    std::vector<Extent> want = {{0, 1}, {1, 1}, {2, a}, {last, 1}, {last - a, a}};
    ASSERT_EQ(extents(p), want);
    for (const Range& r : p.ranges)
        EXPECT_EQ(r.data, blocks_of(*disk, r.first, r.blocks)) << "block " << r.first;
}

TEST_P(BackupBlockSizeTest, GptWithDamagedBackupLeavesOutTheBackupArray) {
    auto disk = fresh_disk();
    write_gpt_layout(*disk);
    uint64_t last = disk->block_count() - 1;
    disk->block(last)[40] ^= 0xFF; // the backup header's CRC no longer matches
    Parsed p = parse(backup(*disk));
    uint32_t a = (uint32_t)array_blocks();
    std::vector<Extent> want = {{0, 1}, {1, 1}, {2, a}, {last, 1}};
    ASSERT_EQ(extents(p), want);
    // The damaged header is kept as it was: a restore puts back what was there.
    EXPECT_EQ(p.ranges[3].data, blocks_of(*disk, last, 1));
}

TEST_F(BackupTest, RangesStartOnTheDiskOnceAndAreCutAtItsEnd) {
    sim::MemDisk disk(512, 1000);
    kv::PartitionTable table{};
    table.kind = kv::TableKind::Gpt;
    table.block_size = 512;
    table.block_count = 1000;
    table.entry_count = 128;
    table.entry_size = 128;
    table.primary_array_lba = 990; // 32 blocks would run past the end
    table.backup_header_lba = 1000;
    table.backup_array_lba = 1; // same first block as the primary header
    uint8_t* image = nullptr;
    size_t size = 0;
    ASSERT_EQ(kv::build_backup(disk.device(), &table, &image, &size), kv::ERR_OK);
    Bytes file(image, image + size);
    kv::free(image);
    std::vector<Extent> want = {{0, 1}, {1, 1}, {990, 10}};
    EXPECT_EQ(extents(parse(file)), want);
}

TEST_F(BackupTest, RefusesTableOfNoKindAndUnreadableBlocks) {
    sim::MemDisk blank(512, 64);
    kv::PartitionTable none{};
    ASSERT_EQ(kv::read_table(blank.device(), &none), kv::ERR_OK);
    ASSERT_EQ(none.kind, kv::TableKind::None);
    uint8_t sentinel = 0;
    uint8_t* image = &sentinel; // must come back null
    size_t size = 99;
    EXPECT_EQ(kv::build_backup(blank.device(), &none, &image, &size), kv::ERR_NOT_FOUND);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(size, 0u);

    sim::MemDisk disk(512, kDiskBytes / 512);
    write_gpt_layout(disk);
    kv::PartitionTable table{};
    ASSERT_EQ(kv::read_table(disk.device(), &table), kv::ERR_OK);
    // Each of the five range reads fails in turn; whatever the device says,
    // the result is an I/O error with no image left behind.
    for (uint64_t nth = 1; nth <= 5; nth++) {
        disk.clear_faults();
        disk.fail_read(nth, nth % 2 ? kv::ERR_NO_MEDIA : kv::ERR_IO);
        image = nullptr;
        EXPECT_EQ(kv::build_backup(disk.device(), &table, &image, &size), kv::ERR_IO) << nth;
        EXPECT_EQ(image, nullptr);
    }
    disk.clear_faults();
    table.entry_count = 1u << 20; // 128 MiB of entries: no reader yields this
    EXPECT_EQ(kv::build_backup(disk.device(), &table, &image, &size), kv::ERR_INVALID_PARAMETER);
    kv::table_free(&table);
}

// restore_backup: round trips

TEST_P(BackupBlockSizeTest, RestoresEveryRangeAfterDamage) {
    for (bool gpt : {false, true}) {
        auto disk = fresh_disk();
        if (gpt)
            write_gpt_layout(*disk);
        else
            write_mbr_layout(*disk);
        Bytes file = backup(*disk);
        Bytes original = disk->image();
        Parsed p = parse(file);
        for (const Range& r : p.ranges)
            std::memset(disk->block(r.first), 0xEE, (size_t)r.blocks * disk->block_size());
        EXPECT_EQ(restore(*disk, file), "") << (gpt ? "GPT" : "MBR");
        EXPECT_EQ(disk->image(), original) << (gpt ? "GPT" : "MBR");
        EXPECT_EQ(disk->stats().write_calls, p.ranges.size()); // one write per range
    }
}

TEST_P(BackupBlockSizeTest, RestoresAGptOverADifferentGpt) {
    auto disk = fresh_disk();
    write_gpt_layout(*disk);
    Bytes file = backup(*disk);
    Bytes original = disk->image();

    kvtest::GptPlan other = gpt_spec(disk->block_count());
    other.disk_guid = kvtest::guid("01234567-89AB-CDEF-0123-456789ABCDEF");
    other.entries.pop_back();
    other.entries[0].last = disk->block_count() - 40;
    kvtest::write_gpt(*disk, other);
    ASSERT_NE(disk->image(), original);

    EXPECT_EQ(restore(*disk, file), "");
    // Same layout, so the GPT blocks are the only ones that changed, and a
    // GPT over a GPT leaves nothing to clear.
    EXPECT_EQ(disk->image(), original);
    EXPECT_EQ(disk->stats().write_calls, 5u);
}

TEST_P(BackupBlockSizeTest, RestoresAnMbrChainOverAnotherChain) {
    auto disk = fresh_disk();
    MbrLayout at = write_mbr_layout(*disk);
    Bytes file = backup(*disk);
    kv::PartitionTable before{};
    ASSERT_EQ(kv::read_table(disk->device(), &before), kv::ERR_OK);

    // Re-partitioned: one logical partition whose EBR is elsewhere.
    kvtest::write_mbr(*disk, {{0x00, 0x05, (uint32_t)at.extended, 300}}, 0x99);
    kvtest::write_ebr_chain(*disk, at.extended, {{at.extended, at.extended + 50, 250}});

    EXPECT_EQ(restore(*disk, file), "");
    for (const Range& r : parse(file).ranges)
        EXPECT_EQ(blocks_of(*disk, r.first, r.blocks), r.data) << "block " << r.first;
    kv::PartitionTable after{};
    ASSERT_EQ(kv::read_table(disk->device(), &after), kv::ERR_OK);
    ASSERT_EQ(after.partition_count, before.partition_count);
    for (int i = 0; i < after.partition_count; i++) {
        EXPECT_EQ(after.partitions[i].start, before.partitions[i].start);
        EXPECT_EQ(after.partitions[i].size, before.partitions[i].size);
        EXPECT_EQ(after.partitions[i].ebr_block, before.partitions[i].ebr_block);
    }
    EXPECT_EQ(after.mbr_signature, 0x1234ABCDu);
    kv::table_free(&before);
    kv::table_free(&after);
}

TEST_P(BackupBlockSizeTest, GptImageOverAnMbrDiskClearsNothing) {
    auto disk = fresh_disk();
    write_gpt_layout(*disk);
    Bytes file = backup(*disk);
    Bytes original = disk->image();
    MbrLayout at = write_mbr_layout(*disk); // also refills the pattern
    Bytes ebr = blocks_of(*disk, at.logicals[1].ebr, 1);

    EXPECT_EQ(restore(*disk, file), "");
    EXPECT_EQ(disk->stats().write_calls, 5u);
    for (const Range& r : parse(file).ranges)
        EXPECT_EQ(blocks_of(*disk, r.first, r.blocks), r.data) << "block " << r.first;
    EXPECT_EQ(blocks_of(*disk, at.logicals[1].ebr, 1), ebr);
}

// restore_backup: clearing the GPT that an MBR image replaces

// An MBR whose partitions cover part of the old primary array (from block 3)
// and part of the old backup array (to block count - 4), over a GPT disk.
class MbrOverGptTest : public BackupBlockSizeTest {
  protected:
    void SetUp() override {
        BackupBlockSizeTest::SetUp();
        disk_ = fresh_disk();
        n_ = disk_->block_count();
        fill_pattern(*disk_);
        uint64_t ext = n_ / 2;
        kvtest::write_mbr(
            *disk_, {{0x00, 0x83, 3, 100}, {0x00, 0x0F, (uint32_t)ext, (uint32_t)(n_ - 3 - ext)}});
        kvtest::write_ebr_chain(*disk_, ext, {{ext, ext + 1, (uint32_t)(n_ - 4 - ext)}});
        mbr_file_ = backup(*disk_);
        mbr_block0_ = blocks_of(*disk_, 0, 1);
        write_gpt_layout(*disk_);
        gpt_disk_ = disk_->image();
    }

    bool unchanged(uint64_t lba) {
        return std::equal(disk_->block(lba), disk_->block(lba) + disk_->block_size(),
                          gpt_disk_.begin() + lba * disk_->block_size());
    }

    std::unique_ptr<sim::MemDisk> disk_;
    uint64_t n_ = 0;
    Bytes mbr_file_;
    Bytes mbr_block0_;
    Bytes gpt_disk_;
};

INSTANTIATE_TEST_SUITE_P(BlockSizes, MbrOverGptTest, ::testing::Values(512u, 4096u));

TEST_P(MbrOverGptTest, ZeroesOldGptStructuresOutsideRestoredPartitions) {
    EXPECT_EQ(restore(*disk_, mbr_file_), "");
    // Two ranges, then blocks 1-2 and the last three.
    EXPECT_EQ(disk_->stats().write_calls, 2u + 2u + 3u);
    EXPECT_EQ(blocks_of(*disk_, 0, 1), mbr_block0_);
    // Everything else keeps its bytes, the array blocks inside the restored
    // partitions (3 to a + 1, n - 1 - a to n - 4) among them.
    for (uint64_t lba = 1; lba < n_; lba++) {
        if (lba == n_ / 2) continue; // the restored EBR
        bool cleared = lba <= 2 || lba >= n_ - 3;
        EXPECT_TRUE(cleared ? all_zero(*disk_, lba) : unchanged(lba)) << "block " << lba;
    }

    kv::PartitionTable t{};
    ASSERT_EQ(kv::read_table(disk_->device(), &t), kv::ERR_OK);
    EXPECT_EQ(t.kind, kv::TableKind::Mbr);
    EXPECT_EQ(t.partition_count, 3);
    EXPECT_EQ(t.note_count, 0);
    kv::table_free(&t);
}

TEST_P(MbrOverGptTest, FailedClearingWriteStopsThere) {
    disk_->fail_write(4); // two ranges, block 1, then block 2 fails
    EXPECT_EQ(restore(*disk_, mbr_file_), "the disk could not be written");
    EXPECT_EQ(disk_->stats().write_calls, 4u);
    EXPECT_EQ(blocks_of(*disk_, 0, 1), mbr_block0_);
    EXPECT_TRUE(all_zero(*disk_, 1));
    EXPECT_FALSE(all_zero(*disk_, 2));
    EXPECT_FALSE(all_zero(*disk_, n_ - 1));
}

TEST_P(MbrOverGptTest, FailedSecondReadIsReportedAfterTheRangesAreWritten) {
    kv::PartitionTable t{};
    disk_->reset_stats();
    ASSERT_EQ(kv::read_table(disk_->device(), &t), kv::ERR_OK);
    kv::table_free(&t);
    disk_->fail_read(disk_->stats().read_calls + 1); // the first read after the writes
    EXPECT_EQ(restore(*disk_, mbr_file_), "the disk could not be read");
    EXPECT_EQ(disk_->stats().write_calls, 2u);
    EXPECT_EQ(blocks_of(*disk_, 0, 1), mbr_block0_);
    EXPECT_FALSE(all_zero(*disk_, 1));
}

// The old arrays may lie anywhere; what lies between them and the headers is
// not part of the GPT and keeps its bytes.
TEST_F(BackupTest, ClearsOnlyTheOldArraysWhereverTheyLie) {
    sim::MemDisk disk(512, 8192);
    fill_pattern(disk);
    kvtest::write_mbr(disk, {{0x00, 0x83, 3000, 1000}});
    Bytes file = backup(disk);

    kvtest::GptPlacement at = kvtest::write_gpt(disk, gpt_spec(8192));
    ASSERT_EQ(at.array_blocks, 32u);
    std::memmove(disk.block(2000), disk.block(2), 32 * 512);
    put_le64(disk.block(1) + 72, 2000);
    kvtest::fix_gpt_crcs(disk, 1);
    std::memmove(disk.block(6000), disk.block(8159), 32 * 512);
    put_le64(disk.block(8191) + 72, 6000);
    kvtest::fix_gpt_crcs(disk, 8191);
    Bytes before = disk.image();

    EXPECT_EQ(restore(disk, file), "");
    EXPECT_EQ(disk.stats().write_calls, 1u + 1 + 32 + 32 + 1);
    for (uint64_t lba = 1; lba < 8192; lba++) {
        bool cleared =
            lba == 1 || (lba >= 2000 && lba < 2032) || (lba >= 6000 && lba < 6032) || lba == 8191;
        bool same = std::equal(disk.block(lba), disk.block(lba) + 512, before.begin() + lba * 512);
        ASSERT_TRUE(cleared ? all_zero(disk, lba) : same) << "block " << lba;
    }
}

// A GPT whose array is said to start at block 0 (its CRC computed over the
// protective MBR) must not make the clean-up zero the block just restored.
TEST_F(BackupTest, NeverClearsABlockTheImageRestored) {
    sim::MemDisk mbr(512, 8192);
    write_mbr_layout(mbr);
    Bytes file = backup(mbr);

    sim::MemDisk disk(512, 8192);
    fill_pattern(disk);
    kvtest::GptPlan plan;
    plan.entry_count = 4;
    kvtest::write_gpt(disk, plan);
    put_le64(disk.block(1) + 72, 0);
    kvtest::fix_gpt_crcs(disk, 1);
    kv::PartitionTable old{};
    ASSERT_EQ(kv::read_table(disk.device(), &old), kv::ERR_OK);
    ASSERT_EQ(old.kind, kv::TableKind::Gpt);
    ASSERT_EQ(old.primary_array_lba, 0u);
    kv::table_free(&old);

    EXPECT_EQ(restore(disk, file), "");
    EXPECT_EQ(blocks_of(disk, 0, 1), blocks_of(mbr, 0, 1));
    EXPECT_TRUE(all_zero(disk, 1));
}

TEST_F(BackupTest, ImageWithGptInALongerRangeIsNotCleanedUp) {
    sim::MemDisk disk(512, 8192);
    write_gpt_layout(disk);
    Bytes original = disk.image();
    // Blocks 0-33 in one range and no backup copy: were the GPT missed, the
    // old backup copy would be cleared as that of a replaced GPT.
    FilePlan plan;
    plan.ranges = {{0, 34, blocks_of(disk, 0, 34)}};
    EXPECT_EQ(restore(disk, encode(plan)), "");
    EXPECT_EQ(disk.stats().write_calls, 1u);
    EXPECT_EQ(disk.image(), original);
}

// restore_backup: refusals

struct Refusal {
    const char* name;
    std::string text;
    Bytes file;
};

TEST_F(BackupTest, RefusesBadFilesWithoutWriting) {
    sim::MemDisk disk(512, kDiskBytes / 512);
    write_mbr_layout(disk);
    const uint64_t n = disk.block_count();
    const Bytes block0 = blocks_of(disk, 0, 1);
    const Bytes block = Bytes(512, 0x5A);
    auto with = [&](auto change) {
        FilePlan s;
        s.ranges = {{0, 1, block0}};
        change(s);
        return encode(s);
    };
    const std::string kNot = "this is not a korvane backup file";
    const std::string kBadRange = "the backup file is damaged (bad block range)";

    Bytes short_file = with([](FilePlan& s) { s.ranges.clear(); });
    short_file.resize(31);
    put_le32(short_file.data() + 27, kvtest::ref_crc32(short_file.data(), 27));
    Bytes bad_crc = with([](FilePlan&) {});
    bad_crc[40] ^= 1;
    Bytes bad_crc_and_version = with([](FilePlan& s) { s.version = 2; });
    bad_crc_and_version[40] ^= 1;
    Bytes truncated_head = with([](FilePlan& s) {
        s.count = 2;
        s.tail = Bytes(11, 0);
    });

    std::vector<Refusal> cases = {
        {"empty", kNot, {}},
        {"31 bytes with a matching checksum", kNot, short_file},
        {"other magic", kNot, with([](FilePlan& s) { s.magic = "KORVANE2"; })},
        {"magic in lower case", kNot, with([](FilePlan& s) { s.magic = "korvane1"; })},
        {"checksum", "the backup file is damaged (wrong checksum)", bad_crc},
        {"checksum before version", "the backup file is damaged (wrong checksum)",
         bad_crc_and_version},
        {"version 2", "the backup file was made by a newer korvane",
         with([](FilePlan& s) { s.version = 2; })},
        {"version 0", "the backup file was made by a newer korvane",
         with([](FilePlan& s) { s.version = 0; })},
        {"version before geometry", "the backup file was made by a newer korvane",
         with([](FilePlan& s) {
             s.version = 7;
             s.block_size = 4096;
         })},
        {"block size", "the backup was made on a disk with a different block size",
         with([](FilePlan& s) { s.block_size = 4096; })},
        {"block size before block count",
         "the backup was made on a disk with a different block size", with([](FilePlan& s) {
             s.block_size = 1024;
             s.block_count = 4096;
         })},
        {"one block more", "the backup was made on a disk of a different size",
         with([&](FilePlan& s) { s.block_count = n + 1; })},
        {"one block less", "the backup was made on a disk of a different size",
         with([&](FilePlan& s) { s.block_count = n - 1; })},
        {"no ranges and a byte", "the backup file is damaged (extra data)", with([](FilePlan& s) {
             s.ranges.clear();
             s.tail = {0};
         })},
        {"a byte after the last range", "the backup file is damaged (extra data)",
         with([](FilePlan& s) { s.tail = {0}; })},
        {"second head missing", "the backup file is damaged (truncated)",
         with([](FilePlan& s) { s.count = 2; })},
        {"second head cut short", "the backup file is damaged (truncated)", truncated_head},
        {"four billion ranges announced", "the backup file is damaged (truncated)",
         with([](FilePlan& s) { s.count = 0xFFFFFFFF; })},
        {"second range's data short", kBadRange, with([&](FilePlan& s) {
             s.count = 2;
             s.ranges.push_back({5, 1, Bytes(511, 0)});
         })},
        {"zero blocks", kBadRange, with([](FilePlan& s) {
             s.ranges = {{0, 0, {}}};
         })},
        {"first block past the end", kBadRange, with([&](FilePlan& s) {
             s.ranges = {{n, 1, block}};
         })},
        {"ends past the last block", kBadRange, with([&](FilePlan& s) {
             Bytes two = block;
             two.insert(two.end(), block.begin(), block.end());
             s.ranges = {{n - 1, 2, two}};
         })},
        {"first block near 2^64", kBadRange, with([&](FilePlan& s) {
             s.ranges = {{~0ull, 1, block}};
         })},
        {"four billion blocks", kBadRange, with([&](FilePlan& s) {
             s.ranges = {{0, 0xFFFFFFFF, block}};
         })},
        // A good range first: nothing may be written before the bad one is seen.
        {"good range then a bad one", kBadRange, with([&](FilePlan& s) {
             s.ranges.push_back({n, 1, block});
         })},
    };

    const Bytes original = disk.image();
    for (const Refusal& c : cases) {
        EXPECT_EQ(restore(disk, c.file), c.text) << c.name;
        EXPECT_EQ(disk.stats().write_calls, 0u) << c.name;
    }
    EXPECT_EQ(disk.image(), original);

    // And the unchanged file is accepted.
    EXPECT_EQ(restore(disk, with([](FilePlan&) {})), "");
    EXPECT_EQ(disk.stats().write_calls, 1u);
}

TEST_F(BackupTest, RefusesDiskItCannotReadOrWrite) {
    sim::MemDisk disk(512, kDiskBytes / 512);
    write_gpt_layout(disk);
    Bytes file = backup(disk);
    Bytes original = disk.image();

    disk.fail_read(1);
    EXPECT_EQ(restore(disk, file), "the disk could not be read");
    EXPECT_EQ(disk.stats().write_calls, 0u);
    disk.clear_faults();

    disk.set_read_only(true);
    EXPECT_EQ(restore(disk, file), "the disk could not be written");
    EXPECT_EQ(disk.stats().write_calls, 0u);
    EXPECT_EQ(disk.image(), original);
}

// Ranges go out from the last to the first, so that block 0, which decides
// what the disk holds, comes last.
TEST_P(BackupBlockSizeTest, FailedWriteLeavesTheRangesAfterIt) {
    auto disk = fresh_disk();
    write_gpt_layout(*disk);
    Bytes file = backup(*disk);
    Parsed p = parse(file);
    ASSERT_EQ(p.ranges.size(), 5u);
    for (uint64_t nth = 1; nth <= 5; nth++) {
        for (const Range& r : p.ranges)
            std::memset(disk->block(r.first), 0xEE, (size_t)r.blocks * disk->block_size());
        disk->clear_faults();
        disk->fail_write(nth);
        EXPECT_EQ(restore(*disk, file), "the disk could not be written") << nth;
        EXPECT_EQ(disk->stats().write_calls, nth);
        for (uint64_t i = 0; i < 5; i++) {
            const Range& r = p.ranges[i];
            Bytes now = blocks_of(*disk, r.first, r.blocks);
            if (i + nth > 5)
                EXPECT_EQ(now, r.data) << "range " << i << " after failing write " << nth;
            else
                EXPECT_EQ(now, Bytes(now.size(), 0xEE)) << "range " << i << ", write " << nth;
        }
    }
}

} // namespace
