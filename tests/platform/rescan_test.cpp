#include "platform/rescan.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/disks.h"
#include "platform/globals.h"
#include "sim/disks.h"
#include "tests/sim/storage_images.h"

namespace {

using kvtest::StorageTest;

// Blank disks on virtio slots 2, 3, 4, ...: no partition handles, so the
// n-th disk added is blk<n>.
class Rescan : public StorageTest {
  protected:
    void TearDown() override {
        kv::view_close(&view_);
        kv::release_summaries();
        kv::release_disks();
        StorageTest::TearDown();
    }

    EFI_HANDLE add_disk(std::unique_ptr<sim::MemDisk> image = nullptr) {
        sim::BlockDiskConfig c;
        c.pci_device = next_slot_++;
        return sim::add_block_disk(image ? std::move(image) : kvtest::blank_image(4096), c);
    }

    int rescan() { return kv::choose_disk_after_rescan(&view_, &disks_, &count_, &summaries_); }

    std::string shown() const { return view_.disk ? view_.disk->name : "(none)"; }

    kv::DiskView view_{};
    kv::Disk* disks_ = nullptr;
    int count_ = 0;
    kv::DiskSummary* summaries_ = nullptr;
    int next_slot_ = 2;
};

TEST_F(Rescan, FirstRunShowsTheFirstWritableDisk) {
    EFI_HANDLE protected_disk = add_disk();
    add_disk(kvtest::mbr_image(4096, {kvtest::MbrEntry{0, 0x83, 2048, 1024}}));
    sim::set_write_protected(protected_disk, true);

    EXPECT_EQ(rescan(), 1);
    ASSERT_EQ(count_, 2);
    EXPECT_EQ(shown(), "blk1");
    EXPECT_TRUE(view_.loaded);
    EXPECT_EQ(view_.table.kind, kv::TableKind::Mbr);
    EXPECT_STREQ(view_.message, "");
    ASSERT_NE(summaries_, nullptr);
    EXPECT_EQ(summaries_[1].kind, int32_t(kv::TableKind::Mbr));
    EXPECT_EQ(summaries_[1].partition_count, 1);
}

TEST_F(Rescan, KeepsTheShownDiskWhileItsNameStays) {
    add_disk();
    add_disk();
    add_disk();
    ASSERT_EQ(rescan(), 0);
    ASSERT_TRUE(kv::view_open(&view_, &disks_[2]));
    view_.selected = 0;

    EXPECT_EQ(rescan(), 2);
    EXPECT_EQ(shown(), "blk2");
    EXPECT_EQ(view_.disk, &disks_[2]);
    EXPECT_TRUE(view_.loaded);
}

TEST_F(Rescan, DiskThatVanishedGivesWayToTheFirstWritable) {
    EFI_HANDLE first = add_disk();
    add_disk();
    EFI_HANDLE last = add_disk();
    sim::set_write_protected(first, true);
    ASSERT_EQ(rescan(), 1);
    ASSERT_TRUE(kv::view_open(&view_, &disks_[2]));

    sim::remove_media(last);
    EXPECT_EQ(rescan(), 1);
    ASSERT_EQ(count_, 2);
    EXPECT_EQ(shown(), "blk1");
}

TEST_F(Rescan, WithNothingWritableShowsDiskZero) {
    EFI_HANDLE read_only = add_disk();
    EFI_HANDLE boot = add_disk();
    sim::set_write_protected(read_only, true);
    kv::g_loaded_image = sim::loaded_image();
    sim::loaded_image()->DeviceHandle = boot;

    EXPECT_EQ(rescan(), 0);
    ASSERT_EQ(count_, 2);
    EXPECT_TRUE(disks_[1].started_here);
    EXPECT_EQ(shown(), "blk0");
    EXPECT_TRUE(view_.loaded);
}

TEST_F(Rescan, UnreadableDiskIsShownWithAnError) {
    EFI_HANDLE broken = add_disk();
    sim::fail_block_read(broken, 1, EFI_DEVICE_ERROR, true);

    EXPECT_EQ(rescan(), 0);
    EXPECT_EQ(shown(), "blk0");
    EXPECT_FALSE(view_.loaded);
    EXPECT_EQ(view_.row_count, 0);
    EXPECT_STREQ(view_.message, "The disk could not be read.");
    EXPECT_TRUE(view_.message_is_error);
    ASSERT_NE(summaries_, nullptr);
    EXPECT_EQ(summaries_[0].kind, -1);
}

TEST_F(Rescan, NoDisksLeaveTheViewEmpty) {
    EFI_HANDLE only = add_disk();
    ASSERT_EQ(rescan(), 0);
    ASSERT_TRUE(view_.loaded);
    view_.selected = 0;

    sim::remove_media(only);
    EXPECT_EQ(rescan(), 0);
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(disks_, nullptr);
    EXPECT_EQ(summaries_, nullptr);
    EXPECT_EQ(view_.disk, nullptr);
    EXPECT_FALSE(view_.loaded);
    EXPECT_EQ(view_.row_count, 0);
    EXPECT_STREQ(view_.message, "");
}

} // namespace
