#include "sim/table_json.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "disk/guid.h"

namespace {

TEST(JsonEscape, EscapesQuotesBackslashesAndControlCharacters) {
    EXPECT_EQ(sim::json_escape("plain text"), "plain text");
    EXPECT_EQ(sim::json_escape("say \"hi\""), "say \\\"hi\\\"");
    EXPECT_EQ(sim::json_escape("C:\\boot"), "C:\\\\boot");
    EXPECT_EQ(sim::json_escape("a\nb\tc\x01"), "a\\u000ab\\u0009c\\u0001");
    EXPECT_EQ(sim::json_escape(std::string("x\0y", 3)), "x\\u0000y");
    EXPECT_EQ(sim::json_escape("\x1f\x7f"), "\\u001f\\u007f");
}

TEST(JsonEscape, KeepsValidUtf8AndNeutralisesMalformedBytes) {
    EXPECT_EQ(sim::json_escape("Daten \xc3\xa9t\xc3\xa9"), "Daten \xc3\xa9t\xc3\xa9");
    EXPECT_EQ(sim::json_escape("\xe2\x82\xac \xf0\x9f\x98\x80"), "\xe2\x82\xac \xf0\x9f\x98\x80");
    // An unpaired UTF-16 unit converted on its own: keep it as an escape.
    EXPECT_EQ(sim::json_escape("a\xed\xa0\x80z"), "a\\ud800z");
    EXPECT_EQ(sim::json_escape("\xff"), "\\ufffd");
    // A sequence cut by the 111-byte name limit, and an overlong '/'.
    EXPECT_EQ(sim::json_escape("ab\xe2\x82"), "ab\\ufffd\\ufffd");
    EXPECT_EQ(sim::json_escape("\xc0\xaf"), "\\ufffd\\ufffd");
    // A stray continuation byte must not swallow the quote after it.
    EXPECT_EQ(sim::json_escape("\x80\""), "\\ufffd\\\"");
}

kv::Partition partition(int32_t number, kv::PartitionKind kind, uint64_t start, uint64_t size) {
    kv::Partition p{};
    p.number = number;
    p.kind = kind;
    p.start = start;
    p.size = size;
    return p;
}

TEST(TableToJson, MbrTableWithEveryPartitionKind) {
    std::vector<kv::Partition> parts = {
        partition(1, kv::PartitionKind::Primary, 2048, 204800),
        partition(2, kv::PartitionKind::Extended, 206848, 409600),
        partition(5, kv::PartitionKind::Logical, 208896, 102400),
    };
    parts[0].mbr_type = 0x83;
    parts[0].active = true;
    parts[1].mbr_type = 0x05;
    parts[2].mbr_type = 0x9C;
    parts[2].ebr_block = 206848;
    parts[2].changed = true;

    kv::PartitionTable table{};
    table.kind = kv::TableKind::Mbr;
    table.block_size = 512;
    table.block_count = 1048576;
    table.mbr_signature = 0xDEADBEEF;
    table.partitions = parts.data();
    table.partition_count = 3;
    table.note_count = 1;
    std::strcpy(table.notes[0].text, "partition 1 goes beyond the end of the disk");

    const char* zero = "\"00000000-0000-0000-0000-000000000000\"";
    std::string z = zero;
    std::string expected =
        "{\n"
        "  \"kind\": \"mbr\",\n"
        "  \"block_size\": 512,\n"
        "  \"block_count\": 1048576,\n"
        "  \"mbr_signature\": 3735928559,\n"
        "  \"disk_guid\": " +
        z +
        ",\n"
        "  \"first_usable\": 0,\n"
        "  \"last_usable\": 0,\n"
        "  \"entry_count\": 0,\n"
        "  \"entry_size\": 0,\n"
        "  \"primary_array_lba\": 0,\n"
        "  \"backup_header_lba\": 0,\n"
        "  \"backup_array_lba\": 0,\n"
        "  \"hybrid\": false,\n"
        "  \"backup_kept\": false,\n"
        "  \"chain_cut\": false,\n"
        "  \"needs_repair\": false,\n"
        "  \"unread_entry_count\": 0,\n"
        "  \"partitions\": [\n"
        "    {\"number\": 1, \"kind\": \"primary\", \"start\": 2048, \"size\": 204800, "
        "\"type_byte\": 131, \"type_guid\": " +
        z + ", \"unique_guid\": " + z +
        ", \"attributes\": 0, \"name\": \"\", \"active\": true, \"ebr_block\": 0, "
        "\"changed\": false, \"type_text\": \"Linux\"},\n"
        "    {\"number\": 2, \"kind\": \"extended\", \"start\": 206848, \"size\": 409600, "
        "\"type_byte\": 5, \"type_guid\": " +
        z + ", \"unique_guid\": " + z +
        ", \"attributes\": 0, \"name\": \"\", \"active\": false, \"ebr_block\": 0, "
        "\"changed\": false, \"type_text\": \"Extended\"},\n"
        "    {\"number\": 5, \"kind\": \"logical\", \"start\": 208896, \"size\": 102400, "
        "\"type_byte\": 156, \"type_guid\": " +
        z + ", \"unique_guid\": " + z +
        ", \"attributes\": 0, \"name\": \"\", \"active\": false, \"ebr_block\": 206848, "
        "\"changed\": true, \"type_text\": \"type 9C\"}\n"
        "  ],\n"
        "  \"notes\": [\n"
        "    \"partition 1 goes beyond the end of the disk\"\n"
        "  ]\n"
        "}\n";
    EXPECT_EQ(sim::table_to_json(table), expected);
}

TEST(TableToJson, GptFieldsAreExactAndTextsEscaped) {
    kv::Partition p = partition(3, kv::PartitionKind::Primary, 34, UINT64_MAX - 34);
    ASSERT_TRUE(kv::guid_from_text("0fc63daf-8483-4772-8e79-3d69d8477de4", p.type_guid));
    ASSERT_TRUE(kv::guid_from_text("01234567-89ab-cdef-0123-456789abcdef", p.unique_guid));
    p.attributes = 0x8000000000000001ULL;
    std::strcpy(p.name, "root \"a\\b\"\x01");

    kv::PartitionTable table{};
    table.kind = kv::TableKind::Gpt;
    table.block_size = 4096;
    table.block_count = UINT64_MAX;
    ASSERT_TRUE(kv::guid_from_text("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", table.disk_guid));
    table.first_usable = 6;
    table.last_usable = 18446744073709551610ULL;
    table.entry_count = 128;
    table.entry_size = 128;
    table.primary_array_lba = 2;
    table.backup_header_lba = 18446744073709551614ULL;
    table.backup_array_lba = 18446744073709551610ULL;
    table.hybrid = true;
    table.partitions = &p;
    table.partition_count = 1;
    table.note_count = 2;
    std::strcpy(table.notes[0].text, "hybrid MBR: block 0 also describes partitions");
    std::strcpy(table.notes[1].text, "tab\there");

    std::string json = sim::table_to_json(table);
    for (const char* piece : {
             "\"kind\": \"gpt\"",
             "\"block_size\": 4096",
             "\"block_count\": 18446744073709551615,",
             "\"disk_guid\": \"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE\"",
             "\"last_usable\": 18446744073709551610,",
             "\"backup_header_lba\": 18446744073709551614,",
             "\"hybrid\": true",
             "\"size\": 18446744073709551581,",
             "\"type_guid\": \"0FC63DAF-8483-4772-8E79-3D69D8477DE4\"",
             "\"unique_guid\": \"01234567-89AB-CDEF-0123-456789ABCDEF\"",
             "\"attributes\": 9223372036854775809,",
             "\"name\": \"root \\\"a\\\\b\\\"\\u0001\"",
             "\"type_text\": \"Linux filesystem\"",
             "\"tab\\u0009here\"",
         })
        EXPECT_NE(json.find(piece), std::string::npos) << piece << "\n" << json;
}

TEST(TableToJson, EmptyTableHasEveryKeyOnceInOrder) {
    kv::PartitionTable table{};
    std::string json = sim::table_to_json(table);
    std::regex key("\n  \"([a-z_]+)\": ");
    std::vector<std::string> keys;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), key);
         it != std::sregex_iterator(); ++it)
        keys.push_back((*it)[1]);
    const std::vector<std::string> expected = {"kind",
                                               "block_size",
                                               "block_count",
                                               "mbr_signature",
                                               "disk_guid",
                                               "first_usable",
                                               "last_usable",
                                               "entry_count",
                                               "entry_size",
                                               "primary_array_lba",
                                               "backup_header_lba",
                                               "backup_array_lba",
                                               "hybrid",
                                               "backup_kept",
                                               "chain_cut",
                                               "needs_repair",
                                               "unread_entry_count",
                                               "partitions",
                                               "notes"};
    EXPECT_EQ(keys, expected);
    EXPECT_NE(json.find("\"kind\": \"none\""), std::string::npos);
    EXPECT_NE(json.find("\"partitions\": [],"), std::string::npos);
    EXPECT_NE(json.find("\"notes\": []\n}"), std::string::npos);
}

TEST(TableToJson, NameWithoutTerminatorStopsAtItsBuffer) {
    kv::Partition p = partition(1, kv::PartitionKind::Primary, 34, 1);
    std::memset(p.name, 'n', sizeof p.name);
    p.changed = true; // the byte after the name: must not leak into it
    kv::PartitionTable table{};
    table.kind = kv::TableKind::Gpt;
    table.partitions = &p;
    table.partition_count = 1;
    std::string json = sim::table_to_json(table);
    EXPECT_NE(json.find("\"name\": \"" + std::string(sizeof p.name, 'n') + "\""),
              std::string::npos);
}

} // namespace
