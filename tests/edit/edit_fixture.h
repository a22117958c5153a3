// Shared pieces of the editing tests: a block device of any size (no image,
// so disks beyond 2 TiB cost nothing), a deep snapshot of a table for
// "a refusal changes nothing", and builders for partitions and tables.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "disk/model.h"
#include "sim/firmware.h"

namespace kvtest {

// Only the size and a random source: edits never read or write blocks.
class SizedDevice {
  public:
    SizedDevice(uint32_t block_size, uint64_t block_count, uint64_t seed = 1) : state_(seed) {
        device_.random = &SizedDevice::random;
        device_.context = this;
        device_.block_size = block_size;
        device_.block_count = block_count;
    }
    SizedDevice(const SizedDevice&) = delete;
    SizedDevice& operator=(const SizedDevice&) = delete;

    const kv::BlockDevice* device() const { return &device_; }
    uint64_t random_calls() const { return random_calls_; }
    // The next `count` requests come back all zero.
    void zero_next(uint64_t count) { zero_left_ = count; }

  private:
    static void random(void* context, void* buffer, size_t size) {
        auto* self = static_cast<SizedDevice*>(context);
        self->random_calls_++;
        auto* out = static_cast<uint8_t*>(buffer);
        if (self->zero_left_ > 0) {
            self->zero_left_--;
            std::memset(out, 0, size);
            return;
        }
        for (size_t i = 0; i < size; i++)
            out[i] = static_cast<uint8_t>(self->next() >> 56);
    }
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    kv::BlockDevice device_{};
    uint64_t state_;
    uint64_t random_calls_ = 0;
    uint64_t zero_left_ = 0;
};

// Every byte of the table record and of its partition array, to show that a
// refused edit touched nothing: not a field, not a record, not the array
// pointer or its capacity.
class TableSnapshot {
  public:
    explicit TableSnapshot(const kv::PartitionTable& table) {
        std::memcpy(&table_, &table, sizeof table_);
        if (table.partitions != nullptr && table.partition_count > 0)
            partitions_.assign(table.partitions, table.partitions + table.partition_count);
    }

    // Empty when the table is as it was; otherwise what differs first.
    std::string difference(const kv::PartitionTable& now) const {
        std::ostringstream out;
        if (now.kind != table_.kind) out << "kind; ";
        if (now.dirty != table_.dirty) out << "dirty; ";
        if (now.partition_count != table_.partition_count)
            out << "partition_count " << table_.partition_count << " -> " << now.partition_count
                << "; ";
        if (now.partitions != table_.partitions) out << "partition array moved; ";
        if (now.note_count != table_.note_count) out << "note_count; ";
        if (std::memcmp(now.notes, table_.notes, sizeof now.notes) != 0) out << "notes; ";
        if (std::memcmp(&now, &table_, sizeof now) != 0) out << "table record bytes; ";
        if (now.partitions != nullptr && now.partition_count == table_.partition_count) {
            for (int32_t i = 0; i < now.partition_count; i++)
                if (std::memcmp(&now.partitions[i], &partitions_[i], sizeof(kv::Partition)) != 0)
                    out << "partition record " << i << "; ";
        }
        return out.str();
    }

  private:
    kv::PartitionTable table_;
    std::vector<kv::Partition> partitions_;
};

inline std::string text_of(const char* result) {
    return result == nullptr ? std::string("(accepted)") : std::string(result);
}

inline kv::Partition partition(kv::PartitionKind kind, int32_t number, uint64_t start,
                               uint64_t size, uint8_t type = 0x83) {
    kv::Partition p{};
    p.kind = kind;
    p.number = number;
    p.start = start;
    p.size = size;
    p.mbr_type = type;
    return p;
}

// A template as the new-partition dialog hands it over.
inline kv::Partition mbr_model(uint64_t start, uint64_t size, uint8_t type = 0x83,
                               bool logical = false) {
    return partition(logical ? kv::PartitionKind::Logical : kv::PartitionKind::Primary, 0, start,
                     size, type);
}

// Appends without the changed and dirty marks, as a freshly read table.
inline void add_clean(kv::PartitionTable* table, const kv::Partition& p) {
    kv::append_partition(table, &p)->changed = false;
    table->dirty = false;
}

inline void mark_clean(kv::PartitionTable* table) {
    table->dirty = false;
    for (int32_t i = 0; i < table->partition_count; i++)
        table->partitions[i].changed = false;
}

// An MBR table as read from a disk of `block_count` blocks, with no partitions.
inline void empty_mbr(kv::PartitionTable* table, uint64_t block_count, uint32_t block_size = 512) {
    kv::table_free(table);
    table->kind = kv::TableKind::Mbr;
    table->block_size = block_size;
    table->block_count = block_count;
    table->mbr_signature = 0x1234ABCD;
}

inline std::vector<int32_t> numbers_of(const kv::PartitionTable& table) {
    std::vector<int32_t> out;
    for (int32_t i = 0; i < table.partition_count; i++)
        out.push_back(table.partitions[i].number);
    return out;
}

// Fresh firmware (the heap lives there) and a table freed at the end.
class EditTest : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset(); }
    void TearDown() override { kv::table_free(&table_); }

    const kv::Partition* part(int32_t number) const { return kv::find_partition(&table_, number); }

    kv::PartitionTable table_{};
};

} // namespace kvtest
