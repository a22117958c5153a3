// Block devices for tests and host tools: a disk image in memory (MemDisk)
// and one in a host file (FileDisk). Both hand out a kv::BlockDevice whose
// context is the object itself, count every transfer and can be told to fail
// a chosen read or write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/model.h"
#include "platform/error.h"

namespace sim {

struct IoStats {
    uint64_t read_calls = 0;  // every call, rejected and failed ones included
    uint64_t read_blocks = 0; // blocks actually transferred
    uint64_t write_calls = 0;
    uint64_t write_blocks = 0;
    uint64_t random_calls = 0;
    uint64_t random_bytes = 0;
};

// The shared part: the operation table, counters, faults and the random
// source. Not copyable: the operation table points at the object.
class SimDisk {
  public:
    virtual ~SimDisk() = default;
    SimDisk(const SimDisk&) = delete;
    SimDisk& operator=(const SimDisk&) = delete;

    // The device to hand to the model. Its address and contents stay valid
    // for the object's life, though `write` follows set_read_only.
    kv::BlockDevice* device() { return &device_; }

    uint32_t block_size() const { return device_.block_size; }
    uint64_t block_count() const { return device_.block_count; }

    const IoStats& stats() const { return stats_; }
    void reset_stats() { stats_ = IoStats{}; }

    // Read-only removes `write` from the device. A write that still reaches
    // the object through an older copy of the table is refused with
    // ERR_WRITE_PROTECTED.
    void set_read_only(bool read_only);
    bool read_only() const { return read_only_; }

    // The nth read (or write) from now fails with `code`: nth = 1 is the next
    // call. Calls refused for their range or buffer come first and do not
    // count. With `and_after`, every later call fails as well, as a device
    // that has gone away would. A failed call transfers nothing.
    void fail_read(uint64_t nth, kv::ErrorCode code = kv::ERR_IO, bool and_after = false);
    void fail_write(uint64_t nth, kv::ErrorCode code = kv::ERR_IO, bool and_after = false);
    void clear_faults();

    // The random source is splitmix64: the same seed gives the same bytes.
    void seed_random(uint64_t seed) { random_state_ = seed; }

  protected:
    SimDisk(uint32_t block_size, uint64_t block_count, uint64_t seed);
    void set_block_count(uint64_t block_count) { device_.block_count = block_count; }

    // Called only with a non-empty range inside the device and a buffer.
    virtual kv::ErrorCode transfer_in(uint64_t first_block, uint64_t count, void* buffer) = 0;
    virtual kv::ErrorCode transfer_out(uint64_t first_block, uint64_t count,
                                       const void* buffer) = 0;

  private:
    struct Fault {
        uint64_t countdown = 0; // 0: not armed
        kv::ErrorCode code = kv::ERR_IO;
        bool and_after = false;
        bool tripped = false;
    };

    static kv::ErrorCode read_op(void* context, uint64_t first_block, uint64_t count, void* buffer);
    static kv::ErrorCode write_op(void* context, uint64_t first_block, uint64_t count,
                                  const void* buffer);
    static void random_op(void* context, void* buffer, size_t byte_count);

    bool in_range(uint64_t first_block, uint64_t count) const;
    static bool fault_fires(Fault& fault, kv::ErrorCode* code);

    kv::BlockDevice device_{};
    IoStats stats_;
    Fault read_fault_;
    Fault write_fault_;
    bool read_only_ = false;
    uint64_t random_state_;
};

class MemDisk : public SimDisk {
  public:
    // A zero-filled disk of block_count blocks.
    MemDisk(uint32_t block_size, uint64_t block_count, uint64_t seed = 1);
    // A disk over an existing image; a partial last block is dropped.
    MemDisk(uint32_t block_size, std::vector<uint8_t> image, uint64_t seed = 1);

    std::vector<uint8_t>& image() { return image_; }
    const std::vector<uint8_t>& image() const { return image_; }
    // The first byte of block `lba`; the caller stays inside the image.
    uint8_t* block(uint64_t lba) { return image_.data() + lba * block_size(); }

    // Grows (zero-filled) or shrinks the disk.
    void resize(uint64_t block_count);

  protected:
    kv::ErrorCode transfer_in(uint64_t first_block, uint64_t count, void* buffer) override;
    kv::ErrorCode transfer_out(uint64_t first_block, uint64_t count, const void* buffer) override;

  private:
    std::vector<uint8_t> image_;
};

class FileDisk : public SimDisk {
  public:
    // Opens an existing image; block_count is the file size over block_size.
    // Without `writable`, or when the file cannot be opened for writing, the
    // device is read-only. Null (and *error set) when the file cannot be
    // opened at all or block_size is 0.
    static std::unique_ptr<FileDisk> open(const std::string& path, uint32_t block_size,
                                          bool writable, std::string* error = nullptr);
    // Creates (or truncates) a sparse image of block_count blocks, writable.
    static std::unique_ptr<FileDisk> create(const std::string& path, uint32_t block_size,
                                            uint64_t block_count, std::string* error = nullptr);
    ~FileDisk() override;

    const std::string& path() const { return path_; }
    // Flush every write to the medium before reporting it done.
    void set_sync(bool sync) { sync_ = sync; }

  protected:
    kv::ErrorCode transfer_in(uint64_t first_block, uint64_t count, void* buffer) override;
    kv::ErrorCode transfer_out(uint64_t first_block, uint64_t count, const void* buffer) override;

  private:
    FileDisk(int fd, std::string path, uint32_t block_size, uint64_t block_count);

    int fd_;
    std::string path_;
    bool sync_ = false;
};

} // namespace sim
