#include "platform/disks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/globals.h"
#include "sim/device_path.h"
#include "sim/disks.h"
#include "tests/sim/storage_images.h"

namespace {

namespace dp = sim::dp;
using kvtest::StorageTest;

class Discover : public StorageTest {
  protected:
    void TearDown() override {
        kv::release_disks();
        StorageTest::TearDown();
    }

    int discover() { return kv::discover_disks(&disks_); }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (int i = 0; i < count_; i++)
            out.push_back(disks_[i].name);
        return out;
    }

    const kv::Disk* by_name(const char* name) const {
        for (int i = 0; i < count_; i++)
            if (std::string(disks_[i].name) == name) return &disks_[i];
        return nullptr;
    }

    void boot_from(EFI_HANDLE device) {
        kv::g_loaded_image = sim::loaded_image();
        sim::loaded_image()->DeviceHandle = device;
    }

    static EFI_HANDLE disk_on(sim::Bus bus, int pci_device = -1, uint16_t port = 0,
                              std::unique_ptr<sim::MemDisk> image = nullptr) {
        sim::BlockDiskConfig c;
        c.bus = bus;
        c.pci_device = pci_device;
        c.port = port;
        return sim::add_block_disk(image ? std::move(image) : kvtest::blank_image(2048), c);
    }

    static std::unique_ptr<sim::MemDisk> esp_disk() {
        return kvtest::gpt_image(
            8192, {kvtest::gpt_entry(0, 2048, 4095, "5CBC575A-D212-46BB-9281-AFF9AC12690C"),
                   kvtest::gpt_entry(1, 4096, 8000, "0B0C0D0E-0000-4000-8000-000000000001")});
    }

    kv::Disk* disks_ = nullptr;
    int count_ = 0;
};

TEST_F(Discover, NamesFollowTheSortedHandlesWithGapsForSkippedOnes) {
    // Handles in creation order: virtio disk 0x2 with two partitions, NVMe
    // 0x5, then an empty DVD at 0x1F.2, whose text sorts first.
    disk_on(sim::Bus::Virtio, -1, 0, esp_disk());
    disk_on(sim::Bus::Nvme);
    sim::BlockDiskConfig dvd;
    dvd.bus = sim::Bus::Sata;
    dvd.port = 2;
    sim::add_empty_drive(2048, dvd);

    count_ = discover();
    ASSERT_EQ(count_, 2);
    EXPECT_EQ(names(), (std::vector<std::string>{"blk1", "blk4"}));
    EXPECT_STREQ(disks_[0].device_path, "PciRoot(0x0)/Pci(0x2,0x0)");
    EXPECT_STREQ(disks_[0].kind_label, "disk");
    EXPECT_STREQ(disks_[1].device_path,
                 "PciRoot(0x0)/Pci(0x5,0x0)/NVMe(0x1,00-00-00-00-00-00-00-00)");
    EXPECT_STREQ(disks_[1].kind_label, "NVMe");

    // Another disk that sorts last leaves the earlier names alone.
    disk_on(sim::Bus::Scsi);
    count_ = discover();
    EXPECT_EQ(names(), (std::vector<std::string>{"blk1", "blk4", "blk5"}));
}

TEST_F(Discover, DescribesEachDiskAndItsAccess) {
    EFI_HANDLE h = disk_on(sim::Bus::Sata, -1, 1, kvtest::blank_image(1000, 4096));
    count_ = discover();
    ASSERT_EQ(count_, 1);
    const kv::Disk& d = disks_[0];
    EXPECT_STREQ(d.name, "blk0");
    EXPECT_STREQ(d.kind_label, "SATA");
    EXPECT_EQ(d.size_bytes, 1000u * 4096u);
    EXPECT_FALSE(d.read_only);
    EXPECT_FALSE(d.started_here);
    EXPECT_EQ(d.access.block_size, 4096u);
    EXPECT_EQ(d.access.block_count, 1000u);
    auto* context = static_cast<const kv::BlockIoDisk*>(d.access.context);
    EXPECT_EQ(context->block_io, sim::block_io_of(h));
    EXPECT_EQ(context->media_id, sim::block_io_of(h)->Media->MediaId);
    EXPECT_EQ(d.access.read, &kv::block_io_read);
    EXPECT_EQ(d.access.write, &kv::block_io_write);
    EXPECT_EQ(d.access.random, &kv::random_bytes);
}

TEST_F(Discover, LabelsTheBusFromThePath) {
    disk_on(sim::Bus::Usb);
    disk_on(sim::Bus::Scsi);
    disk_on(sim::Bus::Ata);
    disk_on(sim::Bus::Sd);
    disk_on(sim::Bus::Emmc);
    sim::BlockDiskConfig usb_scsi;
    usb_scsi.path = dp::path({dp::pci_root(), dp::pci(0x14, 0), dp::usb(3, 0), dp::scsi(0, 0)});
    sim::add_block_disk(kvtest::blank_image(2048), usb_scsi);
    count_ = discover();
    std::vector<std::string> labels;
    for (int i = 0; i < count_; i++)
        labels.push_back(std::string(disks_[i].device_path) + " " + disks_[i].kind_label);
    EXPECT_EQ(labels, (std::vector<std::string>{
                          "PciRoot(0x0)/Pci(0x1,0x1)/Ata(Primary,Master,0x0) ATA",
                          "PciRoot(0x0)/Pci(0x14,0x0)/USB(0x3,0x0)/Scsi(0x0,0x0) USB",
                          "PciRoot(0x0)/Pci(0x7,0x0)/USB(0x0,0x0) USB",
                          "PciRoot(0x0)/Pci(0x8,0x0)/Scsi(0x0,0x0) SCSI",
                          "PciRoot(0x0)/Pci(0x9,0x0)/SD(0x0) SD",
                          "PciRoot(0x0)/Pci(0xA,0x0)/eMMC(0x0) eMMC",
                      }));
}

TEST(DeviceKindLabel, FirstNeedleInTableOrderWins) {
    EXPECT_STREQ(kv::device_kind_label("PciRoot(0x0)/Pci(0x1D,0x0)/USB(0x1,0x0)/UsbClass(0x8)"),
                 "USB");
    EXPECT_STREQ(kv::device_kind_label("Pci(0x2,0x0)/UsbWwid(0x781,0x5567,0x0,\"X\")"), "USB");
    EXPECT_STREQ(kv::device_kind_label("Pci(0x2,0x0)/UFS(0x0,0x0)"), "UFS");
    EXPECT_STREQ(kv::device_kind_label("Pci(0x2,0x0)/Sas(0x1,0x0)"), "SAS");
    EXPECT_STREQ(kv::device_kind_label("MAC(001122334455,0x1)/IPv4(...)/iSCSI(iqn,0x1)"), "iSCSI");
    // The search is case-sensitive: "Sata(" holds "ata(", never "Ata(".
    EXPECT_STREQ(kv::device_kind_label("Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0)"), "SATA");
    // A SATA disk behind an NVMe-named node still reads NVMe: order decides.
    EXPECT_STREQ(kv::device_kind_label("Sata(0x0,0x0,0x0)/NVMe(0x1,00)"), "NVMe");
    // Case-sensitive: "sd(" and "Usb(" are not needles.
    EXPECT_STREQ(kv::device_kind_label("VenHw(sd(x),Usb(y))"), "disk");
    EXPECT_STREQ(kv::device_kind_label(""), "disk");
}

TEST_F(Discover, SkipsWhatIsNotAUsableWholeDisk) {
    EFI_HANDLE tiny = disk_on(sim::Bus::Virtio, 0x2, 0, kvtest::blank_image(4096, 256));
    EFI_HANDLE faked = disk_on(sim::Bus::Virtio, 0x3);
    sim::block_media(faked)->LogicalPartition = TRUE;
    EFI_HANDLE gone = disk_on(sim::Bus::Virtio, 0x4);
    sim::remove_media(gone);
    disk_on(sim::Bus::Virtio, 0x6, 0, kvtest::blank_image(4096, 512));
    count_ = discover();
    ASSERT_EQ(count_, 1);
    EXPECT_STREQ(disks_[0].name, "blk3");
    (void)tiny;
}

TEST_F(Discover, ReadOnlyMediaGetNoWrite) {
    sim::BlockDiskConfig c;
    c.read_only = true;
    sim::add_block_disk(kvtest::blank_image(2048), c);
    count_ = discover();
    ASSERT_EQ(count_, 1);
    EXPECT_TRUE(disks_[0].read_only);
    EXPECT_FALSE(disks_[0].started_here);
    EXPECT_EQ(disks_[0].access.write, nullptr);
    EXPECT_NE(disks_[0].access.read, nullptr);
}

TEST_F(Discover, TheDiskHoldingTheStartPartitionIsStartedHere) {
    EFI_HANDLE boot_disk = disk_on(sim::Bus::Sata, 0x1F, 0, esp_disk());
    // Port 1 of the same controller: its text is not a prefix of port 0's.
    disk_on(sim::Bus::Sata, 0x1F, 1);
    disk_on(sim::Bus::Nvme);
    boot_from(sim::partition_handles(boot_disk).at(0));

    count_ = discover();
    ASSERT_EQ(count_, 3);
    const kv::Disk* started = nullptr;
    for (int i = 0; i < count_; i++) {
        if (disks_[i].started_here) {
            EXPECT_EQ(started, nullptr);
            started = &disks_[i];
        } else {
            EXPECT_NE(disks_[i].access.write, nullptr) << disks_[i].device_path;
        }
    }
    ASSERT_NE(started, nullptr);
    EXPECT_STREQ(started->device_path, "PciRoot(0x0)/Pci(0x1F,0x2)/Sata(0x0,0xFFFF,0x0)");
    EXPECT_FALSE(started->read_only);
    EXPECT_EQ(started->access.write, nullptr);
    EXPECT_NE(started->access.read, nullptr);
}

TEST_F(Discover, StartedHereNeedsANodeBoundary) {
    // File path nodes print as bare names, so "disk" is a text prefix of
    // "disk2" without being its node.
    sim::BlockDiskConfig c;
    c.path = dp::path({dp::pci_root(), dp::pci(2, 0), dp::file_path(u"disk")});
    sim::add_block_disk(kvtest::blank_image(2048), c);
    EFI_HANDLE boot = nullptr;
    static sim::PathBytes boot_path = {};
    boot_path = dp::path({dp::pci_root(), dp::pci(2, 0), dp::file_path(u"disk2")});
    EFI_GUID dp_guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    ASSERT_EQ(sim::install_protocol(&boot, dp_guid, boot_path.data()), EFI_SUCCESS);
    boot_from(boot);
    count_ = discover();
    ASSERT_EQ(count_, 1);
    EXPECT_FALSE(disks_[0].started_here);

    // Booted from the whole disk itself: the texts are equal.
    EFI_HANDLE whole = disk_on(sim::Bus::Usb);
    boot_from(whole);
    count_ = discover();
    const kv::Disk* usb = nullptr;
    for (int i = 0; i < count_; i++)
        if (std::string(disks_[i].kind_label) == "USB") usb = &disks_[i];
    ASSERT_NE(usb, nullptr);
    EXPECT_TRUE(usb->started_here);
}

TEST(StartedFrom, PrefixMustEndAtASlashOrTheEnd) {
    const char* disk = "PciRoot(0x0)/Pci(0x2,0x0)";
    EXPECT_TRUE(kv::started_from("PciRoot(0x0)/Pci(0x2,0x0)/HD(1,GPT,X,0x800,0x800)", disk));
    EXPECT_TRUE(kv::started_from("PciRoot(0x0)/Pci(0x2,0x0)", disk));
    EXPECT_FALSE(kv::started_from("PciRoot(0x0)/Pci(0x2,0x0)X", disk));
    EXPECT_FALSE(kv::started_from("PciRoot(0x0)/Pci(0x2,0x0),PciRoot(0x1)", disk));
    EXPECT_FALSE(kv::started_from("PciRoot(0x0)/Pci(0x2", disk));
    EXPECT_FALSE(kv::started_from(nullptr, disk));
    // A disk without a path text is a prefix of everything, but only a
    // boot path that is itself empty ends right there.
    EXPECT_FALSE(kv::started_from("PciRoot(0x0)", ""));
    EXPECT_TRUE(kv::started_from("", ""));
}

TEST_F(Discover, WithoutAConverterEveryDiskMayBeTheStartDisk) {
    sim::set_device_path_to_text(false);
    EFI_HANDLE a = disk_on(sim::Bus::Sata, -1, 0, esp_disk());
    disk_on(sim::Bus::Nvme);
    boot_from(sim::partition_handles(a).at(0));
    count_ = discover();
    ASSERT_EQ(count_, 2);
    for (int i = 0; i < count_; i++) {
        EXPECT_STREQ(disks_[i].device_path, "");
        EXPECT_STREQ(disks_[i].kind_label, "disk");
        EXPECT_TRUE(disks_[i].started_here);
        EXPECT_EQ(disks_[i].access.write, nullptr);
    }
    // Without a known start device nothing is held back.
    kv::g_loaded_image = nullptr;
    count_ = discover();
    for (int i = 0; i < count_; i++)
        EXPECT_NE(disks_[i].access.write, nullptr);
}

TEST_F(Discover, AHandleWithoutPathSortsFirst) {
    disk_on(sim::Bus::Virtio);
    sim::BlockDiskConfig none;
    none.has_device_path = false;
    sim::add_block_disk(kvtest::blank_image(2048), none);
    count_ = discover();
    ASSERT_EQ(count_, 2);
    EXPECT_STREQ(disks_[0].name, "blk0");
    EXPECT_STREQ(disks_[0].device_path, "");
    EXPECT_STREQ(disks_[1].device_path, "PciRoot(0x0)/Pci(0x2,0x0)");
}

TEST_F(Discover, NoBlockIoMeansNoDisks) {
    count_ = discover();
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(disks_, nullptr);
    disk_on(sim::Bus::Virtio);
    sim::fail_pool_after(0); // the handle buffer cannot be had
    disks_ = reinterpret_cast<kv::Disk*>(&count_);
    count_ = discover();
    sim::fail_pool_after(-1);
    EXPECT_EQ(count_, 0);
    EXPECT_EQ(disks_, nullptr);
}

TEST_F(Discover, ReplacesTheListAndLeavesNothingBehind) {
    disk_on(sim::Bus::Virtio, -1, 0, esp_disk());
    disk_on(sim::Bus::Nvme);
    boot_from(sim::partition_handles(disk_on(sim::Bus::Sata, -1, 0, esp_disk())).at(1));
    count_ = discover();
    ASSERT_EQ(count_, 3);
    size_t live = sim::pool_blocks_live();
    count_ = discover();
    ASSERT_EQ(count_, 3);
    // The old list went before the new one came: the same number of blocks.
    EXPECT_EQ(sim::pool_blocks_live(), live);
    // Every firmware text and the handle buffer were given back; what stays
    // is the list, its block access records and its texts.
    EXPECT_EQ(sim::pool_blocks_live(), pool_baseline_ + 2 + 3);
}

} // namespace
