#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "disk/types.h"
#include "edit/edit_ops.h"
#include "tests/tui/disk_screen_fixture.h"
#include "tui/partition_screen.h"

namespace {

using kvtest::DialogCall;
using kvtest::DiskScreenTest;
using kvtest::g_script;

class Commands : public DiskScreenTest {
  protected:
    void SetUp() override {
        DiskScreenTest::SetUp();
        record_dialogs();
    }

    bool press(uint32_t ch, uint16_t scan = 0) {
        kv::KeyEvent key{ch, scan, 0};
        return kv::handle_command(&view_, &key);
    }

    std::string message() const { return view_.message; }

    void expect_info(const std::string& text) {
        EXPECT_EQ(message(), text);
        EXPECT_FALSE(view_.message_is_error) << text;
    }
    void expect_error(const std::string& text) {
        EXPECT_EQ(message(), text);
        EXPECT_TRUE(view_.message_is_error) << text;
    }

    void expect_only_call(const std::string& kind, bool warning, const std::string& title,
                          const std::string& text) {
        ASSERT_EQ(g_script.calls.size(), 1u);
        const DialogCall& c = g_script.calls[0];
        EXPECT_EQ(c.kind, kind);
        EXPECT_EQ(c.warning, warning);
        EXPECT_EQ(c.title, title);
        EXPECT_EQ(c.text, text);
    }

    int count_kind(kv::PartitionKind kind) const {
        int n = 0;
        for (int i = 0; i < view_.table.partition_count; i++)
            if (view_.table.partitions[i].kind == kind) n++;
        return n;
    }
};

TEST_F(Commands, KeysThatAreNotCommandsAreLeftToTheCaller) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    select_partition(1);
    // Esc and F5 belong to the screens that call the handler; characters
    // above 0x7F never fold onto a letter (0xEE and 0xE4 would become N and
    // D with a careless case fold).
    const kv::KeyEvent keys[] = {{0, kv::SCAN_ESC, 0}, {0x1B, 0, 0}, {0, kv::SCAN_F5, 0},
                                 {'q', 0, 0},          {'1', 0, 0},  {0xEE, 0, 0},
                                 {0xE4, 0, 0},         {4, 0, 0},    {0, kv::SCAN_UP, 0}};
    for (const kv::KeyEvent& key : keys) {
        EXPECT_FALSE(kv::handle_command(&view_, &key)) << key.ch << "/" << key.scan;
    }
    EXPECT_TRUE(g_script.calls.empty());
    EXPECT_EQ(message(), "");
    EXPECT_EQ(view_.table.partition_count, 1);
    EXPECT_FALSE(view_.table.dirty);
}

TEST_F(Commands, CommandTableAgreesWithTheHandler) {
    // One button a key, and a letter's button answers to the lower-case key.
    std::set<std::string> names;
    for (const kv::Command& c : kv::kCommandTable) {
        EXPECT_TRUE(names.insert(c.key_name).second) << c.key_name;
        if (std::strlen(c.key_name) == 1) {
            EXPECT_EQ(c.ch, uint32_t(c.key_name[0] - 'A' + 'a')) << c.key_name;
            EXPECT_EQ(c.scan, 0);
        }
    }

    // Every button but Esc and F5 is a command of the handler; the handler is
    // run on a write-protected disk so that nothing changes on the way.
    auto image = kvtest::mbr_disk(-1);
    open(*image, true);
    for (const kv::Command& c : kv::kCommandTable) {
        select_partition(1);
        kv::KeyEvent key{c.ch, c.scan, 0};
        bool program_key = c.scan == kv::SCAN_ESC || c.scan == kv::SCAN_F5;
        EXPECT_EQ(kv::handle_command(&view_, &key), !program_key) << c.key_name;
    }
    EXPECT_EQ(view_.table.partition_count, 1);
}

TEST_F(Commands, NewNeedsAFreeAreaOrATable) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    select_partition(1);
    EXPECT_TRUE(press('n'));
    expect_error("Select a free area.");

    ASSERT_TRUE(press('x'));
    EXPECT_TRUE(press('N'));
    expect_error("No partition table: Z makes one.");
}

TEST_F(Commands, NewOnAFreeAreaStartsTheDialogForThatArea) {
    auto image = kvtest::gpt_disk(1);
    open(*image);
    select_free_row();
    EXPECT_TRUE(press('n'));
    // A GPT asks no kind: the first question is the start, offered at the
    // free area's first block (2 MiB).
    std::vector<DialogCall> inputs = g_script.of_kind("input");
    ASSERT_FALSE(inputs.empty());
    EXPECT_EQ(inputs[0].title, "New partition");
    EXPECT_EQ(inputs[0].initial_text, "2 MiB");
    EXPECT_EQ(view_.table.partition_count, 1);
}

TEST_F(Commands, PartitionCommandsNeedASelectedPartitionFirst) {
    // Read-only and MBR: "Select a partition first." must come before both
    // the write guard and the MBR refusal of R.
    auto image = kvtest::mbr_disk(-1);
    open(*image, true);
    select_free_row();
    for (char c : std::string("dtraw")) {
        view_.message[0] = '\0';
        EXPECT_TRUE(press(uint32_t(c))) << c;
        expect_error("Select a partition first.");
    }
    EXPECT_TRUE(g_script.calls.empty());
}

TEST_F(Commands, RenameOnMbrAndActiveOnGptAreRefusedBeforeTheWriteGuard) {
    auto mbr = kvtest::mbr_disk(-1);
    open(*mbr, true);
    select_partition(1);
    EXPECT_TRUE(press('r'));
    expect_error("MBR partitions have no name.");

    auto gpt = kvtest::gpt_disk(1);
    open(*gpt, true);
    select_partition(1);
    EXPECT_TRUE(press('A'));
    expect_error("GPT partitions have no active flag.");
    EXPECT_TRUE(g_script.calls.empty());
}

TEST_F(Commands, WriteGuardExplainsWhyTheDiskCannotChange) {
    auto image = kvtest::mbr_disk(-1);
    open(*image, true, true);
    select_partition(1);
    EXPECT_TRUE(press('d'));
    expect_only_call("message", false, "Read only",
                     "korvane was started from this disk: it cannot be changed.");

    g_script.calls.clear();
    open(*image, true, false);
    select_partition(1);
    EXPECT_TRUE(press('z'));
    expect_only_call("message", false, "Read only", "The disk is write-protected.");
    EXPECT_EQ(view_.table.kind, kv::TableKind::Mbr);
    EXPECT_EQ(view_.table.partition_count, 1);
    EXPECT_FALSE(view_.table.dirty);
    EXPECT_EQ(message(), "");
}

TEST_F(Commands, DeletingAPartitionAsksNothing) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    select_partition(1);
    EXPECT_TRUE(press('d'));
    EXPECT_TRUE(g_script.calls.empty());
    expect_info("Partition 1 deleted.");
    EXPECT_EQ(view_.table.partition_count, 0);
    // The rows were rebuilt: only the free area is left.
    ASSERT_EQ(view_.row_count, 1);
    EXPECT_TRUE(view_.rows[0].is_free);
}

TEST_F(Commands, DeletingTheExtendedPartitionCountsItsLogicals) {
    struct Case {
        int logicals;
        const char* question; // empty: none asked
    };
    const Case cases[] = {
        {0, ""},
        {1, "Delete the extended partition and its 1 logical partition? (Y/N)"},
        {2, "Delete the extended partition and its 2 logical partitions? (Y/N)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logicals);
        auto image = kvtest::mbr_disk(c.logicals);
        open(*image);
        ASSERT_EQ(count_kind(kv::PartitionKind::Logical), c.logicals);

        // Answered no: nothing changes.
        g_script = kvtest::DialogScript{};
        if (c.logicals > 0) {
            select_partition(2);
            EXPECT_TRUE(press('d'));
            expect_only_call("confirm", true, "Delete partition", c.question);
            EXPECT_EQ(count_kind(kv::PartitionKind::Extended), 1);
            EXPECT_EQ(count_kind(kv::PartitionKind::Logical), c.logicals);
            EXPECT_FALSE(view_.table.dirty);
            EXPECT_EQ(message(), "");
        }

        g_script = kvtest::DialogScript{};
        g_script.confirms = {true};
        select_partition(2);
        EXPECT_TRUE(press('d'));
        EXPECT_EQ(g_script.calls.size(), c.logicals > 0 ? 1u : 0u);
        expect_info("Partition 2 deleted.");
        EXPECT_EQ(count_kind(kv::PartitionKind::Extended), 0);
        EXPECT_EQ(count_kind(kv::PartitionKind::Logical), 0);
        EXPECT_EQ(view_.table.partition_count, 1);
    }
}

TEST_F(Commands, TypeOfTheExtendedPartitionIsRefused) {
    auto image = kvtest::mbr_disk(1);
    open(*image);
    select_partition(2);
    EXPECT_TRUE(press('t'));
    expect_only_call("message", false, "Type", "The extended partition keeps its type.");
    EXPECT_EQ(partition(2).mbr_type, 0x05);
}

TEST_F(Commands, TypeListOpensAtTheCurrentType) {
    auto image = kvtest::mbr_disk(-1, 0x42);
    open(*image);
    select_partition(1);
    EXPECT_TRUE(press('t'));
    std::vector<DialogCall> choices = g_script.of_kind("choice");
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].title, "Type");
    ASSERT_GT(choices[0].initial, 0);
    ASSERT_LT(size_t(choices[0].initial), choices[0].items.size());
    EXPECT_EQ(choices[0].items[size_t(choices[0].initial)], "Windows LDM");
    // Cancelled: nothing changes.
    EXPECT_EQ(partition(1).mbr_type, 0x42);
    EXPECT_EQ(message(), "");
}

TEST_F(Commands, UnknownTypeOpensTheListAtItsFirstEntry) {
    auto image = kvtest::mbr_disk(-1, 0x99);
    open(*image);
    select_partition(1);
    EXPECT_TRUE(press('t'));
    std::vector<DialogCall> choices = g_script.of_kind("choice");
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].initial, 0);
}

TEST_F(Commands, GptTypeIsFoundByItsGuid) {
    auto image = kvtest::gpt_disk(1);
    open(*image);
    select_partition(1);
    // Choosing the entry after the current one changes the type to it.
    g_script.choices = {-1};
    EXPECT_TRUE(press('t'));
    std::vector<DialogCall> choices = g_script.of_kind("choice");
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].items[size_t(choices[0].initial)], "Linux filesystem");
    EXPECT_GT(choices[0].initial, 0);

    g_script = kvtest::DialogScript{};
    int next = choices[0].initial + 1;
    g_script.choices = {next};
    EXPECT_TRUE(press('t'));
    uint8_t expected[16];
    ASSERT_TRUE(kv::type_choice(kv::TableKind::Gpt, next, nullptr, nullptr, expected));
    EXPECT_EQ(std::memcmp(partition(1).type_guid, expected, 16), 0);
    EXPECT_TRUE(partition(1).changed);
    expect_info("Partition 1: type changed.");
}

TEST_F(Commands, RenameOffersTheCurrentNameAndSetsTheAnswer) {
    auto image = kvtest::gpt_disk(2);
    open(*image);
    select_partition(1);
    g_script.inputs = {std::string("boot")};
    EXPECT_TRUE(press('r'));
    std::vector<DialogCall> inputs = g_script.of_kind("input");
    ASSERT_EQ(inputs.size(), 1u);
    EXPECT_FALSE(inputs[0].warning);
    EXPECT_EQ(inputs[0].title, "Rename");
    EXPECT_EQ(inputs[0].text, "Name (36 characters):");
    EXPECT_EQ(inputs[0].initial_text, "root");
    EXPECT_EQ(inputs[0].capacity, 112u);
    EXPECT_STREQ(partition(1).name, "boot");
    expect_info("Partition 1 renamed.");

    // Cancel keeps the name and says nothing.
    g_script = kvtest::DialogScript{};
    view_.message[0] = '\0';
    EXPECT_TRUE(press('R'));
    EXPECT_STREQ(partition(1).name, "boot");
    EXPECT_EQ(message(), "");

    // A name the table cannot hold is refused in a warning.
    g_script = kvtest::DialogScript{};
    g_script.inputs = {std::string(37, 'x')};
    EXPECT_TRUE(press('r'));
    std::vector<DialogCall> messages = g_script.of_kind("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].warning);
    EXPECT_EQ(messages[0].title, "Rename");
    EXPECT_EQ(messages[0].text, "the name is too long (at most 36 characters)");
    EXPECT_STREQ(partition(1).name, "boot");
}

TEST_F(Commands, ActiveTogglesTheFlag) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    select_partition(1);
    EXPECT_TRUE(press('a'));
    EXPECT_TRUE(partition(1).active);
    expect_info("Partition 1 active.");
    EXPECT_TRUE(press('A'));
    EXPECT_FALSE(partition(1).active);
    expect_info("Partition 1 no longer active.");
    EXPECT_TRUE(g_script.calls.empty());
}

TEST_F(Commands, ActiveOnTheExtendedPartitionShowsTheEditError) {
    auto image = kvtest::mbr_disk(1);
    open(*image);
    select_partition(2);
    EXPECT_TRUE(press('a'));
    expect_only_call("message", true, "Active", "the extended partition cannot be active");
    EXPECT_FALSE(partition(2).active);
    EXPECT_FALSE(view_.table.dirty);
    EXPECT_EQ(message(), "");
}

TEST_F(Commands, NewTableReplacesTheTableInMemoryOnly) {
    auto image = kvtest::mbr_disk(1);
    std::vector<uint8_t> before = image->image();
    open(*image);
    select_partition(5);

    EXPECT_TRUE(press('z')); // cancelled
    std::vector<DialogCall> choices = g_script.of_kind("choice");
    ASSERT_EQ(choices.size(), 1u);
    EXPECT_EQ(choices[0].title, "New partition table");
    EXPECT_EQ(choices[0].items, (std::vector<std::string>{"GPT", "MBR"}));
    EXPECT_EQ(choices[0].initial, 0);
    EXPECT_EQ(view_.table.partition_count, 3);
    EXPECT_EQ(message(), "");

    g_script.choices = {0};
    EXPECT_TRUE(press('Z'));
    EXPECT_EQ(view_.table.kind, kv::TableKind::Gpt);
    EXPECT_EQ(view_.table.partition_count, 0);
    EXPECT_TRUE(view_.table.dirty);
    EXPECT_EQ(view_.selected, 0);
    ASSERT_EQ(view_.row_count, 1);
    EXPECT_TRUE(view_.rows[0].is_free);
    expect_info("New empty GPT table.");

    g_script.choices = {1};
    EXPECT_TRUE(press('z'));
    EXPECT_EQ(view_.table.kind, kv::TableKind::Mbr);
    expect_info("New empty MBR table.");
    EXPECT_EQ(image->image(), before);
}

TEST_F(Commands, DeleteTableLeavesNoRows) {
    auto image = kvtest::mbr_disk(2);
    std::vector<uint8_t> before = image->image();
    open(*image);
    select_partition(6);
    EXPECT_TRUE(press('x'));
    EXPECT_TRUE(g_script.calls.empty());
    EXPECT_EQ(view_.table.kind, kv::TableKind::None);
    EXPECT_TRUE(view_.table.dirty);
    EXPECT_EQ(view_.row_count, 0);
    EXPECT_EQ(view_.selected, 0);
    expect_info("Partition table deleted.");
    EXPECT_EQ(image->image(), before);
}

TEST_F(Commands, WriteWithoutChangesSaysSoEvenOnAReadOnlyDisk) {
    auto image = kvtest::mbr_disk(-1);
    open(*image, true, true);
    EXPECT_TRUE(press('\r'));
    expect_info("No changes to write.");
    EXPECT_TRUE(g_script.calls.empty());
}

TEST_F(Commands, WriteOnAProtectedDiskStopsAtTheGuard) {
    auto image = kvtest::mbr_disk(-1);
    open(*image, true);
    // Changed behind the guard's back, as a table edited before the disk
    // turned write-protected.
    ASSERT_EQ(kv::set_active(&view_.table, 1, true), nullptr);
    EXPECT_TRUE(press('\n'));
    expect_only_call("message", false, "Read only", "The disk is write-protected.");
    EXPECT_TRUE(view_.table.dirty);
}

TEST_F(Commands, WriteAsksRedrawsAndPutsTheTableOnTheDisk) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    kv::g_screen_hooks = &kvtest::kRecordingScreen;
    select_partition(1);
    ASSERT_TRUE(press('a'));
    g_script = kvtest::DialogScript{};
    g_script.confirms = {true};

    EXPECT_TRUE(press('\r'));
    ASSERT_EQ(g_script.calls.size(), 2u);
    // The screen behind the question is drawn first.
    EXPECT_EQ(g_script.calls[0].kind, "redraw");
    EXPECT_EQ(g_script.last_redrawn, &view_);
    EXPECT_EQ(g_script.calls[1].kind, "confirm");
    EXPECT_TRUE(g_script.calls[1].warning);
    EXPECT_EQ(g_script.calls[1].title, "Write");
    EXPECT_EQ(g_script.calls[1].text, "Write the MBR table to blk1 (32.0 MiB)? (Y/N)");

    // Status byte of slot 1 on the disk.
    EXPECT_EQ(image->image()[0x1BE], 0x80);
    expect_info("Written.");
    // Reloaded from the disk: nothing is marked changed any more.
    EXPECT_FALSE(view_.table.dirty);
    EXPECT_TRUE(partition(1).active);
    EXPECT_FALSE(partition(1).changed);
}

TEST_F(Commands, WriteAnsweredNoWritesNothing) {
    auto image = kvtest::mbr_disk(-1);
    std::vector<uint8_t> before = image->image();
    open(*image);
    select_partition(1);
    ASSERT_TRUE(press('d'));
    g_script = kvtest::DialogScript{};
    EXPECT_TRUE(press('\r'));
    ASSERT_EQ(g_script.of_kind("confirm").size(), 1u);
    expect_info("Nothing was written.");
    EXPECT_EQ(image->image(), before);
    EXPECT_TRUE(view_.table.dirty);
    EXPECT_EQ(view_.table.partition_count, 0);
}

TEST_F(Commands, WritingNoTableAsksToDeleteItAndClearsTheDisk) {
    auto image = kvtest::mbr_disk(-1);
    open(*image);
    ASSERT_TRUE(press('x'));
    g_script = kvtest::DialogScript{};
    g_script.confirms = {true};
    EXPECT_TRUE(press('\r'));
    std::vector<DialogCall> confirms = g_script.of_kind("confirm");
    ASSERT_EQ(confirms.size(), 1u);
    EXPECT_EQ(confirms[0].text, "Delete the partition table of blk1 (32.0 MiB)? (Y/N)");
    expect_info("Written.");
    EXPECT_FALSE(image->image()[510] == 0x55 && image->image()[511] == 0xAA);
    EXPECT_EQ(view_.table.kind, kv::TableKind::None);
    EXPECT_FALSE(view_.table.dirty);
}

// A table the writer refuses is shown with the reason, not a bare error code.
TEST_F(Commands, RefusedWriteSaysWhatIsWrong) {
    auto image = kvtest::mbr_disk(-1);
    std::vector<uint8_t> before = image->image();
    open(*image);
    select_partition(1);
    ASSERT_TRUE(press('a'));
    view_.table.block_count++; // as if the disk had shrunk since it was read
    g_script = kvtest::DialogScript{};
    g_script.confirms = {true};

    EXPECT_TRUE(press('\r'));
    std::vector<DialogCall> messages = g_script.of_kind("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].warning);
    EXPECT_EQ(messages[0].text, "the disk has changed since its table was read: read it again");
    expect_error("Not written: the disk has changed since its table was read: read it again.");
    EXPECT_TRUE(view_.table.dirty);
    EXPECT_EQ(image->image(), before);
}

TEST_F(Commands, FailedWriteKeepsTheChangesForAnotherTry) {
    auto image = kvtest::mbr_disk(-1);
    std::vector<uint8_t> before = image->image();
    open(*image);
    select_partition(1);
    ASSERT_TRUE(press('a'));
    image->fail_write(1, kv::ERR_IO, true);
    g_script = kvtest::DialogScript{};
    g_script.confirms = {true};

    EXPECT_TRUE(press('\r'));
    std::vector<DialogCall> messages = g_script.of_kind("message");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].warning);
    EXPECT_EQ(messages[0].title, "Write");
    EXPECT_EQ(messages[0].text, "I/O error");
    expect_error("Not written: I/O error.");
    EXPECT_TRUE(view_.table.dirty);
    EXPECT_TRUE(partition(1).active);
    EXPECT_TRUE(partition(1).changed);
    EXPECT_EQ(image->image(), before);

    // The device recovers: the same table goes out on the next Write.
    image->clear_faults();
    g_script.confirms = {true};
    EXPECT_TRUE(press('\r'));
    expect_info("Written.");
    EXPECT_EQ(image->image()[0x1BE], 0x80);
}

} // namespace
