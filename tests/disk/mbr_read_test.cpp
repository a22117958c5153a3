#include "disk/read_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/disk/image_builder.h"
#include "tests/disk/read_fixture.h"

namespace {

using kvtest::Logical;
using kvtest::MbrEntry;

class MbrReadTest : public kvtest::ReadTableTest {};
using kvtest::Notes;

TEST_F(MbrReadTest, BlankDiskIsNoTableWithoutNotes) {
    sim::MemDisk disk(512, 2048);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::None);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_EQ(notes(), Notes{});
    EXPECT_EQ(table_.block_size, 512u);
    EXPECT_EQ(table_.block_count, 2048u);
    // Block 0, block 1 for a GPT without MBR, the last block for a backup
    // GPT behind a blank start.
    EXPECT_EQ(disk.stats().read_calls, 3u);
}

TEST_F(MbrReadTest, EmptyMbrIsAnMbrWithoutPartitions) {
    sim::MemDisk disk(512, 2048);
    disk.block(0)[0] = 0xFA; // boot code, kept as read
    kvtest::write_mbr(disk, {}, 0xDEADBEEF);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Mbr);
    EXPECT_EQ(table_.mbr_signature, 0xDEADBEEFu);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_EQ(notes(), Notes{});
    EXPECT_EQ(std::memcmp(table_.block0, disk.block(0), 512), 0);
    EXPECT_EQ(disk.stats().read_calls, 1u);
}

TEST_F(MbrReadTest, PrimaryEntriesInUseKeepTheirSlotNumbers) {
    sim::MemDisk disk(512, 10000);
    kvtest::write_mbr(disk, {
                                {0x80, 0x07, 2048, 4096},
                                {0x00, 0x00, 1000, 100}, // no type, but blocks: in use
                                {0x00, 0x83, 7000, 3000},
                                {0x80, 0x0C, 50000, 0}, // no blocks: empty
                            });
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(table_.kind, kv::TableKind::Mbr);
    ASSERT_EQ(numbers(), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(part(1).mbr_type, 0x00);
    EXPECT_EQ(part(1).start, 1000u);
    EXPECT_EQ(part(0).kind, kv::PartitionKind::Primary);
    EXPECT_EQ(part(0).start, 2048u);
    EXPECT_EQ(part(0).size, 4096u);
    EXPECT_EQ(part(0).mbr_type, 0x07);
    EXPECT_TRUE(part(0).active);
    EXPECT_EQ(part(0).ebr_block, 0u);
    EXPECT_EQ(part(2).start, 7000u);
    EXPECT_EQ(part(2).mbr_type, 0x83);
    EXPECT_FALSE(part(2).active);
    // A table just read has nothing to write.
    EXPECT_FALSE(table_.dirty);
    EXPECT_FALSE(part(0).changed);
    EXPECT_FALSE(part(1).changed);
    EXPECT_EQ(notes(), Notes{});
    EXPECT_EQ(disk.stats().read_calls, 1u);
}

TEST_F(MbrReadTest, ReadsFieldsAtFullThirtyTwoBitWidth) {
    sim::MemDisk disk(512, 64);
    kvtest::write_mbr(disk, {{0x00, 0x83, 0xFFFFFFF0u, 0x20}, {0x00, 0x07, 1, 0xFFFFFFFFu}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(table_.partition_count, 2);
    EXPECT_EQ(part(0).start, 0xFFFFFFF0u);
    EXPECT_EQ(part(1).size, 0xFFFFFFFFu);
    // The end is computed in 64 bits, so it does not wrap below the disk end.
    EXPECT_EQ(notes(),
              (Notes{"partition 1 goes beyond the end of the disk",
                     "partition 2 goes beyond the end of the disk", "partitions 1 and 2 overlap"}));
}

TEST_F(MbrReadTest, PartitionEndingAtTheDiskEndIsNotNoted) {
    sim::MemDisk disk(512, 10000);
    kvtest::write_mbr(disk, {{0x00, 0x83, 2048, 10000 - 2048}, {0x00, 0x07, 10000, 1}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(numbers(), (std::vector<int>{1, 2}));
    EXPECT_EQ(notes(), Notes{"partition 2 goes beyond the end of the disk"});
}

TEST_F(MbrReadTest, BootIndicatorWithOtherBitsMakesBlock0Invalid) {
    for (uint8_t status : {0x01, 0x81, 0xFF, 0x40}) {
        SCOPED_TRACE(status);
        sim::MemDisk disk(512, 2048);
        kvtest::write_mbr(disk,
                          {{0x80, 0x83, 2048, 100}, {0x00, 0x00, 0, 0}, {status, 0x07, 4096, 100}});
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(table_.kind, kv::TableKind::None);
        EXPECT_EQ(table_.partition_count, 0);
        EXPECT_EQ(notes(),
                  Notes{"block 0 ends like an MBR, but its partition entries are invalid"});
    }
}

TEST_F(MbrReadTest, InvalidBootIndicatorOnAnEmptySlotStillCounts) {
    sim::MemDisk disk(512, 2048);
    kvtest::write_mbr(disk, {{0x00, 0x83, 2048, 100}});
    disk.block(0)[446 + 48] = 0x02; // slot 4, otherwise empty
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::None);
    EXPECT_EQ(notes(), Notes{"block 0 ends like an MBR, but its partition entries are invalid"});
}

// Boot sectors of whole-disk file systems, each with 0x55 0xAA.
void put_boot_sector(sim::MemDisk& disk, size_t offset, const char* signature) {
    uint8_t* b = disk.block(0);
    b[0] = 0xEB;
    b[1] = 0x58;
    b[2] = 0x90;
    std::memcpy(b + offset, signature, std::strlen(signature));
    // A FAT BPB puts non-zero bytes where MBR slots lie; they must not matter.
    b[446 + 4] = 0x12;
    kvtest::put_boot_signature(disk, 0);
}

TEST_F(MbrReadTest, FileSystemOverTheWholeDiskIsNoted) {
    struct Case {
        size_t offset;
        const char* signature;
    } cases[] = {{3, "NTFS    "}, {3, "EXFAT   "}, {54, "FAT16   "}, {82, "FAT32   "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.signature);
        sim::MemDisk disk(512, 2048);
        put_boot_sector(disk, c.offset, c.signature);
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(table_.kind, kv::TableKind::None);
        EXPECT_EQ(table_.partition_count, 0);
        EXPECT_EQ(notes(), Notes{"no partition table: a file system covers the whole disk"});
    }
}

TEST_F(MbrReadTest, NearJumpBootSectorIsAFileSystemToo) {
    sim::MemDisk disk(512, 2048);
    put_boot_sector(disk, 3, "NTFS    ");
    disk.block(0)[0] = 0xE9;
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(notes(), Notes{"no partition table: a file system covers the whole disk"});
}

TEST_F(MbrReadTest, FileSystemSignatureWithoutJumpIsAnMbr) {
    sim::MemDisk disk(512, 2048);
    kvtest::write_mbr(disk, {{0x00, 0x07, 100, 100}});
    std::memcpy(disk.block(0) + 3, "NTFS    ", 8);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Mbr);
    EXPECT_EQ(table_.partition_count, 1);
    EXPECT_EQ(notes(), Notes{});
}

TEST_F(MbrReadTest, LooksLikeFilesystemMatchesExactSignaturesOnly) {
    auto probe = [](size_t offset, const char* text) {
        uint8_t block[512] = {};
        std::memcpy(block + offset, text, std::strlen(text));
        return kv::looks_like_filesystem(block);
    };
    EXPECT_TRUE(probe(3, "NTFS    "));
    EXPECT_TRUE(probe(3, "EXFAT   "));
    EXPECT_TRUE(probe(54, "FAT"));
    EXPECT_TRUE(probe(82, "FAT32"));
    EXPECT_FALSE(probe(3, "NTFS   X"));
    EXPECT_FALSE(probe(3, "EXFAT  X"));
    EXPECT_FALSE(probe(4, "NTFS    "));
    EXPECT_FALSE(probe(82, "FAT3"));
    EXPECT_FALSE(probe(55, "FAT"));
    EXPECT_FALSE(probe(3, "ntfs    "));
}

TEST_F(MbrReadTest, BootSectorOverAGptHeaderIsAGptWithoutProtectiveMbr) {
    sim::MemDisk disk(512, 4096);
    kvtest::GptPlan plan;
    plan.protective_mbr = false;
    plan.entries = {{0, kvtest::kLinuxDataType, {}, 34, 1000, 0, u"root"}};
    kvtest::write_gpt(disk, plan);
    put_boot_sector(disk, 82, "FAT32   ");
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Gpt);
    EXPECT_EQ(table_.partition_count, 1);
    EXPECT_EQ(notes(), Notes{"the protective MBR is missing"});
}

// Extended partition at 2048..(2048+size) with logical partitions.
TEST_F(MbrReadTest, FollowsTheEbrChainRelativeToTheExtendedPartition) {
    sim::MemDisk disk(512, 50000);
    kvtest::write_mbr(disk, {{0x00, 0x07, 63, 1985}, {0x00, 0x0F, 2048, 40000}});
    // EBRs are spread so that reading links relative to the current EBR
    // (instead of the extended partition) would land elsewhere.
    kvtest::write_ebr_chain(
        disk, 2048,
        {{2048, 4096, 1000, 0x83, 0x80}, {10000, 10001, 2000, 0x82}, {30000, 30063, 500, 0x07}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(table_.kind, kv::TableKind::Mbr);
    ASSERT_EQ(numbers(), (std::vector<int>{1, 2, 5, 6, 7}));
    EXPECT_EQ(part(1).kind, kv::PartitionKind::Extended);
    const kv::Partition& first = part(2);
    EXPECT_EQ(first.kind, kv::PartitionKind::Logical);
    EXPECT_EQ(first.start, 4096u);
    EXPECT_EQ(first.size, 1000u);
    EXPECT_EQ(first.ebr_block, 2048u);
    EXPECT_EQ(first.mbr_type, 0x83);
    EXPECT_TRUE(first.active);
    EXPECT_EQ(part(3).start, 10001u);
    EXPECT_EQ(part(3).ebr_block, 10000u);
    EXPECT_FALSE(part(3).active);
    EXPECT_EQ(part(4).start, 30063u);
    EXPECT_EQ(part(4).size, 500u);
    EXPECT_EQ(part(4).mbr_type, 0x07);
    for (int i = 0; i < table_.partition_count; i++)
        EXPECT_FALSE(part(i).changed);
    EXPECT_FALSE(table_.dirty);
    EXPECT_EQ(notes(), Notes{});
    // Block 0 and one call per EBR.
    EXPECT_EQ(disk.stats().read_calls, 4u);
}

TEST_F(MbrReadTest, EveryExtendedTypeIsFollowedAndLinked) {
    for (uint8_t type : {0x05, 0x0F, 0x85}) {
        SCOPED_TRACE(type);
        sim::MemDisk disk(512, 5000);
        kvtest::write_mbr(disk, {{0x00, type, 1000, 3000}});
        kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 10}, {2000, 2001, 10}}, type);
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(numbers(), (std::vector<int>{1, 5, 6}));
    }
}

TEST_F(MbrReadTest, LinkThatIsNotExtendedOrEmptyEndsTheChainQuietly) {
    for (MbrEntry link : {MbrEntry{0x00, 0x83, 1000, 20}, MbrEntry{0x00, 0x05, 1000, 0}}) {
        sim::MemDisk disk(512, 5000);
        kvtest::write_mbr(disk, {{0x00, 0x05, 1000, 3000}});
        kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 10}, {2000, 2001, 10}});
        kvtest::put_mbr_entry(disk, 1000, 2, link);
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(numbers(), (std::vector<int>{1, 5}));
        EXPECT_EQ(notes(), Notes{});
        EXPECT_EQ(disk.stats().read_calls, 2u);
    }
}

TEST_F(MbrReadTest, EbrWithoutPartitionUsesNoNumber) {
    sim::MemDisk disk(512, 5000);
    kvtest::write_mbr(disk, {{0x00, 0x05, 1000, 3000}});
    kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 10}, {2000, 2001, 10}, {3000, 3001, 10}});
    kvtest::put_mbr_entry(disk, 2000, 1, {0x00, 0x83, 1, 0});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(numbers(), (std::vector<int>{1, 5, 6}));
    EXPECT_EQ(part(2).start, 3001u);
    EXPECT_EQ(notes(), Notes{});
}

TEST_F(MbrReadTest, LogicalPartitionPastItsExtendedPartitionIsNoted) {
    // The extended partition ends with block 2999; the second logical
    // partition ends with it or one block later.
    for (uint32_t size : {999u, 1000u}) {
        SCOPED_TRACE(size);
        sim::MemDisk disk(512, 5000);
        kvtest::write_mbr(disk, {{0x00, 0x05, 1000, 2000}});
        kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 999}, {2000, 2001, size}});
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(numbers(), (std::vector<int>{1, 5, 6}));
        EXPECT_EQ(notes(), size == 999
                               ? Notes{}
                               : Notes{"logical partition 6 goes beyond its extended partition"});
    }
}

TEST_F(MbrReadTest, ExtendedPartitionAtBlockZeroIsAnInvalidBootRecord) {
    // Block 0 is the MBR: read as the first EBR, its slot 1 would become a
    // logical partition over the start of the disk.
    sim::MemDisk disk(512, 5000);
    kvtest::write_mbr(disk, {{0x00, 0x05, 0, 1000}, {0x00, 0x05, 0, 500}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(numbers(), (std::vector<int>{1, 2}));
    EXPECT_EQ(notes(),
              (Notes{"more than one extended partition; only the first one is read",
                     "invalid extended boot record at block 0", "partitions 1 and 2 overlap",
                     "partition 1 covers a block of the partition table",
                     "partition 2 covers a block of the partition table"}));
}

TEST_F(MbrReadTest, LinksRunInEitherDirectionUntilALoopOrTheEdge) {
    // The extended partition covers 1000..4999; EBRs at 1000, 2000 and 4000.
    // Link targets are relative to its start: 3000 names block 4000 itself,
    // 0 and 1000 earlier EBRs (a loop: all was read, nothing is cut), 500 a
    // block without an EBR, 4000 and 9000 blocks past its end.
    struct Case {
        uint32_t target;
        const char* note;
        bool cut;
    };
    const Case cases[] = {
        {3000, "the chain of logical partitions loops back to block 4000", false},
        {0, "the chain of logical partitions loops back to block 1000", false},
        {1000, "the chain of logical partitions loops back to block 2000", false},
        {500, "invalid extended boot record at block 1500", true},
        {4000, "the chain of logical partitions points outside its extended partition", true},
        {9000, "the chain of logical partitions points outside its extended partition", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        sim::MemDisk disk(512, 12000);
        kvtest::write_mbr(disk, {{0x00, 0x05, 1000, 4000}});
        kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 10}, {2000, 2001, 10}, {4000, 4001, 10}});
        kvtest::put_mbr_entry(disk, 4000, 2, {0x00, 0x05, c.target, 10});
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(numbers(), (std::vector<int>{1, 5, 6, 7}));
        EXPECT_EQ(notes(), Notes{c.note});
        EXPECT_EQ(table_.chain_cut, c.cut);
    }
    // A backward link is followed like a forward one: 1000 -> 3000 -> 2000.
    sim::MemDisk disk(512, 12000);
    kvtest::write_mbr(disk, {{0x00, 0x05, 1000, 4000}});
    kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 10}, {3000, 3001, 10}, {2000, 2001, 10}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(numbers(), (std::vector<int>{1, 5, 6, 7}));
    EXPECT_EQ(part(2).start, 3001u);
    EXPECT_EQ(part(3).start, 2001u);
    EXPECT_EQ(notes(), Notes{});
    EXPECT_FALSE(table_.chain_cut);
}

TEST_F(MbrReadTest, UnreadableEbrIsNotedWithItsBlock) {
    sim::MemDisk disk(512, 5000);
    kvtest::write_mbr(disk, {{0x00, 0x05, 1000, 3000}});
    kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 10}, {2000, 2001, 10}, {3000, 3001, 10}});
    disk.fail_read(3); // block 0, EBR 1000, then EBR 2000
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(numbers(), (std::vector<int>{1, 5}));
    EXPECT_EQ(notes(), Notes{"cannot read the extended boot record at block 2000"});
}

TEST_F(MbrReadTest, ExtendedPartitionBeyondTheDiskCannotBeFollowed) {
    sim::MemDisk disk(512, 5000);
    kvtest::write_mbr(disk, {{0x00, 0x83, 100, 100}, {0x00, 0x05, 6000, 1000}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(numbers(), (std::vector<int>{1, 2}));
    EXPECT_EQ(notes(), (Notes{"partition 2 goes beyond the end of the disk",
                              "cannot read the extended boot record at block 6000"}));
    // The out-of-range block never reaches the device.
    EXPECT_EQ(disk.stats().read_calls, 1u);
}

TEST_F(MbrReadTest, EbrWithoutBootSignatureIsNotedWithItsBlock) {
    sim::MemDisk disk(512, 5000);
    kvtest::write_mbr(disk, {{0x00, 0x05, 1000, 3000}});
    kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 10}, {2000, 2001, 10}, {3000, 3001, 10}});
    disk.block(3000)[511] = 0x00;
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(numbers(), (std::vector<int>{1, 5, 6}));
    EXPECT_EQ(notes(), Notes{"invalid extended boot record at block 3000"});
}

std::vector<Logical> long_chain(int links) {
    std::vector<Logical> chain;
    for (int i = 0; i < links; i++)
        chain.push_back({(uint64_t)(2048 + 4 * i), (uint64_t)(2048 + 4 * i + 1), 2});
    return chain;
}

TEST_F(MbrReadTest, ChainOfExactly128EbrsIsReadWhole) {
    sim::MemDisk disk(512, 4096);
    kvtest::write_mbr(disk, {{0x00, 0x05, 2048, 2048}});
    kvtest::write_ebr_chain(disk, 2048, long_chain(128));
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.partition_count, 1 + 128);
    EXPECT_EQ(part(128).number, 132);
    EXPECT_EQ(notes(), Notes{});
    EXPECT_EQ(disk.stats().read_calls, 1u + 128u);
}

TEST_F(MbrReadTest, ChainLongerThan128EbrsIsCut) {
    sim::MemDisk disk(512, 4096);
    kvtest::write_mbr(disk, {{0x00, 0x05, 2048, 2048}});
    kvtest::write_ebr_chain(disk, 2048, long_chain(200));
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.partition_count, 1 + 128);
    EXPECT_EQ(part(128).start, 2048u + 4 * 127 + 1);
    EXPECT_EQ(notes(), Notes{"the chain of logical partitions is too long; stopped after 128"});
    EXPECT_EQ(disk.stats().read_calls, 1u + 128u);
}

TEST_F(MbrReadTest, OnlyTheFirstOfTwoExtendedPartitionsIsFollowed) {
    sim::MemDisk disk(512, 45000);
    kvtest::write_mbr(disk, {{0x00, 0x83, 100, 100},
                             {0x00, 0x05, 1000, 10000},
                             {0x00, 0x07, 20000, 100},
                             {0x00, 0x0F, 30000, 10000}});
    kvtest::write_ebr_chain(disk, 1000, {{1000, 1001, 10}});
    kvtest::write_ebr_chain(disk, 30000, {{30000, 30001, 10}, {31000, 31001, 10}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(numbers(), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(part(3).kind, kv::PartitionKind::Extended);
    EXPECT_EQ(part(4).start, 1001u);
    EXPECT_EQ(notes(), Notes{"more than one extended partition; only the first one is read"});
    EXPECT_EQ(disk.stats().read_calls, 2u);
}

TEST_F(MbrReadTest, ReadsMbrAndEbrsFromTheFirst512BytesOf4096ByteBlocks) {
    sim::MemDisk disk(4096, 7000);
    kvtest::write_mbr(disk, {{0x00, 0x05, 256, 5000}, {0x80, 0x83, 6000, 100}});
    kvtest::write_ebr_chain(disk, 256, {{256, 257, 10}, {1000, 1001, 10}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.block_size, 4096u);
    ASSERT_EQ(numbers(), (std::vector<int>{1, 2, 5, 6}));
    EXPECT_EQ(part(3).start, 1001u);
    EXPECT_EQ(disk.stats().read_calls, 3u);
}

TEST_F(MbrReadTest, UnusableGeometryIsAnInvalidParameter) {
    sim::MemDisk small_blocks(256, 100);
    kvtest::write_mbr(small_blocks, {{0x00, 0x83, 1, 10}});
    EXPECT_EQ(read(small_blocks), kv::ERR_INVALID_PARAMETER);
    EXPECT_EQ(table_.kind, kv::TableKind::None);
    EXPECT_EQ(table_.block_size, 256u);
    EXPECT_EQ(table_.block_count, 100u);
    EXPECT_EQ(small_blocks.stats().read_calls, 0u);

    sim::MemDisk empty(512, 0);
    EXPECT_EQ(read(empty), kv::ERR_INVALID_PARAMETER);
    EXPECT_EQ(empty.stats().read_calls, 0u);
}

TEST_F(MbrReadTest, UnreadableBlock0IsAnIoError) {
    sim::MemDisk disk(512, 2048);
    kvtest::write_mbr(disk, {{0x00, 0x83, 2048, 100}});
    disk.fail_read(1);
    EXPECT_EQ(read(disk), kv::ERR_IO);
    EXPECT_EQ(table_.kind, kv::TableKind::None);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_EQ(table_.block_size, 512u);
    EXPECT_EQ(table_.block_count, 2048u);
}

TEST_F(MbrReadTest, ReadingAgainReplacesEverythingOfTheEarlierTable) {
    sim::MemDisk gpt(512, 4096);
    kvtest::GptPlan plan;
    plan.protective_mbr = false;
    plan.entries = {{0, kvtest::kEspType, {}, 34, 100, 0, u"ESP"}};
    kvtest::write_gpt(gpt, plan);
    ASSERT_EQ(read(gpt), kv::ERR_OK);
    ASSERT_EQ(table_.kind, kv::TableKind::Gpt);
    ASSERT_EQ(table_.note_count, 1);

    sim::MemDisk mbr(4096, 1000);
    kvtest::write_mbr(mbr, {{0x00, 0x83, 256, 100}});
    ASSERT_EQ(read(mbr), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Mbr);
    EXPECT_EQ(table_.block_size, 4096u);
    EXPECT_EQ(table_.note_count, 0);
    EXPECT_EQ(table_.entry_count, 0u);
    EXPECT_EQ(table_.backup_header_lba, 0u);
    EXPECT_EQ(table_.first_usable, 0u);
    EXPECT_EQ(numbers(), (std::vector<int>{1}));
}

} // namespace
