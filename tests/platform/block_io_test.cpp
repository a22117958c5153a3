#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/disks.h"
#include "platform/globals.h"
#include "sim/disks.h"
#include "tests/sim/storage_images.h"

namespace {

using kvtest::StorageTest;

struct PageRequest {
    EFI_ALLOCATE_TYPE type;
    EFI_MEMORY_TYPE memory;
    UINTN pages;
};

std::vector<PageRequest> g_page_requests;
decltype(EFI_BOOT_SERVICES::AllocatePages) g_allocate_pages;

EFI_STATUS EFIAPI recording_allocate_pages(EFI_ALLOCATE_TYPE type, EFI_MEMORY_TYPE memory,
                                           UINTN pages, EFI_PHYSICAL_ADDRESS* address) {
    g_page_requests.push_back({type, memory, pages});
    return g_allocate_pages(type, memory, pages, address);
}

class FirmwareBlockDevice : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        g_page_requests.clear();
        g_allocate_pages = bs()->AllocatePages;
        bs()->AllocatePages = recording_allocate_pages;
    }

    EFI_HANDLE add(uint32_t block_size = 512, uint64_t blocks = 64, uint32_t io_align = 0) {
        sim::BlockDiskConfig c;
        c.io_align = io_align;
        handle_ = sim::add_block_disk(kvtest::blank_image(blocks, block_size), c);
        found();
        return handle_;
    }

    // The context as discovery makes it, with the medium's id as it is now.
    void found() {
        context_.block_io = sim::block_io_of(handle_);
        context_.media_id = context_.block_io->Media->MediaId;
    }
    kv::ErrorCode read(uint64_t first, uint64_t count, void* buffer) {
        return kv::block_io_read(&context_, first, count, buffer);
    }
    kv::ErrorCode write(uint64_t first, uint64_t count, const void* buffer) {
        return kv::block_io_write(&context_, first, count, buffer);
    }
    sim::MemDisk& image() { return *static_cast<sim::MemDisk*>(sim::block_backing(handle_)); }
    const sim::BlockIoLog& log() { return sim::block_io_log(handle_); }

    EFI_HANDLE handle_ = nullptr;
    kv::BlockIoDisk context_{};
};

TEST_F(FirmwareBlockDevice, WritesAndReadsBackThroughTheFirmware) {
    // IoAlign 4096: a caller's buffer on the host heap would be refused; the
    // bounce buffer is not.
    add(512, 64, 4096);
    std::vector<uint8_t> data(3 * 512 + 1);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = uint8_t(i * 7 + 1);
    uint8_t* unaligned = data.data() + 1;
    ASSERT_EQ(write(10, 3, unaligned), kv::ERR_OK);
    EXPECT_EQ(std::memcmp(image().block(10), unaligned, 3 * 512), 0);
    EXPECT_EQ(log().last_buffer % 4096, 0u);

    std::vector<uint8_t> back(3 * 512 + 1, 0xEE);
    ASSERT_EQ(read(10, 3, back.data() + 1), kv::ERR_OK);
    EXPECT_EQ(std::memcmp(back.data() + 1, unaligned, 3 * 512), 0);
    EXPECT_EQ(back[0], 0xEE); // nothing written before the buffer
    EXPECT_EQ(log().last_buffer % 4096, 0u);
    EXPECT_EQ(log().ops, "WFR");
    EXPECT_EQ(sim::pages_live(), 0u);
}

TEST_F(FirmwareBlockDevice, BounceBufferIsWholePagesForTheTransfer) {
    add(512, 64);
    std::vector<uint8_t> buf(64 * 512);
    ASSERT_EQ(read(0, 1, buf.data()), kv::ERR_OK);
    ASSERT_EQ(read(0, 8, buf.data()), kv::ERR_OK);
    ASSERT_EQ(read(0, 9, buf.data()), kv::ERR_OK);
    ASSERT_EQ(write(0, 17, buf.data()), kv::ERR_OK);
    ASSERT_EQ(g_page_requests.size(), 4u);
    EXPECT_EQ(g_page_requests[0].pages, 1u);
    EXPECT_EQ(g_page_requests[1].pages, 1u);
    EXPECT_EQ(g_page_requests[2].pages, 2u);
    EXPECT_EQ(g_page_requests[3].pages, 3u);
    EXPECT_EQ(g_page_requests[3].type, AllocateAnyPages);
    EXPECT_EQ(g_page_requests[3].memory, EfiBootServicesData);
    EXPECT_EQ(sim::pages_live(), 0u);
}

TEST_F(FirmwareBlockDevice, NoPagesMeansOutOfMemoryWithoutTouchingTheDisk) {
    add();
    std::vector<uint8_t> buf(512);
    sim::fail_pages_after(0);
    EXPECT_EQ(read(0, 1, buf.data()), kv::ERR_OUT_OF_MEMORY);
    EXPECT_EQ(write(0, 1, buf.data()), kv::ERR_OUT_OF_MEMORY);
    EXPECT_EQ(log().ops, "");
    sim::fail_pages_after(-1);
}

TEST_F(FirmwareBlockDevice, OnlyASuccessfulWriteIsFlushed) {
    add();
    std::vector<uint8_t> buf(512, 0x42);
    sim::fail_block_write(handle_, 1);
    EXPECT_EQ(write(3, 1, buf.data()), kv::ERR_IO);
    EXPECT_EQ(log().ops, "w");
    EXPECT_EQ(sim::pages_live(), 0u);
    ASSERT_EQ(write(3, 1, buf.data()), kv::ERR_OK);
    EXPECT_EQ(log().ops, "wWF");
    EXPECT_EQ(log().flushes, 1u);
}

TEST_F(FirmwareBlockDevice, AFailedFlushFailsTheWrite) {
    add();
    std::vector<uint8_t> buf(512, 0x42);
    sim::fail_block_flush(handle_, 1);
    EXPECT_EQ(write(3, 1, buf.data()), kv::ERR_IO);
    EXPECT_EQ(log().ops, "Wf");
}

TEST_F(FirmwareBlockDevice, FirmwareFailuresBecomeErrorCodes) {
    add();
    std::vector<uint8_t> buf(1024, 0x42);
    sim::fail_block_read(handle_, 1);
    EXPECT_EQ(read(0, 1, buf.data()), kv::ERR_IO);
    EXPECT_EQ(buf[0], 0x42); // a failed read leaves the caller's buffer alone
    EXPECT_EQ(read(63, 2, buf.data()), kv::ERR_INVALID_PARAMETER);

    sim::set_write_protected(handle_, true);
    EXPECT_EQ(write(0, 1, buf.data()), kv::ERR_WRITE_PROTECTED);
    sim::set_write_protected(handle_, false);

    sim::remove_media(handle_);
    EXPECT_EQ(read(0, 1, buf.data()), kv::ERR_NO_MEDIA);
    EXPECT_EQ(write(0, 1, buf.data()), kv::ERR_NO_MEDIA);
    sim::insert_media(handle_);
    // Another medium: the id from when the disk was found no longer holds,
    // for reads and writes alike, until the disk is found again.
    EXPECT_EQ(read(0, 1, buf.data()), kv::ERR_IO);
    EXPECT_EQ(write(0, 1, buf.data()), kv::ERR_IO);
    EXPECT_EQ(log().blocks_written, 0u);
    found();
    EXPECT_EQ(read(0, 1, buf.data()), kv::ERR_OK);
    EXPECT_EQ(sim::pages_live(), 0u);
}

TEST_F(FirmwareBlockDevice, LargeBlocksUseTheMediaBlockSize) {
    add(4096, 16);
    std::vector<uint8_t> buf(2 * 4096, 0x99);
    ASSERT_EQ(write(14, 2, buf.data()), kv::ERR_OK);
    EXPECT_EQ(image().block(15)[4095], 0x99);
    EXPECT_EQ(g_page_requests.back().pages, 2u);
    EXPECT_EQ(log().blocks_written, 2u);
}

TEST_F(FirmwareBlockDevice, EmptyTransferIsDoneWithoutTheFirmware) {
    add();
    uint8_t b = 0;
    EXPECT_EQ(read(0, 0, &b), kv::ERR_OK);
    EXPECT_EQ(write(0, 0, &b), kv::ERR_OK);
    EXPECT_EQ(log().ops, "");
    EXPECT_TRUE(g_page_requests.empty());
}

} // namespace
