#include "io/write_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "edit/edit_ops.h"
#include "sim/memdisk.h"
#include "tests/disk/image_builder.h"
#include "tests/io/write_fixture.h"

namespace {

using kv::PartitionKind;
using kv::TableKind;
using kvtest::guid;
using Bytes = std::vector<uint8_t>;
using Notes = std::vector<std::string>;

const kvtest::Guid kDiskGuid = guid("5A4B3C2D-1E0F-4A1B-8C2D-3E4F50617283");
const kvtest::Guid kUniqueA = guid("11111111-2222-4333-8444-555555555555");
const kvtest::Guid kUniqueB = guid("AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE");

kv::Partition mbr_part(PartitionKind kind, int32_t number, uint64_t start, uint64_t size,
                       uint8_t type = 0x83, bool active = false, uint64_t ebr = 0) {
    kv::Partition p{};
    p.kind = kind;
    p.number = number;
    p.start = start;
    p.size = size;
    p.mbr_type = type;
    p.active = active;
    p.ebr_block = ebr;
    return p;
}

kv::Partition gpt_part(int32_t number, uint64_t start, uint64_t size,
                       const kvtest::Guid& type = kvtest::kLinuxDataType,
                       const kvtest::Guid& unique = kUniqueA, const char* name = "",
                       uint64_t attributes = 0) {
    kv::Partition p{};
    p.number = number;
    p.start = start;
    p.size = size;
    std::memcpy(p.type_guid, type.data(), 16);
    std::memcpy(p.unique_guid, unique.data(), 16);
    std::strncpy(p.name, name, sizeof p.name - 1);
    p.attributes = attributes;
    return p;
}

// An empty table of `kind` as made for the device, with fixed identifiers.
void begin_table(kv::PartitionTable* t, const kv::BlockDevice* device, TableKind kind) {
    kv::table_free(t);
    t->kind = kind;
    t->block_size = device->block_size;
    t->block_count = device->block_count;
    if (kind == TableKind::Mbr) t->mbr_signature = 0xA1B2C3D4;
    if (kind == TableKind::Gpt) {
        std::memcpy(t->disk_guid, kDiskGuid.data(), 16);
        t->entry_count = 128;
        t->entry_size = 128;
        uint64_t array_blocks = (16384 + device->block_size - 1) / device->block_size;
        t->first_usable = 2 + array_blocks;
        t->last_usable = device->block_count - 2 - array_blocks;
    }
}

void add(kv::PartitionTable* t, const kv::Partition& p) {
    kv::append_partition(t, &p);
}

// The 16 bytes an MBR entry must hold, spelled out by the test.
Bytes entry(uint8_t status, Bytes first_chs, uint8_t type, Bytes last_chs, uint32_t start,
            uint32_t size) {
    Bytes e;
    e.reserve(16);
    e.push_back(status);
    e.insert(e.end(), first_chs.begin(), first_chs.end());
    e.push_back(type);
    e.insert(e.end(), last_chs.begin(), last_chs.end());
    for (int i = 0; i < 4; i++)
        e.push_back(static_cast<uint8_t>(start >> (8 * i)));
    for (int i = 0; i < 4; i++)
        e.push_back(static_cast<uint8_t>(size >> (8 * i)));
    return e;
}

Bytes slot_bytes(const uint8_t* block, int slot) {
    const uint8_t* e = block + 446 + 16 * (slot - 1);
    return Bytes(e, e + 16);
}

bool all_zero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0) return false;
    return true;
}

bool has_gpt_signature(const uint8_t* block) {
    return std::memcmp(block, "EFI PART", 8) == 0;
}

using WriteTable = kvtest::WriteTableTest;

// Block 0 of an MBR: boot code from the table, the signature, two reserved
// zero bytes, entries in their slots, zero in unused ones and 55 AA, and
// every other byte of the block zero whatever was there before.
TEST_F(WriteTable, MbrBlockZeroHoldsBootCodeSignatureAndEntries) {
    for (uint32_t block_size : {512u, 4096u}) {
        SCOPED_TRACE(block_size);
        sim::MemDisk disk(block_size, 10000);
        std::memset(disk.block(0), 0x5A, block_size);
        begin_table(&table_, disk.device(), TableKind::Mbr);
        for (int i = 0; i < 512; i++)
            table_.block0[i] = static_cast<uint8_t>(i < 440 ? i * 7 + 1 : 0xCC);
        add(&table_, mbr_part(PartitionKind::Primary, 1, 2048, 4096, 0x0C, true));
        add(&table_, mbr_part(PartitionKind::Primary, 3, 8192, 100, 0x83));

        ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
        EXPECT_EQ(disk.stats().write_calls, 1u);
        const uint8_t* b = disk.block(0);
        EXPECT_EQ(std::memcmp(b, table_.block0, 440), 0);
        EXPECT_EQ(kvtest::get_le32(b + 440), 0xA1B2C3D4u);
        EXPECT_EQ(b[444], 0);
        EXPECT_EQ(b[445], 0);
        EXPECT_EQ(slot_bytes(b, 1),
                  entry(0x80, {0x20, 0x21, 0x00}, 0x0C, {0x61, 0x21, 0x00}, 2048, 4096));
        EXPECT_EQ(slot_bytes(b, 2), Bytes(16, 0));
        EXPECT_EQ(slot_bytes(b, 3),
                  entry(0x00, {0x82, 0x03, 0x00}, 0x83, {0x83, 0x27, 0x00}, 8192, 100));
        EXPECT_EQ(slot_bytes(b, 4), Bytes(16, 0));
        EXPECT_EQ(b[510], 0x55);
        EXPECT_EQ(b[511], 0xAA);
        EXPECT_TRUE(all_zero(b + 512, block_size - 512));
    }
}

// Cylinders above 255 put their top bits into the sector byte; from block
// 16450560 (cylinder 1024) on, a CHS field holds FE FF FF. A wrapped
// cylinder would read 00 01 00 there.
TEST_F(WriteTable, ChsFieldsUseTheFixedGeometryAndSaturateAtCylinder1024) {
    kvtest::SparseDisk disk(512, 1ull << 33);
    begin_table(&table_, disk.device(), TableKind::Mbr);
    add(&table_, mbr_part(PartitionKind::Primary, 1, 4819822, 16450558 - 4819822 + 1));
    add(&table_, mbr_part(PartitionKind::Primary, 2, 16450559, 1));
    add(&table_, mbr_part(PartitionKind::Primary, 3, 16450560, 1000));
    add(&table_, mbr_part(PartitionKind::Primary, 4, 0xFFFFFFFFull, 1));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);

    Bytes b = disk.block(0);
    // Block 4819822 is cylinder 300, head 5, sector 8.
    EXPECT_EQ(slot_bytes(b.data(), 1), entry(0, {0x05, 0x48, 0x2C}, 0x83, {0xFE, 0xFE, 0xFF},
                                             4819822, 16450558 - 4819822 + 1));
    EXPECT_EQ(slot_bytes(b.data(), 2),
              entry(0, {0xFE, 0xFF, 0xFF}, 0x83, {0xFE, 0xFF, 0xFF}, 16450559, 1));
    EXPECT_EQ(slot_bytes(b.data(), 3),
              entry(0, {0xFE, 0xFF, 0xFF}, 0x83, {0xFE, 0xFF, 0xFF}, 16450560, 1000));
    EXPECT_EQ(slot_bytes(b.data(), 4),
              entry(0, {0xFE, 0xFF, 0xFF}, 0x83, {0xFE, 0xFF, 0xFF}, 0xFFFFFFFF, 1));
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_), Notes{});
}

// Old GPT headers at block 1 and at the last block would make the new MBR
// look like a GPT without its protective MBR; they go before block 0 is
// written, block 1 first. The entry arrays are left alone.
TEST_F(WriteTable, MbrOverFormerGptClearsBothHeaders) {
    sim::MemDisk disk(512, 20000);
    kvtest::GptPlan plan;
    plan.entries = {{0, kvtest::kLinuxDataType, kUniqueA, 2048, 4095, 0, u"old"}};
    kvtest::write_gpt(disk, plan);
    Bytes old_array(disk.block(2), disk.block(2) + 512);
    begin_table(&table_, disk.device(), TableKind::Mbr);
    add(&table_, mbr_part(PartitionKind::Primary, 1, 2048, 4096));

    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(disk.stats().write_calls, 3u);
    EXPECT_TRUE(all_zero(disk.block(1), 512));
    EXPECT_TRUE(all_zero(disk.block(19999), 512));
    EXPECT_EQ(Bytes(disk.block(2), disk.block(2) + 512), old_array);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(back_.kind, TableKind::Mbr);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_), Notes{});

    // Interrupted at the second write: block 0 already holds the MBR, which
    // is what the disk reads as; only the backup header is left.
    sim::MemDisk again(512, 20000);
    kvtest::write_gpt(again, plan);
    again.fail_write(2);
    EXPECT_EQ(kv::write_table(again.device(), &table_), kv::ERR_IO);
    EXPECT_TRUE(has_gpt_signature(again.block(19999)));
    ASSERT_EQ(read_back(again.device()), kv::ERR_OK);
    EXPECT_EQ(back_.kind, TableKind::Mbr);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
}

TEST_F(WriteTable, MbrLeavesGptHeadersThatItsPartitionsCover) {
    sim::MemDisk disk(512, 20000);
    kvtest::write_gpt(disk, kvtest::GptPlan{});
    Bytes primary(disk.block(1), disk.block(1) + 512);
    Bytes backup(disk.block(19999), disk.block(19999) + 512);
    begin_table(&table_, disk.device(), TableKind::Mbr);
    add(&table_, mbr_part(PartitionKind::Primary, 1, 1, 100));
    add(&table_, mbr_part(PartitionKind::Primary, 2, 19000, 1000));

    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(disk.stats().write_calls, 1u);
    EXPECT_EQ(Bytes(disk.block(1), disk.block(1) + 512), primary);
    EXPECT_EQ(Bytes(disk.block(19999), disk.block(19999) + 512), backup);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(back_.kind, TableKind::Mbr);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
}

TEST_F(WriteTable, MbrLeavesBlocksWithoutGptSignatureAlone) {
    sim::MemDisk disk(512, 20000);
    std::memset(disk.block(1), 0x77, 512);
    std::memcpy(disk.block(19999), "EFI PARX", 8);
    begin_table(&table_, disk.device(), TableKind::Mbr);
    add(&table_, mbr_part(PartitionKind::Primary, 1, 2048, 100));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(disk.stats().write_calls, 1u);
    EXPECT_EQ(disk.block(1)[0], 0x77);
    EXPECT_EQ(std::memcmp(disk.block(19999), "EFI PARX", 8), 0);
}

// A disk that grew after it was read: the table still describes the old
// size, so it is refused without a write; read again, it is written with the
// backup at the new end and a larger usable area.
TEST_F(WriteTable, GrownGptIsRefusedUntilReloaded) {
    sim::MemDisk disk(512, 4096);
    begin_table(&table_, disk.device(), TableKind::Gpt);
    add(&table_, gpt_part(1, 2048, 1000, kvtest::kEspType, kUniqueA, "esp"));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);

    disk.resize(8192);
    disk.reset_stats();
    Bytes before = disk.image();
    EXPECT_EQ(kv::write_table(disk.device(), &back_), kv::ERR_INVALID_PARAMETER);
    EXPECT_EQ(disk.stats().write_calls, 0u);
    EXPECT_EQ(disk.image(), before);

    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(notes(back_),
              Notes{"the backup GPT is not in the last block (the disk was enlarged?)"});
    ASSERT_EQ(kv::write_table(disk.device(), &back_), kv::ERR_OK);
    EXPECT_TRUE(has_gpt_signature(disk.block(8191)));
    EXPECT_EQ(kvtest::get_le64(disk.block(8191) + 24), 8191u);
    EXPECT_EQ(kvtest::get_le64(disk.block(1) + 32), 8191u);
    EXPECT_EQ(kvtest::get_le64(disk.block(1) + 48), 8192u - 34);

    kv::PartitionTable reloaded{};
    ASSERT_EQ(kv::read_table(disk.device(), &reloaded), kv::ERR_OK);
    EXPECT_EQ(reloaded.last_usable, 8192u - 34);
    EXPECT_EQ(reloaded.backup_header_lba, 8191u);
    kv::PartitionTable grown = table_; // shares the array; not freed
    grown.block_count = 8192;
    EXPECT_EQ(kvtest::table_differences(grown, reloaded), Notes{});
    EXPECT_EQ(notes(reloaded), Notes{});
    kv::table_free(&reloaded);

    // A disk that shrank is refused in the same way.
    disk.resize(4000);
    disk.reset_stats();
    EXPECT_EQ(kv::write_table(disk.device(), &back_), kv::ERR_INVALID_PARAMETER);
    EXPECT_EQ(disk.stats().write_calls, 0u);
}

// A hybrid MBR describes partitions for legacy systems: block 0 is not
// written, while both GPT copies are.
TEST_F(WriteTable, HybridMbrIsLeftUntouched) {
    sim::MemDisk disk(512, 10000);
    kvtest::GptPlan plan;
    plan.protective_mbr = false;
    plan.entries = {{0, kvtest::kLinuxDataType, kUniqueA, 2048, 3071, 0, u"data"}};
    kvtest::write_gpt(disk, plan);
    kvtest::write_mbr(disk, {{0x00, 0xEE, 1, 2047}, {0x80, 0x07, 2048, 1024}});
    Bytes block0(disk.block(0), disk.block(0) + 512);
    ASSERT_EQ(kv::read_table(disk.device(), &table_), kv::ERR_OK);
    ASSERT_TRUE(table_.hybrid);
    kv::Partition model = gpt_part(0, 4096, 512, kvtest::kEspType);
    ASSERT_EQ(kv::add_partition(&table_, disk.device(), &model), nullptr);

    disk.reset_stats();
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(disk.stats().write_calls, 4u);
    EXPECT_EQ(Bytes(disk.block(0), disk.block(0) + 512), block0);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_),
              Notes{"hybrid MBR: block 0 also describes partitions for legacy systems"});
}

// Order: primary array, primary header, backup array, backup header,
// protective MBR. Block 0 keeps the boot code and the disk signature and carries
// one 0xEE entry from block 1 to the end of the disk.
TEST_F(WriteTable, GptWritesPrimaryThenBackupThenProtectiveMbr) {
    kvtest::SparseDisk disk(512, 10000);
    begin_table(&table_, disk.device(), TableKind::Gpt);
    for (int i = 0; i < 512; i++)
        table_.block0[i] = static_cast<uint8_t>(i < 440 ? 0x90 + i % 7 : 0x11);
    add(&table_, gpt_part(1, 2048, 100));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);

    using Write = std::pair<uint64_t, uint64_t>;
    EXPECT_EQ(disk.writes(),
              (std::vector<Write>{{2, 32}, {1, 1}, {10000 - 33, 32}, {9999, 1}, {0, 1}}));
    Bytes b = disk.block(0);
    EXPECT_EQ(std::memcmp(b.data(), table_.block0, 444), 0);
    EXPECT_TRUE(all_zero(b.data() + 444, 2));
    // Block 9999 is cylinder 0, head 158, sector 46.
    EXPECT_EQ(slot_bytes(b.data(), 1),
              entry(0, {0x00, 0x02, 0x00}, 0xEE, {0x9E, 0x2E, 0x00}, 1, 9999));
    EXPECT_TRUE(all_zero(b.data() + 462, 48));
    EXPECT_EQ(b[510], 0x55);
    EXPECT_EQ(b[511], 0xAA);
}

TEST_F(WriteTable, ProtectiveEntryStopsAt32BitsOnLargeDisks) {
    kvtest::SparseDisk disk(512, 1ull << 33);
    begin_table(&table_, disk.device(), TableKind::Gpt);
    add(&table_, gpt_part(1, (1ull << 33) - 1000, 900));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    Bytes b = disk.block(0);
    EXPECT_EQ(slot_bytes(b.data(), 1),
              entry(0, {0x00, 0x02, 0x00}, 0xEE, {0xFE, 0xFF, 0xFF}, 1, 0xFFFFFFFF));
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_), Notes{});
}

// Every header field, both CRCs (checked with the test's own CRC), and the
// entries: GUIDs, inclusive last block, attributes and the name in UTF-16LE
// cut to 36 units.
TEST_F(WriteTable, GptHeadersAndEntriesFieldByField) {
    sim::MemDisk disk(512, 10000);
    begin_table(&table_, disk.device(), TableKind::Gpt);
    const char* long_name = "0123456789abcdefghijklmnopqrstuvwxyzABCD"; // 40 characters
    add(&table_, gpt_part(3, 34, 2014, kvtest::kEspType, kUniqueA, long_name, 1ull << 63 | 1));
    add(&table_, gpt_part(1, 9000, 966, kvtest::kLinuxDataType, kUniqueB, "d\xC3\xA9j\xC3\xA0"));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);

    const uint8_t* array = disk.block(2);
    uint32_t array_crc = kvtest::ref_crc32(array, 128 * 128);
    struct Copy {
        uint64_t my, alternate, array;
    };
    for (Copy c : {Copy{1, 9999, 2}, Copy{9999, 1, 9967}}) {
        SCOPED_TRACE(c.my);
        uint8_t* h = disk.block(c.my);
        EXPECT_TRUE(has_gpt_signature(h));
        EXPECT_EQ(kvtest::get_le32(h + 8), 0x00010000u);
        EXPECT_EQ(kvtest::get_le32(h + 12), 92u);
        EXPECT_EQ(kvtest::get_le32(h + 20), 0u);
        EXPECT_EQ(kvtest::get_le64(h + 24), c.my);
        EXPECT_EQ(kvtest::get_le64(h + 32), c.alternate);
        EXPECT_EQ(kvtest::get_le64(h + 40), 34u);
        EXPECT_EQ(kvtest::get_le64(h + 48), 9966u);
        EXPECT_EQ(std::memcmp(h + 56, kDiskGuid.data(), 16), 0);
        EXPECT_EQ(kvtest::get_le64(h + 72), c.array);
        EXPECT_EQ(kvtest::get_le32(h + 80), 128u);
        EXPECT_EQ(kvtest::get_le32(h + 84), 128u);
        EXPECT_EQ(kvtest::get_le32(h + 88), array_crc);
        EXPECT_TRUE(all_zero(h + 92, 512 - 92));
        uint32_t stored = kvtest::get_le32(h + 16);
        kvtest::put_le32(h + 16, 0);
        EXPECT_EQ(stored, kvtest::ref_crc32(h, 92));
        kvtest::put_le32(h + 16, stored);
        EXPECT_EQ(std::memcmp(disk.block(c.array), array, 32 * 512), 0);
    }

    const uint8_t* e3 = array + 2 * 128;
    EXPECT_EQ(std::memcmp(e3, kvtest::kEspType.data(), 16), 0);
    EXPECT_EQ(std::memcmp(e3 + 16, kUniqueA.data(), 16), 0);
    EXPECT_EQ(kvtest::get_le64(e3 + 32), 34u);
    EXPECT_EQ(kvtest::get_le64(e3 + 40), 2047u);
    EXPECT_EQ(kvtest::get_le64(e3 + 48), 1ull << 63 | 1);
    for (int i = 0; i < 36; i++)
        EXPECT_EQ(e3[56 + 2 * i] | e3[57 + 2 * i] << 8, long_name[i]) << i;
    const uint8_t* e1 = array;
    EXPECT_EQ(kvtest::get_le64(e1 + 40), 9965u);
    const uint16_t accented[] = {'d', 0xE9, 'j', 0xE0, 0};
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(e1[56 + 2 * i] | e1[57 + 2 * i] << 8, accented[i]) << i;
    EXPECT_TRUE(all_zero(e1 + 66, 128 - 66));
    EXPECT_TRUE(all_zero(array + 128, 128));           // entry 2 unused
    EXPECT_TRUE(all_zero(array + 3 * 128, 125 * 128)); // entries 4-128 unused

    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    const kv::Partition* cut = kv::find_partition(&back_, 3);
    ASSERT_NE(cut, nullptr);
    EXPECT_STREQ(cut->name, std::string(long_name, 36).c_str());
    EXPECT_EQ(notes(back_), Notes{});
}

// With 4096-byte blocks the standard array takes 4 blocks, and the CRC covers
// exactly the array's bytes: an array that ends inside a block leaves its
// padding out.
TEST_F(WriteTable, FourKibBlocks) {
    sim::MemDisk disk(4096, 2048);
    kv::new_table(&table_, disk.device(), TableKind::Gpt);
    ASSERT_EQ(table_.first_usable, 6u);
    kv::Partition model = gpt_part(0, 256, 1024);
    ASSERT_EQ(kv::add_partition(&table_, disk.device(), &model), nullptr);
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(kvtest::get_le64(disk.block(1) + 48), 2048u - 6);
    EXPECT_EQ(kvtest::get_le64(disk.block(2047) + 72), 2043u);
    EXPECT_EQ(kvtest::get_le32(disk.block(1) + 88), kvtest::ref_crc32(disk.block(2), 16384));
    EXPECT_EQ(std::memcmp(disk.block(2), disk.block(2043), 16384), 0);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_), Notes{});

    sim::MemDisk odd(4096, 2048);
    begin_table(&table_, odd.device(), TableKind::Gpt);
    table_.entry_count = 56; // 7168 bytes in 2 blocks
    table_.first_usable = 4;
    add(&table_, gpt_part(56, 4, 10));
    ASSERT_EQ(kv::write_table(odd.device(), &table_), kv::ERR_OK);
    uint32_t crc = kvtest::get_le32(odd.block(1) + 88);
    EXPECT_EQ(crc, kvtest::ref_crc32(odd.block(2), 7168));
    EXPECT_NE(crc, kvtest::ref_crc32(odd.block(2), 8192));
    EXPECT_EQ(kvtest::get_le64(odd.block(1) + 48), 2048u - 4);
    ASSERT_EQ(read_back(odd.device()), kv::ERR_OK);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_), Notes{});
}

// Logical partitions are chained in order of start whatever the array order.
// The first EBR is always the extended partition's first block; a later one
// keeps a block in the gap before its partition and otherwise goes just
// before it. Links are type 05, inactive, relative to the extended partition
// and run from the next EBR to the end of the next partition.
TEST_F(WriteTable, EbrChainPlacementAndLinks) {
    sim::MemDisk disk(512, 65536);
    std::memset(disk.block(12345), 0x3C, 512); // an EBR of an earlier layout
    begin_table(&table_, disk.device(), TableKind::Mbr);
    add(&table_, mbr_part(PartitionKind::Primary, 1, 2048, 4096));
    add(&table_, mbr_part(PartitionKind::Extended, 2, 10000, 50000, 0x0F));
    add(&table_, mbr_part(PartitionKind::Logical, 5, 10100, 900, 0x83, false, 12345));
    add(&table_, mbr_part(PartitionKind::Logical, 8, 20000, 100, 0x07, false, 20000));
    add(&table_, mbr_part(PartitionKind::Logical, 6, 12000, 1000, 0x82, false, 11500));
    add(&table_, mbr_part(PartitionKind::Logical, 7, 14000, 500, 0x0C, true, 11000));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(disk.stats().write_calls, 5u);

    struct Ebr {
        uint64_t block;
        Bytes partition;
        Bytes link;
    };
    // Blocks below 16065 are on cylinder 0, 19999 and later on cylinder 1.
    const Ebr chain[] = {
        {10000, entry(0x00, {0xA0, 0x15, 0x00}, 0x83, {0xAE, 0x26, 0x00}, 100, 900),
         entry(0x00, {0xB6, 0x23, 0x00}, 0x05, {0xCE, 0x16, 0x00}, 1500, 1500)},
        {11500, entry(0x00, {0xBE, 0x1F, 0x00}, 0x82, {0xCE, 0x16, 0x00}, 500, 1000),
         entry(0x00, {0xDE, 0x0E, 0x00}, 0x05, {0xE6, 0x0A, 0x00}, 3999, 501)},
        {13999, entry(0x80, {0xDE, 0x0F, 0x00}, 0x0C, {0xE6, 0x0A, 0x00}, 1, 500),
         entry(0x00, {0x3E, 0x1D, 0x01}, 0x05, {0x40, 0x03, 0x01}, 9999, 101)},
        {19999, entry(0x00, {0x3E, 0x1E, 0x01}, 0x07, {0x40, 0x03, 0x01}, 1, 100), Bytes(16, 0)},
    };
    for (const Ebr& ebr : chain) {
        SCOPED_TRACE(ebr.block);
        const uint8_t* b = disk.block(ebr.block);
        EXPECT_TRUE(all_zero(b, 446));
        EXPECT_EQ(slot_bytes(b, 1), ebr.partition);
        EXPECT_EQ(slot_bytes(b, 2), ebr.link);
        EXPECT_TRUE(all_zero(b + 478, 32));
        EXPECT_EQ(b[510], 0x55);
        EXPECT_EQ(b[511], 0xAA);
    }
    EXPECT_EQ(disk.block(12345)[0], 0x3C);

    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_), Notes{});
    const kv::Partition* moved = kv::find_partition(&back_, 7);
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(moved->ebr_block, 13999u);
}

TEST_F(WriteTable, ExtendedWithoutLogicalsGetsAnEmptyBootRecord) {
    sim::MemDisk disk(512, 20000);
    std::memset(disk.block(4096), 0xE5, 512);
    begin_table(&table_, disk.device(), TableKind::Mbr);
    add(&table_, mbr_part(PartitionKind::Extended, 4, 4096, 8192, 0x05));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_TRUE(all_zero(disk.block(4096), 510));
    EXPECT_EQ(disk.block(4096)[510], 0x55);
    EXPECT_EQ(disk.block(4096)[511], 0xAA);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_), Notes{});
}

// "Delete table" clears block 0, block 1 and the last block; arrays and EBRs
// stay. A disk of two blocks only loses block 0.
TEST_F(WriteTable, NoTableClearsTheHeaderBlocks) {
    sim::MemDisk disk(512, 10000);
    kvtest::write_gpt(disk, kvtest::GptPlan{});
    std::memset(disk.block(2), 0x42, 512);
    kv::new_table(&table_, disk.device(), TableKind::None);
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(disk.stats().write_calls, 3u);
    EXPECT_TRUE(all_zero(disk.block(0), 512));
    EXPECT_TRUE(all_zero(disk.block(1), 512));
    EXPECT_TRUE(all_zero(disk.block(9999), 512));
    EXPECT_EQ(disk.block(2)[0], 0x42);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(back_.kind, TableKind::None);
    EXPECT_EQ(notes(back_), Notes{});

    sim::MemDisk tiny(512, 2);
    std::memset(tiny.image().data(), 0x66, 1024);
    kv::new_table(&table_, tiny.device(), TableKind::None);
    ASSERT_EQ(kv::write_table(tiny.device(), &table_), kv::ERR_OK);
    EXPECT_EQ(tiny.stats().write_calls, 1u);
    EXPECT_TRUE(all_zero(tiny.block(0), 512));
    EXPECT_EQ(tiny.block(1)[0], 0x66);
}

// Tables that cannot be written so that they read back as they are: each is
// refused with "invalid parameter" before any block is written.
TEST_F(WriteTable, RefusesTablesThatWouldNotReadBackBeforeWriting) {
    struct Case {
        const char* what;
        TableKind kind;
        std::function<void(kv::PartitionTable*)> change;
    };
    const uint64_t kNear64 = ~0ull - 5;
    auto logical = [](int32_t n, uint64_t start, uint64_t size, uint64_t ebr = 0) {
        return mbr_part(PartitionKind::Logical, n, start, size, 0x83, false, ebr);
    };
    auto extended = [](kv::PartitionTable* t, uint64_t start = 10000, uint64_t size = 50000) {
        add(t, mbr_part(PartitionKind::Extended, 2, start, size, 0x0F));
    };
    const Case cases[] = {
        {"other block size", TableKind::Gpt, [](auto* t) { t->block_size = 4096; }},
        {"other block count", TableKind::Mbr, [](auto* t) { t->block_count = 99999; }},
        {"unknown kind", TableKind::Mbr, [](auto* t) { t->kind = static_cast<TableKind>(7); }},
        {"gpt before first usable", TableKind::Gpt, [](auto* t) { add(t, gpt_part(1, 33, 10)); }},
        {"gpt past last usable", TableKind::Gpt,
         [](auto* t) { add(t, gpt_part(1, 99900, 100000 - 34 - 99900 + 2)); }},
        {"gpt end wraps past 2^64", TableKind::Gpt,
         [=](auto* t) { add(t, gpt_part(1, kNear64, 10)); }},
        {"gpt size 0", TableKind::Gpt, [](auto* t) { add(t, gpt_part(1, 2048, 0)); }},
        {"gpt number 0", TableKind::Gpt, [](auto* t) { add(t, gpt_part(0, 2048, 10)); }},
        {"gpt number past entries", TableKind::Gpt,
         [](auto* t) { add(t, gpt_part(129, 2048, 10)); }},
        {"gpt duplicate number", TableKind::Gpt,
         [](auto* t) {
             add(t, gpt_part(4, 2048, 10));
             add(t, gpt_part(4, 4096, 10));
         }},
        {"gpt without type", TableKind::Gpt,
         [](auto* t) { add(t, gpt_part(1, 2048, 10, kvtest::Guid{})); }},
        {"gpt first usable inside array", TableKind::Gpt, [](auto* t) { t->first_usable = 33; }},
        {"gpt first usable after last usable", TableKind::Gpt,
         [](auto* t) { t->first_usable = 100000 - 33; }},
        {"gpt entry size 120", TableKind::Gpt, [](auto* t) { t->entry_size = 120; }},
        {"gpt entry size 130", TableKind::Gpt, [](auto* t) { t->entry_size = 130; }},
        {"gpt no entries", TableKind::Gpt, [](auto* t) { t->entry_count = 0; }},
        {"gpt array above 1 MiB", TableKind::Gpt,
         [](auto* t) {
             t->entry_count = 8193;
             t->first_usable = 2 + 2049;
         }},
        {"mbr start beyond 32 bits", TableKind::Mbr,
         [](auto* t) { add(t, mbr_part(PartitionKind::Primary, 1, 1ull << 32, 1)); }},
        {"mbr size beyond 32 bits", TableKind::Mbr,
         [](auto* t) { add(t, mbr_part(PartitionKind::Primary, 1, 2048, 1ull << 32)); }},
        {"mbr start near 2^64", TableKind::Mbr,
         [=](auto* t) { add(t, mbr_part(PartitionKind::Primary, 1, kNear64, 100)); }},
        {"mbr size 0", TableKind::Mbr,
         [](auto* t) { add(t, mbr_part(PartitionKind::Primary, 1, 2048, 0)); }},
        {"mbr slot 0", TableKind::Mbr,
         [](auto* t) { add(t, mbr_part(PartitionKind::Primary, 0, 2048, 10)); }},
        {"mbr slot 5 for a primary", TableKind::Mbr,
         [](auto* t) { add(t, mbr_part(PartitionKind::Primary, 5, 2048, 10)); }},
        {"mbr duplicate slot", TableKind::Mbr,
         [](auto* t) {
             add(t, mbr_part(PartitionKind::Primary, 3, 2048, 10));
             add(t, mbr_part(PartitionKind::Primary, 3, 4096, 10));
         }},
        {"mbr extended at block 0", TableKind::Mbr,
         [&](auto* t) {
             extended(t, 0, 5000);
             add(t, logical(5, 100, 10));
         }},
        {"mbr extended past the disk", TableKind::Mbr, [&](auto* t) { extended(t, 100000, 10); }},
        {"mbr first logical at the extended start", TableKind::Mbr,
         [&](auto* t) {
             extended(t);
             add(t, logical(5, 10000, 10));
         }},
        {"mbr logical right after the previous one", TableKind::Mbr,
         [&](auto* t) {
             extended(t);
             add(t, logical(5, 10100, 100, 10000));
             add(t, logical(6, 10200, 100, 10150));
         }},
        {"mbr overlapping logicals", TableKind::Mbr,
         [&](auto* t) {
             extended(t);
             add(t, logical(5, 10100, 100, 10000));
             add(t, logical(6, 10150, 100, 10149));
         }},
        {"mbr logical beyond its extended partition", TableKind::Mbr,
         [&](auto* t) {
             extended(t);
             add(t, logical(5, 10100, 100, 10000));
             add(t, logical(6, 60001, 100, 60000));
         }},
        {"mbr logical size 0", TableKind::Mbr,
         [&](auto* t) {
             extended(t);
             add(t, logical(5, 10100, 0));
         }},
        {"mbr 129 logicals", TableKind::Mbr,
         [&](auto* t) {
             extended(t);
             for (int i = 0; i < 129; i++)
                 add(t, logical(5 + i, 10001 + 100 * i, 50, 10000 + 100 * i));
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kvtest::SparseDisk disk(512, 100000);
        begin_table(&table_, disk.device(), c.kind);
        c.change(&table_);
        EXPECT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_INVALID_PARAMETER);
        EXPECT_TRUE(disk.writes().empty());
    }
}

// The chain limit itself is fine: 128 logical partitions all read back.
TEST_F(WriteTable, OneHundredTwentyEightLogicalsReadBack) {
    sim::MemDisk disk(512, 65536);
    begin_table(&table_, disk.device(), TableKind::Mbr);
    add(&table_, mbr_part(PartitionKind::Extended, 1, 10000, 50000, 0x0F));
    for (int i = 0; i < 128; i++)
        add(&table_, mbr_part(PartitionKind::Logical, 5 + i, 10001 + 100 * i, 50, 0x83, false,
                              10000 + 100 * i));
    ASSERT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_OK);
    ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
    EXPECT_EQ(back_.partition_count, 129);
    EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
    EXPECT_EQ(notes(back_), Notes{});
}

TEST_F(WriteTable, DeviceWithoutWriteIsWriteProtected) {
    for (TableKind kind : {TableKind::None, TableKind::Mbr, TableKind::Gpt}) {
        SCOPED_TRACE(static_cast<int>(kind));
        sim::MemDisk disk(512, 10000);
        kvtest::write_gpt(disk, kvtest::GptPlan{});
        Bytes before = disk.image();
        disk.set_read_only(true);
        begin_table(&table_, disk.device(), kind);
        if (kind == TableKind::Mbr) add(&table_, mbr_part(PartitionKind::Primary, 1, 2048, 10));
        if (kind == TableKind::Gpt) add(&table_, gpt_part(1, 2048, 10));
        EXPECT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_WRITE_PROTECTED);
        EXPECT_EQ(disk.image(), before);

        // The table's own faults are still reported first.
        table_.block_count = 1;
        EXPECT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_INVALID_PARAMETER);
    }
}

// A GPT write cut short after any number of writes leaves a table that reads:
// the old one until the new primary header is down, then the new one, with a
// note naming the copy that is behind.
TEST_F(WriteTable, GptWriteCutShortAfterAnyPrefixStillReads) {
    sim::MemDisk base(512, 10000);
    begin_table(&table_, base.device(), TableKind::Gpt);
    add(&table_, gpt_part(1, 2048, 2048, kvtest::kEspType, kUniqueA, "old one"));
    add(&table_, gpt_part(2, 4096, 1024, kvtest::kLinuxDataType, kUniqueB, "old two"));
    ASSERT_EQ(kv::write_table(base.device(), &table_), kv::ERR_OK);
    kv::PartitionTable old_table{};
    ASSERT_EQ(kv::read_table(base.device(), &old_table), kv::ERR_OK);

    kv::PartitionTable new_table{};
    ASSERT_EQ(kv::read_table(base.device(), &new_table), kv::ERR_OK);
    ASSERT_EQ(kv::delete_partition(&new_table, 1), nullptr);
    ASSERT_EQ(kv::set_name(&new_table, 2, "new two"), nullptr);
    kv::Partition model = gpt_part(0, 6000, 500);
    ASSERT_EQ(kv::add_partition(&new_table, base.device(), &model), nullptr);

    const char* kPrimaryBehind =
        "the primary GPT has a partition array with a wrong checksum; the backup copy is used";
    const char* kDiffer = "the primary and backup GPT differ; the primary one is shown";
    const char* kBackupBehind = "the backup GPT has a partition array with a wrong checksum";
    struct Prefix {
        bool shows_new;
        Notes notes;
    };
    const Prefix expected[] = {
        {false, {}},               // the primary array write fails
        {false, {kPrimaryBehind}}, // new primary array, old primary header
        {true, {kDiffer}},         // new primary, old backup
        {true, {kBackupBehind}},   // new backup array, old backup header
        {true, {}},                // both copies new, the protective MBR fails
        {true, {}},                // no failure
    };
    for (int n = 1; n <= 6; n++) {
        SCOPED_TRACE(n);
        sim::MemDisk disk(512, base.image());
        disk.fail_write(n, kv::ERR_NO_MEDIA);
        kv::ErrorCode rc = kv::write_table(disk.device(), &new_table);
        EXPECT_EQ(rc, n <= 5 ? kv::ERR_NO_MEDIA : kv::ERR_OK);
        EXPECT_EQ(disk.stats().write_calls, static_cast<uint64_t>(n <= 5 ? n : 5));
        ASSERT_EQ(read_back(disk.device()), kv::ERR_OK);
        ASSERT_EQ(back_.kind, TableKind::Gpt);
        const Prefix& want = expected[n - 1];
        EXPECT_EQ(kvtest::table_differences(want.shows_new ? new_table : old_table, back_),
                  Notes{});
        EXPECT_EQ(notes(back_), want.notes);
    }
    kv::table_free(&old_table);
    kv::table_free(&new_table);
}

// The MBR write stops at the first failed write: later EBRs are not tried.
TEST_F(WriteTable, MbrWriteStopsAtTheFailingWrite) {
    sim::MemDisk disk(512, 65536);
    begin_table(&table_, disk.device(), TableKind::Mbr);
    add(&table_, mbr_part(PartitionKind::Extended, 1, 10000, 50000, 0x0F));
    add(&table_, mbr_part(PartitionKind::Logical, 5, 10100, 100));
    add(&table_, mbr_part(PartitionKind::Logical, 6, 20100, 100));
    add(&table_, mbr_part(PartitionKind::Logical, 7, 30100, 100));
    // Last EBR first: the third write is the first EBR, and block 0 stays.
    disk.fail_write(3, kv::ERR_IO);
    EXPECT_EQ(kv::write_table(disk.device(), &table_), kv::ERR_IO);
    EXPECT_EQ(disk.stats().write_calls, 3u);
    EXPECT_EQ(disk.block(30099)[510], 0x55);
    EXPECT_EQ(disk.block(20099)[510], 0x55);
    EXPECT_TRUE(all_zero(disk.block(10000), 512));
    EXPECT_TRUE(all_zero(disk.block(0), 512));
}

// Tables as the editing operations make them, written and read back, equal
// field by field with no notes, for both block sizes.
TEST_F(WriteTable, EditedTablesRoundTrip) {
    for (uint32_t block_size : {512u, 4096u}) {
        SCOPED_TRACE(block_size);
        uint64_t mib = 1048576 / block_size;
        sim::MemDisk disk(block_size, 32 * mib);
        const kv::BlockDevice* d = disk.device();
        kv::new_table(&table_, d, TableKind::Mbr);
        for (int i = 0; i < 440; i++)
            table_.block0[i] = static_cast<uint8_t>(i * 13);
        kv::Partition p = mbr_part(PartitionKind::Primary, 0, mib, 4 * mib, 0xEF);
        ASSERT_EQ(kv::add_partition(&table_, d, &p), nullptr);
        p = mbr_part(PartitionKind::Logical, 0, 8 * mib, 4 * mib, 0x83);
        ASSERT_EQ(kv::add_partition(&table_, d, &p), nullptr);
        p = mbr_part(PartitionKind::Logical, 0, 20 * mib, 8 * mib, 0x82);
        ASSERT_EQ(kv::add_partition(&table_, d, &p), nullptr);
        p = mbr_part(PartitionKind::Logical, 0, 14 * mib, 2 * mib, 0x07);
        ASSERT_EQ(kv::add_partition(&table_, d, &p), nullptr);
        ASSERT_EQ(kv::set_active(&table_, 6, true), nullptr);
        ASSERT_EQ(kv::delete_partition(&table_, 5), nullptr);
        ASSERT_EQ(kv::write_table(d, &table_), kv::ERR_OK);
        ASSERT_EQ(read_back(d), kv::ERR_OK);
        EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
        EXPECT_EQ(notes(back_), Notes{});

        kv::new_table(&table_, d, TableKind::Gpt);
        p = gpt_part(0, mib, 8 * mib, kvtest::kEspType, kUniqueA, "EFI system");
        ASSERT_EQ(kv::add_partition(&table_, d, &p), nullptr);
        p = gpt_part(0, 16 * mib, 8 * mib, kvtest::kLinuxDataType, kUniqueA, "");
        ASSERT_EQ(kv::add_partition(&table_, d, &p), nullptr);
        ASSERT_EQ(
            kv::set_name(&table_, 2, "\xE6\x97\xA5\xE6\x9C\xAC 123456789012345678901234567890123"),
            nullptr);
        table_.partitions[0].attributes = 0x8000000000000004ull;
        ASSERT_EQ(kv::write_table(d, &table_), kv::ERR_OK);
        ASSERT_EQ(read_back(d), kv::ERR_OK);
        EXPECT_EQ(kvtest::table_differences(table_, back_), Notes{});
        EXPECT_EQ(notes(back_), Notes{});
    }
}

} // namespace
