#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/error.h"
#include "platform/files.h"
#include "platform/volumes.h"
#include "sim/files.h"
#include "sim/firmware.h"
#include "tests/platform/volume_fixture.h"

namespace {

constexpr int kBackupFlags = kv::OPEN_WRITE | kv::OPEN_CREATE | kv::OPEN_TRUNCATE;

// One volume, fs0, scanned.
class Files : public kvtest::VolumeTest {
  protected:
    void SetUp() override {
        kvtest::VolumeTest::SetUp();
        volume = add(config());
        kv::volume_scan();
        ASSERT_EQ(kv::volume_count(), 1);
    }
    virtual sim::VolumeConfig config() { return {}; }

    std::string read_whole(const char* path) {
        kv::FileHandle* f = nullptr;
        EXPECT_EQ(kv::file_open(path, kv::OPEN_READ, &f), kv::ERR_OK);
        if (!f) return {};
        std::string out;
        char buffer[7];
        for (;;) {
            size_t n = 99;
            EXPECT_EQ(kv::file_read(f, buffer, sizeof buffer, &n), kv::ERR_OK);
            if (n == 0) break;
            out.append(buffer, n);
        }
        EXPECT_EQ(kv::file_close(f), kv::ERR_OK);
        return out;
    }

    kv::ErrorCode write_file(const char* path, int flags, const std::string& bytes) {
        kv::FileHandle* f = nullptr;
        kv::ErrorCode e = kv::file_open(path, flags, &f);
        if (e != kv::ERR_OK) return e;
        e = kv::file_write_all(f, bytes.data(), bytes.size());
        kv::ErrorCode closed = kv::file_close(f);
        return e != kv::ERR_OK ? e : closed;
    }

    EFI_HANDLE volume = nullptr;
};

TEST_F(Files, BackupFlagsCreateWriteAndReadBack) {
    std::string bytes(10000, '\0');
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = char(i * 7);
    EXPECT_EQ(write_file("fs0:\\korvane-disk0.bin", kBackupFlags, bytes), kv::ERR_OK);
    EXPECT_EQ(dir().read("korvane-disk0.bin"), bytes);
    EXPECT_EQ(read_whole("FS0:\\KORVANE-DISK0.BIN"), bytes);
}

TEST_F(Files, MissingFileAndBarePathAreNotFound) {
    kv::FileHandle* f = reinterpret_cast<kv::FileHandle*>(1);
    EXPECT_EQ(kv::file_open("fs0:\\missing.bin", kv::OPEN_READ, &f), kv::ERR_NOT_FOUND);
    EXPECT_EQ(f, nullptr);
    dir().write("table.bin", "x");
    EXPECT_EQ(kv::file_open("table.bin", kv::OPEN_READ, &f), kv::ERR_NOT_FOUND);
    EXPECT_STREQ(kv::error_text(kv::file_open("table.bin", kBackupFlags, &f)), "not found");
    EXPECT_EQ(kv::file_open("fs1:\\table.bin", kv::OPEN_READ, &f), kv::ERR_NOT_FOUND);
}

TEST_F(Files, DirectoriesOpenForReadingOnly) {
    dir().mkdir("saved");
    kv::FileHandle* f = nullptr;
    for (const char* path : {"fs0:", "fs0:\\", "fs0:\\saved"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(kv::file_open(path, kv::OPEN_WRITE, &f), kv::ERR_IS_DIRECTORY);
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(kv::file_open(path, kv::OPEN_APPEND, &f), kv::ERR_IS_DIRECTORY);
        EXPECT_STREQ(kv::error_text(kv::file_open(path, kBackupFlags, &f)), "is a directory");
        ASSERT_EQ(kv::file_open(path, kv::OPEN_READ, &f), kv::ERR_OK);
        EXPECT_EQ(kv::file_close(f), kv::ERR_OK);
    }
}

TEST_F(Files, TruncateEmptiesOnlyWhenAsked) {
    dir().write("t.bin", "0123456789");
    EXPECT_EQ(write_file("fs0:\\t.bin", kv::OPEN_WRITE, "ab"), kv::ERR_OK);
    EXPECT_EQ(dir().read("t.bin"), "ab23456789") << "without truncation the tail stays";
    EXPECT_EQ(write_file("fs0:\\t.bin", kv::OPEN_WRITE | kv::OPEN_TRUNCATE, "xy"), kv::ERR_OK);
    EXPECT_EQ(dir().read("t.bin"), "xy");
}

TEST_F(Files, AppendWritesAfterTheEnd) {
    dir().write("log.txt", "abc");
    EXPECT_EQ(write_file("fs0:\\log.txt", kv::OPEN_APPEND, "def"), kv::ERR_OK);
    EXPECT_EQ(write_file("fs0:\\log.txt", kv::OPEN_WRITE | kv::OPEN_APPEND, "g"), kv::ERR_OK);
    EXPECT_EQ(dir().read("log.txt"), "abcdefg");
}

TEST_F(Files, FailedTruncationOrAppendPositionFailsTheOpen) {
    dir().write("t.bin", "0123456789");
    kv::FileHandle* f = nullptr;
    sim::fail_file_op(volume, sim::FileOp::SetInfo, 1);
    EXPECT_EQ(kv::file_open("fs0:\\t.bin", kBackupFlags, &f), kv::ERR_IO);
    EXPECT_EQ(f, nullptr);
    sim::fail_file_op(volume, sim::FileOp::SetPosition, 1);
    EXPECT_EQ(kv::file_open("fs0:\\t.bin", kv::OPEN_APPEND, &f), kv::ERR_IO);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(dir().read("t.bin"), "0123456789");
}

// Without its information a file could be a directory, and a truncating
// open could not empty it, so the open fails instead.
TEST_F(Files, UnreadableInformationFailsTheOpen) {
    dir().write("t.bin", "0123456789");
    kv::FileHandle* f = nullptr;
    sim::fail_file_op(volume, sim::FileOp::GetInfo, 1);
    EXPECT_EQ(kv::file_open("fs0:\\t.bin", kBackupFlags, &f), kv::ERR_IO);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(dir().read("t.bin"), "0123456789");
    sim::fail_file_op(volume, sim::FileOp::GetInfo, 1);
    EXPECT_EQ(kv::file_open("fs0:\\t.bin", kv::OPEN_READ, &f), kv::ERR_IO);
}

TEST_F(Files, LongNameNeedsTheGrownInformationBuffer) {
    // 200 units make a record of 482 bytes, beyond the first buffer.
    std::string name(200, 'q');
    dir().write(name, "0123456789");
    std::string path = "fs0:\\" + name;
    EXPECT_EQ(write_file(path.c_str(), kBackupFlags, "new"), kv::ERR_OK);
    EXPECT_EQ(dir().read(name), "new");
    kv::FileStat st;
    ASSERT_EQ(kv::file_stat(path.c_str(), &st), kv::ERR_OK);
    EXPECT_EQ(st.size, 3u);
    EXPECT_GE(sim::file_op_count(volume, sim::FileOp::GetInfo), 4u);
}

TEST_F(Files, ReadReportsFailuresWithNoBytes) {
    dir().write("t.bin", "0123456789");
    kv::FileHandle* f = nullptr;
    ASSERT_EQ(kv::file_open("fs0:\\t.bin", kv::OPEN_READ, &f), kv::ERR_OK);
    char buffer[4];
    size_t n = 99;
    sim::fail_file_op(volume, sim::FileOp::Read, 1);
    EXPECT_EQ(kv::file_read(f, buffer, sizeof buffer, &n), kv::ERR_IO);
    EXPECT_EQ(n, 0u);
    ASSERT_EQ(kv::file_read(f, buffer, sizeof buffer, &n), kv::ERR_OK);
    EXPECT_EQ(std::string(buffer, n), "0123");
    EXPECT_EQ(kv::file_close(f), kv::ERR_OK);
}

TEST_F(Files, WriteFailuresCarryTheirOwnTexts) {
    kv::FileHandle* f = nullptr;
    ASSERT_EQ(kv::file_open("fs0:\\t.bin", kBackupFlags, &f), kv::ERR_OK);
    sim::fail_file_op(volume, sim::FileOp::Write, 1);
    EXPECT_STREQ(kv::error_text(kv::file_write_all(f, "abc", 3)), "I/O error");
    sim::set_volume_read_only(volume, true);
    EXPECT_STREQ(kv::error_text(kv::file_write_all(f, "abc", 3)), "write protected");
    EXPECT_EQ(kv::file_write_all(f, "", 0), kv::ERR_OK) << "nothing to write never fails";
    EXPECT_EQ(kv::file_close(f), kv::ERR_OK);
}

TEST_F(Files, ShortWritesAreContinuedAndNoProgressIsAnError) {
    kv::FileHandle* f = nullptr;
    ASSERT_EQ(kv::file_open("fs0:\\t.bin", kBackupFlags, &f), kv::ERR_OK);
    sim::set_write_chunk(volume, 3);
    uint64_t before = sim::file_op_count(volume, sim::FileOp::Write);
    EXPECT_EQ(kv::file_write_all(f, "abcdefgh", 8), kv::ERR_OK);
    EXPECT_EQ(sim::file_op_count(volume, sim::FileOp::Write) - before, 3u);
    EXPECT_EQ(dir().read("t.bin"), "abcdefgh");
    sim::set_write_chunk(volume, 0);
    EXPECT_EQ(kv::file_write_all(f, "ij", 2), kv::ERR_IO);
    EXPECT_EQ(kv::file_close(f), kv::ERR_OK);
}

TEST_F(Files, CloseReportsTheFirmwaresWordAndReleasesTheHandle) {
    kv::FileHandle* f = nullptr;
    ASSERT_EQ(kv::file_open("fs0:\\t.bin", kBackupFlags, &f), kv::ERR_OK);
    sim::fail_file_op(volume, sim::FileOp::Close, 1);
    EXPECT_EQ(kv::file_close(f), kv::ERR_IO);
    EXPECT_EQ(sim::open_file_count(volume), 0u);
}

TEST_F(Files, StatGivesSizeTimeAndKind) {
    dir().write("t.bin", std::string(1234, 't'));
    auto when = std::chrono::sys_days{std::chrono::year{2023} / 12 / 31} + std::chrono::hours{13} +
                std::chrono::minutes{5} + std::chrono::seconds{9};
    std::filesystem::last_write_time(dir().path() / "t.bin",
                                     std::chrono::file_clock::from_sys(when));
    dir().mkdir("sub");
    kv::FileStat st;
    ASSERT_EQ(kv::file_stat("fs0:\\t.bin", &st), kv::ERR_OK);
    EXPECT_EQ(st.size, 1234u);
    EXPECT_FALSE(st.is_directory);
    EXPECT_EQ(st.attributes, EFI_FILE_ARCHIVE);
    EXPECT_EQ(st.year, 2023);
    EXPECT_EQ(st.month, 12);
    EXPECT_EQ(st.day, 31);
    EXPECT_EQ(st.hour, 13);
    EXPECT_EQ(st.minute, 5);
    EXPECT_EQ(st.second, 9);

    ASSERT_EQ(kv::file_stat("fs0:\\SUB", &st), kv::ERR_OK);
    EXPECT_TRUE(st.is_directory);
    EXPECT_EQ(st.attributes & EFI_FILE_DIRECTORY, EFI_FILE_DIRECTORY);
    EXPECT_EQ(kv::file_stat("fs0:\\none.bin", &st), kv::ERR_NOT_FOUND);
    sim::fail_file_op(volume, sim::FileOp::GetInfo, 1);
    EXPECT_EQ(kv::file_stat("fs0:\\t.bin", &st), kv::ERR_IO);
}

class FullVolume : public Files {
  protected:
    sim::VolumeConfig config() override {
        sim::VolumeConfig c;
        c.capacity_bytes = 4096;
        return c;
    }
};

TEST_F(FullVolume, WritingPastTheCapacityIsVolumeFull) {
    EXPECT_EQ(write_file("fs0:\\a.bin", kBackupFlags, std::string(4000, 'a')), kv::ERR_OK);
    kv::ErrorCode e = write_file("fs0:\\b.bin", kBackupFlags, std::string(200, 'b'));
    EXPECT_EQ(e, kv::ERR_VOLUME_FULL);
    EXPECT_STREQ(kv::error_text(e), "volume full");
}

class ProtectedVolume : public Files {
  protected:
    sim::VolumeConfig config() override {
        sim::VolumeConfig c;
        c.read_only = true;
        return c;
    }
};

TEST_F(ProtectedVolume, OpeningForWritingIsWriteProtectedButReadingWorks) {
    dir().write("t.bin", "keep");
    kv::FileHandle* f = nullptr;
    kv::ErrorCode e = kv::file_open("fs0:\\t.bin", kBackupFlags, &f);
    EXPECT_EQ(e, kv::ERR_WRITE_PROTECTED);
    EXPECT_STREQ(kv::error_text(e), "write protected");
    EXPECT_EQ(kv::file_open("fs0:\\new.bin", kBackupFlags, &f), kv::ERR_WRITE_PROTECTED);
    EXPECT_FALSE(dir().exists("new.bin"));
    EXPECT_EQ(read_whole("fs0:\\t.bin"), "keep");
}

} // namespace
