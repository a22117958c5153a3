#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk/types.h"
#include "tests/disk/image_builder.h"
#include "tests/tui/command_dialogs_fixture.h"

namespace {

using cdtest::g_script;
constexpr uint64_t kMiB = 2048; // blocks of 512 bytes

class NewPartition : public cdtest::DialogTest {
  protected:
    // 8 MiB with an MBR holding `slots`.
    void open_mbr(const std::vector<kvtest::MbrEntry>& slots = {}) {
        image_ = std::make_unique<sim::MemDisk>(512, 8 * kMiB);
        kvtest::write_mbr(*image_, slots);
        open(*image_);
    }
    void run(uint64_t area_start) {
        const kv::Row* area = free_row_at(area_start);
        ASSERT_NE(area, nullptr);
        kv::new_partition_dialog(&view_, area);
    }
    std::unique_ptr<sim::MemDisk> image_;
};

constexpr int kLinux = 2; // "Linux" in the MBR type list

TEST_F(NewPartition, AsksKindStartSizeAndTypeWithTheirExactTexts) {
    open_mbr();
    answer({"1 MiB", "4M"}, {0, kLinux});
    run(kMiB);

    std::vector<cdtest::Call> d = g_script.dialogs();
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0].title, "New partition");
    EXPECT_EQ(d[0].items,
              (std::vector<std::string>{"Primary", "Logical (creates the extended partition)"}));
    EXPECT_EQ(d[1].text, "Start (free: 1 MiB to 8.0 MiB):");
    EXPECT_EQ(d[1].initial_text, "1 MiB");
    EXPECT_EQ(d[2].text, "Size (512M, 20G..., rest = 7.0 MiB):");
    EXPECT_EQ(d[2].initial_text, "rest");
    for (int i : {1, 2}) {
        EXPECT_EQ(d[i].title, "New partition");
        EXPECT_FALSE(d[i].warning);
        EXPECT_EQ(d[i].capacity, 64u);
    }
    EXPECT_EQ(d[3].title, "Type");
    EXPECT_EQ(d[3].items.back(), "Other (type byte)...");
    for (size_t i = 1; i < g_script.calls.size(); i++) {
        if (g_script.calls[i].kind != "redraw") {
            EXPECT_EQ(g_script.calls[i - 1].kind, "redraw") << "the screen is redrawn first";
        }
    }

    ASSERT_EQ(view_.table.partition_count, 1);
    const kv::Partition& p = view_.table.partitions[0];
    EXPECT_EQ(p.kind, kv::PartitionKind::Primary);
    EXPECT_EQ(p.start, kMiB) << "1 MiB on 512-byte blocks is block 2048";
    EXPECT_EQ(p.size, 4 * kMiB);
    EXPECT_EQ(p.mbr_type, 0x83);
    EXPECT_STREQ(view_.message, "Partition 1 added.");
    ASSERT_NE(kv::view_selected_partition(&view_), nullptr);
    EXPECT_EQ(kv::view_selected_partition(&view_)->start, kMiB);
}

TEST_F(NewPartition, StartIsRoundedUpToABlockThenToTheAlignment) {
    open_mbr();
    struct {
        const char* start;
        const char* size;
        uint64_t first, count;
    } cases[] = {
        {"1000K", "1M", kMiB, kMiB},        // 2000 blocks
        {"1.5M", "1M", 2 * kMiB, kMiB},     // between two units
        {"2097153B", "1M", 3 * kMiB, kMiB}, // one byte into block 4096
        {"4096S", "1000B", 2 * kMiB, 1},    // sizes round down
        {"2M", "rest", 2 * kMiB, 6 * kMiB}, // rest counts from the start
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(kv::view_load(&view_));
        answer({c.start, c.size}, {0, kLinux});
        run(kMiB);
        ASSERT_EQ(view_.table.partition_count, 1) << c.start;
        EXPECT_EQ(view_.table.partitions[0].start, c.first) << c.start;
        EXPECT_EQ(view_.table.partitions[0].size, c.count) << c.start;
    }
}

TEST_F(NewPartition, RefusesBadAnswersWithAWarningAndChangesNothing) {
    open_mbr();
    const std::optional<std::string> cancel;
    struct {
        std::deque<std::optional<std::string>> inputs;
        const char* message; // null: cancelled, no message
    } cases[] = {
        {{"0"}, "The start must be in the free area, from 1 MiB."},
        {{"8M"}, "The start must be in the free area, from 1 MiB."},
        {{"100000T"}, "The start must be in the free area, from 1 MiB."},
        {{"rest"}, "the start must be a position, such as 1 MiB"},
        {{"abc"}, "write a size such as 512M, 20G or rest"},
        {{"1M", "511B"}, "The size is zero."},
        {{"1M", "8M"}, "Too big: at most 7.0 MiB."},
        {{"1M", "20x"}, "unknown unit: use K, M, G or T"},
        {{cancel}, nullptr},
        {{"1M", cancel}, nullptr},
    };
    for (const auto& c : cases) {
        answer(c.inputs, {0});
        run(kMiB);
        std::vector<cdtest::Call> messages = g_script.of("message");
        ASSERT_EQ(messages.size(), c.message ? 1u : 0u) << c.inputs.back().value_or("cancel");
        if (c.message) {
            EXPECT_TRUE(messages[0].warning);
            EXPECT_EQ(messages[0].title, "New partition");
            EXPECT_EQ(messages[0].text, c.message);
        }
        EXPECT_EQ(view_.table.partition_count, 0);
        EXPECT_FALSE(view_.table.dirty);
    }
}

TEST_F(NewPartition, LogicalMovesTheProposedStartOneUnitOn) {
    // A gap of exactly 1 MiB at 2 MiB: no room once the start moves.
    open_mbr({{0, 0x83, 2048, 2048}, {0, 0x83, 3 * 2048, 5 * 2048}});
    answer({}, {1});
    run(2 * kMiB);
    std::vector<cdtest::Call> d = g_script.dialogs();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_TRUE(d[1].warning);
    EXPECT_EQ(d[1].text, "The free area is too small.");

    open_mbr();
    answer({"2M", "4M"}, {1, kLinux});
    run(kMiB);
    EXPECT_EQ(g_script.of("input").at(0).text, "Start (free: 2 MiB to 8.0 MiB):");
    const kv::Partition* logical = kv::find_partition(&view_.table, 5);
    ASSERT_NE(logical, nullptr) << view_.message;
    EXPECT_EQ(logical->kind, kv::PartitionKind::Logical);
    EXPECT_EQ(view_.table.partition_count, 2) << "with the extended partition around it";
    EXPECT_STREQ(view_.message, "Partition 5 added.");
}

TEST_F(NewPartition, NoKindQuestionBesideAnExtendedPartition) {
    open_mbr({{0, 0x83, 2048, 2048}, {0, 0x05, 4 * 2048, 4 * 2048}});
    answer({"2M", "rest"}, {kLinux});
    run(2 * kMiB);
    EXPECT_EQ(g_script.of("choice").size(), 1u) << "only the type list";
    const kv::Partition* p = kv::find_partition(&view_.table, 3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->kind, kv::PartitionKind::Primary);
}

TEST_F(NewPartition, ShowsTheTablesOwnRefusal) {
    open_mbr({{0, 0x83, 2048, 2048},
              {0, 0x83, 2 * 2048, 2048},
              {0, 0x83, 3 * 2048, 2048},
              {0, 0x83, 4 * 2048, 2048}});
    answer({"5M", "rest"}, {0, kLinux});
    run(5 * kMiB);
    ASSERT_EQ(g_script.of("message").size(), 1u);
    EXPECT_EQ(g_script.of("message")[0].text,
              "an MBR holds at most four primary partitions, the extended one included");
    EXPECT_FALSE(view_.table.dirty);
}

TEST_F(NewPartition, GptAsksForANameInsteadOfAKind) {
    image_ = std::make_unique<sim::MemDisk>(512, 8 * kMiB);
    kvtest::write_gpt(*image_, kvtest::GptPlan{});
    open(*image_);
    answer({"1M", "4M", "boot ünd root"}, {1});
    run(kMiB);
    std::vector<cdtest::Call> d = g_script.dialogs();
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[2].items.back(), "Other (type GUID)...");
    EXPECT_EQ(d[3].text, "Name (optional, 36 characters):");
    EXPECT_EQ(d[3].initial_text, "");
    EXPECT_EQ(d[3].capacity, 64u);

    ASSERT_EQ(view_.table.partition_count, 1);
    uint8_t guid[16];
    ASSERT_TRUE(kv::type_choice(kv::TableKind::Gpt, 1, nullptr, nullptr, guid));
    EXPECT_EQ(0, std::memcmp(view_.table.partitions[0].type_guid, guid, 16));
    EXPECT_STREQ(view_.table.partitions[0].name, "boot ünd root");
}

} // namespace
