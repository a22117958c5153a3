// What the runner puts on the simulated firmware: the console's modes, the
// disks over image files and the volume the program is started from.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sim/device_path.h"
#include "sim/disks.h"
#include "sim/files.h"
#include "sim/memdisk.h"
#include "sim/runner.h"

namespace sim {
namespace {

// Disks go on PCI functions 0-7 of devices 2, 3, ...: the device path
// texts then sort in the order of the command line, which is the order the
// program names disks in, and stay clear of the volume's device (0x1D).
constexpr size_t kFunctionsPerDevice = 8;
constexpr size_t kFirstDevice = 2;
constexpr size_t kMaxImages = kFunctionsPerDevice * 8;

std::string base_name(const std::string& dir) {
    std::string s = dir;
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? s : s.substr(slash + 1);
}

} // namespace

bool check_image(const ImageArg& image, std::string* error) {
    struct stat st;
    if (stat(image.path.c_str(), &st) != 0) {
        *error = image.path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = image.path + ": not a regular file";
        return false;
    }
    uint64_t bytes = uint64_t(st.st_size);
    if (bytes == 0) {
        *error = image.path + ": the image is empty";
        return false;
    }
    if (bytes % image.block_size != 0) {
        *error = image.path + ": its size, " + std::to_string(bytes) +
                 " bytes, is not a whole number of " + std::to_string(image.block_size) +
                 "-byte blocks";
        return false;
    }
    if (access(image.path.c_str(), R_OK) != 0) {
        *error = image.path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool check_volume_dir(const std::string& dir, std::string* error) {
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        *error = dir + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *error = dir + ": not a directory";
        return false;
    }
    // Permission bits do not tell (root ignores them, a read-only mount
    // does not show in them): try it.
    std::string probe = dir + "/.korvane-sim-XXXXXX";
    int fd = mkstemp(probe.data());
    if (fd < 0) {
        *error = dir + ": cannot write there: " + std::strerror(errno);
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

void set_console_size(size_t columns, size_t rows) {
    std::vector<TextMode> modes = {{80, 25}};
    if (columns && rows && (columns != 80 || rows != 25))
        modes.push_back({uint32_t(columns), uint32_t(rows)});
    set_text_modes(modes);
}

bool attach_images(const std::vector<ImageArg>& images, std::vector<EFI_HANDLE>* disks,
                   std::string* warnings, std::string* error) {
    disks->clear();
    if (images.size() > kMaxImages) {
        *error = "at most " + std::to_string(kMaxImages) + " images";
        return false;
    }
    for (size_t i = 0; i < images.size(); i++) {
        const ImageArg& arg = images[i];
        if (!check_image(arg, error)) return false;
        std::string why;
        std::unique_ptr<FileDisk> backing =
            FileDisk::open(arg.path, arg.block_size, !arg.read_only, &why);
        if (!backing) {
            *error = arg.path + ": " + why;
            return false;
        }
        if (!arg.read_only && backing->read_only())
            *warnings += arg.path + ": cannot be written, attached read-only\n";
        BlockDiskConfig config;
        config.bus = Bus::Virtio;
        config.pci_device = int(kFirstDevice + i / kFunctionsPerDevice);
        config.pci_function = int(i % kFunctionsPerDevice);
        config.read_only = backing->read_only();
        EFI_HANDLE disk = add_block_disk(std::move(backing), config);
        if (arg.fail_reads) fail_block_read(disk, 1, EFI_DEVICE_ERROR, true);
        if (arg.fail_writes) fail_block_write(disk, 1, EFI_DEVICE_ERROR, true);
        if (arg.fail_write_from > 0)
            fail_block_write(disk, arg.fail_write_from, EFI_DEVICE_ERROR, true);
        for (uint64_t lba : arg.bad_blocks)
            fail_block_reads_at(disk, lba);
        disks->push_back(disk);
    }
    return true;
}

EFI_HANDLE attach_start_volume(const std::string& dir, int boot_index, bool read_only,
                               EFI_HANDLE boot_disk) {
    VolumeConfig config;
    config.read_only = read_only;
    std::vector<EFI_HANDLE> partitions;
    if (boot_disk != nullptr) partitions = partition_handles(boot_disk);
    if (!partitions.empty()) {
        // Firmware puts the file system on the partition it found: no
        // handle of its own, which would take a disk name.
        config.on_handle = partitions[0];
    } else if (boot_index >= 0) {
        size_t i = size_t(boot_index);
        // The first partition of that disk, as firmware would name the
        // partition a boot loader came from.
        config.path = dp::path({dp::pci_root(),
                                dp::pci(uint8_t(kFirstDevice + i / kFunctionsPerDevice),
                                        uint8_t(i % kFunctionsPerDevice)),
                                dp::hard_drive_mbr(1, 2048, 2048, 0)});
    }
    config.label = base_name(dir);
    struct statvfs fs;
    if (statvfs(dir.c_str(), &fs) == 0 && fs.f_blocks > 0)
        config.capacity_bytes = uint64_t(fs.f_blocks) * fs.f_frsize;
    EFI_HANDLE volume = add_volume(dir, config);
    loaded_image()->DeviceHandle = volume;
    return volume;
}

} // namespace sim
