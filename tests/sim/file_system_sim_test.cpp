#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/device_path.h"
#include "sim/files.h"
#include "sim/firmware.h"
#include "tests/platform/volume_fixture.h"

namespace {

constexpr UINT64 kRead = EFI_FILE_MODE_READ;
constexpr UINT64 kReadWrite = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE;
constexpr UINT64 kCreate = EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE;
constexpr UINT64 kEnd = 0xFFFFFFFFFFFFFFFFull;

EFI_GUID file_info_guid = EFI_FILE_INFO_ID;
EFI_GUID fs_info_guid = EFI_FILE_SYSTEM_INFO_ID;

class SimFileSystem : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override {
        for (EFI_FILE_PROTOCOL* f : open_)
            f->Close(f);
        for (EFI_HANDLE v : volumes_)
            EXPECT_EQ(sim::open_file_count(v), 0u);
    }

    EFI_HANDLE add(const sim::VolumeConfig& config = {}) {
        EFI_HANDLE v = sim::add_volume(dir.str(), config);
        volumes_.push_back(v);
        return v;
    }

    // The root, closed by the fixture.
    EFI_FILE_PROTOCOL* root(EFI_HANDLE v) {
        EFI_GUID guid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
        EFI_SIMPLE_FILE_SYSTEM_PROTOCOL* fs = nullptr;
        EXPECT_EQ(sim::system_table()->BootServices->HandleProtocol(v, &guid, (VOID**)&fs),
                  EFI_SUCCESS);
        EFI_FILE_PROTOCOL* r = nullptr;
        if (!fs || fs->OpenVolume(fs, &r) != EFI_SUCCESS) return nullptr;
        open_.push_back(r);
        return r;
    }

    // Opens `name` below `at`; a file opened is closed by the fixture.
    EFI_STATUS open(EFI_FILE_PROTOCOL* at, const std::u16string& name, UINT64 mode,
                    EFI_FILE_PROTOCOL** out = nullptr, UINT64 attributes = 0) {
        EFI_FILE_PROTOCOL* f = nullptr;
        std::u16string copy = name;
        EFI_STATUS status =
            at->Open(at, &f, reinterpret_cast<CHAR16*>(copy.data()), mode, attributes);
        if (status == EFI_SUCCESS) open_.push_back(f);
        if (out) *out = f;
        return status;
    }

    void close(EFI_FILE_PROTOCOL* f) {
        std::erase(open_, f);
        EXPECT_EQ(f->Close(f), EFI_SUCCESS);
    }

    static std::vector<uint8_t> info(EFI_FILE_PROTOCOL* f, EFI_GUID* type) {
        UINTN size = 0;
        EXPECT_EQ(f->GetInfo(f, type, &size, nullptr), EFI_BUFFER_TOO_SMALL);
        std::vector<uint8_t> buffer(size);
        EXPECT_EQ(f->GetInfo(f, type, &size, buffer.data()), EFI_SUCCESS);
        EXPECT_EQ(size, buffer.size());
        return buffer;
    }
    static EFI_FILE_INFO file_info(EFI_FILE_PROTOCOL* f) {
        EFI_FILE_INFO out{};
        std::memcpy(&out, info(f, &file_info_guid).data(), EFI_FILE_INFO_NAME_OFFSET);
        return out;
    }
    static std::u16string name_in(const std::vector<uint8_t>& record, size_t offset) {
        std::u16string s;
        for (size_t i = offset; i + 1 < record.size(); i += 2) {
            char16_t c = char16_t(record[i] | record[i + 1] << 8);
            if (!c) break;
            s += c;
        }
        return s;
    }

    static std::string read_all(EFI_FILE_PROTOCOL* f) {
        char buffer[64];
        std::string out;
        for (;;) {
            UINTN n = sizeof buffer;
            EXPECT_EQ(f->Read(f, &n, buffer), EFI_SUCCESS);
            if (n == 0) return out;
            out.append(buffer, n);
        }
    }
    static EFI_STATUS write(EFI_FILE_PROTOCOL* f, std::string bytes, UINTN* written = nullptr) {
        UINTN n = bytes.size();
        EFI_STATUS status = f->Write(f, &n, bytes.data());
        if (written) *written = n;
        return status;
    }

    // Files the fixture closes at the end; a test that closes one itself
    // takes it out.
    std::vector<EFI_FILE_PROTOCOL*>& open_files() { return open_; }

    kvtest::TempDir dir;

  private:
    std::vector<EFI_FILE_PROTOCOL*> open_;
    std::vector<EFI_HANDLE> volumes_;
};

TEST_F(SimFileSystem, AcceptsOnlyTheThreeOpenModes) {
    dir.write("a.bin", "x");
    EFI_FILE_PROTOCOL* r = root(add());
    EXPECT_EQ(open(r, u"a.bin", EFI_FILE_MODE_WRITE), EFI_INVALID_PARAMETER);
    EXPECT_EQ(open(r, u"a.bin", EFI_FILE_MODE_READ | EFI_FILE_MODE_CREATE), EFI_INVALID_PARAMETER);
    EXPECT_EQ(open(r, u"a.bin", 0), EFI_INVALID_PARAMETER);
    EXPECT_EQ(open(r, u"new.bin", kCreate, nullptr, 0x100), EFI_INVALID_PARAMETER);
    EXPECT_FALSE(dir.exists("new.bin"));
    EXPECT_EQ(open(r, u"a.bin", kRead), EFI_SUCCESS);
    EXPECT_EQ(open(r, u"a.bin", kReadWrite), EFI_SUCCESS);
    EXPECT_EQ(open(r, u"missing.bin", kReadWrite), EFI_NOT_FOUND);
    EXPECT_EQ(open(r, u"", kRead), EFI_INVALID_PARAMETER);
}

TEST_F(SimFileSystem, CreateMakesFilesAndDirectoriesButOpensWhatExists) {
    dir.write("Keep.txt", "old");
    EFI_FILE_PROTOCOL* r = root(add());
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(r, u"keep.TXT", kCreate, &f), EFI_SUCCESS);
    EXPECT_EQ(read_all(f), "old");
    EXPECT_FALSE(dir.exists("keep.TXT"));

    ASSERT_EQ(open(r, u"Sub", kCreate, nullptr, EFI_FILE_DIRECTORY), EFI_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "Sub"));
    ASSERT_EQ(open(r, u"sub\\New.bin", kCreate), EFI_SUCCESS);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.path() / "Sub" / "New.bin"));
    EXPECT_EQ(open(r, u"none\\x.bin", kCreate), EFI_NOT_FOUND);
    EXPECT_EQ(open(r, u"dir-to-be\\", kCreate), EFI_NOT_FOUND);
}

TEST_F(SimFileSystem, OnlyBackslashSeparatesComponents) {
    dir.write("d/e/f.txt", "deep");
    dir.write("top.txt", "top");
    EFI_FILE_PROTOCOL* r = root(add());
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(r, u"d\\\\e\\f.txt", kRead, &f), EFI_SUCCESS);
    EXPECT_EQ(read_all(f), "deep");
    EXPECT_EQ(open(r, u"d/e/f.txt", kRead), EFI_INVALID_PARAMETER);
    EXPECT_EQ(open(r, u"d\\e\\f.txt\\", kRead), EFI_NOT_FOUND);
    EXPECT_EQ(open(r, u"top.txt\\x", kRead), EFI_NOT_FOUND);
    for (const char16_t* bad : {u"a*b", u"a:b", u"a?b", u"a|b", u"a<b", u"a\"b"})
        EXPECT_EQ(open(r, bad, kCreate), EFI_INVALID_PARAMETER) << sim::utf16_to_utf8(bad);

    EFI_FILE_PROTOCOL* e = nullptr;
    ASSERT_EQ(open(r, u"d\\e", kRead, &e), EFI_SUCCESS);
    EXPECT_EQ(open(e, u"f.txt", kRead, &f), EFI_SUCCESS);
    EXPECT_EQ(read_all(f), "deep");
    ASSERT_EQ(open(e, u"\\top.txt", kRead, &f), EFI_SUCCESS) << "a leading \\ starts at the root";
    EXPECT_EQ(read_all(f), "top");
    ASSERT_EQ(open(e, u"..\\..\\.\\top.txt", kRead, &f), EFI_SUCCESS);
    EXPECT_EQ(read_all(f), "top");
    EXPECT_EQ(open(r, u"..\\top.txt", kRead), EFI_INVALID_PARAMETER);
    ASSERT_EQ(open(r, u"  top.txt. .", kRead, &f), EFI_SUCCESS);
    EXPECT_EQ(read_all(f), "top");
}

TEST_F(SimFileSystem, ReadsWritesAndMovesThePosition) {
    EFI_FILE_PROTOCOL* r = root(add());
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(r, u"data.bin", kCreate, &f), EFI_SUCCESS);
    UINTN written = 0;
    EXPECT_EQ(write(f, "hello", &written), EFI_SUCCESS);
    EXPECT_EQ(written, 5u);
    UINT64 position = 0;
    EXPECT_EQ(f->GetPosition(f, &position), EFI_SUCCESS);
    EXPECT_EQ(position, 5u);

    EXPECT_EQ(f->SetPosition(f, 8), EFI_SUCCESS);
    EXPECT_EQ(write(f, "!"), EFI_SUCCESS);
    EXPECT_EQ(dir.read("data.bin"), std::string("hello\0\0\0!", 9));

    EXPECT_EQ(f->SetPosition(f, 1), EFI_SUCCESS);
    EXPECT_EQ(write(f, "E"), EFI_SUCCESS);
    EXPECT_EQ(f->SetPosition(f, kEnd), EFI_SUCCESS);
    EXPECT_EQ(f->GetPosition(f, &position), EFI_SUCCESS);
    EXPECT_EQ(position, 9u);

    char buffer[4];
    UINTN n = sizeof buffer;
    EXPECT_EQ(f->Read(f, &n, buffer), EFI_SUCCESS);
    EXPECT_EQ(n, 0u) << "reading at the end gives nothing";
    EXPECT_EQ(f->SetPosition(f, 10), EFI_SUCCESS);
    n = sizeof buffer;
    EXPECT_EQ(f->Read(f, &n, buffer), EFI_DEVICE_ERROR) << "reading past the end";
    EXPECT_EQ(f->SetPosition(f, 0), EFI_SUCCESS);
    EXPECT_EQ(read_all(f), std::string("hEllo\0\0\0!", 9));
}

TEST_F(SimFileSystem, ReadOnlyOpensCannotWriteOrChangeInformation) {
    dir.write("a.bin", "abc");
    EFI_FILE_PROTOCOL* r = root(add());
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(r, u"a.bin", kRead, &f), EFI_SUCCESS);
    UINTN written = 99;
    EXPECT_EQ(write(f, "x", &written), EFI_ACCESS_DENIED);
    EXPECT_EQ(written, 0u);
    std::vector<uint8_t> record = info(f, &file_info_guid);
    EXPECT_EQ(f->SetInfo(f, &file_info_guid, record.size(), record.data()), EFI_ACCESS_DENIED);
    EXPECT_EQ(f->Flush(f), EFI_ACCESS_DENIED);
    EXPECT_EQ(dir.read("a.bin"), "abc");
}

TEST_F(SimFileSystem, FileInfoDescribesTheHostFile) {
    std::string name(130, 'n');
    dir.write(name, std::string(5000, 'z'));
    auto when = std::chrono::sys_days{std::chrono::year{2024} / 2 / 29} + std::chrono::hours{23} +
                std::chrono::minutes{58} + std::chrono::seconds{7};
    std::filesystem::last_write_time(dir.path() / name, std::chrono::file_clock::from_sys(when));
    EFI_FILE_PROTOCOL* r = root(add());
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(r, std::u16string(130, u'N'), kRead, &f), EFI_SUCCESS);

    UINTN size = 336;
    std::vector<uint8_t> small(size);
    EXPECT_EQ(f->GetInfo(f, &file_info_guid, &size, small.data()), EFI_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, EFI_FILE_INFO_NAME_OFFSET + 131u * 2);

    std::vector<uint8_t> record = info(f, &file_info_guid);
    EFI_FILE_INFO fi;
    std::memcpy(&fi, record.data(), EFI_FILE_INFO_NAME_OFFSET);
    EXPECT_EQ(fi.Size, record.size());
    EXPECT_EQ(fi.FileSize, 5000u);
    EXPECT_EQ(fi.PhysicalSize, 8192u);
    EXPECT_EQ(fi.Attribute, EFI_FILE_ARCHIVE);
    EXPECT_EQ(name_in(record, EFI_FILE_INFO_NAME_OFFSET), std::u16string(130, u'n'));
    EXPECT_EQ(fi.ModificationTime.Year, 2024);
    EXPECT_EQ(fi.ModificationTime.Month, 2);
    EXPECT_EQ(fi.ModificationTime.Day, 29);
    EXPECT_EQ(fi.ModificationTime.Hour, 23);
    EXPECT_EQ(fi.ModificationTime.Minute, 58);
    EXPECT_EQ(fi.ModificationTime.Second, 7);

    EXPECT_EQ(file_info(r).Attribute, EFI_FILE_DIRECTORY);
    EFI_GUID other = EFI_BLOCK_IO_PROTOCOL_GUID;
    size = 1024;
    std::vector<uint8_t> buffer(size);
    EXPECT_EQ(f->GetInfo(f, &other, &size, buffer.data()), EFI_UNSUPPORTED);
}

TEST_F(SimFileSystem, SetInfoTruncatesExtendsRenamesAndProtects) {
    dir.write("a.bin", "abcdef");
    EFI_FILE_PROTOCOL* r = root(add());
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(r, u"a.bin", kReadWrite, &f), EFI_SUCCESS);
    std::vector<uint8_t> record = info(f, &file_info_guid);
    auto* fi = reinterpret_cast<EFI_FILE_INFO*>(record.data());

    fi->FileSize = 2;
    ASSERT_EQ(f->SetInfo(f, &file_info_guid, record.size(), record.data()), EFI_SUCCESS);
    EXPECT_EQ(dir.read("a.bin"), "ab");
    fi->FileSize = 4;
    ASSERT_EQ(f->SetInfo(f, &file_info_guid, record.size(), record.data()), EFI_SUCCESS);
    EXPECT_EQ(dir.read("a.bin"), std::string("ab\0\0", 4));

    EXPECT_EQ(f->SetInfo(f, &file_info_guid, record.size() - 1, record.data()),
              EFI_BAD_BUFFER_SIZE);
    fi->Attribute |= EFI_FILE_DIRECTORY;
    EXPECT_EQ(f->SetInfo(f, &file_info_guid, record.size(), record.data()), EFI_ACCESS_DENIED);
    fi->Attribute &= ~EFI_FILE_DIRECTORY;

    std::u16string renamed = u"b.bin";
    std::vector<uint8_t> with_name(EFI_FILE_INFO_NAME_OFFSET + (renamed.size() + 1) * 2, 0);
    std::memcpy(with_name.data(), record.data(), EFI_FILE_INFO_NAME_OFFSET);
    std::memcpy(with_name.data() + EFI_FILE_INFO_NAME_OFFSET, renamed.data(), renamed.size() * 2);
    reinterpret_cast<EFI_FILE_INFO*>(with_name.data())->Size = with_name.size();
    reinterpret_cast<EFI_FILE_INFO*>(with_name.data())->Attribute |= EFI_FILE_READ_ONLY;
    ASSERT_EQ(f->SetInfo(f, &file_info_guid, with_name.size(), with_name.data()), EFI_SUCCESS);
    EXPECT_FALSE(dir.exists("a.bin"));
    EXPECT_TRUE(dir.exists("b.bin"));
    EXPECT_EQ(file_info(f).Attribute, EFI_FILE_ARCHIVE | EFI_FILE_READ_ONLY);
    EXPECT_EQ(open(r, u"B.BIN", kReadWrite), EFI_ACCESS_DENIED);
    EXPECT_EQ(open(r, u"B.BIN", kRead), EFI_SUCCESS);
}

TEST_F(SimFileSystem, FileSystemInfoReportsLabelSpaceAndProtection) {
    sim::VolumeConfig c;
    c.label = "BACKUP";
    c.capacity_bytes = 1 << 20;
    c.cluster_size = 2048;
    EFI_HANDLE v = add(c);
    dir.write("x.bin", std::string(1000, 'x'));
    EFI_FILE_PROTOCOL* r = root(v);
    std::vector<uint8_t> record = info(r, &fs_info_guid);
    EFI_FILE_SYSTEM_INFO fsi;
    std::memcpy(&fsi, record.data(), EFI_FILE_SYSTEM_INFO_LABEL_OFFSET);
    EXPECT_EQ(fsi.Size, EFI_FILE_SYSTEM_INFO_LABEL_OFFSET + 7u * 2);
    EXPECT_EQ(fsi.Size, record.size());
    EXPECT_FALSE(fsi.ReadOnly);
    EXPECT_EQ(fsi.VolumeSize, 1u << 20);
    EXPECT_EQ(fsi.FreeSpace, (1u << 20) - 1000);
    EXPECT_EQ(fsi.BlockSize, 2048u);
    EXPECT_EQ(name_in(record, EFI_FILE_SYSTEM_INFO_LABEL_OFFSET), u"BACKUP");

    std::u16string label = u"NEW";
    std::vector<uint8_t> changed(EFI_FILE_SYSTEM_INFO_LABEL_OFFSET + 8, 0);
    std::memcpy(changed.data(), record.data(), EFI_FILE_SYSTEM_INFO_LABEL_OFFSET);
    std::memcpy(changed.data() + EFI_FILE_SYSTEM_INFO_LABEL_OFFSET, label.data(), 6);
    ASSERT_EQ(r->SetInfo(r, &fs_info_guid, changed.size(), changed.data()), EFI_SUCCESS);
    EXPECT_EQ(name_in(info(r, &fs_info_guid), EFI_FILE_SYSTEM_INFO_LABEL_OFFSET), u"NEW");

    sim::set_volume_read_only(v, true);
    record = info(r, &fs_info_guid);
    EXPECT_TRUE(reinterpret_cast<EFI_FILE_SYSTEM_INFO*>(record.data())->ReadOnly);
}

TEST_F(SimFileSystem, DirectoryReadsGiveOneEntryAtATime) {
    dir.write("d/b.txt", "bb");
    dir.mkdir("d/a");
    EFI_FILE_PROTOCOL* r = root(add());
    EFI_FILE_PROTOCOL* d = nullptr;
    ASSERT_EQ(open(r, u"d", kReadWrite, &d), EFI_SUCCESS) << "FAT opens directories for writing";

    std::vector<std::u16string> names;
    std::vector<bool> directories;
    for (;;) {
        UINTN size = EFI_FILE_INFO_NAME_OFFSET + 2;
        std::vector<uint8_t> buffer(size);
        EFI_STATUS status = d->Read(d, &size, buffer.data());
        if (status == EFI_BUFFER_TOO_SMALL) {
            buffer.resize(size);
            status = d->Read(d, &size, buffer.data());
        }
        ASSERT_EQ(status, EFI_SUCCESS);
        if (size == 0) break;
        names.push_back(name_in(buffer, EFI_FILE_INFO_NAME_OFFSET));
        directories.push_back(reinterpret_cast<EFI_FILE_INFO*>(buffer.data())->Attribute &
                              EFI_FILE_DIRECTORY);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"a", u"b.txt"}));
    EXPECT_EQ(directories, (std::vector<bool>{true, true, true, false}));

    UINT64 position;
    EXPECT_EQ(d->GetPosition(d, &position), EFI_UNSUPPORTED);
    EXPECT_EQ(d->SetPosition(d, 3), EFI_UNSUPPORTED);
    ASSERT_EQ(d->SetPosition(d, 0), EFI_SUCCESS);
    std::vector<uint8_t> buffer(512);
    UINTN size = buffer.size();
    ASSERT_EQ(d->Read(d, &size, buffer.data()), EFI_SUCCESS);
    EXPECT_EQ(name_in(buffer, EFI_FILE_INFO_NAME_OFFSET), u".");
    EXPECT_EQ(write(d, "x"), EFI_UNSUPPORTED);

    size = buffer.size();
    ASSERT_EQ(r->Read(r, &size, buffer.data()), EFI_SUCCESS);
    EXPECT_EQ(name_in(buffer, EFI_FILE_INFO_NAME_OFFSET), u"d") << "the root has no dot entries";
}

TEST_F(SimFileSystem, ReadOnlyVolumeRefusesEveryChange) {
    dir.write("a.bin", "abc");
    sim::VolumeConfig c;
    c.read_only = true;
    EFI_FILE_PROTOCOL* r = root(add(c));
    EXPECT_EQ(open(r, u"a.bin", kReadWrite), EFI_WRITE_PROTECTED);
    EXPECT_EQ(open(r, u"new.bin", kCreate), EFI_WRITE_PROTECTED);
    EXPECT_FALSE(dir.exists("new.bin"));
    EXPECT_EQ(open(r, u"a.bin", kRead), EFI_SUCCESS);
}

TEST_F(SimFileSystem, ProtectionSwitchedOnLaterStopsWrites) {
    EFI_HANDLE v = add();
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(root(v), u"a.bin", kCreate, &f), EFI_SUCCESS);
    sim::set_volume_read_only(v, true);
    UINTN written = 99;
    EXPECT_EQ(write(f, "abc", &written), EFI_WRITE_PROTECTED);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(dir.read("a.bin"), "");
}

TEST_F(SimFileSystem, WritesBeyondTheCapacityFailWithoutStoringAnything) {
    sim::VolumeConfig c;
    c.capacity_bytes = 1000;
    EFI_HANDLE v = add(c);
    dir.write("other.bin", std::string(300, 'o'));
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(root(v), u"a.bin", kCreate, &f), EFI_SUCCESS);
    EXPECT_EQ(write(f, std::string(600, 'a')), EFI_SUCCESS);
    UINTN written = 99;
    EXPECT_EQ(write(f, std::string(101, 'b'), &written), EFI_VOLUME_FULL);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(dir.read("a.bin"), std::string(600, 'a'));
    EXPECT_EQ(write(f, std::string(100, 'b')), EFI_SUCCESS) << "exactly full still fits";

    ASSERT_EQ(f->SetPosition(f, 0), EFI_SUCCESS);
    EXPECT_EQ(write(f, std::string(700, 'c')), EFI_SUCCESS) << "overwriting needs no space";
    EXPECT_EQ(f->SetPosition(f, ~0ull - 1), EFI_SUCCESS);
    EXPECT_EQ(write(f, "x"), EFI_VOLUME_FULL);

    std::vector<uint8_t> record = info(f, &file_info_guid);
    reinterpret_cast<EFI_FILE_INFO*>(record.data())->FileSize = 701;
    EXPECT_EQ(f->SetInfo(f, &file_info_guid, record.size(), record.data()), EFI_VOLUME_FULL);
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "a.bin"), 700u);
}

TEST_F(SimFileSystem, InjectedFaultsHitTheNthOperationOfTheirKind) {
    dir.write("a.bin", "abcdef");
    EFI_HANDLE v = add();
    EFI_FILE_PROTOCOL* r = root(v);
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(r, u"a.bin", kReadWrite, &f), EFI_SUCCESS);

    sim::fail_file_op(v, sim::FileOp::Read, 2);
    char buffer[2];
    UINTN n = 2;
    EXPECT_EQ(f->Read(f, &n, buffer), EFI_SUCCESS);
    n = 2;
    EXPECT_EQ(f->Read(f, &n, buffer), EFI_DEVICE_ERROR);
    EXPECT_EQ(n, 0u);
    n = 2;
    EXPECT_EQ(f->Read(f, &n, buffer), EFI_SUCCESS) << "a fault without and_after fires once";
    EXPECT_EQ(std::string(buffer, 2), "cd") << "the failed read did not move the position";

    sim::fail_file_op(v, sim::FileOp::Write, 1, EFI_MEDIA_CHANGED, true);
    EXPECT_EQ(write(f, "X"), EFI_MEDIA_CHANGED);
    EXPECT_EQ(write(f, "X"), EFI_MEDIA_CHANGED);
    EXPECT_EQ(dir.read("a.bin"), "abcdef");

    sim::fail_file_op(v, sim::FileOp::Any, 1);
    UINT64 position;
    EXPECT_EQ(f->GetPosition(f, &position), EFI_DEVICE_ERROR);
    EXPECT_EQ(f->GetPosition(f, &position), EFI_SUCCESS);

    sim::fail_file_op(v, sim::FileOp::Open, 1);
    EFI_FILE_PROTOCOL* g = nullptr;
    EXPECT_EQ(open(r, u"a.bin", kRead, &g), EFI_DEVICE_ERROR);
    EXPECT_EQ(g, nullptr);

    size_t before = sim::open_file_count(v);
    sim::fail_file_op(v, sim::FileOp::Close, 1);
    ASSERT_EQ(open(r, u"a.bin", kRead, &g), EFI_SUCCESS);
    EXPECT_EQ(sim::open_file_count(v), before + 1);
    EXPECT_EQ(g->Close(g), EFI_DEVICE_ERROR);
    EXPECT_EQ(sim::open_file_count(v), before) << "a failed Close still closes";
    EXPECT_EQ(g->Close(g), EFI_INVALID_PARAMETER) << "the handle is gone";
    EXPECT_GE(sim::file_op_count(v, sim::FileOp::Read), 3u);
}

TEST_F(SimFileSystem, ShortWritesStoreOnlyTheChunk) {
    EFI_HANDLE v = add();
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(root(v), u"a.bin", kCreate, &f), EFI_SUCCESS);
    sim::set_write_chunk(v, 3);
    UINTN written = 0;
    EXPECT_EQ(write(f, "abcdef", &written), EFI_SUCCESS);
    EXPECT_EQ(written, 3u);
    sim::set_write_chunk(v, 0);
    EXPECT_EQ(write(f, "def", &written), EFI_SUCCESS);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(dir.read("a.bin"), "abc");
}

TEST_F(SimFileSystem, DeleteRemovesFilesAndEmptyDirectoriesOnly) {
    dir.write("a.bin", "a");
    dir.write("full/x", "x");
    EFI_HANDLE v = add();
    EFI_FILE_PROTOCOL* r = root(v);
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(r, u"a.bin", kReadWrite, &f), EFI_SUCCESS);
    size_t before = sim::open_file_count(v);
    std::erase(open_files(), f);
    EXPECT_EQ(f->Delete(f), EFI_SUCCESS);
    EXPECT_FALSE(dir.exists("a.bin"));
    EXPECT_EQ(sim::open_file_count(v), before - 1);

    ASSERT_EQ(open(r, u"full", kReadWrite, &f), EFI_SUCCESS);
    std::erase(open_files(), f);
    EXPECT_EQ(f->Delete(f), EFI_WARN_DELETE_FAILURE);
    EXPECT_TRUE(dir.exists("full/x"));
    EXPECT_EQ(sim::open_file_count(v), before - 1) << "a failed delete still closes";
}

TEST_F(SimFileSystem, VolumeHandleCarriesDevicePathAndRemovableMedium) {
    sim::VolumeConfig c;
    c.removable = true;
    c.path = kvtest::usb_path(3);
    EFI_HANDLE v = add(c);
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    EFI_GUID path_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    VOID* path = nullptr;
    ASSERT_EQ(bs->HandleProtocol(v, &path_guid, &path), EFI_SUCCESS);
    std::string text;
    ASSERT_TRUE(sim::device_path_text(path, &text));
    EXPECT_EQ(text, "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x3,0x0)");

    EFI_GUID block_io_guid = EFI_BLOCK_IO_PROTOCOL_GUID;
    EFI_BLOCK_IO_PROTOCOL* block_io = nullptr;
    ASSERT_EQ(bs->HandleProtocol(v, &block_io_guid, (VOID**)&block_io), EFI_SUCCESS);
    EXPECT_TRUE(block_io->Media->RemovableMedia);
    EXPECT_TRUE(block_io->Media->LogicalPartition) << "disk discovery must pass it by";

    EFI_GUID to_text_guid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
    VOID* to_text = nullptr;
    EXPECT_EQ(bs->LocateProtocol(&to_text_guid, nullptr, &to_text), EFI_SUCCESS);
}

TEST_F(SimFileSystem, GoesOntoAnExistingHandleWhenAsked) {
    EFI_HANDLE partition = nullptr;
    static EFI_BLOCK_IO_MEDIA media{};
    static EFI_BLOCK_IO_PROTOCOL block_io{};
    block_io.Media = &media;
    EFI_GUID block_io_guid = EFI_BLOCK_IO_PROTOCOL_GUID;
    ASSERT_EQ(sim::install_protocol(&partition, block_io_guid, &block_io), EFI_SUCCESS);
    sim::VolumeConfig c;
    c.on_handle = partition;
    EXPECT_EQ(add(c), partition);
    EFI_GUID path_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    VOID* path = nullptr;
    EXPECT_EQ(sim::system_table()->BootServices->HandleProtocol(partition, &path_guid, &path),
              EFI_UNSUPPORTED)
        << "the handle keeps what it had";
    EXPECT_NE(root(partition), nullptr);
}

TEST_F(SimFileSystem, RemovedVolumeDisappearsAndItsFilesLoseTheMedium) {
    dir.write("a.bin", "a");
    EFI_HANDLE v = add();
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(open(root(v), u"a.bin", kRead, &f), EFI_SUCCESS);
    sim::remove_volume(v);
    EFI_GUID fs_guid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
    UINTN count = 0;
    EFI_HANDLE* handles = nullptr;
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    EXPECT_EQ(bs->LocateHandleBuffer(ByProtocol, &fs_guid, nullptr, &count, &handles),
              EFI_NOT_FOUND);
    char c;
    UINTN n = 1;
    EXPECT_EQ(f->Read(f, &n, &c), EFI_NO_MEDIA);
}

TEST_F(SimFileSystem, ResetForgetsEarlierVolumes) {
    EFI_HANDLE first = add();
    std::erase(open_files(), root(first));
    sim::reset();
    EFI_HANDLE second = add();
    EXPECT_EQ(sim::open_file_count(second), 0u);
    EXPECT_EQ(sim::file_op_count(second, sim::FileOp::Any), 0u);
    EFI_GUID fs_guid = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
    UINTN count = 0;
    EFI_HANDLE* handles = nullptr;
    EFI_BOOT_SERVICES* bs = sim::system_table()->BootServices;
    ASSERT_EQ(bs->LocateHandleBuffer(ByProtocol, &fs_guid, nullptr, &count, &handles), EFI_SUCCESS);
    EXPECT_EQ(count, 1u);
    bs->FreePool(handles);
}

} // namespace
