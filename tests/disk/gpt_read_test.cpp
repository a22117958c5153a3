#include "disk/read_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "tests/disk/image_builder.h"
#include "tests/disk/read_fixture.h"

namespace {

using kvtest::GptEntry;
using kvtest::GptPlan;
using kvtest::Notes;

class GptReadTest : public kvtest::ReadTableTest {};

// Three partitions in entries 0, 1 and 4 (entries 2 and 3 unused).
GptPlan three_partitions() {
    GptPlan plan;
    plan.entries = {
        {0, kvtest::kEspType, kvtest::guid("11111111-2222-3333-4444-555555555555"), 100, 2147,
         0x8000000000000001ull, u"EFI system partition"},
        {1, kvtest::kLinuxDataType, kvtest::guid("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"), 2148,
         5000, 0, u"Donn\u00e9es \u65e5\u672c"},
        {4, kvtest::kLinuxDataType, kvtest::guid("01020304-0506-0708-090A-0B0C0D0E0F10"), 5001,
         5001, 0, u"123456789012345678901234567890123456"},
    };
    return plan;
}

void expect_three_partitions(const kv::PartitionTable& t) {
    ASSERT_EQ(t.partition_count, 3);
    const kv::Partition* p = t.partitions;
    EXPECT_EQ(p[0].number, 1);
    EXPECT_EQ(p[0].kind, kv::PartitionKind::Primary);
    EXPECT_EQ(p[0].start, 100u);
    EXPECT_EQ(p[0].size, 2048u);
    EXPECT_EQ(std::memcmp(p[0].type_guid, kvtest::kEspType.data(), 16), 0);
    EXPECT_EQ(p[0].unique_guid[0], 0x11);
    EXPECT_EQ(p[0].unique_guid[15], 0x55);
    EXPECT_EQ(p[0].attributes, 0x8000000000000001ull);
    EXPECT_STREQ(p[0].name, "EFI system partition");
    EXPECT_EQ(p[1].number, 2);
    EXPECT_EQ(p[1].size, 5000u - 2148u + 1);
    EXPECT_STREQ(p[1].name, "Donn\xC3\xA9"
                            "es \xE6\x97\xA5\xE6\x9C\xAC");
    EXPECT_EQ(p[2].number, 5);
    EXPECT_EQ(p[2].size, 1u);
    EXPECT_STREQ(p[2].name, "123456789012345678901234567890123456");
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(p[i].mbr_type, 0);
        EXPECT_FALSE(p[i].changed);
    }
}

TEST_F(GptReadTest, CleanGptIsReadInFiveCalls) {
    sim::MemDisk disk(512, 10000);
    GptPlan plan = three_partitions();
    kvtest::GptPlacement at = kvtest::write_gpt(disk, plan);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(table_.kind, kv::TableKind::Gpt);
    expect_three_partitions(table_);
    EXPECT_EQ(std::memcmp(table_.disk_guid, plan.disk_guid.data(), 16), 0);
    EXPECT_EQ(table_.first_usable, 34u);
    EXPECT_EQ(table_.last_usable, 10000u - 34);
    EXPECT_EQ(table_.entry_count, 128u);
    EXPECT_EQ(table_.entry_size, 128u);
    EXPECT_EQ(table_.primary_array_lba, 2u);
    EXPECT_EQ(table_.backup_header_lba, 9999u);
    EXPECT_EQ(table_.backup_array_lba, at.backup_array);
    EXPECT_FALSE(table_.hybrid);
    EXPECT_FALSE(table_.dirty);
    EXPECT_EQ(notes(), Notes{});
    // Block 0, primary header, primary array, backup header, backup array.
    EXPECT_EQ(disk.stats().read_calls, 5u);
    EXPECT_EQ(disk.stats().read_blocks, 1u + 1 + 32 + 1 + 32);
}

TEST_F(GptReadTest, CleanGptOn4096ByteBlocks) {
    sim::MemDisk disk(4096, 6000);
    GptPlan plan = three_partitions();
    kvtest::write_gpt(disk, plan);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(table_.kind, kv::TableKind::Gpt);
    expect_three_partitions(table_);
    EXPECT_EQ(table_.first_usable, 6u);
    EXPECT_EQ(table_.backup_array_lba, 6000u - 5);
    EXPECT_EQ(notes(), Notes{});
    EXPECT_EQ(disk.stats().read_calls, 5u);
    EXPECT_EQ(disk.stats().read_blocks, 1u + 1 + 4 + 1 + 4);
}

TEST_F(GptReadTest, HybridMbrIsNotedOnlyWhenOtherEntriesExist) {
    sim::MemDisk disk(512, 10000);
    kvtest::write_gpt(disk, three_partitions());
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_FALSE(table_.hybrid);

    kvtest::write_mbr(disk, {{0x00, 0xEE, 1, 99}, {0x80, 0x07, 2148, 2853}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Gpt);
    EXPECT_TRUE(table_.hybrid);
    EXPECT_EQ(table_.partition_count, 3);
    EXPECT_EQ(notes(), Notes{"hybrid MBR: block 0 also describes partitions for legacy systems"});
    EXPECT_FALSE(table_.needs_repair);
    EXPECT_EQ(disk.stats().read_calls, 5u);

    // An entry whose partition moved is stale: the writer drops it.
    kvtest::write_mbr(disk, {{0x00, 0xEE, 1, 99}, {0x80, 0x07, 2048, 2853}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(notes(), (Notes{"hybrid MBR: block 0 also describes partitions for legacy systems",
                              "hybrid MBR entry 2 matches no GPT partition"}));
    EXPECT_TRUE(table_.needs_repair);
}

TEST_F(GptReadTest, GptWithoutProtectiveMbrIsNoted) {
    sim::MemDisk disk(512, 10000);
    GptPlan plan = three_partitions();
    plan.protective_mbr = false;
    kvtest::write_gpt(disk, plan);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Gpt);
    EXPECT_EQ(table_.partition_count, 3);
    EXPECT_EQ(notes(), Notes{"the protective MBR is missing"});
    // Block 0, block 1 as a probe, then the five-step read without block 0.
    EXPECT_EQ(disk.stats().read_calls, 6u);
}

TEST_F(GptReadTest, InvalidMbrOverAGptIsReadAsGpt) {
    sim::MemDisk disk(512, 10000);
    GptPlan plan = three_partitions();
    plan.protective_mbr = false;
    kvtest::write_gpt(disk, plan);
    kvtest::write_mbr(disk, {{0x01, 0x07, 2048, 100}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Gpt);
    EXPECT_EQ(notes(), Notes{"the protective MBR is missing"});
}

// One way to damage the primary header, and the reason it must give.
struct PrimaryDamage {
    const char* what;
    void (*damage)(sim::MemDisk& disk);
    const char* reason;
    uint64_t reads; // device calls, block 0 included
};

uint8_t* primary(sim::MemDisk& disk) {
    return disk.block(1);
}

void set_field32(sim::MemDisk& disk, size_t offset, uint32_t value) {
    kvtest::put_le32(primary(disk) + offset, value);
    kvtest::fix_header_crc(disk, 1);
}

void set_field64(sim::MemDisk& disk, size_t offset, uint64_t value) {
    kvtest::put_le64(primary(disk) + offset, value);
    kvtest::fix_header_crc(disk, 1);
}

// The test disk has 10000 blocks of 512 bytes. Damaged primary: block 0,
// block 1 (and the array when the header passes), the backup header at the
// last block and its array.
const PrimaryDamage kPrimaryDamage[] = {
    {"unreadable", [](sim::MemDisk& d) { d.fail_read(2); }, "cannot be read", 4},
    {"signature", [](sim::MemDisk& d) { primary(d)[0] = 'e'; }, "has no GPT signature", 4},
    {"size 91", [](sim::MemDisk& d) { set_field32(d, 12, 91); }, "has an invalid size", 4},
    {"size above block", [](sim::MemDisk& d) { kvtest::put_le32(primary(d) + 12, 513); },
     "has an invalid size", 4},
    {"header crc", [](sim::MemDisk& d) { primary(d)[8] ^= 1; }, "has a wrong checksum", 4},
    {"crc over stated size",
     [](sim::MemDisk& d) {
         set_field32(d, 12, 100);
         primary(d)[99] = 0xAB; // inside the stated size, outside the usual 92
     },
     "has a wrong checksum", 4},
    {"my lba", [](sim::MemDisk& d) { set_field64(d, 24, 2); }, "is not where it says it is", 4},
    {"last below first", [](sim::MemDisk& d) { set_field64(d, 48, 33); },
     "describes an impossible layout", 4},
    {"last usable at disk end", [](sim::MemDisk& d) { set_field64(d, 48, 10000); },
     "describes an impossible layout", 4},
    {"entry size 130", [](sim::MemDisk& d) { set_field32(d, 84, 130); },
     "describes an impossible layout", 4},
    {"entry size 120", [](sim::MemDisk& d) { set_field32(d, 84, 120); },
     "describes an impossible layout", 4},
    {"no entries", [](sim::MemDisk& d) { set_field32(d, 80, 0); }, "describes an impossible layout",
     4},
    {"array above 1 MiB", [](sim::MemDisk& d) { set_field32(d, 80, 8193); },
     "has an entry array larger than korvane reads", 4},
    // 2^24 entries of 256 bytes: 2^32 bytes, which a 32-bit product would
    // see as 0.
    {"array size wraps in 32 bits",
     [](sim::MemDisk& d) {
         kvtest::put_le32(primary(d) + 80, 1u << 24);
         set_field32(d, 84, 256);
     },
     "has an entry array larger than korvane reads", 4},
    {"array beyond disk", [](sim::MemDisk& d) { set_field64(d, 72, 9990); },
     "has an unreadable partition array", 4},
    {"array lba wraps", [](sim::MemDisk& d) { set_field64(d, 72, ~0ull - 5); },
     "has an unreadable partition array", 4},
    {"array read fails", [](sim::MemDisk& d) { d.fail_read(3); },
     "has an unreadable partition array", 5},
    {"array crc", [](sim::MemDisk& d) { kvtest::gpt_entry(d, 1, 0)[32] ^= 1; },
     "has a partition array with a wrong checksum", 5},
};

TEST_F(GptReadTest, DamagedPrimaryFallsBackToTheBackup) {
    for (const PrimaryDamage& c : kPrimaryDamage) {
        SCOPED_TRACE(c.what);
        sim::MemDisk disk(512, 10000);
        GptPlan plan = three_partitions();
        kvtest::GptPlacement at = kvtest::write_gpt(disk, plan);
        c.damage(disk);
        kv::clear_partitions(&table_);
        disk.reset_stats();
        ASSERT_EQ(kv::read_table(disk.device(), &table_), kv::ERR_OK);
        ASSERT_EQ(table_.kind, kv::TableKind::Gpt);
        expect_three_partitions(table_);
        EXPECT_EQ(notes(),
                  Notes{std::string("the primary GPT ") + c.reason + "; the backup copy is used"});
        EXPECT_EQ(table_.primary_array_lba, 2u);
        EXPECT_EQ(table_.backup_header_lba, 9999u);
        EXPECT_EQ(table_.backup_array_lba, at.backup_array);
        EXPECT_EQ(table_.last_usable, at.last_usable);
        EXPECT_EQ(disk.stats().read_calls, c.reads);
    }
}

TEST_F(GptReadTest, BackupIsTakenFromTheLastBlockWhenThePrimaryIsDamaged) {
    // The primary's AlternateLBA is not trusted once the primary fails.
    sim::MemDisk disk(512, 10000);
    kvtest::write_gpt(disk, three_partitions());
    kvtest::put_le64(disk.block(1) + 32, 5000);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.backup_header_lba, 9999u);
    EXPECT_EQ(notes(), Notes{"the primary GPT has a wrong checksum; the backup copy is used"});
}

TEST_F(GptReadTest, DamagedBackupIsNotedAndThePrimaryShown) {
    struct Case {
        const char* what;
        void (*damage)(sim::MemDisk& disk);
        const char* note;
        uint64_t reads;
    } cases[] = {
        {"zeroed", [](sim::MemDisk& d) { std::memset(d.block(9999), 0, 512); },
         "the backup GPT has no GPT signature", 4},
        {"header crc", [](sim::MemDisk& d) { d.block(9999)[40] ^= 0x10; },
         "the backup GPT has a wrong checksum", 4},
        {"array crc", [](sim::MemDisk& d) { kvtest::gpt_entry(d, 9999, 4)[60] ^= 1; },
         "the backup GPT has a partition array with a wrong checksum", 5},
        {"alternate past the end",
         [](sim::MemDisk& d) {
             kvtest::put_le64(d.block(1) + 32, 10000);
             kvtest::fix_header_crc(d, 1);
         },
         "the backup GPT cannot be found", 3},
        {"alternate names the primary itself",
         [](sim::MemDisk& d) {
             kvtest::put_le64(d.block(1) + 32, 1);
             kvtest::fix_header_crc(d, 1);
         },
         "the backup GPT cannot be found", 3},
        {"backup read fails", [](sim::MemDisk& d) { d.fail_read(4); },
         "the backup GPT cannot be read", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::MemDisk disk(512, 10000);
        kvtest::write_gpt(disk, three_partitions());
        c.damage(disk);
        kv::clear_partitions(&table_);
        disk.reset_stats();
        ASSERT_EQ(kv::read_table(disk.device(), &table_), kv::ERR_OK);
        ASSERT_EQ(table_.kind, kv::TableKind::Gpt);
        expect_three_partitions(table_);
        EXPECT_EQ(notes(), Notes{c.note});
        EXPECT_EQ(table_.primary_array_lba, 2u);
        EXPECT_EQ(table_.backup_array_lba, 0u);
        EXPECT_EQ(disk.stats().read_calls, c.reads);
    }
}

TEST_F(GptReadTest, MissingBackupOfAGptWithoutMbr) {
    sim::MemDisk disk(512, 10000);
    GptPlan plan = three_partitions();
    plan.protective_mbr = false;
    plan.backup = false;
    kvtest::write_gpt(disk, plan);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Gpt);
    EXPECT_EQ(notes(),
              (Notes{"the backup GPT has no GPT signature", "the protective MBR is missing"}));
}

TEST_F(GptReadTest, BothCopiesDamagedLeavesNoTable) {
    sim::MemDisk disk(512, 10000);
    kvtest::write_gpt(disk, three_partitions());
    disk.block(1)[20] ^= 1;
    disk.block(9999)[0] = 0;
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::None);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_EQ(notes(),
              Notes{"the protective MBR announces a GPT, but both GPT copies are damaged"});
}

TEST_F(GptReadTest, HybridMbrOverDamagedGptGivesNoTableAndNoHybridNote) {
    sim::MemDisk disk(512, 10000);
    GptPlan plan = three_partitions();
    plan.primary = false;
    plan.backup = false;
    kvtest::write_gpt(disk, plan);
    kvtest::write_mbr(disk, {{0x00, 0xEE, 1, 2047}, {0x00, 0x07, 2048, 1000}});
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::None);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_EQ(notes(),
              Notes{"the protective MBR announces a GPT, but both GPT copies are damaged"});
}

TEST_F(GptReadTest, TinyDiskWithoutRoomForABackup) {
    sim::MemDisk disk(512, 2);
    kvtest::write_protective_mbr(disk);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::None);
    EXPECT_EQ(notes(),
              Notes{"the protective MBR announces a GPT, but both GPT copies are damaged"});
    // Block 0 and block 1; block 1 is not tried again as the backup.
    EXPECT_EQ(disk.stats().read_calls, 2u);
}

TEST_F(GptReadTest, EnlargedDiskIsNoted) {
    sim::MemDisk disk(512, 10000);
    kvtest::GptPlacement at = kvtest::write_gpt(disk, three_partitions());
    disk.resize(15000);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(table_.kind, kv::TableKind::Gpt);
    expect_three_partitions(table_);
    EXPECT_EQ(table_.backup_header_lba, 9999u);
    EXPECT_EQ(table_.backup_array_lba, at.backup_array);
    EXPECT_EQ(notes(), Notes{"the backup GPT is not in the last block (the disk was enlarged?)"});
    EXPECT_FALSE(table_.backup_kept);
}

TEST_F(GptReadTest, DisagreeingCopiesAreNotedAndThePrimaryShown) {
    struct Case {
        const char* what;
        void (*change)(sim::MemDisk& disk);
    } cases[] = {
        {"disk guid", [](sim::MemDisk& d) { d.block(9999)[56 + 15] ^= 1; }},
        {"array contents",
         [](sim::MemDisk& d) { kvtest::put_le64(kvtest::gpt_entry(d, 9999, 0) + 32, 4096); }},
        {"entry count", [](sim::MemDisk& d) { kvtest::put_le32(d.block(9999) + 80, 64); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::MemDisk disk(512, 10000);
        kvtest::write_gpt(disk, three_partitions());
        c.change(disk);
        kvtest::fix_gpt_crcs(disk, 9999);
        ASSERT_EQ(read(disk), kv::ERR_OK);
        expect_three_partitions(table_); // the primary's start of partition 1
        EXPECT_EQ(notes(), Notes{"the primary and backup GPT differ; the primary one is shown"});
        EXPECT_NE(table_.backup_array_lba, 0u);
    }
}

TEST_F(GptReadTest, EnlargedAndDisagreeingGivesBothNotesInOrder) {
    sim::MemDisk disk(512, 10000);
    kvtest::write_gpt(disk, three_partitions());
    disk.block(9999)[60] ^= 1;
    kvtest::fix_header_crc(disk, 9999);
    disk.resize(10001);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(notes(), (Notes{"the backup GPT is not in the last block (the disk was enlarged?)",
                              "the primary and backup GPT differ; the primary one is shown"}));
}

// Entries of 256 bytes; a decoy at byte 128 of entry 0 is what a reader
// stepping 128 bytes would take for entry 1.
TEST_F(GptReadTest, EntriesAreSteppedByTheStatedEntrySize) {
    for (uint32_t block_size : {512u, 4096u}) {
        SCOPED_TRACE(block_size);
        sim::MemDisk disk(block_size, 5000);
        GptPlan plan;
        plan.entry_count = 64;
        plan.entry_size = 256;
        plan.entries = {{0, kvtest::kEspType, {}, 100, 199, 0, u"first"},
                        {1, kvtest::kLinuxDataType, {}, 300, 399, 0, u"second"}};
        kvtest::write_gpt(disk, plan);
        for (uint64_t header : {(uint64_t)1, disk.block_count() - 1}) {
            uint8_t* decoy = kvtest::gpt_entry(disk, header, 0) + 128;
            std::memcpy(decoy, kvtest::kLinuxDataType.data(), 16);
            kvtest::put_le64(decoy + 32, 1000);
            kvtest::put_le64(decoy + 40, 1999);
            kvtest::put_le16(decoy + 56, 'X');
            kvtest::fix_gpt_crcs(disk, header);
        }
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(table_.entry_size, 256u);
        ASSERT_EQ(numbers(), (std::vector<int>{1, 2}));
        EXPECT_EQ(part(1).start, 300u);
        EXPECT_STREQ(part(1).name, "second");
        EXPECT_EQ(notes(), Notes{});
    }
}

TEST_F(GptReadTest, ArrayOfExactlyOneMiBIsAccepted) {
    for (uint32_t block_size : {512u, 4096u}) {
        SCOPED_TRACE(block_size);
        sim::MemDisk disk(block_size, 8000);
        GptPlan plan;
        plan.entry_count = 8192;
        plan.entries = {{8191, kvtest::kEspType, {}, 4100, 4200, 0, u"last"}};
        kvtest::write_gpt(disk, plan);
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(table_.entry_count, 8192u);
        EXPECT_EQ(numbers(), std::vector<int>{8192});
        EXPECT_EQ(notes(), Notes{});
        EXPECT_EQ(disk.stats().read_calls, 5u);
    }
}

TEST_F(GptReadTest, EntriesOutsideTheUsableAreaAreNoted) {
    sim::MemDisk disk(512, 10000);
    GptPlan plan;
    plan.entries = {
        {0, kvtest::kLinuxDataType, {}, 34, 9966, 0, u"exactly usable"},
        {1, kvtest::kLinuxDataType, {}, 33, 100, 0, u"starts early"},
        {2, kvtest::kLinuxDataType, {}, 100, 9967, 0, u"ends late"},
        {3, kvtest::kLinuxDataType, {}, 500, 499, 0, u"reversed"},
    };
    kvtest::write_gpt(disk, plan);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(numbers(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(part(0).size, 9966u - 34 + 1);
    EXPECT_EQ(part(3).start, 500u);
    EXPECT_EQ(part(3).size, 0u);
    EXPECT_EQ(notes(), (Notes{"partition 2 lies outside the usable area of the disk",
                              "partition 3 lies outside the usable area of the disk",
                              "partition 4 lies outside the usable area of the disk",
                              "partitions 1 and 2 overlap", "partitions 1 and 3 overlap",
                              "partitions 2 and 3 overlap"}));
}

TEST_F(GptReadTest, NinthNoteIsDropped) {
    sim::MemDisk disk(512, 10000);
    GptPlan plan;
    for (uint32_t i = 0; i < 10; i++)
        plan.entries.push_back({i * 3, kvtest::kLinuxDataType, {}, 10, 20, 0, u""});
    kvtest::write_gpt(disk, plan);
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.partition_count, 10);
    ASSERT_EQ(table_.note_count, 8);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(notes()[i], "partition " + std::to_string(i * 3 + 1) +
                                  " lies outside the usable area of the disk");
}

TEST_F(GptReadTest, NameStopsAtTheFirstNul) {
    sim::MemDisk disk(512, 10000);
    GptPlan plan;
    plan.entries = {{0, kvtest::kLinuxDataType, {}, 100, 200, 0, u"ab"}};
    kvtest::write_gpt(disk, plan);
    for (uint64_t header : {1ull, 9999ull}) {
        uint8_t* name = kvtest::gpt_entry(disk, header, 0) + 56;
        kvtest::put_le16(name + 4, 0);
        kvtest::put_le16(name + 6, 'z'); // after the NUL: not part of the name
        kvtest::fix_gpt_crcs(disk, header);
    }
    ASSERT_EQ(read(disk), kv::ERR_OK);
    ASSERT_EQ(table_.partition_count, 1);
    EXPECT_STREQ(part(0).name, "ab");
}

TEST_F(GptReadTest, HeaderSizeUpToTheBlockSizeIsAccepted) {
    sim::MemDisk disk(4096, 6000);
    kvtest::write_gpt(disk, three_partitions());
    for (uint64_t header : {1ull, 5999ull}) {
        kvtest::put_le32(disk.block(header) + 12, 4096);
        disk.block(header)[4095] = 0x5A; // covered by the checksum now
        kvtest::fix_header_crc(disk, header);
    }
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(table_.kind, kv::TableKind::Gpt);
    EXPECT_EQ(notes(), Notes{});
    disk.block(1)[4095] = 0x5B;
    ASSERT_EQ(read(disk), kv::ERR_OK);
    EXPECT_EQ(notes(), Notes{"the primary GPT has a wrong checksum; the backup copy is used"});
}

TEST_F(GptReadTest, OtherHeaderRevisionsAreReadWithANote) {
    sim::MemDisk disk(512, 6000);
    kvtest::write_gpt(disk, three_partitions());
    for (uint32_t revision : {0x00010001u, 0x00020000u}) {
        for (uint64_t header : {1ull, 5999ull}) {
            kvtest::put_le32(disk.block(header) + 8, revision);
            kvtest::fix_header_crc(disk, header);
        }
        ASSERT_EQ(read(disk), kv::ERR_OK);
        EXPECT_EQ(table_.kind, kv::TableKind::Gpt);
        expect_three_partitions(table_);
        Notes n = notes();
        ASSERT_EQ(n.size(), 1u);
        const std::string shown =
            std::to_string(revision >> 16) + "." + std::to_string(revision & 0xFFFF);
        EXPECT_NE(n[0].find(shown), std::string::npos) << n[0];
        EXPECT_FALSE(table_.needs_repair);
    }
}

TEST_F(GptReadTest, CheckHandsOverHeaderAndArrayOnlyOnSuccess) {
    sim::MemDisk disk(512, 10000);
    kvtest::GptPlacement at = kvtest::write_gpt(disk, three_partitions());
    uint8_t* header = nullptr;
    uint8_t* array = nullptr;
    const char* reason = nullptr;
    ASSERT_TRUE(kv::check_gpt_header(disk.device(), at.backup_header, &header, &array, &reason));
    // The header comes back as read, its checksum field put back.
    EXPECT_EQ(std::memcmp(header, disk.block(at.backup_header), 512), 0);
    EXPECT_EQ(std::memcmp(array, disk.block(at.backup_array), 32 * 512), 0);
    kv::free(header);
    kv::free(array);

    // The backup header read as if it were at another block.
    header = array = reinterpret_cast<uint8_t*>(1);
    std::memcpy(disk.block(500), disk.block(at.backup_header), 512);
    EXPECT_FALSE(kv::check_gpt_header(disk.device(), 500, &header, &array, &reason));
    EXPECT_STREQ(reason, "is not where it says it is");
    EXPECT_EQ(header, nullptr);
    EXPECT_EQ(array, nullptr);
    EXPECT_FALSE(kv::check_gpt_header(disk.device(), 10000, &header, &array, &reason));
    EXPECT_STREQ(reason, "cannot be read");
}

} // namespace
