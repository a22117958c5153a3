#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "sim/disks.h"
#include "sim/firmware.h"
#include "tests/sim/storage_images.h"

namespace {

using kvtest::StorageTest;

class SimBlockIo : public StorageTest {
  protected:
    EFI_STATUS read(EFI_HANDLE h, EFI_LBA lba, void* buffer, UINTN size, int id_delta = 0) {
        EFI_BLOCK_IO_PROTOCOL* b = sim::block_io_of(h);
        return b->ReadBlocks(b, b->Media->MediaId + id_delta, lba, size, buffer);
    }
    EFI_STATUS write(EFI_HANDLE h, EFI_LBA lba, void* buffer, UINTN size) {
        EFI_BLOCK_IO_PROTOCOL* b = sim::block_io_of(h);
        return b->WriteBlocks(b, b->Media->MediaId, lba, size, buffer);
    }
    EFI_STATUS flush(EFI_HANDLE h) {
        EFI_BLOCK_IO_PROTOCOL* b = sim::block_io_of(h);
        return b->FlushBlocks(b);
    }
    sim::MemDisk& image(EFI_HANDLE h) { return *static_cast<sim::MemDisk*>(sim::block_backing(h)); }

    // 4096-aligned so that alignment is only off where a test makes it so.
    alignas(4096) uint8_t buf_[8 * 4096] = {};
};

TEST_F(SimBlockIo, MediaDescribesTheBacking) {
    sim::BlockDiskConfig c;
    c.removable = true;
    c.io_align = 8;
    c.media_id = 7;
    EFI_HANDLE h = sim::add_block_disk(kvtest::blank_image(100, 4096), c);
    const EFI_BLOCK_IO_MEDIA* m = sim::block_media(h);
    EXPECT_EQ(m->BlockSize, 4096u);
    EXPECT_EQ(m->LastBlock, 99u);
    EXPECT_EQ(m->MediaId, 7u);
    EXPECT_TRUE(m->RemovableMedia);
    EXPECT_TRUE(m->MediaPresent);
    EXPECT_FALSE(m->LogicalPartition);
    EXPECT_FALSE(m->ReadOnly);
    EXPECT_EQ(m->IoAlign, 8u);
    EXPECT_EQ(sim::block_io_of(h)->Media, m);
}

TEST_F(SimBlockIo, TransfersReachTheBackingAndAreLogged) {
    EFI_HANDLE h = sim::add_block_disk(kvtest::blank_image(16));
    std::memset(buf_, 0x5A, 1024);
    ASSERT_EQ(write(h, 14, buf_, 1024), EFI_SUCCESS);
    EXPECT_EQ(image(h).block(14)[0], 0x5A);
    EXPECT_EQ(image(h).block(15)[511], 0x5A);
    EXPECT_EQ(image(h).block(13)[511], 0);
    std::memset(buf_, 0, 1024);
    ASSERT_EQ(read(h, 15, buf_, 512), EFI_SUCCESS);
    EXPECT_EQ(buf_[0], 0x5A);
    ASSERT_EQ(flush(h), EFI_SUCCESS);
    const sim::BlockIoLog& log = sim::block_io_log(h);
    EXPECT_EQ(log.ops, "WRF");
    EXPECT_EQ(log.blocks_written, 2u);
    EXPECT_EQ(log.blocks_read, 1u);
    EXPECT_EQ(log.last_buffer, reinterpret_cast<uintptr_t>(buf_));
}

TEST_F(SimBlockIo, RefusesRequestsAsDriversDo) {
    sim::BlockDiskConfig c;
    c.io_align = 16;
    EFI_HANDLE h = sim::add_block_disk(kvtest::blank_image(16), c);
    EXPECT_EQ(read(h, 0, buf_, 0), EFI_SUCCESS);
    EXPECT_EQ(read(h, 0, nullptr, 512), EFI_INVALID_PARAMETER);
    EXPECT_EQ(read(h, 0, buf_, 511), EFI_BAD_BUFFER_SIZE);
    EXPECT_EQ(read(h, 0, buf_, 513), EFI_BAD_BUFFER_SIZE);
    EXPECT_EQ(read(h, 16, buf_, 512), EFI_INVALID_PARAMETER);
    EXPECT_EQ(read(h, 15, buf_, 1024), EFI_INVALID_PARAMETER);
    EXPECT_EQ(read(h, 15, buf_, 512), EFI_SUCCESS);
    EXPECT_EQ(read(h, 0, buf_ + 8, 512), EFI_INVALID_PARAMETER);
    EXPECT_EQ(read(h, 0, buf_ + 16, 512), EFI_SUCCESS);
    EXPECT_EQ(read(h, 0, buf_, 512, 1), EFI_MEDIA_CHANGED);
    EXPECT_EQ(sim::block_io_log(h).ops, "RrrrrrRrRr");
    EXPECT_EQ(sim::block_io_log(h).blocks_read, 2u);
}

TEST_F(SimBlockIo, ChecksComeInDriverOrder) {
    EFI_HANDLE h = sim::add_block_disk(kvtest::blank_image(16));
    sim::set_write_protected(h, true);
    EXPECT_TRUE(sim::block_media(h)->ReadOnly);
    // Write protection is reported before the buffer is looked at.
    EXPECT_EQ(write(h, 99, nullptr, 3), EFI_WRITE_PROTECTED);
    EXPECT_EQ(read(h, 0, buf_, 512), EFI_SUCCESS);
    EXPECT_EQ(flush(h), EFI_SUCCESS);
    // A stale media id comes before write protection; no media before both.
    EXPECT_EQ(sim::block_io_of(h)->WriteBlocks(sim::block_io_of(h), 99, 0, 512, buf_),
              EFI_MEDIA_CHANGED);
    sim::remove_media(h);
    EXPECT_EQ(sim::block_io_of(h)->WriteBlocks(sim::block_io_of(h), 99, 0, 512, buf_),
              EFI_NO_MEDIA);
    EXPECT_EQ(read(h, 0, buf_, 512), EFI_NO_MEDIA);
    EXPECT_EQ(flush(h), EFI_NO_MEDIA);
    sim::set_write_protected(h, false);
    sim::insert_media(h);
    EXPECT_EQ(write(h, 0, buf_, 512), EFI_SUCCESS);
}

TEST_F(SimBlockIo, MediaChangeInvalidatesTheOldId) {
    EFI_HANDLE h = sim::add_block_disk(kvtest::blank_image(16));
    UINT32 old_id = sim::block_media(h)->MediaId;
    sim::change_media(h);
    EFI_BLOCK_IO_PROTOCOL* b = sim::block_io_of(h);
    EXPECT_EQ(b->ReadBlocks(b, old_id, 0, 512, buf_), EFI_MEDIA_CHANGED);
    EXPECT_EQ(b->ReadBlocks(b, b->Media->MediaId, 0, 512, buf_), EFI_SUCCESS);
    sim::remove_media(h);
    sim::insert_media(h);
    EXPECT_EQ(b->ReadBlocks(b, old_id + 1, 0, 512, buf_), EFI_MEDIA_CHANGED);
}

TEST_F(SimBlockIo, InjectedFaultsFailTheNthCallAndTransferNothing) {
    EFI_HANDLE h = sim::add_block_disk(kvtest::blank_image(16));
    sim::fail_block_write(h, 2);
    std::memset(buf_, 0x77, 512);
    EXPECT_EQ(write(h, 1, buf_, 512), EFI_SUCCESS);
    EXPECT_EQ(write(h, 2, buf_, 512), EFI_DEVICE_ERROR);
    EXPECT_EQ(write(h, 3, buf_, 512), EFI_SUCCESS);
    EXPECT_EQ(image(h).block(2)[0], 0);
    EXPECT_EQ(image(h).block(3)[0], 0x77);

    sim::fail_block_read(h, 1, EFI_TIMEOUT, true);
    EXPECT_EQ(read(h, 0, buf_, 512), EFI_TIMEOUT);
    EXPECT_EQ(read(h, 0, buf_, 512), EFI_TIMEOUT);
    sim::fail_block_read(h, 0);
    EXPECT_EQ(read(h, 0, buf_, 512), EFI_SUCCESS);

    sim::fail_block_flush(h, 1, EFI_DEVICE_ERROR);
    EXPECT_EQ(flush(h), EFI_DEVICE_ERROR);
    EXPECT_EQ(flush(h), EFI_SUCCESS);
    EXPECT_EQ(sim::block_io_log(h).ops, "WwWrrRfF");
}

TEST_F(SimBlockIo, FileBackedDiskOpenedReadOnlyIsWriteProtected) {
    char path[] = "/tmp/kv_block_io_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::vector<uint8_t> bytes(8 * 512, 0x11);
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
    EFI_HANDLE h = sim::add_block_disk(sim::FileDisk::open(path, 512, false));
    EXPECT_TRUE(sim::block_media(h)->ReadOnly);
    EXPECT_EQ(sim::block_media(h)->LastBlock, 7u);
    EXPECT_EQ(read(h, 7, buf_, 512), EFI_SUCCESS);
    EXPECT_EQ(buf_[511], 0x11);
    EXPECT_EQ(write(h, 0, buf_, 512), EFI_WRITE_PROTECTED);
    sim::reset(); // closes the file before it goes
    pool_baseline_ = sim::pool_blocks_live();
    std::remove(path);
}

TEST_F(SimBlockIo, GptPartitionsBecomeChildHandles) {
    auto disk_image = kvtest::gpt_image(
        4096, {kvtest::gpt_entry(0, 2048, 2559, "11111111-2222-3333-4444-555555555555"),
               kvtest::gpt_entry(3, 2560, 3071, "66666666-7777-8888-9999-AAAAAAAAAAAA")});
    std::memset(disk_image->block(2560), 0xC4, 512);
    EFI_HANDLE h = sim::add_block_disk(std::move(disk_image));
    std::vector<EFI_HANDLE> parts = sim::partition_handles(h);
    ASSERT_EQ(parts.size(), 2u);
    const EFI_BLOCK_IO_MEDIA* m = sim::block_media(parts[1]);
    EXPECT_TRUE(m->LogicalPartition);
    EXPECT_EQ(m->LastBlock, 511u);
    EXPECT_EQ(m->BlockSize, 512u);
    // The children sit on the Block I/O handle list after their disk.
    EFI_GUID guid = EFI_BLOCK_IO_PROTOCOL_GUID;
    UINTN n = 0;
    EFI_HANDLE* all = nullptr;
    ASSERT_EQ(bs()->LocateHandleBuffer(ByProtocol, &guid, nullptr, &n, &all), EFI_SUCCESS);
    EXPECT_EQ(std::vector<EFI_HANDLE>(all, all + n),
              (std::vector<EFI_HANDLE>{h, parts[0], parts[1]}));
    bs()->FreePool(all);

    // Block 0 of the second child is block 2560 of the disk, and the child
    // ends where the partition does.
    ASSERT_EQ(read(parts[1], 0, buf_, 512), EFI_SUCCESS);
    EXPECT_EQ(buf_[0], 0xC4);
    EXPECT_EQ(read(parts[1], 511, buf_, 1024), EFI_INVALID_PARAMETER);
    std::memset(buf_, 0x3E, 512);
    ASSERT_EQ(write(parts[0], 511, buf_, 512), EFI_SUCCESS);
    EXPECT_EQ(image(h).block(2559)[0], 0x3E);
    // The scan's own reads are not left in the backing's counters.
    EXPECT_EQ(image(h).stats().read_calls, 1u);
}

TEST_F(SimBlockIo, ExtendedPartitionIsAChildWithTheLogicalsUnderIt) {
    EFI_HANDLE h = sim::add_block_disk(kvtest::mbr_image(
        4096, {kvtest::MbrEntry{0x80, 0x0C, 63, 1000}}, 0xBE1AFDFA, 2048,
        {kvtest::Logical{2048, 2049, 500}, kvtest::Logical{2600, 2601, 400, 0x07}}));
    std::vector<EFI_HANDLE> parts = sim::partition_handles(h);
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(sim::block_media(parts[0])->LastBlock, 999u);
    EXPECT_EQ(sim::block_media(parts[1])->LastBlock, 2047u);
    EXPECT_EQ(sim::block_media(parts[2])->LastBlock, 499u);
    EXPECT_EQ(sim::block_media(parts[3])->LastBlock, 399u);
    EFI_GUID dp_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    auto text_of = [&](EFI_HANDLE part) {
        void* path = nullptr;
        std::string text;
        if (bs()->HandleProtocol(part, &dp_guid, &path) == EFI_SUCCESS)
            sim::device_path_text(path, &text);
        return text;
    };
    // As OVMF names them: logicals count from 1 below the extended
    // partition's node, start in blocks of the disk and carry no signature.
    EXPECT_EQ(text_of(parts[1]), "PciRoot(0x0)/Pci(0x2,0x0)/HD(2,MBR,0xBE1AFDFA,0x800,0x800)");
    EXPECT_EQ(text_of(parts[3]), "PciRoot(0x0)/Pci(0x2,0x0)/HD(2,MBR,0xBE1AFDFA,0x800,0x800)/"
                                 "HD(2,MBR,0x00000000,0xA29,0x190)");
}

TEST_F(SimBlockIo, NoChildrenWithoutATableOrWhenAsked) {
    EFI_HANDLE blank = sim::add_block_disk(kvtest::blank_image(4096));
    EXPECT_TRUE(sim::partition_handles(blank).empty());
    sim::BlockDiskConfig c;
    c.partitions = false;
    EFI_HANDLE plain =
        sim::add_block_disk(kvtest::mbr_image(4096, {kvtest::MbrEntry{0, 0x83, 2048, 100}}), c);
    EXPECT_TRUE(sim::partition_handles(plain).empty());
    // Entries past the end of the disk get no child.
    EFI_HANDLE beyond = sim::add_block_disk(kvtest::mbr_image(
        4096, {kvtest::MbrEntry{0, 0x83, 2048, 100}, kvtest::MbrEntry{0, 0x83, 4000, 200}}));
    EXPECT_EQ(sim::partition_handles(beyond).size(), 1u);
}

TEST_F(SimBlockIo, GptFallsBackToTheBackupHeader) {
    auto disk_image = kvtest::gpt_image(
        4096, {kvtest::gpt_entry(0, 2048, 2559, "11111111-2222-3333-4444-555555555555")});
    disk_image->block(1)[0] ^= 0xFF;
    EFI_HANDLE h = sim::add_block_disk(std::move(disk_image));
    EXPECT_EQ(sim::partition_handles(h).size(), 1u);
}

TEST_F(SimBlockIo, ChildrenFollowTheirDisksMedium) {
    EFI_HANDLE h =
        sim::add_block_disk(kvtest::mbr_image(4096, {kvtest::MbrEntry{0, 0x83, 2048, 100}}));
    EFI_HANDLE part = sim::partition_handles(h).at(0);
    UINT32 old_id = sim::block_media(part)->MediaId;
    sim::set_write_protected(h, true);
    EXPECT_EQ(write(part, 0, buf_, 512), EFI_WRITE_PROTECTED);
    sim::change_media(h);
    EFI_BLOCK_IO_PROTOCOL* b = sim::block_io_of(part);
    EXPECT_EQ(b->ReadBlocks(b, old_id, 0, 512, buf_), EFI_MEDIA_CHANGED);
    sim::remove_media(h);
    EXPECT_EQ(read(part, 0, buf_, 512), EFI_NO_MEDIA);
}

TEST_F(SimBlockIo, RescanReplacesTheChildren) {
    EFI_HANDLE h =
        sim::add_block_disk(kvtest::mbr_image(4096, {kvtest::MbrEntry{0, 0x83, 2048, 100}}));
    EFI_HANDLE old_child = sim::partition_handles(h).at(0);
    kvtest::write_mbr(image(h),
                      {kvtest::MbrEntry{0, 0x83, 2048, 100}, kvtest::MbrEntry{0, 0x83, 3000, 100}});
    sim::rescan_partitions(h);
    std::vector<EFI_HANDLE> parts = sim::partition_handles(h);
    EXPECT_EQ(parts.size(), 2u);
    // The old child's handle is gone from the database.
    EFI_GUID guid = EFI_BLOCK_IO_PROTOCOL_GUID;
    void* iface = nullptr;
    EXPECT_NE(bs()->HandleProtocol(old_child, &guid, &iface), EFI_SUCCESS);
    EXPECT_EQ(sim::block_io_of(old_child), nullptr);
    EXPECT_EQ(sim::block_media(parts[1])->LastBlock, 99u);
}

TEST_F(SimBlockIo, RngGivesBytesFromItsSourceOrFails) {
    EFI_GUID guid = EFI_RNG_PROTOCOL_GUID;
    void* iface = nullptr;
    EXPECT_EQ(bs()->LocateProtocol(&guid, nullptr, &iface), EFI_NOT_FOUND);

    sim::set_rng(true);
    ASSERT_EQ(bs()->LocateProtocol(&guid, nullptr, &iface), EFI_SUCCESS);
    auto* rng = static_cast<EFI_RNG_PROTOCOL*>(iface);
    uint8_t a[20] = {}, b[20] = {};
    ASSERT_EQ(rng->GetRNG(rng, nullptr, sizeof a, a), EFI_SUCCESS);
    ASSERT_EQ(rng->GetRNG(rng, nullptr, sizeof b, b), EFI_SUCCESS);
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    EXPECT_EQ(rng->GetRNG(rng, nullptr, 0, a), EFI_INVALID_PARAMETER);
    EFI_GUID other = EFI_BLOCK_IO_PROTOCOL_GUID;
    EXPECT_EQ(rng->GetRNG(rng, &other, sizeof a, a), EFI_UNSUPPORTED);
    UINTN size = sizeof(EFI_GUID);
    EFI_GUID raw;
    ASSERT_EQ(rng->GetInfo(rng, &size, &raw), EFI_SUCCESS);
    EXPECT_EQ(rng->GetRNG(rng, &raw, sizeof a, a), EFI_SUCCESS);

    sim::set_rng(true, [](uint8_t*, size_t) { return EFI_NOT_READY; });
    EXPECT_EQ(rng->GetRNG(rng, nullptr, sizeof a, a), EFI_NOT_READY);
    EXPECT_EQ(sim::rng_calls(), 6u);

    sim::set_rng(false);
    EXPECT_EQ(bs()->LocateProtocol(&guid, nullptr, &iface), EFI_NOT_FOUND);
}

} // namespace
