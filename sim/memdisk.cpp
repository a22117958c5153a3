#include "sim/memdisk.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sim {

SimDisk::SimDisk(uint32_t block_size, uint64_t block_count, uint64_t seed) : random_state_(seed) {
    device_.read = read_op;
    device_.write = write_op;
    device_.random = random_op;
    device_.context = this;
    device_.block_size = block_size;
    device_.block_count = block_count;
}

void SimDisk::set_read_only(bool read_only) {
    read_only_ = read_only;
    device_.write = read_only ? nullptr : write_op;
}

void SimDisk::fail_read(uint64_t nth, kv::ErrorCode code, bool and_after) {
    read_fault_ = Fault{nth, code, and_after, false};
}

void SimDisk::fail_write(uint64_t nth, kv::ErrorCode code, bool and_after) {
    write_fault_ = Fault{nth, code, and_after, false};
}

void SimDisk::clear_faults() {
    read_fault_ = Fault{};
    write_fault_ = Fault{};
}

bool SimDisk::in_range(uint64_t first_block, uint64_t count) const {
    return first_block < device_.block_count && count <= device_.block_count - first_block;
}

bool SimDisk::fault_fires(Fault& fault, kv::ErrorCode* code) {
    if (!fault.tripped) {
        if (fault.countdown == 0 || --fault.countdown != 0) return false;
        fault.tripped = fault.and_after;
    }
    *code = fault.code;
    return true;
}

kv::ErrorCode SimDisk::read_op(void* context, uint64_t first_block, uint64_t count, void* buffer) {
    SimDisk* self = static_cast<SimDisk*>(context);
    self->stats_.read_calls++;
    if (count == 0) return kv::ERR_OK;
    if (buffer == nullptr || !self->in_range(first_block, count)) return kv::ERR_INVALID_PARAMETER;
    kv::ErrorCode code;
    if (fault_fires(self->read_fault_, &code)) return code;
    code = self->transfer_in(first_block, count, buffer);
    if (code == kv::ERR_OK) self->stats_.read_blocks += count;
    return code;
}

kv::ErrorCode SimDisk::write_op(void* context, uint64_t first_block, uint64_t count,
                                const void* buffer) {
    SimDisk* self = static_cast<SimDisk*>(context);
    self->stats_.write_calls++;
    if (self->read_only_) return kv::ERR_WRITE_PROTECTED;
    if (count == 0) return kv::ERR_OK;
    if (buffer == nullptr || !self->in_range(first_block, count)) return kv::ERR_INVALID_PARAMETER;
    kv::ErrorCode code;
    if (fault_fires(self->write_fault_, &code)) return code;
    code = self->transfer_out(first_block, count, buffer);
    if (code == kv::ERR_OK) self->stats_.write_blocks += count;
    return code;
}

void SimDisk::random_op(void* context, void* buffer, size_t byte_count) {
    SimDisk* self = static_cast<SimDisk*>(context);
    self->stats_.random_calls++;
    self->stats_.random_bytes += byte_count;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (byte_count > 0) {
        uint64_t z = (self->random_state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        size_t n = byte_count < 8 ? byte_count : 8;
        std::memcpy(out, &z, n);
        out += n;
        byte_count -= n;
    }
}

MemDisk::MemDisk(uint32_t block_size, uint64_t block_count, uint64_t seed)
    : SimDisk(block_size, block_count, seed), image_(block_size * block_count, 0) {}

MemDisk::MemDisk(uint32_t block_size, std::vector<uint8_t> image, uint64_t seed)
    : SimDisk(block_size, block_size ? image.size() / block_size : 0, seed),
      image_(std::move(image)) {
    image_.resize(this->block_count() * block_size);
}

void MemDisk::resize(uint64_t block_count) {
    image_.resize(block_count * block_size(), 0);
    set_block_count(block_count);
}

kv::ErrorCode MemDisk::transfer_in(uint64_t first_block, uint64_t count, void* buffer) {
    std::memcpy(buffer, block(first_block), count * block_size());
    return kv::ERR_OK;
}

kv::ErrorCode MemDisk::transfer_out(uint64_t first_block, uint64_t count, const void* buffer) {
    std::memcpy(block(first_block), buffer, count * block_size());
    return kv::ERR_OK;
}

FileDisk::FileDisk(int fd, std::string path, uint32_t block_size, uint64_t block_count)
    : SimDisk(block_size, block_count, 1), fd_(fd), path_(std::move(path)) {}

FileDisk::~FileDisk() {
    ::close(fd_);
}

static void set_error(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
}

std::unique_ptr<FileDisk> FileDisk::open(const std::string& path, uint32_t block_size,
                                         bool writable, std::string* error) {
    if (block_size == 0) {
        set_error(error, "block size 0");
        return nullptr;
    }
    int fd = writable ? ::open(path.c_str(), O_RDWR | O_CLOEXEC) : -1;
    bool read_only = fd < 0;
    if (fd < 0) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        set_error(error, path + ": " + std::strerror(errno));
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        set_error(error, path + ": " + std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    uint64_t blocks = static_cast<uint64_t>(st.st_size) / block_size;
    std::unique_ptr<FileDisk> disk(new FileDisk(fd, path, block_size, blocks));
    disk->set_read_only(read_only);
    return disk;
}

std::unique_ptr<FileDisk> FileDisk::create(const std::string& path, uint32_t block_size,
                                           uint64_t block_count, std::string* error) {
    if (block_size == 0) {
        set_error(error, "block size 0");
        return nullptr;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        set_error(error, path + ": " + std::strerror(errno));
        return nullptr;
    }
    if (::ftruncate(fd, static_cast<off_t>(block_count * block_size)) != 0) {
        set_error(error, path + ": " + std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<FileDisk>(new FileDisk(fd, path, block_size, block_count));
}

kv::ErrorCode FileDisk::transfer_in(uint64_t first_block, uint64_t count, void* buffer) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    uint64_t left = count * block_size();
    off_t offset = static_cast<off_t>(first_block * block_size());
    while (left > 0) {
        ssize_t n = ::pread(fd_, out, left, offset);
        if (n < 0 && errno == EINTR) continue;
        // A file that shrank under us ends early: that is a device error too.
        if (n <= 0) return kv::ERR_IO;
        out += n;
        left -= static_cast<uint64_t>(n);
        offset += n;
    }
    return kv::ERR_OK;
}

kv::ErrorCode FileDisk::transfer_out(uint64_t first_block, uint64_t count, const void* buffer) {
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    uint64_t left = count * block_size();
    off_t offset = static_cast<off_t>(first_block * block_size());
    while (left > 0) {
        ssize_t n = ::pwrite(fd_, in, left, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == ENOSPC) return kv::ERR_VOLUME_FULL;
        if (n <= 0) return kv::ERR_IO;
        in += n;
        left -= static_cast<uint64_t>(n);
        offset += n;
    }
    if (sync_ && ::fdatasync(fd_) != 0) return kv::ERR_IO;
    return kv::ERR_OK;
}

} // namespace sim
