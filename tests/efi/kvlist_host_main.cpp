// kvlist_host: the kvlist listing on the simulated firmware, with the disks
// a QEMU test attaches to OVMF, so that the two listings can be compared.
//
//     kvlist_host --disk file=esp.img,bus=virtio,pci=2,boot=1
//                 --disk file=nvme.img,bus=nvme,pci=5,bs=4096
//                 --empty bus=sata,pci=1f.2,port=2,bs=2048
//
// Disk keys: file (raw image), bus (virtio, sata, nvme, usb, scsi, ata),
// pci (device[.function], hex), bs (block size, default 512), port, lun,
// eui (NVMe EUI-64, hex), ro (write-protected medium), removable, and boot=N
// (the program was loaded from partition N of this disk). Every FAT file
// system found on a partition, or on a disk without partitions, becomes a
// volume with the label of its boot sector, as the firmware's FAT driver
// would publish it.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/disks.h"
#include "sim/files.h"
#include "sim/firmware.h"
#include "tests/efi/kvlist.h"

namespace {

struct Options {
    std::map<std::string, std::string> keys;

    bool has(const char* key) const { return keys.count(key) != 0; }
    std::string text(const char* key, const char* fallback = "") const {
        auto it = keys.find(key);
        return it == keys.end() ? fallback : it->second;
    }
    unsigned long long number(const char* key, unsigned long long fallback, int base = 10) const {
        auto it = keys.find(key);
        if (it == keys.end()) return fallback;
        char* end = nullptr;
        unsigned long long v = std::strtoull(it->second.c_str(), &end, base);
        if (it->second.empty() || *end != 0) {
            std::fprintf(stderr, "kvlist_host: bad number %s=%s\n", key, it->second.c_str());
            std::exit(2);
        }
        return v;
    }
};

// "key=value,flag,key=value"; a key without value stands for "1".
Options parse_options(const std::string& plan) {
    Options o;
    size_t at = 0;
    while (at <= plan.size()) {
        size_t comma = plan.find(',', at);
        if (comma == std::string::npos) comma = plan.size();
        std::string item = plan.substr(at, comma - at);
        if (!item.empty()) {
            size_t eq = item.find('=');
            if (eq == std::string::npos)
                o.keys[item] = "1";
            else
                o.keys[item.substr(0, eq)] = item.substr(eq + 1);
        }
        at = comma + 1;
    }
    return o;
}

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr,
                 "kvlist_host: %s\nusage: kvlist_host [--disk file=IMG,bus=BUS,pci=D[.F],bs=N"
                 "[,ro][,removable][,port=N][,lun=N][,eui=HEX][,boot=N]]... "
                 "[--empty bus=BUS,pci=D[.F],bs=N[,port=N]]...\n",
                 why.c_str());
    std::exit(2);
}

sim::BlockDiskConfig bus_config(const Options& o) {
    static const std::map<std::string, sim::Bus> kBuses = {
        {"virtio", sim::Bus::Virtio}, {"sata", sim::Bus::Sata}, {"nvme", sim::Bus::Nvme},
        {"usb", sim::Bus::Usb},       {"scsi", sim::Bus::Scsi}, {"ata", sim::Bus::Ata},
    };
    sim::BlockDiskConfig c;
    auto bus = kBuses.find(o.text("bus", "virtio"));
    if (bus == kBuses.end()) usage("unknown bus " + o.text("bus"));
    c.bus = bus->second;
    if (o.has("pci")) {
        std::string pci = o.text("pci");
        size_t dot = pci.find('.');
        c.pci_device = int(std::strtol(pci.substr(0, dot).c_str(), nullptr, 16));
        c.pci_function =
            dot == std::string::npos ? 0 : int(std::strtol(pci.c_str() + dot + 1, nullptr, 16));
    }
    c.port = uint16_t(o.number("port", 0));
    c.lun = uint16_t(o.number("lun", 0));
    c.nvme_eui = o.number("eui", 0, 16);
    c.removable = o.number("removable", 0) != 0;
    c.read_only = o.number("ro", 0) != 0;
    return c;
}

uint32_t le(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

bool power_of_two(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// The volume label of a FAT boot sector in the first block of `handle`, or
// false when the block does not hold one the firmware's driver would take.
bool fat_label(EFI_HANDLE handle, std::string* label) {
    EFI_BLOCK_IO_PROTOCOL* io = sim::block_io_of(handle);
    if (!io || !io->Media->MediaPresent) return false;
    std::vector<uint8_t> block(io->Media->BlockSize);
    if (EFI_ERROR(io->ReadBlocks(io, io->Media->MediaId, 0, block.size(), block.data())))
        return false;
    const uint8_t* b = block.data();
    uint32_t sector = le(b + 11, 2);
    if ((b[0] != 0xEB && b[0] != 0xE9) || b[510] != 0x55 || b[511] != 0xAA) return false;
    if (!power_of_two(sector) || sector < 512 || sector > 4096 || !power_of_two(b[13]) ||
        le(b + 14, 2) == 0 || b[16] == 0)
        return false;
    // FAT12/16 keep sectors per FAT at 22; FAT32 has 0 there and its label later.
    const uint8_t* text = le(b + 22, 2) != 0 ? b + 43 : b + 71;
    std::string s(reinterpret_cast<const char*>(text), 11);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    *label = s == "NO NAME" ? "" : s;
    return true;
}

// Static, so that the empty directories also go when a bad argument ends
// the run through exit.
struct Volumes {
    std::vector<std::string> dirs;

    ~Volumes() {
        for (const std::string& d : dirs)
            rmdir(d.c_str());
    }

    void add(EFI_HANDLE handle, bool read_only) {
        std::string label;
        if (!fat_label(handle, &label)) return;
        char dir[] = "/tmp/kvlist-volume-XXXXXX";
        if (!mkdtemp(dir)) {
            std::perror("kvlist_host: mkdtemp");
            std::exit(1);
        }
        dirs.push_back(dir);
        sim::VolumeConfig c;
        c.label = label;
        c.read_only = read_only;
        c.on_handle = handle;
        sim::add_volume(dir, c);
    }
} g_volumes;

EFI_STATUS run_listing(void*) {
    kv::kvlist_print();
    return EFI_SUCCESS;
}

} // namespace

int main(int argc, char** argv) {
    sim::reset();
    EFI_HANDLE boot_device = nullptr;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if ((arg != "--disk" && arg != "--empty") || i + 1 >= argc) usage("bad argument " + arg);
        Options o = parse_options(argv[++i]);
        sim::BlockDiskConfig c = bus_config(o);
        uint32_t block_size = uint32_t(o.number("bs", 512));
        if (arg == "--empty") {
            sim::add_empty_drive(block_size, c);
            continue;
        }
        std::string error;
        std::unique_ptr<sim::FileDisk> image =
            sim::FileDisk::open(o.text("file"), block_size, !c.read_only, &error);
        if (!image) usage("cannot open " + o.text("file") + ": " + error);
        EFI_HANDLE disk = sim::add_block_disk(std::move(image), c);
        std::vector<EFI_HANDLE> parts = sim::partition_handles(disk);
        if (parts.empty()) g_volumes.add(disk, c.read_only);
        for (EFI_HANDLE part : parts)
            g_volumes.add(part, c.read_only);
        if (o.has("boot")) {
            size_t n = size_t(o.number("boot", 0));
            if (n == 0 || n > parts.size())
                usage("no partition " + o.text("boot") + " to boot from");
            boot_device = parts[n - 1];
        }
    }
    sim::loaded_image()->DeviceHandle = boot_device;

    sim::RunResult result = sim::run_image(run_listing, nullptr);
    std::string text = sim::console_output_utf8();
    std::string out;
    for (size_t i = 0; i < text.size(); i++)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    if (result.exited) {
        std::fprintf(stderr, "kvlist_host: the listing ended through Exit (0x%llx)\n",
                     static_cast<unsigned long long>(result.status));
        return 1;
    }
    return 0;
}
