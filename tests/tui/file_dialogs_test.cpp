#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "edit/edit_ops.h"
#include "io/backup.h"
#include "sim/files.h"
#include "tests/disk/image_builder.h"
#include "tests/platform/volume_fixture.h"
#include "tests/tui/command_dialogs_fixture.h"

namespace {

using cdtest::g_script;

TEST(NormaliseFileName, LowerCasesTheVolumeAndUsesBackslashes) {
    struct {
        const char* in;
        const char* out; // null: refused
    } cases[] = {
        {"FS1:dir/t.bin", "fs1:\\dir\\t.bin"},
        {"Fs0:/x/y", "fs0:\\x\\y"},
        {"A:", "a:\\"},
        {"fs2:Dir\\F.BIN", "fs2:\\Dir\\F.BIN"},
        {"table.bin", nullptr},
        {":x.bin", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%s", c.in);
        EXPECT_EQ(kv::normalise_file_name(buffer, sizeof buffer), c.out != nullptr) << c.in;
        if (c.out) {
            EXPECT_STREQ(buffer, c.out);
        }
    }
    char full[8] = "fs0:abc"; // no room for the backslash
    EXPECT_FALSE(kv::normalise_file_name(full, sizeof full));
}

class FileDialogs : public cdtest::DialogTest {
  protected:
    void TearDown() override {
        for (EFI_HANDLE v : volumes_)
            EXPECT_EQ(sim::open_file_count(v), 0u) << "a file was left open";
        cdtest::DialogTest::TearDown();
    }

    // 4 MiB with a GPT of two partitions.
    void open_gpt() {
        image_ = std::make_unique<sim::MemDisk>(512, 8192);
        kvtest::GptPlan plan;
        for (uint32_t i = 0; i < 2; i++) {
            kvtest::GptEntry e;
            e.index = i;
            e.type = kvtest::kLinuxDataType;
            e.unique = kvtest::guid("11111111-2222-3333-4444-55555555555" + std::to_string(i));
            e.first = 2048 * (i + 1);
            e.last = e.first + 2047;
            plan.entries.push_back(e);
        }
        kvtest::write_gpt(*image_, plan);
        open(*image_);
    }

    // Volumes fs0, fs1, ... in the order given.
    void add_volumes(const std::vector<bool>& read_only) {
        for (bool ro : read_only) {
            sim::VolumeConfig c;
            c.read_only = ro;
            add_volume(c);
        }
    }
    void add_volume(sim::VolumeConfig c) {
        dirs_.push_back(std::make_unique<kvtest::TempDir>());
        c.path = kvtest::usb_path(uint8_t(volumes_.size() + 1));
        volumes_.push_back(sim::add_volume(dirs_.back()->str(), c));
    }
    void boot_from(int index) {
        sim::loaded_image()->DeviceHandle = index < 0 ? nullptr : volumes_.at(size_t(index));
    }
    const kvtest::TempDir& dir(size_t i) const { return *dirs_.at(i); }
    std::string only_message() {
        std::vector<cdtest::Call> m = g_script.of("message");
        EXPECT_EQ(m.size(), 1u);
        return m.empty() ? "" : m[0].text;
    }

    std::unique_ptr<sim::MemDisk> image_;
    std::vector<std::unique_ptr<kvtest::TempDir>> dirs_;
    std::vector<EFI_HANDLE> volumes_;
};

TEST_F(FileDialogs, BackupOffersAWritableVolumeAndListsThemAll) {
    open_gpt();
    answer({std::nullopt});
    kv::backup_dialog(&view_);
    cdtest::Call none = g_script.of("input").at(0);
    EXPECT_EQ(none.text, "Backup of the table on the disk, to file:\nVolumes: none");
    EXPECT_EQ(none.initial_text, "");

    add_volumes({true, false, false});
    struct {
        int boot;
        const char* offered;
    } cases[] = {
        {2, "fs2:\\korvane-blk1.bin"},  // the start volume
        {0, "fs1:\\korvane-blk1.bin"},  // read-only: the first writable one
        {-1, "fs1:\\korvane-blk1.bin"}, // started from elsewhere
    };
    for (const auto& c : cases) {
        boot_from(c.boot);
        answer({std::nullopt});
        kv::backup_dialog(&view_);
        cdtest::Call input = g_script.of("input").at(0);
        EXPECT_EQ(input.initial_text, c.offered) << c.boot;
        EXPECT_EQ(input.text,
                  "Backup of the table on the disk, to file:\nVolumes: fs0 (ro), fs1, fs2");
        EXPECT_EQ(input.title, "Backup");
        EXPECT_EQ(input.capacity, 200u);
    }
    EXPECT_STREQ(view_.message, "");
}

TEST_F(FileDialogs, BackupSavesTheDisksTableAndRemembersTheName) {
    open_gpt();
    add_volumes({false});
    dir(0).mkdir("sub");
    // The table deleted in memory: the backup still holds the disk's.
    kv::new_table(&view_.table, &disk_.access, kv::TableKind::None);
    answer({"FS0:sub/t.bin"});
    kv::backup_dialog(&view_);
    EXPECT_TRUE(g_script.of("message").empty());
    std::string bytes = dir(0).read("sub/t.bin");
    ASSERT_GE(bytes.size(), kv::kBackupMinSize);
    EXPECT_EQ(bytes.substr(0, 8), "KORVANE1");
    EXPECT_EQ(view_.message,
              "Saved fs0:\\sub\\t.bin (" + std::to_string(bytes.size()) + " bytes).");
    EXPECT_FALSE(view_.message_is_error);

    // The name is the next default of both commands.
    answer({std::nullopt});
    kv::backup_dialog(&view_);
    EXPECT_EQ(g_script.of("input").at(0).initial_text, "fs0:\\sub\\t.bin");
    answer({std::nullopt});
    kv::restore_dialog(&view_);
    EXPECT_EQ(g_script.of("input").at(0).initial_text, "fs0:\\sub\\t.bin");
    EXPECT_EQ(g_script.of("input").at(0).text, "Restore from file:\nVolumes: fs0");
}

TEST_F(FileDialogs, BackupRefusals) {
    open_gpt();
    add_volumes({false, true});
    answer({"table.bin"});
    kv::backup_dialog(&view_);
    EXPECT_EQ(only_message(), "The file needs its volume, e.g. fs1:\\table.bin.");

    answer({"fs1:\\x.bin"});
    kv::backup_dialog(&view_);
    EXPECT_EQ(only_message(), "fs1:\\x.bin: write protected.");
    EXPECT_TRUE(g_script.of("message")[0].warning);

    image_->fail_read(1);
    answer({"fs0:\\z.bin"});
    kv::backup_dialog(&view_);
    EXPECT_EQ(only_message(), "fs0:\\z.bin: I/O error.");
    EXPECT_FALSE(dir(0).exists("z.bin"));
    EXPECT_STREQ(kv::remembered_file(&disk_), "");

    // A table made in memory on an empty disk is not on the disk yet.
    image_ = std::make_unique<sim::MemDisk>(512, 8192);
    open(*image_);
    kv::new_table(&view_.table, &disk_.access, kv::TableKind::Gpt);
    answer({"fs0:\\b.bin"});
    kv::backup_dialog(&view_);
    EXPECT_EQ(only_message(), "No partition table to back up.");
    EXPECT_FALSE(dir(0).exists("b.bin"));
}

TEST_F(FileDialogs, ExistingFileIsReplacedOnlyAfterAYes) {
    open_gpt();
    add_volumes({false});
    dir(0).write("old.bin", "precious");
    answer({"fs0:\\old.bin"}, {}, {false});
    kv::backup_dialog(&view_);
    cdtest::Call q = g_script.of("confirm").at(0);
    EXPECT_TRUE(q.warning);
    EXPECT_EQ(q.text, "The file exists. Replace it? (Y/N)");
    EXPECT_EQ(dir(0).read("old.bin"), "precious");

    answer({"fs0:\\old.bin"}, {}, {true});
    kv::backup_dialog(&view_);
    EXPECT_EQ(dir(0).read("old.bin").substr(0, 8), "KORVANE1");
}

// One complete backup exists at every moment: a replacement that does not
// fit leaves the old file and nothing else, and a firmware that cannot
// resize or rename files (U-Boot's) still gets the file replaced.
TEST_F(FileDialogs, ReplacingABackupNeverLosesTheOldOne) {
    open_gpt();
    sim::VolumeConfig full;
    full.capacity_bytes = 16384;
    add_volume(full);
    sim::VolumeConfig fixed;
    fixed.fixed_file_info = true;
    add_volume(fixed);
    dir(0).write("old.bin", "precious");
    answer({"fs0:\\old.bin"}, {}, {true});
    kv::backup_dialog(&view_);
    EXPECT_EQ(only_message(), "fs0:\\old.bin: volume full.");
    EXPECT_EQ(dir(0).read("old.bin"), "precious");
    answer({"fs0:\\new.bin"});
    kv::backup_dialog(&view_);
    EXPECT_EQ(only_message(), "fs0:\\new.bin: volume full.");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir(0).path()),
                            std::filesystem::directory_iterator()),
              1)
        << "a failed backup leaves nothing behind";

    dir(1).write("old.bin", "precious");
    for (int round = 0; round < 2; round++) {
        answer({"fs1:\\old.bin"}, {}, {true});
        kv::backup_dialog(&view_);
        EXPECT_TRUE(g_script.of("message").empty());
        EXPECT_EQ(dir(1).read("old.bin").substr(0, 8), "KORVANE1");
        EXPECT_FALSE(dir(1).exists("old.bin.new"));
    }
    EXPECT_STREQ(kv::remembered_file(&disk_), "fs1:\\old.bin");
}

TEST_F(FileDialogs, RestoreRefusesFilesItCannotUseBeforeAnyQuestion) {
    open_gpt();
    add_volumes({false});
    dir(0).write("big.bin", "");
    std::filesystem::resize_file(dir(0).path() / "big.bin", 67108864 + 1);
    dir(0).mkdir("folder");
    struct {
        const char* answer;
        const char* message;
    } cases[] = {
        {"fs0:\\big.bin", "fs0:\\big.bin could not be read: invalid parameter."},
        {"fs0:\\none.bin", "fs0:\\none.bin could not be read: not found."},
        {"fs0:\\folder", "fs0:\\folder could not be read: is a directory."},
        {"t.bin", "The file needs its volume, e.g. fs1:\\table.bin."},
    };
    for (const auto& c : cases) {
        answer({c.answer});
        kv::restore_dialog(&view_);
        EXPECT_EQ(only_message(), c.message);
        EXPECT_EQ(g_script.of("message").at(0).title, "Restore");
        EXPECT_TRUE(g_script.of("confirm").empty());
    }
    EXPECT_EQ(sim::file_op_count(volumes_[0], sim::FileOp::Read), 0u) << "nothing was read";

    disk_.read_only = true;
    answer({});
    kv::restore_dialog(&view_);
    EXPECT_EQ(g_script.dialogs().size(), 1u);
    EXPECT_EQ(g_script.dialogs().at(0).title, "Read only");
}

TEST_F(FileDialogs, BackupThenDamageThenRestoreGivesTheSameBytes) {
    open_gpt();
    add_volumes({false});
    boot_from(0);
    kv::g_dialog_hooks = nullptr; // the text-mode input box, Enter on the offer
    kv::g_screen_hooks = nullptr;
    sim::push_key(0, u'\r');
    kv::backup_dialog(&view_);
    EXPECT_EQ(sim::keys_left(), 0u);
    ASSERT_TRUE(dir(0).exists("korvane-blk1.bin"));
    kv::g_dialog_hooks = &cdtest::kDialogs;
    kv::g_screen_hooks = &cdtest::kScreen;
    std::vector<uint8_t> original = image_->image();

    // Both GPT copies and the protective MBR gone; an unwritten edit.
    std::memset(image_->block(0), 0, 34 * 512);
    std::memset(image_->block(8192 - 33), 0, 33 * 512);
    ASSERT_TRUE(kv::view_load(&view_));
    kv::new_table(&view_.table, &disk_.access, kv::TableKind::Mbr);

    answer({"fs0:\\korvane-blk1.bin"}, {}, {false});
    kv::restore_dialog(&view_);
    cdtest::Call q = g_script.of("confirm").at(0);
    EXPECT_TRUE(q.warning);
    EXPECT_EQ(q.title, "Restore");
    EXPECT_EQ(q.text, "Restore fs0:\\korvane-blk1.bin to blk1? Unwritten changes are lost. (Y/N)");
    EXPECT_STREQ(view_.message, "Nothing was written.");
    EXPECT_TRUE(view_.table.dirty);

    answer({"fs0:\\korvane-blk1.bin"}, {}, {true});
    kv::restore_dialog(&view_);
    EXPECT_TRUE(g_script.of("message").empty());
    EXPECT_TRUE(image_->image() == original);
    EXPECT_STREQ(view_.message, "Restored from fs0:\\korvane-blk1.bin.");
    EXPECT_EQ(view_.table.kind, kv::TableKind::Gpt) << "the view was read again";
    EXPECT_EQ(view_.table.partition_count, 2);
    EXPECT_FALSE(view_.table.dirty);
}

TEST_F(FileDialogs, DamagedRestoreFileIsRefusedWithoutAQuestion) {
    open_gpt();
    add_volumes({false});
    std::string garbage(100, 'x');
    dir(0).write("bad.bin", garbage);
    sim::MemDisk scratch(512, 8192);
    const char* expected =
        kv::restore_backup(scratch.device(), (const uint8_t*)garbage.data(), garbage.size());
    ASSERT_NE(expected, nullptr);
    ASSERT_EQ(kv::delete_partition(&view_.table, 1), nullptr);

    answer({"fs0:\\bad.bin"});
    kv::restore_dialog(&view_);
    EXPECT_EQ(only_message(), expected);
    EXPECT_TRUE(view_.table.dirty) << "nothing was touched, the edit stays";
    EXPECT_EQ(view_.table.partition_count, 1);
    EXPECT_STREQ(kv::remembered_file(&disk_), "");
}

} // namespace
