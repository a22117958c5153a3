#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/globals.h"
#include "platform/volumes.h"
#include "sim/device_path.h"
#include "sim/files.h"
#include "sim/firmware.h"
#include "tests/platform/volume_fixture.h"

namespace {

using kvtest::usb_path;

class VolumeScan : public kvtest::VolumeTest {};

sim::VolumeConfig on_port(uint8_t port, const std::string& label = "") {
    sim::VolumeConfig c;
    c.path = usb_path(port);
    c.label = label;
    return c;
}

TEST_F(VolumeScan, NamesFollowTheDevicePathOrderNotTheFirmwareOrder) {
    EFI_HANDLE b = add(on_port(2, "B"));
    EFI_HANDLE a = add(on_port(1, "A"));
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 2);
    EXPECT_STREQ(kv::volume_at(0)->name, "fs0");
    EXPECT_EQ(kv::volume_at(0)->handle, a);
    EXPECT_STREQ(kv::volume_at(0)->label, "A");
    EXPECT_STREQ(kv::volume_at(0)->device_path, "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x1,0x0)");
    EXPECT_STREQ(kv::volume_at(1)->name, "fs1");
    EXPECT_EQ(kv::volume_at(1)->handle, b);
    EXPECT_STREQ(kv::volume_at(1)->label, "B");
    EXPECT_EQ(kv::volume_at(2), nullptr);
    EXPECT_EQ(kv::volume_at(-1), nullptr);
}

TEST_F(VolumeScan, ReadsSizesProtectionAndRemovableMedium) {
    sim::VolumeConfig c = on_port(1, "USBSTICK");
    c.capacity_bytes = 1 << 20;
    c.read_only = true;
    c.removable = true;
    add(c);
    dir().write("x.bin", std::string(4096, 'x'));
    add(on_port(2));
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 2);
    const kv::Volume* stick = kv::volume_at(0);
    EXPECT_EQ(stick->size_bytes, 1u << 20);
    EXPECT_EQ(stick->free_bytes, (1u << 20) - 4096);
    EXPECT_TRUE(stick->read_only);
    EXPECT_TRUE(stick->removable);
    const kv::Volume* plain = kv::volume_at(1);
    EXPECT_STREQ(plain->label, "");
    EXPECT_FALSE(plain->read_only);
    EXPECT_FALSE(plain->removable);
}

TEST_F(VolumeScan, LongLabelIsReadWhole) {
    // 300 units need a record of 638 bytes, beyond the first buffer.
    std::string label(299, 'L');
    label += "Z";
    add(on_port(1, label));
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 1);
    EXPECT_EQ(std::string(kv::volume_at(0)->label), label);
}

TEST_F(VolumeScan, NonAsciiLabelBecomesUtf8) {
    add(on_port(1, "Sicherung \xC3\x84"));
    kv::volume_scan();
    EXPECT_STREQ(kv::volume_at(0)->label, "Sicherung \xC3\x84");
}

TEST_F(VolumeScan, KeepsAVolumeWhoseInformationCannotBeRead) {
    sim::VolumeConfig c = on_port(1, "LOST");
    c.removable = true;
    EFI_HANDLE info_fails = add(c);
    EFI_HANDLE open_fails = add(on_port(2, "ALSO"));
    sim::VolumeConfig removable = on_port(3);
    removable.removable = true;
    EFI_HANDLE open_fails_removable = add(removable);
    sim::fail_file_op(info_fails, sim::FileOp::GetInfo, 1);
    sim::fail_file_op(open_fails, sim::FileOp::OpenVolume, 1);
    sim::fail_file_op(open_fails_removable, sim::FileOp::OpenVolume, 1);
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 3);
    for (int i = 0; i < 3; i++) {
        const kv::Volume* v = kv::volume_at(i);
        SCOPED_TRACE(v->name);
        EXPECT_STREQ(v->label, "");
        EXPECT_EQ(v->size_bytes, 0u);
        EXPECT_EQ(v->free_bytes, 0u);
        EXPECT_FALSE(v->read_only);
    }
    EXPECT_STREQ(kv::volume_at(2)->name, "fs2");
    EXPECT_TRUE(kv::volume_at(0)->removable) << "the volume itself opened";
    EXPECT_FALSE(kv::volume_at(2)->removable) << "no flag without a successful open";
    EXPECT_EQ(sim::open_file_count(info_fails), 0u) << "the root is closed again";
}

TEST_F(VolumeScan, VolumeWithoutDevicePathSortsFirstWithEmptyText) {
    add(on_port(1, "WITH"));
    sim::VolumeConfig c;
    c.has_device_path = false;
    c.label = "WITHOUT";
    add(c);
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 2);
    EXPECT_STREQ(kv::volume_at(0)->device_path, "");
    EXPECT_STREQ(kv::volume_at(0)->label, "WITHOUT");
}

TEST_F(VolumeScan, NoConverterLeavesEveryPathEmpty) {
    add(on_port(1, "ONE"));
    sim::set_device_path_to_text(false);
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 1);
    EXPECT_STREQ(kv::volume_at(0)->device_path, "");
    EXPECT_STREQ(kv::volume_at(0)->label, "ONE");
}

TEST_F(VolumeScan, StartVolumeIsTheOneTheImageCameFrom) {
    add(on_port(2));
    EFI_HANDLE boot = add(on_port(1));
    sim::loaded_image()->DeviceHandle = boot;
    kv::volume_scan();
    EXPECT_EQ(kv::boot_volume(), 0);
}

TEST_F(VolumeScan, StartVolumeIsNoneForADeviceWithoutFileSystem) {
    add(on_port(1));
    EFI_HANDLE disk = nullptr;
    static EFI_BLOCK_IO_MEDIA media{};
    static EFI_BLOCK_IO_PROTOCOL block_io{};
    block_io.Media = &media;
    EFI_GUID block_io_guid = EFI_BLOCK_IO_PROTOCOL_GUID;
    ASSERT_EQ(sim::install_protocol(&disk, block_io_guid, &block_io), EFI_SUCCESS);
    sim::loaded_image()->DeviceHandle = disk;
    kv::volume_scan();
    EXPECT_EQ(kv::volume_count(), 1);
    EXPECT_EQ(kv::boot_volume(), -1);

    sim::loaded_image()->DeviceHandle = kv::volume_at(0)->handle;
    kv::g_loaded_image = nullptr;
    kv::volume_scan();
    EXPECT_EQ(kv::boot_volume(), -1) << "without the loaded image nothing matches";
}

TEST_F(VolumeScan, RescanRenamesAfterAVolumeIsGone) {
    add(on_port(1, "FIRST"));
    EFI_HANDLE second = add(on_port(2, "SECOND"));
    EFI_HANDLE third = add(on_port(3, "THIRD"));
    sim::loaded_image()->DeviceHandle = third;
    kv::volume_scan();
    EXPECT_EQ(kv::boot_volume(), 2);
    sim::remove_volume(second);
    kv::volume_scan();
    ASSERT_EQ(kv::volume_count(), 2);
    EXPECT_STREQ(kv::volume_at(1)->label, "THIRD");
    EXPECT_STREQ(kv::volume_at(1)->name, "fs1");
    EXPECT_EQ(kv::boot_volume(), 1);
}

TEST_F(VolumeScan, NoVolumesGivesAnEmptyList) {
    kv::volume_scan();
    EXPECT_EQ(kv::volume_count(), 0);
    EXPECT_EQ(kv::volume_at(0), nullptr);
    EXPECT_EQ(kv::boot_volume(), -1);
}

class VolumeResolve : public kvtest::VolumeTest {
  protected:
    // Eleven volumes, fs0 .. fs10, in port order.
    void SetUp() override {
        kvtest::VolumeTest::SetUp();
        for (uint8_t port = 0; port < 11; port++)
            add(on_port(port + 1, "V" + std::to_string(port)));
        kv::volume_scan();
        ASSERT_EQ(kv::volume_count(), 11);
        ASSERT_STREQ(kv::volume_at(10)->name, "fs10");
    }
};

TEST_F(VolumeResolve, MatchesTheWholeNameIgnoringCase) {
    const char* rest = nullptr;
    EXPECT_EQ(kv::volume_resolve("FS1:\\a.bin", &rest), 1);
    EXPECT_STREQ(rest, "\\a.bin");
    EXPECT_EQ(kv::volume_resolve("fs1:", &rest), 1);
    EXPECT_STREQ(rest, "");
    EXPECT_EQ(kv::volume_resolve("Fs10:x", &rest), 10);
    EXPECT_STREQ(rest, "x");
    EXPECT_EQ(kv::volume_resolve("fs1:a:b", &rest), 1) << "the first colon ends the name";
    EXPECT_STREQ(rest, "a:b");
}

TEST_F(VolumeResolve, RejectsPathsWithoutAVolumeName) {
    const char* rest = "untouched";
    EXPECT_EQ(kv::volume_resolve("table.bin", &rest), -1);
    EXPECT_EQ(rest, nullptr);
    EXPECT_EQ(kv::volume_resolve("fs", &rest), -1);
    EXPECT_EQ(kv::volume_resolve("fs:", &rest), -1);
    EXPECT_EQ(kv::volume_resolve("fs11:", &rest), -1);
    EXPECT_EQ(kv::volume_resolve("fs01:", &rest), -1);
    EXPECT_EQ(kv::volume_resolve(" fs1:", &rest), -1);
    EXPECT_EQ(kv::volume_resolve(":x", &rest), -1);
    EXPECT_EQ(kv::volume_resolve("", &rest), -1);
}

class PathOpen : public kvtest::VolumeTest {};

TEST_F(PathOpen, VolumeNameAloneOrWithBackslashesOpensTheRoot) {
    EFI_HANDLE v = add(on_port(1));
    dir().write("marker.txt", "m");
    kv::volume_scan();
    for (const char* path : {"fs0:", "fs0:\\", "FS0:\\\\\\"}) {
        SCOPED_TRACE(path);
        EFI_FILE_PROTOCOL* f = nullptr;
        ASSERT_EQ(kv::path_open(path, EFI_FILE_MODE_READ, 0, &f), EFI_SUCCESS);
        ASSERT_NE(f, nullptr);
        // A root lists its entries; marker.txt is the only one.
        char buffer[256];
        UINTN n = sizeof buffer;
        ASSERT_EQ(f->Read(f, &n, buffer), EFI_SUCCESS);
        EXPECT_GT(n, size_t(EFI_FILE_INFO_NAME_OFFSET));
        EXPECT_EQ(std::memcmp(buffer + EFI_FILE_INFO_NAME_OFFSET, u"marker.txt", 22), 0);
        f->Close(f);
    }
    EXPECT_EQ(sim::open_file_count(v), 0u);
}

TEST_F(PathOpen, OpensFilesBelowTheRootAndClosesTheRoot) {
    EFI_HANDLE v = add(on_port(1));
    dir().write("sub/t.bin", "payload");
    kv::volume_scan();
    EFI_FILE_PROTOCOL* f = nullptr;
    ASSERT_EQ(kv::path_open("fs0:\\sub\\t.bin", EFI_FILE_MODE_READ, 0, &f), EFI_SUCCESS);
    EXPECT_EQ(sim::open_file_count(v), 1u) << "only the file stays open";
    char buffer[16];
    UINTN n = sizeof buffer;
    ASSERT_EQ(f->Read(f, &n, buffer), EFI_SUCCESS);
    EXPECT_EQ(std::string(buffer, n), "payload");
    f->Close(f);
}

TEST_F(PathOpen, PassesFailuresThrough) {
    sim::VolumeConfig c = on_port(1);
    c.read_only = true;
    EFI_HANDLE v = add(c);
    dir().write("sub/t.bin", "x");
    kv::volume_scan();
    EFI_FILE_PROTOCOL* f = reinterpret_cast<EFI_FILE_PROTOCOL*>(1);
    EXPECT_EQ(kv::path_open("t.bin", EFI_FILE_MODE_READ, 0, &f), EFI_NOT_FOUND);
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(kv::path_open("fs1:\\t.bin", EFI_FILE_MODE_READ, 0, &f), EFI_NOT_FOUND);
    EXPECT_EQ(kv::path_open("fs0:sub/t.bin", EFI_FILE_MODE_READ, 0, &f), EFI_INVALID_PARAMETER)
        << "a slash reaches the firmware unchanged";
    EXPECT_EQ(kv::path_open("fs0:\\sub\\t.bin", EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0, &f),
              EFI_WRITE_PROTECTED);
    EXPECT_EQ(f, nullptr);
    sim::fail_file_op(v, sim::FileOp::OpenVolume, 1, EFI_MEDIA_CHANGED);
    EXPECT_EQ(kv::path_open("fs0:\\sub\\t.bin", EFI_FILE_MODE_READ, 0, &f), EFI_MEDIA_CHANGED);
    EXPECT_EQ(sim::open_file_count(v), 0u);
}

} // namespace
