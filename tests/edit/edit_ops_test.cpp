#include "edit/edit_ops.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <cctype>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk/guid.h"
#include "tests/edit/edit_fixture.h"

namespace {

using kv::PartitionKind;
using kv::TableKind;
using kvtest::add_clean;
using kvtest::mbr_model;
using kvtest::partition;
using kvtest::SizedDevice;
using kvtest::TableSnapshot;

constexpr uint64_t kMax = ~0ULL;
constexpr uint64_t k2TiBBlocks = 1ULL << 32;

// Why an edit is refused. The texts are the product's own and are not
// copied here: the fixture asserts that an edit is refused with a sentence
// for the user, that one cause always gives the same text and that two
// causes never share one.
enum Cause {
    kNoTable,
    kSizeZero,
    kBeyondDisk,
    kChooseType,
    kOutsideUsable,
    kOverlaps,
    kTableFull,
    kNameTooLong,
    kExtendedByLogical,
    kBeyond2TiB,
    kBlock0,
    kFourPrimaries,
    kNoSuch,
    kExtendedKeepsType,
    kOnlyExtendedType,
    kOnlyGptName,
    kOnlyMbrActive,
    kExtendedNotActive,
    kUnwritten,
    kWipeLogicals,
    kNoRoomForTable
};

using Guid = std::vector<uint8_t>;

Guid guid_of(const char* text) {
    Guid g(16);
    EXPECT_TRUE(kv::guid_from_text(text, g.data())) << text;
    return g;
}

const Guid kLinuxFs = guid_of("0FC63DAF-8483-4772-8E79-3D69D8477DE4");
const Guid kEsp = guid_of("C12A7328-F81F-11D2-BA4B-00A0C93EC93B");

kv::Partition gpt_model(uint64_t start, uint64_t size, const Guid& type = kLinuxFs,
                        const std::string& name = "") {
    kv::Partition p = partition(PartitionKind::Primary, 0, start, size, 0);
    std::memcpy(p.type_guid, type.data(), 16);
    std::strncpy(p.name, name.c_str(), sizeof p.name - 1);
    return p;
}

std::string repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; i++)
        out += piece;
    return out;
}

bool is_version4(const uint8_t* guid) {
    return (guid[7] & 0xF0) == 0x40 && (guid[8] & 0xC0) == 0x80;
}

class EditOpsTest : public kvtest::EditTest {
  protected:
    void new_table(TableKind kind, uint64_t blocks = 1000000, uint32_t block_size = 512) {
        device_ = std::make_unique<SizedDevice>(block_size, blocks, 7);
        kv::new_table(&table_, device_->device(), kind);
    }

    const char* add(const kv::Partition& model) {
        return kv::add_partition(&table_, device_->device(), &model);
    }

    // The edit must be refused for `cause` and leave every byte of the table
    // as it was.
    void expect_refused(Cause cause, const std::function<const char*()>& edit,
                        const std::string& what = "") {
        TableSnapshot before(table_);
        const char* result = edit();
        EXPECT_EQ(before.difference(table_), "") << what;
        ASSERT_NE(result, nullptr) << "accepted: " << what;
        std::string text = result;
        ASSERT_FALSE(text.empty()) << what;
        // The front ends capitalise the first letter and end the sentence.
        EXPECT_TRUE(std::islower(static_cast<unsigned char>(text[0]))) << text;
        EXPECT_NE(text.back(), '.') << text;
        auto known = texts_.find(cause);
        if (known != texts_.end()) {
            EXPECT_EQ(text, known->second) << "cause " << cause << ": " << what;
            return;
        }
        for (const auto& [other, other_text] : texts_)
            EXPECT_NE(text, other_text) << "causes " << cause << " and " << other << ": " << what;
        texts_[cause] = text;
    }
    void expect_add_refused(const kv::Partition& model, Cause cause) {
        expect_refused(
            cause, [&] { return add(model); },
            "start " + std::to_string(model.start) + " size " + std::to_string(model.size));
    }

    // An MBR table with primary 1, extended 2 and logical partitions 5, 6, 7,
    // clean as if just read.
    void mbr_with_logicals() {
        new_table(TableKind::Mbr);
        add_clean(&table_, partition(PartitionKind::Primary, 1, 2048, 2048));
        add_clean(&table_, partition(PartitionKind::Extended, 2, 8192, 100000, 0x0F));
        for (int32_t i = 0; i < 3; i++) {
            kv::Partition p = partition(PartitionKind::Logical, 5 + i, 10240 + 10240 * i, 4096);
            p.ebr_block = p.start - 1;
            add_clean(&table_, p);
        }
    }

    std::unique_ptr<SizedDevice> device_;
    // Kept over the tests of one run, so that causes met in different tests
    // are told apart too.
    static inline std::map<Cause, std::string> texts_;
};

TEST_F(EditOpsTest, NewMbrTableIsEmptyDirtyAndSigned) {
    kvtest::empty_mbr(&table_, 5000);
    add_clean(&table_, partition(PartitionKind::Primary, 1, 2048, 100));
    kv::add_note(&table_, "old note");
    table_.block0[0] = 0xEB;
    new_table(TableKind::Mbr, 3000000, 4096);
    EXPECT_EQ(table_.kind, TableKind::Mbr);
    EXPECT_EQ(table_.block_size, 4096u);
    EXPECT_EQ(table_.block_count, 3000000u);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_EQ(table_.note_count, 0);
    EXPECT_EQ(table_.block0[0], 0);
    EXPECT_TRUE(table_.dirty);
    EXPECT_NE(table_.mbr_signature, 0u);
}

TEST_F(EditOpsTest, MbrSignatureIsDrawnAgainUntilItIsNotZero) {
    SizedDevice disk(512, 100000, 3);
    disk.zero_next(2);
    kv::new_table(&table_, disk.device(), TableKind::Mbr);
    EXPECT_NE(table_.mbr_signature, 0u);
    EXPECT_EQ(disk.random_calls(), 3u);
}

TEST_F(EditOpsTest, RandomSourceStuckAtZeroStillYieldsASignature) {
    SizedDevice disk(512, 100000, 3);
    disk.zero_next(kMax);
    kv::new_table(&table_, disk.device(), TableKind::Mbr);
    EXPECT_NE(table_.mbr_signature, 0u);
}

TEST_F(EditOpsTest, NewGptTableHasTheStandardLayout) {
    new_table(TableKind::Gpt, 1000000, 512);
    EXPECT_EQ(table_.entry_count, 128u);
    EXPECT_EQ(table_.entry_size, 128u);
    EXPECT_EQ(table_.primary_array_lba, 2u);
    EXPECT_EQ(table_.first_usable, 34u);
    EXPECT_EQ(table_.last_usable, 1000000u - 34);
    EXPECT_EQ(table_.backup_header_lba, 999999u);
    EXPECT_EQ(table_.backup_array_lba, 1000000u - 33);
    EXPECT_TRUE(is_version4(table_.disk_guid));
    EXPECT_TRUE(table_.dirty);

    new_table(TableKind::Gpt, 1000000, 4096); // 4 array blocks
    EXPECT_EQ(table_.first_usable, 6u);
    EXPECT_EQ(table_.last_usable, 1000000u - 6);
    EXPECT_EQ(table_.backup_array_lba, 1000000u - 5);
}

TEST_F(EditOpsTest, NewGptTableOnATinyDiskHasNoUsableAreaAndNoWrappedBlocks) {
    new_table(TableKind::Gpt, 67, 512); // 2 * 32 + 3 blocks: one too few
    EXPECT_EQ(table_.last_usable, 0u);
    expect_add_refused(gpt_model(34, 1), kOutsideUsable);
    new_table(TableKind::Gpt, 68, 512);
    EXPECT_EQ(table_.last_usable, 34u);
    new_table(TableKind::Gpt, 20, 512);
    EXPECT_EQ(table_.backup_header_lba, 19u);
    EXPECT_EQ(table_.backup_array_lba, 0u);
}

TEST_F(EditOpsTest, DeletingTheTableLeavesKindNone) {
    new_table(TableKind::Gpt);
    ASSERT_EQ(add(gpt_model(2048, 2048)), nullptr);
    new_table(TableKind::None);
    EXPECT_EQ(table_.kind, TableKind::None);
    EXPECT_EQ(table_.partition_count, 0);
    EXPECT_TRUE(table_.dirty);
    expect_add_refused(gpt_model(2048, 2048), kNoTable);
    expect_add_refused(mbr_model(2048, 0), kNoTable); // before the size check
}

TEST_F(EditOpsTest, SizeAndDiskEndAreCheckedBeforeTheTableKindsRules) {
    new_table(TableKind::Mbr, 100000);
    expect_add_refused(mbr_model(2048, 0, 0), kSizeZero);
    expect_add_refused(mbr_model(99000, 1001, 0), kBeyondDisk);
    EXPECT_EQ(add(mbr_model(99000, 1000)), nullptr); // ends on the last block
    // Sums that would wrap past 2^64 are refused, never wrapped.
    expect_add_refused(mbr_model(kMax - 5, 10), kBeyondDisk);
    expect_add_refused(mbr_model(2048, kMax), kBeyondDisk);
    expect_add_refused(mbr_model(kMax, 1), kBeyondDisk);
}

TEST_F(EditOpsTest, GptPartitionMustLieInTheUsableArea) {
    const uint64_t n = 1000000;
    new_table(TableKind::Gpt, n);
    expect_add_refused(gpt_model(33, 100), kOutsideUsable);
    expect_add_refused(gpt_model(n - 34 - 99, 101), kOutsideUsable);
    ASSERT_EQ(add(gpt_model(34, n - 34 - 34 + 1)), nullptr);
    const kv::Partition* p = part(1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->start + p->size - 1, n - 34);
}

TEST_F(EditOpsTest, GptAddChecksTypeThenAreaThenOverlapThenNumberThenName) {
    new_table(TableKind::Gpt);
    expect_add_refused(gpt_model(10, 0, Guid(16, 0)), kSizeZero);
    expect_add_refused(gpt_model(10, 10, Guid(16, 0)), kChooseType);
    ASSERT_EQ(add(gpt_model(4096, 4096)), nullptr);
    const std::string long_name = repeat("x", 37);
    expect_add_refused(gpt_model(10, 10, kLinuxFs, long_name), kOutsideUsable);
    expect_add_refused(gpt_model(8191, 10, kLinuxFs, long_name), kOverlaps);
    expect_add_refused(gpt_model(2048, 2049, kLinuxFs), kOverlaps);
    table_.entry_count = 1;
    expect_add_refused(gpt_model(10000, 10, kLinuxFs, long_name), kTableFull);
    table_.entry_count = 0;
    expect_add_refused(gpt_model(10000, 10), kTableFull);
    table_.entry_count = 128;
    expect_add_refused(gpt_model(10000, 10, kLinuxFs, long_name), kNameTooLong);
}

TEST_F(EditOpsTest, GptNumbersReuseTheLowestFreeEntry) {
    new_table(TableKind::Gpt);
    ASSERT_EQ(add(gpt_model(2048, 2048)), nullptr);
    ASSERT_EQ(add(gpt_model(4096, 2048)), nullptr);
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{1, 2}));
    ASSERT_EQ(kv::delete_partition(&table_, 1), nullptr);
    ASSERT_EQ(add(gpt_model(8192, 2048)), nullptr);
    // Appended last, not sorted in.
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{2, 1}));
    EXPECT_EQ(part(1)->start, 8192u);
}

TEST_F(EditOpsTest, GptTableFullAfterEveryEntryIsUsed) {
    new_table(TableKind::Gpt);
    for (int i = 0; i < 128; i++)
        ASSERT_EQ(add(gpt_model(2048 + 16 * i, 16)), nullptr) << i;
    expect_add_refused(gpt_model(100000, 16), kTableFull);
}

TEST_F(EditOpsTest, GptAddSetsKindNumberAndAFreshVersion4UniqueGuid) {
    new_table(TableKind::Gpt);
    kv::Partition model = gpt_model(2048, 2048, kEsp, "boot");
    model.kind = PartitionKind::Logical;
    model.ebr_block = 77;
    model.active = true;
    uint64_t calls = device_->random_calls();
    ASSERT_EQ(add(model), nullptr);
    ASSERT_EQ(add(gpt_model(4096, 2048)), nullptr);
    EXPECT_EQ(device_->random_calls(), calls + 2);
    const kv::Partition* a = part(1);
    const kv::Partition* b = part(2);
    EXPECT_EQ(a->kind, PartitionKind::Primary);
    EXPECT_EQ(a->ebr_block, 0u);
    EXPECT_FALSE(a->active);
    EXPECT_STREQ(a->name, "boot");
    EXPECT_EQ(std::memcmp(a->type_guid, kEsp.data(), 16), 0);
    EXPECT_TRUE(a->changed);
    EXPECT_TRUE(is_version4(a->unique_guid));
    EXPECT_NE(std::memcmp(a->unique_guid, b->unique_guid, 16), 0);
}

TEST_F(EditOpsTest, GptNameLimitCountsUtf16UnitsNotBytes) {
    new_table(TableKind::Gpt);
    const std::string euro36 = repeat("\xE2\x82\xAC", 36); // 108 bytes, 36 units
    ASSERT_GT(euro36.size(), 36u);
    ASSERT_EQ(add(gpt_model(2048, 2048, kLinuxFs, euro36)), nullptr);
    EXPECT_EQ(std::string(part(1)->name), euro36);
    expect_add_refused(gpt_model(8192, 2048, kLinuxFs, repeat("\xC3\xA9", 37)), kNameTooLong);
    ASSERT_EQ(add(gpt_model(8192, 2048, kLinuxFs, repeat("a", 36))), nullptr);
}

TEST_F(EditOpsTest, MbrAddChecksTypeThenAddressThenBlock0) {
    new_table(TableKind::Mbr, k2TiBBlocks * 2);
    expect_add_refused(mbr_model(0, 10, 0), kChooseType);
    for (uint8_t type : {0x05, 0x0F, 0x85})
        expect_add_refused(mbr_model(0, 10, type, true), kExtendedByLogical);
    expect_add_refused(mbr_model(0, k2TiBBlocks + 1), kBeyond2TiB);
    expect_add_refused(mbr_model(0, 10), kBlock0);
    expect_add_refused(mbr_model(0, 10, 0x83, true), kBlock0);
}

TEST_F(EditOpsTest, MbrPartitionMayEndOnBlock4294967295ButNotOneLater) {
    for (uint32_t block_size : {512u, 4096u}) {
        new_table(TableKind::Mbr, k2TiBBlocks + 100, block_size);
        const uint64_t start = k2TiBBlocks - 1000;
        expect_add_refused(mbr_model(start, 1001), kBeyond2TiB);
        ASSERT_EQ(add(mbr_model(start, 1000)), nullptr) << block_size;
    }
}

TEST_F(EditOpsTest, PrimaryMayNotOverlapAPrimaryOrTheExtendedPartition) {
    mbr_with_logicals();
    expect_add_refused(mbr_model(4000, 200), kOverlaps);     // into 1
    expect_add_refused(mbr_model(100000, 50000), kOverlaps); // end of the extended
    expect_add_refused(mbr_model(4096, 4097), kOverlaps);    // its first block
    ASSERT_EQ(add(mbr_model(4096, 4096)), nullptr);
    EXPECT_EQ(part(3)->start, 4096u);
    // Non-logical partitions stay first, in slot order.
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{1, 2, 3, 5, 6, 7}));
}

TEST_F(EditOpsTest, FifthMbrSlotIsRefusedWithTheExtendedCounted) {
    mbr_with_logicals();
    ASSERT_EQ(add(mbr_model(4096, 2048)), nullptr);
    ASSERT_EQ(add(mbr_model(120000, 2048)), nullptr);
    EXPECT_EQ(part(4)->start, 120000u);
    expect_add_refused(mbr_model(200000, 2048), kFourPrimaries);
    // A logical partition still fits inside the extended one.
    ASSERT_EQ(add(mbr_model(50000, 2048, 0x83, true)), nullptr);
}

TEST_F(EditOpsTest, LogicalAddGoesThroughThePlacementRules) {
    mbr_with_logicals();
    expect_add_refused(mbr_model(20480, 100, 0x83, true), kNoRoomForTable);
    ASSERT_EQ(add(mbr_model(16384, 2048, 0x0C, true)), nullptr);
    const kv::Partition* p = part(6);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->start, 16384u);
    EXPECT_EQ(p->kind, PartitionKind::Logical);
    EXPECT_EQ(p->mbr_type, 0x0C);
}

TEST_F(EditOpsTest, NewActivePrimaryTakesTheFlagFromTheOthers) {
    mbr_with_logicals();
    table_.partitions[3].active = true; // logical 6
    kv::Partition model = mbr_model(4096, 2048);
    model.active = true;
    ASSERT_EQ(add(model), nullptr);
    EXPECT_TRUE(part(3)->active);
    EXPECT_FALSE(part(6)->active);
    EXPECT_TRUE(part(6)->changed);
}

TEST_F(EditOpsTest, DeleteAnswersNoSuchPartitionForAMissingNumber) {
    mbr_with_logicals();
    for (int32_t number : {0, 3, 8, -1, 99})
        expect_refused(
            kNoSuch, [&] { return kv::delete_partition(&table_, number); }, std::to_string(number));
}

TEST_F(EditOpsTest, DeletingALogicalPartitionRenumbersTheOnesAfterIt) {
    mbr_with_logicals();
    ASSERT_EQ(kv::delete_partition(&table_, 5), nullptr);
    EXPECT_TRUE(table_.dirty);
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{1, 2, 5, 6}));
    EXPECT_EQ(part(5)->start, 20480u);
    EXPECT_EQ(part(6)->start, 30720u);
    EXPECT_TRUE(part(5)->changed);
    EXPECT_TRUE(part(6)->changed);
    EXPECT_FALSE(part(1)->changed);
}

TEST_F(EditOpsTest, DeletingTheExtendedPartitionDeletesEveryLogicalOne) {
    mbr_with_logicals();
    ASSERT_EQ(kv::delete_partition(&table_, 2), nullptr);
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{1}));
}

TEST_F(EditOpsTest, DeletingASecondExtendedEntryKeepsTheLogicalPartitions) {
    // A damaged MBR with two extended entries: the logical partitions were
    // read from the first one and do not belong to the second.
    mbr_with_logicals();
    add_clean(&table_, partition(PartitionKind::Extended, 3, 500000, 1000, 0x05));
    kv::renumber_logicals(&table_);
    ASSERT_EQ(kv::delete_partition(&table_, 3), nullptr);
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{1, 2, 5, 6, 7}));
}

TEST_F(EditOpsTest, DeletingAGptPartitionLeavesTheArraySortedByNumber) {
    new_table(TableKind::Gpt);
    for (uint64_t start : {2048, 4096, 6144})
        ASSERT_EQ(add(gpt_model(start, 2048)), nullptr);
    ASSERT_EQ(kv::delete_partition(&table_, 1), nullptr);
    ASSERT_EQ(add(gpt_model(2048, 2048)), nullptr);
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{2, 3, 1}));
    ASSERT_EQ(kv::delete_partition(&table_, 3), nullptr);
    EXPECT_EQ(kvtest::numbers_of(table_), (std::vector<int32_t>{1, 2}));
}

TEST_F(EditOpsTest, SetTypeStoresAGptGuidButNeverAZeroOne) {
    new_table(TableKind::Gpt);
    ASSERT_EQ(add(gpt_model(2048, 2048)), nullptr);
    kvtest::mark_clean(&table_);
    Guid zero(16, 0);
    expect_refused(kNoSuch, [&] { return kv::set_type(&table_, 2, 0, zero.data()); });
    expect_refused(kChooseType, [&] { return kv::set_type(&table_, 1, 0x83, zero.data()); });
    expect_refused(kChooseType, [&] { return kv::set_type(&table_, 1, 0x83, nullptr); });
    ASSERT_EQ(kv::set_type(&table_, 1, 0, kEsp.data()), nullptr);
    EXPECT_EQ(std::memcmp(part(1)->type_guid, kEsp.data(), 16), 0);
    EXPECT_TRUE(part(1)->changed);
    EXPECT_TRUE(table_.dirty);
}

TEST_F(EditOpsTest, SetTypeKeepsExtendedTypesOnTheExtendedPartitionOnly) {
    mbr_with_logicals();
    expect_refused(kNoSuch, [&] { return kv::set_type(&table_, 4, 0, nullptr); });
    expect_refused(kChooseType, [&] { return kv::set_type(&table_, 1, 0, nullptr); });
    for (uint8_t type : {0x05, 0x0F, 0x85}) {
        expect_refused(kOnlyExtendedType, [&] { return kv::set_type(&table_, 1, type, nullptr); });
        expect_refused(kOnlyExtendedType, [&] { return kv::set_type(&table_, 6, type, nullptr); });
    }
    expect_refused(kExtendedKeepsType, [&] { return kv::set_type(&table_, 2, 0x83, nullptr); });
    ASSERT_EQ(kv::set_type(&table_, 2, 0x85, nullptr), nullptr);
    EXPECT_EQ(part(2)->mbr_type, 0x85);
    EXPECT_TRUE(part(2)->changed);
    ASSERT_EQ(kv::set_type(&table_, 6, 0x82, nullptr), nullptr);
    EXPECT_EQ(part(6)->mbr_type, 0x82);
    EXPECT_FALSE(part(5)->changed);
}

TEST_F(EditOpsTest, AddRefusesExtendedTypeWhereSetTypeNamesTheExtendedRule) {
    mbr_with_logicals();
    expect_add_refused(mbr_model(4096, 2048, 0x0F), kExtendedByLogical);
    expect_refused(kOnlyExtendedType, [&] { return kv::set_type(&table_, 1, 0x0F, nullptr); });
}

TEST_F(EditOpsTest, SetNameAcceptsThirtySixCharactersOfAnyWidth) {
    new_table(TableKind::Gpt);
    ASSERT_EQ(add(gpt_model(2048, 2048)), nullptr);
    expect_refused(kNoSuch, [&] { return kv::set_name(&table_, 2, "x"); });
    const std::string e_acute36 = repeat("\xC3\xA9", 36); // 72 bytes
    ASSERT_EQ(kv::set_name(&table_, 1, e_acute36.c_str()), nullptr);
    EXPECT_EQ(std::string(part(1)->name), e_acute36);
    EXPECT_TRUE(part(1)->changed);
    expect_refused(kNameTooLong,
                   [&] { return kv::set_name(&table_, 1, repeat("\xC3\xA9", 37).c_str()); });
    expect_refused(kNameTooLong, [&] { return kv::set_name(&table_, 1, repeat("n", 37).c_str()); });
    // A malformed byte is one unit of its own.
    expect_refused(kNameTooLong,
                   [&] { return kv::set_name(&table_, 1, (repeat("n", 36) + "\xFF").c_str()); });
    ASSERT_EQ(kv::set_name(&table_, 1, ""), nullptr);
    EXPECT_STREQ(part(1)->name, "");
}

TEST_F(EditOpsTest, NameBeyond111BytesIsCutAtACharacterBoundary) {
    new_table(TableKind::Gpt);
    ASSERT_EQ(add(gpt_model(2048, 2048)), nullptr);
    const std::string emoji = "\xF0\x9F\x98\x80"; // one unit: U+FFFD in UTF-16
    ASSERT_EQ(kv::set_name(&table_, 1, repeat(emoji, 36).c_str()), nullptr);
    EXPECT_EQ(std::string(part(1)->name), repeat(emoji, 27)); // 108 of 111 bytes
}

TEST_F(EditOpsTest, SetNameOnAnMbrTableIsRefused) {
    mbr_with_logicals();
    expect_refused(kNoSuch, [&] { return kv::set_name(&table_, 3, "x"); });
    expect_refused(kOnlyGptName, [&] { return kv::set_name(&table_, 1, "boot"); });
    expect_refused(kOnlyGptName, [&] { return kv::set_name(&table_, 1, repeat("y", 37).c_str()); });
}

TEST_F(EditOpsTest, SettingActiveClearsItEverywhereElse) {
    mbr_with_logicals();
    ASSERT_EQ(kv::set_active(&table_, 1, true), nullptr);
    kvtest::mark_clean(&table_);
    ASSERT_EQ(kv::set_active(&table_, 6, true), nullptr);
    EXPECT_FALSE(part(1)->active);
    EXPECT_TRUE(part(1)->changed);
    EXPECT_TRUE(part(6)->active);
    EXPECT_TRUE(part(6)->changed);
    EXPECT_FALSE(part(5)->changed);
    EXPECT_TRUE(table_.dirty);
    ASSERT_EQ(kv::set_active(&table_, 6, false), nullptr);
    for (int32_t i = 0; i < table_.partition_count; i++)
        EXPECT_FALSE(table_.partitions[i].active) << table_.partitions[i].number;
}

TEST_F(EditOpsTest, ActiveFlagIsRefusedOnGptAndOnTheExtendedPartition) {
    mbr_with_logicals();
    expect_refused(kNoSuch, [&] { return kv::set_active(&table_, 4, true); });
    expect_refused(kExtendedNotActive, [&] { return kv::set_active(&table_, 2, true); });
    expect_refused(kExtendedNotActive, [&] { return kv::set_active(&table_, 2, false); });
    new_table(TableKind::Gpt);
    ASSERT_EQ(add(gpt_model(2048, 2048)), nullptr);
    expect_refused(kNoSuch, [&] { return kv::set_active(&table_, 2, true); });
    expect_refused(kOnlyMbrActive, [&] { return kv::set_active(&table_, 1, true); });
}

TEST_F(EditOpsTest, WipeWaitsForACleanTableAndRefusesTheExtendedPartition) {
    mbr_with_logicals();
    expect_refused(kNoSuch, [&] { return kv::wipe_precheck(&table_, 3); });
    expect_refused(kWipeLogicals, [&] { return kv::wipe_precheck(&table_, 2); });
    for (int32_t number : {1, 5}) {
        TableSnapshot before(table_);
        EXPECT_EQ(kv::wipe_precheck(&table_, number), nullptr) << number;
        EXPECT_EQ(before.difference(table_), "");
    }
    table_.dirty = true;
    expect_refused(kNoSuch, [&] { return kv::wipe_precheck(&table_, 3); });
    expect_refused(kUnwritten, [&] { return kv::wipe_precheck(&table_, 1); });
    expect_refused(kUnwritten, [&] { return kv::wipe_precheck(&table_, 2); });
}

TEST_F(EditOpsTest, EveryOperationOnAMissingNumberSaysSoBeforeAnyOtherCheck) {
    new_table(TableKind::Gpt);
    // A GPT table refuses set_active and an MBR one set_name for any
    // partition, so these prove the order.
    expect_refused(kNoSuch, [&] { return kv::set_active(&table_, 1, true); });
    expect_refused(kNoSuch, [&] { return kv::set_type(&table_, 1, 0, nullptr); });
    new_table(TableKind::Mbr);
    expect_refused(kNoSuch, [&] { return kv::set_name(&table_, 1, "x"); });
    expect_refused(kNoSuch, [&] { return kv::delete_partition(&table_, 1); });
    expect_refused(kNoSuch, [&] { return kv::wipe_precheck(&table_, 1); });
}

} // namespace
