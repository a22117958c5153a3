// Each dialog kind and the wipe progress box over the main screen of a GPT
// disk on the simulated screen, compared pixel for pixel with the pictures
// in tests/gui/golden (KV_UPDATE_GOLDEN=1 writes them again).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "disk/summary.h"
#include "disk/view.h"
#include "gui/main_screen.h"
#include "platform/disks.h"
#include "platform/keyboard.h"
#include "sim/disks.h"
#include "tests/gui/dialog_fixture.h"
#include "tests/gui/main_screen_fixture.h"

namespace {

using dialog_test::GuiDialog;

class DialogGolden : public GuiDialog {
  protected:
    void SetUp() override { over_main_screen(1280, 800); }
    void TearDown() override {
        kv::view_close(&gui.view);
        kv::release_summaries();
        kv::release_disks();
        GuiDialog::TearDown();
    }

    void over_main_screen(int32_t w, int32_t h) {
        if (gui.disks) TearDown();
        start(w, h);
        sim::BlockDiskConfig c;
        c.pci_device = 3;
        sim::add_block_disk(kvtest::gpt_disk_with_notes(), c);
        gui.disk_count = kv::discover_disks(&gui.disks);
        gui.summaries = kv::summarize_disks(gui.disks, gui.disk_count);
        ASSERT_EQ(gui.disk_count, 1);
        ASSERT_TRUE(kv::view_open(&gui.view, &gui.disks[0]));
        gui.view.selected = 2;
        kv::render_main_screen(&gui);
    }
};

TEST_F(DialogGolden, Message) {
    snapshot();
    key(0, '\r');
    run([] {
        kv::gui_message(false, "Backup",
                        "the backup was saved to fs0:\\korvane-disk1.bin (34 blocks).\n\n"
                        "Keep it on another disk than the one it describes.");
    });
    ASSERT_EQ(shots.size(), 1u);
    expect_golden("message", shots[0]);
}

TEST_F(DialogGolden, WarningConfirm) {
    snapshot();
    key(0, 'n');
    run([] {
        kv::gui_confirm(true, "Write",
                        "Write the GPT table to disk 1 (8.0 GiB)? Everything on the partitions "
                        "that were deleted or moved is lost. (Y/N)");
    });
    ASSERT_EQ(shots.size(), 1u);
    expect_golden("confirm_warning", shots[0]);
}

TEST_F(DialogGolden, InputWithText) {
    key(kv::SCAN_LEFT);
    snapshot();
    key(kv::SCAN_ESC);
    run([] {
        char name[72];
        std::strcpy(name, "EFI system partition");
        kv::gui_input(false, "Name", "Name of partition 1 (at most 36 characters):", name,
                      sizeof name);
    });
    ASSERT_EQ(shots.size(), 1u);
    expect_golden("input", shots[0]);
}

TEST_F(DialogGolden, ChoiceWithScrollBar) {
    std::vector<std::string> names;
    const char* kinds[] = {"Linux filesystem", "EFI system", "Microsoft basic data", "Linux swap",
                           "Linux LVM"};
    for (int i = 0; i < 30; i++)
        names.push_back(std::string(kinds[i % 5]) + " " + std::to_string(i + 1));
    std::vector<const char*> items;
    for (const std::string& n : names)
        items.push_back(n.c_str());
    snapshot();
    key(kv::SCAN_ESC);
    run([&] { kv::gui_choice("Partition type", items.data(), int(items.size()), 17); });
    ASSERT_EQ(shots.size(), 1u);
    expect_golden("choice_scroll", shots[0]);
}

TEST_F(DialogGolden, WipeProgress) {
    kv::gui_wipe_progress("Wipe partition 2", 1, 37, "1.4 GiB of 3.8 GiB, 212 MiB/s, 12 s left");
    expect_golden("wipe_progress", sim::display_picture());
}

TEST_F(DialogGolden, NarrowScreenMessage) {
    over_main_screen(640, 480);
    snapshot();
    key(0, '\r');
    run([] {
        kv::gui_message(true, "Restore",
                        "the file \xE2\x80\x9C"
                        "fs1:\\a-very-long-backup-file-name-without-any-"
                        "spaces-at-all.bin\xE2\x80\x9D is not a backup of this disk");
    });
    ASSERT_EQ(shots.size(), 1u);
    expect_golden("message_narrow", shots[0]);
}

} // namespace
