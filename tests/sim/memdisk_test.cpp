#include "sim/memdisk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<uint8_t> filled(size_t n, uint8_t value) {
    return std::vector<uint8_t>(n, value);
}

TEST(MemDisk, WritesReachTheImageAndReadBack) {
    sim::MemDisk disk(512, 8);
    kv::BlockDevice* dev = disk.device();
    EXPECT_EQ(dev->block_size, 512u);
    EXPECT_EQ(dev->block_count, 8u);
    std::vector<uint8_t> data = filled(1024, 0x3C);
    ASSERT_EQ(dev->write(dev->context, 6, 2, data.data()), kv::ERR_OK);
    EXPECT_EQ(disk.block(5)[511], 0);
    EXPECT_EQ(disk.block(6)[0], 0x3C);
    EXPECT_EQ(disk.image().back(), 0x3C);
    std::vector<uint8_t> back(1024);
    ASSERT_EQ(dev->read(dev->context, 6, 2, back.data()), kv::ERR_OK);
    EXPECT_EQ(back, data);
    EXPECT_EQ(disk.stats().write_calls, 1u);
    EXPECT_EQ(disk.stats().write_blocks, 2u);
    EXPECT_EQ(disk.stats().read_calls, 1u);
    EXPECT_EQ(disk.stats().read_blocks, 2u);
}

TEST(MemDisk, RefusesTransfersBeyondTheLastBlock) {
    sim::MemDisk disk(512, 8);
    kv::BlockDevice* dev = disk.device();
    std::vector<uint8_t> buf(512 * 3);
    EXPECT_EQ(dev->read(dev->context, 8, 1, buf.data()), kv::ERR_INVALID_PARAMETER);
    EXPECT_EQ(dev->read(dev->context, 6, 3, buf.data()), kv::ERR_INVALID_PARAMETER);
    EXPECT_EQ(dev->read(dev->context, 1, UINT64_MAX, buf.data()), kv::ERR_INVALID_PARAMETER);
    EXPECT_EQ(dev->write(dev->context, 7, 2, buf.data()), kv::ERR_INVALID_PARAMETER);
    EXPECT_EQ(disk.stats().read_calls, 3u);
    EXPECT_EQ(disk.stats().read_blocks, 0u);
    EXPECT_EQ(disk.stats().write_blocks, 0u);
}

TEST(MemDisk, FailsOnlyTheChosenRead) {
    sim::MemDisk disk(512, 4);
    kv::BlockDevice* dev = disk.device();
    std::vector<uint8_t> buf(512);
    disk.fail_read(2, kv::ERR_NO_MEDIA);
    EXPECT_EQ(dev->read(dev->context, 0, 1, buf.data()), kv::ERR_OK);
    EXPECT_EQ(dev->read(dev->context, 0, 1, buf.data()), kv::ERR_NO_MEDIA);
    EXPECT_EQ(dev->read(dev->context, 0, 1, buf.data()), kv::ERR_OK);
    EXPECT_EQ(disk.stats().read_calls, 3u);
    EXPECT_EQ(disk.stats().read_blocks, 2u);
}

TEST(MemDisk, FailedWritesLeaveTheImageAlone) {
    sim::MemDisk disk(512, 4);
    kv::BlockDevice* dev = disk.device();
    std::vector<uint8_t> data = filled(512, 0xFF);
    disk.fail_write(2, kv::ERR_IO, true);
    EXPECT_EQ(dev->write(dev->context, 0, 1, data.data()), kv::ERR_OK);
    EXPECT_EQ(dev->write(dev->context, 1, 1, data.data()), kv::ERR_IO);
    EXPECT_EQ(dev->write(dev->context, 2, 1, data.data()), kv::ERR_IO);
    EXPECT_EQ(disk.block(0)[0], 0xFF);
    EXPECT_EQ(disk.block(1)[0], 0);
    EXPECT_EQ(disk.block(2)[0], 0);
    disk.clear_faults();
    EXPECT_EQ(dev->write(dev->context, 2, 1, data.data()), kv::ERR_OK);
}

TEST(MemDisk, ReadOnlyRemovesWriteAndRefusesStaleCopies) {
    sim::MemDisk disk(512, 4);
    kv::BlockDevice stale = *disk.device();
    disk.set_read_only(true);
    EXPECT_EQ(disk.device()->write, nullptr);
    std::vector<uint8_t> data = filled(512, 1);
    EXPECT_EQ(stale.write(stale.context, 0, 1, data.data()), kv::ERR_WRITE_PROTECTED);
    EXPECT_EQ(disk.block(0)[0], 0);
    disk.set_read_only(false);
    EXPECT_NE(disk.device()->write, nullptr);
}

TEST(MemDisk, RandomBytesDependOnlyOnTheSeed) {
    sim::MemDisk a(512, 1, 42), b(512, 1, 42), c(512, 1, 43);
    std::vector<uint8_t> ra(37), rb(37), rc(37);
    a.device()->random(a.device()->context, ra.data(), ra.size());
    b.device()->random(b.device()->context, rb.data(), rb.size());
    c.device()->random(c.device()->context, rc.data(), rc.size());
    EXPECT_EQ(ra, rb);
    EXPECT_NE(ra, rc);
    std::vector<uint8_t> again(37);
    a.device()->random(a.device()->context, again.data(), again.size());
    EXPECT_NE(ra, again);
}

TEST(MemDisk, ImageConstructorDropsAPartialLastBlock) {
    sim::MemDisk disk(512, std::vector<uint8_t>(512 * 3 + 100, 7));
    EXPECT_EQ(disk.block_count(), 3u);
    EXPECT_EQ(disk.image().size(), 512u * 3);
}

class FileDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/kv_filedisk_XXXXXX";
        int fd = mkstemp(templ);
        ASSERT_GE(fd, 0);
        close(fd);
        path_ = templ;
    }
    void TearDown() override { std::remove(path_.c_str()); }
    std::string path_;
};

TEST_F(FileDiskTest, CreatedImageRoundTripsThroughAReopen) {
    {
        auto disk = sim::FileDisk::create(path_, 4096, 16);
        ASSERT_NE(disk, nullptr);
        kv::BlockDevice* dev = disk->device();
        std::vector<uint8_t> data = filled(4096 * 2, 0x9D);
        ASSERT_EQ(dev->write(dev->context, 14, 2, data.data()), kv::ERR_OK);
        EXPECT_EQ(dev->write(dev->context, 15, 2, data.data()), kv::ERR_INVALID_PARAMETER);
    }
    std::string error;
    auto disk = sim::FileDisk::open(path_, 4096, false, &error);
    ASSERT_NE(disk, nullptr) << error;
    EXPECT_EQ(disk->block_count(), 16u);
    EXPECT_EQ(disk->device()->write, nullptr);
    std::vector<uint8_t> back(4096 * 2);
    ASSERT_EQ(disk->device()->read(disk->device()->context, 14, 2, back.data()), kv::ERR_OK);
    EXPECT_EQ(back, filled(4096 * 2, 0x9D));
    EXPECT_EQ(disk->stats().read_blocks, 2u);
}

TEST_F(FileDiskTest, MissingFileIsReported) {
    std::string error;
    EXPECT_EQ(sim::FileDisk::open(path_ + ".absent", 512, true, &error), nullptr);
    EXPECT_NE(error.find(".absent"), std::string::npos);
}

} // namespace
