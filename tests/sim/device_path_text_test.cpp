#include <gtest/gtest.h>

#include <string>

#include "sim/device_path.h"
#include "sim/disks.h"
#include "sim/firmware.h"
#include "tests/sim/storage_images.h"

namespace {

using kvtest::StorageTest;
namespace dp = sim::dp;

class DevicePathText : public StorageTest {
  protected:
    EFI_DEVICE_PATH_TO_TEXT_PROTOCOL* converter() {
        EFI_GUID guid = EFI_DEVICE_PATH_TO_TEXT_PROTOCOL_GUID;
        void* iface = nullptr;
        if (EFI_ERROR(bs()->LocateProtocol(&guid, nullptr, &iface))) return nullptr;
        return static_cast<EFI_DEVICE_PATH_TO_TEXT_PROTOCOL*>(iface);
    }

    // The text through the installed protocol, the pool copy freed again;
    // "<null>" when the converter refuses.
    std::string convert(const sim::PathBytes& path) {
        EFI_DEVICE_PATH_TO_TEXT_PROTOCOL* to_text = converter();
        if (!to_text) return "<no converter>";
        CHAR16* wide = to_text->ConvertDevicePathToText(
            reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(path.data()), FALSE, TRUE);
        if (!wide) return "<null>";
        std::string text = sim::utf16_to_utf8(std::u16string(reinterpret_cast<char16_t*>(wide)));
        EXPECT_EQ(bs()->FreePool(wide), EFI_SUCCESS);
        return text;
    }

    std::string text_of(EFI_HANDLE handle) {
        EFI_GUID guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
        void* path = nullptr;
        if (EFI_ERROR(bs()->HandleProtocol(handle, &guid, &path))) return "<no path>";
        std::string text;
        return sim::device_path_text(path, &text) ? text : "<null>";
    }
};

TEST_F(DevicePathText, BusPathsReadAsOvmfWritesThem) {
    sim::set_device_path_to_text(true);
    auto root = dp::pci_root(0);
    EXPECT_EQ(convert(dp::path({root, dp::pci(2, 0)})), "PciRoot(0x0)/Pci(0x2,0x0)");
    EXPECT_EQ(convert(dp::path({root, dp::pci(4, 0), dp::sata(0)})),
              "PciRoot(0x0)/Pci(0x4,0x0)/Sata(0x0,0xFFFF,0x0)");
    EXPECT_EQ(convert(dp::path({root, dp::pci(5, 0), dp::nvme(1)})),
              "PciRoot(0x0)/Pci(0x5,0x0)/NVMe(0x1,00-00-00-00-00-00-00-00)");
    EXPECT_EQ(convert(dp::path({root, dp::pci(7, 0), dp::usb(0, 0)})),
              "PciRoot(0x0)/Pci(0x7,0x0)/USB(0x0,0x0)");
    EXPECT_EQ(convert(dp::path({root, dp::pci(8, 0), dp::scsi(0, 0)})),
              "PciRoot(0x0)/Pci(0x8,0x0)/Scsi(0x0,0x0)");
    EXPECT_EQ(convert(dp::path({root, dp::pci(1, 1), dp::ata(true, false, 0)})),
              "PciRoot(0x0)/Pci(0x1,0x1)/Ata(Secondary,Master,0x0)");
    EXPECT_EQ(convert(dp::path({root, dp::pci(9, 0), dp::sd(1)})),
              "PciRoot(0x0)/Pci(0x9,0x0)/SD(0x1)");
    EXPECT_EQ(convert(dp::path({dp::pci_root(0x1A), dp::pci(0xA, 0), dp::emmc(0)})),
              "PciRoot(0x1A)/Pci(0xA,0x0)/eMMC(0x0)");
}

TEST_F(DevicePathText, FieldsKeepTheirOrderAndWidth) {
    sim::set_device_path_to_text(true);
    // Each field distinct, so a swapped or truncated one shows.
    EXPECT_EQ(convert(dp::path({dp::sata(0x1234, 0x5678, 0x9ABC)})), "Sata(0x1234,0x5678,0x9ABC)");
    EXPECT_EQ(convert(dp::path({dp::pci(0x1F, 0x7)})), "Pci(0x1F,0x7)");
    EXPECT_EQ(convert(dp::path({dp::nvme(0x10002, 0x0102030405060708ull)})),
              "NVMe(0x10002,01-02-03-04-05-06-07-08)");
    EXPECT_EQ(convert(dp::path({dp::scsi(0x3, 0x101)})), "Scsi(0x3,0x101)");
    EXPECT_EQ(convert(dp::path({dp::ata(false, true, 2)})), "Ata(Primary,Slave,0x2)");
}

TEST_F(DevicePathText, PartitionNodesNameTheirTable) {
    sim::set_device_path_to_text(true);
    kvtest::Guid g = kvtest::guid("5CBC575A-D212-46BB-9281-AFF9AC12690C");
    EXPECT_EQ(convert(dp::path({dp::pci_root(), dp::pci(2, 0),
                                dp::hard_drive_gpt(1, 0x800, 0x10000, g.data())})),
              "PciRoot(0x0)/Pci(0x2,0x0)/HD(1,GPT,5CBC575A-D212-46BB-9281-AFF9AC12690C,0x800,"
              "0x10000)");
    EXPECT_EQ(convert(dp::path({dp::pci_root(), dp::pci(0x1F, 2), dp::sata(0),
                                dp::hard_drive_mbr(1, 0x3F, 0xFBFC1, 0xBE1AFDFA)})),
              "PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0)/HD(1,MBR,0xBE1AFDFA,0x3F,0xFBFC1)");
    // The signature keeps its leading zeros; start and size do not.
    EXPECT_EQ(convert(dp::path({dp::hard_drive_mbr(5, 0x100000000ull, 0x800, 0xAB)})),
              "HD(5,MBR,0x000000AB,0x100000000,0x800)");
}

TEST_F(DevicePathText, OtherNodesUseTheGenericForm) {
    sim::set_device_path_to_text(true);
    EXPECT_EQ(convert(dp::path({dp::pci_root(), dp::node(9, 1, {0xAB, 0x0C})})),
              "PciRoot(0x0)/Path(9,1,AB0C)");
    EXPECT_EQ(convert(dp::path({dp::node(MESSAGING_DEVICE_PATH, 0x30, {1})})), "Msg(48,01)");
    EXPECT_EQ(convert(dp::path({dp::node(HARDWARE_DEVICE_PATH, 0x7, {})})), "HardwarePath(7)");
    // A known node too short for its layout is not read past its end.
    EXPECT_EQ(convert(dp::path({dp::node(HARDWARE_DEVICE_PATH, HW_PCI_DP, {3})})),
              "HardwarePath(1,03)");
    EXPECT_EQ(convert(dp::path({dp::file_path(u"\\EFI\\BOOT")})), "\\EFI\\BOOT");
}

TEST_F(DevicePathText, InstancesAreSeparatedByCommas) {
    sim::set_device_path_to_text(true);
    EXPECT_EQ(convert(dp::path({dp::pci_root(), dp::pci(1, 0), dp::end_instance(), dp::pci_root(1),
                                dp::pci(2, 0)})),
              "PciRoot(0x0)/Pci(0x1,0x0),PciRoot(0x1)/Pci(0x2,0x0)");
}

TEST_F(DevicePathText, MalformedPathsGiveNull) {
    sim::set_device_path_to_text(true);
    sim::PathBytes bad = dp::path({dp::pci_root(), dp::pci(2, 0)});
    bad[12 + 2] = 2; // the Pci node claims to be shorter than its header
    EXPECT_EQ(convert(bad), "<null>");
    // No end node anywhere: the walk stops at 64 KiB instead of running on.
    sim::PathBytes endless;
    while (endless.size() < (1 << 16) + 16) {
        sim::PathBytes n = dp::pci(1, 1);
        endless.insert(endless.end(), n.begin(), n.end());
    }
    EXPECT_EQ(convert(endless), "<null>");
}

TEST_F(DevicePathText, TextComesFromThePool) {
    sim::set_device_path_to_text(true);
    sim::fail_pool_after(0);
    EXPECT_EQ(convert(dp::path({dp::pci_root()})), "<null>");
    sim::fail_pool_after(-1);
    EXPECT_EQ(convert(dp::path({dp::pci_root()})), "PciRoot(0x0)");
}

TEST_F(DevicePathText, NodeConversionCoversOneNode) {
    sim::set_device_path_to_text(true);
    sim::PathBytes p = dp::path({dp::pci_root(), dp::pci(3, 0)});
    CHAR16* wide = converter()->ConvertDeviceNodeToText(
        reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL*>(p.data() + 12), FALSE, TRUE);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(sim::utf16_to_utf8(reinterpret_cast<char16_t*>(wide)), "Pci(0x3,0x0)");
    bs()->FreePool(wide);
}

TEST_F(DevicePathText, PresentOnceADiskExistsUnlessSwitchedOff) {
    EXPECT_EQ(converter(), nullptr);
    sim::add_block_disk(kvtest::blank_image(64));
    EXPECT_NE(converter(), nullptr);

    sim::reset();
    sim::set_device_path_to_text(false);
    sim::add_block_disk(kvtest::blank_image(64));
    EXPECT_EQ(converter(), nullptr);
    sim::set_device_path_to_text(true);
    EXPECT_NE(converter(), nullptr);
    sim::set_device_path_to_text(false);
    EXPECT_EQ(converter(), nullptr);

    // A reset forgets the choice.
    sim::reset();
    pool_baseline_ = sim::pool_blocks_live();
    sim::add_block_disk(kvtest::blank_image(64));
    EXPECT_NE(converter(), nullptr);
}

TEST_F(DevicePathText, SimulatedDisksCarryTheirBusPaths) {
    struct Case {
        sim::Bus bus;
        const char* text;
    };
    const Case cases[] = {
        {sim::Bus::Virtio, "PciRoot(0x0)/Pci(0x2,0x0)"},
        {sim::Bus::Sata, "PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0)"},
        {sim::Bus::Nvme, "PciRoot(0x0)/Pci(0x5,0x0)/NVMe(0x1,00-00-00-00-00-00-00-00)"},
        {sim::Bus::Usb, "PciRoot(0x0)/Pci(0x7,0x0)/USB(0x0,0x0)"},
        {sim::Bus::Scsi, "PciRoot(0x0)/Pci(0x8,0x0)/Scsi(0x0,0x0)"},
        {sim::Bus::Ata, "PciRoot(0x0)/Pci(0x1,0x1)/Ata(Primary,Master,0x0)"},
        {sim::Bus::Sd, "PciRoot(0x0)/Pci(0x9,0x0)/SD(0x0)"},
        {sim::Bus::Emmc, "PciRoot(0x0)/Pci(0xA,0x0)/eMMC(0x0)"},
    };
    for (const Case& c : cases) {
        sim::BlockDiskConfig config;
        config.bus = c.bus;
        EXPECT_EQ(text_of(sim::add_block_disk(kvtest::blank_image(64), config)), c.text);
    }

    sim::BlockDiskConfig ahci;
    ahci.bus = sim::Bus::Sata;
    ahci.pci_device = 4;
    ahci.pci_function = 0;
    ahci.port = 3;
    EXPECT_EQ(text_of(sim::add_block_disk(kvtest::blank_image(64), ahci)),
              "PciRoot(0x0)/Pci(0x4,0x0)/Sata(0x3,0xFFFF,0x0)");

    sim::BlockDiskConfig dvd;
    dvd.bus = sim::Bus::Sata;
    dvd.port = 2;
    EFI_HANDLE drive = sim::add_empty_drive(2048, dvd);
    EXPECT_EQ(text_of(drive), "PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x2,0xFFFF,0x0)");
    EXPECT_FALSE(sim::block_media(drive)->MediaPresent);
    EXPECT_EQ(sim::block_media(drive)->BlockSize, 2048u);
}

TEST_F(DevicePathText, PartitionChildrenExtendTheDiskPath) {
    auto image = kvtest::gpt_image(
        0x1100, {kvtest::gpt_entry(0, 0x800, 0xFFF, "5CBC575A-D212-46BB-9281-AFF9AC12690C")});
    EFI_HANDLE disk = sim::add_block_disk(std::move(image));
    std::vector<EFI_HANDLE> parts = sim::partition_handles(disk);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(text_of(parts[0]),
              "PciRoot(0x0)/Pci(0x2,0x0)/HD(1,GPT,5CBC575A-D212-46BB-9281-AFF9AC12690C,0x800,"
              "0x800)");

    sim::BlockDiskConfig sata;
    sata.bus = sim::Bus::Sata;
    EFI_HANDLE old = sim::add_block_disk(
        kvtest::mbr_image(0x400, {kvtest::MbrEntry{0x80, 0x07, 0x3F, 0x3C1}}), sata);
    parts = sim::partition_handles(old);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(text_of(parts[0]),
              "PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0)/HD(1,MBR,0xBE1AFDFA,0x3F,0x3C1)");
}

TEST_F(DevicePathText, CustomAndMissingPaths) {
    sim::BlockDiskConfig custom;
    custom.path = dp::path({dp::pci_root(), dp::pci(0x11, 0), dp::usb(2, 0), dp::scsi(0, 1)});
    EXPECT_EQ(text_of(sim::add_block_disk(kvtest::blank_image(64), custom)),
              "PciRoot(0x0)/Pci(0x11,0x0)/USB(0x2,0x0)/Scsi(0x0,0x1)");
    sim::BlockDiskConfig none;
    none.has_device_path = false;
    EXPECT_EQ(text_of(sim::add_block_disk(kvtest::blank_image(64), none)), "<no path>");
}

} // namespace
