// The main screen, pixel for pixel, against pictures a person has looked
// at. KV_UPDATE_GOLDEN=1 writes the pictures instead of comparing them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "sim/picture.h"
#include "tests/gui/golden.h"
#include "tests/gui/main_screen_fixture.h"

namespace {

using kvtest::MainScreenTest;

class MainScreenGolden : public MainScreenTest {
  protected:
    // Three disks: the MBR with logicals, the GPT with notes (the disk the
    // program was started from) and a write-protected disk without a table.
    void add_disks() {
        add_disk(2, kvtest::mbr_disk_with_logicals());
        start_from(add_disk(3, kvtest::gpt_disk_with_notes()));
        add_disk(4, std::make_unique<sim::MemDisk>(512, 65536), true);
    }

    void check(const std::string& name) {
        render();
        kvtest::expect_golden(name, sim::display_picture());
    }

    // The MBR disk open, its second logical selected, an information
    // message.
    void mbr_screen(uint32_t w, uint32_t h) {
        add_disks();
        start(w, h, 0);
        gui_.view.selected = 4;
        kv::view_set_message(&gui_.view, false, "Partition 5 selected.");
    }

    // The GPT disk open with its notes, its root partition selected and
    // renamed (unwritten), an error message.
    void gpt_screen(uint32_t w, uint32_t h) {
        add_disks();
        start(w, h, 1);
        gui_.view.selected = 2;
        gui_.view.table.partitions[2].changed = true;
        gui_.view.table.dirty = true;
        kv::view_set_message(&gui_.view, true, "Not written: the disk is write-protected.");
    }
};

TEST_F(MainScreenGolden, MbrWithLogicalPartitions) {
    mbr_screen(640, 480);
    check("mbr_640x480");
}

TEST_F(MainScreenGolden, MbrWithLogicalPartitions1280x800DiskFocusAndHover) {
    mbr_screen(1280, 800);
    gui_.focus_disks = true;
    gui_.hovered_button = 2;
    check("mbr_1280x800_disk_focus_hover");
}

TEST_F(MainScreenGolden, MbrWithLogicalPartitions1920x1080) {
    mbr_screen(1920, 1080);
    check("mbr_1920x1080");
}

TEST_F(MainScreenGolden, GptWithNotes640x480) {
    gpt_screen(640, 480);
    check("gpt_notes_640x480");
}

// Eight notes on the smallest screen: the table keeps its one row and only
// the notes that fit below it are drawn.
TEST_F(MainScreenGolden, GptWithEightNotes640x480) {
    gpt_screen(640, 480);
    while (gui_.view.table.note_count < kv::kMaxNotes)
        kv::add_note(&gui_.view.table, "note %d of a badly damaged table",
                     gui_.view.table.note_count + 1);
    check("gpt_eight_notes_640x480");
}

TEST_F(MainScreenGolden, GptWithNotes1280x800) {
    gpt_screen(1280, 800);
    check("gpt_notes_1280x800");
}

TEST_F(MainScreenGolden, GptWithNotes1920x1080HoveredRescan) {
    gpt_screen(1920, 1080);
    gui_.hovered_button = kv::kRescanButton;
    check("gpt_notes_1920x1080_rescan_hover");
}

TEST_F(MainScreenGolden, GptWithNotes3840x2160WithThePointer) {
    gpt_screen(3840, 2160);
    gui_.pointer_present = true;
    kv::layout_main_screen(&gui_); // where the button will be
    gui_.pointer_x = gui_.buttons[0].x + gui_.buttons[0].w / 2;
    gui_.pointer_y = gui_.buttons[0].y + gui_.buttons[0].h / 2;
    gui_.hovered_button = 0;
    check("gpt_notes_3840x2160_pointer");
}

// A square screen takes the biggest font: the paddings and key caps grow
// with it, and the disk column is as narrow as at 640 x 480.
TEST_F(MainScreenGolden, GptWithNotes2048x2048) {
    gpt_screen(2048, 2048);
    check("gpt_notes_2048x2048");
}

// Disks on buses whose names do not leave room for the summary, and the
// free area inside the extended partition selected at the end of the
// table: every cut text ends in an ellipsis.
TEST_F(MainScreenGolden, CutCells640x480) {
    sim::BlockDiskConfig nvme, sata, usb;
    nvme.bus = sim::Bus::Nvme;
    sata.bus = sim::Bus::Sata;
    usb.bus = sim::Bus::Usb;
    usb.read_only = true;
    sim::add_block_disk(kvtest::mbr_disk_with_logicals(), nvme);
    sim::add_block_disk(kvtest::gpt_disk_with_notes(), sata);
    sim::add_block_disk(std::make_unique<sim::MemDisk>(512, 65536), usb);
    start(640, 480, 1); // the NVMe disk: SATA comes first
    ASSERT_EQ(gui_.view.table.kind, kv::TableKind::Mbr);
    gui_.view.selected = gui_.view.row_count - 1;
    gui_.view.table.partitions[0].changed = true;
    gui_.view.table.dirty = true;
    check("cut_cells_640x480");
}

// 64 disks, the column scrolled to the current one in the middle: the bar
// at its edge says that more lie above and below.
TEST_F(MainScreenGolden, SixtyFourDisks1280x800) {
    for (int i = 0; i < 64; i++) {
        auto image = std::make_unique<sim::MemDisk>(512, 2048 + 64 * i);
        if (i % 3 == 0) kvtest::write_mbr(*image, {kvtest::MbrEntry{0x00, 0x83, 64, 1024}});
        sim::BlockDiskConfig c;
        c.pci_device = 2 + i / 8;
        c.pci_function = i % 8;
        sim::add_block_disk(std::move(image), c);
    }
    start(1280, 800, 30);
    gui_.focus_disks = true;
    check("sixty_four_disks_1280x800");
}

} // namespace
