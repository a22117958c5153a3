#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/disks.h"
#include "platform/globals.h"
#include "sim/disks.h"
#include "sim/display.h"
#include "tests/tui/disk_screen_fixture.h"
#include "tui/main_program.h"

namespace {

using kvtest::DiskScreenTest;
using kvtest::Frame;
using kvtest::Key;

const Key kEnter = {0, u'\r'};
const Key kEsc = {kv::SCAN_ESC, 0};
const Key kUp = {kv::SCAN_UP, 0};
const Key kDown = {kv::SCAN_DOWN, 0};
const Key kHome = {kv::SCAN_HOME, 0};
const Key kEnd = {kv::SCAN_END, 0};
const std::string kHeader = std::string(" Korvane ") + kv::kVersion;
const Key kQuit = {0, u'q'};

EFI_STATUS run_main_image(void*) {
    return EFI_STATUS(kv::run_main());
}

EFI_STATUS open_disk_image(void* disk) {
    kv::open_disk(static_cast<const kv::Disk*>(disk));
    return EFI_SUCCESS;
}

class DiskListTest : public DiskScreenTest {
  protected:
    // Without graphics output the program shows the text front end.
    void SetUp() override {
        DiskScreenTest::SetUp();
        sim::remove_display();
    }

    void TearDown() override {
        kv::release_disks();
        DiskScreenTest::TearDown();
    }

    // A virtio disk in PCI slot `slot` (2 to 9 keep the names in slot order).
    static EFI_HANDLE add_disk(int slot, std::unique_ptr<sim::MemDisk> image = nullptr) {
        sim::BlockDiskConfig c;
        c.pci_device = slot;
        if (!image) image = std::make_unique<sim::MemDisk>(512, 65536);
        return sim::add_block_disk(std::move(image), c);
    }

    int discover() { return kv::discover_disks(&disks_); }

    // Runs the whole program with the keys; it must end by itself.
    void run(const std::vector<Key>& keys) {
        push_keys(keys);
        capture_frames();
        sim::RunResult r = sim::run_image(run_main_image, nullptr);
        EXPECT_FALSE(r.exited) << "the program still waited for a key";
        EXPECT_EQ(r.status, EFI_SUCCESS);
        EXPECT_EQ(sim::keys_left(), 0u);
    }

    kv::Disk* disks_ = nullptr;
};

using DrawDiskList = DiskListTest;

TEST_F(DrawDiskList, DescribesEachDiskAndItsTable) {
    add_disk(2, kvtest::mbr_disk(2)); // primary, extended, two logicals
    auto empty_mbr = std::make_unique<sim::MemDisk>(512, 65536);
    kvtest::write_mbr(*empty_mbr, {});
    add_disk(3, std::move(empty_mbr));
    add_disk(4); // no table
    EFI_HANDLE boot = add_disk(5, kvtest::gpt_disk(1));
    EFI_HANDLE broken = add_disk(6, kvtest::gpt_disk(2));
    EFI_HANDLE locked = add_disk(7, kvtest::gpt_disk(3));
    kv::g_loaded_image = sim::loaded_image();
    sim::loaded_image()->DeviceHandle = boot;
    sim::set_write_protected(locked, true);

    // The longest line needs more than 80 columns, as the program's own
    // choice of a 100-column mode allows.
    sim::set_text_modes({{100, 25}});
    kv::refresh_screen_size();
    int count = discover();
    ASSERT_EQ(count, 6);
    sim::fail_block_read(broken, 1, EFI_DEVICE_ERROR, true);
    kv::draw_disk_list(disks_, count, 0);

    // Partition handles take names too, so the disks' names have gaps.
    auto line = [&](int i, const std::string& rest) {
        char name[32];
        std::snprintf(name, sizeof name, "  %-7s ", disks_[i].name);
        return name + rest;
    };
    EXPECT_EQ(row(2), "  Disk    Type   Size        Table     Partitions");
    EXPECT_EQ(row(3), line(0, "disk   32.0 MiB    MBR       3 partitions"));
    EXPECT_EQ(row(4), line(1, "disk   32.0 MiB    MBR       0 partitions"));
    EXPECT_EQ(row(5), line(2, "disk   32.0 MiB    no table"));
    EXPECT_EQ(row(6),
              line(3, "disk   32.0 MiB    GPT       1 partition    started from here: read only"));
    EXPECT_EQ(row(7), line(4, "disk   32.0 MiB    unreadable"));
    EXPECT_EQ(row(8), line(5, "disk   32.0 MiB    GPT       3 partitions   write-protected"));
    EXPECT_EQ(row(9), "");
}

TEST_F(DrawDiskList, HeaderHeadsColoursAndKeyBar) {
    add_disk(2);
    add_disk(3);
    int count = discover();
    ASSERT_EQ(count, 2);
    kv::draw_disk_list(disks_, count, 1);

    EXPECT_EQ(row(0).rfind(kHeader, 0), 0u) << row(0);
    EXPECT_EQ(row(0).substr(row(0).size() - 13), "Select a disk");
    EXPECT_EQ(attr(3, 2), 0x0F); // heads white on black
    EXPECT_EQ(attr(0, 3), 0x07);
    // The selected line is black on cyan from edge to edge.
    EXPECT_EQ(attr(0, 4), 0x30);
    EXPECT_EQ(attr(kv::g_columns - 1, 4), 0x30);
    // The bar alone goes to the last row; the row above it is blank.
    EXPECT_EQ(row(23), "");
    EXPECT_EQ(attr(0, 23), 0x70);
    EXPECT_NE(row(24).find("Enter"), std::string::npos) << row(24);
    EXPECT_NE(row(24).find("Rescan"), std::string::npos) << row(24);
    EXPECT_NE(row(24).find("Quit"), std::string::npos) << row(24);
}

TEST_F(DrawDiskList, DrawsNineteenDisksOnTwentyFiveRows) {
    for (int slot = 2; slot < 23; slot++)
        add_disk(slot, std::make_unique<sim::MemDisk>(512, 2048));
    int count = discover();
    ASSERT_EQ(count, 21);
    kv::draw_disk_list(disks_, count, 0);
    for (int r = 3; r <= 21; r++)
        EXPECT_EQ(row(r).rfind("  blk", 0), 0u) << r << ": " << row(r);
    EXPECT_NE(row(22).find("2 more below"), std::string::npos) << row(22);
    // A selection beyond the shown lines scrolls the list to it.
    kv::draw_disk_list(disks_, count, 20);
    EXPECT_EQ(attr(0, 21), 0x30);
    EXPECT_NE(row(2).find("2 more above"), std::string::npos) << row(2);
    EXPECT_EQ(row(22), "");
}

TEST_F(DrawDiskList, SaysWhenThereAreNoDisks) {
    kv::draw_disk_list(nullptr, 0, 0);
    EXPECT_EQ(row(4), "  No disks found.");
    EXPECT_EQ(attr(2, 4), 0x07);
    EXPECT_EQ(row(3), "");
}

using RunMain = DiskListTest;

TEST_F(RunMain, TableKindNames) {
    EXPECT_STREQ(kv::table_kind_name(kv::TableKind::Gpt), "GPT");
    EXPECT_STREQ(kv::table_kind_name(kv::TableKind::Mbr), "MBR");
    EXPECT_STREQ(kv::table_kind_name(kv::TableKind::None), "no table");
    EXPECT_STREQ(kv::table_kind_name(kv::TableKind(7)), "no table");
}

TEST_F(RunMain, WithoutDisksEnterDoesNothingAndQQuits) {
    run({kEnter, kQuit});
    const Frame& before_enter = frame_before(0, 2);
    const Frame& before_quit = frame_before(1, 2);
    EXPECT_EQ(before_enter.text[4], "  No disks found.");
    EXPECT_EQ(before_quit.text[4], "  No disks found.");
    EXPECT_EQ(before_quit.text[0].rfind(kHeader, 0), 0u);
}

TEST_F(RunMain, EveryQuitKeyEndsTheProgram) {
    add_disk(2);
    for (const Key& key : {Key{0, u'Q'}, Key{0, u'q'}, kEsc, Key{0, 0x1B}}) {
        frames_.clear();
        run({key});
        EXPECT_EQ(frames_.size(), 1u);
    }
}

TEST_F(RunMain, TakesAWideModeHidesTheCursorAndRestoresBoth) {
    sim::set_text_modes({{80, 25}, {132, 50}, {100, 30}});
    add_disk(2);
    run({kQuit});
    const Frame& shown = frame_before(0, 1);
    EXPECT_EQ(shown.columns, 100u);
    EXPECT_FALSE(shown.cursor_visible);
    EXPECT_EQ(shown.text[3].rfind("  blk0", 0), 0u);

    EXPECT_EQ(sim::screen_columns(), 80u);
    EXPECT_TRUE(sim::console_cursor_visible());
    for (size_t r = 0; r < sim::screen_rows(); r++)
        EXPECT_EQ(sim::screen_text(r), "") << r;
}

TEST_F(RunMain, ArrowKeysMoveTheSelectionAndStopAtTheEnds) {
    add_disk(2);
    add_disk(3);
    add_disk(4);
    const std::vector<Key> keys = {kDown, kDown, kDown, kUp, kEnd, kHome, kUp, kQuit};
    const int expected_row[] = {3, 4, 5, 5, 4, 5, 3, 3};
    run(keys);
    for (size_t i = 0; i < keys.size(); i++)
        EXPECT_EQ(frame_before(i, keys.size()).selected_row(), expected_row[i]) << "key " << i;
}

// A server's 64 disks on an 80-column serial console, driven by keys as a
// terminal sends them: the selection stays on screen, the list says what
// lies beyond it, and no line runs past the last column.
TEST_F(RunMain, ManyDisksScrollAndFitEightyColumns) {
    for (int i = 0; i < 64; i++) {
        sim::BlockDiskConfig c;
        c.pci_device = 2 + i / 8;
        c.pci_function = i % 8;
        EFI_HANDLE h = sim::add_block_disk(std::make_unique<sim::MemDisk>(512, 2048), c);
        if (i == 0) {
            kv::g_loaded_image = sim::loaded_image();
            sim::loaded_image()->DeviceHandle = h;
        }
    }
    // End, Up, Page Down (no meaning here), Home, Down, then a lone Esc.
    const char* keys[] = {"\x1b[4~", "\x1b[A", "\x1b[6~", "\x1bOH", "\x1b[B", "\x1b"};
    uint64_t at = sim::now_100ns();
    for (const char* k : keys)
        sim::push_terminal_bytes(at += 10'000'000, k, 20'000);
    capture_frames();
    sim::RunResult r = sim::run_image(run_main_image, nullptr);
    EXPECT_FALSE(r.exited) << "the lone Esc did not end the program";
    EXPECT_EQ(sim::keys_left(), 0u);
    ASSERT_EQ(frames_.size(), 6u);
    // Frames in the order shown: the most keys left first.
    std::vector<Frame> shown;
    for (auto it = frames_.rbegin(); it != frames_.rend(); ++it)
        shown.push_back(it->second);
    const int selected_row[] = {3, 21, 20, 20, 3, 4};
    for (size_t i = 0; i < 6; i++) {
        const Frame& f = shown[i];
        SCOPED_TRACE(testing::Message() << "frame " << i);
        EXPECT_EQ(f.columns, 80u);
        EXPECT_EQ(f.selected_row(), selected_row[i]);
        bool at_top = i == 0 || i >= 4;
        EXPECT_EQ(f.text[2].find("more above") != std::string::npos, !at_top) << f.text[2];
        EXPECT_EQ(f.text[22].find("more below") != std::string::npos, at_top) << f.text[22];
        for (int row = 3; row < 22; row++)
            EXPECT_LT(f.text[row].size(), 80u) << f.text[row];
    }
    // The disk the program started from keeps its whole state text.
    EXPECT_NE(shown[0].text[3].find("started from here: read only"), std::string::npos)
        << shown[0].text[3];
}

TEST_F(RunMain, SelectionMovesToTheNewLastDiskWhenTheLastOneGoes) {
    add_disk(2);
    add_disk(3);
    EFI_HANDLE last = add_disk(4);
    push_keys({kEnd, Key{0, u'r'}, kQuit});
    bool removed = false;
    sim::set_idle_hook([&] {
        frames_[sim::keys_left()] = kvtest::take_frame();
        // Taken out while the list waits for R.
        if (sim::keys_left() == 2 && !removed) {
            sim::remove_media(last);
            removed = true;
        }
        return false;
    });
    sim::RunResult r = sim::run_image(run_main_image, nullptr);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(frame_before(1, 3).selected_row(), 5);
    const Frame& after = frame_before(2, 3);
    EXPECT_EQ(after.selected_row(), 4);
    EXPECT_EQ(after.text[4].rfind("  blk1", 0), 0u);
    EXPECT_EQ(after.text[5], "");
}

TEST_F(RunMain, EnterOpensTheSelectedDiskAndEscComesBack) {
    add_disk(2, kvtest::mbr_disk(-1));
    add_disk(3, kvtest::gpt_disk(2));
    const std::vector<Key> keys = {kDown, kEnter, kEsc, kQuit};
    run(keys);
    const Frame& open = frame_before(2, keys.size());
    EXPECT_EQ(open.text[0].rfind(kHeader + "   blk", 0), 0u) << open.text[0];
    EXPECT_EQ(open.text[0].substr(open.text[0].size() - 21), "  disk  32.0 MiB  GPT");
    EXPECT_EQ(open.text[3].rfind("  1 ", 0), 0u) << open.text[3];
    const Frame& back = frame_before(3, keys.size());
    EXPECT_NE(back.text[0].find("Select a disk"), std::string::npos);
    EXPECT_EQ(back.selected_row(), 4);
}

TEST_F(RunMain, ADiskThatCannotBeReadGivesAWarningAndTheListAgain) {
    EFI_HANDLE disk = add_disk(2, kvtest::mbr_disk(-1));
    sim::fail_block_read(disk, 1, EFI_DEVICE_ERROR, true);
    const std::vector<Key> keys = {kEnter, Key{0, u' '}, kQuit};
    run(keys);
    const Frame& warning = frame_before(1, keys.size());
    bool found = false;
    for (const std::string& line : warning.text)
        if (line.find("The disk could not be read.") != std::string::npos) found = true;
    EXPECT_TRUE(found);
    EXPECT_EQ(frame_before(2, keys.size()).text[3].rfind("  blk0", 0), 0u);
}

using OpenDisk = DiskScreenTest;

TEST_F(OpenDisk, UnreadableDiskIsReportedWithItsName) {
    auto image = kvtest::mbr_disk(-1);
    image->fail_read(1, kv::ERR_IO, true);
    kv::Disk disk = make_disk(*image, "blk7");
    record_dialogs();
    kv::open_disk(&disk);
    ASSERT_EQ(kvtest::g_script.calls.size(), 1u);
    const kvtest::DialogCall& c = kvtest::g_script.calls[0];
    EXPECT_EQ(c.kind, "message");
    EXPECT_TRUE(c.warning);
    EXPECT_EQ(c.title, "blk7");
    EXPECT_EQ(c.text, "The disk could not be read.");
}

TEST_F(OpenDisk, LeavingWithoutChangesAsksNothing) {
    auto image = kvtest::mbr_disk(-1);
    kv::Disk disk = make_disk(*image);
    record_dialogs();
    push_keys({kEsc});
    sim::RunResult r = sim::run_image(open_disk_image, &disk);
    EXPECT_FALSE(r.exited);
    EXPECT_TRUE(kvtest::g_script.calls.empty());
}

TEST_F(OpenDisk, LeavingWithChangesAsksAndNoStays) {
    auto image = kvtest::mbr_disk(-1);
    std::vector<uint8_t> before = image->image();
    kv::Disk disk = make_disk(*image);
    record_dialogs();
    kvtest::g_script.confirms = {false, true};
    push_keys({Key{0, u'x'}, kEsc, kEsc});
    sim::RunResult r = sim::run_image(open_disk_image, &disk);
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(sim::keys_left(), 0u);
    std::vector<kvtest::DialogCall> confirms = kvtest::g_script.of_kind("confirm");
    ASSERT_EQ(confirms.size(), 2u);
    for (const kvtest::DialogCall& c : confirms) {
        EXPECT_TRUE(c.warning);
        EXPECT_EQ(c.title, "Leave the disk");
        EXPECT_EQ(c.text, "Discard the unwritten changes? (Y/N)");
    }
    EXPECT_EQ(image->image(), before);
}

TEST_F(OpenDisk, ArrowKeysMoveOverAllRowsAndMessagesLastOneKey) {
    // Rows: 1, free, 2, 5, 6, free inside the extended partition.
    auto image = kvtest::mbr_disk(2);
    kv::Disk disk = make_disk(*image);
    const std::vector<Key> keys = {kDown, Key{0, u'd'}, kDown, kEnd, kDown, kHome, kUp, kEsc};
    const int expected_row[] = {3, 4, 4, 5, 8, 8, 3, 3};
    push_keys(keys);
    capture_frames();
    sim::RunResult r = sim::run_image(open_disk_image, &disk);
    EXPECT_FALSE(r.exited);
    for (size_t i = 0; i < keys.size(); i++)
        EXPECT_EQ(frame_before(i, keys.size()).selected_row(), expected_row[i]) << "key " << i;
    EXPECT_EQ(frame_before(2, keys.size()).text[22], "  Select a partition first.");
    EXPECT_EQ(frame_before(3, keys.size()).text[22], "");
}

} // namespace
