#include "disk/types.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "disk/guid.h"

namespace {

kv::PartitionTable table_of(kv::TableKind kind) {
    kv::PartitionTable table{};
    table.kind = kind;
    table.block_size = 512;
    return table;
}

kv::Partition mbr_partition(uint8_t type) {
    kv::Partition p{};
    p.number = 1;
    p.mbr_type = type;
    return p;
}

kv::Partition gpt_partition(const char* guid_text) {
    kv::Partition p{};
    p.number = 1;
    EXPECT_TRUE(kv::guid_from_text(guid_text, p.type_guid)) << guid_text;
    return p;
}

std::string text_of(const kv::PartitionTable& table, const kv::Partition& p, size_t size = 64) {
    char buffer[64];
    kv::type_text(&table, &p, buffer, size);
    return buffer;
}

std::string name_or_empty(const char* name) {
    return name ? name : "";
}

std::vector<std::string> choice_names(kv::TableKind kind) {
    std::vector<std::string> names;
    const char* name = nullptr;
    uint8_t byte = 0;
    uint8_t guid[16];
    for (int i = 0; kv::type_choice(kind, i, &name, &byte, guid); i++)
        names.push_back(name);
    return names;
}

TEST(TypeName, FindsMbrTypesByByteIncludingThoseNeverOffered) {
    kv::PartitionTable mbr = table_of(kv::TableKind::Mbr);
    const struct {
        uint8_t byte;
        const char* name;
    } cases[] = {{0x0C, "FAT32 (LBA)"},    {0x83, "Linux"},
                 {0xAF, "Apple HFS+"},     {0x05, "Extended"},
                 {0x0F, "Extended (LBA)"}, {0x85, "Linux extended"},
                 {0xEE, "GPT protective"}, {0x14, "Hidden FAT16 <32M"}};
    for (const auto& c : cases) {
        kv::Partition p = mbr_partition(c.byte);
        EXPECT_EQ(name_or_empty(kv::type_name(&mbr, &p)), c.name) << int(c.byte);
        EXPECT_EQ(text_of(mbr, p), c.name);
    }
}

TEST(TypeName, FindsGptTypesByOnDiskGuidBytes) {
    kv::PartitionTable gpt = table_of(kv::TableKind::Gpt);
    // EFI system partition as it lies in a GPT entry: first three groups
    // little-endian. Comparing against these bytes catches a lookup that
    // matches on a big-endian reading of the GUID.
    const uint8_t esp[16] = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                             0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
    kv::Partition p{};
    std::memcpy(p.type_guid, esp, 16);
    EXPECT_EQ(name_or_empty(kv::type_name(&gpt, &p)), "EFI system");

    kv::Partition linux_fs = gpt_partition("0FC63DAF-8483-4772-8E79-3D69D8477DE4");
    EXPECT_EQ(text_of(gpt, linux_fs), "Linux filesystem");
    kv::Partition apfs = gpt_partition("7C3457EF-0000-11AA-AA11-00306543ECAC");
    EXPECT_EQ(text_of(gpt, apfs), "Apple APFS");
}

TEST(TypeName, UnknownTypesHaveNoNameAndShowTheirValue) {
    kv::PartitionTable mbr = table_of(kv::TableKind::Mbr);
    kv::Partition p9c = mbr_partition(0x9C);
    EXPECT_EQ(kv::type_name(&mbr, &p9c), nullptr);
    EXPECT_EQ(text_of(mbr, p9c), "type 9C");
    kv::Partition p0a = mbr_partition(0x0A);
    EXPECT_EQ(text_of(mbr, p0a), "type 0A");

    kv::PartitionTable gpt = table_of(kv::TableKind::Gpt);
    // Differs from "Linux filesystem" only in its last digit.
    kv::Partition odd = gpt_partition("0FC63DAF-8483-4772-8E79-3D69D8477DE5");
    EXPECT_EQ(kv::type_name(&gpt, &odd), nullptr);
    std::string shown = text_of(gpt, odd);
    EXPECT_EQ(shown, "0FC63DAF-8483-4772...");
    EXPECT_EQ(shown.size(), 21u);
}

TEST(TypeName, TableKindDecidesWhichCatalogueIsSearched) {
    // A partition record carrying both a known byte and a known GUID.
    kv::Partition p = gpt_partition("0657FD6D-A4AB-43C4-84E5-0933C84B4F4F");
    p.mbr_type = 0x83;
    kv::PartitionTable gpt = table_of(kv::TableKind::Gpt);
    kv::PartitionTable mbr = table_of(kv::TableKind::Mbr);
    kv::PartitionTable none = table_of(kv::TableKind::None);
    EXPECT_EQ(name_or_empty(kv::type_name(&gpt, &p)), "Linux swap");
    EXPECT_EQ(name_or_empty(kv::type_name(&mbr, &p)), "Linux");
    EXPECT_EQ(name_or_empty(kv::type_name(&none, &p)), "Linux");

    // Only the GUID is consulted for a GPT, however familiar the byte.
    kv::Partition unknown_guid = gpt_partition("00000000-0000-0000-0000-000000000001");
    unknown_guid.mbr_type = 0x82;
    EXPECT_EQ(kv::type_name(&gpt, &unknown_guid), nullptr);
    EXPECT_EQ(text_of(gpt, unknown_guid), "00000000-0000-0000...");
    // And only the byte for an MBR, however familiar the GUID.
    kv::Partition no_byte = gpt_partition("C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
    EXPECT_EQ(kv::type_name(&mbr, &no_byte), nullptr);
    EXPECT_EQ(text_of(mbr, no_byte), "type 00");
}

TEST(TypeText, IsCutToTheBuffer) {
    kv::PartitionTable mbr = table_of(kv::TableKind::Mbr);
    kv::PartitionTable gpt = table_of(kv::TableKind::Gpt);
    EXPECT_EQ(text_of(mbr, mbr_partition(0x07), 5), "NTFS");
    EXPECT_EQ(text_of(mbr, mbr_partition(0x9C), 6), "type ");
    EXPECT_EQ(text_of(gpt, gpt_partition("11111111-2222-3333-4444-555555555555"), 20),
              "11111111-2222-3333.");
}

TEST(TypeChoice, MbrListHasTheTwentyFourOfferedTypesInOrder) {
    const std::vector<std::string> expected = {"FAT32 (LBA)",
                                               "NTFS/exFAT",
                                               "Linux",
                                               "Linux swap",
                                               "EFI system",
                                               "Linux LVM",
                                               "Linux RAID",
                                               "FAT16 (LBA)",
                                               "FAT32",
                                               "FAT16",
                                               "Windows recovery",
                                               "Hidden NTFS",
                                               "Hidden FAT32 (LBA)",
                                               "Hidden FAT32",
                                               "Hidden FAT16 (LBA)",
                                               "Hidden FAT16",
                                               "Hidden FAT16 <32M",
                                               "Hidden FAT12",
                                               "FAT16 <32M",
                                               "FAT12",
                                               "Windows LDM",
                                               "FreeBSD",
                                               "OpenBSD",
                                               "Apple HFS+"};
    EXPECT_EQ(choice_names(kv::TableKind::Mbr), expected);
    // A disk without a table offers the MBR list too.
    EXPECT_EQ(choice_names(kv::TableKind::None), expected);
}

TEST(TypeChoice, GptListHasAllSixteenTypesInOrder) {
    const std::vector<std::string> expected = {"EFI system",          "BIOS boot",
                                               "Microsoft reserved",  "Microsoft basic data",
                                               "Windows recovery",    "Windows LDM metadata",
                                               "Windows LDM data",    "Linux filesystem",
                                               "Linux root (x86-64)", "Linux home",
                                               "Linux extended boot", "Linux swap",
                                               "Linux LVM",           "Linux RAID",
                                               "Apple HFS+",          "Apple APFS"};
    EXPECT_EQ(choice_names(kv::TableKind::Gpt), expected);
}

TEST(TypeChoice, NeverOffersExtendedOrProtectiveTypes) {
    const char* name = nullptr;
    uint8_t byte = 0;
    for (int i = 0; kv::type_choice(kv::TableKind::Mbr, i, &name, &byte, nullptr); i++) {
        EXPECT_FALSE(kv::is_extended_type(byte)) << name;
        EXPECT_NE(byte, 0xEE) << name;
        EXPECT_NE(byte, 0x00) << name;
    }
}

TEST(TypeChoice, IndexOutsideTheListWritesNothing) {
    for (kv::TableKind kind : {kv::TableKind::Mbr, kv::TableKind::Gpt}) {
        int past_end = kind == kv::TableKind::Gpt ? 16 : 24;
        for (int index : {-1, INT_MIN, past_end, past_end + 4, INT_MAX}) {
            const char* name = "untouched";
            uint8_t byte = 0x5A;
            uint8_t guid[16];
            std::memset(guid, 0xA5, sizeof guid);
            EXPECT_FALSE(kv::type_choice(kind, index, &name, &byte, guid)) << index;
            EXPECT_STREQ(name, "untouched");
            EXPECT_EQ(byte, 0x5A);
            for (uint8_t b : guid)
                EXPECT_EQ(b, 0xA5);
        }
        EXPECT_TRUE(kv::type_choice(kind, past_end - 1, nullptr, nullptr, nullptr));
    }
}

TEST(TypeChoice, GptChoiceLeavesTheTypeByteAloneAndMbrChoiceTheGuid) {
    uint8_t byte = 0x5A;
    uint8_t guid[16];
    std::memset(guid, 0xA5, sizeof guid);
    const char* name = nullptr;
    ASSERT_TRUE(kv::type_choice(kv::TableKind::Gpt, 0, &name, &byte, guid));
    EXPECT_EQ(byte, 0x5A);
    ASSERT_TRUE(kv::type_choice(kv::TableKind::Mbr, 0, &name, &byte, nullptr));
    EXPECT_EQ(byte, 0x0C);
}

// Every offered type, stored into a partition, must read back under the name
// it was offered with: catches a GUID text that does not survive the parse
// or a byte that an earlier row shadows.
TEST(TypeChoice, ChosenTypeReadsBackUnderTheSameName) {
    for (kv::TableKind kind : {kv::TableKind::Mbr, kv::TableKind::Gpt}) {
        kv::PartitionTable table = table_of(kind);
        const char* name = nullptr;
        kv::Partition p{};
        int count = 0;
        for (int i = 0; kv::type_choice(kind, i, &name, &p.mbr_type, p.type_guid); i++) {
            EXPECT_EQ(name_or_empty(kv::type_name(&table, &p)), name) << i;
            EXPECT_EQ(text_of(table, p), name);
            count++;
        }
        EXPECT_EQ(count, kind == kv::TableKind::Gpt ? 16 : 24);
    }
}

TEST(TypeChoice, GptChoiceGivesOnDiskByteOrder) {
    const char* name = nullptr;
    uint8_t guid[16];
    ASSERT_TRUE(kv::type_choice(kv::TableKind::Gpt, 7, &name, nullptr, guid));
    EXPECT_STREQ(name, "Linux filesystem");
    const uint8_t expected[16] = {0xAF, 0x3D, 0xC6, 0x0F, 0x83, 0x84, 0x72, 0x47,
                                  0x8E, 0x79, 0x3D, 0x69, 0xD8, 0x47, 0x7D, 0xE4};
    EXPECT_EQ(std::memcmp(guid, expected, 16), 0);
}

} // namespace
