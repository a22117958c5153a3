// A Write cut short at every possible write, for each way a table goes to
// the disk: what the disk holds afterwards must be the old table or the new
// one, whole, and the status must tell which.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "disk/read_table.h"
#include "edit/edit_ops.h"
#include "io/backup.h"
#include "platform/memory.h"
#include "io/write_table.h"
#include "platform/disks.h"
#include "sim/disks.h"
#include "tests/tui/disk_screen_fixture.h"
#include "tui/partition_screen.h"

namespace {

using kvtest::DiskScreenTest;
using kvtest::g_script;
using Layout = std::vector<std::tuple<int, uint64_t, uint64_t, int>>;

// Kind, start, size and type of every partition, as the program reads them.
Layout layout_of(sim::MemDisk& disk) {
    kv::PartitionTable t{};
    Layout out;
    if (kv::read_table(disk.device(), &t) != kv::ERR_OK) return {{-1, 0, 0, 0}};
    out.emplace_back(-2, uint64_t(t.kind), 0, 0);
    for (int i = 0; i < t.partition_count; i++) {
        const kv::Partition& p = t.partitions[i];
        out.emplace_back(int(p.kind), p.start, p.size, p.mbr_type + p.type_guid[0]);
    }
    std::sort(out.begin(), out.end());
    kv::table_free(&t);
    return out;
}

kv::Partition model(kv::PartitionKind kind, uint64_t start, uint64_t size) {
    kv::Partition p{};
    p.kind = kind;
    p.start = start;
    p.size = size;
    p.mbr_type = 0x83;
    std::memcpy(p.type_guid, kvtest::kLinuxDataType.data(), 16);
    return p;
}

// An MBR whose logical partitions leave a gap after the first one.
std::unique_ptr<sim::MemDisk> gapped_mbr() {
    auto image = std::make_unique<sim::MemDisk>(512, 65536);
    kvtest::write_mbr(*image, {{0x00, 0x83, 2048, 4096}, {0x00, 0x05, 8192, 65536 - 8192}});
    kvtest::write_ebr_chain(*image, 8192,
                            {{8192, 10240, 2048}, {20479, 20480, 4096}, {28671, 28672, 4096}});
    return image;
}

class WriteFaults : public DiskScreenTest {
  protected:
    void SetUp() override {
        DiskScreenTest::SetUp();
        record_dialogs();
    }

    // For N = 1, 2, ... the N-th write and all later ones fail, until a
    // Write gets through; every outcome is checked against the two layouts.
    void sweep(const std::function<std::unique_ptr<sim::MemDisk>()>& make,
               const std::function<void(kv::PartitionTable*, const kv::BlockDevice*)>& edit) {
        auto original = make();
        Layout before = layout_of(*original);
        Layout after = layout_after(make, edit);
        ASSERT_NE(after, before);
        uint64_t stopped_partway = 0;
        for (uint64_t n = 1; n < 100; n++) {
            auto image = make();
            open(*image);
            edit(&view_.table, image->device());
            kv::view_build_rows(&view_);
            image->fail_write(n, kv::ERR_IO, true);
            image->reset_stats();
            g_script = kvtest::DialogScript{};
            g_script.confirms = {true};
            kv::KeyEvent enter{'\r', 0, 0};
            kv::handle_command(&view_, &enter);
            Layout now = layout_of(*image);
            std::string status = view_.message;
            uint64_t written = image->stats().write_blocks;
            SCOPED_TRACE("write " + std::to_string(n) + ": " + status);
            if (!view_.message_is_error) {
                EXPECT_EQ(now, after);
                EXPECT_GT(stopped_partway, 0u);
                kv::view_close(&view_);
                return;
            }
            if (written == 0) {
                EXPECT_EQ(image->image(), original->image());
                EXPECT_TRUE(view_.table.dirty); // the edit is kept for another try
            } else {
                // The status counts what reached the disk, and the view now
                // shows the disk.
                std::smatch m;
                ASSERT_TRUE(std::regex_search(status, m, std::regex(" (\\d+) of (\\d+) ")));
                EXPECT_EQ(std::stoull(m[1]), written);
                EXPECT_GT(std::stoull(m[2]), written);
                EXPECT_FALSE(view_.table.dirty);
                stopped_partway++;
            }
            EXPECT_TRUE(now == before || now == after) << "a mix of both tables";
            kv::view_close(&view_);
        }
        ADD_FAILURE() << "no Write got through";
    }

    // The layout a Write without faults leaves.
    Layout
    layout_after(const std::function<std::unique_ptr<sim::MemDisk>()>& make,
                 const std::function<void(kv::PartitionTable*, const kv::BlockDevice*)>& edit) {
        auto image = make();
        kv::PartitionTable t{};
        EXPECT_EQ(kv::read_table(image->device(), &t), kv::ERR_OK);
        edit(&t, image->device());
        EXPECT_EQ(kv::write_table(image->device(), &t), kv::ERR_OK);
        kv::table_free(&t);
        return layout_of(*image);
    }
};

// Turning one kind into the other goes through the peers in
// scenario_write_faults.py.
TEST_F(WriteFaults, EveryPrefixOfEveryWriteLeavesOneWholeTable) {
    using kv::PartitionKind;
    // A logical partition in the gap before two others.
    sweep(gapped_mbr, [](kv::PartitionTable* t, const kv::BlockDevice* d) {
        kv::Partition p = model(PartitionKind::Logical, 14336, 2048);
        ASSERT_EQ(kv::add_partition(t, d, &p), nullptr);
    });
    // GPT over GPT, one partition gone and one new.
    auto gpt = [] { return kvtest::gpt_disk(3); };
    sweep(gpt, [](kv::PartitionTable* t, const kv::BlockDevice* d) {
        ASSERT_EQ(kv::delete_partition(t, 2), nullptr);
        kv::Partition p = model(PartitionKind::Primary, 20480, 4096);
        ASSERT_EQ(kv::add_partition(t, d, &p), nullptr);
    });
}

} // namespace

namespace {

// A restore cut short, both ways round: a GPT backup over an MBR disk and an
// MBR backup over a GPT disk.
TEST(RestoreFaults, EveryPrefixLeavesOneWholeTable) {
    // The readers' buffers come from the simulated firmware's pool.
    sim::reset();
    std::vector<std::function<std::unique_ptr<sim::MemDisk>()>> makers = {
        gapped_mbr, [] { return kvtest::gpt_disk(3); }};
    for (int from = 0; from < 2; from++) {
        SCOPED_TRACE(from);
        auto source = makers[1 - from]();
        kv::PartitionTable t{};
        ASSERT_EQ(kv::read_table(source->device(), &t), kv::ERR_OK);
        uint8_t* file = nullptr;
        size_t size = 0;
        ASSERT_EQ(kv::build_backup(source->device(), &t, &file, &size), kv::ERR_OK);
        kv::table_free(&t);
        Layout before = layout_of(*makers[from]());
        Layout after = layout_of(*source);
        bool through = false;
        for (uint64_t n = 1; n < 100 && !through; n++) {
            auto disk = makers[from]();
            disk->fail_write(n, kv::ERR_IO, true);
            through = kv::restore_backup(disk->device(), file, size) == nullptr;
            Layout now = layout_of(*disk);
            EXPECT_TRUE(through ? now == after : now == before || now == after) << n;
        }
        EXPECT_TRUE(through);
        kv::free(file);
    }
}

// Disks found through the simulated firmware, as the program finds them.
class FirmwareWrites : public WriteFaults {
  protected:
    void TearDown() override {
        kv::view_close(&view_);
        kv::release_disks();
        WriteFaults::TearDown();
    }

    sim::MemDisk* attach(std::unique_ptr<sim::MemDisk> image) {
        sim::MemDisk* backing = image.get();
        handle_ = sim::add_block_disk(std::move(image));
        kv::Disk* disks = nullptr;
        EXPECT_EQ(kv::discover_disks(&disks), 1);
        EXPECT_TRUE(kv::view_open(&view_, &disks[0]));
        return backing;
    }

    // Write with yes to the question; what the message box said.
    std::string write() {
        g_script = kvtest::DialogScript{};
        g_script.confirms = {true};
        kv::KeyEvent enter{'\r', 0, 0};
        kv::handle_command(&view_, &enter);
        std::vector<kvtest::DialogCall> boxes = g_script.of_kind("message");
        return boxes.empty() ? "" : boxes.back().text;
    }

    EFI_HANDLE handle_ = nullptr;
};

TEST_F(FirmwareWrites, UnreadableEbrBlocksTheWriteButNotTheDelete) {
    {
        // The EBR of the second logical partition cannot be read.
        auto* image = attach(gapped_mbr());
        sim::fail_block_reads_at(handle_, 20479);
        ASSERT_TRUE(kv::view_load(&view_));
        std::vector<uint8_t> before = image->image();
        ASSERT_EQ(kv::set_active(&view_.table, 1, true), nullptr);
        std::string why = write();
        EXPECT_NE(why.find("20479"), std::string::npos) << why;
        EXPECT_TRUE(view_.message_is_error);
        EXPECT_TRUE(view_.table.dirty);
        EXPECT_EQ(image->image(), before);
        // Without the extended partition nothing is lost by writing.
        ASSERT_EQ(kv::delete_partition(&view_.table, 2), nullptr);
        EXPECT_EQ(write(), "");
        EXPECT_FALSE(view_.message_is_error) << view_.message;
        EXPECT_NE(image->image(), before);
    }
}

TEST_F(FirmwareWrites, TableChangedFromOutsideIsNotOverwritten) {
    {
        // Another program adds a partition after the table was read.
        auto* image = attach(gapped_mbr());
        ASSERT_EQ(kv::set_active(&view_.table, 1, true), nullptr);
        kvtest::put_mbr_entry(*image, 0, 3, {0x00, 0x07, 4096 + 2048, 2048});
        std::vector<uint8_t> changed = image->image();
        std::string why = write();
        EXPECT_NE(why.find("Rescan"), std::string::npos) << why;
        EXPECT_TRUE(view_.message_is_error);
        EXPECT_EQ(image->image(), changed);
        // A new table on the same disk is no way around it.
        kv::new_table(&view_.table, image->device(), kv::TableKind::Gpt);
        EXPECT_NE(write().find("Rescan"), std::string::npos);
        EXPECT_EQ(image->image(), changed);
        // Read again, the table writes.
        ASSERT_TRUE(kv::view_load(&view_));
        ASSERT_EQ(kv::set_active(&view_.table, 1, true), nullptr);
        EXPECT_EQ(write(), "");
        EXPECT_EQ(image->image()[446], 0x80);
        EXPECT_EQ(image->image()[446 + 32 + 4], 0x07);
    }
}

TEST_F(FirmwareWrites, AnotherMediumIsRefusedByTheFirmware) {
    {
        // Another medium in the drive: the firmware refuses the old id.
        auto* image = attach(gapped_mbr());
        ASSERT_EQ(kv::set_active(&view_.table, 1, true), nullptr);
        sim::change_media(handle_);
        std::vector<uint8_t> before = image->image();
        EXPECT_NE(write(), "");
        EXPECT_TRUE(view_.message_is_error);
        EXPECT_EQ(image->image(), before);
        EXPECT_EQ(sim::block_io_log(handle_).blocks_written, 0u);
    }
}

} // namespace
